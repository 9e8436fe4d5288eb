// TCP header, checksum over the IPv4 pseudo-header, options and payload
// (RFC 9293; options of RFC 7323 and RFC 2018).
//
// Bytes not captured: a field whose bytes were not all captured is not shown
// and the section stops there; the heading keeps the header length it
// declares; a checksum over bytes not all captured shows "(未検証)" and
// decoding goes on; the payload lists only captured bytes. A length-carrying
// option whose length is below 2 would not advance: it ends the walk.
#include <cstdint>

#include "core/text_helpers.h"
#include "decode/decoders.h"

namespace kestrel {

namespace {

constexpr int kFixedHeaderLength = 20;
constexpr uint16_t kReservedMask = 0x0FC0;
constexpr uint16_t kFlagsMask = 0x3F;
constexpr uint8_t kOptionEndOfList = 0;
constexpr uint8_t kOptionNop = 1;
constexpr uint8_t kOptionMss = 2;
constexpr uint8_t kOptionWindowScale = 3;
constexpr uint8_t kOptionSackPermitted = 4;
constexpr uint8_t kOptionSack = 5;
constexpr uint8_t kOptionTimestamp = 8;
constexpr int kMinimumOptionLength = 2;
constexpr int kSackBlockLength = 8;
constexpr int kTimestampAdvance = 10;

enum class Walk { Next, Stop, Cut };

struct OptionStep {
    Walk walk = Walk::Next;
    int next = 0;
};

// One option at `o`: its items and where the walk goes on.
OptionStep AddOption(DecodeTree& tree, const ByteReader& frame, int section, int o) {
    const size_t at = static_cast<size_t>(o);
    const auto kind = frame.U8(at);
    if (!kind)
        return {Walk::Cut, o};
    switch (*kind) {
        case kOptionEndOfList:
            // Padding after the end of the list is shown as further kind-0 items.
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 0 (ｵﾌﾟｼｮﾝﾘｽﾄの終わり) 】");
            return {Walk::Next, o + 1};
        case kOptionNop:
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 1 (ﾉｰｵﾍﾟﾚｰｼｮﾝ) 】");
            return {Walk::Next, o + 1};
        case kOptionMss:
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 2 (最大ｾｸﾞﾒﾝﾄｻｲｽﾞｵﾌﾟｼｮﾝ) 】");
            break;
        case kOptionWindowScale:
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 3 (ｳｨﾝﾄﾞｳｽｹｰﾙｵﾌﾟｼｮﾝ) 】");
            break;
        case kOptionSackPermitted:
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 4 (SACK許可ｵﾌﾟｼｮﾝ) 】");
            break;
        case kOptionSack:
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 5 (SACKｵﾌﾟｼｮﾝ) 】");
            break;
        case kOptionTimestamp:
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 8 (ﾀｲﾑｽﾀﾝﾌﾟｵﾌﾟｼｮﾝ) 】");
            break;
        default:
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝの種類 】【 %d 】", *kind);
            break;
    }
    const auto length = frame.U8(at + 1);
    if (!length)
        return {Walk::Cut, o};
    const int l = *length;
    tree.AddField(section, o + 1, 1, "【 ｵﾌﾟｼｮﾝの長さ 】【 %d ﾊﾞｲﾄ 】", l);

    if (*kind == kOptionSack) {
        // Blocks advance by what is shown, not by the length.
        const int k = l < kMinimumOptionLength ? 0 : (l - kMinimumOptionLength) / kSackBlockLength;
        for (int i = 1; i <= k; ++i) {
            const int a = o + 2 + kSackBlockLength * (i - 1);
            const auto left = frame.Be32(static_cast<size_t>(a));
            if (!left)
                return {Walk::Cut, o};
            tree.AddField(section, a, 4, "【 %d番目のﾌﾞﾛｯｸ左端 】【 %d 】", i,
                          static_cast<int32_t>(*left));
            const auto right = frame.Be32(static_cast<size_t>(a) + 4);
            if (!right)
                return {Walk::Cut, o};
            tree.AddField(section, a + 4, 4, "【 %d番目のﾌﾞﾛｯｸ右端 】【 %d 】", i,
                          static_cast<int32_t>(*right));
        }
        return {Walk::Next, o + 2 + kSackBlockLength * k};
    }
    if (*kind == kOptionTimestamp) {
        const auto value = frame.Be32(at + 2);
        if (!value)
            return {Walk::Cut, o};
        tree.AddField(section, o + 2, 4, "【 TS値 】【 %d 】", static_cast<int32_t>(*value));
        const auto echo = frame.Be32(at + 6);
        if (!echo)
            return {Walk::Cut, o};
        tree.AddField(section, o + 6, 4, "【 TSｴｺｰ応答 】【 %d 】", static_cast<int32_t>(*echo));
        return {Walk::Next, o + kTimestampAdvance};
    }
    if (l < kMinimumOptionLength) {
        return {Walk::Stop, o};
    }
    if (*kind == kOptionMss) {
        const auto mss = frame.Be16(at + 2);
        if (!mss)
            return {Walk::Cut, o};
        tree.AddField(section, o + 2, 2, "【 最大ｾｸﾞﾒﾝﾄｻｲｽﾞ 】【 %d ﾊﾞｲﾄ 】", *mss);
    } else if (*kind == kOptionWindowScale) {
        const auto shift = frame.U8(at + 2);
        if (!shift)
            return {Walk::Cut, o};
        tree.AddField(section, o + 2, 1, "【 ｼﾌﾄｶｳﾝﾄ 】【 %d 】", *shift);
    }
    return {Walk::Next, o + l};
}

}  // namespace

void DecodeTcp(DecodeTree& tree, const ByteReader& frame, int s) {
    const size_t at = static_cast<size_t>(s);
    if (!Captured(frame, s, 1))
        return;
    const auto offsetByte = frame.U8(at + 12);
    // The declared header length; the fixed 20 bytes while it is not captured.
    const int t = offsetByte ? (*offsetByte >> 4) * 4 : kFixedHeaderLength;
    const int section = tree.AddSection("【 TCPﾍｯﾀﾞ 】", DecodeTree::kSlotTransport, s, t);

    if (!AddPorts(tree, frame, section, s))
        return;
    const auto sequence = frame.Be32(at + 4);
    if (!sequence)
        return;
    tree.AddField(section, s + 4, 4, "【 ｼｰｹﾝｽ番号 】【 %lu 】",
                  static_cast<unsigned long>(*sequence));
    const auto acknowledgement = frame.Be32(at + 8);
    if (!acknowledgement)
        return;
    tree.AddField(section, s + 8, 4, "【 確認応答番号 】【 %lu 】",
                  static_cast<unsigned long>(*acknowledgement));
    if (!offsetByte)
        return;
    tree.AddField(section, s + 12, 1, "【 ﾃﾞｰﾀｵﾌｾｯﾄ 】【 %d ﾊﾞｲﾄ 】", t);
    const auto word = frame.Be16(at + 12);
    if (!word)
        return;
    // The reserved bits are shown in place, not shifted down.
    tree.AddField(section, s + 12, 2, "【 予約 】【 %d 】", *word & kReservedMask);
    const int f = *word & kFlagsMask;
    tree.AddField(section, s + 13, 1,
                  "【 ﾌﾗｸﾞ 】【 %d [URG %d] [ACK %d] [PSH %d] [RST %d] [SYN %d] [FIN %d] 】", f,
                  f >> 5 & 1, f >> 4 & 1, f >> 3 & 1, f >> 2 & 1, f >> 1 & 1, f & 1);
    const auto window = frame.Be16(at + 14);
    if (!window)
        return;
    tree.AddField(section, s + 14, 2, "【 ｳｨﾝﾄﾞｳ 】【 %d ﾊﾞｲﾄ 】", *window);
    const auto checksum = frame.Be16(at + 16);
    if (!checksum)
        return;
    const int h = tree.IpHeaderLength();
    const auto sum = TransportChecksum(frame, static_cast<size_t>(s - h),
                                       static_cast<uint16_t>(tree.IpTotalLength() - h));
    tree.AddField(section, s + 16, 2, "【 ﾁｪｯｸｻﾑ 】【 %d %s 】", *checksum,
                  !sum        ? kChecksumUnverified
                  : *sum == 0 ? kChecksumOk
                              : kChecksumBad);
    const auto urgent = frame.Be16(at + 18);
    if (!urgent)
        return;
    tree.AddField(section, s + 18, 2, "【 緊急ﾎﾟｲﾝﾀ 】【 %d 】", *urgent);

    int o = s + kFixedHeaderLength;
    if (t > kFixedHeaderLength) {
        const int options = tree.AddItem("【 TCPｵﾌﾟｼｮﾝ 】", section);
        tree.AddItemRange(options, s + kFixedHeaderLength, t - kFixedHeaderLength);
        while (o < s + t) {
            const OptionStep step = AddOption(tree, frame, options, o);
            if (step.walk == Walk::Cut)
                return;
            if (step.walk == Walk::Stop) {
                // The payload still begins where the header says it does.
                o = s + t;
                break;
            }
            o = step.next;
        }
    }
    // Taken as 16 bits like the field; a wrapped length lists only what was captured.
    const uint16_t payload = static_cast<uint16_t>(tree.IpTotalLength() - h - t);
    if (payload != 0) {
        tree.AddDataSection(frame, o, payload);
    }
}

}  // namespace kestrel
