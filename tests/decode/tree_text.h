// Test helpers: frames built from parts, and a decode tree as the lines
// kestrel-dump prints ("  text\tFIRST LENGTH").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/packet.h"
#include "test_util.h"
#include "decode/decode_tree.h"

namespace kestrel::test {

inline void AppendLines(const DecodeTree& tree, int item, int depth,
                        std::vector<std::string>& out) {
    std::string line(static_cast<size_t>(depth) * 2, ' ');
    line += tree.Text(item);
    line += '\t';
    if (const ItemRange* r = tree.FindRange(item)) {
        line += std::to_string(r->first) + " " + std::to_string(r->length);
    } else {
        line += '-';
    }
    out.push_back(line);
    for (int child : tree.Children(item)) AppendLines(tree, child, depth + 1, out);
}

inline std::vector<std::string> TreeLines(const DecodeTree& tree) {
    std::vector<std::string> out;
    if (tree.Root() != DecodeTree::kNoItem)
        AppendLines(tree, tree.Root(), 0, out);
    return out;
}

// Decodes `frame` (line count `lineCount`) and gives the tree's lines.
inline std::vector<std::string> Decode(DecodeTree& tree, const std::vector<uint8_t>& frame,
                                       int lineCount = 32, uint32_t tv_sec = 0,
                                       uint32_t tv_usec = 0) {
    PacketPtr packet(MakeTestPacket(frame, tv_sec, tv_usec));
    tree.RebuildTree(*packet, 1, lineCount);
    return TreeLines(tree);
}

// Ethernet header (type 0x0800 unless given) from fixed addresses.
inline std::vector<uint8_t> EthernetHeader(uint16_t type = 0x0800) {
    std::vector<uint8_t> f = Hex("00 11 22 33 44 55 66 77 88 99 aa bb");
    f.push_back(static_cast<uint8_t>(type >> 8));
    f.push_back(static_cast<uint8_t>(type & 0xFF));
    return f;
}

// An Ethernet/IPv4 frame with the given options and payload; lengths and
// checksums filled in. `padding` bytes follow the IP datagram.
inline std::vector<uint8_t> IpFrame(uint8_t protocol, const std::vector<uint8_t>& payload,
                                    const std::vector<uint8_t>& options = {}, uint8_t tos = 0,
                                    uint16_t fragment = 0x4000, size_t padding = 0,
                                    bool fixTransport = true) {
    std::vector<uint8_t> f = EthernetHeader();
    const size_t h = 20 + options.size();
    const size_t total = h + payload.size();
    const uint8_t ip[] = {static_cast<uint8_t>(0x40 | h / 4),
                          tos,
                          static_cast<uint8_t>(total >> 8),
                          static_cast<uint8_t>(total & 0xFF),
                          0x12,
                          0x34,
                          static_cast<uint8_t>(fragment >> 8),
                          static_cast<uint8_t>(fragment & 0xFF),
                          64,
                          protocol,
                          0,
                          0,
                          10,
                          0,
                          0,
                          1,
                          10,
                          0,
                          0,
                          2};
    f.insert(f.end(), std::begin(ip), std::end(ip));
    f.insert(f.end(), options.begin(), options.end());
    f.insert(f.end(), payload.begin(), payload.end());
    FixIpv4Checksums(f, fixTransport);
    f.resize(f.size() + padding, 0);
    return f;
}

inline bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
        if (l == line)
            return true;
    }
    return false;
}

// The first line starting with `prefix`, or "".
inline std::string Find(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines) {
        if (l.rfind(prefix, 0) == 0)
            return l;
    }
    return {};
}

inline size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
}

}  // namespace kestrel::test
