#include "core/transfer_payload.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kestrel {

namespace {

// Payload layout, all integers unsigned 32-bit little-endian:
//
//   offset  size  field
//   0       4     magic "KSTR"
//   4       4     version (1, or 2 for times past 2106)
//   8       4     count n (at most 30000)
//   12      ...   n records, in the order of the dragged rows:
//                   0   4  tv_sec (version 2: 8, the low word first)
//                   4   4  tv_usec
//                   8   4  caplen
//                   12  4  len
//                   16  caplen  the captured frame bytes
//
// The payload ends with the last record; anything after it is refused.

// Writes into a buffer sized for the whole payload beforehand.
class PayloadWriter {
public:
    explicit PayloadWriter(std::span<uint8_t> out) : m_out(out) {}

    void Le32(uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            m_out[m_offset++] = static_cast<uint8_t>(value >> shift);
    }
    void Bytes(const uint8_t* bytes, size_t count) {
        if (count)
            std::memcpy(m_out.data() + m_offset, bytes, count);
        m_offset += count;
    }

private:
    std::span<uint8_t> m_out;
    size_t m_offset = 0;
};

// Reads little-endian words and packets from a payload, never beyond its end.
class PayloadReader {
public:
    explicit PayloadReader(TransferByteSource& source) : m_source(source) {}

    size_t Remaining() const { return m_source.Remaining(); }

    std::optional<uint32_t> Le32() {
        uint8_t bytes[4];
        if (Remaining() < sizeof bytes || !m_source.Read(bytes))
            return std::nullopt;
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = value << 8 | bytes[i];
        return value;
    }

    bool Bytes(std::span<uint8_t> out) { return Remaining() >= out.size() && m_source.Read(out); }

private:
    TransferByteSource& m_source;
};

class SpanSource : public TransferByteSource {
public:
    explicit SpanSource(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

    size_t Remaining() const override { return m_bytes.size() - m_offset; }
    bool Read(std::span<uint8_t> out) override {
        if (out.size() > Remaining())
            return false;
        if (!out.empty())
            std::memcpy(out.data(), m_bytes.data() + m_offset, out.size());
        m_offset += out.size();
        return true;
    }

private:
    std::span<const uint8_t> m_bytes;
    size_t m_offset = 0;
};

// Version 2 when a packet's seconds need more than 32 bits.
uint32_t VersionFor(std::span<const Packet* const> packets) {
    for (const Packet* packet : packets) {
        if (packet && packet->header && packet->header->tv_sec > UINT32_MAX)
            return kTransferWideVersion;
    }
    return kTransferVersion;
}

size_t RecordHeaderSize(uint32_t version) {
    return kTransferRecordHeaderSize + (version == kTransferWideVersion ? 4 : 0);
}

}  // namespace

size_t TransferPayloadSize(std::span<const Packet* const> packets) {
    const size_t head = RecordHeaderSize(VersionFor(packets));
    size_t size = kTransferPrologueSize;
    for (const Packet* packet : packets) {
        if (packet && packet->header)
            size += head + packet->header->caplen;
    }
    return size;
}

void EncodeTransferPayload(std::span<const Packet* const> packets, std::span<uint8_t> out) {
    uint32_t count = 0;
    for (const Packet* packet : packets) {
        if (packet && packet->header)
            ++count;
    }
    const uint32_t version = VersionFor(packets);
    PayloadWriter writer(out);
    writer.Bytes(kTransferMagic, sizeof kTransferMagic);
    writer.Le32(version);
    writer.Le32(count);
    for (const Packet* packet : packets) {
        if (!packet || !packet->header)
            continue;
        const PacketHeader& header = *packet->header;
        writer.Le32(static_cast<uint32_t>(header.tv_sec));
        if (version == kTransferWideVersion)
            writer.Le32(static_cast<uint32_t>(header.tv_sec >> 32));
        writer.Le32(header.tv_usec);
        writer.Le32(header.caplen);
        writer.Le32(header.len);
        writer.Bytes(packet->data, header.caplen);
    }
}

std::vector<uint8_t> EncodeTransferPayload(std::span<const Packet* const> packets) {
    std::vector<uint8_t> out(TransferPayloadSize(packets));
    EncodeTransferPayload(packets, out);
    return out;
}

std::optional<std::vector<PacketPtr>> DecodeTransferPayload(TransferByteSource& source) {
    PayloadReader reader(source);
    uint8_t magic[sizeof kTransferMagic];
    if (!reader.Bytes(magic) ||
        !std::equal(std::begin(magic), std::end(magic), std::begin(kTransferMagic)))
        return std::nullopt;
    const auto version = reader.Le32();
    const auto count = reader.Le32();
    if (!version || (*version != kTransferVersion && *version != kTransferWideVersion) || !count ||
        *count > kTransferMaxCount)
        return std::nullopt;
    // Every record needs at least its header: a count the bytes cannot hold
    // is refused before anything is allocated.
    if (*count > reader.Remaining() / RecordHeaderSize(*version))
        return std::nullopt;

    std::vector<PacketPtr> packets;
    try {
        packets.reserve(*count);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    for (uint32_t i = 0; i < *count; ++i) {
        const auto tvSec = reader.Le32();
        const auto tvSecHigh = *version == kTransferWideVersion ? reader.Le32() : 0u;
        const auto tvUsec = reader.Le32();
        const auto caplen = reader.Le32();
        const auto len = reader.Le32();
        if (!tvSec || !tvSecHigh || !tvUsec || !caplen || !len || *caplen > reader.Remaining())
            return std::nullopt;
        const PacketHeader header{uint64_t{*tvSecHigh} << 32 | *tvSec, *tvUsec, *caplen, *len};
        // The frame bytes are read straight into the new packet.
        PacketPtr packet(MakePacket(header, nullptr));
        if (!packet || !reader.Bytes(std::span<uint8_t>(packet->data, header.caplen)))
            return std::nullopt;
        packets.push_back(std::move(packet));
    }
    if (reader.Remaining() != 0)
        return std::nullopt;
    // Version 2 is written only for a time past 2106: one without is no
    // payload of ours (and every payload has one encoding).
    const bool wide = std::any_of(packets.begin(), packets.end(), [](const PacketPtr& packet) {
        return packet->header->tv_sec > UINT32_MAX;
    });
    if (wide != (*version == kTransferWideVersion))
        return std::nullopt;
    return packets;
}

std::optional<std::vector<PacketPtr>> DecodeTransferPayload(std::span<const uint8_t> payload) {
    SpanSource source(payload);
    return DecodeTransferPayload(source);
}

}  // namespace kestrel
