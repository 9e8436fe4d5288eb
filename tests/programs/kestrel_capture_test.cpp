// The capture helper kestrel-capture as its callers meet it: what it holds
// while it reads the caller's filter, how fast a stop ends it, which
// adapters it opens, and where its stream may go.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;

// The helper run as a child of the test: its standard input and output on
// pipes of ours (or closed, when `closeInputAndOutput`), its standard error
// in a file. A helper still running at the end is killed.
class HelperRun {
public:
    explicit HelperRun(const std::vector<std::string>& arguments,
                       bool closeInputAndOutput = false) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> words{KESTREL_CAPTURE_PROGRAM};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const std::string errorPath = m_dir.File("stderr").string();
        m_pid = fork();
        if (m_pid == 0) {
            const int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, STDERR_FILENO);
            if (closeInputAndOutput) {
                close(STDIN_FILENO);
                close(STDOUT_FILENO);
            } else {
                dup2(in[0], STDIN_FILENO);
                dup2(out[1], STDOUT_FILENO);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~HelperRun() {
        if (m_pid > 0 && !Ended(0)) {
            kill(m_pid, SIGKILL);
            Ended(5000);
        }
        for (int fd : {m_in, m_out})
            if (fd >= 0)
                close(fd);
    }

    pid_t Pid() const { return m_pid; }
    // Waits at most `ms` for the helper to end; true once it has.
    bool Ended(int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (m_status < 0) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else if (Clock::now() >= deadline)
                return false;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    int ExitStatus() const { return m_status; }
    // Bytes of its stream waiting in the pipe, and the pipe's capacity.
    int WaitingBytes() const {
        int n = 0;
        return ioctl(m_out, FIONREAD, &n) == 0 ? n : -1;
    }
    int PipeCapacity() const { return fcntl(m_out, F_GETPIPE_SZ); }
    std::string Errors() const {
        const auto bytes = test::ReadFileBytes(m_dir.File("stderr"));
        return std::string(bytes.begin(), bytes.end());
    }
    // The value of a field of /proc/PID/status ("CapEff", "NoNewPrivs").
    std::string Status(const std::string& field) const {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind(field + ":\t", 0) == 0)
                return line.substr(field.size() + 2);
        }
        return {};
    }

private:
    test::TempDir m_dir;
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_status = -1;
};

// "host 10.0.0.0 or host 10.0.0.1 or ...": `terms` terms, each one costing
// libpcap's optimiser more than the one before.
std::string HostTerms(int terms) {
    std::string filter = "host 10.0.0.0";
    for (int i = 1; i < terms; ++i)
        filter += " or host 10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
    return filter;
}

// The output of a shell command.
std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}

bool CanCaptureOnLoopback() {
    return geteuid() == 0 &&
           Output(std::string(KESTREL_CAPTURE_PROGRAM) + " --list").find("\tlo\n") !=
               std::string::npos;
}

// The filter is the caller's text: by the time libpcap reads it, every
// capability is gone. A stop during a long compile ends the helper at once.
TEST(KestrelCapture, HoldsNoCapabilityWhileCompilingTheFilterAndStopsDuringIt) {
    if (!CanCaptureOnLoopback())
        GTEST_SKIP() << "needs root and the loopback adapter";
    const std::string filter = HostTerms(430);  // some seconds to compile
    ASSERT_LT(filter.size(), 8192u);
    HelperRun helper({"-i", "lo", "-f", filter});
    bool dropped = false;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!dropped && Clock::now() < deadline && helper.WaitingBytes() == 0 && !helper.Ended(0)) {
        dropped = helper.Status("CapEff") == "0000000000000000";
        if (!dropped)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(dropped) << "capabilities still held when the filter was compiled";
    EXPECT_EQ(helper.WaitingBytes(), 0) << "the stream began before the filter was compiled";
    EXPECT_EQ(helper.Status("NoNewPrivs"), "1");
    kill(helper.Pid(), SIGTERM);
    EXPECT_TRUE(helper.Ended(1000)) << "still compiling a second after SIGTERM";
}

// A stop ends the helper within a second even while its reader reads
// nothing and the helper waits to write.
TEST(KestrelCapture, StopsWithinASecondWhileNothingReadsItsStream) {
    if (!CanCaptureOnLoopback())
        GTEST_SKIP() << "needs root and the loopback adapter";
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(9);  // discard
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        const std::string payload(1200, 'k');
        while (!done) {
            sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    HelperRun helper({"-i", "lo", "-f", "udp dst port 9"});
    // The pipe fills up and stays as it is: the helper waits in a write.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    int waiting = -1;
    while (Clock::now() < deadline) {
        const int before = waiting;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        waiting = helper.WaitingBytes();
        if (waiting == before && waiting > helper.PipeCapacity() / 2)
            break;
    }
    ASSERT_GT(waiting, helper.PipeCapacity() / 2);
    kill(helper.Pid(), SIGTERM);
    EXPECT_TRUE(helper.Ended(1000)) << "still writing a second after SIGTERM";
    done = true;
    traffic.join();
    close(sender);
}

// Kestrel reads Ethernet only: the library's pseudo-devices are refused at
// once, before anything opens them, and not listed; the listing is the one
// kestrel-dump offers. A filter above the bound is refused at once too.
TEST(KestrelCapture, RefusesWhatItWouldNotCaptureAtOnce) {
    for (const char* name : {"any", "nflog", "nfqueue"}) {
        HelperRun helper({"-i", name});
        ASSERT_TRUE(helper.Ended(1000)) << name << " still runs";
        EXPECT_EQ(helper.ExitStatus(), 1) << name;
        EXPECT_NE(helper.Errors().find(name), std::string::npos) << helper.Errors();
    }
    HelperRun any({"-i", "any"});
    ASSERT_TRUE(any.Ended(1000));
    EXPECT_NE(any.Errors().find("is not an Ethernet adapter"), std::string::npos) << any.Errors();

    HelperRun huge({"-i", "lo", "-f", HostTerms(3000)});
    ASSERT_TRUE(huge.Ended(1000)) << "compiling a 56 KiB filter";
    EXPECT_EQ(huge.ExitStatus(), 1);
    EXPECT_NE(huge.Errors().find("at most 8192 bytes"), std::string::npos) << huge.Errors();

    const std::string listing = Output(std::string(KESTREL_CAPTURE_PROGRAM) + " --list");
    std::string names;
    for (size_t start = 0; start < listing.size();) {
        const size_t end = listing.find('\n', start);
        const std::string line = listing.substr(start, end - start);
        const std::string system = line.substr(line.find('\t') + 1);
        for (const char* pseudo : {"any", "nflog", "nfqueue", "bluetooth", "dbus", "usbmon"})
            EXPECT_NE(system.rfind(pseudo, 0), 0u) << line;
        names += line.substr(0, line.find('\t')) + "\n";
        start = end + 1;
    }
    EXPECT_EQ(names, Output(std::string(KESTREL_DUMP_PROGRAM) + " --list-adapters"));
}

// With its standard input and output closed, the helper's first
// descriptors would be its sockets: its stream must not go out on the
// adapter as frames. The stream's file header begins d4 c3 b2 a1 02 00,
// which would be the destination address of such a frame.
TEST(KestrelCapture, ClosedStandardDescriptorsNeverCarryTheStreamOut) {
    if (!CanCaptureOnLoopback())
        GTEST_SKIP() << "needs root and the loopback adapter";
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* watch = pcap_create("lo", error);
    ASSERT_NE(watch, nullptr) << error;
    pcap_set_immediate_mode(watch, 1);
    pcap_set_timeout(watch, 10);
    ASSERT_GE(pcap_activate(watch), 0) << pcap_geterr(watch);
    bpf_program program{};
    ASSERT_EQ(pcap_compile(watch, &program, "ether dst d4:c3:b2:a1:02:00", 1, PCAP_NETMASK_UNKNOWN),
              0);
    ASSERT_EQ(pcap_setfilter(watch, &program), 0);
    pcap_freecode(&program);
    ASSERT_EQ(pcap_setnonblock(watch, 1, error), 0);
    {
        HelperRun helper({"-i", "lo", "-f", "udp port 1"}, true);
        // Its standard input is empty: it writes its header and ends.
        if (!helper.Ended(1500))
            kill(helper.Pid(), SIGTERM);
        EXPECT_TRUE(helper.Ended(1000));
        EXPECT_EQ(helper.ExitStatus(), 0) << helper.Errors();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int sent = 0;
    pcap_dispatch(
        watch, -1,
        [](u_char* count, const pcap_pkthdr*, const u_char*) { ++*reinterpret_cast<int*>(count); },
        reinterpret_cast<u_char*>(&sent));
    pcap_close(watch);
    EXPECT_EQ(sent, 0) << "the helper's stream went out on the adapter";
}

}  // namespace
}  // namespace kestrel
