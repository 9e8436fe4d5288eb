// ARP over Ethernet with 6-byte hardware and 4-byte protocol addresses (RFC 826).
//
// Bytes not captured: a field whose bytes were not all captured is not shown
// and the section stops there; the heading keeps its range of 28 bytes.
#include "decode/decoders.h"

namespace kestrel {

namespace {

constexpr int kArpLength = 28;
constexpr int kHardwareTypeOffset = 0;
constexpr int kProtocolTypeOffset = 2;
constexpr int kHardwareSizeOffset = 4;
constexpr int kProtocolSizeOffset = 5;
constexpr int kOperationOffset = 6;
constexpr int kSenderMacOffset = 8;
constexpr int kSenderIpOffset = 14;
constexpr int kTargetMacOffset = 18;
constexpr int kTargetIpOffset = 24;
constexpr int kMacLength = 6;
constexpr int kIpLength = 4;

// Each step adds one item and tells whether its bytes were there.
bool AddMac(DecodeTree& tree, const ByteReader& frame, int section, const char* name, int at) {
    const auto mac = frame.Bytes(static_cast<size_t>(at), kMacLength);
    if (!mac)
        return false;
    const auto& m = *mac;
    tree.AddField(section, at, kMacLength, "【 %s 】【 %02X-%02X-%02X-%02X-%02X-%02X 】", name,
                  m[0], m[1], m[2], m[3], m[4], m[5]);
    return true;
}

bool AddIp(DecodeTree& tree, const ByteReader& frame, int section, const char* name, int at) {
    const auto ip = frame.Bytes(static_cast<size_t>(at), kIpLength);
    if (!ip)
        return false;
    const auto& a = *ip;
    tree.AddField(section, at, kIpLength, "【 %s 】【 %d.%d.%d.%d 】", name, a[0], a[1], a[2],
                  a[3]);
    return true;
}

}  // namespace

int DecodeArp(DecodeTree& tree, const ByteReader& frame, int a) {
    const int end = a + kArpLength;
    if (!Captured(frame, a, 1))
        return end;
    const int section = tree.AddSection("【 ARP 】", DecodeTree::kSlotNetwork, a, kArpLength);
    const size_t at = static_cast<size_t>(a);

    const auto hardware = frame.Be16(at + kHardwareTypeOffset);
    if (!hardware)
        return end;
    tree.AddField(section, a + kHardwareTypeOffset, 2, "【 ﾊｰﾄﾞｳｪｱﾀｲﾌﾟ 】【 %d 】", *hardware);
    const auto protocol = frame.Be16(at + kProtocolTypeOffset);
    if (!protocol)
        return end;
    tree.AddField(section, a + kProtocolTypeOffset, 2, "【 ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ 】【 %d 】", *protocol);
    const auto hardwareSize = frame.U8(at + kHardwareSizeOffset);
    if (!hardwareSize)
        return end;
    tree.AddField(section, a + kHardwareSizeOffset, 1, "【 ﾊｰﾄﾞｳｪｱｱﾄﾞﾚｽ長 】【 %d 】",
                  *hardwareSize);
    const auto protocolSize = frame.U8(at + kProtocolSizeOffset);
    if (!protocolSize)
        return end;
    tree.AddField(section, a + kProtocolSizeOffset, 1, "【 ﾌﾟﾛﾄｺﾙｱﾄﾞﾚｽ長 】【 %d 】",
                  *protocolSize);
    const auto operation = frame.Be16(at + kOperationOffset);
    if (!operation)
        return end;
    tree.AddField(section, a + kOperationOffset, 2, "【 ｵﾍﾟﾚｰｼｮﾝ 】【 0x%04X 】", *operation);

    // The layout is fixed whatever the two size fields say.
    AddMac(tree, frame, section, "発信元ﾊｰﾄﾞｳｪｱｱﾄﾞﾚｽ", a + kSenderMacOffset) &&
        AddIp(tree, frame, section, "発信元ﾌﾟﾛﾄｺﾙｱﾄﾞﾚｽ", a + kSenderIpOffset) &&
        AddMac(tree, frame, section, "ﾀｰｹﾞｯﾄﾊｰﾄﾞｳｪｱｱﾄﾞﾚｽ", a + kTargetMacOffset) &&
        AddIp(tree, frame, section, "ﾀｰｹﾞｯﾄﾌﾟﾛﾄｺﾙｱﾄﾞﾚｽ", a + kTargetIpOffset);
    return end;
}

}  // namespace kestrel
