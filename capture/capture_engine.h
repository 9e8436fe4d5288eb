// Capture engine: the adapter list with display names, and one worker thread
// per capturing adapter that reads frames and hands them to a packet sink.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/packet.h"

namespace kestrel {

class PcapApi;  // the capture library behind a thin interface (pcap_api.h)
struct RemoteListing;  // the adapters of another machine (remote.h)

// Receives every captured packet, on the worker thread, and takes ownership.
using PacketSink = void (*)(void* context, Packet* packet);

// Code of the read-error notification (the library's text comes with it).
inline constexpr int kCaptureErrorRead = 1224;

// Called synchronously on the worker thread when a read fails; `text` is the
// library's error text, valid only during the call. The handler must not wait
// for the UI thread (the UI thread may be joining this very worker): copy the
// text and post it.
using CaptureErrorHandler = std::function<void(int code, const char* text)>;

// Called on the worker as the last thing it does for a capture (stopped,
// ended by a read error or by the end of the stream), with the number of
// frames the kernel dropped during that capture. The same rules as for
// CaptureErrorHandler: copy what is needed and post it, never wait for the
// UI thread.
using CaptureEndHandler = std::function<void(uint64_t kernelDrops)>;

// Capture state of an adapter name.
inline constexpr int kCaptureCapturing = 1;
inline constexpr int kCaptureIdle = 0;
inline constexpr int kCaptureUnknown = -1;  // no adapter has that name

class CCaptureEngine {
public:
    // Enumerates the adapters once, through `api` (the real libpcap when null).
    // Only adapters that open as Ethernet are kept: a start on any other
    // (libpcap's "any", nflog, nfqueue, bluetooth-monitor, dbus-system, a
    // tunnel) could only fail.
    explicit CCaptureEngine(std::shared_ptr<PcapApi> api = nullptr);
    // Stops every capture and joins every worker before releasing the records.
    virtual ~CCaptureEngine();
    CCaptureEngine(const CCaptureEngine&) = delete;
    CCaptureEngine& operator=(const CCaptureEngine&) = delete;

    // Display names of all adapters, in enumeration order; unique.
    const std::vector<std::string>& GetNameList() const;
    int GetDeviceCount() const;
    // True when the adapters could not be enumerated (the reason went to
    // stderr); an empty list is then no answer.
    bool EnumerationFailed() const;

    // Adds the adapters of another machine after the others, each named
    // "<display name>@<host>"; an adapter whose name is taken already is
    // left out. Returns the names added.
    std::vector<std::string> AddRemoteAdapters(const RemoteListing& listing);
    // Adds an adapter that reads the pcap stream of `path` (a FIFO, or "-"
    // for standard input), named `name`; false when the name is taken. Each
    // start opens the path again and reads until the stream ends or the
    // capture is stopped; waiting for a writer holds up nobody but the
    // worker. Standard input and a regular file hold one stream: after the
    // first capture such an adapter cannot start again and its state is -1.
    bool AddStreamAdapter(const std::string& name, const std::string& path);

    // The sink that receives every packet of every adapter (read afresh by the
    // workers for every packet).
    void SetPacketSink(PacketSink sink);

    // Opens the adapter (frames reach the sink at most about one block
    // timeout after they arrive, see LiveOptions) and starts its worker.
    // False when the adapter is unknown, still has a worker, cannot be
    // opened, is not Ethernet, or no thread can be made; `reason` (when
    // given) then says why, and the reason is written to stderr too. A
    // warning of the library on opening goes to stderr.
    //
    // `filter` (tcpdump syntax; empty: every frame) is applied by the
    // library on the adapter, or by the program that captures for us.
    //
    // When this process may not open a local adapter itself, the capture
    // helper kestrel-capture opens it and the worker reads its stream. The
    // adapters of other machines (AddRemoteAdapters) are read over ssh, and
    // stream adapters (AddStreamAdapter) from their FIFO or standard input;
    // the worker, the sink and the stop are the same for all of them.
    bool StartCapture(const std::string& name, CaptureErrorHandler onError, void* sinkContext,
                      std::string* reason = nullptr, CaptureEndHandler onEnd = nullptr,
                      const std::string& filter = std::string());
    // Asks the worker to stop; returns 1 when an adapter has that name, else 0.
    // Does not wait. The frames of a local adapter that arrived before the
    // stop still reach the sink (those the kernel, the capture helper or its
    // pipe held at that moment), none that came later.
    int StopCapture(const std::string& name);
    // 1 capturing, 0 idle, -1 no adapter has that name (or it can never
    // capture again: a stream that could be read only once).
    int GetCaptureState(const std::string& name) const;
    // Stops the adapter's capture if it runs and waits until its worker (if
    // any) has ended: after this no packet of that adapter reaches its sink
    // context any more. Waits for the frames that arrived before the stop
    // (about a tenth of a second, at most some seconds for the capture
    // helper), and else at most about one read timeout.
    void WaitForCapture(const std::string& name);

    int CountCapturing() const;
    void StopAllCaptures();

    // Frames of the adapter dropped because memory for them could not be had.
    uint64_t GetLostCount(const std::string& name) const;
    // Frames the kernel dropped during the adapter's last (or current)
    // capture, as the library counts them: taken about once a second while
    // the capture runs and once more when it ends.
    uint64_t GetKernelDropCount(const std::string& name) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace kestrel
