// kestrel-capture: the one Kestrel program that holds capture privileges.
// It lists the adapters, or opens one adapter and writes its frames to
// standard output as a pcap stream, flushed per frame, until it is told to
// stop. The desktop program and kestrel-dump run it when they cannot open an
// adapter themselves, and read the stream like a capture file; over ssh the
// same stream brings captures from other machines.
//
// It is installed root:kestrel mode 0750 with cap_net_raw,cap_net_admin, so
// it trusts nothing from its caller: it refuses to run set-uid or set-gid,
// writes nowhere but standard output and standard error, and gives up every
// capability as soon as the adapter is open.
#include <linux/capability.h>
#include <pcap/pcap.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture/device_names.h"
#include "capture/pcap_api.h"
#include "capture/real_pcap.h"

namespace {

using namespace kestrel;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::atomic<pcap_t*> g_handle{nullptr};
volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop() {
    g_stopRequested = 1;
    // pcap_breakloop only sets a flag and wakes the poll through an eventfd:
    // safe from a signal handler and from another thread.
    if (pcap_t* handle = g_handle.load()) pcap_breakloop(handle);
}

void OnSignal(int) { RequestStop(); }

void PrintUsage(std::FILE* out) {
    std::fputs(
        "Usage: kestrel-capture --list\n"
        "       kestrel-capture -i NAME [-f FILTER]\n"
        "\n"
        "Capture helper of Kestrel.\n"
        "  --list       the adapters: display name, TAB, system name, one per line\n"
        "  -i NAME      capture from the adapter NAME (system name or display name) and write\n"
        "               a pcap stream to standard output, flushed per frame, until SIGINT,\n"
        "               SIGTERM or the end of standard input\n"
        "  -f FILTER    a libpcap filter expression (tcpdump syntax)\n"
        "  --help       show this help\n"
        "  --version    show the version\n"
        "\n"
        "Exit status: 0 after a stop, 1 on failure, 2 bad usage.\n",
        out);
}

bool Adapters(std::vector<PcapDevice>& devices, std::vector<std::string>& names) {
    std::string error;
    if (!MakeRealPcapApi()->FindAllDevices(devices, error)) {
        std::fprintf(stderr, "kestrel-capture: %s\n", error.c_str());
        return false;
    }
    names = NameDevices(devices);
    return true;
}

int List() {
    std::vector<PcapDevice> devices;
    std::vector<std::string> names;
    if (!Adapters(devices, names)) return kExitFailure;
    for (size_t i = 0; i < devices.size(); ++i)
        std::printf("%s\t%s\n", names[i].c_str(), devices[i].name.c_str());
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// The system name of the adapter called `name`, by system name first, then by
// display name; empty when none has it.
std::string SystemNameOf(const std::string& name) {
    std::vector<PcapDevice> devices;
    std::vector<std::string> names;
    if (!Adapters(devices, names)) return {};
    for (const PcapDevice& device : devices)
        if (device.name == name) return device.name;
    for (size_t i = 0; i < devices.size(); ++i)
        if (names[i] == name) return devices[i].name;
    std::fprintf(stderr, "kestrel-capture: no adapter is called %s\n", name.c_str());
    return {};
}

// Gives up every capability: once the adapter is open, nothing this program
// does needs privilege, and a fault in it can then do no more than its user.
bool DropCapabilities() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capset, &header, data) != 0) return false;
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

// Opens the adapter as the capture engine opens adapters (the same
// snapshot length, promiscuous mode, block timeout and kernel buffer), with
// the filter.
pcap_t* OpenAdapter(const std::string& systemName, const char* filter) {
    LiveOptions options;
    if (filter)
        options.filter = filter;
    std::string message;
    bool permissionDenied = false;
    pcap_t* handle = OpenLiveHandle(systemName, options, message, permissionDenied);
    if (!handle) {
        std::fprintf(stderr, "kestrel-capture: %s: %s\n", systemName.c_str(), message.c_str());
        if (permissionDenied)
            std::fputs(
                "kestrel-capture: it needs the file capabilities cap_net_raw,cap_net_admin, "
                "which its installation as root gives it (setcap cap_net_raw,cap_net_admin+ep "
                "on the installed kestrel-capture)\n",
                stderr);
        return nullptr;
    }
    if (!message.empty())
        std::fprintf(stderr, "kestrel-capture: %s: %s\n", systemName.c_str(), message.c_str());
    return handle;
}

// Stops the capture when standard input ends (the reader closed its end, or
// the ssh connection that started us went away). Detached: the process exits
// while it may still wait in read().
void WatchStandardInput() {
    std::thread([] {
        char buffer[256];
        for (;;) {
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EINTR)) break;
        }
        RequestStop();
    }).detach();
}

int Capture(const std::string& name, const char* filter) {
    const std::string systemName = SystemNameOf(name);
    if (systemName.empty()) return kExitFailure;
    pcap_t* handle = OpenAdapter(systemName, filter);
    if (!handle) return kExitFailure;
    if (!DropCapabilities()) {
        std::fprintf(stderr, "kestrel-capture: cannot give up capabilities: %s\n",
                     std::strerror(errno));
        pcap_close(handle);
        return kExitFailure;
    }
    pcap_dumper_t* dumper = pcap_dump_fopen(handle, stdout);
    if (!dumper || pcap_dump_flush(dumper) != 0) {
        std::fprintf(stderr, "kestrel-capture: %s\n",
                     dumper ? std::strerror(errno) : pcap_geterr(handle));
        pcap_close(handle);
        return kExitFailure;
    }
    g_handle = handle;
    if (g_stopRequested) pcap_breakloop(handle);
    WatchStandardInput();

    // Every frame the kernel holds at the moment is written, then the stream
    // is flushed once: a frame that arrives alone is passed on at once, and
    // a burst costs one write instead of one per frame.
    int status = kExitOk;
    uint64_t written = 0;
    bool readerGone = false;
    for (;;) {
        const int r = pcap_dispatch(handle, -1, &pcap_dump, reinterpret_cast<u_char*>(dumper));
        if (r > 0) {
            if (pcap_dump_flush(dumper) != 0) {
                readerGone = true;  // a stop
                break;
            }
            written += static_cast<uint64_t>(r);
        } else if (r == PCAP_ERROR) {
            std::fprintf(stderr, "kestrel-capture: %s\n", pcap_geterr(handle));
            status = kExitFailure;
            break;
        }
        if (r < 0 || g_stopRequested)
            break;
    }
    // A stop keeps what arrived before it: the frames the kernel still holds.
    if (status == kExitOk && !readerGone) {
        const int held = DispatchHeldFrames(handle, LiveOptions().blockTimeoutMs, &pcap_dump,
                                            reinterpret_cast<u_char*>(dumper));
        if (held > 0 && pcap_dump_flush(dumper) == 0)
            written += static_cast<uint64_t>(held);
    }
    pcap_stat stats{};
    if (pcap_stats(handle, &stats) == 0) {
        std::fprintf(stderr, "kestrel-capture: %llu packets captured, %u dropped by the kernel\n",
                     static_cast<unsigned long long>(written), stats.ps_drop);
    }
    g_handle = nullptr;
    pcap_dump_close(dumper);  // closes standard output too
    pcap_close(handle);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (getuid() != geteuid() || getgid() != getegid()) {
        std::fputs("kestrel-capture: refusing to run set-uid or set-gid; it needs only the "
                   "capabilities cap_net_raw,cap_net_admin\n",
                   stderr);
        return kExitFailure;
    }
    std::string name;
    const char* filter = nullptr;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            PrintUsage(stdout);
            return kExitOk;
        } else if (arg == "--version") {
            std::printf("kestrel-capture %s\n", KESTREL_VERSION);
            return kExitOk;
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "-i" && i + 1 < argc) {
            name = argv[++i];
        } else if (arg == "-f" && i + 1 < argc) {
            filter = argv[++i];
        } else {
            std::fprintf(stderr, "kestrel-capture: unknown option %s\n", arg.c_str());
            PrintUsage(stderr);
            return kExitUsage;
        }
    }
    if (list == !name.empty()) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    return list ? List() : Capture(name, filter);
}
