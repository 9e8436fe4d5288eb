// kestrel-dump --tree: the decode tree of each packet as indented text.
#include <charconv>

#include "tools/dump_modes.h"
#include "tree/decode/decode_tree.h"

namespace kestrel::dump {

namespace {

void AppendItem(const DecodeTree& tree, int item, int depth, std::string& out) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += tree.Text(item);
    out += '\t';
    if (const ItemRange* range = tree.FindRange(item)) {
        // to_chars: this runs for every line of every tree, and printf-style
        // formatting was most of the printer's time.
        char numbers[32];
        char* end = std::to_chars(numbers, numbers + 12, range->first).ptr;
        *end++ = ' ';
        end = std::to_chars(end, numbers + sizeof numbers, range->length).ptr;
        out.append(numbers, end);
    } else {
        out += '-';
    }
    out += '\n';
    for (const int child : tree.Children(item)) {
        AppendItem(tree, child, depth + 1, out);
    }
}

}  // namespace

void AppendTree(const Packet& packet, int number, int lineCount, std::string& out) {
    // One tree reused for every packet keeps its buffers warm.
    static DecodeTree tree;
    if (!tree.RebuildTree(packet, number, lineCount)) {
        // A packet with no captured bytes has no tree: only its blank line.
        out += '\n';
        return;
    }
    AppendItem(tree, tree.Root(), 0, out);
    out += '\n';
}

}  // namespace kestrel::dump
