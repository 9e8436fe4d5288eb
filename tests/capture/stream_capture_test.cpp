// Captures that read a pcap stream: the capture helper's (when the adapter
// may not be opened here), ssh's (adapters of other machines) and a FIFO's.
// The helper and ssh are replaced by stand-in scripts, chosen through
// KESTREL_CAPTURE_HELPER and KESTREL_SSH, that write prepared streams and
// behave as the real programs do when they stop, fail or lose their
// connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "capture/capture_engine.h"
#include "capture/remote.h"
#include "capture/scripted_pcap.h"
#include "core/packet_store.h"
#include "loopback_udp.h"
#include "test_util.h"

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;
using test::StoreSink;

// The stand-in of kestrel-capture (and of the far side's tools): records
// its arguments, then acts as $STANDIN_MODE says.
constexpr const char* kStandIn = R"(#!/bin/sh
printf '%s\n' "$@" > "$STANDIN_DIR/args"
if [ "$1" = --list ]; then cat "$STANDIN_DIR/listing"; exit 0; fi
case "$STANDIN_MODE" in
fail) echo "kestrel-capture: no adapter is called eth0" >&2; exit 1 ;;
end) cat "$STANDIN_DIR/stream.pcap"; exit 0 ;;
lost) cat "$STANDIN_DIR/stream.pcap"; echo "Connection to box closed by remote host." >&2; exit 255 ;;
deaf) cat "$STANDIN_DIR/stream.pcap"; trap '' TERM; exec sleep 30 ;;
*) stats() { echo "kestrel-capture: 3 packets captured, 7 dropped by the kernel" >&2; exit 0; }
   trap stats TERM; cat "$STANDIN_DIR/stream.pcap"; cat >/dev/null; stats ;;
esac
)";

// The stand-in of ssh: records its arguments and runs the remote command
// here, as sshd would, with the stand-in tools (or those of $STANDIN_PATH)
// first in PATH and SSH_CLIENT as $STANDIN_SSH_CLIENT says. A host named
// "silent" never answers; in the mode "hostile" ssh fails with control
// sequences and direction overrides in its words.
constexpr const char* kSshStandIn = R"(#!/bin/sh
printf '%s\n' "$@" > "$STANDIN_DIR/ssh-args"
for last; do :; done
for word; do [ "$word" = silent ] && exec sleep 30; done
if [ "$STANDIN_MODE" = hostile ]; then
  printf 'ssh: \302\2332J \302\2350;x\007 \342\200\256gnp.exe \342\201\247 \033[31m\n' >&2; exit 255
fi
export PATH="${STANDIN_PATH:-$STANDIN_DIR/bin}:$PATH"
SSH_CLIENT="${STANDIN_SSH_CLIENT:-127.0.0.1 40000 22}" exec sh -c "$last"
)";

constexpr const char* kSudoStandIn = R"(#!/bin/sh
echo "sudo: a password is required" >&2
exit 1
)";

void WriteScript(const std::filesystem::path& path, const char* text) {
    std::ofstream(path) << text;
    chmod(path.c_str(), 0755);
}

std::string ReadText(const std::filesystem::path& path) {
    const auto bytes = test::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Stand-ins in a temporary folder, named by the environment for the test's
// lifetime.
class StandIns {
public:
    StandIns() {
        std::filesystem::create_directory(m_dir.File("bin"));
        WriteScript(Helper(), kStandIn);
        WriteScript(m_dir.File("bin") / "kestrel-capture", kStandIn);
        WriteScript(m_dir.File("bin") / "sudo", kSudoStandIn);
        WriteScript(m_dir.File("ssh"), kSshStandIn);
        setenv("STANDIN_DIR", m_dir.Path().c_str(), 1);
        setenv("KESTREL_CAPTURE_HELPER", Helper().c_str(), 1);
        setenv("KESTREL_SSH", m_dir.File("ssh").c_str(), 1);
        Mode("");
        Stream(test::PcapStream(3));
    }
    ~StandIns() {
        for (const char* name : {"STANDIN_DIR", "STANDIN_MODE", "STANDIN_PATH",
                                 "STANDIN_SSH_CLIENT", "KESTREL_CAPTURE_HELPER", "KESTREL_SSH"})
            unsetenv(name);
    }
    std::filesystem::path Helper() const { return m_dir.File("helper"); }
    std::filesystem::path File(const std::string& name) const { return m_dir.File(name); }
    void Mode(const char* mode) const { setenv("STANDIN_MODE", mode, 1); }
    void Stream(const std::vector<uint8_t>& bytes) const {
        test::WriteFileBytes(m_dir.File("stream.pcap"), bytes);
    }
    void Listing(const std::string& text) const { std::ofstream(m_dir.File("listing")) << text; }
    std::string Args() const { return ReadText(m_dir.File("args")); }
    std::string SshArgs() const { return ReadText(m_dir.File("ssh-args")); }

private:
    test::TempDir m_dir;
};

// Records what a capture reports, from the worker.
struct Reports {
    std::mutex lock;
    std::vector<std::string> errors;
    std::vector<uint64_t> ends;
    CaptureErrorHandler OnError() {
        return [this](int, const char* text) {
            std::lock_guard<std::mutex> hold(lock);
            errors.emplace_back(text);
        };
    }
    CaptureEndHandler OnEnd() {
        return [this](uint64_t drops) {
            std::lock_guard<std::mutex> hold(lock);
            ends.push_back(drops);
        };
    }
};

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// No child of this process is left unreaped.
bool NoChildLeft() {
    int status = 0;
    return waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

std::shared_ptr<ScriptedPcap> DeniedAdapter() {
    auto pcap = std::make_shared<ScriptedPcap>();
    pcap->AddAdapter("eth0", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    pcap->FailOpen("eth0", "eth0: You don't have permission to perform this capture", true);
    return pcap;
}

TEST(HelperCapture, ReadsTheHelpersStreamWhenTheAdapterIsDenied) {
    StandIns standIns;
    const size_t descriptors = OpenDescriptors();
    CCaptureEngine engine(DeniedAdapter());
    engine.SetPacketSink(&StoreSink);
    PacketStore store;
    Reports reports;
    std::string reason;
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", reports.OnError(), &store, &reason, reports.OnEnd(),
                                    "udp port 53"))
        << reason;
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureCapturing);
    ASSERT_TRUE(WaitFor([&] { return store.Count() == 3; }));
    EXPECT_EQ(standIns.Args(), "-i\neth0\n-f\nudp port 53\n");
    EXPECT_EQ(store.At(2)->header->tv_sec, 1700000002u);

    // A stop ends the helper (its standard input closes) at once; its final
    // words carry the kernel's drop count.
    const auto stopAt = Clock::now();
    engine.StopCapture("10.0.0.1");
    engine.WaitForCapture("10.0.0.1");
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(1500));
    EXPECT_EQ(engine.GetKernelDropCount("10.0.0.1"), 7u);
    EXPECT_TRUE(reports.errors.empty());
    EXPECT_EQ(reports.ends, std::vector<uint64_t>{7});
    EXPECT_TRUE(NoChildLeft());
    EXPECT_EQ(OpenDescriptors(), descriptors);

    // It can be started again.
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store));
    ASSERT_TRUE(WaitFor([&] { return store.Count() == 6; }));
    engine.WaitForCapture("10.0.0.1");
    EXPECT_TRUE(NoChildLeft());
}

TEST(HelperCapture, FailuresEndsAndLostStreams) {
    StandIns standIns;
    CCaptureEngine engine(DeniedAdapter());
    engine.SetPacketSink(&StoreSink);
    PacketStore store;
    std::string reason;
    testing::internal::CaptureStderr();

    // The helper's own words are the start failure, after the library's.
    standIns.Mode("fail");
    EXPECT_FALSE(engine.StartCapture("10.0.0.1", nullptr, &store, &reason));
    EXPECT_NE(reason.find("You don't have permission"), std::string::npos) << reason;
    EXPECT_NE(reason.find("no adapter is called eth0"), std::string::npos) << reason;

    // A stream of another link type is refused like such an adapter.
    standIns.Mode("");
    standIns.Stream(test::PcapStream(1, 101));
    EXPECT_FALSE(engine.StartCapture("10.0.0.1", nullptr, &store, &reason));
    EXPECT_NE(reason.find("Ethernet"), std::string::npos) << reason;

    // A helper this user may not run: how to join the group that may.
    chmod(standIns.Helper().c_str(), 0644);
    EXPECT_FALSE(engine.StartCapture("10.0.0.1", nullptr, &store, &reason));
    EXPECT_NE(reason.find("sudo usermod -aG kestrel $USER"), std::string::npos) << reason;
    chmod(standIns.Helper().c_str(), 0755);
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);

    // The stream's end ends the capture, without an error.
    standIns.Stream(test::PcapStream(2));
    standIns.Mode("end");
    Reports ended;
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", ended.OnError(), &store, &reason, ended.OnEnd()));
    ASSERT_TRUE(WaitFor([&] { return engine.GetCaptureState("10.0.0.1") == kCaptureIdle; }));
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(store.Count(), 2);
    EXPECT_TRUE(ended.errors.empty());

    // A helper that dies mid-stream is a read error in its own words.
    standIns.Mode("lost");
    Reports lost;
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", lost.OnError(), &store, &reason));
    ASSERT_TRUE(WaitFor([&] { return engine.GetCaptureState("10.0.0.1") == kCaptureIdle; }));
    engine.WaitForCapture("10.0.0.1");
    ASSERT_EQ(lost.errors.size(), 1u);
    EXPECT_EQ(lost.errors[0], "Connection to box closed by remote host.");
    EXPECT_EQ(store.Count(), 4);

    // A helper deaf to the stop is killed: the stop still ends in time.
    standIns.Mode("deaf");
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store, &reason));
    ASSERT_TRUE(WaitFor([&] { return store.Count() == 6; }));
    const auto stopAt = Clock::now();
    engine.WaitForCapture("10.0.0.1");
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(5000));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(NoChildLeft());
}

TEST(StreamAdapter, FillsFromAFifoAndStopsWhileWaitingForAWriter) {
    test::TempDir dir;
    const auto fifo = dir.File("live");
    CCaptureEngine engine(std::make_shared<ScriptedPcap>());
    engine.SetPacketSink(&StoreSink);
    ASSERT_TRUE(engine.AddStreamAdapter("live", fifo.string()));
    EXPECT_FALSE(engine.AddStreamAdapter("live", "-"));
    EXPECT_EQ(engine.GetNameList(), std::vector<std::string>{"live"});
    PacketStore store;
    std::thread writer = test::FeedFifo(fifo, test::PcapStream(4));
    ASSERT_TRUE(engine.StartCapture("live", nullptr, &store));
    writer.join();
    // The writer's end is the stream's end.
    ASSERT_TRUE(WaitFor([&] { return engine.GetCaptureState("live") == kCaptureIdle; }));
    engine.WaitForCapture("live");
    EXPECT_EQ(store.Count(), 4);

    // No writer yet: the worker waits, and a stop ends the wait at once.
    ASSERT_TRUE(engine.StartCapture("live", nullptr, &store));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto stopAt = Clock::now();
    engine.WaitForCapture("live");
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(500));

    // Another link type is a read error that says so.
    std::filesystem::remove(fifo);
    writer = test::FeedFifo(fifo, test::PcapStream(1, 101));
    Reports reports;
    ASSERT_TRUE(engine.StartCapture("live", reports.OnError(), &store));
    writer.join();
    ASSERT_TRUE(WaitFor([&] { return engine.GetCaptureState("live") == kCaptureIdle; }));
    engine.WaitForCapture("live");
    ASSERT_EQ(reports.errors.size(), 1u);
    EXPECT_NE(reports.errors[0].find("Ethernet"), std::string::npos) << reports.errors[0];
    EXPECT_EQ(store.Count(), 4);
}

TEST(StreamAdapter, StandardInputAndFilesAreReadOnce) {
    test::TempDir dir;
    const std::vector<uint8_t> stream = test::PcapStream(3);
    const auto file = dir.File("stream.pcap");
    test::WriteFileBytes(file, stream);
    // Standard input: a pipe holding the stream, for the time of the test.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(write(pipeEnds[1], stream.data(), stream.size()),
              static_cast<ssize_t>(stream.size()));
    close(pipeEnds[1]);
    const int savedInput = dup(STDIN_FILENO);
    dup2(pipeEnds[0], STDIN_FILENO);
    close(pipeEnds[0]);

    CCaptureEngine engine(std::make_shared<ScriptedPcap>());
    engine.SetPacketSink(&StoreSink);
    ASSERT_TRUE(engine.AddStreamAdapter("file", file.string()));
    ASSERT_TRUE(engine.AddStreamAdapter("stdin", "-"));
    for (const std::string name : {"file", "stdin"}) {
        PacketStore store;
        ASSERT_TRUE(engine.StartCapture(name, nullptr, &store));
        ASSERT_TRUE(WaitFor([&] { return engine.GetCaptureState(name) != kCaptureCapturing; }));
        engine.WaitForCapture(name);
        EXPECT_EQ(store.Count(), 3) << name;
        // Read to its end: no second start, which would find nothing (or
        // the same packets again); the adapter is gone.
        EXPECT_EQ(engine.GetCaptureState(name), kCaptureUnknown) << name;
        std::string reason;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(engine.StartCapture(name, nullptr, &store, &reason)) << name;
        testing::internal::GetCapturedStderr();
        EXPECT_NE(reason.find(name), std::string::npos) << reason;
    }
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
}

TEST(RemoteHosts, HostsAreParsedAndAnythingLikeAnOptionOrShellTextRefused) {
    RemoteHost host;
    std::string error;
    ASSERT_TRUE(ParseRemoteHost("admin@router.lan:2222", true, host, error)) << error;
    EXPECT_EQ(host.user, "admin");
    EXPECT_EQ(host.host, "router.lan");
    EXPECT_EQ(host.port, 2222);
    EXPECT_TRUE(host.sudo);
    ASSERT_TRUE(ParseRemoteHost("[fe80::1%eth0]:22", false, host, error)) << error;
    EXPECT_EQ(host.host, "fe80::1%eth0");
    EXPECT_EQ(host.port, 22);
    ASSERT_TRUE(ParseRemoteHost("::1", false, host, error)) << error;
    EXPECT_EQ(host.host, "::1");
    EXPECT_EQ(host.port, 0);
    for (const char* bad : {"-oProxyCommand=touch x", "box -o x", "box;reboot", "$(id)", "-l",
                            "root@-box", "-root@box", "box:0", "box:65536", "box:22x", "user@",
                            "[::1", "[::1]x", "a'b", "box\n", ""}) {
        EXPECT_FALSE(ParseRemoteHost(bad, false, host, error)) << bad;
    }

    // Passed to ssh as separate arguments, after "--".
    ASSERT_TRUE(ParseRemoteHost("me@box:2200", false, host, error));
    setenv("KESTREL_SSH", "ssh -F /tmp/x/config", 1);
    const std::vector<std::string> argv = SshArguments(host, "CMD", false);
    unsetenv("KESTREL_SSH");
    ASSERT_GE(argv.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(argv.begin(), argv.begin() + 3),
              (std::vector<std::string>{"ssh", "-F", "/tmp/x/config"}));
    EXPECT_EQ(std::vector<std::string>(argv.end() - 7, argv.end()),
              (std::vector<std::string>{"-p", "2200", "-l", "me", "--", "box", "CMD"}));
    EXPECT_NE(std::find(argv.begin(), argv.end(), "BatchMode=yes"), argv.end());
}

TEST(RemoteHosts, ListingsAreReadWithinLimits) {
    std::vector<RemoteAdapter> adapters;
    std::string error;
    std::vector<std::string> warnings;
    EXPECT_FALSE(ParseListing("<html>\n", adapters, error, warnings));
    EXPECT_FALSE(ParseListing("", adapters, error, warnings));

    // kestrel-capture's listing: bad lines are left out and said.
    std::string listing = "kestrel-capture\n10.0.0.1\teth0\n";
    listing += "\x1b[2Jx\teth1\n";                  // a control sequence
    listing += "bad\xff\teth2\n";                   // not UTF-8
    listing += std::string(300, 'n') + "\teth3\n";  // too long
    listing += "dash\t-oProxyCommand=x\n";          // an option as a name
    listing += "quote\teth'4\n";                    // shell text as a name
    listing += "bidi \u202egnp.exe\teth5\n";        // a direction override
    listing += "csi \u009b2J\teth6\n";              // a C1 control
    listing += "at@other.host\teth7\n";             // reads as another host's adapter
    listing += "no tab\n";
    listing += "ﾃｽﾄ 名前\twlan0\n";
    ASSERT_TRUE(ParseListing(listing, adapters, error, warnings)) << error;
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].displayName, "10.0.0.1");
    EXPECT_EQ(adapters[0].systemName, "eth0");
    EXPECT_EQ(adapters[1].displayName, "ﾃｽﾄ 名前");
    EXPECT_EQ(adapters[1].tool, RemoteTool::KestrelCapture);
    EXPECT_EQ(warnings.size(), 1u);

    // At most 100 adapters.
    listing = "kestrel-capture\n";
    for (int i = 0; i < 150; ++i)
        listing.append("n")
            .append(std::to_string(i))
            .append("\teth")
            .append(std::to_string(i))
            .append("\n");
    warnings.clear();
    ASSERT_TRUE(ParseListing(listing, adapters, error, warnings));
    EXPECT_EQ(adapters.size(), kRemoteAdapterLimit);
    EXPECT_EQ(warnings.size(), 1u);

    // tcpdump's listing, named as Kestrel names adapters.
    listing =
        "tcpdump\n"
        "1.eth0 [Up, Running, Connected]\n"
        "2.any (Pseudo-device that captures on all interfaces) [Up, Running]\n"
        "3.lo [Up, Running, Loopback]\n"
        "4.nflog (Linux netfilter log (NFLOG) interface) [none]\n"
        "5.br0\n"
        "--\n"
        "1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever\n"
        "2: eth0    inet 192.0.2.2/24 brd 192.0.2.255 scope global eth0\n"
        "2: eth0    inet 192.0.2.3/24 scope global secondary eth0\n"
        "9: ghost    inet 10.9.9.9/8 scope global ghost\n";
    warnings.clear();
    ASSERT_TRUE(ParseListing(listing, adapters, error, warnings)) << error;
    std::vector<std::string> names;
    for (const RemoteAdapter& adapter : adapters) {
        names.push_back(adapter.displayName + "|" + adapter.systemName);
        EXPECT_EQ(adapter.tool, RemoteTool::Tcpdump);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{
                  "192.0.2.2192.0.2.3|eth0", "Pseudo-device that captures on all interfaces|any",
                  "127.0.0.1|lo", "Linux netfilter log (NFLOG) interface|nflog", "br0|br0"}));
    EXPECT_TRUE(warnings.empty());

    // Where the far side tells the kinds of its devices, only Ethernet and
    // loopback devices are offered.
    listing +=
        "--\n"
        "1: lo: <LOOPBACK,UP,LOWER_UP> mtu 65536 qdisc noqueue\\    link/loopback 00:00:00:00\n"
        "2: eth0@if9: <BROADCAST,UP> mtu 1500 qdisc noqueue\\    link/ether 52:54:00:12:34:56\n"
        "5: br0: <NO-CARRIER,BROADCAST> mtu 1500 qdisc noop\\    link/none\n";
    ASSERT_TRUE(ParseListing(listing, adapters, error, warnings)) << error;
    names.clear();
    for (const RemoteAdapter& adapter : adapters) names.push_back(adapter.systemName);
    EXPECT_EQ(names, (std::vector<std::string>{"eth0", "lo"}));
}

TEST(RemoteHosts, HostsAreListedAtOnceAndASilentOneIsReportedOnce) {
    StandIns standIns;
    standIns.Listing("10.0.0.1\teth0\n127.0.0.1\tlo\n");
    RemoteHost box, silent;
    std::string error;
    ASSERT_TRUE(ParseRemoteHost("box", false, box, error));
    ASSERT_TRUE(ParseRemoteHost("silent", false, silent, error));
    testing::internal::CaptureStderr();
    const auto started = Clock::now();
    const std::vector<RemoteListing> listings = ListRemoteHosts({silent, box}, 1500);
    const auto took = Clock::now() - started;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(took, std::chrono::milliseconds(4000));
    ASSERT_EQ(listings.size(), 2u);
    EXPECT_FALSE(listings[0].answered);
    EXPECT_TRUE(listings[0].adapters.empty());
    ASSERT_TRUE(listings[1].answered);
    ASSERT_EQ(listings[1].adapters.size(), 2u);
    EXPECT_EQ(err.find("silent"), err.rfind("silent")) << err;
    EXPECT_NE(err.find("silent"), std::string::npos) << err;
    EXPECT_EQ(err.find("box"), std::string::npos) << err;
    EXPECT_TRUE(NoChildLeft());

    // Offered after the local adapters, as "<name>@<host>".
    auto pcap = std::make_shared<ScriptedPcap>();
    pcap->AddAdapter("eth0", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    CCaptureEngine engine(pcap);
    engine.AddRemoteAdapters(listings[0]);
    EXPECT_EQ(engine.AddRemoteAdapters(listings[1]).size(), 2u);
    EXPECT_TRUE(engine.AddRemoteAdapters(listings[1]).empty());
    EXPECT_EQ(engine.GetNameList(),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.1@box", "127.0.0.1@box"}));
}

TEST(RemoteHosts, CapturesOverSshWithoutTheSshConnection) {
    StandIns standIns;
    standIns.Listing("10.0.0.1\teth0\n");
    RemoteHost host, sudoHost;
    std::string error;
    ASSERT_TRUE(ParseRemoteHost("me@box", false, host, error));
    ASSERT_TRUE(ParseRemoteHost("box:2200", true, sudoHost, error));
    const std::vector<RemoteListing> listings = ListRemoteHosts({host, sudoHost});
    ASSERT_TRUE(listings[0].answered && listings[1].answered);
    CCaptureEngine engine(std::make_shared<ScriptedPcap>());
    engine.AddRemoteAdapters(listings[0]);
    engine.AddRemoteAdapters(listings[1]);
    engine.SetPacketSink(&StoreSink);
    PacketStore store;
    Reports reports;
    std::string reason;

    // The far side captures with the user's filter and without the
    // connection in SSH_CLIENT; shell text in a filter stays text.
    const std::string filter = "udp and not port $(touch " + standIns.File("pwned").string() + ")";
    ASSERT_TRUE(engine.StartCapture("10.0.0.1@me@box", reports.OnError(), &store, &reason,
                                    reports.OnEnd(), filter))
        << reason;
    ASSERT_TRUE(WaitFor([&] { return store.Count() == 3; }));
    EXPECT_EQ(standIns.Args(),
              "-i\neth0\n-f\n(" + filter +
                  ") and not (tcp and ((src host 127.0.0.1 and src port 40000) or (dst host "
                  "127.0.0.1 and dst port 40000)))\n");
    EXPECT_FALSE(std::filesystem::exists(standIns.File("pwned")));
    EXPECT_NE(standIns.SshArgs().find("-l\nme\n--\nbox\n"), std::string::npos);
    engine.WaitForCapture("10.0.0.1@me@box");
    EXPECT_EQ(engine.GetKernelDropCount("10.0.0.1@me@box"), 7u);
    EXPECT_TRUE(reports.errors.empty());

    // A filter that could not pass through the far side's shell is refused.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine.StartCapture("10.0.0.1@me@box", nullptr, &store, &reason, nullptr,
                                     "port 1'; reboot"));

    // A refusal of sudo is the start failure it is.
    EXPECT_FALSE(engine.StartCapture("10.0.0.1@box:2200", nullptr, &store, &reason));
    EXPECT_NE(reason.find("sudo: a password is required"), std::string::npos) << reason;

    // A connection lost during the capture is a read error.
    standIns.Mode("lost");
    ASSERT_TRUE(engine.StartCapture("10.0.0.1@me@box", reports.OnError(), &store, &reason));
    ASSERT_TRUE(WaitFor([&] { return engine.GetCaptureState("10.0.0.1@me@box") == kCaptureIdle; }));
    engine.WaitForCapture("10.0.0.1@me@box");
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(reports.errors.size(), 1u);
    EXPECT_EQ(reports.errors[0], "Connection to box closed by remote host.");
    EXPECT_TRUE(NoChildLeft());
}

// Whatever the far side says comes through without control sequences or
// direction overrides: on the terminal and in the reason a message shows.
TEST(RemoteHosts, FarSideWordsCannotDriveTheTerminal) {
    StandIns standIns;
    standIns.Mode("hostile");
    RemoteHost host;
    std::string error;
    ASSERT_TRUE(ParseRemoteHost("box", false, host, error));
    testing::internal::CaptureStderr();
    const std::vector<RemoteListing> listings = ListRemoteHosts({host});
    CCaptureEngine engine(std::make_shared<ScriptedPcap>());
    engine.AddRemoteAdapters({host, true, {{"10.0.0.1", "eth0", RemoteTool::KestrelCapture}}});
    PacketStore store;
    std::string reason;
    EXPECT_FALSE(engine.StartCapture("10.0.0.1@box", nullptr, &store, &reason));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(listings[0].answered);
    for (const std::string& shown : {err, reason}) {
        EXPECT_NE(shown.find("gnp.exe"), std::string::npos) << shown;
        for (const char* control : {"\x1b", "\x07", "\xc2\x9b", "\xc2\x9d", "\xe2\x80\xae",
                                    "\xe2\x81\xa7"})
            EXPECT_EQ(shown.find(control), std::string::npos) << shown;
    }
}

// A TCP connection on loopback kept busy, as the ssh connection that carries
// a remote capture's stream.
class BusyConnection {
public:
    BusyConnection() {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        m_client = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(m_client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            m_server = accept(listener, nullptr, nullptr);
        close(listener);
        sockaddr_in client{};
        size = sizeof client;
        getsockname(m_client, reinterpret_cast<sockaddr*>(&client), &size);
        m_serverPort = ntohs(address.sin_port);
        m_clientPort = ntohs(client.sin_port);
        m_thread = std::thread([this] {
            char buffer[4096];
            while (!m_done) {
                [[maybe_unused]] const ssize_t sent = send(m_client, "ssh", 3, MSG_NOSIGNAL);
                [[maybe_unused]] const ssize_t got =
                    recv(m_server, buffer, sizeof buffer, MSG_DONTWAIT);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~BusyConnection() {
        m_done = true;
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : {m_client, m_server})
            if (fd >= 0)
                close(fd);
    }
    bool Ok() const { return m_server >= 0; }
    int ServerPort() const { return m_serverPort; }
    int ClientPort() const { return m_clientPort; }

private:
    int m_client = -1;
    int m_server = -1;
    int m_serverPort = 0;
    int m_clientPort = 0;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// The far side, kestrel-capture or tcpdump, captures on loopback as sshd
// starts it. Its own connection reaches sshd through a port forward
// (sshd sees port 22, the wire carries another) and stays out of the
// capture; a client with an IPv6 scope captures too.
TEST(RemoteHosts, FarSideLeavesOutItsConnectionThroughAPortForward) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the far side captures on loopback as this user: needs root";
    StandIns standIns;
    std::filesystem::create_directory(standIns.File("real"));
    std::filesystem::create_symlink(KESTREL_CAPTURE_PROGRAM,
                                    standIns.File("real") / "kestrel-capture");
    setenv("STANDIN_PATH", standIns.File("real").c_str(), 1);
    const BusyConnection connection;
    const test::LoopbackUdp udp;
    ASSERT_TRUE(connection.Ok() && udp.Ok());
    RemoteHost host;
    std::string error;
    ASSERT_TRUE(ParseRemoteHost("box", false, host, error));
    CCaptureEngine engine(std::make_shared<ScriptedPcap>());
    engine.AddRemoteAdapters({host,
                              true,
                              {{"helper", "lo", RemoteTool::KestrelCapture},
                               {"tcpdump", "lo", RemoteTool::Tcpdump}}});
    engine.SetPacketSink(&StoreSink);
    const std::string filter = "tcp port " + std::to_string(connection.ServerPort()) +
                               " or udp port " + std::to_string(udp.Port());
    const std::string port = std::to_string(connection.ClientPort());
    const std::string forwarded = "127.0.0.1 " + port + " 22", scoped = "fe80::1%lo " + port + " 22";
    for (const char* name : {"helper@box", "tcpdump@box"}) {
        for (const std::string& client : {forwarded, scoped}) {
            setenv("STANDIN_SSH_CLIENT", client.c_str(), 1);
            PacketStore store;
            std::string reason;
            ASSERT_TRUE(engine.StartCapture(name, nullptr, &store, &reason, nullptr, filter))
                << name << ", " << client << ": " << reason;
            int sent = 0;
            EXPECT_TRUE(WaitFor([&] {
                udp.Send("far side " + std::to_string(sent++));
                return test::UdpPayloadsTo(store, udp.Port()).size() >= 5;
            })) << name << ", " << client;
            engine.WaitForCapture(name);
            if (client == forwarded) {
                EXPECT_EQ(test::UdpPayloadsTo(store, udp.Port()).size(),
                          static_cast<size_t>(store.Count()))
                    << name << ": frames of the connection were captured";
            }
        }
    }
    EXPECT_TRUE(NoChildLeft());
}

// The engine as the desktop program runs it, by a user without any
// privilege: this test program again, run as nobody by the test below.
TEST(UnprivilegedCapture, SideOfTheUnprivilegedUser) {
    const char* side = std::getenv("KESTREL_UNPRIVILEGED_SIDE");
    if (!side)
        GTEST_SKIP() << "run as another user by UnprivilegedCapture.EngineUsesTheHelper";
    ASSERT_NE(geteuid(), 0u);
    CCaptureEngine engine;
    const auto& names = engine.GetNameList();
    ASSERT_NE(std::find(names.begin(), names.end(), "127.0.0.1"), names.end());
    engine.SetPacketSink(&StoreSink);
    PacketStore store;
    Reports reports;
    std::string reason;
    const test::LoopbackUdp udp;
    ASSERT_TRUE(udp.Ok());
    const std::string filter = "udp dst port " + std::to_string(udp.Port());
    const bool started = engine.StartCapture("127.0.0.1", reports.OnError(), &store, &reason,
                                             reports.OnEnd(), filter);
    if (std::string(side) == "outsider") {
        EXPECT_FALSE(started);
        EXPECT_NE(reason.find("sudo usermod -aG kestrel $USER"), std::string::npos) << reason;
        return;
    }
    ASSERT_TRUE(started) << reason;
    int sent = 0;
    ASSERT_TRUE(WaitFor([&] {
        udp.Send("kestrel helper " + std::to_string(sent++));
        return test::UdpPayloadsTo(store, udp.Port()).size() >= 5;
    }));
    // A burst, then a stop at once: the helper and its pipe keep up, and
    // the stop keeps what the kernel and the pipe still held.
    constexpr int kBurst = 5000;
    for (int i = 0; i < kBurst; ++i) udp.Send("kestrel helper burst " + std::to_string(i));
    engine.WaitForCapture("127.0.0.1");
    const std::vector<std::string> payloads = test::UdpPayloadsTo(store, udp.Port());
    EXPECT_EQ(std::count_if(
                  payloads.begin(), payloads.end(),
                  [](const std::string& p) { return p.rfind("kestrel helper burst ", 0) == 0; }),
              kBurst);
    EXPECT_EQ(engine.GetKernelDropCount("127.0.0.1"), 0u);
    // The helper applied the filter: nothing but the datagrams sent.
    EXPECT_EQ(payloads.size(), static_cast<size_t>(store.Count()));
    EXPECT_TRUE(reports.errors.empty());
    EXPECT_EQ(reports.ends.size(), 1u);
    EXPECT_TRUE(NoChildLeft());
}

TEST(UnprivilegedCapture, EngineUsesTheHelperOnlyForTheGroup) {
    const test::InstalledHelperCopy helper;
    if (!helper.Usable())
        GTEST_SKIP() << helper.Why();
    const std::string self =
        helper.Reachable(std::filesystem::read_symlink("/proc/self/exe")).string();
    for (const char* side : {"member", "outsider"}) {
        std::string output;
        const int status = test::RunUnprivileged(
            std::string("KESTREL_UNPRIVILEGED_SIDE=") + side + " exec " + test::ShellQuote(self) +
                " --gtest_filter=UnprivilegedCapture.SideOfTheUnprivilegedUser",
            std::string(side) == "member", helper.Helper(), output);
        EXPECT_EQ(status, 0) << side << "\n" << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    }
}

}  // namespace
}  // namespace kestrel
