#include "core/packet.h"

#include <cstring>
#include <new>

namespace kestrel {

Packet* MakePacket(const PacketHeader& header, const uint8_t* bytes) {
    if (header.caplen > kMaxPacketLength) {
        return nullptr;
    }
    auto* record = new (std::nothrow) Packet;
    if (!record) {
        return nullptr;
    }
    record->header = new (std::nothrow) PacketHeader(header);
    // A zero-length frame still gets its own (empty) block so every packet has
    // the same shape.
    record->data = new (std::nothrow) uint8_t[header.caplen ? header.caplen : 1];
    if (!record->header || !record->data) {
        ReleasePacket(record);
        return nullptr;
    }
    if (header.caplen && bytes) {
        std::memcpy(record->data, bytes, header.caplen);
    }
    return record;
}

void ReleasePacket(Packet* packet) {
    if (!packet) {
        return;
    }
    delete packet->header;
    delete[] packet->data;
    delete packet;
}

Packet* CopyPacket(const Packet* packet) {
    if (!packet || !packet->header) {
        return nullptr;
    }
    return MakePacket(*packet->header, packet->data);
}

}  // namespace kestrel
