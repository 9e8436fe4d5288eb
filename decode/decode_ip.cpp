// IPv4 header: type of service, fragmentation, header checksum, the options
// one section each, and dispatch to the transport layer (RFC 791, options of
// RFC 791 and RFC 2113).
//
// Bytes not captured: a field whose bytes were not all captured is not shown
// and the section stops there (no payload is decoded then); the heading keeps
// the header length it declares; a header checksum over bytes not all
// captured shows "(未検証)"; an option walk stops where the bytes end, and
// the payload is still decoded when the whole header was captured (an option
// length may run past the header into bytes that were not).
#include <cstdint>

#include <optional>
#include "core/names.h"
#include "core/text_helpers.h"

#include "decode/decoders.h"

namespace kestrel {

namespace {

constexpr int kFixedHeaderLength = 20;
constexpr uint8_t kTosDelay = 0x10;
constexpr uint8_t kTosThroughput = 0x08;
constexpr uint8_t kTosReliability = 0x04;
constexpr uint8_t kTosCost = 0x02;
constexpr uint8_t kTosReserved = 0x01;
constexpr uint16_t kFlagReserved = 0x8000;
constexpr uint16_t kFlagDontFragment = 0x4000;
constexpr uint16_t kFlagMoreFragments = 0x2000;
constexpr uint16_t kFragmentOffsetMask = 0x1FFF;
constexpr int kIgmpMessageLength = 8;

// Option type byte: copy bit, class, number.
constexpr uint8_t kOptionCopy = 0x80;
constexpr int kClassControl = 0;
constexpr int kClassDebug = 2;
constexpr int kOptionEndOfList = 0;
constexpr int kOptionNop = 1;
constexpr int kOptionLooseRoute = 3;
constexpr int kOptionTimestamp = 4;
constexpr int kOptionRecordRoute = 7;
constexpr int kOptionStrictRoute = 9;
constexpr int kOptionRouterAlert = 20;
constexpr int kRouteHeaderLength = 3;      // type, length, pointer
constexpr int kTimestampHeaderLength = 4;  // type, length, pointer, overflow/flags
constexpr int kRouterAlertLength = 4;

bool AddAddress(DecodeTree& tree, const ByteReader& frame, int parent, int index, int at) {
    const auto a = frame.Bytes(static_cast<size_t>(at), 4);
    if (!a)
        return false;
    tree.AddField(parent, at, 4, "【 %d番目のIPｱﾄﾞﾚｽ 】【 %d.%d.%d.%d 】", index, (*a)[0], (*a)[1],
                  (*a)[2], (*a)[3]);
    return true;
}

// Length, pointer and k addresses of a route option; the next option's
// offset, or -1 when the bytes ran out.
// The length and pointer items that route and timestamp options start with;
// the length, or nothing when the bytes ran out.
std::optional<uint8_t> AddLengthAndPointer(DecodeTree& tree, const ByteReader& frame, int section,
                                           int o) {
    const auto length = frame.U8(static_cast<size_t>(o) + 1);
    if (!length)
        return std::nullopt;
    tree.AddField(section, o + 1, 1, "【 ｵﾌﾟｼｮﾝの長さ 】【 %d ﾊﾞｲﾄ 】", *length);
    const auto pointer = frame.U8(static_cast<size_t>(o) + 2);
    if (!pointer)
        return std::nullopt;
    tree.AddField(section, o + 2, 1, "【 次ｽﾛｯﾄﾎﾟｲﾝﾀ 】【 %d 】", *pointer);
    return length;
}

int AddRoute(DecodeTree& tree, const ByteReader& frame, int section, int o) {
    const auto length = AddLengthAndPointer(tree, frame, section, o);
    if (!length)
        return -1;
    const int k = *length < kRouteHeaderLength ? 0 : (*length - kRouteHeaderLength) / 4;
    for (int i = 1; i <= k; ++i) {
        if (!AddAddress(tree, frame, section, i, o + kRouteHeaderLength + 4 * (i - 1)))
            return -1;
    }
    return o + kRouteHeaderLength + 4 * k;
}

int AddTimestamp(DecodeTree& tree, const ByteReader& frame, int section, int o) {
    const auto length = AddLengthAndPointer(tree, frame, section, o);
    if (!length)
        return -1;
    const auto flags = frame.U8(static_cast<size_t>(o) + 3);
    if (!flags)
        return -1;
    tree.AddField(section, o + 3, 1, "【 ｵｰﾊﾞｰﾌﾛｰ 】【 %d 】", *flags >> 4);
    tree.AddField(section, o + 3, 1, "【 ﾌﾗｸﾞ 】【 %d 】", *flags & 0x0F);
    // A length below 4 declares no data words (and must not step back).
    const int k = *length < kTimestampHeaderLength ? 0 : (*length - kTimestampHeaderLength) / 4;
    for (int i = 1; i <= k; ++i) {
        if (!AddAddress(tree, frame, section, i, o + kTimestampHeaderLength + 4 * (i - 1))) {
            return -1;
        }
    }
    return o + kTimestampHeaderLength + 4 * k;
}

}  // namespace

bool DecodeIpOptions(DecodeTree& tree, const ByteReader& frame, int ipSection, int first,
                     int length) {
    const int end = first + length;
    int o = first;
    while (o < end) {
        const auto type = frame.U8(static_cast<size_t>(o));
        if (!type)
            return false;
        // Every option section spans the whole option area from its own start.
        const int section = tree.AddItem("【 IPｵﾌﾟｼｮﾝ 】", ipSection);
        tree.AddItemRange(section, o, length);
        tree.AddField(section, o, 1, "【 ｺﾋﾟｰ 】【 %s 】", (*type & kOptionCopy) ? "1" : "0");
        const int optionClass = (*type >> 5) & 3;
        const int number = *type & 0x1F;
        tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝｸﾗｽ 】【 %s 】",
                      IpOptionClassNames[static_cast<size_t>(optionClass)].data());
        int next = 0;
        const char* routeName = nullptr;
        if (optionClass == kClassControl && number == kOptionEndOfList) {
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝ番号 】【 0 (ｵﾌﾟｼｮﾝﾘｽﾄの終わり) 】");
            return true;
        } else if (optionClass == kClassControl && number == kOptionNop) {
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝ番号 】【 1 (ﾉｰｵﾍﾟﾚｰｼｮﾝ) 】");
            next = o + 1;
        } else if (optionClass == kClassControl && number == kOptionLooseRoute) {
            routeName = "3 (ﾙｰｽｿｰｽﾙｰﾃｨﾝｸﾞ)";
        } else if (optionClass == kClassControl && number == kOptionRecordRoute) {
            routeName = "7 (ﾙｰﾄの記録)";
        } else if (optionClass == kClassControl && number == kOptionStrictRoute) {
            routeName = "9 (ｽﾄﾘｸﾄｿｰｽﾙｰﾃｨﾝｸﾞ)";
        } else if (optionClass == kClassControl && number == kOptionRouterAlert) {
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝ番号 】【 20 (IPﾙｰﾀｰ警告) 】");
            const auto optionLength = frame.U8(static_cast<size_t>(o) + 1);
            if (!optionLength)
                return false;
            tree.AddField(section, o + 1, 1, "【 ｵﾌﾟｼｮﾝの長さ 】【 %d ﾊﾞｲﾄ 】", *optionLength);
            const auto value = frame.Bytes(static_cast<size_t>(o) + 2, 2);
            if (!value)
                return false;
            tree.AddField(section, o + 2, 2, "【 値 】【 %d %d 】", (*value)[0], (*value)[1]);
            next = o + kRouterAlertLength;
        } else if (optionClass == kClassDebug && number == kOptionTimestamp) {
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝ番号 】【 4 (ｲﾝﾀｰﾈｯﾄﾀｲﾑｽﾀﾝﾌﾟ) 】");
            next = AddTimestamp(tree, frame, section, o);
        } else {
            // Unknown options end the walk: their length is not trusted.
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝ番号 】【 %d 】", number);
            return true;
        }
        if (routeName) {
            tree.AddField(section, o, 1, "【 ｵﾌﾟｼｮﾝ番号 】【 %s 】", routeName);
            next = AddRoute(tree, frame, section, o);
        }
        if (next < 0)
            return false;
        o = next;
    }
    return true;
}

int DecodeIp(DecodeTree& tree, const ByteReader& frame, int p) {
    // Whatever is cut short: the captured bytes are all accounted for here.
    const int cut = static_cast<int>(frame.Size());
    const size_t at = static_cast<size_t>(p);
    const auto first = frame.U8(at);
    if (!first)
        return cut;
    const int h = (*first & 0x0F) * 4;
    tree.SetIpHeaderLength(static_cast<uint8_t>(h));
    const int section = tree.AddSection("【 IPﾍｯﾀﾞ 】", DecodeTree::kSlotNetwork, p, h);
    tree.AddField(section, p, 1, "【 ﾊﾞｰｼﾞｮﾝ 】【 %x 】", *first >> 4);
    tree.AddField(section, p, 1, "【 ﾍｯﾀﾞｰ長 】【 %d ﾊﾞｲﾄ 】", h);

    const auto tos = frame.U8(at + 1);
    if (!tos)
        return cut;
    const uint8_t t = *tos;
    const int tosItem = tree.AddField(section, p + 1, 1, "【 TOS %d 】", t);
    tree.AddField(tosItem, p + 1, 1, "【 優先順位 】【 %s 】",
                  PrecedenceNames[static_cast<size_t>(t >> 5)].data());
    tree.AddField(tosItem, p + 1, 1, "【 遅延 】【 %s 】",
                  (t & kTosDelay) ? "1 (低遅延)" : "0 (標準)");
    tree.AddField(tosItem, p + 1, 1, "【 ｽﾙｰﾌﾟｯﾄ 】【 %s 】",
                  (t & kTosThroughput) ? "1 (高ｽﾙｰﾌﾟｯﾄ)" : "0 (通常)");
    tree.AddField(tosItem, p + 1, 1, "【 信頼性 】【 %s 】",
                  (t & kTosReliability) ? "1 (高信頼性)" : "0 (通常)");
    tree.AddField(tosItem, p + 1, 1, "【 ｺｽﾄ 】【 %s 】",
                  (t & kTosCost) ? "1 (低ｺｽﾄ)" : "0 (通常)");
    tree.AddField(tosItem, p + 1, 1, "【 予約 】【 %s 】", (t & kTosReserved) ? "1" : "0");

    const auto total = frame.Be16(at + 2);
    if (!total)
        return cut;
    tree.SetIpTotalLength(*total);
    tree.AddField(section, p + 2, 2, "【 全長 】【 %d ﾊﾞｲﾄ 】", *total);
    const auto identification = frame.Be16(at + 4);
    if (!identification)
        return cut;
    tree.AddField(section, p + 4, 2, "【 識別 】【 %d 】", *identification);

    const auto fragment = frame.Be16(at + 6);
    if (!fragment)
        return cut;
    const uint16_t w = *fragment;
    const int flagsItem = tree.AddField(section, p + 6, 2, "【 ﾌﾗｸﾞﾒﾝﾄ化ﾌﾗｸﾞ %d 】", w >> 13);
    tree.AddField(flagsItem, p + 6, 2, "【 予約 】【 %s 】", (w & kFlagReserved) ? "1" : "0");
    tree.AddField(flagsItem, p + 6, 2, "【 ﾌﾗｸﾞﾒﾝﾄ化禁止 】【 %s 】",
                  (w & kFlagDontFragment) ? "1 (禁止)" : "0 (許可)");
    tree.AddField(flagsItem, p + 6, 2, "【 後続ﾌﾗｸﾞﾒﾝﾄ 】【 %s 】",
                  (w & kFlagMoreFragments) ? "1 (あり)" : "0 (なし)");
    tree.AddField(section, p + 6, 2, "【 ﾌﾗｸﾞﾒﾝﾄｵﾌｾｯﾄ 】【 %d 】", w & kFragmentOffsetMask);

    const auto ttl = frame.U8(at + 8);
    if (!ttl)
        return cut;
    tree.AddField(section, p + 8, 1, "【 TTL 】【 %d 】", *ttl);
    const auto protocol = frame.U8(at + 9);
    if (!protocol)
        return cut;
    const uint8_t r = *protocol;
    tree.AddField(section, p + 9, 1, "【 ﾌﾟﾛﾄｺﾙ 】【 %d (%s) 】", r, IpProtocolNames[r].data());

    const auto checksum = frame.Be16(at + 10);
    if (!checksum)
        return cut;
    const auto header = frame.Bytes(at, static_cast<size_t>(h));
    const char* verdict = !header                          ? kChecksumUnverified
                          : InternetChecksum(*header) == 0 ? kChecksumOk
                                                           : kChecksumBad;
    tree.AddField(section, p + 10, 2, "【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】【 %d %s 】", *checksum, verdict);

    const auto source = frame.Bytes(at + 12, 4);
    if (!source)
        return cut;
    const auto& s = *source;
    tree.AddField(section, p + 12, 4, "【 送信元ｱﾄﾞﾚｽ 】【 %d.%d.%d.%d 】", s[0], s[1], s[2], s[3]);
    const auto destination = frame.Bytes(at + 16, 4);
    if (!destination)
        return cut;
    const auto& d = *destination;
    tree.AddField(section, p + 16, 4, "【 宛て先ｱﾄﾞﾚｽ 】【 %d.%d.%d.%d 】", d[0], d[1], d[2], d[3]);

    if (h <= kFixedHeaderLength) {
        tree.AddField(section, p + kFixedHeaderLength, 0, "【 IPｵﾌﾟｼｮﾝなし 】");
    } else if (!DecodeIpOptions(tree, frame, section, p + kFixedHeaderLength,
                                h - kFixedHeaderLength) &&
               !frame.Has(at, static_cast<size_t>(h))) {
        return cut;
    }

    // The one dispatch point of the transport layer.
    const int q = p + h;
    const int end = p + *total;
    switch (r) {
        case kIpProtocolIcmp:
            DecodeIcmp(tree, frame, q);
            return end;
        case kIpProtocolIgmp:
            DecodeIgmp(tree, frame, q);
            return q + kIgmpMessageLength;
        case kIpProtocolTcp:
            DecodeTcp(tree, frame, q);
            return end;
        case kIpProtocolUdp:
            DecodeUdp(tree, frame, q);
            return end;
        default:
            return q;
    }
}

}  // namespace kestrel
