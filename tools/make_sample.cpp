// kestrel-make-sample: writes the sample capture that ships with Kestrel.
//
// The frames are built here, byte by byte, so the file is the same on every
// build: a small office LAN where a host resolves its gateway (ARP), pings a
// server (ICMP echo), looks a name up (DNS over UDP), fetches a page over
// TCP (handshake with MSS, SACK, timestamps and window scale, data, close),
// joins a multicast group (IGMPv2 with Router Alert), traces a route (an IP
// Record Route option and an ICMP time exceeded), and gets a port
// unreachable back. Checksums are computed, so every verdict reads OK.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/pac_file.h"
#include "core/packet_store.h"
#include "core/text_helpers.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kHostMac = {0x00, 0x1b, 0x21, 0x3a, 0x4c, 0x5e};
const Bytes kGatewayMac = {0x00, 0x0d, 0xb9, 0x41, 0x7f, 0x02};
const Bytes kBroadcastMac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const Bytes kHostIp = {192, 168, 10, 23};
const Bytes kGatewayIp = {192, 168, 10, 1};
const Bytes kServerIp = {203, 0, 113, 80};
const Bytes kDnsIp = {192, 168, 10, 53};
const Bytes kRouterIp = {198, 51, 100, 1};

void Put16(Bytes& b, unsigned value) {
    b.push_back(static_cast<uint8_t>(value >> 8));
    b.push_back(static_cast<uint8_t>(value));
}
void Put32(Bytes& b, unsigned long value) {
    Put16(b, static_cast<unsigned>(value >> 16) & 0xFFFF);
    Put16(b, static_cast<unsigned>(value) & 0xFFFF);
}
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// The checksum as stored: InternetChecksum's result is in header byte order.
void StoreChecksum(Bytes& b, size_t at, uint16_t checksum) {
    b[at] = static_cast<uint8_t>(checksum & 0xFF);
    b[at + 1] = static_cast<uint8_t>(checksum >> 8);
}

Bytes Ethernet(const Bytes& destination, const Bytes& source, unsigned type) {
    Bytes f = destination;
    Append(f, source);
    Put16(f, type);
    return f;
}

// Ethernet + IPv4 (with `options`, a multiple of 4 bytes) + `payload`, with the
// header checksum and, for TCP, UDP, ICMP and IGMP, the payload's checksum.
Bytes Ip(const Bytes& dstMac, const Bytes& srcMac, uint8_t protocol, const Bytes& src,
         const Bytes& dst, Bytes payload, unsigned id, uint8_t ttl = 64, const Bytes& options = {},
         unsigned flags = 0x4000, uint8_t tos = 0) {
    Bytes f = Ethernet(dstMac, srcMac, kestrel::kEtherTypeIp);
    const size_t h = 20 + options.size();
    f.push_back(static_cast<uint8_t>(0x40 | (h / 4)));
    f.push_back(tos);
    Put16(f, static_cast<unsigned>(h + payload.size()));
    Put16(f, id);
    Put16(f, flags);
    f.push_back(ttl);
    f.push_back(protocol);
    Put16(f, 0);
    Append(f, src);
    Append(f, dst);
    Append(f, options);
    StoreChecksum(f, 24, kestrel::InternetChecksum(f.data() + 14, static_cast<int>(h)));
    const size_t s = f.size();
    Append(f, payload);
    const kestrel::ByteReader reader(f.data(), f.size());
    const auto length = static_cast<uint16_t>(payload.size());
    if (protocol == kestrel::kIpProtocolTcp) {
        StoreChecksum(f, s + 16, *kestrel::TransportChecksum(reader, 14, length));
    } else if (protocol == kestrel::kIpProtocolUdp) {
        const uint16_t c = *kestrel::TransportChecksum(reader, 14, length);
        StoreChecksum(f, s + 6, c == 0 ? 0xFFFF : c);
    } else if (protocol == kestrel::kIpProtocolIcmp || protocol == kestrel::kIpProtocolIgmp) {
        StoreChecksum(f, s + 2, kestrel::InternetChecksum(f.data() + s, static_cast<int>(length)));
    }
    // Short frames are padded to the Ethernet minimum of 60 bytes.
    if (f.size() < 60) f.resize(60, 0);
    return f;
}

Bytes Arp(unsigned operation, const Bytes& dstMac, const Bytes& senderMac, const Bytes& senderIp,
          const Bytes& targetMac, const Bytes& targetIp) {
    Bytes f = Ethernet(dstMac, senderMac, kestrel::kEtherTypeArp);
    Put16(f, 1);       // Ethernet
    Put16(f, 0x0800);  // IPv4
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

Bytes Tcp(unsigned sourcePort, unsigned destinationPort, unsigned long sequence,
          unsigned long acknowledgement, uint8_t flags, unsigned window, const Bytes& options,
          const Bytes& data) {
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

// The first 28 bytes of an IP datagram (header + 8), as ICMP errors quote them.
Bytes Quote(const Bytes& frame) { return Bytes(frame.begin() + 14, frame.begin() + 14 + 28); }

Bytes DnsQuery(unsigned id, bool response) {
    Bytes d;
    Put16(d, id);
    Put16(d, response ? 0x8180 : 0x0100);
    Put16(d, 1);
    Put16(d, response ? 1 : 0);
    Put16(d, 0);
    Put16(d, 0);
    for (const char* label : {"www", "example", "net"}) {
        d.push_back(static_cast<uint8_t>(std::strlen(label)));
        Append(d, Text(label));
    }
    d.push_back(0);
    Put16(d, 1);  // A
    Put16(d, 1);  // IN
    if (response) {
        Put16(d, 0xC00C);
        Put16(d, 1);
        Put16(d, 1);
        Put32(d, 3600);
        Put16(d, 4);
        Append(d, kServerIp);
    }
    return d;
}

Bytes TcpSynOptions(unsigned long timestamp, unsigned long echo) {
    Bytes o = {2, 4, 0x05, 0xb4, 4, 2, 8, 10};  // MSS 1460, SACK permitted, timestamps
    Put32(o, timestamp);
    Put32(o, echo);
    Append(o, {1, 3, 3, 7});                   // NOP, window scale 7
    return o;
}
Bytes TcpTimestamps(unsigned long timestamp, unsigned long echo) {
    Bytes o = {1, 1, 8, 10};
    Put32(o, timestamp);
    Put32(o, echo);
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: kestrel-make-sample OUT.pac\n");
        return 2;
    }
    std::vector<Bytes> frames;
    frames.push_back(Arp(1, kBroadcastMac, kHostMac, kHostIp, Bytes(6, 0), kGatewayIp));
    frames.push_back(Arp(2, kHostMac, kGatewayMac, kGatewayIp, kHostMac, kHostIp));
    Bytes ping = Text("abcdefghijklmnopqrstuvwabcdefghi");
    frames.push_back(Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolIcmp, kHostIp, kServerIp,
                        Icmp(8, 0, 0x0001, 1, ping), 0x1c46));
    frames.push_back(Ip(kHostMac, kGatewayMac, kestrel::kIpProtocolIcmp, kServerIp, kHostIp,
                        Icmp(0, 0, 0x0001, 1, ping), 0x8a10, 52));
    frames.push_back(Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolUdp, kHostIp, kDnsIp,
                        Udp(50123, 53, DnsQuery(0x4b1d, false)), 0x1c47));
    frames.push_back(Ip(kHostMac, kGatewayMac, kestrel::kIpProtocolUdp, kDnsIp, kHostIp,
                        Udp(53, 50123, DnsQuery(0x4b1d, true)), 0x0311));

    const unsigned long c = 0x6b8b4567, s = 0x327b23c6;  // initial sequence numbers
    const unsigned port = 41570;
    frames.push_back(Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                        Tcp(port, 80, c, 0, 0x02, 64240, TcpSynOptions(1000, 0), {}), 0x1c48));
    frames.push_back(Ip(kHostMac, kGatewayMac, kestrel::kIpProtocolTcp, kServerIp, kHostIp,
                        Tcp(80, port, s, c + 1, 0x12, 65160, TcpSynOptions(77000, 1000), {}),
                        0, 52));
    frames.push_back(Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                        Tcp(port, 80, c + 1, s + 1, 0x10, 502, TcpTimestamps(1010, 77000), {}),
                        0x1c49));
    const Bytes request = Text(
        "GET / HTTP/1.1\r\nHost: www.example.net\r\nUser-Agent: kestrel-sample\r\n"
        "Accept: */*\r\n\r\n");
    frames.push_back(Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                        Tcp(port, 80, c + 1, s + 1, 0x18, 502, TcpTimestamps(1011, 77000), request),
                        0x1c4a));
    const Bytes response = Text(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 49\r\n\r\n"
        "<html><body><h1>Hello, Kestrel</h1></body></html>");
    const unsigned long afterRequest = c + 1 + request.size();
    frames.push_back(Ip(kHostMac, kGatewayMac, kestrel::kIpProtocolTcp, kServerIp, kHostIp,
                        Tcp(80, port, s + 1, afterRequest, 0x18, 509, TcpTimestamps(77020, 1011),
                            response),
                        0x0001, 52));
    const unsigned long afterResponse = s + 1 + response.size();
    frames.push_back(Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                        Tcp(port, 80, afterRequest, afterResponse, 0x11, 501,
                            TcpTimestamps(1030, 77020), {}),
                        0x1c4b));
    frames.push_back(Ip(kHostMac, kGatewayMac, kestrel::kIpProtocolTcp, kServerIp, kHostIp,
                        Tcp(80, port, afterResponse, afterRequest + 1, 0x11, 509,
                            TcpTimestamps(77031, 1030), {}),
                        0x0002, 52));
    frames.push_back(Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                        Tcp(port, 80, afterRequest + 1, afterResponse + 1, 0x10, 501,
                            TcpTimestamps(1032, 77031), {}),
                        0x1c4c));

    // IGMPv2 membership report for 239.255.255.250 with Router Alert.
    const Bytes group = {239, 255, 255, 250};
    const Bytes multicastMac = {0x01, 0x00, 0x5e, 0x7f, 0xff, 0xfa};
    Bytes report = {0x16, 0, 0, 0};
    Append(report, group);
    frames.push_back(Ip(multicastMac, kHostMac, kestrel::kIpProtocolIgmp, kHostIp, group, report,
                        0x1c4d, 1, {0x94, 0x04, 0x00, 0x00}, 0x0000, 0xc0));
    // A general query from the gateway: maximum response time 10 s.
    Bytes query = {0x11, 100, 0, 0, 0, 0, 0, 0};
    frames.push_back(Ip({0x01, 0x00, 0x5e, 0x00, 0x00, 0x01}, kGatewayMac,
                        kestrel::kIpProtocolIgmp, kGatewayIp, {224, 0, 0, 1}, query, 0x0400, 1,
                        {0x94, 0x04, 0x00, 0x00}, 0x0000, 0xc0));

    // A traceroute probe with a Record Route option (room for 9 addresses),
    // the time exceeded it provokes, and a port unreachable at the target.
    Bytes recordRoute = {0x07, 39, 4};
    recordRoute.resize(39, 0);
    recordRoute.push_back(0);  // end of option list, pads to 40 bytes
    const Bytes probe = Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolUdp, kHostIp, kServerIp,
                           Udp(43001, 33434, Bytes(12, 0x40)), 0x1c4e, 1, recordRoute, 0x0000);
    frames.push_back(probe);
    frames.push_back(Ip(kHostMac, kGatewayMac, kestrel::kIpProtocolIcmp, kGatewayIp, kHostIp,
                        Icmp(11, 0, 0, 0, Quote(probe)), 0x2e01, 255, {}, 0x0000, 0xc0));
    const Bytes late = Ip(kGatewayMac, kHostMac, kestrel::kIpProtocolUdp, kHostIp, kServerIp,
                          Udp(43002, 33435, Bytes(12, 0x40)), 0x1c4f, 30, {}, 0x0000);
    frames.push_back(late);
    frames.push_back(Ip(kHostMac, kGatewayMac, kestrel::kIpProtocolIcmp, kServerIp, kHostIp,
                        Icmp(3, 3, 0, 0, Quote(late)), 0x8a11, 52, {}, 0x0000));

    kestrel::PacketStore store;
    // Monday 2026-12-07 09:30:00 UTC, then a few milliseconds apart.
    const uint32_t start = 1796635800;
    uint32_t usec = 125000;
    for (const Bytes& frame : frames) {
        kestrel::PacketHeader header;
        header.tv_sec = start + usec / 1000000;
        header.tv_usec = usec % 1000000;
        header.caplen = header.len = static_cast<uint32_t>(frame.size());
        if (store.AppendPacket(kestrel::MakePacket(header, frame.data())) !=
            kestrel::PacketStore::AppendResult::Stored) {
            std::fprintf(stderr, "kestrel-make-sample: out of memory\n");
            return 1;
        }
        usec += 180000 + static_cast<uint32_t>(frame.size()) * 1000;
    }
    std::string error;
    if (!kestrel::WritePacFile(store, argv[1], error)) {
        std::fprintf(stderr, "kestrel-make-sample: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
