#include "capture/device_names.h"

#include <cstdio>
#include <unordered_set>

namespace kestrel {
namespace {

// Cuts a text to at most `limit` bytes without splitting a UTF-8 sequence.
std::string Limited(std::string text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

}  // namespace

const char* IpToText(uint32_t address) {
    thread_local char buffers[12][16];
    thread_local uint16_t last = 0;
    last = static_cast<uint16_t>((last + 1) % 12);
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(address >> (8 * i));
    std::snprintf(buffers[last], sizeof buffers[last], "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2],
                  bytes[3]);
    return buffers[last];
}

std::string GetDeviceDisplayName(const PcapDevice& device) {
    std::string text;
    for (const PcapAddressEntry& entry : device.addresses) {
        if (entry.family != PcapAddressEntry::Family::Ipv4) continue;
        const uint32_t address = static_cast<uint32_t>(entry.ipv4[0]) |
                                 static_cast<uint32_t>(entry.ipv4[1]) << 8 |
                                 static_cast<uint32_t>(entry.ipv4[2]) << 16 |
                                 static_cast<uint32_t>(entry.ipv4[3]) << 24;
        const std::string piece = IpToText(address);
        if (text.size() + piece.size() > kDisplayNameLimit) break;
        text += piece;
    }
    return text;
}

std::vector<PcapDevice> EthernetDevices(const std::vector<PcapDevice>& devices) {
    std::vector<PcapDevice> kept;
    for (const PcapDevice& device : devices) {
        if (device.ethernet) kept.push_back(device);
    }
    return kept;
}

std::vector<std::string> NameDevices(const std::vector<PcapDevice>& devices) {
    std::vector<std::string> names;
    std::unordered_set<std::string> taken;
    names.reserve(devices.size());
    for (const PcapDevice& device : devices) {
        std::string name = GetDeviceDisplayName(device);
        if (name.empty() && device.description) name = Limited(*device.description, kDisplayNameLimit);
        if (name.empty()) name = Limited(device.name, kDisplayNameLimit);
        if (taken.count(name)) {
            const std::string base = name;
            name = base + " (" + device.name + ")";
            // A system name can repeat only in a scripted list; number it then.
            for (int n = 2; taken.count(name); ++n) {
                name = base + " (" + device.name + " " + std::to_string(n) + ")";
            }
        }
        taken.insert(name);
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace kestrel
