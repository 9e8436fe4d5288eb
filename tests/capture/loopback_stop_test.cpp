// kestrel-dump capturing on the loopback adapter: a one-second capture
// stopped by SIGINT right after the last datagram of that second was sent
// keeps the frames of the second, and the kernel's drop count is reported;
// a datagram sent alone reaches its standard output at once. Runs when this
// process may capture (root); skipped otherwise. `--gtest_repeat=20` gives
// the spread over twenty runs (one line each).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "core/capture_file.h"
#include "loopback_udp.h"
#include "test_util.h"

namespace kestrel {
namespace {

constexpr int kRate = 500;        // datagrams per second
constexpr int kSent = kRate;      // one second of them
constexpr int kKeptPercent = 99;  // at least this share must be saved

std::string DumpPath() {
    // KESTREL_DUMP points the measurement at another build of the tool.
    if (const char* path = std::getenv("KESTREL_DUMP"))
        return path;
    return std::string(KESTREL_DUMP_PROGRAM);
}

// Inodes of the packet sockets bound to an interface (the capture is open).
std::set<std::string> BoundPacketSockets() {
    std::set<std::string> inodes;
    std::ifstream table("/proc/net/packet");
    std::string line;
    std::getline(table, line);  // titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string sk, refs, type, proto, iface, running, rmem, user, inode;
        if (fields >> sk >> refs >> type >> proto >> iface >> running >> rmem >> user >> inode &&
            iface != "0")
            inodes.insert(inode);
    }
    return inodes;
}

// True once process `pid` holds a packet socket bound to an interface.
bool HasOpenCapture(pid_t pid) {
    const std::set<std::string> bound = BoundPacketSockets();
    std::error_code error;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:[", 0) == 0 && bound.count(target.substr(8, target.size() - 9)))
            return true;
    }
    return false;
}

// kestrel-dump --capture NAME [-f FILTER] -w OUT, its stderr into ERR and,
// when `output` is given, its standard output into that descriptor.
pid_t StartDump(const std::string& name, const std::string& out, const std::string& err,
                const std::string& filter = "", int output = -1) {
    const std::string dump = DumpPath();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0)
            dup2(fd, STDERR_FILENO);
        if (output >= 0)
            dup2(output, STDOUT_FILENO);
        if (filter.empty())
            execl(dump.c_str(), dump.c_str(), "--capture", name.c_str(), "-w", out.c_str(),
                  static_cast<char*>(nullptr));
        else
            execl(dump.c_str(), dump.c_str(), "--capture", name.c_str(), "-f", filter.c_str(), "-w",
                  out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Waits until kestrel-dump `dump` has opened its capture; false when it
// ended first (the reason is in ERR).
bool WaitForOpenCapture(pid_t dump) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!HasOpenCapture(dump)) {
        int status = 0;
        if (waitpid(dump, &status, WNOHANG) == dump || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string FileText(const std::string& path) {
    std::ifstream text(path);
    return std::string((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
}

TEST(LoopbackStop, SigintAfterOneSecondKeepsTheFramesOfThatSecond) {
    if (geteuid() != 0)
        GTEST_SKIP() << "capturing needs root";
    if (!std::filesystem::exists(DumpPath()))
        GTEST_SKIP() << "no kestrel-dump at " << DumpPath();

    const test::LoopbackUdp udp;
    ASSERT_TRUE(udp.Ok());

    test::TempDir temp;
    const std::string out = temp.File("second.pac").string();
    const std::string err = temp.File("err").string();
    // Only this test's datagrams: the file is read into a document, which
    // other traffic on loopback could fill.
    const pid_t dump = StartDump("127.0.0.1", out, err, "udp port " + std::to_string(udp.Port()));
    ASSERT_GT(dump, 0);
    int status = 0;
    if (!WaitForOpenCapture(dump)) {
        kill(dump, SIGKILL);
        waitpid(dump, &status, 0);
        GTEST_SKIP() << "kestrel-dump cannot capture here: " << FileText(err);
    }
    // The worker reads from the moment the socket is set up.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const std::string tag = "kestrel stop " + std::to_string(getpid()) + " #";
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSent; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 / kRate) * i);
        udp.Send(tag + std::to_string(i));
    }
    ASSERT_EQ(kill(dump, SIGINT), 0);
    ASSERT_EQ(waitpid(dump, &status, 0), dump);
    const std::string stderrText = FileText(err);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << stderrText;

    PacketStore store;
    ASSERT_TRUE(LoadCaptureFile(out, store).ok) << stderrText;
    // All of the second, and its last tenth, which a stop that discards the
    // frames not yet handed over loses first.
    int kept = 0;
    int keptLast = 0;
    for (const std::string& payload : test::UdpPayloadsTo(store, udp.Port())) {
        if (payload.rfind(tag, 0) != 0)
            continue;
        ++kept;
        if (std::stoi(payload.substr(tag.size())) >= kSent - kSent / 10)
            ++keptLast;
    }
    // "kestrel-dump: N packets dropped by the kernel"
    long long drops = -1;
    std::istringstream lines(stderrText);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("dropped by the kernel") != std::string::npos)
            std::sscanf(line.c_str(), "kestrel-dump: %lld packets dropped", &drops);
    }
    std::printf("kept %d of %d datagrams, %d of the last %d; kernel drops %lld\n", kept, kSent,
                keptLast, kSent / 10, drops);
    EXPECT_GE(kept * 100, kSent * kKeptPercent) << stderrText;
    EXPECT_GE(keptLast * 100, kSent / 10 * kKeptPercent) << stderrText;
    EXPECT_GE(drops, 0) << "no kernel drop count reported:\n" << stderrText;
}

// A datagram sent alone reaches `kestrel-dump --capture -w -`'s standard
// output within 250 ms: a pipe to another program shows frames live.
TEST(LoopbackStop, LoneFrameReachesStandardOutputWithin250Ms) {
    if (geteuid() != 0)
        GTEST_SKIP() << "capturing needs root";
    const test::LoopbackUdp udp;
    ASSERT_TRUE(udp.Ok());
    test::TempDir temp;
    const std::string err = temp.File("err").string();
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t dump =
        StartDump("127.0.0.1", "-", err, "udp dst port " + std::to_string(udp.Port()), pipeFds[1]);
    close(pipeFds[1]);
    ASSERT_GT(dump, 0);
    int status = 0;
    if (!WaitForOpenCapture(dump)) {
        kill(dump, SIGKILL);
        waitpid(dump, &status, 0);
        close(pipeFds[0]);
        GTEST_SKIP() << "kestrel-dump cannot capture here: " << FileText(err);
    }
    std::string output;
    for (int i = 1; i <= 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a quiet adapter
        const std::string text = "kestrel alone on stdout " + std::to_string(i);
        const auto sent = std::chrono::steady_clock::now();
        udp.Send(text);
        char buffer[4096];
        while (output.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() - sent < std::chrono::seconds(5)) {
            pollfd readable{pipeFds[0], POLLIN, 0};
            if (poll(&readable, 1, 100) == 1) {
                const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
                if (n <= 0)
                    break;
                output.append(buffer, static_cast<size_t>(n));
            }
        }
        EXPECT_LE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(250)) << i;
    }
    kill(dump, SIGINT);
    ASSERT_EQ(waitpid(dump, &status, 0), dump);
    close(pipeFds[0]);
    EXPECT_NE(output.find("kestrel alone on stdout 3"), std::string::npos) << FileText(err);
}

}  // namespace
}  // namespace kestrel
