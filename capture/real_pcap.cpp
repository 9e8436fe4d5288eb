// PcapApi over libpcap.
#include <linux/filter.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>
#include <netpacket/packet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "capture/real_pcap.h"

namespace kestrel {
namespace {

class RealSession : public PcapSession {
public:
    RealSession(pcap_t* handle, const LiveOptions& options)
        : m_handle(handle),
          m_reader(handle, options.blockTimeoutMs),
          m_timeoutMs(options.timeoutMs) {}
    ~RealSession() override { pcap_close(m_handle); }

    int DataLink() override { return pcap_datalink(m_handle); }

    int Next(PacketHeader& header, const uint8_t*& data) override {
        const pcap_pkthdr* h = nullptr;
        const u_char* bytes = nullptr;
        const int r = m_reader.Next(h, bytes, m_timeoutMs);
        if (r != 1)
            return r;
        header.tv_sec = static_cast<uint64_t>(h->ts.tv_sec);
        header.tv_usec = static_cast<uint32_t>(h->ts.tv_usec);
        header.caplen = h->caplen;
        header.len = h->len;
        data = bytes;
        return 1;
    }

    const char* ErrorText() override { return m_reader.ErrorText(); }

    bool KernelDrops(uint64_t& dropped) override {
        // ps_ifdrop is left out: on Linux it is the interface's own drop
        // counter, which also counts frames no capture would have seen.
        pcap_stat stats{};
        if (pcap_stats(m_handle, &stats) != 0)
            return false;
        dropped = stats.ps_drop;
        return true;
    }

    void BreakLoop() override { m_reader.Break(); }

    bool Finish() override {
        m_reader.Stop();
        return true;
    }

private:
    pcap_t* m_handle;  // closed last: the reader uses it
    LiveReader m_reader;
    int m_timeoutMs;
};

int64_t Micros(const timeval& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000 + time.tv_usec;
}

// True when the handle reads a loopback adapter.
bool IsLoopback(pcap_t* handle) {
    sockaddr_ll address{};
    socklen_t size = sizeof address;
    return getsockname(pcap_fileno(handle), reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
           address.sll_family == AF_PACKET && address.sll_hatype == ARPHRD_LOOPBACK;
}

// Gives the kernel `program` (the user's filter, or null for every frame)
// behind a test that refuses the outgoing copies of frames. Installed with
// the socket option itself: the library, asked to filter on the packet type
// (`inbound`), would also apply that filter in user space to the frames
// already queued, where the packet type is unknown and every frame fails.
bool ExcludeOutgoingCopies(pcap_t* handle, const bpf_program* program) {
    std::vector<sock_filter> code{
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, PACKET_OUTGOING},
        {BPF_RET | BPF_K, 0, 0, 0},
    };
    if (program && program->bf_len > 0) {
        for (u_int i = 0; i < program->bf_len; ++i) {
            const bpf_insn& in = program->bf_insns[i];
            code.push_back({in.code, in.jt, in.jf, in.k});
        }
    } else {
        code.push_back({BPF_RET | BPF_K, 0, 0, static_cast<uint32_t>(pcap_snapshot(handle))});
    }
    if (code.size() > BPF_MAXINSNS)
        return false;
    const sock_fprog kernelProgram{static_cast<unsigned short>(code.size()), code.data()};
    return setsockopt(pcap_fileno(handle), SOL_SOCKET, SO_ATTACH_FILTER, &kernelProgram,
                      sizeof kernelProgram) == 0;
}

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
        return handle ? std::make_unique<RealSession>(handle, options) : nullptr;
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
    // With blocks, the library's timeout is the block timeout; the read
    // timeout is LiveReader's.
    if (status == 0)
        status = pcap_set_timeout(handle, options.blockTimeoutMs);
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
    std::string error;
    if (!ApplyFilter(handle, options.filter, error)) {
        message = error;
        pcap_close(handle);
        return nullptr;
    }
    return handle;
}

bool ApplyFilter(pcap_t* handle, const std::string& filter, std::string& error) {
    if (filter.empty()) {
        // Every frame: only the loopback's outgoing copies to leave out.
        // Where the kernel refuses, the library still drops them later.
        if (IsLoopback(handle))
            ExcludeOutgoingCopies(handle, nullptr);
        return true;
    }
    bpf_program program{};
    if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        error = "ﾌｨﾙﾀｰ \"" + filter + "\" を使えません: " + pcap_geterr(handle);
        return false;
    }
    const bool applied = pcap_setfilter(handle, &program) == 0;
    if (!applied)
        error = "ﾌｨﾙﾀｰ \"" + filter + "\" を使えません: " + std::string(pcap_geterr(handle));
    else if (IsLoopback(handle))
        ExcludeOutgoingCopies(handle, &program);
    pcap_freecode(&program);
    return applied;
}

LiveReader::LiveReader(pcap_t* handle, int blockTimeoutMs)
    : m_handle(handle),
      m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      // The kernel retires a block within one block timeout of its first
      // frame; the second is for a timer or a reader that runs late.
      m_drainTime(2 * std::max(blockTimeoutMs, 1)) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_setnonblock(m_handle, 1, errbuf);
}

LiveReader::~LiveReader() {
    if (m_wake >= 0)
        close(m_wake);
}

void LiveReader::Stop() {
    int64_t none = 0;
    m_stopMicros.compare_exchange_strong(none, FrameClockMicros());
    if (m_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_wake, &one, sizeof one);
    }
}

void LiveReader::Break() {
    m_broken.store(true);
    Stop();
}

// Waits until the kernel hands over a block, Stop or Break is called, or
// `timeoutMs` passes; false on a failure of poll itself.
bool LiveReader::Wait(int timeoutMs) {
    pollfd fds[2] = {{pcap_get_selectable_fd(m_handle), POLLIN, 0}, {m_wake, POLLIN, 0}};
    // Without the eventfd a stop is seen at the next tenth of a second.
    const int r = m_wake >= 0 ? poll(fds, 2, timeoutMs)
                              : poll(fds, 1, timeoutMs < 0 ? 100 : std::min(timeoutMs, 100));
    if (r < 0 && errno != EINTR)
        return false;
    if (m_wake >= 0 && (fds[1].revents & POLLIN)) {
        uint64_t count;
        [[maybe_unused]] const ssize_t n = read(m_wake, &count, sizeof count);
    }
    return true;
}

int LiveReader::Next(const pcap_pkthdr*& header, const u_char*& data, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    for (;;) {
        if (m_broken.load(std::memory_order_acquire))
            return -2;
        const int64_t stopMicros = m_stopMicros.load(std::memory_order_acquire);
        if (stopMicros != 0 && !m_draining) {
            m_draining = true;
            m_drainEnd = Clock::now() + m_drainTime;
        }
        pcap_pkthdr* h = nullptr;
        const u_char* bytes = nullptr;
        const int r = pcap_next_ex(m_handle, &h, &bytes);
        if (r == 1) {
            if (stopMicros == 0 || Micros(h->ts) <= stopMicros) {
                header = h;
                data = bytes;
                return 1;
            }
            // Arrived after the stop: not kept.
            m_sawLater = true;
            if (Clock::now() >= m_drainEnd)
                return -2;
            continue;
        }
        if (r == PCAP_ERROR) {
            m_error = pcap_geterr(m_handle);
            return -1;
        }
        // 0: nothing ready. PCAP_ERROR_BREAK: someone called
        // pcap_breakloop (the capture helper's stop), which only ends the
        // dispatch loop around us.
        const auto now = Clock::now();
        int waitMs;
        if (m_draining) {
            // Frames are queued in the order they arrive: once one that
            // came after the stop was read, what is not ready came later.
            if (m_sawLater || now >= m_drainEnd)
                return -2;
            waitMs = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(m_drainEnd - now).count());
        } else {
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - started);
            if (timeoutMs >= 0 && waited.count() >= timeoutMs)
                return 0;
            waitMs = timeoutMs >= 0 ? static_cast<int>(timeoutMs - waited.count()) : -1;
        }
        if (!Wait(waitMs)) {
            m_error = std::string("poll: ") + std::strerror(errno);
            return -1;
        }
    }
}

int DispatchHeldFrames(pcap_t* handle, int blockTimeoutMs, pcap_handler callback, u_char* user) {
    LiveReader reader(handle, blockTimeoutMs);
    reader.Stop();
    int count = 0;
    for (;;) {
        const pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int r = reader.Next(header, data, -1);
        if (r == -1)
            return -1;
        if (r != 1)
            return count;
        callback(user, header, data);
        ++count;
    }
}

std::shared_ptr<PcapApi> MakeRealPcapApi() { return std::make_shared<RealPcapApi>(); }

}  // namespace kestrel
