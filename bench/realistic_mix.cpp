#include "realistic_mix.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/text_helpers.h"

namespace kestrel::bench {

namespace {

using frames::Bytes;

constexpr uint8_t kSyn = 0x02, kAck = 0x10, kPush = 0x08, kFin = 0x01;
// Payload of a full-sized segment: a 1500-byte MTU less IPv4, TCP and the
// timestamp option.
constexpr uint32_t kSegment = 1448;
// Conversations going on at once, whose frames interleave.
constexpr size_t kActive = 16;
// 2026-12-07 10:10:00 UTC.
constexpr uint64_t kStart = 1796635800ull * 1000000;

const Bytes kGatewayMac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const Bytes kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const Bytes kNoMac = {0, 0, 0, 0, 0, 0};

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (const uint32_t w : words) frames::Put32(b, w);
    return b;
}

// A DNS name as labels: "www.example.com" -> 3www7example3com0.
Bytes DnsName(const std::string& name) {
    Bytes b;
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        b.push_back(static_cast<uint8_t>(dot - start));
        b.insert(b.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    b.push_back(0);
    return b;
}

}  // namespace

RealisticMix::RealisticMix(uint64_t seed) : m_state(seed), m_time(kStart) {
    for (size_t i = 0; i < kActive; ++i) m_active.push_back(NewConversation());
}

// splitmix64: the same numbers on every machine and compiler.
uint64_t RealisticMix::Random() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t RealisticMix::Between(uint32_t low, uint32_t high) {
    return low + static_cast<uint32_t>(Random() % (uint64_t{high} - low + 1));
}

Bytes RealisticMix::RandomBytes(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t r = Random();
        for (size_t k = 0; k < 8 && i + k < size; ++k) b[i + k] = static_cast<uint8_t>(r >> (8 * k));
    }
    return b;
}

Bytes RealisticMix::Host(int index) const {
    return {10, 1, static_cast<uint8_t>(index / 250), static_cast<uint8_t>(2 + index % 250)};
}

Bytes RealisticMix::Server(int index) const {
    return {static_cast<uint8_t>(23 + index % 170), static_cast<uint8_t>(index * 7),
            static_cast<uint8_t>(index * 13), static_cast<uint8_t>(1 + index % 254)};
}

Bytes RealisticMix::Mac(int host) const {
    return {0x02, 0x00, 0x00, 0x01, static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
}

const Bytes& RealisticMix::Next(uint64_t& microseconds) {
    const size_t pick = Random() % m_active.size();
    Conversation& c = m_active[pick];
    m_frame = std::move(c.frames[c.next++]);
    if (c.next == c.frames.size()) c = NewConversation();
    m_time += Between(1, 300);
    microseconds = m_time;
    return m_frame;
}

RealisticMix::Conversation RealisticMix::NewConversation() {
    Conversation c;
    const uint32_t kind = Between(0, 99);
    if (kind < 28) {
        TcpSession(c);
    } else if (kind < 63) {
        Dns(c);
    } else if (kind < 70) {
        Ntp(c);
    } else if (kind < 78) {
        Quic(c);
    } else if (kind < 88) {
        Icmp(c);
    } else {
        Arp(c);
    }
    return c;
}

// A client of the local network and a server far away: handshake with the
// options Linux sends, then request and response (TLS records on 443,
// HTTP text on 80) with an acknowledgement for every second segment, then
// the close.
void RealisticMix::TcpSession(Conversation& c) {
    const int host = static_cast<int>(Between(0, 499));
    const int server = static_cast<int>(Between(0, 2999));
    const bool tls = Between(0, 3) != 0;
    const unsigned clientPort = Between(32768, 60999), serverPort = tls ? 443 : 80;
    uint32_t clientSeq = static_cast<uint32_t>(Random()), serverSeq = static_cast<uint32_t>(Random());
    uint32_t clientTs = static_cast<uint32_t>(Random()), serverTs = static_cast<uint32_t>(Random());
    const uint8_t ttl = static_cast<uint8_t>(Between(40, 60));

    const auto send = [&](bool fromClient, uint8_t flags, const Bytes& options, const Bytes& data) {
        frames::Ipv4 ip;
        ip.protocol = kIpProtocolTcp;
        ip.id = m_ipId++ & 0xFFFF;
        ip.source = fromClient ? Host(host) : Server(server);
        ip.destination = fromClient ? Server(server) : Host(host);
        ip.ttl = fromClient ? 64 : ttl;
        uint32_t& seq = fromClient ? clientSeq : serverSeq;
        const uint32_t ack = fromClient ? serverSeq : clientSeq;
        const Bytes tcp = frames::Tcp(fromClient ? clientPort : serverPort,
                                      fromClient ? serverPort : clientPort, seq,
                                      flags & kAck ? ack : 0, flags, fromClient ? 501 : 509,
                                      options, data);
        seq += static_cast<uint32_t>(data.size()) + ((flags & (kSyn | kFin)) ? 1 : 0);
        c.frames.push_back(frames::Ip(fromClient ? kGatewayMac : Mac(host),
                                      fromClient ? Mac(host) : kGatewayMac, ip, tcp));
    };
    // The timestamp option's value and echo: the sender's clock advances.
    const auto clocks = [&](bool fromClient) {
        uint32_t& own = fromClient ? clientTs : serverTs;
        own += Between(1, 40);
        return std::pair{own, fromClient ? serverTs : clientTs};
    };
    const auto stamps = [&](bool fromClient) {
        const auto [value, echo] = clocks(fromClient);
        return Words({0x0101080A, value, echo});
    };
    const auto synOptions = [&](bool fromClient) {
        const auto [value, echo] = clocks(fromClient);
        Bytes o = {0x02, 0x04, 0x05, 0xb4, 0x04, 0x02, 0x08, 0x0a};
        frames::Put32(o, value);
        frames::Put32(o, echo);
        for (const uint8_t b : {0x01, 0x03, 0x03, 0x07}) o.push_back(b);
        return o;
    };
    // `content` from one side in segments; the other side acknowledges
    // every second one and the last.
    const auto transfer = [&](bool fromClient, const Bytes& content) {
        for (size_t at = 0, n = 0; at < content.size(); at += kSegment, ++n) {
            const size_t length = std::min<size_t>(kSegment, content.size() - at);
            const bool last = at + length == content.size();
            send(fromClient, static_cast<uint8_t>(kAck | (last ? kPush : 0)), stamps(fromClient),
                 Bytes(content.begin() + static_cast<long>(at),
                       content.begin() + static_cast<long>(at + length)));
            if (n % 2 == 1 || last) send(!fromClient, kAck, stamps(!fromClient), {});
        }
    };
    // `size` bytes of TLS records of `type`, at most 16 KiB each.
    const auto record = [&](uint8_t type, size_t size) {
        Bytes r;
        for (size_t left = size; left > 0;) {
            const size_t part = std::min<size_t>(left, 16384);
            for (const uint8_t b : {type, uint8_t{0x03}, uint8_t{0x03}}) r.push_back(b);
            frames::Put16(r, static_cast<unsigned>(part));
            const Bytes body = RandomBytes(part);
            r.insert(r.end(), body.begin(), body.end());
            left -= part;
        }
        return r;
    };
    // Response sizes: many small objects, some pages and images, few
    // downloads.
    const auto responseSize = [&]() -> uint32_t {
        const uint32_t bucket = Between(0, 99);
        if (bucket < 60) return Between(200, 2500);
        if (bucket < 90) return Between(2500, 12000);
        if (bucket < 99) return Between(12000, 50000);
        return Between(50000, 150000);
    };

    send(true, kSyn, synOptions(true), {});
    send(false, kSyn | kAck, synOptions(false), {});
    send(true, kAck, stamps(true), {});
    const int requests = static_cast<int>(Between(1, 3));
    if (tls) {
        transfer(true, record(0x16, Between(508, 600)));
        transfer(false, record(0x16, Between(2800, 5200)));
        transfer(true, record(0x14, 1));
        for (int i = 0; i < requests; ++i) {
            transfer(true, record(0x17, Between(90, 700)));
            transfer(false, record(0x17, responseSize()));
        }
    } else {
        for (int i = 0; i < requests; ++i) {
            std::string request = "GET /" + std::to_string(Random() % 100000) +
                                  "/index.html HTTP/1.1\r\nHost: www.example" +
                                  std::to_string(server) +
                                  ".com\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
                                  "Accept: text/html,*/*;q=0.8\r\nAccept-Language: ja,en;q=0.7\r\n"
                                  "Connection: keep-alive\r\n\r\n";
            transfer(true, frames::Text(request.c_str()));
            const uint32_t size = responseSize();
            std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                               "Content-Length: " + std::to_string(size) + "\r\n\r\n";
            Bytes response = frames::Text(head.c_str());
            for (uint32_t k = 0; k < size; ++k)
                response.push_back(static_cast<uint8_t>("<p>kestrel</p>\n"[k % 15]));
            transfer(false, response);
        }
    }
    send(true, kFin | kAck, stamps(true), {});
    send(false, kFin | kAck, stamps(false), {});
    send(true, kAck, stamps(true), {});
}

// A query to the local resolver and its answer: A or AAAA records, with a
// CNAME now and then.
void RealisticMix::Dns(Conversation& c) {
    const int host = static_cast<int>(Between(0, 499));
    const unsigned port = Between(32768, 60999);
    const uint16_t id = static_cast<uint16_t>(Random());
    const bool ipv6 = Between(0, 2) == 0;
    const Bytes name = DnsName("www" + std::to_string(Between(0, 999)) + ".example-cdn" +
                               std::to_string(Between(0, 99)) + ".com");
    Bytes question;
    frames::Put16(question, id);
    frames::Put16(question, 0x0100);
    for (const unsigned n : {1u, 0u, 0u, 1u}) frames::Put16(question, n);
    question.insert(question.end(), name.begin(), name.end());
    frames::Put16(question, ipv6 ? 28 : 1);
    frames::Put16(question, 1);
    // Additional: an EDNS0 record.
    for (const uint8_t b : {0, 0, 0x29, 0x04, 0xd0, 0, 0, 0, 0, 0, 0}) question.push_back(b);

    Bytes answer(question.begin(), question.end() - 11);
    answer = frames::Poke(answer, 2, {0x81, 0x80});
    const unsigned records = Between(1, 4);
    answer = frames::Poke(answer, 6, {0, static_cast<uint8_t>(records)});
    for (unsigned i = 0; i < records; ++i) {
        for (const uint8_t b : {0xc0, 0x0c}) answer.push_back(b);
        frames::Put16(answer, ipv6 ? 28 : 1);
        frames::Put16(answer, 1);
        frames::Put32(answer, Between(30, 3600));
        const Bytes address = RandomBytes(ipv6 ? 16 : 4);
        frames::Put16(answer, static_cast<unsigned>(address.size()));
        answer.insert(answer.end(), address.begin(), address.end());
    }
    for (const uint8_t b : {0, 0, 0x29, 0x04, 0xd0, 0, 0, 0, 0, 0, 0}) answer.push_back(b);

    Datagram(c, host, {10, 1, 0, 1}, true, port, 53, question);
    Datagram(c, host, {10, 1, 0, 1}, false, port, 53, answer);
}

void RealisticMix::Datagram(Conversation& c, int host, const Bytes& far, bool fromHost,
                            unsigned hostPort, unsigned farPort, const Bytes& payload) {
    frames::Ipv4 ip;
    ip.protocol = kIpProtocolUdp;
    ip.id = m_ipId++ & 0xFFFF;
    ip.source = fromHost ? Host(host) : far;
    ip.destination = fromHost ? far : Host(host);
    c.frames.push_back(frames::Ip(fromHost ? kGatewayMac : Mac(host), fromHost ? Mac(host) : kGatewayMac,
                                  ip, frames::Udp(fromHost ? hostPort : farPort,
                                                  fromHost ? farPort : hostPort, payload)));
}

void RealisticMix::Ntp(Conversation& c) {
    const int host = static_cast<int>(Between(0, 499));
    const Bytes server = Server(static_cast<int>(Between(0, 20)));
    for (const bool fromClient : {true, false}) {
        Bytes message = RandomBytes(48);
        message[0] = fromClient ? 0x23 : 0x24;  // version 4, client / server
        Datagram(c, host, server, fromClient, 123, 123, message);
    }
}

// A QUIC-like exchange on UDP 443: padded initial packets, the server's
// handshake, then short-header data with small acknowledgements.
void RealisticMix::Quic(Conversation& c) {
    const int host = static_cast<int>(Between(0, 499));
    const Bytes server = Server(static_cast<int>(Between(0, 2999)));
    const unsigned port = Between(32768, 60999);
    const auto send = [&](bool fromClient, size_t size, bool longHeader) {
        Bytes payload = RandomBytes(size);
        payload[0] = static_cast<uint8_t>(longHeader ? 0xC0 | (payload[0] & 0x0F) : 0x40 | (payload[0] & 0x3F));
        if (longHeader) payload = frames::Poke(payload, 1, {0, 0, 0, 1});
        Datagram(c, host, server, fromClient, port, 443, payload);
    };
    send(true, 1250, true);
    for (unsigned i = 0, n = Between(2, 4); i < n; ++i) send(false, Between(1150, 1250), true);
    send(true, 1250, true);
    send(true, Between(60, 300), false);
    for (unsigned i = 0, n = Between(2, 20); i < n; ++i) {
        send(false, Between(1000, 1350), false);
        if (i % 2 == 1) send(true, Between(30, 50), false);
    }
    send(true, Between(30, 50), false);
}

// Echo requests and replies to a server, or a port unreachable for a
// datagram to a closed port.
void RealisticMix::Icmp(Conversation& c) {
    const int host = static_cast<int>(Between(0, 499));
    const int server = static_cast<int>(Between(0, 2999));
    frames::Ipv4 ip;
    ip.protocol = kIpProtocolIcmp;
    if (Between(0, 4) == 0) {
        frames::Ipv4 udp;
        udp.protocol = kIpProtocolUdp;
        udp.source = Server(server);
        udp.destination = Host(host);
        const Bytes datagram = frames::Ip(Mac(host), kGatewayMac, udp,
                                          frames::Udp(Between(1024, 65535), Between(33434, 33534),
                                                      RandomBytes(32)));
        ip.source = Host(host);
        ip.destination = Server(server);
        ip.id = m_ipId++ & 0xFFFF;
        c.frames.push_back(frames::Ip(kGatewayMac, Mac(host), ip,
                                      frames::Icmp(3, 3, 0, 0, frames::Quote(datagram))));
        return;
    }
    const unsigned id = Between(1, 65535);
    for (unsigned sequence = 1, n = Between(1, 4); sequence <= n; ++sequence) {
        Bytes data = RandomBytes(56);
        for (const bool request : {true, false}) {
            ip.id = m_ipId++ & 0xFFFF;
            ip.source = request ? Host(host) : Server(server);
            ip.destination = request ? Server(server) : Host(host);
            c.frames.push_back(frames::Ip(request ? kGatewayMac : Mac(host),
                                          request ? Mac(host) : kGatewayMac, ip,
                                          frames::Icmp(request ? 8 : 0, 0, id, sequence, data)));
        }
    }
}

void RealisticMix::Arp(Conversation& c) {
    const int asker = static_cast<int>(Between(0, 499));
    const int target = static_cast<int>(Between(0, 499));
    const Bytes targetIp = Between(0, 3) == 0 ? Bytes{10, 1, 0, 1} : Host(target);
    const Bytes targetMac = targetIp == Bytes{10, 1, 0, 1} ? kGatewayMac : Mac(target);
    c.frames.push_back(frames::Arp(1, kBroadcast, Mac(asker), Host(asker), kNoMac, targetIp));
    c.frames.push_back(frames::Arp(2, Mac(asker), targetMac, targetIp, Mac(asker), Host(asker)));
}

}  // namespace kestrel::bench
