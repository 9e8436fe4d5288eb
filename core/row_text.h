// The eleven cell texts and the colour of one packet list row.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/packet.h"

namespace kestrel {

enum RowColumn : int {
    kColumnNumber = 0,
    kColumnTime,
    kColumnSourceMac,
    kColumnDestinationMac,
    kColumnType,
    kColumnLength,
    kColumnProtocol,
    kColumnSourceIp,
    kColumnDestinationIp,
    kColumnSourcePort,
    kColumnDestinationPort,
    kColumnCount
};

struct ColumnSpec {
    const char* title;
    int width;  // pixels
};
extern const std::array<ColumnSpec, kColumnCount> kRowColumns;

// Frame kinds that give a row its background colour.
enum class RowKind : uint8_t { Other, Icmp, Igmp, Tcp, Udp, Arp };

struct Rgb {
    uint8_t red, green, blue;
    bool operator==(const Rgb&) const = default;
};
Rgb RowColour(RowKind kind);

struct RowTexts {
    std::array<std::string, kColumnCount> cells;
    RowKind kind = RowKind::Other;
    // IPv4 rows offer their non-empty address and port cells to the
    // extraction dialog's value lists; ARP and other rows offer nothing.
    bool offersExtractionValues = false;
};

class LocalTimeCache;

// Cell texts of the packet in row `number` - 1. Cells whose bytes were not
// captured stay empty; nothing beyond caplen is read. Callers building many
// rows at once pass a time cache (one per batch) for the local time cell.
RowTexts BuildRowTexts(const Packet& packet, int number, LocalTimeCache* times = nullptr);

}  // namespace kestrel
