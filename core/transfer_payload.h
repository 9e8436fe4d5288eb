// The bytes that carry dragged packets from one packet list to another: the
// packets themselves (header fields and frame bytes), so a drop from another
// running Kestrel works and a foreign or damaged payload can be refused.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/packet.h"

namespace kestrel {

// First four bytes of every payload.
inline constexpr uint8_t kTransferMagic[4] = {'K', 'S', 'T', 'R'};
inline constexpr uint32_t kTransferVersion = 1;
// Bytes before the first packet: magic, version, count.
inline constexpr size_t kTransferPrologueSize = 12;
// Bytes of the four header fields of one packet.
inline constexpr size_t kTransferRecordHeaderSize = 16;
// Largest caplen a payload may carry (four times the largest Ethernet
// snapshot length a capture library hands out).
inline constexpr uint32_t kTransferMaxCaplen = 65536u * 4u;
// Largest count a payload may carry: a list never holds more rows.
inline constexpr uint32_t kTransferMaxCount = 30000;

// The payload for `packets`, in their order. Null packets are skipped.
std::vector<uint8_t> EncodeTransferPayload(std::span<const Packet* const> packets);

// The packets of a payload, in payload order; nullopt when the payload is
// malformed in any way (bad magic or version, a count or a length reaching
// beyond the bytes, a caplen above kTransferMaxCaplen, a count above
// kTransferMaxCount, bytes left over) or memory for a packet cannot be had.
// Nothing is kept from a refused payload.
std::optional<std::vector<PacketPtr>> DecodeTransferPayload(std::span<const uint8_t> payload);

}  // namespace kestrel
