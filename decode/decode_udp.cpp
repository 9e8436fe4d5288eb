// UDP header, checksum over the IPv4 pseudo-header and payload (RFC 768).
//
// Bytes not captured: a field whose bytes were not all captured is not shown
// and the section stops there; a checksum over bytes not all captured shows
// "(未検証)" and decoding goes on; the payload lists only captured bytes.
#include <cstdint>

#include "core/text_helpers.h"
#include "decode/decoders.h"

namespace kestrel {

namespace {

constexpr int kHeaderLength = 8;

}  // namespace

void DecodeUdp(DecodeTree& tree, const ByteReader& frame, int s) {
    const size_t at = static_cast<size_t>(s);
    if (!Captured(frame, s, 1))
        return;
    const int section =
        tree.AddSection("【 UDPﾍｯﾀﾞ 】", DecodeTree::kSlotTransport, s, kHeaderLength);
    if (!AddPorts(tree, frame, section, s))
        return;
    const auto length = frame.Be16(at + 4);
    if (!length)
        return;
    const uint16_t u = *length;
    tree.AddField(section, s + 4, 2, "【 長さ 】【 %d ﾊﾞｲﾄ 】", u);
    const auto checksum = frame.Be16(at + 6);
    if (!checksum)
        return;
    if (*checksum == 0) {
        // The sender computed no checksum.
        tree.AddField(section, s + 6, 2, "【 ﾁｪｯｸｻﾑ 】【 0 無効 】");
    } else {
        // The UDP length, not the IP total length, decides what is covered.
        const auto sum =
            TransportChecksum(frame, static_cast<size_t>(s - tree.IpHeaderLength()), u);
        tree.AddField(section, s + 6, 2, "【 ﾁｪｯｸｻﾑ 】【 %d %s 】", *checksum,
                      !sum        ? kChecksumUnverified
                      : *sum == 0 ? kChecksumOk
                                  : kChecksumBad);
    }
    if (u > kHeaderLength) {
        tree.AddDataSection(frame, s + kHeaderLength, u - kHeaderLength);
    }
}

bool AddPorts(DecodeTree& tree, const ByteReader& frame, int section, int s) {
    const size_t at = static_cast<size_t>(s);
    const auto sourcePort = frame.Be16(at);
    if (!sourcePort)
        return false;
    tree.AddField(section, s, 2, "【 発信元ﾎﾟｰﾄ 】【 %d 】", *sourcePort);
    const auto destinationPort = frame.Be16(at + 2);
    if (!destinationPort)
        return false;
    tree.AddField(section, s + 2, 2, "【 宛先ﾎﾟｰﾄ 】【 %d 】", *destinationPort);
    return true;
}

}  // namespace kestrel
