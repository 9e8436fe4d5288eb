#include "core/row_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "core/byte_reader.h"
#include "core/local_time.h"
#include "core/text_helpers.h"

namespace kestrel {

const std::array<ColumnSpec, kColumnCount> kRowColumns = {{
    {"No.", 40},
    {"Time", 60},
    {"SrcMAC", 100},
    {"DstMAC", 100},
    {"TYPE", 50},
    {"Length", 50},
    {"Protocol", 150},
    {"SrcIP", 90},
    {"DstIP", 90},
    {"SrcPort", 60},
    {"DstPort", 60},
}};

Rgb RowColour(RowKind kind) {
    switch (kind) {
        case RowKind::Icmp: return {128, 128, 128};
        case RowKind::Igmp: return {128, 128, 255};
        case RowKind::Tcp: return {0, 128, 255};
        case RowKind::Udp: return {128, 255, 128};
        case RowKind::Arp: return {255, 128, 128};
        case RowKind::Other: break;
    }
    return {255, 255, 255};
}

namespace {

std::string Decimal(long long value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string MacText(const MacAddress& mac) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text(12, '0');
    for (size_t i = 0; i < 6; ++i) {
        text[2 * i] = kHex[mac[i] >> 4];
        text[2 * i + 1] = kHex[mac[i] & 0xF];
    }
    return text;
}

RowKind KindOfProtocol(uint8_t protocol) {
    switch (protocol) {
        case kIpProtocolIcmp: return RowKind::Icmp;
        case kIpProtocolIgmp: return RowKind::Igmp;
        case kIpProtocolTcp: return RowKind::Tcp;
        case kIpProtocolUdp: return RowKind::Udp;
        default: return RowKind::Other;
    }
}

// "HH:MM:SS" of the local time of `seconds`; empty when it cannot be converted.
std::string LocalClockText(uint64_t seconds, LocalTimeCache* times) {
    std::tm tm{};
    if (!(times ? times->ToLocalCalendar(seconds, tm) : ToLocalCalendar(seconds, tm)))
        return {};
    const auto digits = [](int value, char* out) {
        // A leap second shows as 60; nothing wider comes from the C library.
        value = std::clamp(value, 0, 99);
        out[0] = static_cast<char>('0' + value / 10);
        out[1] = static_cast<char>('0' + value % 10);
    };
    char text[8] = {0, 0, ':', 0, 0, ':', 0, 0};
    digits(tm.tm_hour, text);
    digits(tm.tm_min, text + 3);
    digits(tm.tm_sec, text + 6);
    return std::string(text, sizeof text);
}

}  // namespace

RowTexts BuildRowTexts(const Packet& packet, int number, LocalTimeCache* times) {
    RowTexts row;
    auto& c = row.cells;
    const ByteReader frame(packet);
    c[kColumnNumber] = Decimal(number);
    if (packet.header) {
        c[kColumnTime] = LocalClockText(packet.header->tv_sec, times);
        c[kColumnLength] = Decimal(packet.header->caplen);
    }
    std::optional<MacAddress> source, destination;
    const int type = SplitEthernetHeader(frame, source, destination);
    if (source) c[kColumnSourceMac] = MacText(*source);
    if (destination) c[kColumnDestinationMac] = MacText(*destination);
    if (type < 0) {
        return row;
    }
    switch (type) {
        case kEtherTypeIp: {
            c[kColumnType] = "IP";
            IpSummary ip = SummarizeIpPacket(frame);
            if (ip.protocol) row.kind = KindOfProtocol(*ip.protocol);
            c[kColumnProtocol] = std::move(ip.text);
            if (ip.source) c[kColumnSourceIp] = FormatIpv4(*ip.source);
            if (ip.destination) c[kColumnDestinationIp] = FormatIpv4(*ip.destination);
            if (ip.protocol == kIpProtocolTcp || ip.protocol == kIpProtocolUdp) {
                if (ip.sourcePort) c[kColumnSourcePort] = Decimal(*ip.sourcePort);
                if (ip.destinationPort) c[kColumnDestinationPort] = Decimal(*ip.destinationPort);
            }
            row.offersExtractionValues = true;
            break;
        }
        case kEtherTypeArp: {
            row.kind = RowKind::Arp;
            ArpSummary arp = SummarizeArpPacket(frame);
            c[kColumnType] = "ARP(" + arp.text + ")";
            if (arp.sender) c[kColumnSourceIp] = FormatIpv4(*arp.sender);
            if (arp.target) c[kColumnDestinationIp] = FormatIpv4(*arp.target);
            break;
        }
        case kEtherTypeNetBios: c[kColumnType] = "NetBIOS"; break;
        case kEtherTypeRarp: c[kColumnType] = "RARP"; break;
        case kEtherTypeIpx: c[kColumnType] = "IPX"; break;
        default: c[kColumnType] = Decimal(type); break;
    }
    return row;
}

}  // namespace kestrel
