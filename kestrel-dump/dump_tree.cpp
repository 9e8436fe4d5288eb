// kestrel-dump --tree: the decode tree of each packet as indented text.
#include <charconv>
#include <cstring>

#include "kestrel-dump/dump_modes.h"
#include "decode/decode_tree.h"

namespace kestrel::dump {

namespace {

// Writes a number's decimal digits at `p`; returns the end.
char* PutNumber(char* p, int value) {
    return std::to_chars(p, p + 12, value).ptr;
}

void AppendItem(const DecodeTree& tree, int item, int depth, std::string& out) {
    // Each line is put together in one buffer and appended once: this runs
    // for every line of every tree.
    const std::string_view text = tree.Text(item);
    const size_t indent = static_cast<size_t>(depth) * 2;
    char line[1024];
    if (indent + text.size() + 32 <= sizeof line) {
        char* p = line;
        std::memset(p, ' ', indent);
        p += indent;
        std::memcpy(p, text.data(), text.size());
        p += text.size();
        *p++ = '\t';
        if (const ItemRange* range = tree.FindRange(item)) {
            p = PutNumber(p, range->first);
            *p++ = ' ';
            p = PutNumber(p, range->length);
        } else {
            *p++ = '-';
        }
        *p++ = '\n';
        out.append(line, static_cast<size_t>(p - line));
    } else {
        out.append(indent, ' ');
        out += text;
        out += '\t';
        if (const ItemRange* range = tree.FindRange(item)) {
            char* end = PutNumber(line, range->first);
            *end++ = ' ';
            out.append(line, PutNumber(end, range->length));
        } else {
            out += '-';
        }
        out += '\n';
    }
    for (const int child : tree.Children(item)) {
        AppendItem(tree, child, depth + 1, out);
    }
}

}  // namespace

void AppendTree(const Packet& packet, int number, int lineCount, std::string& out) {
    // One tree reused for every packet keeps its buffers warm.
    thread_local DecodeTree tree;
    if (!tree.RebuildTree(packet, number, lineCount)) {
        // A packet with no captured bytes has no tree: only its blank line.
        out += '\n';
        return;
    }
    AppendItem(tree, tree.Root(), 0, out);
    out += '\n';
}

}  // namespace kestrel::dump
