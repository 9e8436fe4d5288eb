// A one-second capture of kestrel-dump on the loopback adapter, stopped by
// SIGINT right after the last datagram of that second was sent: the saved
// file keeps the frames of the second, and the kernel's drop count is
// reported. Runs when this process may capture (root); skipped otherwise.
// `--gtest_repeat=20` gives the spread over twenty runs (one line each).
#include <gtest/gtest.h>

#include <fcntl.h>
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
constexpr int kKeptPercent = 90;  // at least this share must be saved

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

// kestrel-dump --capture NAME -w OUT, its stderr into ERR.
pid_t StartDump(const std::string& name, const std::string& out, const std::string& err) {
    const std::string dump = DumpPath();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0)
            dup2(fd, STDERR_FILENO);
        execl(dump.c_str(), dump.c_str(), "--capture", name.c_str(), "-w", out.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
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
    const pid_t dump = StartDump("127.0.0.1", out, err);
    ASSERT_GT(dump, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (!HasOpenCapture(dump)) {
        if (waitpid(dump, &status, WNOHANG) == dump) {
            std::ifstream text(err);
            GTEST_SKIP() << "kestrel-dump cannot capture here: " << text.rdbuf();
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the capture did not open";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
    std::ifstream errText(err);
    const std::string stderrText((std::istreambuf_iterator<char>(errText)),
                                 std::istreambuf_iterator<char>());
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

}  // namespace
}  // namespace kestrel
