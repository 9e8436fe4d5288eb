// kestrel-dump --json: one JSON object per packet and line, the machine-
// readable twin of --rows and --tree. Every tree item carries its byte range,
// so a script can map any field back to the bytes it was read from.
//
//   {"number":N,"sec":S,"usec":U,"caplen":C,"len":L,
//    "cells":{"No.":"…","Time":"…",…},
//    "tree":{"text":"…","first":F,"length":L,"children":[…]}}
//
// "first" and "length" are null for an item without a range; "tree" is null
// for a packet without captured bytes.
#include <charconv>

#include "core/row_text.h"
#include "kestrel-dump/dump_modes.h"
#include "decode/decode_tree.h"

namespace kestrel::dump {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one
// (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return length;
}

// A JSON string: quotes, backslashes and control characters escaped; bytes
// that are not valid UTF-8 become U+FFFD, so the output is always valid.
void AppendString(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length) {
                out.append(text.substr(i, length));
                i += length;
            } else {
                out += "\xEF\xBF\xBD";
                ++i;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

void AppendNumber(uint64_t value, std::string& out) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void AppendItem(const DecodeTree& tree, int item, std::string& out) {
    out += "{\"text\":";
    AppendString(tree.Text(item), out);
    if (const ItemRange* range = tree.FindRange(item)) {
        out += ",\"first\":";
        AppendNumber(static_cast<uint64_t>(range->first), out);
        out += ",\"length\":";
        AppendNumber(static_cast<uint64_t>(range->length), out);
    } else {
        out += ",\"first\":null,\"length\":null";
    }
    out += ",\"children\":[";
    bool first = true;
    for (const int child : tree.Children(item)) {
        if (!first) out += ',';
        first = false;
        AppendItem(tree, child, out);
    }
    out += "]}";
}

}  // namespace

void AppendJson(const Packet& packet, int number, int lineCount, const RowTexts& row,
                std::string& out) {
    out += "{\"number\":";
    AppendNumber(static_cast<uint64_t>(number), out);
    out += ",\"sec\":";
    AppendNumber(packet.header->tv_sec, out);
    out += ",\"usec\":";
    AppendNumber(packet.header->tv_usec, out);
    out += ",\"caplen\":";
    AppendNumber(packet.header->caplen, out);
    out += ",\"len\":";
    AppendNumber(packet.header->len, out);
    out += ",\"cells\":{";
    for (int c = 0; c < kColumnCount; ++c) {
        if (c) out += ',';
        AppendString(kRowColumns[static_cast<size_t>(c)].title, out);
        out += ':';
        AppendString(row.cells[static_cast<size_t>(c)], out);
    }
    out += "},\"tree\":";
    thread_local DecodeTree tree;  // one per printing thread, reused: its buffers stay warm
    if (tree.RebuildTree(packet, number, lineCount))
        AppendItem(tree, tree.Root(), out);
    else
        out += "null";
    out += "}\n";
}

}  // namespace kestrel::dump
