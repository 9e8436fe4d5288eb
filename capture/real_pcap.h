// Opening and reading an adapter with libpcap itself, shared by the capture
// engine and the capture helper kestrel-capture, so both capture alike.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "capture/pcap_api.h"

namespace kestrel {

// Creates, sets up (snapshot length, promiscuous mode, block timeout,
// kernel buffer) and activates the adapter `name`, then applies the
// options' filter. Frames are handed over by the kernel in blocks, packed
// one after the other: the buffer holds as many frames as their sizes allow
// (tens of thousands of small ones), where one slot per frame, each as large
// as the biggest frame the adapter can pass (64 KiB on loopback), would hold
// a few hundred. On loopback adapters the kernel keeps the outgoing copy of
// each frame out of the buffer (see ApplyFilter). Null on failure, with the
// library's text in `message` and `permissionDenied` set when the failure
// was a lack of privilege; on success `message` holds the library's
// activation warning (empty when none).
pcap_t* OpenLiveHandle(const std::string& name, const LiveOptions& options, std::string& message,
                       bool& permissionDenied);

// Compiles `filter` (tcpdump syntax; empty: every frame) for the open handle
// and applies it; false with the library's text. On a loopback adapter the
// kernel sees every frame twice, going out and coming in; the library drops
// the outgoing copy after the kernel has queued it, so each frame took two
// places in the buffer and the kernel counted a drop for each copy it could
// not queue. Here the kernel's own filter leaves the outgoing copies out:
// the buffer holds twice the frames, and the drop count counts frames.
bool ApplyFilter(pcap_t* handle, const std::string& filter, std::string& error);

// Reads an open live handle one frame at a time, with a read timeout of its
// own (the kernel hands over blocks only once they are full or have waited
// for the block timeout, so the library's own timeout says nothing about an
// idle adapter), and a stop that keeps every frame that arrived before it.
// Puts the handle in non-blocking mode; does not own it.
class LiveReader {
public:
    // `blockTimeoutMs`: the block timeout the handle was opened with.
    LiveReader(pcap_t* handle, int blockTimeoutMs);
    ~LiveReader();
    LiveReader(const LiveReader&) = delete;
    LiveReader& operator=(const LiveReader&) = delete;

    // 1: a frame (valid until the next call); 0: `timeoutMs` passed without
    // one (never after Stop; -1: no limit); -1: a read error (ErrorText); -2: after
    // Stop, every frame that arrived before it has been returned; after
    // Break, at once.
    int Next(const pcap_pkthdr*& header, const u_char*& data, int timeoutMs);

    // Ends the capture at this instant: Next goes on returning the frames
    // that arrived before it, the kernel's partly filled block included,
    // and none that arrived later. Safe from any thread and from a signal
    // handler; the first call counts.
    void Stop();
    // Makes Next return -2 at once. Safe from any thread.
    void Break();
    // The text of the last read error.
    const char* ErrorText() const { return m_error.c_str(); }

private:
    bool Wait(int timeoutMs);

    pcap_t* m_handle;
    int m_wake;  // eventfd: Stop and Break wake a waiting Next
    std::chrono::milliseconds m_drainTime;
    std::atomic<int64_t> m_stopMicros{0};  // the stop's time of day; 0: none
    std::atomic<bool> m_broken{false};
    // The reading thread's own.
    bool m_draining = false;
    bool m_sawLater = false;  // a frame that arrived after the stop
    std::chrono::steady_clock::time_point m_drainEnd;
    std::string m_error;
};

// For a loop that reads with pcap_dispatch until it is told to stop (the
// capture helper): hands the frames that arrived before now and that the
// kernel still holds to `callback`, waiting at most about two block
// timeouts for the block being filled. The count, or -1 on a read error.
int DispatchHeldFrames(pcap_t* handle, int blockTimeoutMs, pcap_handler callback, u_char* user);

}  // namespace kestrel
