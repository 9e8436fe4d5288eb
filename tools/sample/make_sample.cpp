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
#include "tools/frames.h"

namespace {

using namespace kestrel::frames;

const Bytes kHostMac = {0x00, 0x1b, 0x21, 0x3a, 0x4c, 0x5e};
const Bytes kGatewayMac = {0x00, 0x0d, 0xb9, 0x41, 0x7f, 0x02};
const Bytes kBroadcastMac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const Bytes kHostIp = {192, 168, 10, 23};
const Bytes kGatewayIp = {192, 168, 10, 1};
const Bytes kServerIp = {203, 0, 113, 80};
const Bytes kDnsIp = {192, 168, 10, 53};
const Bytes kRouterIp = {198, 51, 100, 1};

// Ethernet + IPv4 with the sample's defaults: TTL 64, don't fragment.
Bytes IpFrame(const Bytes& dstMac, const Bytes& srcMac, uint8_t protocol, const Bytes& src,
              const Bytes& dst, const Bytes& payload, unsigned id, uint8_t ttl = 64,
              const Bytes& options = {}, unsigned flags = 0x4000, uint8_t tos = 0) {
    return Ip(dstMac, srcMac,
              {.source = src,
               .destination = dst,
               .protocol = protocol,
               .id = id,
               .ttl = ttl,
               .options = options,
               .flags = flags,
               .tos = tos},
              payload);
}

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
    frames.push_back(IpFrame(kGatewayMac, kHostMac, kestrel::kIpProtocolIcmp, kHostIp, kServerIp,
                             Icmp(8, 0, 0x0001, 1, ping), 0x1c46));
    frames.push_back(IpFrame(kHostMac, kGatewayMac, kestrel::kIpProtocolIcmp, kServerIp, kHostIp,
                             Icmp(0, 0, 0x0001, 1, ping), 0x8a10, 52));
    frames.push_back(IpFrame(kGatewayMac, kHostMac, kestrel::kIpProtocolUdp, kHostIp, kDnsIp,
                             Udp(50123, 53, DnsQuery(0x4b1d, false)), 0x1c47));
    frames.push_back(IpFrame(kHostMac, kGatewayMac, kestrel::kIpProtocolUdp, kDnsIp, kHostIp,
                             Udp(53, 50123, DnsQuery(0x4b1d, true)), 0x0311));

    const unsigned long c = 0x6b8b4567, s = 0x327b23c6;  // initial sequence numbers
    const unsigned port = 41570;
    frames.push_back(IpFrame(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                             Tcp(port, 80, c, 0, 0x02, 64240, TcpSynOptions(1000, 0), {}), 0x1c48));
    frames.push_back(IpFrame(kHostMac, kGatewayMac, kestrel::kIpProtocolTcp, kServerIp, kHostIp,
                             Tcp(80, port, s, c + 1, 0x12, 65160, TcpSynOptions(77000, 1000), {}),
                             0, 52));
    frames.push_back(IpFrame(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                             Tcp(port, 80, c + 1, s + 1, 0x10, 502, TcpTimestamps(1010, 77000), {}),
                             0x1c49));
    const Bytes request = Text(
        "GET / HTTP/1.1\r\nHost: www.example.net\r\nUser-Agent: kestrel-sample\r\n"
        "Accept: */*\r\n\r\n");
    frames.push_back(IpFrame(
        kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
        Tcp(port, 80, c + 1, s + 1, 0x18, 502, TcpTimestamps(1011, 77000), request), 0x1c4a));
    const Bytes response = Text(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 49\r\n\r\n"
        "<html><body><h1>Hello, Kestrel</h1></body></html>");
    const unsigned long afterRequest = c + 1 + request.size();
    frames.push_back(
        IpFrame(kHostMac, kGatewayMac, kestrel::kIpProtocolTcp, kServerIp, kHostIp,
                Tcp(80, port, s + 1, afterRequest, 0x18, 509, TcpTimestamps(77020, 1011), response),
                0x0001, 52));
    const unsigned long afterResponse = s + 1 + response.size();
    frames.push_back(IpFrame(
        kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
        Tcp(port, 80, afterRequest, afterResponse, 0x11, 501, TcpTimestamps(1030, 77020), {}),
        0x1c4b));
    frames.push_back(IpFrame(
        kHostMac, kGatewayMac, kestrel::kIpProtocolTcp, kServerIp, kHostIp,
        Tcp(80, port, afterResponse, afterRequest + 1, 0x11, 509, TcpTimestamps(77031, 1030), {}),
        0x0002, 52));
    frames.push_back(IpFrame(kGatewayMac, kHostMac, kestrel::kIpProtocolTcp, kHostIp, kServerIp,
                             Tcp(port, 80, afterRequest + 1, afterResponse + 1, 0x10, 501,
                                 TcpTimestamps(1032, 77031), {}),
                             0x1c4c));

    // IGMPv2 membership report for 239.255.255.250 with Router Alert.
    const Bytes group = {239, 255, 255, 250};
    const Bytes multicastMac = {0x01, 0x00, 0x5e, 0x7f, 0xff, 0xfa};
    Bytes report = {0x16, 0, 0, 0};
    Append(report, group);
    frames.push_back(IpFrame(multicastMac, kHostMac, kestrel::kIpProtocolIgmp, kHostIp, group,
                             report, 0x1c4d, 1, {0x94, 0x04, 0x00, 0x00}, 0x0000, 0xc0));
    // A general query from the gateway: maximum response time 10 s.
    Bytes query = {0x11, 100, 0, 0, 0, 0, 0, 0};
    frames.push_back(IpFrame({0x01, 0x00, 0x5e, 0x00, 0x00, 0x01}, kGatewayMac,
                             kestrel::kIpProtocolIgmp, kGatewayIp, {224, 0, 0, 1}, query, 0x0400, 1,
                             {0x94, 0x04, 0x00, 0x00}, 0x0000, 0xc0));

    // A traceroute probe with a Record Route option (room for 9 addresses),
    // the time exceeded it provokes, and a port unreachable at the target.
    Bytes recordRoute = {0x07, 39, 4};
    recordRoute.resize(39, 0);
    recordRoute.push_back(0);  // end of option list, pads to 40 bytes
    const Bytes probe = IpFrame(kGatewayMac, kHostMac, kestrel::kIpProtocolUdp, kHostIp, kServerIp,
                                Udp(43001, 33434, Bytes(12, 0x40)), 0x1c4e, 1, recordRoute, 0x0000);
    frames.push_back(probe);
    frames.push_back(IpFrame(kHostMac, kGatewayMac, kestrel::kIpProtocolIcmp, kGatewayIp, kHostIp,
                             Icmp(11, 0, 0, 0, Quote(probe)), 0x2e01, 255, {}, 0x0000, 0xc0));
    const Bytes late = IpFrame(kGatewayMac, kHostMac, kestrel::kIpProtocolUdp, kHostIp, kServerIp,
                               Udp(43002, 33435, Bytes(12, 0x40)), 0x1c4f, 30, {}, 0x0000);
    frames.push_back(late);
    frames.push_back(IpFrame(kHostMac, kGatewayMac, kestrel::kIpProtocolIcmp, kServerIp, kHostIp,
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
