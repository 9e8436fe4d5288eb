// Bounded access to the bytes of one frame.
//
// Every decoder and text helper reads frame bytes through a ByteReader, by
// absolute frame offset. A read of a field that lies beyond the captured
// bytes yields no value; a read that would run past the end cannot happen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/packet.h"

namespace kestrel {

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
    explicit ByteReader(const Packet& packet)
        : ByteReader(packet.data, packet.header ? packet.header->caplen : 0) {}

    // Number of readable bytes (the captured length, or the narrowed limit).
    size_t Size() const { return m_size; }

    // True when bytes [offset, offset + count) are all readable.
    bool Has(size_t offset, size_t count) const {
        return offset <= m_size && count <= m_size - offset;
    }

    std::optional<uint8_t> U8(size_t offset) const {
        if (!Has(offset, 1)) return std::nullopt;
        return m_data[offset];
    }
    std::optional<uint16_t> Be16(size_t offset) const {
        if (!Has(offset, 2)) return std::nullopt;
        return static_cast<uint16_t>(m_data[offset] << 8 | m_data[offset + 1]);
    }
    std::optional<uint32_t> Be32(size_t offset) const {
        if (!Has(offset, 4)) return std::nullopt;
        return static_cast<uint32_t>(m_data[offset]) << 24 |
               static_cast<uint32_t>(m_data[offset + 1]) << 16 |
               static_cast<uint32_t>(m_data[offset + 2]) << 8 |
               static_cast<uint32_t>(m_data[offset + 3]);
    }

    // Exactly `count` bytes at `offset`, or an empty optional when any of them
    // was not captured.
    std::optional<std::span<const uint8_t>> Bytes(size_t offset, size_t count) const {
        if (!Has(offset, count)) return std::nullopt;
        return std::span<const uint8_t>(m_data + offset, count);
    }

    // As many of the `count` bytes at `offset` as were captured (possibly none).
    std::span<const uint8_t> Available(size_t offset, size_t count) const {
        if (offset >= m_size) return {};
        return std::span<const uint8_t>(m_data + offset, count < m_size - offset ? count : m_size - offset);
    }

    // A reader over the same frame whose readable end is lowered to
    // min(Size(), offset + count): for a length that a header declares.
    ByteReader Narrowed(size_t offset, size_t count) const {
        ByteReader r = *this;
        if (offset < m_size && count < m_size - offset) {
            r.m_size = offset + count;
        }
        return r;
    }

    // Raw start of the frame, for code that takes spans it has bounded itself.
    const uint8_t* Data() const { return m_data; }

private:
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

}  // namespace kestrel
