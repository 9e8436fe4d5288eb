// A capture library played from a script, for tests: adapters with chosen
// address lists and descriptions, open failures and warnings, link types,
// and per-adapter events (frames, read timeouts, read errors, kernel drops,
// the end of the stream). Every call is thread-safe: tests script from their
// own thread while workers read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/pcap_api.h"

namespace kestrel {

class ScriptedPcap : public PcapApi, public std::enable_shared_from_this<ScriptedPcap> {
public:
    // Address entries for AddAdapter.
    static PcapAddressEntry Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
    static PcapAddressEntry Ipv6();
    static PcapAddressEntry LinkLayer();
    static PcapAddressEntry NoAddress();

    // Appends an adapter to the list; `systemName` is what OpenLive is given.
    void AddAdapter(const std::string& systemName, std::vector<PcapAddressEntry> addresses,
                    std::optional<std::string> description = std::nullopt);
    // Takes the adapter out of the list (as if unplugged): later lists and
    // opens do not see it; an open session keeps running on its script.
    void RemoveAdapter(const std::string& systemName);
    // Listing fails with `error` from now on (empty: it works again).
    void FailListing(const std::string& error);
    // Opens of the adapter fail with `error` from now on (empty: they work),
    // as a lack of privilege when `permissionDenied`.
    void FailOpen(const std::string& systemName, const std::string& error,
                  bool permissionDenied = false);
    // Opens of the adapter succeed with `warning` from now on (empty: none).
    void WarnOnOpen(const std::string& systemName, const std::string& warning);
    // The link type the adapter's sessions report (Ethernet unless set).
    void SetLinkType(const std::string& systemName, int linkType);
    // The listing says the adapter does not open as Ethernet (as the real
    // library's pseudo-devices and tunnels).
    void ListAsNotEthernet(const std::string& systemName);
    // How long a read waits for an event before it reports a timeout. The
    // real library's 1000 ms by default; BreakLoop ends a wait at once.
    void SetReadTimeout(int milliseconds);

    // Events, read in order by the adapter's session (the queue outlives
    // sessions: events not read by one session are read by the next).
    void PushFrame(const std::string& systemName, std::vector<uint8_t> bytes, uint32_t len = 0,
                   uint32_t tvSec = 0, uint32_t tvUsec = 0);
    void PushFrames(const std::string& systemName, const std::vector<uint8_t>& bytes, int count);
    void PushTimeout(const std::string& systemName);
    void PushReadError(const std::string& systemName, const std::string& text);
    void PushEnd(const std::string& systemName);
    // The kernel drops `count` frames: the session's drop count rises when
    // it reads this event (which yields nothing by itself).
    void PushKernelDrops(const std::string& systemName, uint64_t count);

    // Waits until the adapter's queue is empty (all events read) or the
    // timeout passes; true when it is empty.
    bool WaitUntilRead(const std::string& systemName, int timeoutMs = 10000);
    // Number of sessions ever opened, and currently open, on the adapter.
    int OpenCount(const std::string& systemName) const;
    int OpenSessions(const std::string& systemName) const;
    // Events read so far from the adapter's queue.
    uint64_t ReadCount(const std::string& systemName) const;
    // The options of the adapter's last open.
    LiveOptions LastOptions(const std::string& systemName) const;

    bool FindAllDevices(std::vector<PcapDevice>& devices, std::string& error) override;
    std::unique_ptr<PcapSession> OpenLive(const std::string& name, const LiveOptions& options,
                                          std::string& message, bool& permissionDenied) override;

private:
    class Session;
    struct Event {
        enum class Kind { Frame, Timeout, Error, End, Drops } kind;
        std::vector<uint8_t> bytes;
        PacketHeader header;
        std::string text;
        uint64_t drops = 0;
    };
    struct Adapter {
        PcapDevice device;
        bool listed = true;
        std::string openError;
        bool openDenied = false;
        std::string openWarning;
        LiveOptions lastOptions;
        int linkType = kLinkTypeEthernet;
        std::deque<Event> events;
        int opened = 0;
        int open = 0;
        uint64_t read = 0;
    };
    Adapter& At(const std::string& systemName);  // lock held; creates if missing

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_order;  // system names in list order
    std::map<std::string, Adapter> m_adapters;
    std::string m_listingError;
    int m_readTimeoutMs = 1000;
};

}  // namespace kestrel
