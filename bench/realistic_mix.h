// A realistic traffic mix for the benchmarks, made frame by frame: TCP
// sessions (handshake, request, response in full-sized segments with the
// client's acknowledgements, close) to TLS and HTTP servers, DNS, NTP and
// QUIC-like UDP, ICMP echoes and errors, ARP. Frames average about 580
// bytes, as on a typical office or server link, against the peer captures'
// mostly small frames. The same seed gives the same frames on every machine.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "tools/frames.h"

namespace kestrel::bench {

class RealisticMix {
public:
    explicit RealisticMix(uint64_t seed = 1);

    // The next frame; `microseconds` is its time since 1970.
    const frames::Bytes& Next(uint64_t& microseconds);

private:
    // One conversation: its frames in order, handed out one at a time.
    struct Conversation {
        std::vector<frames::Bytes> frames;
        size_t next = 0;
    };

    uint64_t Random();
    // A number in [low, high].
    uint32_t Between(uint32_t low, uint32_t high);
    frames::Bytes RandomBytes(size_t size);
    frames::Bytes Host(int index) const;      // an address of the local network
    frames::Bytes Server(int index) const;    // an address far away
    frames::Bytes Mac(int host) const;

    Conversation NewConversation();
    // A UDP datagram between `host` of the local network (through the
    // gateway, whose MAC address it uses) and `far`.
    void Datagram(Conversation& c, int host, const frames::Bytes& far, bool fromHost,
                  unsigned hostPort, unsigned farPort, const frames::Bytes& payload);
    void TcpSession(Conversation& c);
    void Dns(Conversation& c);
    void Ntp(Conversation& c);
    void Quic(Conversation& c);
    void Icmp(Conversation& c);
    void Arp(Conversation& c);

    uint64_t m_state;
    uint64_t m_time;
    unsigned m_ipId = 1;
    std::vector<Conversation> m_active;
    frames::Bytes m_frame;
};

}  // namespace kestrel::bench
