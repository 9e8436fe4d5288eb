// Packet record: a capture header and the frame bytes, each in its own heap block.
#pragma once

#include <cstdint>
#include <memory>

namespace kestrel {

// Field-for-field copy of the per-packet header a capture library hands out.
// Every reader takes the byte count from caplen; len is carried along only.
// The seconds are 64 bits wide, as the library's are: pcapng files hold
// times past 2106, which 32 bits would wrap to 1970.
struct PacketHeader {
    uint64_t tv_sec = 0;   // seconds since 1970-01-01 00:00:00 UTC
    uint32_t tv_usec = 0;  // microseconds within that second
    uint32_t caplen = 0;   // bytes held in Packet::data
    uint32_t len = 0;      // length of the frame on the wire

    bool operator==(const PacketHeader&) const = default;
};

// The largest captured length a packet may have: 256 MiB. Every view must be
// able to show a packet, and every length computed from caplen must stay in
// range: the hex dump text (77 characters per 16 bytes at most) and its
// character indexes, the tree's byte ranges and the root's byte count are
// ints. Captures (snapshot length 65536) and pcap files (libpcap stops at
// 262144) stay far below; a ".pac" record beyond it is a damaged tail.
inline constexpr uint32_t kMaxPacketLength = 1u << 28;

// A packet owns its header and exactly header->caplen bytes of frame data
// (beginning with the Ethernet destination address). The bytes are never
// modified once the packet is made. A caplen of 0 is valid.
struct Packet {
    PacketHeader* header = nullptr;
    uint8_t* data = nullptr;
};

// Makes a packet from a header and caplen bytes; nullptr when memory for any
// of the three blocks cannot be had (nothing is leaked then) or caplen is
// above kMaxPacketLength.
Packet* MakePacket(const PacketHeader& header, const uint8_t* bytes);

// Frees the header, the data block and the record, in this order. Null is ignored.
void ReleasePacket(Packet* packet);

// Deep copy: new header with the four fields, new data block, new record.
// nullptr when memory cannot be had.
Packet* CopyPacket(const Packet* packet);

struct PacketReleaser {
    void operator()(Packet* p) const { ReleasePacket(p); }
};
// Owning handle for code paths that may drop a packet before handing it on.
using PacketPtr = std::unique_ptr<Packet, PacketReleaser>;

}  // namespace kestrel
