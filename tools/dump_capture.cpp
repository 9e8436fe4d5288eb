// kestrel-dump --list-adapters and --capture: the capture engine and a
// packet store, as a document window uses them, without a display.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "capture/capture_engine.h"
#include "core/pac_file.h"
#include "core/packet_store.h"
#include "tools/dump_modes.h"

namespace kestrel::dump {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

void StoreSink(void* context, Packet* packet) {
    static_cast<PacketStore*>(context)->AppendPacket(packet);
}

}  // namespace

int ListAdapters() {
    CCaptureEngine engine;
    for (const std::string& name : engine.GetNameList()) std::printf("%s\n", name.c_str());
    return 0;
}

int CaptureToFile(const std::string& name, int count, const std::string& outPath) {
    CCaptureEngine engine;
    PacketStore store;
    engine.SetPacketSink(&StoreSink);

    std::mutex errorLock;
    std::string readError;
    auto onError = [&](int, const char* text) {
        std::lock_guard<std::mutex> hold(errorLock);
        readError = text ? text : "";
    };
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::string reason;
    if (!engine.StartCapture(name, onError, &store, &reason)) {
        // The engine has written the reason to stderr already.
        return 1;
    }
    const int target = count > 0 && count < PacketStore::kCapacity ? count : PacketStore::kCapacity;
    while (!g_interrupted && store.Count() < target &&
           engine.GetCaptureState(name) == kCaptureCapturing) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    engine.WaitForCapture(name);

    // Frames that arrived after the count was reached are not kept.
    std::vector<int> extra;
    for (int i = target; i < store.Count(); ++i) extra.push_back(i);
    store.RemovePackets(extra);

    int status = 0;
    {
        std::lock_guard<std::mutex> hold(errorLock);
        if (!readError.empty()) {
            std::fprintf(stderr, "kestrel-dump: ｷｬﾌﾟﾁｬｰ中にｴﾗｰが発生しました: %s\n", readError.c_str());
            status = 1;
        }
    }
    const uint64_t lost = store.LostCount() + engine.GetLostCount(name);
    if (lost) std::fprintf(stderr, "kestrel-dump: %llu packets lost (out of memory)\n",
                           static_cast<unsigned long long>(lost));
    std::fprintf(stderr, "kestrel-dump: %llu packets dropped by the kernel\n",
                 static_cast<unsigned long long>(engine.GetKernelDropCount(name)));
    if (store.DiscardedCount()) {
        std::fprintf(stderr, "kestrel-dump: %llu packets discarded (the store holds %d)\n",
                     static_cast<unsigned long long>(store.DiscardedCount()), PacketStore::kCapacity);
    }
    std::string error;
    if (!WritePacFile(store, outPath, error)) {
        std::fprintf(stderr, "kestrel-dump: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "kestrel-dump: %d packets written to %s\n", store.Count(), outPath.c_str());
    return status;
}

}  // namespace kestrel::dump
