// kestrel-dump --tree: the decode tree of each packet as indented text.
#include <cstdio>

#include "tools/dump_modes.h"
#include "tree/decode/decode_tree.h"

namespace kestrel::dump {

namespace {

void AppendItem(const DecodeTree& tree, int item, int depth, std::string& out) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += tree.Text(item);
    out += '\t';
    if (const ItemRange* range = tree.FindRange(item)) {
        char numbers[32];
        const int n = std::snprintf(numbers, sizeof numbers, "%d %d", range->first, range->length);
        out.append(numbers, static_cast<size_t>(n));
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
