// PcapApi over libpcap.
#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>
#include <netpacket/packet.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "capture/real_pcap.h"

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

    bool KernelDrops(uint64_t& dropped) override {
        // ps_ifdrop is left out: on Linux it is the interface's own drop
        // counter, which also counts frames no capture would have seen.
        pcap_stat stats{};
        if (pcap_stats(m_handle, &stats) != 0)
            return false;
        dropped = stats.ps_drop;
        return true;
    }

    void BreakLoop() override { pcap_breakloop(m_handle); }

private:
    pcap_t* m_handle;
};

// The text for a status of pcap_activate (or of the setters before it): the
// library's own message where it wrote one, with the status's meaning in
// front for the statuses whose message alone would be cryptic.
std::string ActivationText(pcap_t* handle, int status) {
    const std::string detail = pcap_geterr(handle);
    if (status == PCAP_ERROR || status == PCAP_WARNING) {
        return detail.empty() ? pcap_statustostr(status) : detail;
    }
    std::string text = pcap_statustostr(status);
    if (!detail.empty() && detail != text)
        text += " (" + detail + ")";
    return text;
}

// Activation failures that a process with the capture capabilities would
// not meet.
bool IsPermissionFailure(int status, const std::string& text) {
    if (status == PCAP_ERROR_PERM_DENIED || status == PCAP_ERROR_PROMISC_PERM_DENIED)
        return true;
    return status == PCAP_ERROR && (text.find(std::strerror(EPERM)) != std::string::npos ||
                                    text.find(std::strerror(EACCES)) != std::string::npos);
}

PcapAddressEntry::Family FamilyOf(const sockaddr* address) {
    if (!address) return PcapAddressEntry::Family::None;
    switch (address->sa_family) {
        case AF_INET: return PcapAddressEntry::Family::Ipv4;
        case AF_INET6: return PcapAddressEntry::Family::Ipv6;
        case AF_PACKET: return PcapAddressEntry::Family::LinkLayer;
        default: return PcapAddressEntry::Family::Other;
    }
}

// Whether the network device `name` opens as Ethernet. The library asks the
// kernel for the device's hardware type when it opens it and captures
// Ethernet, loopback and Metricom devices as Ethernet (DLT_EN10MB); the same
// question needs no privilege. A name that is no network device (the
// library's pseudo-devices: any, nflog, nfqueue, usbmon...) is not one.
// `probe` is any socket, -1 when none could be made: then nothing can be
// told and the device is kept (its open refuses it if need be).
bool OpensAsEthernet(int probe, const std::string& name) {
    if (probe < 0)
        return true;
    ifreq request{};
    if (name.empty() || name.size() >= sizeof request.ifr_name)
        return false;
    std::memcpy(request.ifr_name, name.data(), name.size());
    if (ioctl(probe, SIOCGIFHWADDR, &request) != 0)
        return false;
    switch (request.ifr_hwaddr.sa_family) {
        case ARPHRD_ETHER:
        case ARPHRD_LOOPBACK:
        case ARPHRD_METRICOM: return true;
        default: return false;
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
        const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        for (const pcap_if_t* d = list; d; d = d->next) {
            PcapDevice device;
            device.name = d->name ? d->name : "";
            device.ethernet = OpensAsEthernet(probe, device.name);
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
        if (probe >= 0) close(probe);
        if (list) pcap_freealldevs(list);
        return true;
    }

    std::unique_ptr<PcapSession> OpenLive(const std::string& name, const LiveOptions& options,
                                          std::string& message, bool& permissionDenied) override {
        pcap_t* handle = OpenLiveHandle(name, options, message, permissionDenied);
        return handle ? std::make_unique<RealSession>(handle) : nullptr;
    }
};

}  // namespace

pcap_t* OpenLiveHandle(const std::string& name, const LiveOptions& options, std::string& message,
                       bool& permissionDenied) {
    permissionDenied = false;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(name.c_str(), errbuf);
    if (!handle) {
        message = errbuf;
        return nullptr;
    }
    int status = pcap_set_snaplen(handle, options.snapLength);
    if (status == 0)
        status = pcap_set_promisc(handle, options.promiscuous ? 1 : 0);
    if (status == 0)
        status = pcap_set_timeout(handle, options.timeoutMs);
    if (status == 0 && options.immediate)
        status = pcap_set_immediate_mode(handle, 1);
    if (status == 0 && options.bufferBytes > 0)
        status = pcap_set_buffer_size(handle, options.bufferBytes);
    if (status == 0)
        status = pcap_activate(handle);
    if (status < 0) {
        message = ActivationText(handle, status);
        permissionDenied = IsPermissionFailure(status, message);
        pcap_close(handle);
        return nullptr;
    }
    message = status > 0 ? ActivationText(handle, status) : std::string();
    if (!options.filter.empty()) {
        std::string error;
        if (!ApplyFilter(handle, options.filter, error)) {
            message = error;
            pcap_close(handle);
            return nullptr;
        }
    }
    return handle;
}

bool ApplyFilter(pcap_t* handle, const std::string& filter, std::string& error) {
    bpf_program program{};
    if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        error = "ﾌｨﾙﾀｰ \"" + filter + "\" を使えません: " + pcap_geterr(handle);
        return false;
    }
    const bool applied = pcap_setfilter(handle, &program) == 0;
    if (!applied)
        error = "ﾌｨﾙﾀｰ \"" + filter + "\" を使えません: " + std::string(pcap_geterr(handle));
    pcap_freecode(&program);
    return applied;
}

std::shared_ptr<PcapApi> MakeRealPcapApi() { return std::make_shared<RealPcapApi>(); }

}  // namespace kestrel
