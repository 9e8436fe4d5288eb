// Packet record: a capture header and the frame bytes, each in its own heap block.
#pragma once

#include <cstdint>
#include <memory>

namespace kestrel {

// Field-for-field copy of the per-packet header a capture library hands out.
// Every reader takes the byte count from caplen; len is carried along only.
struct PacketHeader {
    uint32_t tv_sec = 0;   // seconds since 1970-01-01 00:00:00 UTC
    uint32_t tv_usec = 0;  // microseconds within that second
    uint32_t caplen = 0;   // bytes held in Packet::data
    uint32_t len = 0;      // length of the frame on the wire
};
static_assert(sizeof(PacketHeader) == 16);

// A packet owns its header and exactly header->caplen bytes of frame data
// (beginning with the Ethernet destination address). The bytes are never
// modified once the packet is made. A caplen of 0 is valid.
struct Packet {
    PacketHeader* header = nullptr;
    uint8_t* data = nullptr;
};

// Makes a packet from a header and caplen bytes; nullptr when memory for any
// of the three blocks cannot be had (nothing is leaked then).
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
