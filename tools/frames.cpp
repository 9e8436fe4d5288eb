#include "tools/frames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/byte_reader.h"
#include "core/text_helpers.h"

namespace kestrel::frames {

void Put16(Bytes& b, unsigned value) {
    b.push_back(static_cast<uint8_t>(value >> 8));
    b.push_back(static_cast<uint8_t>(value));
}

void Put32(Bytes& b, uint32_t value) {
    Put16(b, value >> 16);
    Put16(b, value & 0xFFFF);
}

void Append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

Bytes Text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

Bytes Poke(Bytes b, size_t at, const Bytes& values) {
    if (b.size() < at + values.size())
        b.resize(at + values.size());
    std::memcpy(b.data() + at, values.data(), values.size());
    return b;
}

Bytes Head(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + std::min(n, b.size()));
}

namespace {

// The checksum as stored: InternetChecksum's result is in header byte order.
void StoreChecksum(Bytes& b, size_t at, uint16_t checksum) {
    b[at] = static_cast<uint8_t>(checksum & 0xFF);
    b[at + 1] = static_cast<uint8_t>(checksum >> 8);
}

}  // namespace

Bytes Ethernet(const Bytes& destination, const Bytes& source, unsigned type) {
    Bytes f = destination;
    Append(f, source);
    Put16(f, type);
    return f;
}

Bytes Datagram(const Ipv4& ip, const Bytes& payload) {
    const size_t h = 20 + ip.options.size();
    if (ip.headerLength < 0 && h % 4)
        throw std::invalid_argument("IP options not in 4-byte words");
    const int headerLength = ip.headerLength < 0 ? static_cast<int>(h) : ip.headerLength;
    const int total = ip.totalLength < 0 ? static_cast<int>(h + payload.size()) : ip.totalLength;
    Bytes d;
    d.push_back(static_cast<uint8_t>(ip.version << 4 | ((headerLength / 4) & 0x0F)));
    d.push_back(ip.tos);
    Put16(d, static_cast<unsigned>(total));
    Put16(d, ip.id);
    Put16(d, ip.flags);
    d.push_back(ip.ttl);
    d.push_back(ip.protocol);
    Put16(d, 0);
    Append(d, ip.source);
    Append(d, ip.destination);
    Append(d, ip.options);
    StoreChecksum(d, 10,
                  InternetChecksum(d.data(), static_cast<int>(std::min<size_t>(h, headerLength))));
    Append(d, payload);
    // The transport checksum needs the header where its length says it ends.
    if (!ip.transportChecksum || static_cast<size_t>(headerLength) != h)
        return d;
    const ByteReader reader(d.data(), d.size());
    const auto length = static_cast<uint16_t>(payload.size());
    if (ip.protocol == kIpProtocolTcp && payload.size() >= 18) {
        StoreChecksum(d, h + 16, *TransportChecksum(reader, 0, length));
    } else if (ip.protocol == kIpProtocolUdp && payload.size() >= 8) {
        const uint16_t c = *TransportChecksum(reader, 0, length);
        StoreChecksum(d, h + 6, c == 0 ? 0xFFFF : c);  // 0 would mean "no checksum"
    } else if ((ip.protocol == kIpProtocolIcmp || ip.protocol == kIpProtocolIgmp) &&
               payload.size() >= 4) {
        StoreChecksum(d, h + 2, InternetChecksum(d.data() + h, static_cast<int>(length)));
    }
    return d;
}

Bytes Ip(const Bytes& dstMac, const Bytes& srcMac, const Ipv4& ip, const Bytes& payload) {
    Bytes f = Ethernet(dstMac, srcMac, kEtherTypeIp);
    Append(f, Datagram(ip, payload));
    if (f.size() < 60)
        f.resize(60, 0);
    return f;
}

Bytes Arp(unsigned operation, const Bytes& dstMac, const Bytes& senderMac, const Bytes& senderIp,
          const Bytes& targetMac, const Bytes& targetIp) {
    Bytes f = Ethernet(dstMac, senderMac, kEtherTypeArp);
    Put16(f, 1);  // Ethernet
    Put16(f, kEtherTypeIp);
    f.push_back(6);
    f.push_back(4);
    Put16(f, operation);
    Append(f, senderMac);
    Append(f, senderIp);
    Append(f, targetMac);
    Append(f, targetIp);
    f.resize(60, 0);
    return f;
}

Bytes Udp(unsigned sourcePort, unsigned destinationPort, const Bytes& data) {
    Bytes u;
    Put16(u, sourcePort);
    Put16(u, destinationPort);
    Put16(u, static_cast<unsigned>(8 + data.size()));
    Put16(u, 0);
    Append(u, data);
    return u;
}

Bytes Tcp(unsigned sourcePort, unsigned destinationPort, uint32_t sequence,
          uint32_t acknowledgement, uint8_t flags, unsigned window, const Bytes& options,
          const Bytes& data) {
    if (options.size() % 4)
        throw std::invalid_argument("TCP options not in 4-byte words");
    Bytes t;
    Put16(t, sourcePort);
    Put16(t, destinationPort);
    Put32(t, sequence);
    Put32(t, acknowledgement);
    t.push_back(static_cast<uint8_t>(((20 + options.size()) / 4) << 4));
    t.push_back(flags);
    Put16(t, window);
    Put16(t, 0);
    Put16(t, 0);
    Append(t, options);
    Append(t, data);
    return t;
}

Bytes Icmp(uint8_t type, uint8_t code, unsigned rest1, unsigned rest2, const Bytes& data) {
    Bytes i = {type, code, 0, 0};
    Put16(i, rest1);
    Put16(i, rest2);
    Append(i, data);
    return i;
}

Bytes Quote(const Bytes& frame) {
    const size_t h = (frame[14] & 0x0F) * 4u;
    return Bytes(frame.begin() + 14, frame.begin() + 14 + static_cast<long>(h) + 8);
}

namespace {

class Writer {
public:
    Writer(std::FILE* out, bool bigEndian) : m_out(out), m_bigEndian(bigEndian) {}
    void U16(uint16_t v) {
        const uint8_t b[2] = {static_cast<uint8_t>(m_bigEndian ? v >> 8 : v),
                              static_cast<uint8_t>(m_bigEndian ? v : v >> 8)};
        Raw(b, 2);
    }
    void U32(uint32_t v) {
        if (m_bigEndian) {
            U16(static_cast<uint16_t>(v >> 16));
            U16(static_cast<uint16_t>(v));
        } else {
            U16(static_cast<uint16_t>(v));
            U16(static_cast<uint16_t>(v >> 16));
        }
    }
    void Raw(const uint8_t* bytes, size_t n) {
        if (n && std::fwrite(bytes, 1, n, m_out) != n)
            m_ok = false;
    }
    void Pad(size_t n) {
        static const uint8_t kZeros[4] = {};
        Raw(kZeros, (4 - n % 4) % 4);
    }
    bool Ok() const { return m_ok; }

private:
    std::FILE* m_out;
    bool m_bigEndian;
    bool m_ok = true;
};

uint32_t WireLength(const Record& r) {
    return r.length ? r.length : static_cast<uint32_t>(r.bytes.size());
}

void WritePcap(Writer& w, Format format, uint32_t snaplen, const std::vector<Record>& records) {
    w.U32(format == Format::PcapNano ? 0xA1B23C4D : 0xA1B2C3D4);
    w.U16(2);
    w.U16(4);
    w.U32(0);  // time zone offset
    w.U32(0);  // accuracy
    w.U32(snaplen);
    w.U32(1);  // Ethernet
    for (const Record& r : records) {
        w.U32(r.seconds);
        w.U32(r.fraction);
        w.U32(static_cast<uint32_t>(r.bytes.size()));
        w.U32(WireLength(r));
        w.Raw(r.bytes.data(), r.bytes.size());
    }
}

// A section header, one interface with nanosecond stamps, enhanced packet blocks.
void WritePcapNg(Writer& w, uint32_t snaplen, const std::vector<Record>& records) {
    w.U32(0x0A0D0D0A);
    w.U32(28);
    w.U32(0x1A2B3C4D);
    w.U16(1);
    w.U16(0);
    w.U32(0xFFFFFFFF);  // section length unknown
    w.U32(0xFFFFFFFF);
    w.U32(28);

    w.U32(1);
    w.U32(32);
    w.U16(1);  // Ethernet
    w.U16(0);
    w.U32(snaplen);
    w.U16(9);  // if_tsresol: 10^-9
    w.U16(1);
    const uint8_t resolution[4] = {9, 0, 0, 0};
    w.Raw(resolution, 4);
    w.U32(0);  // end of options
    w.U32(32);

    for (const Record& r : records) {
        const uint64_t stamp = uint64_t{r.seconds} * 1000000000u + r.fraction;
        const uint32_t padded = static_cast<uint32_t>((r.bytes.size() + 3) / 4 * 4);
        w.U32(6);
        w.U32(32 + padded);
        w.U32(0);
        w.U32(static_cast<uint32_t>(stamp >> 32));
        w.U32(static_cast<uint32_t>(stamp));
        w.U32(static_cast<uint32_t>(r.bytes.size()));
        w.U32(WireLength(r));
        w.Raw(r.bytes.data(), r.bytes.size());
        w.Pad(r.bytes.size());
        w.U32(32 + padded);
    }
}

}  // namespace

bool WriteCapture(const std::string& path, Format format, uint32_t snaplen,
                  const std::vector<Record>& records) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    Writer w(out, format == Format::PcapBigEndian);
    if (format == Format::PcapNgNano) {
        WritePcapNg(w, snaplen, records);
    } else {
        WritePcap(w, format, snaplen, records);
    }
    const bool closed = std::fclose(out) == 0;
    return w.Ok() && closed;
}

}  // namespace kestrel::frames
