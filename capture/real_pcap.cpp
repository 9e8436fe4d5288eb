// PcapApi over libpcap.
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <netpacket/packet.h>

#include <cstring>

#include "capture/pcap_api.h"

namespace kestrel {
namespace {

class RealSession : public PcapSession {
public:
    explicit RealSession(pcap_t* handle) : m_handle(handle) {}
    ~RealSession() override { pcap_close(m_handle); }

    int DataLink() override { return pcap_datalink(m_handle); }

    int Next(PacketHeader& header, const uint8_t*& data) override {
        pcap_pkthdr* h = nullptr;
        const u_char* bytes = nullptr;
        const int r = pcap_next_ex(m_handle, &h, &bytes);
        if (r != 1) return r < 0 ? (r == PCAP_ERROR ? -1 : -2) : 0;
        header.tv_sec = static_cast<uint32_t>(h->ts.tv_sec);
        header.tv_usec = static_cast<uint32_t>(h->ts.tv_usec);
        header.caplen = h->caplen;
        header.len = h->len;
        data = bytes;
        return 1;
    }

    const char* ErrorText() override { return pcap_geterr(m_handle); }
    void BreakLoop() override { pcap_breakloop(m_handle); }

private:
    pcap_t* m_handle;
};

PcapAddressEntry::Family FamilyOf(const sockaddr* address) {
    if (!address) return PcapAddressEntry::Family::None;
    switch (address->sa_family) {
        case AF_INET: return PcapAddressEntry::Family::Ipv4;
        case AF_INET6: return PcapAddressEntry::Family::Ipv6;
        case AF_PACKET: return PcapAddressEntry::Family::LinkLayer;
        default: return PcapAddressEntry::Family::Other;
    }
}

class RealPcapApi : public PcapApi {
public:
    bool FindAllDevices(std::vector<PcapDevice>& devices, std::string& error) override {
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        pcap_if_t* list = nullptr;
        if (pcap_findalldevs(&list, errbuf) == -1) {
            error = errbuf;
            return false;
        }
        devices.clear();
        for (const pcap_if_t* d = list; d; d = d->next) {
            PcapDevice device;
            device.name = d->name ? d->name : "";
            if (d->description) device.description = d->description;
            for (const pcap_addr_t* a = d->addresses; a; a = a->next) {
                PcapAddressEntry entry;
                entry.family = FamilyOf(a->addr);
                if (entry.family == PcapAddressEntry::Family::Ipv4) {
                    sockaddr_in in;
                    std::memcpy(&in, a->addr, sizeof in);
                    std::memcpy(entry.ipv4.data(), &in.sin_addr, 4);
                }
                device.addresses.push_back(entry);
            }
            devices.push_back(std::move(device));
        }
        if (list) pcap_freealldevs(list);
        return true;
    }

    std::unique_ptr<PcapSession> OpenLive(const std::string& name, int snapLength, bool promiscuous,
                                          int timeoutMs, std::string& error) override {
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        pcap_t* handle = pcap_open_live(name.c_str(), snapLength, promiscuous ? 1 : 0, timeoutMs, errbuf);
        if (!handle) {
            error = errbuf;
            return nullptr;
        }
        return std::make_unique<RealSession>(handle);
    }
};

}  // namespace

std::shared_ptr<PcapApi> MakeRealPcapApi() { return std::make_shared<RealPcapApi>(); }

}  // namespace kestrel
