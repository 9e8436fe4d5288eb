// kestrel-dump -f: a libpcap filter expression (tcpdump's language) compiled
// for Ethernet and applied to packets read from files, ".pac" included.
#pragma once

#include <pcap/pcap.h>

#include <string>

#include "core/packet.h"

namespace kestrel::dump {

class PacketFilter {
public:
    PacketFilter() = default;
    ~PacketFilter();
    PacketFilter(const PacketFilter&) = delete;
    PacketFilter& operator=(const PacketFilter&) = delete;

    // Compiles `expression`; false with libpcap's message when it is not a
    // valid filter. An empty expression matches every packet.
    bool Compile(const std::string& expression, std::string& error);
    bool Matches(const Packet& packet) const;
    // No expression: every packet matches.
    bool Empty() const { return !m_compiled; }

private:
    bpf_program m_program{};
    bool m_compiled = false;
};

}  // namespace kestrel::dump
