#include "core/text_helpers.h"

#include <charconv>

#include "core/names.h"

namespace kestrel {

namespace {

// Ethernet/IPv4/ARP frame offsets read by the summaries.
constexpr size_t kIpVersionLength = 14;
constexpr size_t kIpTotalLength = 16;
constexpr size_t kIpProtocol = 23;
constexpr size_t kIpSource = 26;
constexpr size_t kIpDestination = 30;
constexpr size_t kArpOperation = 20;
constexpr size_t kArpSenderProtocol = 28;
constexpr size_t kArpTargetProtocol = 38;
constexpr size_t kTcpFlagsOffset = 13;

template <size_t N>
std::optional<std::array<uint8_t, N>> ReadArray(const ByteReader& frame, size_t offset) {
    auto bytes = frame.Bytes(offset, N);
    if (!bytes) return std::nullopt;
    std::array<uint8_t, N> out;
    for (size_t i = 0; i < N; ++i) out[i] = (*bytes)[i];
    return out;
}

// One's-complement sum of 16-bit little-endian words (memory order, first
// byte low). Returns the unfolded sum; an odd last byte is added as a low half.
uint64_t SumWords(const uint8_t* bytes, size_t count) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < count; i += 2) {
        sum += static_cast<uint64_t>(bytes[i]) | static_cast<uint64_t>(bytes[i + 1]) << 8;
    }
    if (i < count) {
        sum += bytes[i];
    }
    return sum;
}

uint16_t FoldComplement(uint64_t sum) {
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

int SplitEthernetHeader(const ByteReader& frame, std::optional<MacAddress>& source,
                        std::optional<MacAddress>& destination) {
    source = ReadArray<6>(frame, 6);
    destination = ReadArray<6>(frame, 0);
    auto type = frame.Be16(12);
    return type ? *type : -1;
}

ArpSummary SummarizeArpPacket(const ByteReader& frame) {
    ArpSummary summary;
    if (auto op = frame.Be16(kArpOperation); op && *op < ArpOperationNames.size()) {
        summary.text = ArpOperationNames[*op];
    }
    summary.sender = ReadArray<4>(frame, kArpSenderProtocol);
    summary.target = ReadArray<4>(frame, kArpTargetProtocol);
    return summary;
}

IpSummary SummarizeIpPacket(const ByteReader& frame) {
    IpSummary summary;
    if (auto total = frame.Be16(kIpTotalLength)) {
        summary.totalLength = *total;
    }
    summary.source = ReadArray<4>(frame, kIpSource);
    summary.destination = ReadArray<4>(frame, kIpDestination);
    auto protocol = frame.U8(kIpProtocol);
    auto versionLength = frame.U8(kIpVersionLength);
    if (!protocol) {
        return summary;
    }
    summary.protocol = *protocol;
    summary.text = IpProtocolNames[*protocol];
    if (!versionLength) {
        return summary;
    }
    const size_t t = kEthernetHeaderLength + (*versionLength & 0x0F) * 4u;
    if (*protocol == kIpProtocolTcp || *protocol == kIpProtocolUdp) {
        if (auto port = frame.Be16(t)) summary.sourcePort = *port;
        if (auto port = frame.Be16(t + 2)) summary.destinationPort = *port;
        if (*protocol == kIpProtocolTcp) {
            if (auto flags = frame.U8(t + kTcpFlagsOffset)) {
                static constexpr const char* kMarks[] = {"【 FIN 】", "【 SYN 】", "【 RST 】",
                                                         "【 PSH 】", "【 ACK 】", "【 URG 】"};
                for (int bit = 0; bit < 6; ++bit) {
                    if (*flags & (1u << bit)) summary.text += kMarks[bit];
                }
            }
        }
    } else if (*protocol == kIpProtocolIcmp) {
        if (auto type = frame.U8(t)) summary.text += IcmpTypeName(*type);
    }
    return summary;
}

uint16_t InternetChecksum(const uint8_t* bytes, int count) {
    if (count <= 0 || !bytes) {
        return 0xFFFF;
    }
    return FoldComplement(SumWords(bytes, static_cast<size_t>(count)));
}

std::optional<uint16_t> TransportChecksum(const ByteReader& frame, size_t ipOffset,
                                          uint16_t segmentLength) {
    auto first = frame.U8(ipOffset);
    auto protocol = frame.U8(ipOffset + 9);
    auto addresses = frame.Bytes(ipOffset + 12, 8);
    if (!first || !protocol || !addresses) {
        return std::nullopt;
    }
    auto segment = frame.Bytes(ipOffset + (*first & 0x0F) * 4u, segmentLength);
    if (!segment) {
        return std::nullopt;
    }
    // The pseudo-header is 12 bytes (an even count), so summing it apart from
    // the segment gives the same result as one contiguous buffer.
    const uint8_t tail[4] = {0, *protocol, static_cast<uint8_t>(segmentLength >> 8),
                             static_cast<uint8_t>(segmentLength & 0xFF)};
    uint64_t sum = SumWords(addresses->data(), 8) + SumWords(tail, 4) +
                   SumWords(segment->data(), segment->size());
    return FoldComplement(sum);
}

namespace {

// Hex digits of a line offset: at least four, as "%04X" prints.
size_t OffsetDigits(size_t offset) {
    size_t digits = 4;
    while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
    return digits;
}

// The dump of `count` bytes (count > 0), in size_t throughout so no length
// of any frame wraps.
size_t FormatHexDumpTo(const uint8_t* bytes, size_t count, char* out) {
    char* o = out;
    for (size_t i = 0; i < count; i += kHexDumpBytesPerLine) {
        const size_t end = count - i > kHexDumpBytesPerLine ? i + kHexDumpBytesPerLine : count;
        for (size_t d = OffsetDigits(i); d-- > 0;) {
            *o++ = kHexDigits[(i >> (4 * d)) & 0xF];
        }
        *o++ = ' ';
        *o++ = ' ';
        for (size_t j = i; j < end; ++j) {
            *o++ = kHexDigits[bytes[j] >> 4];
            *o++ = kHexDigits[bytes[j] & 0xF];
            *o++ = ' ';
        }
        for (size_t j = end; j < i + kHexDumpBytesPerLine; ++j) {
            *o++ = ' ';
            *o++ = ' ';
            *o++ = ' ';
        }
        *o++ = ' ';
        for (size_t j = i; j < end; ++j) {
            const uint8_t b = bytes[j];
            *o++ = (b >= 0x21 && b <= 0x7E) ? static_cast<char>(b) : '.';
        }
        *o++ = '\r';
        *o++ = '\n';
    }
    *o = '\0';
    return static_cast<size_t>(o - out);
}

}  // namespace

int FormatHexDump(const uint8_t* bytes, int count, char* out) {
    if (count <= 0 || !bytes) {
        return 0;
    }
    return static_cast<int>(FormatHexDumpTo(bytes, static_cast<size_t>(count), out));
}

std::string FormatHexDump(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return {};
    }
    const size_t lines = (bytes.size() + kHexDumpBytesPerLine - 1) / kHexDumpBytesPerLine;
    const size_t widest = OffsetDigits((lines - 1) * kHexDumpBytesPerLine);
    std::string text(lines * (kHexDumpLineLength + widest - 4) + 1, '\0');
    text.resize(FormatHexDumpTo(bytes.data(), bytes.size(), text.data()));
    return text;
}

std::string FormatIpv4(const Ipv4Address& a) {
    // Two addresses per list row: to_chars rather than snprintf, which was
    // most of the cost of a row.
    char buffer[16];
    char* end = buffer;
    for (size_t i = 0; i < 4; ++i) {
        if (i) *end++ = '.';
        end = std::to_chars(end, buffer + sizeof buffer, a[i]).ptr;
    }
    return std::string(buffer, end);
}

}  // namespace kestrel
