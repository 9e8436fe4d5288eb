// Real capture on the loopback adapter, when this process may capture (root
// or CAP_NET_RAW); skipped otherwise.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "capture/capture_engine.h"
#include "core/packet_store.h"
#include "loopback_udp.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::LoopbackUdp;
using test::StoreSink;
using test::UdpPayloadsTo;

TEST(LoopbackCapture, FindsExactlyTheDatagramsSent) {
    CCaptureEngine engine;
    const auto& names = engine.GetNameList();
    if (std::find(names.begin(), names.end(), "127.0.0.1") == names.end()) {
        GTEST_SKIP() << "no adapter named 127.0.0.1";
    }
    PacketStore store;
    engine.SetPacketSink(&StoreSink);
    std::string reason;
    testing::internal::CaptureStderr();
    const bool started = engine.StartCapture("127.0.0.1", nullptr, &store, &reason);
    testing::internal::GetCapturedStderr();
    if (!started) GTEST_SKIP() << "cannot capture here: " << reason;

    const LoopbackUdp udp;
    ASSERT_TRUE(udp.Ok());
    const uint16_t port = udp.Port();
    std::set<std::string> sent;
    // The capture may take a moment to see traffic: send until the first
    // datagram shows up, then the rest.
    auto send = [&](const std::string& text) {
        udp.Send(text);
        sent.insert(text);
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; UdpPayloadsTo(store, port).empty(); ++i) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no datagram was captured";
        send("kestrel warm-up " + std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::set<std::string> payloads;
    for (int i = 0; i < 25; ++i) {
        const std::string text = "kestrel loopback " + std::to_string(getpid()) + " #" + std::to_string(i);
        payloads.insert(text);
        send(text);
    }
    while (true) {
        std::set<std::string> seen;
        for (const auto& p : UdpPayloadsTo(store, port)) seen.insert(p);
        bool all = true;
        for (const auto& p : payloads) all = all && seen.count(p);
        if (all) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "datagrams missing";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // A stop is noticed promptly on a quiet adapter (the worker is woken).
    const auto stopAt = std::chrono::steady_clock::now();
    engine.StopCapture("127.0.0.1");
    engine.WaitForCapture("127.0.0.1");
    const auto stopTook = std::chrono::steady_clock::now() - stopAt;
    EXPECT_LT(stopTook, std::chrono::milliseconds(3000));  // about one read timeout, with room for slow builds

    // Every datagram on the wire once, nothing that was not sent.
    std::multiset<std::string> captured;
    for (const auto& p : UdpPayloadsTo(store, port)) captured.insert(p);
    for (const auto& p : payloads) EXPECT_EQ(captured.count(p), 1u) << p;
    for (const auto& p : captured) EXPECT_TRUE(sent.count(p)) << p;
}

// The engine capturing the datagrams to a receiver of its own on 127.0.0.1
// (a filter leaves out other traffic).
class LoopbackDatagrams : public testing::Test {
protected:
    // Starts the capture into `sink` with `context`; false with the reason
    // where this process may not capture.
    bool Start(PacketSink sink, void* context) {
        const auto& names = engine.GetNameList();
        if (!udp.Ok() || std::find(names.begin(), names.end(), kName) == names.end()) {
            reason = "no adapter named 127.0.0.1, or no UDP socket";
            return false;
        }
        engine.SetPacketSink(sink);
        testing::internal::CaptureStderr();
        const bool started = engine.StartCapture(kName, nullptr, context, &reason, nullptr,
                                                 "udp dst port " + std::to_string(udp.Port()));
        testing::internal::GetCapturedStderr();
        return started;
    }

    static constexpr const char* kName = "127.0.0.1";
    CCaptureEngine engine;
    const LoopbackUdp udp;
    std::string reason;
};

// A burst as fast as this thread sends, then a stop at once: the store
// holds every datagram of it (a loopback frame takes no more room in the
// kernel's buffer than its size, and the stop reads what the kernel still
// held), and the kernel dropped nothing.
TEST_F(LoopbackDatagrams, StopRightAfterABurstKeepsAllOfIt) {
    PacketStore store;
    if (!Start(&StoreSink, &store))
        GTEST_SKIP() << "cannot capture here: " << reason;
    constexpr int kBurst = 20000;
    for (int i = 0; i < kBurst; ++i) udp.Send("kestrel burst " + std::to_string(i));
    engine.StopCapture(kName);
    engine.WaitForCapture(kName);
    const std::vector<std::string> kept = UdpPayloadsTo(store, udp.Port());
    ASSERT_EQ(kept.size(), static_cast<size_t>(kBurst));
    EXPECT_EQ(kept.back(), "kestrel burst " + std::to_string(kBurst - 1));
    EXPECT_EQ(engine.GetKernelDropCount(kName), 0u);
}

// A sink that holds the worker until the gate opens, counting packets.
struct Gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    std::atomic<int> packets{0};
};

void GatedSink(void* context, Packet* packet) {
    auto& gate = *static_cast<Gate*>(context);
    {
        std::unique_lock<std::mutex> hold(gate.lock);
        gate.opened.wait(hold, [&] { return gate.open; });
    }
    ReleasePacket(packet);
    gate.packets.fetch_add(1);
}

// While the worker is held up, more large datagrams come than the kernel's
// buffer holds: the drop count is the number of datagrams missing, though
// the kernel sees each loopback frame twice (going out and coming in).
TEST_F(LoopbackDatagrams, DropCountIsTheFramesMissing) {
    Gate gate;
    if (!Start(&GatedSink, &gate))
        GTEST_SKIP() << "cannot capture here: " << reason;
    constexpr int kSent = 12000;
    const std::string datagram(8000, 'k');  // 12000 of them are three times the buffer
    for (int i = 0; i < kSent; ++i) udp.Send(datagram);
    {
        std::lock_guard<std::mutex> hold(gate.lock);
        gate.open = true;
    }
    gate.opened.notify_all();
    int kept = -1;
    while (kept != gate.packets.load()) {
        kept = gate.packets.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    engine.WaitForCapture(kName);
    kept = gate.packets.load();
    const int missing = kSent - kept;
    ASSERT_GT(missing, 0) << "the buffer held every datagram";
    const auto drops = static_cast<int>(engine.GetKernelDropCount(kName));
    EXPECT_NEAR(drops, missing, missing / 10) << kept << " kept";
}

// A datagram sent alone reaches the sink within 250 ms: rows appear live.
TEST_F(LoopbackDatagrams, LoneFrameArrivesWithin250Ms) {
    PacketStore store;
    if (!Start(&StoreSink, &store))
        GTEST_SKIP() << "cannot capture here: " << reason;
    for (int i = 1; i <= 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a quiet adapter
        const auto sent = std::chrono::steady_clock::now();
        udp.Send("kestrel alone " + std::to_string(i));
        while (store.Count() < i &&
               std::chrono::steady_clock::now() - sent < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_LE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(250)) << i;
    }
    engine.WaitForCapture(kName);
    EXPECT_EQ(store.Count(), 3);
}

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

int OpenDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

// Twenty start/stop cycles (after a first one) on a real adapter: every worker ends and every
// capture handle is closed (LeakSanitizer checks the memory in the sanitizer
// run of the suite).
TEST(LoopbackCapture, StartStopCyclesLeaveNothingBehind) {
    CCaptureEngine engine;
    const auto& names = engine.GetNameList();
    if (std::find(names.begin(), names.end(), "127.0.0.1") == names.end()) {
        GTEST_SKIP() << "no adapter named 127.0.0.1";
    }
    PacketStore store;
    engine.SetPacketSink(&StoreSink);
    // Counted after the first cycle: a sanitizer's runtime starts a helper
    // thread of its own once the process has made its first thread.
    int threads = -1;
    int descriptors = -1;
    for (int cycle = 0; cycle < 21; ++cycle) {
        std::string reason;
        testing::internal::CaptureStderr();
        const bool started = engine.StartCapture("127.0.0.1", nullptr, &store, &reason);
        testing::internal::GetCapturedStderr();
        if (!started) GTEST_SKIP() << "cannot capture here: " << reason;
        if (cycle > 0) {
            EXPECT_EQ(ThreadCount(), threads + 1);
        }
        engine.StopCapture("127.0.0.1");
        engine.WaitForCapture("127.0.0.1");
        if (cycle == 0) {
            threads = ThreadCount();
            descriptors = OpenDescriptors();
        }
        EXPECT_EQ(ThreadCount(), threads) << "cycle " << cycle;
        EXPECT_EQ(engine.GetCaptureState("127.0.0.1"), kCaptureIdle);
    }
    // Open descriptors do not grow either: the handles were closed.
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
}  // namespace kestrel
