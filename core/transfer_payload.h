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
// The same with 64-bit seconds: written only when a packet's time is past
// 2106, so other running programs that know version 1 alone still take
// every other drag.
inline constexpr uint32_t kTransferWideVersion = 2;
// Bytes before the first packet: magic, version, count.
inline constexpr size_t kTransferPrologueSize = 12;
// Bytes of the four header fields of one packet (version 1; version 2 has
// four more).
inline constexpr size_t kTransferRecordHeaderSize = 16;
// Largest count a payload may carry: a list never holds more rows. A packet
// may be of any caplen a store holds; the payload's own length bounds it.
inline constexpr uint32_t kTransferMaxCount = 30000;

// Bytes of the payload for `packets`. Null packets are skipped.
size_t TransferPayloadSize(std::span<const Packet* const> packets);
// Writes the payload for `packets`, in their order, into `out`, which is
// exactly TransferPayloadSize(packets) bytes long. Null packets are skipped.
void EncodeTransferPayload(std::span<const Packet* const> packets, std::span<uint8_t> out);
// The same into a new buffer (throws std::bad_alloc when it cannot be had).
std::vector<uint8_t> EncodeTransferPayload(std::span<const Packet* const> packets);

// The bytes of one payload, read in order: a buffer in memory, or a stream
// from another process whose length was announced beforehand.
class TransferByteSource {
public:
    virtual ~TransferByteSource() = default;
    // Bytes of the payload not read yet.
    virtual size_t Remaining() const = 0;
    // Fills `out` with the next bytes (never more than Remaining()); false
    // when they cannot be had.
    virtual bool Read(std::span<uint8_t> out) = 0;
};

// The packets of a payload, in payload order; nullopt when the payload is
// malformed in any way (bad magic or version, version 2 without a time that
// needs it, a count or a length reaching beyond the bytes, a count above
// kTransferMaxCount, bytes left over), its bytes cannot be read, or memory
// for the packets cannot be had. Nothing is kept from a refused payload, and
// nothing is allocated for a length the remaining bytes cannot hold.
std::optional<std::vector<PacketPtr>> DecodeTransferPayload(TransferByteSource& source);
std::optional<std::vector<PacketPtr>> DecodeTransferPayload(std::span<const uint8_t> payload);

}  // namespace kestrel
