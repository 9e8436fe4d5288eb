// Ethernet II header: destination, source, EtherType, and dispatch to the
// network layer (IEEE 802.3 Ethernet II framing as in RFC 894).
//
// Bytes not captured: a field whose bytes were not all captured is not shown
// and the section stops there; a heading keeps the range its header declares.
#include <cstdint>

#include "core/text_helpers.h"
#include "decode/decoders.h"

namespace kestrel {

namespace {

constexpr int kDestinationOffset = 0;
constexpr int kSourceOffset = 6;
constexpr int kMacLength = 6;
constexpr int kTypeOffset = 12;
constexpr int kTypeLength = 2;
constexpr int kHeaderLength = static_cast<int>(kEthernetHeaderLength);

void AddMac(DecodeTree& tree, int section, const char* name, std::span<const uint8_t> mac,
            int first) {
    tree.AddField(section, first, kMacLength, "【 %s 】【 %02X-%02X-%02X-%02X-%02X-%02X 】", name,
                  mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

}  // namespace

int DecodeEthernet(DecodeTree& tree, const ByteReader& frame) {
    const int end = static_cast<int>(frame.Size());
    const int section = tree.AddSection("【 MAC層 】", DecodeTree::kSlotMac, 0, kHeaderLength);
    const auto destination = frame.Bytes(kDestinationOffset, kMacLength);
    if (!destination)
        return end;
    AddMac(tree, section, "宛て先MACｱﾄﾞﾚｽ", *destination, kDestinationOffset);
    const auto source = frame.Bytes(kSourceOffset, kMacLength);
    if (!source)
        return end;
    AddMac(tree, section, "送信元MACｱﾄﾞﾚｽ", *source, kSourceOffset);
    const auto type = frame.Be16(kTypeOffset);
    if (!type)
        return end;

    const char* name = nullptr;
    switch (*type) {
        case kEtherTypeIp:
            name = "IP";
            break;
        case kEtherTypeArp:
            name = "ARP";
            break;
        case kEtherTypeNetBios:
            name = "NetBIOS";
            break;
        case kEtherTypeRarp:
            name = "RARP";
            break;
        case kEtherTypeIpx:
            name = "IPX";
            break;
        default:
            break;
    }
    if (name) {
        tree.AddField(section, kTypeOffset, kTypeLength, "【 ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ 】【 0x%04X (%s) 】", *type,
                      name);
    } else {
        tree.AddField(section, kTypeOffset, kTypeLength, "【 ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ 】【 0x%04X 】", *type);
    }

    // The one dispatch point of the network layer. RARP, NetBIOS, IPX and
    // everything else are listed as Ethernet data from offset 14.
    switch (*type) {
        case kEtherTypeIp:
            return DecodeIp(tree, frame, kHeaderLength);
        case kEtherTypeArp:
            return DecodeArp(tree, frame, kHeaderLength);
        default:
            return kHeaderLength;
    }
}

}  // namespace kestrel
