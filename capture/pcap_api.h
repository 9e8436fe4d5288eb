// The capture library behind a thin interface, so tests can script adapters,
// their addresses, open failures and warnings, frames, timeouts, read errors
// and kernel drops. The real libpcap (RealPcapApi) is the default.
#pragma once

#include <array>
#include <cstdint>
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
};

// How an adapter is opened for capture.
struct LiveOptions {
    int snapLength = 0x10000;
    bool promiscuous = true;
    int timeoutMs = 1000;
    // Each frame is handed over as it arrives, not in blocks: frames reach
    // the store at once, and a stop leaves no filled block behind.
    bool immediate = true;
    // The kernel's capture buffer. Handed over one by one, frames take a
    // slot sized for the snapshot length each (128 KiB on adapters that
    // pass 64 KiB frames, loopback among them): the library's 2 MiB would
    // hold 16 frames, and a short burst is dropped.
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

// Link type of Ethernet captures (DLT_EN10MB).
inline constexpr int kLinkTypeEthernet = 1;

}  // namespace kestrel
