#include "loopback_udp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/byte_reader.h"
#include "core/text_helpers.h"

namespace kestrel::test {

LoopbackUdp::LoopbackUdp() {
    m_receiver = socket(AF_INET, SOCK_DGRAM, 0);
    m_sender = socket(AF_INET, SOCK_DGRAM, 0);
    m_address.sin_family = AF_INET;
    m_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof m_address;
    if (m_receiver < 0 ||
        bind(m_receiver, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address) != 0 ||
        getsockname(m_receiver, reinterpret_cast<sockaddr*>(&m_address), &size) != 0) {
        if (m_receiver >= 0)
            close(m_receiver);
        m_receiver = -1;
    }
}

LoopbackUdp::~LoopbackUdp() {
    if (m_receiver >= 0)
        close(m_receiver);
    if (m_sender >= 0)
        close(m_sender);
}

void LoopbackUdp::Send(const std::string& text) const {
    sendto(m_sender, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&m_address),
           sizeof m_address);
}

std::vector<std::string> UdpPayloadsTo(const PacketStore& store, uint16_t port) {
    std::vector<std::string> payloads;
    for (int i = 0; i < store.Count(); ++i) {
        const ByteReader frame(*store.At(i));
        const IpSummary ip = SummarizeIpPacket(frame);
        if (ip.protocol != kIpProtocolUdp || ip.destinationPort != port)
            continue;
        const size_t udp = kEthernetHeaderLength + (*frame.U8(kEthernetHeaderLength) & 0x0F) * 4u;
        const auto length = frame.Be16(udp + 4);
        if (!length || *length < 8)
            continue;
        const auto data = frame.Available(udp + 8, *length - 8u);
        payloads.emplace_back(data.begin(), data.end());
    }
    return payloads;
}

}  // namespace kestrel::test
