// Display names of adapters: their IPv4 addresses, so users pick adapters by
// address rather than by system name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/pcap_api.h"

namespace kestrel {

// Names hold at most this many bytes (the size of the naming buffer, less
// its terminator).
inline constexpr size_t kDisplayNameLimit = 255;

// "%d.%d.%d.%d" of an address held in network order (first octet in the
// lowest-addressed byte) in one of 12 buffers used in turn: a text stays
// valid until twelve further calls on the same thread.
const char* IpToText(uint32_t address);

// The IPv4 texts of the adapter's address entries, back to back in list
// order. Entries of other families and entries without an address are
// skipped (every Linux adapter lists a link-layer entry first, and IPv6
// entries after the IPv4 ones). Once a text would take the name beyond
// kDisplayNameLimit, it and the texts after it are left out.
std::string GetDeviceDisplayName(const PcapDevice& device);

// The adapters a capture can be started on, in list order: those that open
// as Ethernet. Kestrel reads Ethernet frames only, so the others are never
// offered; the names below are given to these alone.
std::vector<PcapDevice> EthernetDevices(const std::vector<PcapDevice>& devices);

// The names of a whole adapter list, in its order: the address text, else
// the description, else the system name; a name that an earlier adapter
// already has gets " (system name)" appended, so every adapter can be
// reached by its name.
std::vector<std::string> NameDevices(const std::vector<PcapDevice>& devices);

}  // namespace kestrel
