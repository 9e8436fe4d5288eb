// Ethernet frames built byte by byte, and the capture files that hold them:
// the pieces of the sample capture and of the test corpus generators.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::frames {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, unsigned value);
void Put32(Bytes& b, uint32_t value);
void Append(Bytes& b, const Bytes& more);
Bytes Text(const char* s);
// `b` with `values` written over it from offset `at` on.
Bytes Poke(Bytes b, size_t at, const Bytes& values);
// The first `n` bytes of `b`.
Bytes Head(const Bytes& b, size_t n);

Bytes Ethernet(const Bytes& destination, const Bytes& source, unsigned type);

// An IPv4 header; fields left at -1 are computed.
struct Ipv4 {
    Bytes source{};
    Bytes destination{};
    uint8_t protocol = 0;
    unsigned id = 0;
    uint8_t ttl = 64;
    Bytes options{};          // written after the 20 fixed bytes
    unsigned flags = 0x4000;  // flags and fragment offset, as one word
    uint8_t tos = 0;
    int headerLength = -1;          // -1: 20 + options, as the header length nibble says
    int totalLength = -1;           // -1: header + payload
    bool transportChecksum = true;  // fill the TCP, UDP, ICMP or IGMP checksum
    uint8_t version = 4;
};

// The IPv4 header and `payload`, with the header checksum and, unless told
// otherwise, the checksum of the TCP, UDP, ICMP or IGMP message over the
// whole payload.
Bytes Datagram(const Ipv4& ip, const Bytes& payload);
// An Ethernet frame carrying that datagram, padded to the 60-byte minimum.
Bytes Ip(const Bytes& dstMac, const Bytes& srcMac, const Ipv4& ip, const Bytes& payload);

// An Ethernet/IPv4 ARP message, padded to 60 bytes.
Bytes Arp(unsigned operation, const Bytes& dstMac, const Bytes& senderMac, const Bytes& senderIp,
          const Bytes& targetMac, const Bytes& targetIp);
// Transport messages with a zero checksum (Datagram fills it).
Bytes Udp(unsigned sourcePort, unsigned destinationPort, const Bytes& data);
Bytes Tcp(unsigned sourcePort, unsigned destinationPort, uint32_t sequence,
          uint32_t acknowledgement, uint8_t flags, unsigned window, const Bytes& options,
          const Bytes& data);
Bytes Icmp(uint8_t type, uint8_t code, unsigned rest1, unsigned rest2, const Bytes& data);
// The IP header and first 8 payload bytes of a frame, as ICMP errors quote them.
Bytes Quote(const Bytes& frame);

// One frame of a capture file: its captured bytes, its length on the wire
// (0: as captured) and its time in seconds and micro- or nanoseconds.
struct Record {
    Bytes bytes;
    uint32_t length = 0;
    uint32_t seconds = 0;
    uint32_t fraction = 0;
};

enum class Format { Pcap, PcapBigEndian, PcapNano, PcapNgNano };

// Writes `records` as a capture file of link type Ethernet; false on failure.
bool WriteCapture(const std::string& path, Format format, uint32_t snaplen,
                  const std::vector<Record>& records);

}  // namespace kestrel::frames
