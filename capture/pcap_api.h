// The capture library behind a thin interface, so tests can script adapters,
// their addresses, open failures and warnings, frames, timeouts, read errors
// and kernel drops. The real libpcap (RealPcapApi) is the default.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/packet.h"

namespace kestrel {

// One entry of an adapter's address list, reduced to what naming needs.
struct PcapAddressEntry {
    enum class Family { None, Ipv4, Ipv6, LinkLayer, Other };
    Family family = Family::None;        // None: the entry carries no address
    std::array<uint8_t, 4> ipv4{};       // network order, first octet first
};

// One adapter as the library lists it.
struct PcapDevice {
    std::string name;                        // system name, for OpenLive
    std::optional<std::string> description;  // may be absent
    std::vector<PcapAddressEntry> addresses; // in list order
    // Whether the adapter opens as Ethernet, as far as can be told without
    // opening it: its hardware type is one the library captures as Ethernet.
    // False for the library's pseudo-devices (any, nflog, nfqueue, usbmon,
    // bluetooth, dbus) and for devices of other kinds (tun, ppp, can...).
    bool ethernet = true;
};

// An opened adapter. Destroying it closes the library's handle.
class PcapSession {
public:
    virtual ~PcapSession() = default;
    // The link type (DLT_* value) of the opened adapter.
    virtual int DataLink() = 0;
    // 1: a frame (valid until the next call), 0: the read timeout passed,
    // -1: a read error (see ErrorText), -2: no more frames or BreakLoop.
    virtual int Next(PacketHeader& header, const uint8_t*& data) = 0;
    // The library's text for the last error; valid until the next call.
    virtual const char* ErrorText() = 0;
    // Frames the kernel dropped since the session was opened because its
    // capture buffer was full; false when the library cannot tell. Called
    // only by the thread that reads.
    virtual bool KernelDrops(uint64_t& dropped) = 0;
    // Makes a Next that is waiting, or the next one, return -2. May be called
    // from another thread than the one reading.
    virtual void BreakLoop() = 0;
    // Ends the capture at this instant but keeps what arrived before it: the
    // following Next calls return the frames that arrived up to now and are
    // still held on their way (by the kernel, by the program that captures
    // for us, in a pipe), then -2; none that arrived later. False when the
    // session cannot tell them apart: it then ends as after BreakLoop. May be
    // called from another thread than the one reading, more than once.
    virtual bool Finish() {
        BreakLoop();
        return false;
    }
};

// How an adapter is opened for capture.
struct LiveOptions {
    int snapLength = 0x10000;
    bool promiscuous = true;
    // Next returns 0 when this long passes without a frame.
    int timeoutMs = 1000;
    // The kernel hands frames over in blocks, each once it is full or once
    // it has held frames this long: the longest a frame that arrives alone
    // waits, and about half of what a stop waits for the frames before it.
    int blockTimeoutMs = 50;
    // The kernel's capture buffer: 32 MiB of blocks hold some 170000 small
    // frames; the library's 2 MiB hold some 11000, a few hundredths of a
    // second of a flood while the reader waits for the processor.
    int bufferBytes = 32 << 20;
    // A libpcap filter (tcpdump syntax) applied once the adapter is open;
    // empty: every frame.
    std::string filter;
};

class PcapApi {
public:
    virtual ~PcapApi() = default;
    // The adapter list; false with the library's text when it cannot be had.
    virtual bool FindAllDevices(std::vector<PcapDevice>& devices, std::string& error) = 0;
    // Opens and activates an adapter for capture. Null on failure, with the
    // library's text in `message` and `permissionDenied` set when this
    // process lacks the privilege to capture; on success `message` holds the
    // warning the library gave on activation (empty when none).
    virtual std::unique_ptr<PcapSession> OpenLive(const std::string& name,
                                                  const LiveOptions& options, std::string& message,
                                                  bool& permissionDenied) = 0;
};

// libpcap itself.
std::shared_ptr<PcapApi> MakeRealPcapApi();

// The time of day in microseconds, by the clock the kernel stamps frames
// with: what a stop compares the frames' stamps against.
inline int64_t FrameClockMicros() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Link type of Ethernet captures (DLT_EN10MB).
inline constexpr int kLinkTypeEthernet = 1;

}  // namespace kestrel
