// kestrel-capture: the one Kestrel program that holds capture privileges.
// It lists the adapters, or opens one adapter and writes its frames to
// standard output as a pcap stream, flushed as the kernel hands frames
// over, until it is told to stop. The desktop program and kestrel-dump run
// it when they cannot open an adapter themselves, and read the stream like
// a capture file; over ssh the same stream brings captures from other
// machines.
//
// It is installed root:kestrel mode 0750 with cap_net_raw,cap_net_admin, so
// it trusts nothing from its caller: it refuses to run set-uid or set-gid,
// writes nowhere but standard output and standard error, opens Ethernet
// adapters only, and gives up every capability as soon as the adapter is
// open, before it even reads the caller's filter.
#include <fcntl.h>
#include <linux/capability.h>
#include <pcap/pcap.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
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

// The longest filter accepted. libpcap's optimiser takes time and memory
// that grow far faster than the text: about 8 KiB of "or host" terms
// compile in seconds, 56 KiB in more than ten minutes and a gigabyte.
constexpr size_t kFilterLimit = 8192;
// How long a capture asked to stop may take to write its last frames and
// its statistics before the process ends without them.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

// How a stop reaches the capture. SIGINT and SIGTERM are blocked in every
// thread and taken by a thread of ours, as is the end of standard input, so
// a stop never waits for the main thread, which may be compiling a long
// filter, writing to a reader that does not read, or waiting in the library.
struct StopControl {
    std::mutex lock;
    std::condition_variable changed;
    enum class Phase { Preparing, Capturing, Finishing, Done } phase = Phase::Preparing;
    pcap_t* handle = nullptr;  // while Capturing
    std::atomic<bool> requested{false};
};

// Never destroyed: the stop threads may use it while the process exits.
StopControl& Control() {
    static StopControl* control = new StopControl;
    return *control;
}

// Ends the capture. During the capture loop, the loop is broken and given
// kStopGrace to end in order; after that the process ends as it stands.
// Before the loop began, a signal ends the process at once (nothing has been
// written, nothing needs finishing), while the end of standard input lets
// the preparation end first, so that a refusal is still said; the loop then
// does not start.
void Stop(bool signaled) {
    StopControl& control = Control();
    std::unique_lock<std::mutex> hold(control.lock);
    if (control.phase == StopControl::Phase::Preparing) {
        if (signaled)
            _exit(kExitOk);
        control.requested = true;
        return;
    }
    if (!control.requested.exchange(true) && control.handle) {
        // Sets a flag and wakes the poll through an eventfd: safe from
        // another thread.
        pcap_breakloop(control.handle);
    }
    if (!control.changed.wait_for(hold, kStopGrace,
                                  [&] { return control.phase == StopControl::Phase::Done; }))
        _exit(kExitOk);
}

void SetPhase(StopControl::Phase phase, pcap_t* handle = nullptr) {
    StopControl& control = Control();
    std::lock_guard<std::mutex> hold(control.lock);
    control.phase = phase;
    control.handle = handle;
    control.changed.notify_all();
}

// Runs `watch` in a thread of its own, detached: the process exits while
// the thread may still wait. False when no thread can be made.
template <typename Watch>
bool StartWatcher(Watch watch) {
    try {
        std::thread(std::move(watch)).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Takes SIGINT and SIGTERM from now on, in a thread of its own. Called
// before any other thread is made, so that every thread inherits the mask.
bool WatchSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return false;
    return StartWatcher([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) == 0)
                Stop(true);
        }
    });
}

// Stops the capture when standard input ends (the reader closed its end, or
// the ssh connection that started us went away).
bool WatchStandardInput() {
    return StartWatcher([] {
        char buffer[256];
        for (;;) {
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EINTR))
                break;
        }
        Stop(false);
    });
}

// Opens /dev/null on each standard descriptor that is closed. Otherwise the
// first descriptors this program opens would take their numbers: the
// capture socket as standard output would send the stream out on the
// adapter as frames.
bool OpenStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
            return false;
    }
    return true;
}

void PrintUsage(std::FILE* out) {
    std::fputs(
        "Usage: kestrel-capture --list\n"
        "       kestrel-capture -i NAME [-f FILTER]\n"
        "\n"
        "Capture helper of Kestrel.\n"
        "  --list       the Ethernet adapters: display name, TAB, system name, one per line\n"
        "  -i NAME      capture from the adapter NAME (system name or display name) and write\n"
        "               a pcap stream to standard output, flushed as frames arrive, until SIGINT,\n"
        "               SIGTERM or the end of standard input\n"
        "  -f FILTER    a libpcap filter expression (tcpdump syntax), at most 8192 bytes\n"
        "  --help       show this help\n"
        "  --version    show the version\n"
        "\n"
        "Exit status: 0 after a stop, 1 on failure, 2 bad usage.\n",
        out);
}

// The adapters as the library lists them; false with the reason on stderr.
bool ListAdapters(std::vector<PcapDevice>& devices) {
    std::string error;
    if (!MakeRealPcapApi()->FindAllDevices(devices, error)) {
        std::fprintf(stderr, "kestrel-capture: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Lists the adapters this program opens: the Ethernet ones.
int List() {
    std::vector<PcapDevice> listed;
    if (!ListAdapters(listed)) return kExitFailure;
    const std::vector<PcapDevice> devices = EthernetDevices(listed);
    const std::vector<std::string> names = NameDevices(devices);
    for (size_t i = 0; i < devices.size(); ++i)
        std::printf("%s\t%s\n", names[i].c_str(), devices[i].name.c_str());
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// The system name of the Ethernet adapter called `name`, by system name
// first, then by display name; empty, with the reason on stderr, when none
// has it or the adapter it names is not Ethernet (libpcap's any, nflog,
// nfqueue...: refused before anything opens them).
std::string SystemNameOf(const std::string& name) {
    std::vector<PcapDevice> listed;
    if (!ListAdapters(listed)) return {};
    for (const PcapDevice& device : listed) {
        if (device.name != name)
            continue;
        if (device.ethernet)
            return device.name;
        std::fprintf(stderr,
                     "kestrel-capture: %s is not an Ethernet adapter; Kestrel captures Ethernet "
                     "frames only\n",
                     name.c_str());
        return {};
    }
    const std::vector<PcapDevice> devices = EthernetDevices(listed);
    const std::vector<std::string> names = NameDevices(devices);
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
// snapshot length, promiscuous mode, block timeout and kernel buffer),
// without a filter: the filter comes once no privilege is held.
pcap_t* OpenAdapter(const std::string& systemName) {
    std::string message;
    bool permissionDenied = false;
    pcap_t* handle = OpenLiveHandle(systemName, LiveOptions{}, message, permissionDenied);
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

// False, with the reason on stderr, when the open adapter does not deliver
// Ethernet frames (a device whose kind changed since it was listed).
bool IsEthernet(pcap_t* handle, const std::string& systemName) {
    const int linkType = pcap_datalink(handle);
    if (linkType == DLT_EN10MB)
        return true;
    const char* linkName = pcap_datalink_val_to_name(linkType);
    std::fprintf(stderr,
                 "kestrel-capture: %s: link type %d (%s) is not Ethernet; Kestrel captures "
                 "Ethernet frames only\n",
                 systemName.c_str(), linkType, linkName ? linkName : "unknown");
    return false;
}

int Capture(const std::string& name, const char* filter) {
    if (!WatchStandardInput()) {
        std::fprintf(stderr, "kestrel-capture: cannot start a thread\n");
        return kExitFailure;
    }
    const std::string systemName = SystemNameOf(name);
    if (systemName.empty()) return kExitFailure;
    pcap_t* handle = OpenAdapter(systemName);
    if (!handle) return kExitFailure;
    if (!IsEthernet(handle, systemName)) {
        pcap_close(handle);
        return kExitFailure;
    }
    if (!DropCapabilities()) {
        std::fprintf(stderr, "kestrel-capture: cannot give up capabilities: %s\n",
                     std::strerror(errno));
        pcap_close(handle);
        return kExitFailure;
    }
    // The filter text is the caller's: libpcap's parser and optimiser (and
    // the host-name lookups it may ask for) run without any privilege.
    // Attaching a filter to an open socket needs none.
    if (filter) {
        std::string error;
        if (!ApplyFilter(handle, filter, error)) {
            std::fprintf(stderr, "kestrel-capture: %s: %s\n", systemName.c_str(), error.c_str());
            pcap_close(handle);
            return kExitFailure;
        }
    }
    pcap_dumper_t* dumper = pcap_dump_fopen(handle, stdout);
    if (!dumper || pcap_dump_flush(dumper) != 0) {
        std::fprintf(stderr, "kestrel-capture: %s\n",
                     dumper ? std::strerror(errno) : pcap_geterr(handle));
        pcap_close(handle);
        return kExitFailure;
    }
    SetPhase(StopControl::Phase::Capturing, handle);
    if (Control().requested)
        pcap_breakloop(handle);  // standard input ended while the capture was prepared

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
        if (r < 0 || Control().requested)
            break;
    }
    SetPhase(StopControl::Phase::Finishing);
    // A stop keeps what arrived before it: the frames the kernel still holds
    // (within two block timeouts, well inside the stop's grace).
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
    pcap_dump_close(dumper);  // closes standard output too
    pcap_close(handle);
    SetPhase(StopControl::Phase::Done);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (!OpenStandardDescriptors())
        return kExitFailure;
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
            if (std::strlen(filter) > kFilterLimit) {
                std::fprintf(stderr,
                             "kestrel-capture: the filter is %zu bytes long; at most %zu bytes "
                             "are accepted\n",
                             std::strlen(filter), kFilterLimit);
                return kExitFailure;
            }
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
    if (!WatchSignals()) {
        std::fprintf(stderr, "kestrel-capture: cannot start a thread\n");
        return kExitFailure;
    }
    return list ? List() : Capture(name, filter);
}
