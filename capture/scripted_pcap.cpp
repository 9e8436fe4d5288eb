#include "capture/scripted_pcap.h"

#include <chrono>

namespace kestrel {

class ScriptedPcap::Session : public PcapSession {
public:
    Session(std::shared_ptr<ScriptedPcap> owner, std::string name, int linkType, int snapLength)
        : m_owner(std::move(owner)), m_name(std::move(name)), m_linkType(linkType),
          m_snapLength(snapLength) {}
    ~Session() override {
        std::lock_guard<std::mutex> hold(m_owner->m_lock);
        --m_owner->At(m_name).open;
        m_owner->m_changed.notify_all();
    }

    int DataLink() override { return m_linkType; }

    int Next(PacketHeader& header, const uint8_t*& data) override {
        std::unique_lock<std::mutex> hold(m_owner->m_lock);
        Adapter& adapter = m_owner->At(m_name);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(m_owner->m_readTimeoutMs);
        Event event;
        do {
            while (adapter.events.empty() && !m_break) {
                if (m_owner->m_changed.wait_until(hold, deadline) == std::cv_status::timeout)
                    break;
            }
            if (m_break) {
                m_break = false;
                return -2;
            }
            if (adapter.events.empty())
                return 0;
            event = std::move(adapter.events.front());
            adapter.events.pop_front();
            ++adapter.read;
            m_owner->m_changed.notify_all();
            if (event.kind == Event::Kind::Drops)
                m_drops += event.drops;
        } while (event.kind == Event::Kind::Drops);
        switch (event.kind) {
            case Event::Kind::Drops:
            case Event::Kind::Timeout: return 0;
            case Event::Kind::Error: m_error = event.text; return -1;
            case Event::Kind::End: return -2;
            case Event::Kind::Frame: break;
        }
        m_frame = std::move(event.bytes);
        header = event.header;
        // The library cuts frames to the snapshot length.
        if (header.caplen > static_cast<uint32_t>(m_snapLength)) {
            header.caplen = static_cast<uint32_t>(m_snapLength);
            m_frame.resize(header.caplen);
        }
        data = m_frame.data();
        return 1;
    }

    const char* ErrorText() override { return m_error.c_str(); }

    bool KernelDrops(uint64_t& dropped) override {
        std::lock_guard<std::mutex> hold(m_owner->m_lock);
        dropped = m_drops;
        return true;
    }

    void BreakLoop() override {
        std::lock_guard<std::mutex> hold(m_owner->m_lock);
        m_break = true;
        m_owner->m_changed.notify_all();
    }

private:
    std::shared_ptr<ScriptedPcap> m_owner;
    std::string m_name;
    int m_linkType;
    int m_snapLength;
    bool m_break = false;  // guarded by the owner's lock
    uint64_t m_drops = 0;  // guarded by the owner's lock
    std::vector<uint8_t> m_frame;
    std::string m_error;
};

PcapAddressEntry ScriptedPcap::Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    PcapAddressEntry entry;
    entry.family = PcapAddressEntry::Family::Ipv4;
    entry.ipv4 = {a, b, c, d};
    return entry;
}
PcapAddressEntry ScriptedPcap::Ipv6() { return {PcapAddressEntry::Family::Ipv6, {}}; }
PcapAddressEntry ScriptedPcap::LinkLayer() { return {PcapAddressEntry::Family::LinkLayer, {}}; }
PcapAddressEntry ScriptedPcap::NoAddress() { return {PcapAddressEntry::Family::None, {}}; }

ScriptedPcap::Adapter& ScriptedPcap::At(const std::string& systemName) {
    auto it = m_adapters.find(systemName);
    if (it == m_adapters.end()) {
        it = m_adapters.try_emplace(systemName).first;
        it->second.device.name = systemName;
        it->second.listed = false;
    }
    return it->second;
}

void ScriptedPcap::AddAdapter(const std::string& systemName, std::vector<PcapAddressEntry> addresses,
                              std::optional<std::string> description) {
    std::lock_guard<std::mutex> hold(m_lock);
    Adapter& adapter = At(systemName);
    adapter.device.addresses = std::move(addresses);
    adapter.device.description = std::move(description);
    adapter.listed = true;
    m_order.push_back(systemName);
}

void ScriptedPcap::RemoveAdapter(const std::string& systemName) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).listed = false;
}

void ScriptedPcap::FailListing(const std::string& error) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_listingError = error;
}

void ScriptedPcap::FailOpen(const std::string& systemName, const std::string& error,
                            bool permissionDenied) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).openError = error;
    At(systemName).openDenied = permissionDenied;
}

void ScriptedPcap::WarnOnOpen(const std::string& systemName, const std::string& warning) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).openWarning = warning;
}

void ScriptedPcap::SetLinkType(const std::string& systemName, int linkType) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).linkType = linkType;
}

void ScriptedPcap::ListAsNotEthernet(const std::string& systemName) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).device.ethernet = false;
}

void ScriptedPcap::SetReadTimeout(int milliseconds) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_readTimeoutMs = milliseconds;
}

void ScriptedPcap::PushFrame(const std::string& systemName, std::vector<uint8_t> bytes, uint32_t len,
                             uint32_t tvSec, uint32_t tvUsec) {
    Event event{Event::Kind::Frame, std::move(bytes), {}, {}};
    event.header.caplen = static_cast<uint32_t>(event.bytes.size());
    event.header.len = len ? len : event.header.caplen;
    event.header.tv_sec = tvSec;
    event.header.tv_usec = tvUsec;
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).events.push_back(std::move(event));
    m_changed.notify_all();
}

void ScriptedPcap::PushFrames(const std::string& systemName, const std::vector<uint8_t>& bytes,
                              int count) {
    std::lock_guard<std::mutex> hold(m_lock);
    Adapter& adapter = At(systemName);
    for (int i = 0; i < count; ++i) {
        Event event{Event::Kind::Frame, bytes, {}, {}};
        event.header.caplen = event.header.len = static_cast<uint32_t>(bytes.size());
        event.header.tv_sec = static_cast<uint32_t>(i);
        adapter.events.push_back(std::move(event));
    }
    m_changed.notify_all();
}

void ScriptedPcap::PushTimeout(const std::string& systemName) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).events.push_back(Event{Event::Kind::Timeout, {}, {}, {}});
    m_changed.notify_all();
}

void ScriptedPcap::PushReadError(const std::string& systemName, const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).events.push_back(Event{Event::Kind::Error, {}, {}, text});
    m_changed.notify_all();
}

void ScriptedPcap::PushEnd(const std::string& systemName) {
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).events.push_back(Event{Event::Kind::End, {}, {}, {}});
    m_changed.notify_all();
}

void ScriptedPcap::PushKernelDrops(const std::string& systemName, uint64_t count) {
    Event event{Event::Kind::Drops, {}, {}, {}, count};
    std::lock_guard<std::mutex> hold(m_lock);
    At(systemName).events.push_back(std::move(event));
    m_changed.notify_all();
}

bool ScriptedPcap::WaitUntilRead(const std::string& systemName, int timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [&] { return At(systemName).events.empty(); });
}

int ScriptedPcap::OpenCount(const std::string& systemName) const {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_adapters.find(systemName);
    return it == m_adapters.end() ? 0 : it->second.opened;
}

int ScriptedPcap::OpenSessions(const std::string& systemName) const {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_adapters.find(systemName);
    return it == m_adapters.end() ? 0 : it->second.open;
}

uint64_t ScriptedPcap::ReadCount(const std::string& systemName) const {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_adapters.find(systemName);
    return it == m_adapters.end() ? 0 : it->second.read;
}

LiveOptions ScriptedPcap::LastOptions(const std::string& systemName) const {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_adapters.find(systemName);
    return it == m_adapters.end() ? LiveOptions{} : it->second.lastOptions;
}

bool ScriptedPcap::FindAllDevices(std::vector<PcapDevice>& devices, std::string& error) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_listingError.empty()) {
        error = m_listingError;
        return false;
    }
    devices.clear();
    for (const std::string& name : m_order) {
        const Adapter& adapter = m_adapters.at(name);
        if (adapter.listed) devices.push_back(adapter.device);
    }
    return true;
}

std::unique_ptr<PcapSession> ScriptedPcap::OpenLive(const std::string& name,
                                                    const LiveOptions& options,
                                                    std::string& message, bool& permissionDenied) {
    std::lock_guard<std::mutex> hold(m_lock);
    permissionDenied = false;
    Adapter& adapter = At(name);
    adapter.lastOptions = options;
    if (!adapter.listed) {
        message = name + ": No such device exists";
        return nullptr;
    }
    if (!adapter.openError.empty()) {
        message = adapter.openError;
        permissionDenied = adapter.openDenied;
        return nullptr;
    }
    message = adapter.openWarning;
    ++adapter.opened;
    ++adapter.open;
    return std::make_unique<Session>(shared_from_this(), name, adapter.linkType,
                                     options.snapLength);
}

}  // namespace kestrel
