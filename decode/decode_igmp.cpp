// IGMP version 1 and 2 messages: type, response time, checksum and group
// address (RFC 1112, RFC 2236).
//
// Bytes not captured: a field whose bytes were not all captured is not shown
// and the section stops there; a checksum over bytes not all captured shows
// "(未検証)" and decoding goes on.
#include <cstdint>

#include "core/text_helpers.h"
#include "decode/decoders.h"

namespace kestrel {

namespace {

constexpr int kMessageLength = 8;
constexpr uint8_t kTypeQuery = 0x11;
constexpr uint8_t kTypeV1Report = 0x12;
constexpr uint8_t kTypeV2Report = 0x16;
constexpr uint8_t kTypeLeave = 0x17;
constexpr int kResponseTimeUnitMs = 100;

}  // namespace

void DecodeIgmp(DecodeTree& tree, const ByteReader& frame, int s) {
    const size_t at = static_cast<size_t>(s);
    const auto type = frame.U8(at);
    if (!type)
        return;
    const int section =
        tree.AddSection("【 IGMPﾒｯｾｰｼﾞ 】", DecodeTree::kSlotTransport, s, kMessageLength);
    const uint8_t t = *type;
    const char* version = "1";
    const char* typeText = nullptr;
    switch (t) {
        // A query is always shown as a version 1 message.
        case kTypeQuery:
            typeText = "1 (ﾎｽﾄﾒﾝﾊﾞｼｯﾌﾟｸｴﾘ)";
            break;
        case kTypeV1Report:
            typeText = "2 (ﾎｽﾄﾒﾝﾊﾞｼｯﾌﾟﾚﾎﾟｰﾄ)";
            break;
        case kTypeV2Report:
            version = "2";
            typeText = "22 (ﾎｽﾄﾒﾝﾊﾞｼｯﾌﾟﾚﾎﾟｰﾄ)";
            break;
        case kTypeLeave:
            version = "2";
            typeText = "23 (ｸﾞﾙｰﾌﾟ離脱ﾒｯｾｰｼﾞ)";
            break;
        default:
            tree.AddField(section, s, 1, "【 ﾀｲﾌﾟ 】【 %d (以降解析不可) 】", t);
            return;
    }
    tree.AddField(section, s, 1, "【 ﾊﾞｰｼﾞｮﾝ 】【 %s 】", version);
    tree.AddField(section, s, 1, "【 ﾀｲﾌﾟ 】【 %s 】", typeText);
    const auto second = frame.U8(at + 1);
    if (!second)
        return;
    if (t == kTypeQuery || t == kTypeV1Report) {
        tree.AddField(section, s + 1, 1, "【 未使用 】【 %d 】", *second);
    } else {
        tree.AddField(section, s + 1, 1, "【 最大応答時間 】【 %d (%dﾐﾘ秒) 】", *second,
                      *second * kResponseTimeUnitMs);
    }
    const auto checksum = frame.Be16(at + 2);
    if (!checksum)
        return;
    const auto message = frame.Bytes(at, kMessageLength);
    const char* verdict = !message                          ? kChecksumUnverified
                          : InternetChecksum(*message) == 0 ? kChecksumOk
                                                            : kChecksumBad;
    tree.AddField(section, s + 2, 2, "【 ﾁｪｯｸｻﾑ 】【 %d %s 】", *checksum, verdict);
    const auto group = frame.Bytes(at + 4, 4);
    if (!group)
        return;
    tree.AddField(section, s + 4, 4, "【 ｸﾞﾙｰﾌﾟｱﾄﾞﾚｽ 】【 %d.%d.%d.%d 】", (*group)[0], (*group)[1],
                  (*group)[2], (*group)[3]);
}

}  // namespace kestrel
