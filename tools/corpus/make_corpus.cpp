// kestrel-make-corpus: writes the capture corpus of the test suite.
//
//   kestrel-make-corpus OUT-FOLDER
//
// Every frame is built here byte by byte, so the files are the same on every
// run; tests/corpus holds their output and a test checks that it still does.
// One file per theme, each frame chosen to reach a rule of the decoders, the
// list rows or the file readers: ordinary traffic, the odd cases real
// networks and fuzzers produce (unknown types and options, lengths that run
// past the header or the capture, bad checksums), truncated frames (caplen
// below the wire length), and the file formats (pcap in both byte orders and
// with nanoseconds, pcapng with nanoseconds, an empty pcapng).
//
// The expected decode trees in tests/decode/golden/<file>.tree were written
// by kestrel-dump --tree (KESTREL_UPDATE_GOLDEN=1 when the decode tests run),
// and every field value in them was compared with tshark's dissection of the
// same frames (the tree tshark -V prints, read as -T pdml for its byte
// positions) by tools/corpus/compare_with_tshark.py: it matches each item with the
// tshark field at the same bytes and prints each value that disagrees; the
// disagreements left are the decoders' own rules, listed with the reason at
// the end of that script. tools/corpus/corpus_coverage.py checks that these files
// reach every decoder line and branch that the peer captures reach.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "core/text_helpers.h"
#include "tools/frames.h"

namespace {

using namespace kestrel::frames;
using kestrel::kIpProtocolIcmp, kestrel::kIpProtocolIgmp, kestrel::kIpProtocolTcp,
    kestrel::kIpProtocolUdp;

const Bytes kClientMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
const Bytes kRouterMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const Bytes kServerMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x50};
const Bytes kBroadcastMac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const Bytes kClient = {192, 0, 2, 10};
const Bytes kRouter = {192, 0, 2, 1};
const Bytes kNeighbour = {192, 0, 2, 20};
const Bytes kServer = {198, 51, 100, 80};
const Bytes kFarHost = {203, 0, 113, 5};

// The frames of one file, stamped 10.25 ms apart from `start`.
class Capture {
public:
    explicit Capture(uint32_t start) : m_start(start) {}
    // A frame captured whole.
    void Add(const Bytes& frame) { Cut(frame, frame.size()); }
    // The first `caplen` bytes of `frame`, which had `length` bytes on the wire
    // (0: the frame's size).
    void Cut(const Bytes& frame, size_t caplen, uint32_t length = 0) {
        const uint64_t us = uint64_t{m_records.size()} * 10250 + 125;
        Record r;
        r.bytes = Head(frame, caplen);
        r.length = length ? length : static_cast<uint32_t>(frame.size());
        r.seconds = m_start + static_cast<uint32_t>(us / 1000000);
        r.fraction = static_cast<uint32_t>(us % 1000000);
        m_records.push_back(r);
    }
    void Stamp(uint32_t seconds, uint32_t fraction) {
        m_records.back().seconds = seconds;
        m_records.back().fraction = fraction;
    }
    std::vector<Record>& Records() { return m_records; }

private:
    uint32_t m_start;
    std::vector<Record> m_records;
};

// Frames from the client to the router's MAC and back.
Bytes Out(const Ipv4& ip, const Bytes& payload) {
    return Ip(kRouterMac, kClientMac, ip, payload);
}
Bytes In(const Ipv4& ip, const Bytes& payload) {
    return Ip(kClientMac, kRouterMac, ip, payload);
}

Ipv4 ClientTo(const Bytes& destination, uint8_t protocol, unsigned id) {
    return {.source = kClient, .destination = destination, .protocol = protocol, .id = id};
}

// An ICMP extension structure (version 2) holding `objects`, checksummed.
Bytes IcmpExtension(const Bytes& objects) {
    Bytes e = {0x20, 0x00, 0x00, 0x00};
    Append(e, objects);
    const uint16_t sum = kestrel::InternetChecksum(e.data(), static_cast<int>(e.size()));
    e[2] = static_cast<uint8_t>(sum & 0xFF);
    e[3] = static_cast<uint8_t>(sum >> 8);
    return e;
}

Bytes Repeat(const char* text, size_t n) {
    Bytes out;
    while (out.size() < n)
        out.push_back(static_cast<uint8_t>(text[out.size() % std::strlen(text)]));
    return out;
}

// ARP: requests and replies, operations in and past the name table, odd
// hardware and protocol types and sizes, and messages cut short.
std::vector<Record> ArpFrames() {
    Capture c(1767225600);  // 2026-01-01 00:00:00 UTC
    const Bytes none(6, 0);
    const Bytes request = Arp(1, kBroadcastMac, kClientMac, kClient, none, kRouter);
    c.Add(request);
    c.Add(Head(Arp(2, kClientMac, kRouterMac, kRouter, kClientMac, kClient), 42));
    c.Add(Arp(1, kBroadcastMac, kClientMac, kClient, none, kClient));  // gratuitous
    for (unsigned operation : {3u, 4u, 8u, 9u, 23u, 24u, 0xAAAAu})
        c.Add(Arp(operation, kBroadcastMac, kClientMac, kClient, kRouterMac, kRouter));
    // IEEE 802 hardware with IPv6-sized protocol addresses; fuzzed types and sizes.
    c.Add(Poke(request, 14, {0x00, 0x06, 0x86, 0xdd, 6, 16}));
    c.Add(Poke(request, 14, {0x25, 0x00, 0x00, 0x00, 0, 170}));
    c.Add(Poke(request, 14, {0x20, 0x01, 0x08, 0x00, 170, 0}));
    // Only 8 bytes of the message captured, from a frame of 65570 bytes.
    c.Cut(Poke(request, 14, {0xff, 0x00, 0x08, 0x00, 0, 0, 0x00, 0x01}), 22, 65570);
    c.Cut(request, 31);  // inside the sender's protocol address
    c.Cut(request, 14);  // the Ethernet header alone
    c.Cut(request, 13);  // cut inside the type
    c.Cut(request, 5);   // cut inside the destination
    return c.Records();
}

// ICMP: echo, every message with fields of its own, errors quoting IP with
// UDP or TCP, types outside the classic table, bad checksums and lengths.
std::vector<Record> IcmpFrames() {
    Capture c(1767229200);
    const Bytes ping = Text("abcdefghijklmnopqrst");
    const Bytes echo = Out(ClientTo(kServer, kIpProtocolIcmp, 0x0101), Icmp(8, 0, 0x4b31, 1, ping));
    c.Add(echo);
    c.Add(In({.source = kServer,
              .destination = kClient,
              .protocol = kIpProtocolIcmp,
              .id = 0x7001,
              .ttl = 52,
              .flags = 0},
             Icmp(0, 0, 0x4b31, 1, ping)));

    const Bytes probe = Out({.source = kClient,
                             .destination = kFarHost,
                             .protocol = kIpProtocolUdp,
                             .id = 0x0102,
                             .ttl = 1,
                             .flags = 0},
                            Udp(43001, 33434, Repeat("@", 24)));
    const Bytes syn =
        Out(ClientTo(kFarHost, kIpProtocolTcp, 0x0103),
            Tcp(50100, 443, 0x11223344, 0, 0x02, 64240, {2, 4, 0x05, 0xb4, 1, 1, 4, 2}, {}));
    const auto fromRouter = [](uint8_t type, uint8_t code, unsigned rest1, unsigned rest2,
                               const Bytes& data) {
        return In({.source = kRouter,
                   .destination = kClient,
                   .protocol = kIpProtocolIcmp,
                   .id = 0x0201,
                   .ttl = 255,
                   .flags = 0,
                   .tos = 0xc0},
                  Icmp(type, code, rest1, rest2, data));
    };
    c.Add(fromRouter(3, 1, 0, 0, Quote(echo)));    // host unreachable
    c.Add(fromRouter(3, 3, 0, 0, Quote(probe)));   // port unreachable
    c.Add(fromRouter(3, 4, 0, 1400, Quote(syn)));  // fragmentation needed, MTU 1400
    c.Add(fromRouter(3, 13, 0, 0, Quote(syn)));    // administratively prohibited
    c.Add(fromRouter(4, 0, 0, 0, Quote(syn)));     // source quench
    for (uint8_t code = 0; code <= 4; ++code)      // redirect, codes 0-3 and one past
        c.Add(fromRouter(5, code, 0xc000, 0x0202, Quote(probe)));
    // Router advertisements: two entries; three announced and room for one; none.
    Bytes entries = {192, 0, 2, 1, 0, 0, 0, 10, 192, 0, 2, 2, 0xff, 0xff, 0xff, 0xf6};
    c.Add(fromRouter(9, 0, 0x0202, 1800, entries));
    c.Add(fromRouter(9, 0, 0x0302, 1800, Head(entries, 8)));
    c.Add(fromRouter(9, 16, 0x0002, 0, {}));
    c.Add(Out(ClientTo({224, 0, 0, 2}, kIpProtocolIcmp, 0x0104), Icmp(10, 0, 0, 0, {})));
    c.Add(fromRouter(11, 0, 0, 0, Quote(probe)));  // time exceeded in transit
    c.Add(fromRouter(11, 1, 0, 0, Quote(probe)));  // reassembly time exceeded
    // Time exceeded with an extension (length 32 words): the quote padded to
    // 128 bytes, then an MPLS label stack object.
    Bytes quoted = Quote(probe);
    quoted.resize(128, 0);
    Append(quoted, IcmpExtension({0x00, 0x08, 0x01, 0x01, 0x00, 0x3e, 0x81, 0x01}));
    c.Add(fromRouter(11, 0, 0x0020, 0, quoted));
    // Parameter problem pointing at byte 20 of a header with options.
    const Bytes withOptions = Out({.source = kClient,
                                   .destination = kFarHost,
                                   .protocol = kIpProtocolUdp,
                                   .id = 0x0105,
                                   .options = {0x82, 0x03, 0x00, 0x00}},
                                  Udp(43002, 9, Repeat("x", 8)));
    c.Add(fromRouter(12, 0, 0x1400, 0x0000, Quote(withOptions)));
    c.Add(Out(ClientTo(kServer, kIpProtocolIcmp, 0x0106),
              Icmp(13, 0, 0x0001, 7, {0x01, 0x2b, 0x3c, 0x40, 0, 0, 0, 0, 0, 0, 0, 0})));
    c.Add(Out(ClientTo(kServer, kIpProtocolIcmp, 0x0107), Icmp(15, 0, 0x0001, 8, {})));
    c.Add(Out(ClientTo(kServer, kIpProtocolIcmp, 0x0108), Icmp(17, 0, 0x0001, 9, {0, 0, 0, 0})));
    c.Add(fromRouter(18, 0, 0x0001, 9, {255, 255, 255, 0}));
    // Extended echo (types 42 and 43) and type 255, which have no name here.
    c.Add(Out(ClientTo(kServer, kIpProtocolIcmp, 0x0109),
              Icmp(42, 0, 0x0001, 0x0101, IcmpExtension({0x00, 0x08, 0x03, 0x02, 0, 0, 0, 2}))));
    for (uint8_t code = 0; code <= 2; ++code)
        c.Add(In({.source = kServer,
                  .destination = kClient,
                  .protocol = kIpProtocolIcmp,
                  .id = 0x7002,
                  .ttl = 52},
                 Icmp(43, code, 0x0001, 0x0100, {})));
    c.Add(Out(ClientTo(kServer, kIpProtocolIcmp, 0x010a), Icmp(255, 255, 0, 0, Text("??"))));
    // A wrong checksum stops the message after it; so does an IP length
    // leaving no room for the message (0, as segmentation offload writes it).
    c.Add(Poke(echo, 36, {0xde, 0xad}));
    Ipv4 zero = ClientTo(kServer, kIpProtocolIcmp, 0x010b);
    zero.totalLength = 0;
    c.Add(Out(zero, Icmp(8, 0, 0x4b31, 2, ping)));
    // A long echo captured in part: the checksum cannot be verified.
    const Bytes big = Out(ClientTo(kServer, kIpProtocolIcmp, 0x010c),
                          Icmp(8, 0, 0x4b31, 3, Repeat("0123456789", 1000)));
    c.Cut(big, 96);
    return c.Records();
}

// IPv4 header: every precedence and TOS bit, the options (Router Alert,
// routes, timestamps, NOP runs, unknown ones, lengths past the header),
// header lengths and versions out of the ordinary, unknown protocols.
std::vector<Record> IpFrames() {
    Capture c(1767232800);
    const Bytes data = Repeat("option", 12);
    const auto udp = [&](unsigned id, const Bytes& options, uint8_t tos, unsigned flags = 0x4000) {
        return Out({.source = kClient,
                    .destination = kFarHost,
                    .protocol = kIpProtocolUdp,
                    .id = id,
                    .options = options,
                    .flags = flags,
                    .tos = tos},
                   Udp(40000 + id % 1000, 9, data));
    };
    const Bytes a1 = {198, 51, 100, 1}, a2 = {198, 51, 100, 2};
    const auto words = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) Append(out, p);
        return out;
    };
    c.Add(udp(0x301, {0x94, 0x04, 0x00, 0x00}, 0x00));                               // Router Alert
    c.Add(udp(0x302, words({{0x07, 0x0b, 0x08}, a1, {0, 0, 0, 0}, {0x00}}), 0x20));  // Record Route
    c.Add(udp(0x303, words({{0x83, 0x0b, 0x04}, a1, a2, {0x00}}), 0x40));            // loose route
    c.Add(udp(0x304, words({{0x89, 0x0b, 0x0c}, a1, a2, {0x01}}), 0x60));            // strict route
    // Timestamps only; with addresses (one pair short); prespecified, overflowed.
    c.Add(udp(0x305, words({{0x44, 0x0c, 0x0d, 0x00}, {0, 0, 0x27, 0x10}, {0, 0, 0x4e, 0x20}}),
              0x80));
    c.Add(udp(0x306, words({{0x44, 0x10, 0x0d, 0x01}, a1, {0x01, 0x00, 0x00, 0x01}, a2}), 0xa0));
    c.Add(udp(0x307, words({{0x44, 0x14, 0x0d, 0x23}, a1, {0, 0, 0, 5}, a2, {0, 0, 0, 0}}), 0xc0));
    c.Add(udp(0x308, words({{0x44, 0x02, 0x05, 0xf0}, {0, 0, 0, 0}}), 0xe0));  // length below 4
    c.Add(udp(0x309, words({{0x07, 0x02, 0x04}, {0x01}}), 0xb8));  // route length below 3
    c.Add(udp(0x30a, words({{0x01, 0x01, 0x01}, {0x94, 0x04, 0x00, 0x00}, {0x01}}), 0x10));  // NOPs
    c.Add(udp(0x30b, {0x00, 0x00, 0x00, 0x00}, 0x08));                    // end of list first
    c.Add(udp(0x30c, {0x3f, 0x04, 0x00, 0x00}, 0x04));                    // class 1, number 31
    c.Add(udp(0x30d, {0x52, 0x04, 0x00, 0x00}, 0x02));                    // class 2, number 18
    c.Add(udp(0x30e, {0xe3, 0x04, 0x00, 0x00}, 0x01));                    // copied, class 3
    c.Add(udp(0x30f, words({{0x82, 0x0b}, Bytes(9, 0), {0x00}}), 0xff));  // security: not named
    // Timestamp with addresses whose last pair is incomplete, then an unknown
    // option whose length (19) runs past the header; reserved, DF and MF set,
    // TTL 0, a total length far beyond the frame, capture ending with the header.
    Bytes fuzzed = Out(
        {.source = kClient,
         .destination = kFarHost,
         .protocol = kIpProtocolIcmp,
         .id = 0x310,
         .ttl = 0,
         .options = words({{0x44, 0x0e, 0x05, 0x01}, a1, {0, 0, 1, 0}, {0x01, 0x01}, {0xf5, 0x13}}),
         .flags = 0xe000,
         .totalLength = 65319},
        Icmp(8, 0, 1, 1, data));
    c.Cut(fuzzed, 50, 262144);
    // A loose source route cut off by the capture: 46 of 60 header bytes.
    Bytes route = {0x83, 0x19, 0x04};
    route.resize(40, 0x11);
    c.Cut(Out({.source = kClient,
               .destination = kFarHost,
               .protocol = kIpProtocolTcp,
               .id = 0x311,
               .options = route,
               .flags = 0xc000,
               .totalLength = 32768},
              Tcp(1, 2, 3, 4, 0x02, 5, {}, {})),
          60, 262144);
    // Header lengths below 20 bytes, and version 6 behind an IPv4 type.
    Ipv4 shortHeader = ClientTo(kFarHost, kIpProtocolUdp, 0x312);
    shortHeader.headerLength = 12;
    c.Add(Out(shortHeader, Udp(1, 2, data)));
    Ipv4 v6 = ClientTo(kFarHost, kIpProtocolUdp, 0x313);
    v6.version = 6;
    c.Add(Out(v6, Udp(40001, 9, data)));
    // Protocols without a decoder: GRE, and numbers at the end of the table.
    for (uint8_t protocol : {47, 89, 253, 255})
        c.Add(Out(ClientTo(kFarHost, protocol, 0x314u + protocol),
                  {0x00, 0x00, 0x08, 0x00, 1, 2, 3, 4}));
    return c.Records();
}

// Fragments: a UDP datagram of 3000 bytes in three pieces (offsets 0, 185 and
// 370), an ICMP echo in two, and a first piece holding only the UDP header.
std::vector<Record> FragmentFrames() {
    Capture c(1767236400);
    const Ipv4 whole = {.source = kClient,
                        .destination = kFarHost,
                        .protocol = kIpProtocolUdp,
                        .id = 0x4001,
                        .flags = 0};
    const Bytes datagram = Datagram(whole, Udp(7001, 7002, Repeat("fragment ", 3000)));
    const Bytes payload(datagram.begin() + 20, datagram.end());
    const auto piece = [&](const Ipv4& base, const Bytes& all, size_t first, size_t n, bool more) {
        Ipv4 ip = base;
        ip.flags = static_cast<unsigned>(first / 8) | (more ? 0x2000u : 0u);
        ip.transportChecksum = false;
        return Out(ip, Bytes(all.begin() + static_cast<long>(first),
                             all.begin() + static_cast<long>(first + n)));
    };
    c.Add(piece(whole, payload, 0, 1480, true));
    c.Add(piece(whole, payload, 1480, 1480, true));
    c.Add(piece(whole, payload, 2960, payload.size() - 2960, false));
    const Ipv4 ping = {.source = kClient,
                       .destination = kServer,
                       .protocol = kIpProtocolIcmp,
                       .id = 0x4002,
                       .flags = 0};
    const Bytes echo = Datagram(ping, Icmp(8, 0, 0x4b31, 4, Repeat("ping ", 1600)));
    const Bytes echoPayload(echo.begin() + 20, echo.end());
    c.Add(piece(ping, echoPayload, 0, 1480, true));
    c.Add(piece(ping, echoPayload, 1480, echoPayload.size() - 1480, false));
    const Ipv4 small = {.source = kClient,
                        .destination = kFarHost,
                        .protocol = kIpProtocolUdp,
                        .id = 0x4003,
                        .flags = 0};
    const Bytes tiny = Datagram(small, Udp(7003, 7004, Repeat("tiny", 24)));
    const Bytes tinyPayload(tiny.begin() + 20, tiny.end());
    c.Add(piece(small, tinyPayload, 0, 8, true));
    c.Add(piece(small, tinyPayload, 8, 24, false));
    return c.Records();
}

Bytes TcpTimestamps(uint32_t value, uint32_t echo) {
    Bytes o = {1, 1, 8, 10};
    Put32(o, value);
    Put32(o, echo);
    return o;
}

Bytes Sack(std::initializer_list<uint32_t> edges) {
    Bytes o = {1, 1, 5, static_cast<uint8_t>(2 + 4 * edges.size())};
    for (uint32_t edge : edges) Put32(o, edge);
    return o;
}

// TCP: every option kind the decoder names, unknown kinds (MPTCP, fast open,
// MD5, user timeout), lengths below 2 and past the header, NOP runs and end
// of list padding, every flag, odd data offsets, bad and unverifiable
// checksums, a frame above 1514 bytes.
std::vector<Record> TcpFrames() {
    Capture c(1767240000);
    const uint32_t cs = 0x8b8b4567, ss = 0xf27b23c6;  // initial sequence numbers past 2^31
    const auto out = [](uint8_t flags, uint32_t seq, uint32_t ack, const Bytes& options,
                        const Bytes& data, unsigned id, unsigned window = 502) {
        return Out(ClientTo(kServer, kIpProtocolTcp, id),
                   Tcp(50022, 22, seq, ack, flags, window, options, data));
    };
    const auto in = [](uint8_t flags, uint32_t seq, uint32_t ack, const Bytes& options,
                       const Bytes& data, unsigned window = 509) {
        return In({.source = kServer,
                   .destination = kClient,
                   .protocol = kIpProtocolTcp,
                   .id = 0,
                   .ttl = 52},
                  Tcp(22, 50022, seq, ack, flags, window, options, data));
    };
    // SYN: MSS, NOP, window scale, NOP, NOP, timestamps, SACK permitted, EOL, EOL.
    Bytes synOptions = {2, 4, 0x05, 0xb4, 1, 3, 3, 7, 1, 1, 8, 10};
    Put32(synOptions, 0x80000001);
    Put32(synOptions, 0);
    Append(synOptions, {4, 2, 0, 0});
    c.Add(out(0x02, cs, 0, synOptions, {}, 0x5001, 64240));
    // SYN-ACK: MSS, SACK permitted, a run of NOPs, window scale.
    c.Add(in(0x12, ss, cs + 1, {2, 4, 0x05, 0x8c, 4, 2, 1, 1, 1, 3, 3, 9}, {}, 65160));
    c.Add(out(0x10, cs + 1, ss + 1, TcpTimestamps(0x80000002, 0xfffffff0), {}, 0x5002));
    const Bytes banner = Text("SSH-2.0-kestrel_corpus\r\n");
    c.Add(out(0x18, cs + 1, ss + 1, TcpTimestamps(0x80000003, 0xfffffff0), banner, 0x5003));
    // SACK blocks: one after 14 NOPs, then two, three and four.
    Bytes nops(12, 1);  // and the two in front of the SACK
    Append(nops, Sack({ss + 1000, ss + 1500}));
    c.Add(out(0x10, cs + 25, ss + 1, nops, {}, 0x5004));
    c.Add(
        out(0x10, cs + 25, ss + 1, Sack({ss + 1000, ss + 1500, ss + 2000, ss + 2500}), {}, 0x5005));
    c.Add(out(0x10, cs + 25, ss + 1, Sack({1, 2, 3, 4, 5, 6}), {}, 0x5006));
    c.Add(out(0x10, cs + 25, ss + 1, Sack({1, 2, 3, 4, 5, 6, 0x7fffffff, 0x80000000}), {}, 0x5007));
    // MPTCP (30) on a SYN and a data segment; TCP fast open, experimental (254)
    // and assigned (34); MD5 signature (19); user timeout (28).
    c.Add(out(0x02, cs, 0, {2, 4, 0x05, 0xb4, 4, 2, 30, 12, 0x01, 0x81, 1, 2,
                            3, 4, 5,    6,    7, 8, 1,  1,  1,    3,    3, 7},
              {}, 0x5008, 64240));
    c.Add(out(0x18, cs + 1, ss + 1,
              {30, 20, 0x20, 0x05, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 4, 0, 0}, Text("data"),
              0x5009));
    c.Add(out(0x02, cs, 0, {254, 4, 0xf9, 0x89}, {}, 0x500a, 64240));
    c.Add(
        in(0x12, ss, cs + 1, {2, 4, 0x05, 0xb4, 254, 10, 0xf9, 0x89, 1, 2, 3, 4, 5, 6, 1, 1}, {}));
    c.Add(out(0x02, cs, 0, {34, 10, 9, 8, 7, 6, 5, 4, 3, 2, 34, 2}, Text("early"), 0x500b, 64240));
    Bytes md5 = {1, 1, 19, 18};
    for (uint8_t i = 0; i < 16; ++i) md5.push_back(static_cast<uint8_t>(0xa0 + i));
    Append(md5, {28, 4, 0x80, 0x3c});
    c.Add(out(0x10, cs + 1, ss + 1, md5, {}, 0x500c));
    // Unknown kinds with lengths 0 and 1 end the walk; the data still starts
    // where the offset says.
    c.Add(out(0x18, cs + 1, ss + 1, {76, 0, 1, 1}, Text("after zero"), 0x500d));
    c.Add(out(0x18, cs + 1, ss + 1, {200, 1, 1, 1}, Text("after one"), 0x500e));
    // An option longer than the header; SACK lengths 3 and 12; a timestamp of
    // length 6; MSS of length 2; window scale of length 4.
    c.Add(out(0x18, cs + 1, ss + 1, {1, 30, 40, 0}, Text("payload"), 0x500f));
    c.Add(out(0x10, cs + 1, ss + 1, {5, 3, 1, 1}, {}, 0x5010));
    c.Add(out(0x10, cs + 1, ss + 1, {5, 12, 0, 0, 0, 1, 0, 0, 0, 2, 9, 9, 1, 1, 1, 1}, {}, 0x5011));
    c.Add(out(0x10, cs + 1, ss + 1, {8, 6, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0}, {}, 0x5012));
    c.Add(out(0x10, cs + 1, ss + 1, {2, 2, 3, 4, 0, 0x10, 0, 0}, {}, 0x5013));
    // A 60-byte header: MSS, then end of list and its padding.
    Bytes padded = {2, 4, 0x05, 0xb4, 0};
    padded.resize(40, 0);
    c.Add(out(0x02, cs, 0, padded, {}, 0x5014, 64240));
    // Flags: all eight; CWR and ECE alone; the accurate-ECN bit and reserved
    // bits; each of the six classic ones; urgent data.
    // (Segments changed before the checksum is computed.)
    const auto outSegment = [](const Bytes& segment, unsigned id) {
        return Out(ClientTo(kServer, kIpProtocolTcp, id), segment);
    };
    const Bytes plain = Tcp(50022, 22, cs + 1, ss + 1, 0x10, 502, {}, {});
    c.Add(out(0xff, cs + 1, ss + 1, {}, {}, 0x5015));
    c.Add(out(0xc0, cs + 1, ss + 1, {}, {}, 0x5016));
    c.Add(outSegment(Poke(plain, 12, {0x5f}), 0x5017));
    for (uint8_t flag : {0x01, 0x02, 0x04, 0x08, 0x10})
        c.Add(out(flag, cs + 1, ss + 1, {}, {}, 0x5018u + flag));
    c.Add(outSegment(
        Poke(Tcp(50022, 22, cs + 1, ss + 1, 0x30, 502, {}, Text("!urgent")), 18, {0, 1}), 0x5040));
    // Data offset 4 (16 bytes): below the fixed header.
    c.Add(outSegment(
        Poke(Tcp(50022, 22, cs + 1, ss + 1, 0x18, 502, {}, Text("sixteen")), 12, {0x40}), 0x5041));
    // An IP total length shorter than the TCP header: the payload length wraps.
    Ipv4 shortTotal = ClientTo(kServer, kIpProtocolTcp, 0x5042);
    shortTotal.totalLength = 40;
    c.Add(Out(shortTotal, Tcp(50022, 22, cs + 1, ss + 1, 0x10, 502, TcpTimestamps(1, 2), {})));
    // Checksums: left as offloading adapters leave them; over data not captured.
    c.Add(Poke(out(0x18, cs + 25, ss + 1, {}, Text("offloaded"), 0x5043), 50, {0x00, 0x00}));
    const Bytes reset =
        in(0x14, ss + 1, cs + 25, {}, Text("RST carries the reason: connection reset by peer\r\n"));
    c.Cut(reset, reset.size() - 1);
    // Segmentation offload: one 2030-byte frame, IP and TCP checksums unset.
    Bytes body = Text(
        "POST /corpus HTTP/1.1\r\nHost: 198.51.100.80\r\nContent-Type: application/xml\r\n"
        "Content-Length: 1900\r\n\r\n<?xml version=\"1.0\"?><corpus>");
    Append(body, Repeat("<frame kind=\"tcp\"/>", 2030 - 54 - body.size() - 9));
    Append(body, Text("</corpus>"));
    Bytes tso = Out(ClientTo(kServer, kIpProtocolTcp, 0x5044),
                    Tcp(50080, 80, cs + 100, ss + 100, 0x18, 502, {}, body));
    tso = Poke(tso, 24, {0x00, 0x00});
    tso = Poke(tso, 50, {0x31, 0x2c});
    c.Add(tso);
    return c.Records();
}

// UDP: checksums absent (0), wrong, right and computed as 0 (sent as 0xFFFF),
// lengths below 8, above the datagram and below it, data cut by the capture.
std::vector<Record> UdpFrames() {
    Capture c(1767243600);
    Bytes discover = {0x01, 0x01, 0x06, 0x00, 0x39, 0x03, 0xf3, 0x26};
    discover.resize(240, 0);
    discover = Poke(discover, 28, kClientMac);
    discover = Poke(discover, 236, {0x63, 0x82, 0x53, 0x63});
    Append(discover, {53, 1, 1, 255});
    Bytes dhcp = Ip(kBroadcastMac, kClientMac,
                    {.source = {0, 0, 0, 0},
                     .destination = {255, 255, 255, 255},
                     .protocol = kIpProtocolUdp,
                     .id = 0,
                     .ttl = 128,
                     .flags = 0,
                     .transportChecksum = false},
                    Udp(68, 67, discover));
    c.Add(dhcp);
    Bytes query = {0x4b, 0x1d, 0x01, 0x00, 0,   1,   0,   0, 0,   0,   0,   0, 3, 'w', 'w', 'w', 7,
                   'e',  'x',  'a',  'm',  'p', 'l', 'e', 3, 'n', 'e', 't', 0, 0, 1,   0,   1};
    const Bytes dns = Out(ClientTo({192, 0, 2, 53}, kIpProtocolUdp, 0x6001), Udp(50123, 53, query));
    c.Add(dns);
    c.Add(Poke(Out(ClientTo(kFarHost, kIpProtocolUdp, 0x6002),
                   Udp(514, 514, Text("<34>Oct 11 22:14:15 corpus su: 'su root' failed"))),
               40, {0x11, 0x11}));
    // Data chosen so the checksum comes out as 0, sent as 0xFFFF.
    Bytes zeroSum = {0, 0};
    {
        Ipv4 ip = ClientTo(kFarHost, kIpProtocolUdp, 0x6003);
        ip.transportChecksum = false;
        Bytes frame = Out(ip, Udp(1000, 2000, zeroSum));
        const uint16_t sum = *kestrel::TransportChecksum(
            kestrel::ByteReader(frame.data() + 14, frame.size() - 14), 0, 10);
        // A data word equal to the checksum without it makes the sum all ones.
        zeroSum = {static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)};
    }
    c.Add(Out(ClientTo(kFarHost, kIpProtocolUdp, 0x6003), Udp(1000, 2000, zeroSum)));
    c.Add(Out(ClientTo(kFarHost, kIpProtocolUdp, 0x6004), Udp(0, 65535, {})));
    c.Add(
        Poke(Out(ClientTo(kFarHost, kIpProtocolUdp, 0x6005), Udp(1, 2, Text("len4"))), 38, {0, 4}));
    c.Add(Poke(Out(ClientTo(kFarHost, kIpProtocolUdp, 0x6006), Udp(1, 2, Text("claims 200"))), 38,
               {0, 200}));
    c.Add(Poke(Out(ClientTo(kFarHost, kIpProtocolUdp, 0x6007), Udp(1, 2, Text("short+trailer"))),
               38, {0, 14}));
    c.Cut(Out(ClientTo(kFarHost, kIpProtocolUdp, 0x6008), Udp(5004, 5004, Repeat("media", 1000))),
          96);
    return c.Records();
}

// IGMP: version 1 and 2 messages with and without Router Alert, version 3
// queries and reports, unknown types, a bad checksum, a message cut short.
std::vector<Record> IgmpFrames() {
    Capture c(1767247200);
    const Bytes ra = {0x94, 0x04, 0x00, 0x00};
    const auto igmp = [&](const Bytes& dstMac, const Bytes& group, const Bytes& message,
                          const Bytes& options, unsigned id) {
        return Ip(dstMac, kClientMac,
                  {.source = kClient,
                   .destination = group,
                   .protocol = kIpProtocolIgmp,
                   .id = id,
                   .ttl = 1,
                   .options = options,
                   .flags = 0,
                   .tos = 0xc0},
                  message);
    };
    const Bytes allHosts = {224, 0, 0, 1}, allRouters = {224, 0, 0, 2}, group = {239, 1, 2, 3};
    const Bytes allHostsMac = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    const Bytes groupMac = {0x01, 0x00, 0x5e, 0x01, 0x02, 0x03};
    c.Add(igmp(allHostsMac, allHosts, {0x11, 0, 0, 0, 0, 0, 0, 0}, ra, 0x7001));        // v1 query
    c.Add(Head(igmp(groupMac, group, {0x12, 0, 0, 0, 239, 1, 2, 3}, ra, 0x7002), 46));  // v1 report
    c.Add(igmp(allHostsMac, allHosts, {0x11, 100, 0, 0, 0, 0, 0, 0}, ra, 0x7003));      // v2 query
    c.Add(igmp(groupMac, group, {0x11, 10, 0, 0, 239, 1, 2, 3}, ra, 0x7004));  // group query
    c.Add(igmp(groupMac, group, {0x16, 0, 0, 0, 239, 1, 2, 3}, ra, 0x7005));   // v2 report
    c.Add(igmp({0x01, 0x00, 0x5e, 0x00, 0x00, 0x02}, allRouters, {0x17, 0, 0, 0, 239, 1, 2, 3}, ra,
               0x7006));                                                      // leave
    c.Add(igmp(groupMac, group, {0x16, 0, 0, 0, 239, 1, 2, 3}, {}, 0x7007));  // no RA
    c.Add(igmp(allHostsMac, allHosts, {0x11, 100, 0, 0, 0, 0, 0, 0, 0x02, 125, 0, 0}, ra, 0x7008));
    c.Add(igmp(groupMac, group,
               {0x11, 20, 0, 0, 239, 1, 2, 3, 0x0a, 20, 0, 2, 192, 0, 2, 7, 192, 0, 2, 8}, ra,
               0x7009));  // v3 group-and-source query
    c.Add(igmp({0x01, 0x00, 0x5e, 0x00, 0x00, 0x16}, {224, 0, 0, 22},
               {0x22, 0, 0, 0, 0, 0, 0, 1, 4, 0, 0, 0, 239, 1, 2, 3}, ra, 0x700a));  // v3 report
    c.Add(igmp(allHostsMac, allHosts, {0x13, 0, 0, 0, 0, 0, 0, 0}, ra, 0x700b));     // DVMRP
    c.Add(Poke(igmp(groupMac, group, {0x16, 0, 0, 0, 239, 1, 2, 3}, ra, 0x700c), 40, {0xbe, 0xef}));
    c.Cut(igmp(groupMac, group, {0x16, 0, 0, 0, 239, 1, 2, 3}, ra, 0x700d), 44);
    return c.Records();
}

// Frames that are not Ethernet II with IPv4 or ARP: VLAN tags (802.1Q and
// 802.1ad), IEEE 802.3 lengths with LLC, IPv6, the other named types,
// frames shorter than their header, a jumbo frame.
std::vector<Record> LinkFrames() {
    Capture c(1767250800);
    const Bytes echo =
        Datagram(ClientTo(kServer, kIpProtocolIcmp, 0x8001), Icmp(8, 0, 0x4b31, 9, Text("tagged")));
    Bytes vlan = Ethernet(kRouterMac, kClientMac, 0x8100);
    Append(vlan, {0x00, 0x64, 0x08, 0x00});
    Append(vlan, echo);
    vlan.resize(60, 0);
    c.Add(vlan);
    Bytes qinq = Ethernet(kBroadcastMac, kClientMac, 0x88a8);
    Append(qinq, {0x00, 0x0a, 0x81, 0x00, 0x00, 0x14, 0x08, 0x06});
    const Bytes arp = Arp(1, kBroadcastMac, kClientMac, kClient, Bytes(6, 0), kRouter);
    Append(qinq, Bytes(arp.begin() + 14, arp.begin() + 42));
    qinq.resize(60, 0);
    c.Add(qinq);
    // A spanning tree BPDU: length 38, LLC 42 42 03.
    Bytes bpdu = Ethernet({0x01, 0x80, 0xc2, 0x00, 0x00, 0x00}, kRouterMac, 38);
    Append(bpdu, {0x42, 0x42, 0x03, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00});
    Append(bpdu, kRouterMac);
    Append(bpdu, {0x00, 0x00, 0x00, 0x00, 0x80, 0x00});
    Append(bpdu, kRouterMac);
    Append(bpdu, {0x80, 0x01, 0x00, 0x00, 0x14, 0x00, 0x02, 0x00, 0x0f, 0x00});
    bpdu.resize(60, 0);
    c.Add(bpdu);
    // SNAP (AA AA 03, organisation 0) carrying IPv4.
    Bytes snap = Ethernet(kRouterMac, kClientMac, static_cast<unsigned>(8 + echo.size()));
    Append(snap, {0xaa, 0xaa, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00});
    Append(snap, echo);
    snap.resize(60, 0);
    c.Add(snap);
    // IPv6: an MLD report behind a hop-by-hop header with Router Alert.
    Bytes v6 = Ethernet({0x33, 0x33, 0x00, 0x00, 0x00, 0x16}, kClientMac, 0x86dd);
    Append(v6, {0x60, 0, 0, 0, 0, 36, 0, 1});
    Append(v6, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a});
    Append(v6, {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x16});
    Append(v6, {58, 0, 5, 2, 0, 0, 1, 0});
    Append(v6, {143, 0, 0, 0, 0, 0, 0, 1, 4, 0, 0, 0});
    Append(v6, {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xfb});
    {
        // The ICMPv6 checksum over its pseudo-header: addresses, length, next header.
        Bytes pseudo(v6.begin() + 22, v6.begin() + 54);
        Append(pseudo, {0, 0, 0, 28, 0, 0, 0, 58});
        Append(pseudo, Bytes(v6.begin() + 62, v6.end()));
        const uint16_t sum =
            kestrel::InternetChecksum(pseudo.data(), static_cast<int>(pseudo.size()));
        v6[64] = static_cast<uint8_t>(sum & 0xFF);
        v6[65] = static_cast<uint8_t>(sum >> 8);
    }
    c.Add(v6);
    const Bytes rarp = Arp(3, kBroadcastMac, kClientMac, {0, 0, 0, 0}, kClientMac, {0, 0, 0, 0});
    c.Add(Poke(rarp, 12, {0x80, 0x35}));
    Bytes ipx = Ethernet(kBroadcastMac, kClientMac, 0x8137);
    Append(ipx, {0xff, 0xff, 0x00, 0x28, 0x00, 0x11});
    ipx.resize(60, 0);
    c.Add(ipx);
    Bytes netbios = Ethernet(kBroadcastMac, kClientMac, 0x0840);
    Append(netbios, Text("NETBIOS NAME QUERY"));
    netbios.resize(60, 0x20);
    c.Add(netbios);
    Bytes lldp = Ethernet({0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e}, kRouterMac, 0x88cc);
    Append(lldp, {0x02, 0x07, 0x04});
    Append(lldp, kRouterMac);
    Append(lldp, {0x04, 0x02, 0x07, 0x31, 0x06, 0x02, 0x00, 0x78, 0x00, 0x00});
    lldp.resize(60, 0);
    c.Add(lldp);
    // Shorter than an Ethernet header, and a header with nothing behind it.
    const Bytes ip = Ip(kRouterMac, kClientMac, ClientTo(kServer, kIpProtocolIcmp, 0x8003), {});
    for (size_t n : {14, 13, 6, 1}) c.Add(Head(ip, n));
    // A jumbo frame of 4000 bytes.
    c.Add(Out(ClientTo(kServer, kIpProtocolUdp, 0x8002), Udp(9000, 9000, Repeat("jumbo!", 3958))));
    return c.Records();
}

// A big-endian pcap: a TCP handshake to PPTP and a GRE packet.
std::vector<Record> BigEndianFrames() {
    Capture c(1767254400);
    const Bytes options = {2, 4, 0x05, 0xb4, 1, 1, 4, 2};
    c.Add(Out(ClientTo(kServer, kIpProtocolTcp, 0x9001),
              Tcp(1025, 1723, 0x10000000, 0, 0x02, 8192, options, {})));
    c.Add(In({.source = kServer, .destination = kClient, .protocol = kIpProtocolTcp, .id = 0x9101},
             Tcp(1723, 1025, 0x20000000, 0x10000001, 0x12, 16384, options, {})));
    c.Add(Out(ClientTo(kServer, kIpProtocolTcp, 0x9002),
              Tcp(1025, 1723, 0x10000001, 0x20000001, 0x10, 8192, {}, {})));
    c.Add(Out(ClientTo(kServer, 47, 0x9003),
              {0x30, 0x01, 0x88, 0x0b, 0x00, 0x00, 0x00, 0x07, 0, 0, 0, 1}));
    return c.Records();
}

// pcapng with nanosecond stamps: an echo whose IP total length is 0, and an
// echo stamped a few nanoseconds short of a full second.
std::vector<Record> NanosecondFrames() {
    Capture c(1767258000);
    Ipv4 zero = ClientTo(kServer, kIpProtocolIcmp, 0xa001);
    zero.totalLength = 0;
    c.Add(Out(zero, Icmp(8, 0, 0x0001, 1, Text("offloaded"))));
    c.Stamp(1767258000, 123456789);
    c.Add(Out(ClientTo(kServer, kIpProtocolIcmp, 0xa002), Icmp(8, 0, 0x0001, 2, Text("nanos"))));
    c.Stamp(1767258001, 999999999);
    return c.Records();
}

// Times at the edges, in a pcap with nanosecond stamps: the epoch, one past
// the largest signed 32-bit second (2038), the last unsigned one (2106),
// and a frame of which nothing was captured.
std::vector<Record> TimeFrames() {
    Capture c(0);
    const Bytes dns =
        Out(ClientTo({192, 0, 2, 53}, kIpProtocolUdp, 0xb001),
            Udp(50123, 53, {0x00, 0x2a, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1}));
    c.Add(dns);
    c.Stamp(0, 0);
    c.Add(dns);
    c.Stamp(2147483648u, 5000000);
    c.Add(dns);
    c.Stamp(4294967295u, 999999999);
    c.Cut(dns, 0);
    c.Stamp(1767261600, 50000000);
    return c.Records();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: kestrel-make-corpus OUT-FOLDER\n");
        return 2;
    }
    struct File {
        const char* name;
        Format format;
        uint32_t snaplen;
        std::vector<Record> records;
    };
    const File files[] = {
        {"arp.pcap", Format::Pcap, 65535, ArpFrames()},
        {"icmp.pcap", Format::Pcap, 65535, IcmpFrames()},
        {"ip.pcap", Format::Pcap, 65535, IpFrames()},
        {"fragments.pcap", Format::Pcap, 65535, FragmentFrames()},
        {"tcp.pcap", Format::Pcap, 262144, TcpFrames()},
        {"udp.pcap", Format::Pcap, 262144, UdpFrames()},
        {"igmp.pcap", Format::Pcap, 65535, IgmpFrames()},
        {"link.pcap", Format::Pcap, 65535, LinkFrames()},
        {"big-endian.pcap", Format::PcapBigEndian, 65535, BigEndianFrames()},
        {"nanoseconds.pcapng", Format::PcapNgNano, 65535, NanosecondFrames()},
        {"time.pcap", Format::PcapNano, 65535, TimeFrames()},
        {"empty.pcapng", Format::PcapNgNano, 65535, {}},
    };
    for (const File& f : files) {
        const std::string path = std::string(argv[1]) + "/" + f.name;
        if (!WriteCapture(path, f.format, f.snaplen, f.records)) {
            std::fprintf(stderr, "kestrel-make-corpus: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
