// Real capture on the loopback adapter, when this process may capture (root
// or CAP_NET_RAW); skipped otherwise.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "capture/capture_engine.h"
#include "core/byte_reader.h"
#include "core/packet_store.h"
#include "core/text_helpers.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::StoreSink;

// The UDP payloads sent to `port` that the store holds, in store order.
std::vector<std::string> UdpPayloadsTo(const PacketStore& store, uint16_t port) {
    std::vector<std::string> payloads;
    for (int i = 0; i < store.Count(); ++i) {
        const ByteReader frame(*store.At(i));
        const IpSummary ip = SummarizeIpPacket(frame);
        if (ip.protocol != kIpProtocolUdp || ip.destinationPort != port) continue;
        const size_t udp = kEthernetHeaderLength + (*frame.U8(kEthernetHeaderLength) & 0x0F) * 4u;
        const auto length = frame.Be16(udp + 4);
        if (!length || *length < 8) continue;
        const auto data = frame.Available(udp + 8, *length - 8u);
        payloads.emplace_back(data.begin(), data.end());
    }
    return payloads;
}

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

    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const uint16_t port = ntohs(address.sin_port);

    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    std::set<std::string> sent;
    // The capture may take a moment to see traffic: send until the first
    // datagram shows up, then the rest.
    auto send = [&](const std::string& text) {
        sendto(sender, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
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
    close(sender);
    close(receiver);
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
