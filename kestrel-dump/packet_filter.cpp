#include "kestrel-dump/packet_filter.h"

#include "core/capture_writer.h"

namespace kestrel::dump {

PacketFilter::~PacketFilter() {
    if (m_compiled) pcap_freecode(&m_program);
}

bool PacketFilter::Compile(const std::string& expression, std::string& error) {
    if (expression.empty()) return true;
    // A dead handle stands for an Ethernet capture with the largest snapshot
    // length any reader takes, so length tests see every captured byte.
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, static_cast<int>(kPcapMaxSnapLength));
    if (!dead) {
        error = "out of memory";
        return false;
    }
    m_compiled = pcap_compile(dead, &m_program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
    if (!m_compiled) error = pcap_geterr(dead);
    pcap_close(dead);
    return m_compiled;
}

bool PacketFilter::Matches(const Packet& packet) const {
    if (!m_compiled) return true;
    pcap_pkthdr header{};
    header.caplen = packet.header->caplen;
    // The length on the wire as the file gives it, as tcpdump's filters see
    // it (".pac" stores none: its reader gives the captured length).
    header.len = packet.header->len;
    return pcap_offline_filter(&m_program, &header, packet.data) != 0;
}

}  // namespace kestrel::dump
