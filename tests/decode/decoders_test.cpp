// Decoder edge cases on hand-written frames (checksums computed here).
#include <gtest/gtest.h>

#include "tree_text.h"

namespace kestrel {
namespace {

using test::CountPrefix;
using test::Decode;
using test::Has;
using test::Hex;
using test::IpFrame;

constexpr uint8_t kUdp = 17, kTcp = 6, kIcmp = 1, kIgmp = 2;

TEST(DecodeEthernetArp, TypesAndArpRequest) {
    DecodeTree tree;
    // Broadcast ARP request padded to 60 bytes.
    std::vector<uint8_t> arp =
        Hex("ff ff ff ff ff ff 66 77 88 99 aa bb 08 06"
            "00 01 08 00 06 04 00 01 66 77 88 99 aa bb 0a 00 00 01"
            "00 00 00 00 00 00 0a 00 00 02");
    arp.resize(60, 0);
    auto lines = Decode(tree, arp);
    EXPECT_TRUE(Has(lines, "    【 宛て先MACｱﾄﾞﾚｽ 】【 FF-FF-FF-FF-FF-FF 】\t0 6"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ 】【 0x0806 (ARP) 】\t12 2"));
    EXPECT_TRUE(Has(lines, "  【 ARP 】\t14 28"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ 】【 2048 】\t16 2"));
    EXPECT_TRUE(Has(lines, "    【 ｵﾍﾟﾚｰｼｮﾝ 】【 0x0001 】\t20 2"));
    EXPECT_TRUE(Has(lines, "    【 ﾀｰｹﾞｯﾄﾌﾟﾛﾄｺﾙｱﾄﾞﾚｽ 】【 10.0.0.2 】\t38 4"));
    EXPECT_TRUE(Has(lines, "  【 Ethernetﾃﾞｰﾀ 】\t42 18"));
    EXPECT_EQ(tree.Text(tree.SectionSlot(3)), "【 Ethernetﾃﾞｰﾀ 】");

    std::vector<uint8_t> ipv6 = test::EthernetHeader(0x86DD);
    ipv6.resize(54, 0x60);
    lines = Decode(tree, ipv6);
    EXPECT_TRUE(Has(lines, "    【 ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ 】【 0x86DD 】\t12 2"));
    EXPECT_TRUE(Has(lines, "  【 Ethernetﾃﾞｰﾀ 】\t14 40"));

    std::vector<uint8_t> netbios = test::EthernetHeader(0x0840);
    netbios.resize(20, 0x41);
    lines = Decode(tree, netbios);
    EXPECT_TRUE(Has(lines, "    【 ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ 】【 0x0840 (NetBIOS) 】\t12 2"));
    EXPECT_TRUE(Has(lines, "    AAAAAA\t14 6"));
}

TEST(DecodeIpHeader, TosFlagsProtocolAndChecksum) {
    DecodeTree tree;
    auto lines = Decode(tree, IpFrame(89, Hex("01 02 03 04"), {}, 0xB8, 0x4000));
    EXPECT_TRUE(Has(lines, "    【 ﾊﾞｰｼﾞｮﾝ 】【 4 】\t14 1"));
    EXPECT_TRUE(Has(lines, "    【 ﾍｯﾀﾞｰ長 】【 20 ﾊﾞｲﾄ 】\t14 1"));
    EXPECT_TRUE(Has(lines, "    【 TOS 184 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 優先順位 】【 101 重大 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 遅延 】【 1 (低遅延) 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 ｽﾙｰﾌﾟｯﾄ 】【 1 (高ｽﾙｰﾌﾟｯﾄ) 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 信頼性 】【 0 (通常) 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 ｺｽﾄ 】【 0 (通常) 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 予約 】【 0 】\t15 1"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾗｸﾞﾒﾝﾄ化ﾌﾗｸﾞ 2 】\t20 2"));
    EXPECT_TRUE(Has(lines, "      【 予約 】【 0 】\t20 2"));
    EXPECT_TRUE(Has(lines, "      【 ﾌﾗｸﾞﾒﾝﾄ化禁止 】【 1 (禁止) 】\t20 2"));
    EXPECT_TRUE(Has(lines, "      【 後続ﾌﾗｸﾞﾒﾝﾄ 】【 0 (なし) 】\t20 2"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾗｸﾞﾒﾝﾄｵﾌｾｯﾄ 】【 0 】\t20 2"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾟﾛﾄｺﾙ 】【 89 (OSPFIGP) 】\t23 1"));
    EXPECT_EQ(CountPrefix(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】"), 1u);
    EXPECT_NE(test::Find(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】").find("(OK) 】\t24 2"), std::string::npos)
        << test::Find(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】");
    EXPECT_TRUE(Has(lines, "    【 IPｵﾌﾟｼｮﾝなし 】\t34 0"));
    // No transport section for protocol 89: its payload is Ethernet data in slot 3.
    EXPECT_TRUE(Has(lines, "  【 Ethernetﾃﾞｰﾀ 】\t34 4"));
    EXPECT_EQ(tree.Text(tree.SectionSlot(3)), "【 Ethernetﾃﾞｰﾀ 】");

    lines = Decode(tree, IpFrame(200, {}, {}, 0x06, 0x20B9));
    EXPECT_TRUE(Has(lines, "      【 遅延 】【 0 (標準) 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 信頼性 】【 1 (高信頼性) 】\t15 1"));
    EXPECT_TRUE(Has(lines, "      【 ｺｽﾄ 】【 1 (低ｺｽﾄ) 】\t15 1"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾗｸﾞﾒﾝﾄ化ﾌﾗｸﾞ 1 】\t20 2"));
    EXPECT_TRUE(Has(lines, "      【 ﾌﾗｸﾞﾒﾝﾄ化禁止 】【 0 (許可) 】\t20 2"));
    EXPECT_TRUE(Has(lines, "      【 後続ﾌﾗｸﾞﾒﾝﾄ 】【 1 (あり) 】\t20 2"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾗｸﾞﾒﾝﾄｵﾌｾｯﾄ 】【 185 】\t20 2"));
    EXPECT_TRUE(Has(lines, "    【 ﾌﾟﾛﾄｺﾙ 】【 200 (Unassigned) 】\t23 1"));

    // A wrong header checksum shows NG; the UDP payload is still decoded.
    auto bad = IpFrame(kUdp, Hex("00 35 00 35 00 08 00 00"));
    bad[24] ^= 0x01;
    lines = Decode(tree, bad);
    EXPECT_EQ(CountPrefix(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】"), 1u);
    EXPECT_NE(test::Find(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】").find(" (NG) 】\t24 2"), std::string::npos)
        << test::Find(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】");
    EXPECT_TRUE(Has(lines, "  【 UDPﾍｯﾀﾞ 】\t34 8"));

    // Protocol 255 names "Reserved"; a header cut inside the checksum's
    // coverage shows it unverified.
    auto cut = IpFrame(255, {}, Hex("44 00 00 00 00 00 00 00"));
    cut.resize(40);
    lines = Decode(tree, cut);
    EXPECT_TRUE(Has(lines, "    【 ﾌﾟﾛﾄｺﾙ 】【 255 (Reserved) 】\t23 1"));
    EXPECT_NE(test::Find(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】").find(" (未検証) 】\t24 2"),
              std::string::npos)
        << test::Find(lines, "    【 ﾍｯﾀﾞｰﾁｪｯｸｻﾑ 】");
}

TEST(DecodeIpHeader, OptionWalks) {
    DecodeTree tree;
    // NOP, NOP, router alert, end of list: the walk stops at the end of list.
    auto lines = Decode(
        tree, IpFrame(kIgmp, Hex("11 64 00 00 e0 00 00 01"), Hex("01 01 94 04 00 00 00 00")));
    EXPECT_EQ(CountPrefix(lines, "    【 IPｵﾌﾟｼｮﾝ 】"), 4u);
    EXPECT_TRUE(Has(lines, "    【 IPｵﾌﾟｼｮﾝ 】\t34 8"));
    EXPECT_TRUE(Has(lines, "    【 IPｵﾌﾟｼｮﾝ 】\t35 8"));
    EXPECT_TRUE(Has(lines, "    【 IPｵﾌﾟｼｮﾝ 】\t36 8"));
    EXPECT_TRUE(Has(lines, "      【 ｺﾋﾟｰ 】【 1 】\t36 1"));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝｸﾗｽ 】【 0 (ﾈｯﾄﾜｰｸ制御) 】\t36 1"));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝ番号 】【 20 (IPﾙｰﾀｰ警告) 】\t36 1"));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝの長さ 】【 4 ﾊﾞｲﾄ 】\t37 1"));
    EXPECT_TRUE(Has(lines, "      【 値 】【 0 0 】\t38 2"));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝ番号 】【 0 (ｵﾌﾟｼｮﾝﾘｽﾄの終わり) 】\t40 1"));
    EXPECT_EQ(CountPrefix(lines, "      【 ｵﾌﾟｼｮﾝ番号 】【 1 (ﾉｰｵﾍﾟﾚｰｼｮﾝ) 】"), 2u);

    // Record route of length 39: nine addresses, the next option at o + 39.
    std::vector<uint8_t> rr = Hex("07 27 04");
    for (uint8_t i = 1; i <= 9; ++i) rr.insert(rr.end(), {10, 1, 1, i});
    rr.push_back(0);
    lines = Decode(tree, IpFrame(200, {}, rr));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝ番号 】【 7 (ﾙｰﾄの記録) 】\t34 1"));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝの長さ 】【 39 ﾊﾞｲﾄ 】\t35 1"));
    EXPECT_TRUE(Has(lines, "      【 次ｽﾛｯﾄﾎﾟｲﾝﾀ 】【 4 】\t36 1"));
    // TOS and flag sub-items, then the option's own items and the end of list.
    EXPECT_EQ(CountPrefix(lines, "      【 "), 6u + 3u + 3u + 2u + 9u + 3u);
    EXPECT_TRUE(Has(lines, "      【 9番目のIPｱﾄﾞﾚｽ 】【 10.1.1.9 】\t69 4"));
    EXPECT_TRUE(Has(lines, "    【 IPｵﾌﾟｼｮﾝ 】\t73 40"));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝ番号 】【 0 (ｵﾌﾟｼｮﾝﾘｽﾄの終わり) 】\t73 1"));

    // A timestamp option of length 0 declares no words and cannot step
    // back: the walk ends instead of looping.
    lines = Decode(tree, IpFrame(200, {}, Hex("44 00 05 01")));
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝ番号 】【 4 (ｲﾝﾀｰﾈｯﾄﾀｲﾑｽﾀﾝﾌﾟ) 】\t34 1"));
    EXPECT_TRUE(Has(lines, "      【 ﾌﾗｸﾞ 】【 1 】\t37 1"));
    EXPECT_EQ(CountPrefix(lines, "    【 IPｵﾌﾟｼｮﾝ 】"), 1u);

    // Header length nibble 3 (12 bytes): no options, payload at p + 12.
    auto shortHeader = IpFrame(kUdp, Hex("00 35 00 35 00 08 00 00"));
    shortHeader[14] = 0x43;
    lines = Decode(tree, shortHeader);
    EXPECT_TRUE(Has(lines, "  【 IPﾍｯﾀﾞ 】\t14 12"));
    EXPECT_TRUE(Has(lines, "    【 IPｵﾌﾟｼｮﾝなし 】\t34 0"));
    EXPECT_TRUE(Has(lines, "  【 UDPﾍｯﾀﾞ 】\t26 8"));
}

TEST(DecodeTcp, HeaderAndOptions) {
    DecodeTree tree;
    const std::vector<uint8_t> syn =
        Hex("c0 00 00 16 ff ff ff ff 00 00 00 00 80 12 ff ff 00 00 00 00"
            "02 04 05 b4 01 03 03 02 01 01 04 02");
    auto lines = Decode(tree, IpFrame(kTcp, syn));
    EXPECT_TRUE(Has(lines, "  【 TCPﾍｯﾀﾞ 】\t34 32"));
    EXPECT_TRUE(Has(lines, "    【 ｼｰｹﾝｽ番号 】【 4294967295 】\t38 4"));
    EXPECT_TRUE(Has(lines, "    【 ﾃﾞｰﾀｵﾌｾｯﾄ 】【 32 ﾊﾞｲﾄ 】\t46 1"));
    EXPECT_TRUE(Has(lines, "    【 予約 】【 0 】\t46 2"));
    EXPECT_TRUE(
        Has(lines, "    【 ﾌﾗｸﾞ 】【 18 [URG 0] [ACK 1] [PSH 0] [RST 0] [SYN 1] [FIN 0] 】\t47 1"));
    EXPECT_NE(test::Find(lines, "    【 ﾁｪｯｸｻﾑ 】").find("(OK) 】\t50 2"), std::string::npos);
    EXPECT_TRUE(Has(lines, "    【 TCPｵﾌﾟｼｮﾝ 】\t54 12"));
    EXPECT_TRUE(Has(lines, "      【 最大ｾｸﾞﾒﾝﾄｻｲｽﾞ 】【 1460 ﾊﾞｲﾄ 】\t56 2"));
    EXPECT_TRUE(Has(lines, "      【 ｼﾌﾄｶｳﾝﾄ 】【 2 】\t61 1"));
    // The walk ends exactly at s + 32: SACK permitted is the last item, no data.
    EXPECT_EQ(lines.back(), "      【 ｵﾌﾟｼｮﾝの長さ 】【 2 ﾊﾞｲﾄ 】\t65 1");
    EXPECT_EQ(CountPrefix(lines, "      【 ｵﾌﾟｼｮﾝの種類 】【 1 (ﾉｰｵﾍﾟﾚｰｼｮﾝ) 】"), 3u);
    EXPECT_EQ(tree.SectionSlot(4), DecodeTree::kNoItem);

    // SACK of lengths 18, 10 and 2; a lowest reserved bit shows 64 (not shifted).
    std::vector<uint8_t> sack =
        Hex("c0 00 00 16 00 00 00 01 00 00 00 02 d0 50 10 00 00 00 00 00"
            "01 01 05 12 80 00 00 00 00 00 00 01 00 00 00 02 00 00 00 03"
            "05 0a 00 00 00 04 00 00 00 05 05 02 41 42");
    lines = Decode(tree, IpFrame(kTcp, sack));
    EXPECT_TRUE(Has(lines, "    【 予約 】【 64 】\t46 2"));
    EXPECT_TRUE(Has(lines, "      【 1番目のﾌﾞﾛｯｸ左端 】【 -2147483648 】\t58 4"));
    EXPECT_TRUE(Has(lines, "      【 1番目のﾌﾞﾛｯｸ右端 】【 1 】\t62 4"));
    EXPECT_TRUE(Has(lines, "      【 2番目のﾌﾞﾛｯｸ右端 】【 3 】\t70 4"));
    EXPECT_TRUE(Has(lines, "      【 1番目のﾌﾞﾛｯｸ左端 】【 4 】\t76 4"));
    EXPECT_EQ(CountPrefix(lines, "      【 1番目のﾌﾞﾛｯｸ左端"), 2u);
    EXPECT_EQ(CountPrefix(lines, "      【 2番目のﾌﾞﾛｯｸ左端"), 1u);
    EXPECT_EQ(CountPrefix(lines, "      【 ｵﾌﾟｼｮﾝの種類 】【 5 (SACKｵﾌﾟｼｮﾝ) 】"), 3u);
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t86 2"));
    EXPECT_TRUE(Has(lines, "    AB\t86 2"));

    // Timestamps 256 and 0, then end-of-list padding shown as more kind-0 items.
    std::vector<uint8_t> ts =
        Hex("c0 00 00 16 00 00 00 01 00 00 00 02 80 10 10 00 00 00 00 00"
            "08 0a 00 00 01 00 00 00 00 00 00 00");
    lines = Decode(tree, IpFrame(kTcp, ts));
    EXPECT_TRUE(Has(lines, "      【 TS値 】【 256 】\t56 4"));
    EXPECT_TRUE(Has(lines, "      【 TSｴｺｰ応答 】【 0 】\t60 4"));
    EXPECT_EQ(CountPrefix(lines, "      【 ｵﾌﾟｼｮﾝの種類 】【 0 (ｵﾌﾟｼｮﾝﾘｽﾄの終わり) 】"), 2u);

    // An MSS option of length 0 would not advance: the walk ends after its
    // length item and the payload still starts at s + T.
    std::vector<uint8_t> zero =
        Hex("c0 00 00 16 00 00 00 01 00 00 00 02 60 18 10 00 00 00 00 00"
            "02 00 05 b4 58 59");
    lines = Decode(tree, IpFrame(kTcp, zero));
    EXPECT_EQ(CountPrefix(lines, "      【 ｵﾌﾟｼｮﾝの"), 2u);
    EXPECT_TRUE(Has(lines, "      【 ｵﾌﾟｼｮﾝの長さ 】【 0 ﾊﾞｲﾄ 】\t55 1"));
    EXPECT_TRUE(Has(lines, "    XY\t58 2"));

    // A bad checksum shows NG and decoding goes on.
    auto bad = IpFrame(kTcp, zero);
    bad[50] ^= 0xFF;
    lines = Decode(tree, bad);
    EXPECT_EQ(CountPrefix(lines, "    【 ﾁｪｯｸｻﾑ 】"), 1u);
    EXPECT_TRUE(Has(lines, "    XY\t58 2"));
    bool ng = false;
    for (const auto& l : lines) ng |= l.find("(NG) 】\t50 2") != std::string::npos;
    EXPECT_TRUE(ng);
}

// An option whose length runs past the captured bytes ends the option walk
// there, but a header captured whole still hands on its payload.
TEST(DecodeTruncated, OptionRunningPastTheCaptureKeepsThePayload) {
    DecodeTree tree;
    // Header length 28: a record route of length 39 and one address.
    const auto options = Hex("07 27 04 0a 01 01 01 00");
    const auto tcp = Hex("c0 00 00 16 00 00 00 01 00 00 00 02 50 10 10 00 00 00 00 00");
    std::vector<uint8_t> payload = tcp;
    for (char c : std::string("kestrel!")) payload.push_back(static_cast<uint8_t>(c));
    auto frame = IpFrame(kTcp, payload, options);
    ASSERT_EQ(frame.size(), 70u);
    auto lines = Decode(tree, frame);
    EXPECT_TRUE(Has(lines, "      【 8番目のIPｱﾄﾞﾚｽ 】【 116.114.101.108 】\t65 4"));
    EXPECT_EQ(CountPrefix(lines, "      【 9番目のIPｱﾄﾞﾚｽ"), 0u);
    EXPECT_TRUE(Has(lines, "  【 TCPﾍｯﾀﾞ 】\t42 20"));
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t62 8"));
    EXPECT_EQ(lines.back(), "    kestrel!\t62 8");

    // The header itself cut short: nothing after the options.
    frame.resize(40);
    lines = Decode(tree, frame);
    EXPECT_EQ(tree.SectionSlot(DecodeTree::kSlotTransport), DecodeTree::kNoItem);
    EXPECT_EQ(CountPrefix(lines, "  【 Ethernetﾃﾞｰﾀ"), 0u);
}

TEST(DecodeTruncated, HeadersShowWhatWasCaptured) {
    DecodeTree tree;
    const std::vector<uint8_t> tcp =
        Hex("c0 00 00 16 00 00 00 01 00 00 00 02 50 10 10 00 00 00 00 00");
    auto frame = IpFrame(kTcp, tcp);
    frame.resize(30);
    auto lines = Decode(tree, frame);
    EXPECT_TRUE(Has(lines, "  【 IPﾍｯﾀﾞ 】\t14 20"));
    EXPECT_TRUE(Has(lines, "    【 送信元ｱﾄﾞﾚｽ 】【 10.0.0.1 】\t26 4"));
    EXPECT_EQ(test::CountPrefix(lines, "    【 宛て先ｱﾄﾞﾚｽ"), 0u);
    EXPECT_EQ(lines.back(), "    【 送信元ｱﾄﾞﾚｽ 】【 10.0.0.1 】\t26 4");

    // TCP cut before its data offset: the heading takes the fixed 20 bytes.
    frame = IpFrame(kTcp, tcp);
    frame.resize(44);
    lines = Decode(tree, frame);
    EXPECT_TRUE(Has(lines, "  【 TCPﾍｯﾀﾞ 】\t34 20"));
    EXPECT_EQ(lines.back(), "    【 ｼｰｹﾝｽ番号 】【 1 】\t38 4");

    // A section whose first byte was not captured is not added.
    frame.resize(34);
    lines = Decode(tree, frame);
    EXPECT_EQ(tree.SectionSlot(DecodeTree::kSlotTransport), DecodeTree::kNoItem);

    // ARP cut after 8 bytes of its header.
    std::vector<uint8_t> arp = test::EthernetHeader(0x0806);
    const auto body = Hex("00 01 08 00 06 04 00 01 66 77");
    arp.insert(arp.end(), body.begin(), body.end());
    lines = Decode(tree, arp);
    EXPECT_TRUE(Has(lines, "  【 ARP 】\t14 28"));
    EXPECT_EQ(lines.back(), "    【 ｵﾍﾟﾚｰｼｮﾝ 】【 0x0001 】\t20 2");
}

TEST(DecodeUdp, ChecksumZeroAndLengths) {
    DecodeTree tree;
    auto lines = Decode(tree, IpFrame(kUdp, Hex("00 44 00 43 00 08 00 00"), {}, 0, 0, 0, false));
    EXPECT_TRUE(Has(lines, "    【 ﾁｪｯｸｻﾑ 】【 0 無効 】\t40 2"));
    EXPECT_TRUE(Has(lines, "    【 長さ 】【 8 ﾊﾞｲﾄ 】\t38 2"));
    EXPECT_EQ(tree.SectionSlot(4), DecodeTree::kNoItem);

    // UDP length 20 inside a 40-byte IP payload, then 6 bytes of padding:
    // 12 data bytes, 20 bytes in no section, the padding as Ethernet data.
    std::vector<uint8_t> payload = Hex("00 44 00 43 00 14 00 00");
    payload.resize(40, 0x41);
    lines = Decode(tree, IpFrame(kUdp, payload, {}, 0, 0, 6));
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t42 12"));
    EXPECT_TRUE(Has(lines, "  【 Ethernetﾃﾞｰﾀ 】\t74 6"));
    EXPECT_EQ(tree.Text(tree.SectionSlot(5)), "【 Ethernetﾃﾞｰﾀ 】");
    bool ok = false;
    for (const auto& l : lines) ok |= l.find("(OK) 】\t40 2") != std::string::npos;
    EXPECT_TRUE(ok);
}

std::vector<uint8_t> Echo(int dataBytes) {
    std::vector<uint8_t> icmp = Hex("08 00 00 00 02 00 01 00");
    for (int i = 0; i < dataBytes; ++i) icmp.push_back(static_cast<uint8_t>('a' + i % 26));
    return icmp;
}

TEST(DecodeIcmp, MessagesAndChecksum) {
    DecodeTree tree;
    auto lines = Decode(tree, IpFrame(kIcmp, Echo(32)));
    EXPECT_TRUE(Has(lines, "  【 ICMPﾍｯﾀﾞ 】\t34 4"));
    EXPECT_TRUE(Has(lines, "    【 ﾀｲﾌﾟ 】【 8 (ｴｺｰ要求) 】\t34 1"));
    EXPECT_TRUE(Has(lines, "    【 ｺｰﾄﾞ 】【 0 】\t35 1"));
    EXPECT_TRUE(Has(lines, "    【 識別子 】【 512 】\t38 2"));
    EXPECT_TRUE(Has(lines, "    【 ｼｰｹﾝｽ番号 】【 256 】\t40 2"));
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t42 32"));

    // One corrupted data byte: NG, and nothing after the checksum.
    auto corrupted = IpFrame(kIcmp, Echo(32));
    corrupted[50] ^= 0x20;
    lines = Decode(tree, corrupted);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_NE(lines.back().find(" (NG) 】\t36 2"), std::string::npos) << lines.back();
    EXPECT_EQ(tree.SectionSlot(4), DecodeTree::kNoItem);

    // Cut short: the checksum is not claimed, decoding goes on.
    auto cut = IpFrame(kIcmp, Echo(32));
    cut.resize(50);
    lines = Decode(tree, cut);
    EXPECT_TRUE(Has(lines, "    【 識別子 】【 512 】\t38 2"));
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t42 8"));
    bool unverified = false;
    for (const auto& l : lines) unverified |= l.find(" (未検証) 】\t36 2") != std::string::npos;
    EXPECT_TRUE(unverified);

    // Type 1 and type 255 have no name; their data starts at s + 4.
    lines = Decode(tree, IpFrame(kIcmp, Hex("01 00 00 00 41 42 43 44 45")));
    EXPECT_TRUE(Has(lines, "    【 ﾀｲﾌﾟ 】【 1 () 】\t34 1"));
    EXPECT_TRUE(Has(lines, "    ABCDE\t38 5"));
    lines = Decode(tree, IpFrame(kIcmp, Hex("ff 00 00 00 41")));
    EXPECT_TRUE(Has(lines, "    【 ﾀｲﾌﾟ 】【 255 () 】\t34 1"));

    // Redirect codes.
    lines = Decode(tree, IpFrame(kIcmp, Hex("05 01 00 00 0a 00 00 fe")));
    EXPECT_TRUE(Has(lines, "    【 ｺｰﾄﾞ 】【 1 (特定のﾎｽﾄ宛のﾃﾞｰﾀｸﾞﾗﾑをﾘﾀﾞｲﾚｸﾄする) 】\t35 1"));
    EXPECT_TRUE(Has(lines, "    【 ﾙｰﾀｰIPｱﾄﾞﾚｽ 】【 10.0.0.254 】\t38 4"));
    lines = Decode(tree, IpFrame(kIcmp, Hex("05 04 00 00 0a 00 00 fe")));
    EXPECT_TRUE(Has(lines, "    【 ｺｰﾄﾞ 】【 4 】\t35 1"));
    lines = Decode(tree, IpFrame(kIcmp, Hex("05 03 00 00 0a 00 00 fe")));
    EXPECT_TRUE(
        Has(lines,
            "    【 ｺｰﾄﾞ 】【 3 (特定のTOSを要求する特定のﾎｽﾄ宛のﾃﾞｰﾀｸﾞﾗﾑをﾘﾀﾞｲﾚｸﾄする) 】\t35 1"));

    // Router advertisement announcing 2 entries, payload ending after entry 1.
    lines = Decode(tree, IpFrame(kIcmp, Hex("09 00 00 00 02 02 07 08 0a 00 00 01 00 00 00 05")));
    EXPECT_TRUE(Has(lines, "    【 ｱﾄﾞﾚｽ数 】【 2 】\t38 1"));
    EXPECT_TRUE(Has(lines, "    【 寿命 】【 1800 (秒)】\t40 2"));
    EXPECT_TRUE(Has(lines, "    【 ﾙｰﾀｰIPｱﾄﾞﾚｽ 1】【 10.0.0.1 】\t42 4"));
    EXPECT_TRUE(Has(lines, "    【 優先ﾚﾍﾞﾙ 1】【 0.0.0.5 】\t46 4"));
    EXPECT_EQ(CountPrefix(lines, "    【 ﾙｰﾀｰIPｱﾄﾞﾚｽ 2"), 0u);

    // Time exceeded and parameter problem.
    lines = Decode(tree, IpFrame(kIcmp, Hex("0b 00 00 00 00 00 00 00 45")));
    EXPECT_TRUE(Has(lines, "    【 予約 】【 0 0 0 0 】\t38 4"));
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t42 1"));
    lines = Decode(tree, IpFrame(kIcmp, Hex("0c 00 00 00 14 00 00 00 45")));
    EXPECT_TRUE(Has(lines, "    【 ﾎﾟｲﾝﾀ 】【 20 】\t38 1"));
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t42 1"));

    // IP total length 0: the payload length is negative, the checksum NG.
    auto zero = IpFrame(kIcmp, Echo(4));
    zero[16] = zero[17] = 0;
    test::FixIpv4Checksums(zero, false);
    lines = Decode(tree, zero);
    EXPECT_NE(test::Find(lines, "    【 ﾁｪｯｸｻﾑ 】").find(" (NG) 】\t36 2"), std::string::npos);
    EXPECT_EQ(tree.Text(tree.SectionSlot(4)), "【 Ethernetﾃﾞｰﾀ 】");
    // The datagram end p + 0 puts everything after the MAC header in Ethernet data.
    EXPECT_TRUE(Has(lines, "  【 Ethernetﾃﾞｰﾀ 】\t14 32"));
}

TEST(DecodeIgmp, Versions) {
    DecodeTree tree;
    auto lines = Decode(tree, IpFrame(kIgmp, Hex("16 64 00 00 e0 00 00 fb")));
    EXPECT_TRUE(Has(lines, "  【 IGMPﾒｯｾｰｼﾞ 】\t34 8"));
    EXPECT_TRUE(Has(lines, "    【 ﾊﾞｰｼﾞｮﾝ 】【 2 】\t34 1"));
    EXPECT_TRUE(Has(lines, "    【 ﾀｲﾌﾟ 】【 22 (ﾎｽﾄﾒﾝﾊﾞｼｯﾌﾟﾚﾎﾟｰﾄ) 】\t34 1"));
    EXPECT_TRUE(Has(lines, "    【 最大応答時間 】【 100 (10000ﾐﾘ秒) 】\t35 1"));
    EXPECT_TRUE(Has(lines, "    【 ｸﾞﾙｰﾌﾟｱﾄﾞﾚｽ 】【 224.0.0.251 】\t38 4"));

    lines = Decode(tree, IpFrame(kIgmp, Hex("11 64 00 00 00 00 00 00")));
    EXPECT_TRUE(Has(lines, "    【 ﾊﾞｰｼﾞｮﾝ 】【 1 】\t34 1"));
    EXPECT_TRUE(Has(lines, "    【 未使用 】【 100 】\t35 1"));

    lines = Decode(tree, IpFrame(kIgmp, Hex("22 00 00 00 00 00 00 00")));
    EXPECT_TRUE(Has(lines, "    【 ﾀｲﾌﾟ 】【 34 (以降解析不可) 】\t34 1"));
    EXPECT_EQ(CountPrefix(lines, "    【 ﾁｪｯｸｻﾑ"), 0u);

    // A wrong checksum is NG and the group address still shows.
    auto bad = IpFrame(kIgmp, Hex("17 00 00 00 e0 00 00 02"));
    bad[36] ^= 1;
    lines = Decode(tree, bad);
    EXPECT_TRUE(Has(lines, "    【 ｸﾞﾙｰﾌﾟｱﾄﾞﾚｽ 】【 224.0.0.2 】\t38 4"));
    EXPECT_EQ(CountPrefix(lines, "    【 ﾁｪｯｸｻﾑ 】"), 1u);
}

}  // namespace
}  // namespace kestrel
