// kestrel-dump --list-adapters and --capture: the capture engine, as a
// document window uses it, with every packet written straight to the output
// file instead of a store: no count limit, constant memory.
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "capture/capture_engine.h"
#include "kestrel-dump/dump_modes.h"
#include "kestrel-dump/packet_filter.h"

namespace kestrel::dump {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

// The sink's context: written on the worker thread only; the main thread
// reads the counters and, after the worker has ended, the rest.
struct FileSink {
    RotatingOutput writer;
    bool flushEach = false;  // a stream: each packet reaches the reader at once
    uint64_t limit = 0;  // 0: no limit
    std::atomic<uint64_t> written{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> ended{false};  // the rotation's last file is complete
    std::string error;  // set before `failed`
};

void WriteToFile(void* context, Packet* packet) {
    auto& sink = *static_cast<FileSink*>(context);
    const PacketPtr owned(packet);
    const uint64_t written = sink.written.load(std::memory_order_relaxed);
    // Frames that come after the count was reached, or after a write
    // failed, are not kept.
    if (sink.failed.load(std::memory_order_relaxed) || (sink.limit && written >= sink.limit)) {
        return;
    }
    if (!sink.writer.Write(*packet, sink.error) || (sink.flushEach && std::fflush(stdout) != 0)) {
        if (sink.error.empty()) sink.error = std::strerror(errno);
        sink.failed.store(true, std::memory_order_release);
        return;
    }
    if (sink.writer.Ended()) {
        sink.ended.store(true, std::memory_order_release);
        return;
    }
    sink.written.store(written + 1, std::memory_order_release);
}

}  // namespace

// Adds the adapters of the remotes to the engine; false when one of them
// gave no listing (the reason went to stderr).
bool AddRemotes(CCaptureEngine& engine, const std::vector<RemoteHost>& remotes) {
    bool all = true;
    for (const RemoteListing& listing : ListRemoteHosts(remotes)) {
        engine.AddRemoteAdapters(listing);
        all = all && listing.answered;
    }
    return all;
}

// For a name that no adapter has yet: the adapters of the host it names
// ("NAME@host"), trying each "@" from the left, since user@host is a host
// too, until one of them has the name.
void FindRemoteByName(CCaptureEngine& engine, const std::string& name) {
    for (size_t at = name.find('@'); at != std::string::npos; at = name.find('@', at + 1)) {
        RemoteHost host;
        std::string error;
        if (at == 0 || !ParseRemoteHost(name.substr(at + 1), false, host, error))
            continue;
        AddRemotes(engine, {host});
        if (engine.GetCaptureState(name) != kCaptureUnknown)
            return;
    }
}

int ListAdapters(const std::vector<RemoteHost>& remotes) {
    CCaptureEngine engine;
    const bool remotesListed = AddRemotes(engine, remotes);
    for (const std::string& name : engine.GetNameList()) std::printf("%s\n", name.c_str());
    return engine.EnumerationFailed() || !remotesListed ? 1 : 0;
}

int CaptureToFile(const std::string& name, const std::string& filter, uint64_t count,
                  const std::string& outPath, FileKind kind, const Rotation& rotation,
                  const std::vector<RemoteHost>& remotes) {
    FileSink sink;
    sink.limit = count;
    std::string error;
    // The engine installs the filter in the kernel (or hands it to the
    // capture helper); compiling it here first tells bad usage apart from a
    // capture that cannot start.
    PacketFilter check;
    if (!check.Compile(filter, error)) {
        std::fprintf(stderr, "kestrel-dump: bad filter: %s\n", error.c_str());
        return 2;
    }
    sink.flushEach = outPath == "-";
    const bool opened = sink.flushEach
                            ? sink.writer.OpenStream(stdout, kind, kPcapWriteSnapLength, error)
                            : sink.writer.Open(outPath, kind, rotation, error);
    if (!opened) {
        std::fprintf(stderr, "kestrel-dump: %s\n", error.c_str());
        return 1;
    }
    CCaptureEngine engine;
    if (engine.GetCaptureState(name) == kCaptureUnknown) {
        if (!remotes.empty())
            AddRemotes(engine, remotes);
        else
            FindRemoteByName(engine, name);
    }
    engine.SetPacketSink(&WriteToFile);

    std::mutex errorLock;
    std::string readError;
    auto onError = [&](int, const char* text) {
        std::lock_guard<std::mutex> hold(errorLock);
        readError = text ? text : "";
    };
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    if (!engine.StartCapture(name, onError, &sink, nullptr, nullptr, filter)) {
        // The engine has written the reason to stderr already; the output
        // file was not touched.
        return 1;
    }
    while (!g_interrupted && (count == 0 || sink.written.load(std::memory_order_acquire) < count) &&
           !sink.failed.load(std::memory_order_acquire) &&
           !sink.ended.load(std::memory_order_acquire) &&
           engine.GetCaptureState(name) == kCaptureCapturing) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    engine.WaitForCapture(name);

    int status = 0;
    {
        std::lock_guard<std::mutex> hold(errorLock);
        if (!readError.empty()) {
            std::fprintf(stderr, "kestrel-dump: ｷｬﾌﾟﾁｬｰ中にｴﾗｰが発生しました: %s\n", readError.c_str());
            status = 1;
        }
    }
    if (const uint64_t lost = engine.GetLostCount(name)) {
        std::fprintf(stderr, "kestrel-dump: %llu packets lost (out of memory)\n",
                     static_cast<unsigned long long>(lost));
    }
    std::fprintf(stderr, "kestrel-dump: %llu packets dropped by the kernel\n",
                 static_cast<unsigned long long>(engine.GetKernelDropCount(name)));
    if (sink.failed.load(std::memory_order_acquire)) {
        std::fprintf(stderr, "kestrel-dump: %s\n", sink.error.c_str());
        return 1;
    }
    if (!sink.writer.Finish(error)) {
        std::fprintf(stderr, "kestrel-dump: %s\n", error.c_str());
        return 1;
    }
    if (sink.flushEach) {
        std::fprintf(stderr, "kestrel-dump: %llu packets written to standard output\n",
                     static_cast<unsigned long long>(sink.writer.Count()));
    } else {
        ReportWritten(sink.writer);
    }
    return status;
}

}  // namespace kestrel::dump
