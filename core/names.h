// Constant tables that turn protocol numbers into the names the views show.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kestrel {

// IANA keywords of the assigned Internet protocol numbers (0-255).
extern const std::array<std::string_view, 256> IpProtocolNames;
// ICMP message type names for types 0-254; unnamed types hold "".
extern const std::array<std::string_view, 255> IcmpTypeNames;
// ARP operation codes 0-23 (0 is "").
extern const std::array<std::string_view, 24> ArpOperationNames;
// IPv4 precedence (type-of-service byte >> 5).
extern const std::array<std::string_view, 8> PrecedenceNames;
// IPv4 option classes ((option type >> 5) & 3).
extern const std::array<std::string_view, 4> IpOptionClassNames;

// Type 255 has no row in IcmpTypeNames; it is shown with an empty name.
inline std::string_view IcmpTypeName(uint8_t type) {
    return type < IcmpTypeNames.size() ? IcmpTypeNames[type] : std::string_view();
}

}  // namespace kestrel
