// Free functions that turn frame bytes into the numbers and texts the views
// show: the Ethernet split, list summaries, checksums and the hex dump text.
// All of them read the frame through a ByteReader and keep no state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/byte_reader.h"

namespace kestrel {

using MacAddress = std::array<uint8_t, 6>;
using Ipv4Address = std::array<uint8_t, 4>;  // network order, first octet first

// Frame offsets of the Ethernet II header and what follows it.
inline constexpr size_t kEthernetHeaderLength = 14;
inline constexpr uint16_t kEtherTypeIp = 0x0800;
inline constexpr uint16_t kEtherTypeArp = 0x0806;
inline constexpr uint16_t kEtherTypeNetBios = 0x0840;
inline constexpr uint16_t kEtherTypeRarp = 0x8035;
inline constexpr uint16_t kEtherTypeIpx = 0x8137;
inline constexpr uint8_t kIpProtocolIcmp = 1;
inline constexpr uint8_t kIpProtocolIgmp = 2;
inline constexpr uint8_t kIpProtocolTcp = 6;
inline constexpr uint8_t kIpProtocolUdp = 17;

// Writes the source MAC (bytes 6-11) and the destination MAC (bytes 0-5),
// each only when its six bytes were captured, and returns the EtherType
// (bytes 12-13), or -1 when those two bytes were not captured.
int SplitEthernetHeader(const ByteReader& frame, std::optional<MacAddress>& source,
                        std::optional<MacAddress>& destination);

// ARP over Ethernet: the operation name (operations below 24) and the sender
// and target protocol addresses (bytes 28-31 and 38-41).
struct ArpSummary {
    std::string text;  // empty for operation 0, for 24 and above, or when not captured
    std::optional<Ipv4Address> sender;
    std::optional<Ipv4Address> target;
};
ArpSummary SummarizeArpPacket(const ByteReader& frame);

// IPv4: the protocol name with the TCP flag marks or the ICMP type name, the
// total length, the addresses and, for TCP and UDP, the ports. Anything whose
// bytes were not captured is left out.
struct IpSummary {
    std::string text;
    std::optional<uint8_t> protocol;
    std::optional<int> totalLength;
    std::optional<Ipv4Address> source;
    std::optional<Ipv4Address> destination;
    std::optional<uint16_t> sourcePort;
    std::optional<uint16_t> destinationPort;
};
IpSummary SummarizeIpPacket(const ByteReader& frame);

// Internet checksum of `count` bytes; 16-bit words are taken in memory order
// with the first byte as the low half, so the result stored low byte first is
// the checksum in header byte order. A block that holds its own correct
// checksum gives 0. For count <= 0 the result is 0xFFFF.
uint16_t InternetChecksum(const uint8_t* bytes, int count);
inline uint16_t InternetChecksum(std::span<const uint8_t> bytes) {
    return InternetChecksum(bytes.data(), static_cast<int>(bytes.size()));
}

// TCP/UDP checksum over the IPv4 pseudo-header and `segmentLength` bytes of
// the segment, which starts (low nibble of the first header byte) x 4 bytes
// after the IPv4 header at frame offset `ipOffset`. 0 for a correct checksum.
// No value when the pseudo-header fields or any byte of the segment were not
// captured: a checksum over bytes we do not have is never claimed.
std::optional<uint16_t> TransportChecksum(const ByteReader& frame, size_t ipOffset,
                                          uint16_t segmentLength);

// The classic hex dump: per 16 bytes "%04X  ", the bytes as "%02X ", padding
// on a short last line, one space, the printable characters (0x21-0x7E, else
// "."), CR LF. A full line is kHexDumpLineLength characters. Writes a NUL after
// the text (not counted) into `out`, which holds HexDumpBufferSize(count)
// characters; returns the number written. Nothing at all for count <= 0.
inline constexpr int kHexDumpLineLength = 73;
inline constexpr int kHexDumpBytesPerLine = 16;
// Lines whose offset exceeds 0xFFFF print more than four offset digits (at
// most eight), so frames beyond 64 KiB need up to four more characters a line.
inline size_t HexDumpBufferSize(int count) {
    if (count <= 0) return 1;
    const size_t lines = (static_cast<size_t>(count) + 15) / 16;
    return lines * kHexDumpLineLength + (count > 0x10000 ? lines * 4 : 0) + 1;
}
// The text of a count up to kMaxPacketLength fits an int.
int FormatHexDump(const uint8_t* bytes, int count, char* out);
// Any number of bytes (lengths in size_t throughout).
std::string FormatHexDump(std::span<const uint8_t> bytes);

// "%d.%d.%d.%d"
std::string FormatIpv4(const Ipv4Address& address);

}  // namespace kestrel
