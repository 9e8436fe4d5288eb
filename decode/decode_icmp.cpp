// ICMP for IPv4: type, code, checksum and the fields of echo, unreachable,
// source quench, redirect, router advertisement, time exceeded and parameter
// problem messages (RFC 792, router advertisement of RFC 1256).
//
// Bytes not captured: a field whose bytes were not all captured is not shown
// and the section stops there; a checksum over bytes not all captured shows
// "(未検証)" and decoding goes on; the payload lists only captured bytes.
#include <cstdint>

#include "core/names.h"
#include "core/text_helpers.h"
#include "decode/decoders.h"

namespace kestrel {

namespace {

constexpr int kHeadingLength = 4;
constexpr int kFixedPartLength = 8;
constexpr int kRouterEntryLength = 8;
constexpr uint8_t kTypeEchoReply = 0;
constexpr uint8_t kTypeUnreachable = 3;
constexpr uint8_t kTypeSourceQuench = 4;
constexpr uint8_t kTypeRedirect = 5;
constexpr uint8_t kTypeEcho = 8;
constexpr uint8_t kTypeRouterAdvertisement = 9;
constexpr uint8_t kTypeTimeExceeded = 11;
constexpr uint8_t kTypeParameterProblem = 12;

constexpr const char* kRedirectCodes[] = {
    "【 ｺｰﾄﾞ 】【 0 (特定のﾈｯﾄﾜｰｸ宛のﾃﾞｰﾀｸﾞﾗﾑをﾘﾀﾞｲﾚｸﾄする) 】",
    "【 ｺｰﾄﾞ 】【 1 (特定のﾎｽﾄ宛のﾃﾞｰﾀｸﾞﾗﾑをﾘﾀﾞｲﾚｸﾄする) 】",
    "【 ｺｰﾄﾞ 】【 2 (特定のTOSを要求する特定のﾈｯﾄﾜｰｸ宛のﾃﾞｰﾀｸﾞﾗﾑをﾘﾀﾞｲﾚｸﾄする) 】",
    "【 ｺｰﾄﾞ 】【 3 (特定のTOSを要求する特定のﾎｽﾄ宛のﾃﾞｰﾀｸﾞﾗﾑをﾘﾀﾞｲﾚｸﾄする) 】",
};

// "【 name 】【 %d %d %d %d 】" over the four bytes at `at`.
bool AddFourBytes(DecodeTree& tree, const ByteReader& frame, int section, const char* name,
                  int at) {
    const auto b = frame.Bytes(static_cast<size_t>(at), 4);
    if (!b)
        return false;
    tree.AddField(section, at, 4, "【 %s 】【 %d %d %d %d 】", name, (*b)[0], (*b)[1], (*b)[2],
                  (*b)[3]);
    return true;
}

bool AddDottedQuad(DecodeTree& tree, const ByteReader& frame, int section, const char* format,
                   int index, int at) {
    const auto b = frame.Bytes(static_cast<size_t>(at), 4);
    if (!b)
        return false;
    tree.AddField(section, at, 4, format, index, (*b)[0], (*b)[1], (*b)[2], (*b)[3]);
    return true;
}

}  // namespace

void DecodeIcmp(DecodeTree& tree, const ByteReader& frame, int s) {
    const size_t at = static_cast<size_t>(s);
    const auto type = frame.U8(at);
    if (!type)
        return;
    const int section =
        tree.AddSection("【 ICMPﾍｯﾀﾞ 】", DecodeTree::kSlotTransport, s, kHeadingLength);
    const uint8_t t = *type;
    // Type 255 has no name: it is shown as "()".
    const std::string_view name = IcmpTypeName(t);
    tree.AddField(section, s, 1, "【 ﾀｲﾌﾟ 】【 %d (%.*s) 】", t, static_cast<int>(name.size()),
                  name.data());
    const auto code = frame.U8(at + 1);
    if (!code)
        return;
    if (t == kTypeRedirect && *code < std::size(kRedirectCodes)) {
        tree.AddField(section, s + 1, 1, "%s", kRedirectCodes[*code]);
    } else {
        tree.AddField(section, s + 1, 1, "【 ｺｰﾄﾞ 】【 %d 】", *code);
    }
    const auto checksum = frame.Be16(at + 2);
    if (!checksum)
        return;
    // The checksum covers the whole IP payload as the IP total length declares it.
    const int e = s + (tree.IpTotalLength() - tree.IpHeaderLength());
    const int covered = e - s;
    const char* verdict = kChecksumUnverified;
    if (covered <= 0) {
        verdict = kChecksumBad;  // an empty or negative payload cannot hold a checksum
    } else if (const auto bytes = frame.Bytes(at, static_cast<size_t>(covered))) {
        verdict = InternetChecksum(*bytes) == 0 ? kChecksumOk : kChecksumBad;
    }
    tree.AddField(section, s + 2, 2, "【 ﾁｪｯｸｻﾑ 】【 %d %s 】", *checksum, verdict);
    if (verdict == kChecksumBad)
        return;

    int x = s + kHeadingLength;
    switch (t) {
        case kTypeEchoReply:
        case kTypeEcho: {
            const auto identifier = frame.Be16(at + 4);
            if (!identifier)
                return;
            tree.AddField(section, s + 4, 2, "【 識別子 】【 %d 】", *identifier);
            const auto sequence = frame.Be16(at + 6);
            if (!sequence)
                return;
            tree.AddField(section, s + 6, 2, "【 ｼｰｹﾝｽ番号 】【 %d 】", *sequence);
            x = s + kFixedPartLength;
            break;
        }
        case kTypeUnreachable:
        case kTypeSourceQuench:
            if (!AddFourBytes(tree, frame, section, "未使用", s + 4))
                return;
            x = s + kFixedPartLength;
            break;
        case kTypeRedirect: {
            const auto b = frame.Bytes(at + 4, 4);
            if (!b)
                return;
            tree.AddField(section, s + 4, 4, "【 ﾙｰﾀｰIPｱﾄﾞﾚｽ 】【 %d.%d.%d.%d 】", (*b)[0], (*b)[1],
                          (*b)[2], (*b)[3]);
            x = s + kFixedPartLength;
            break;
        }
        case kTypeRouterAdvertisement: {
            const auto count = frame.U8(at + 4);
            if (!count)
                return;
            tree.AddField(section, s + 4, 1, "【 ｱﾄﾞﾚｽ数 】【 %d 】", *count);
            const auto entrySize = frame.U8(at + 5);
            if (!entrySize)
                return;
            tree.AddField(section, s + 5, 1, "【 ｱﾄﾞﾚｽｴﾝﾄﾘｻｲｽﾞ 】【 %d 】", *entrySize);
            const auto lifetime = frame.Be16(at + 6);
            if (!lifetime)
                return;
            tree.AddField(section, s + 6, 2, "【 寿命 】【 %d (秒)】", *lifetime);
            // Entries are 8 bytes whatever the entry size says.
            int y = s + kFixedPartLength;
            for (int i = 1; y < e && i <= *count; ++i, y += kRouterEntryLength) {
                if (!AddDottedQuad(tree, frame, section, "【 ﾙｰﾀｰIPｱﾄﾞﾚｽ %d】【 %d.%d.%d.%d 】", i,
                                   y) ||
                    !AddDottedQuad(tree, frame, section, "【 優先ﾚﾍﾞﾙ %d】【 %d.%d.%d.%d 】", i,
                                   y + 4)) {
                    return;
                }
            }
            x = y;
            break;
        }
        case kTypeTimeExceeded:
            if (!AddFourBytes(tree, frame, section, "予約", s + 4))
                return;
            x = s + kFixedPartLength;
            break;
        case kTypeParameterProblem: {
            const auto pointer = frame.U8(at + 4);
            if (!pointer)
                return;
            tree.AddField(section, s + 4, 1, "【 ﾎﾟｲﾝﾀ 】【 %d 】", *pointer);
            const auto unused = frame.Bytes(at + 5, 3);
            if (!unused)
                return;
            tree.AddField(section, s + 5, 3, "【 未使用 】【 %d %d %d 】", (*unused)[0],
                          (*unused)[1], (*unused)[2]);
            x = s + kFixedPartLength;
            break;
        }
        default:
            break;
    }
    tree.AddDataSection(frame, x, e - x);
}

}  // namespace kestrel
