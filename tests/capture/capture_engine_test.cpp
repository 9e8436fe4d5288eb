#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "capture/capture_engine.h"
#include "capture/device_names.h"
#include "capture/scripted_pcap.h"
#include "core/packet_store.h"
#include "test_util.h"

namespace kestrel {
namespace {

using Entry = PcapAddressEntry;

using test::StoreSink;

std::vector<uint8_t> Frame(uint8_t tag, size_t size = 60) {
    std::vector<uint8_t> f(size, tag);
    f[12] = 0x08;
    f[13] = 0x00;
    return f;
}

std::shared_ptr<ScriptedPcap> OneAdapter(const char* system = "eth0") {
    auto pcap = std::make_shared<ScriptedPcap>();
    pcap->AddAdapter(system, {ScriptedPcap::LinkLayer(), ScriptedPcap::Ipv4(10, 0, 0, 1),
                              ScriptedPcap::Ipv6()});
    return pcap;
}

TEST(DeviceNames, AddressesDescriptionsAndDuplicates) {
    auto pcap = std::make_shared<ScriptedPcap>();
    pcap->AddAdapter("eth0", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    pcap->AddAdapter("eth1", {}, "Intel PRO/1000 ﾈｯﾄﾜｰｸ");
    pcap->AddAdapter("eth2", {ScriptedPcap::Ipv4(10, 0, 0, 1), ScriptedPcap::Ipv4(10, 0, 0, 2)});
    pcap->AddAdapter("eth3", {ScriptedPcap::Ipv6(), ScriptedPcap::Ipv4(192, 168, 0, 5),
                              ScriptedPcap::Ipv6()});
    pcap->AddAdapter("lo", {ScriptedPcap::LinkLayer(), ScriptedPcap::NoAddress()});
    pcap->AddAdapter("eth4", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    pcap->AddAdapter("eth5", {}, "");
    std::vector<Entry> many;
    for (int i = 0; i < 18; ++i) many.push_back(ScriptedPcap::Ipv4(192, 168, 100, 200));
    pcap->AddAdapter("br0", many);
    CCaptureEngine engine(pcap);
    const std::vector<std::string> expected = {
        "10.0.0.1",
        "Intel PRO/1000 ﾈｯﾄﾜｰｸ",
        "10.0.0.110.0.0.2",
        "192.168.0.5",
        "lo",
        "10.0.0.1 (eth4)",
        "eth5",
        std::string(),  // filled below
    };
    std::string seventeen;
    for (int i = 0; i < 17; ++i) seventeen += "192.168.100.200";
    ASSERT_EQ(engine.GetDeviceCount(), 8);
    auto names = engine.GetNameList();
    EXPECT_EQ(names[7], seventeen);
    EXPECT_EQ(names[7].size(), kDisplayNameLimit);
    names[7].clear();
    EXPECT_EQ(names, expected);
}

// Adapters that do not open as Ethernet are never offered, nor counted in
// the naming: a start on them could only fail.
TEST(DeviceNames, OnlyEthernetAdaptersAreOffered) {
    auto pcap = std::make_shared<ScriptedPcap>();
    pcap->AddAdapter("tun0", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    pcap->AddAdapter("eth0", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    pcap->AddAdapter("any", {}, "Pseudo-device that captures on all interfaces");
    pcap->AddAdapter("lo", {ScriptedPcap::Ipv4(127, 0, 0, 1)});
    pcap->AddAdapter("nfqueue", {}, "Linux netfilter queue (NFQUEUE) interface");
    for (const char* other : {"tun0", "any", "nfqueue"}) pcap->ListAsNotEthernet(other);
    CCaptureEngine engine(pcap);
    EXPECT_EQ(engine.GetNameList(), (std::vector<std::string>{"10.0.0.1", "127.0.0.1"}));
    PacketStore store;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store));
    engine.WaitForCapture("10.0.0.1");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(pcap->OpenCount("eth0"), 1);
    EXPECT_EQ(pcap->OpenCount("tun0"), 0);
}

TEST(DeviceNames, IpToTextRingOfTwelve) {
    const char* first = IpToText(0x0100000A);  // 10.0.0.1
    EXPECT_STREQ(first, "10.0.0.1");
    const char* texts[11];
    for (int i = 0; i < 11; ++i) texts[i] = IpToText(0xFFFFFFFFu);
    EXPECT_STREQ(first, "10.0.0.1");  // twelve buffers: still intact
    const char* thirteenth = IpToText(0x0203A8C0);  // 192.168.3.2
    EXPECT_EQ(thirteenth, first);
    EXPECT_STREQ(first, "192.168.3.2");
    EXPECT_STREQ(texts[10], "255.255.255.255");
}

TEST(DeviceNames, ListingFailureLeavesNoAdapters) {
    auto pcap = OneAdapter();
    pcap->FailListing("permission denied");
    testing::internal::CaptureStderr();
    CCaptureEngine engine(pcap);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error in pcap_findalldevs: permission denied\n");
    EXPECT_EQ(engine.GetDeviceCount(), 0);
    EXPECT_TRUE(engine.GetNameList().empty());
    EXPECT_EQ(engine.GetCaptureState(""), kCaptureUnknown);
    EXPECT_EQ(engine.CountCapturing(), 0);
}

TEST(CaptureEngine, StartStopAndStates) {
    auto pcap = OneAdapter();
    CCaptureEngine engine(pcap);
    PacketStore store;
    engine.SetPacketSink(&StoreSink);
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);
    EXPECT_EQ(engine.GetCaptureState(""), kCaptureUnknown);
    EXPECT_EQ(engine.StopCapture("10.0.0.1"), 1);  // idle: nothing changes
    EXPECT_EQ(engine.StopCapture("10.9.9.9"), 0);
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);

    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store));
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureCapturing);
    EXPECT_EQ(engine.CountCapturing(), 1);
    std::string reason;
    EXPECT_FALSE(engine.StartCapture("10.0.0.1", nullptr, &store, &reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(pcap->OpenCount("eth0"), 1);

    pcap->PushFrame("eth0", Frame(1), 1514, 100, 250000);
    pcap->PushFrame("eth0", Frame(2, 14));
    // Once the timeout after the frames is read, both frames have been
    // delivered (a stop right after a read drops that read's frame).
    pcap->PushTimeout("eth0");
    ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
    EXPECT_EQ(engine.StopCapture("10.0.0.1"), 1);
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(pcap->OpenSessions("eth0"), 0);  // the handle was closed
    ASSERT_EQ(store.Count(), 2);
    EXPECT_EQ(store.At(0)->header->len, 1514u);
    EXPECT_EQ(store.At(0)->header->caplen, 60u);
    EXPECT_EQ(store.At(0)->header->tv_sec, 100u);
    EXPECT_EQ(store.At(0)->header->tv_usec, 250000u);
    EXPECT_EQ(store.At(1)->header->caplen, 14u);

    // Every start opens a new handle.
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store));
    EXPECT_EQ(pcap->OpenCount("eth0"), 2);
    engine.StopAllCaptures();
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(engine.CountCapturing(), 0);
}

// A stop does not wait, but a start right after it waits a little for the
// worker still delivering what came before the stop; one stuck longer than
// that is refused, and the start works once it has ended.
TEST(CaptureEngine, StartRightAfterAStopWaitsForTheWorkerAMoment) {
    auto pcap = OneAdapter();
    CCaptureEngine engine(pcap);
    struct Gate {
        std::mutex lock;
        std::condition_variable changed;
        bool inside = false, open = false;
        PacketStore store;
        void Open() {
            std::lock_guard<std::mutex> hold(lock);
            open = true;
            changed.notify_all();
        }
        void WaitInside() {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return inside; });
            inside = false;
        }
    } gate;
    engine.SetPacketSink([](void* context, Packet* packet) {
        auto* g = static_cast<Gate*>(context);
        std::unique_lock<std::mutex> hold(g->lock);
        g->inside = true;
        g->changed.notify_all();
        g->changed.wait(hold, [&] { return g->open; });
        g->open = false;
        g->store.AppendPacket(packet);
    });
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &gate));
    pcap->PushFrame("eth0", Frame(7));
    gate.WaitInside();
    engine.StopCapture("10.0.0.1");
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        gate.Open();
    });
    const bool started = engine.StartCapture("10.0.0.1", nullptr, &gate);
    later.join();
    ASSERT_TRUE(started);
    EXPECT_EQ(gate.store.Count(), 1);  // the delivery under way completed

    pcap->PushFrame("eth0", Frame(8));
    gate.WaitInside();
    engine.StopCapture("10.0.0.1");
    std::string reason;
    EXPECT_FALSE(engine.StartCapture("10.0.0.1", nullptr, &gate, &reason));
    EXPECT_NE(reason.find("ｷｬﾌﾟﾁｬｰを終了していません"), std::string::npos);
    gate.Open();
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(gate.store.Count(), 2);
    EXPECT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &gate));
    engine.WaitForCapture("10.0.0.1");
}

TEST(CaptureEngine, TwoAdaptersDeliverToTheirOwnSinks) {
    auto pcap = std::make_shared<ScriptedPcap>();
    pcap->AddAdapter("eth0", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    pcap->AddAdapter("eth1", {ScriptedPcap::Ipv4(10, 0, 0, 2)});
    CCaptureEngine engine(pcap);
    engine.SetPacketSink(&StoreSink);
    PacketStore first, second;
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &first));
    ASSERT_TRUE(engine.StartCapture("10.0.0.2", nullptr, &second));
    EXPECT_EQ(engine.CountCapturing(), 2);
    for (int i = 0; i < 50; ++i) {
        pcap->PushFrame("eth0", Frame(0xA0));
        pcap->PushFrame("eth1", Frame(0xB0));
    }
    pcap->PushFrame("eth1", Frame(0xB0));
    pcap->PushTimeout("eth0");
    pcap->PushTimeout("eth1");
    ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
    ASSERT_TRUE(pcap->WaitUntilRead("eth1"));
    engine.StopAllCaptures();
    engine.WaitForCapture("10.0.0.1");
    engine.WaitForCapture("10.0.0.2");
    ASSERT_EQ(first.Count(), 50);
    ASSERT_EQ(second.Count(), 51);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(first.At(i)->data[0], 0xA0);
    for (int i = 0; i < 51; ++i) EXPECT_EQ(second.At(i)->data[0], 0xB0);
}

TEST(CaptureEngine, StartFailuresSayWhy) {
    auto pcap = std::make_shared<ScriptedPcap>();
    pcap->AddAdapter("eth0", {ScriptedPcap::Ipv4(10, 0, 0, 1)});
    pcap->AddAdapter("wlan0", {ScriptedPcap::Ipv4(10, 0, 0, 2)});
    pcap->AddAdapter("tun0", {ScriptedPcap::Ipv4(10, 0, 0, 3)});
    pcap->AddAdapter("usb0", {ScriptedPcap::Ipv4(10, 0, 0, 4)});
    CCaptureEngine engine(pcap);
    PacketStore store;
    std::string reason;

    // Unplugged after the list was made.
    pcap->RemoveAdapter("usb0");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine.StartCapture("10.0.0.4", nullptr, &store, &reason));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("10.0.0.4"), std::string::npos);
    EXPECT_NE(reason.find("見つかりません"), std::string::npos);

    pcap->FailOpen("eth0", "eth0: You don't have permission to capture on that device");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine.StartCapture("10.0.0.1", nullptr, &store, &reason));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("permission"), std::string::npos);
    EXPECT_NE(reason.find("permission"), std::string::npos);
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);

    pcap->SetLinkType("tun0", 12);  // raw IP
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine.StartCapture("10.0.0.3", nullptr, &store, &reason));
    testing::internal::GetCapturedStderr();
    EXPECT_NE(reason.find("Ethernet"), std::string::npos);
    EXPECT_EQ(pcap->OpenCount("tun0"), 1);
    EXPECT_EQ(pcap->OpenSessions("tun0"), 0);  // closed again

    EXPECT_FALSE(engine.StartCapture("", nullptr, &store, &reason));
    EXPECT_FALSE(engine.StartCapture("10.0.0.99", nullptr, &store, &reason));

    pcap->FailListing("no permission");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine.StartCapture("10.0.0.2", nullptr, &store, &reason));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error in pcap_findalldevs: no permission\n");
    EXPECT_EQ(engine.CountCapturing(), 0);
    EXPECT_EQ(store.Count(), 0);
}

// Adapters are opened with the snapshot length, promiscuous mode and read
// timeout of every capture and a buffer that holds bursts; a warning of the
// library goes to stderr. The frames the kernel dropped are counted per
// capture, while it runs and at its end, and the end handler is given the
// count however the capture ended.
TEST(CaptureEngine, OpenOptionsAndKernelDrops) {
    auto pcap = OneAdapter();
    pcap->SetReadTimeout(20);
    pcap->WarnOnOpen("eth0", "Promiscuous mode not supported (scripted)");
    CCaptureEngine engine(pcap);
    engine.SetPacketSink(&StoreSink);
    PacketStore store;
    std::mutex lock;
    std::vector<uint64_t> ends;
    auto onEnd = [&](uint64_t drops) {
        std::lock_guard<std::mutex> hold(lock);
        ends.push_back(drops);
    };
    testing::internal::CaptureStderr();
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store, nullptr, onEnd));
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find("10.0.0.1"), std::string::npos) << warning;
    EXPECT_NE(warning.find("Promiscuous mode not supported (scripted)"), std::string::npos);
    const LiveOptions options = pcap->LastOptions("eth0");
    EXPECT_EQ(options.snapLength, 65536);
    EXPECT_TRUE(options.promiscuous);
    EXPECT_EQ(options.timeoutMs, 1000);
    EXPECT_GE(options.bufferBytes, 16 << 20);

    pcap->PushFrame("eth0", Frame(1));
    pcap->PushKernelDrops("eth0", 7);
    pcap->PushFrame("eth0", Frame(2));
    pcap->PushKernelDrops("eth0", 5);
    // Counted while the capture runs, about once a second.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (engine.GetKernelDropCount("10.0.0.1") != 12) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureCapturing);
    pcap->PushKernelDrops("eth0", 1);
    pcap->PushTimeout("eth0");
    ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
    engine.StopCapture("10.0.0.1");
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(store.Count(), 2);
    EXPECT_EQ(engine.GetKernelDropCount("10.0.0.1"), 13u);
    EXPECT_EQ(ends, std::vector<uint64_t>{13});

    // The next capture counts from zero; one ended by a read error reports
    // its end too.
    pcap->WarnOnOpen("eth0", "");
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store, nullptr, onEnd));
    EXPECT_EQ(engine.GetKernelDropCount("10.0.0.1"), 0u);
    pcap->PushKernelDrops("eth0", 2);
    pcap->PushReadError("eth0", "gone");
    ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(ends, (std::vector<uint64_t>{13, 2}));
    EXPECT_EQ(engine.GetKernelDropCount("10.9.9.9"), 0u);
}

// The real library's texts for an adapter that cannot be opened say why.
TEST(CaptureEngine, RealLibraryOpenFailureSaysWhy) {
    const std::shared_ptr<PcapApi> api = MakeRealPcapApi();
    std::string message;
    bool denied = false;
    EXPECT_EQ(api->OpenLive("kestrel-none0", LiveOptions{}, message, denied), nullptr);
    EXPECT_TRUE(message.find("No such device") != std::string::npos ||
                message.find("ermission") != std::string::npos)
        << message;
}

TEST(CaptureEngine, ReadErrorNotifiesOnceAndLeavesTheAdapterRestartable) {
    auto pcap = OneAdapter();
    CCaptureEngine engine(pcap);
    engine.SetPacketSink(&StoreSink);
    PacketStore store;
    std::mutex lock;
    std::vector<std::pair<int, std::string>> calls;
    auto onError = [&](int code, const char* text) {
        std::lock_guard<std::mutex> hold(lock);
        calls.emplace_back(code, text);
    };
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", onError, &store));
    pcap->PushFrame("eth0", Frame(1));
    pcap->PushTimeout("eth0");
    pcap->PushFrame("eth0", Frame(2));
    pcap->PushReadError("eth0", "The interface went down");
    pcap->PushFrame("eth0", Frame(3));  // read by the next capture
    pcap->PushTimeout("eth0");
    // The worker ends by itself on the error.
    while (engine.GetCaptureState("10.0.0.1") == kCaptureCapturing) std::this_thread::yield();
    engine.WaitForCapture("10.0.0.1");
    {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].first, kCaptureErrorRead);
        EXPECT_EQ(calls[0].second, "The interface went down");
    }
    EXPECT_EQ(store.Count(), 2);
    EXPECT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);
    EXPECT_EQ(pcap->OpenSessions("eth0"), 0);

    ASSERT_TRUE(engine.StartCapture("10.0.0.1", onError, &store));
    ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(store.Count(), 3);
    EXPECT_EQ(calls.size(), 1u);

    // The end of a stream ends the capture without a notification.
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", onError, &store));
    pcap->PushEnd("eth0");
    ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(calls.size(), 1u);
}

TEST(CaptureEngine, FullStoreReleasesTheRest) {
    auto pcap = OneAdapter();
    pcap->SetReadTimeout(20);
    CCaptureEngine engine(pcap);
    engine.SetPacketSink(&StoreSink);
    PacketStore store;
    pcap->PushFrames("eth0", Frame(9), PacketStore::kCapacity + 1);
    pcap->PushTimeout("eth0");
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &store));
    ASSERT_TRUE(pcap->WaitUntilRead("eth0", 60000));
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(store.Count(), PacketStore::kCapacity);
    EXPECT_EQ(store.DiscardedCount(), 1u);  // released, as LeakSanitizer checks
    EXPECT_EQ(engine.GetLostCount("10.0.0.1"), 0u);

    // Without a sink, frames are released on the spot.
    engine.SetPacketSink(nullptr);
    PacketStore other;
    ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, &other));
    pcap->PushFrames("eth0", Frame(9), 10);
    ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
    engine.WaitForCapture("10.0.0.1");
    EXPECT_EQ(other.Count(), 0);
}

// The engine goes while a worker is inside the sink: it waits for the worker,
// so the sink's store is never touched after the engine is gone.
TEST(CaptureEngine, DestructionWaitsForAWorkerInsideTheSink) {
    auto pcap = OneAdapter();
    struct Context {
        std::atomic<bool> inside{false};
        std::atomic<bool> returned{false};
        PacketStore store;
    };
    auto context = std::make_unique<Context>();
    {
        CCaptureEngine engine(pcap);
        engine.SetPacketSink([](void* c, Packet* packet) {
            auto* ctx = static_cast<Context*>(c);
            ctx->inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ctx->store.AppendPacket(packet);
            ctx->returned = true;
        });
        ASSERT_TRUE(engine.StartCapture("10.0.0.1", nullptr, context.get()));
        pcap->PushFrame("eth0", Frame(5));
        while (!context->inside) std::this_thread::yield();
    }
    EXPECT_TRUE(context->returned);
    EXPECT_EQ(context->store.Count(), 1);
    context.reset();
    EXPECT_EQ(pcap->OpenSessions("eth0"), 0);
}

// Bursts, timeouts and read errors at random points over many start/stop
// cycles: every packet the sink stored is one that was sent, in order, and
// the engine ends each cycle idle with its handle closed.
TEST(CaptureEngine, RandomFaultsLoseNoStoredPacket) {
    auto pcap = OneAdapter();
    pcap->SetReadTimeout(5);
    CCaptureEngine engine(pcap);
    engine.SetPacketSink(&StoreSink);
    std::mt19937 random(12345);
    uint32_t sent = 0;
    for (int cycle = 0; cycle < 40; ++cycle) {
        PacketStore store;
        ASSERT_TRUE(engine.StartCapture("10.0.0.1", [](int, const char*) {}, &store));
        const uint32_t first = sent;
        const int events = static_cast<int>(random() % 200);
        bool ended = false;
        for (int e = 0; e < events && !ended; ++e) {
            const unsigned roll = random() % 100;
            if (roll < 3) {
                pcap->PushReadError("eth0", "fault");
                ended = true;
            } else if (roll < 10) {
                pcap->PushTimeout("eth0");
            } else {
                std::vector<uint8_t> f = Frame(0, 60);
                std::memcpy(f.data(), &sent, sizeof sent);
                pcap->PushFrame("eth0", f);
                ++sent;
            }
        }
        if (ended) {
            while (engine.GetCaptureState("10.0.0.1") == kCaptureCapturing) std::this_thread::yield();
        } else {
            pcap->PushTimeout("eth0");
        }
        ASSERT_TRUE(pcap->WaitUntilRead("eth0"));
        engine.WaitForCapture("10.0.0.1");
        ASSERT_EQ(engine.GetCaptureState("10.0.0.1"), kCaptureIdle);
        ASSERT_EQ(pcap->OpenSessions("eth0"), 0);
        ASSERT_EQ(static_cast<uint32_t>(store.Count()), sent - first);
        for (int i = 0; i < store.Count(); ++i) {
            uint32_t number;
            std::memcpy(&number, store.At(i)->data, sizeof number);
            ASSERT_EQ(number, first + static_cast<uint32_t>(i));
        }
    }
    EXPECT_GT(sent, 1000u);
}

}  // namespace
}  // namespace kestrel
