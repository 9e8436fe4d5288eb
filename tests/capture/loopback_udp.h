// UDP datagrams on the loopback adapter for the live capture tests: a
// receiver bound to a free port of 127.0.0.1, a sender to it, and the
// payloads of those datagrams that a store holds.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/packet_store.h"

namespace kestrel::test {

class LoopbackUdp {
public:
    LoopbackUdp();
    ~LoopbackUdp();
    LoopbackUdp(const LoopbackUdp&) = delete;
    LoopbackUdp& operator=(const LoopbackUdp&) = delete;

    // False when the sockets could not be made.
    bool Ok() const { return m_receiver >= 0 && m_sender >= 0; }
    uint16_t Port() const { return ntohs(m_address.sin_port); }
    void Send(const std::string& text) const;

private:
    int m_receiver = -1;
    int m_sender = -1;
    sockaddr_in m_address{};
};

// The payloads of the UDP datagrams to `port` that the store holds, in store
// order.
std::vector<std::string> UdpPayloadsTo(const PacketStore& store, uint16_t port);

}  // namespace kestrel::test
