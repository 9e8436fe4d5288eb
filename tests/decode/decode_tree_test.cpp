// The decode tree model: root text, slots, data lines, selection by byte.
#include <gtest/gtest.h>

#include "tree_text.h"

namespace kestrel {
namespace {

using test::Decode;
using test::Has;
using test::Hex;
using test::IpFrame;

constexpr uint8_t kUdp = 17;

std::vector<uint8_t> UdpFrame(size_t dataBytes, size_t padding = 0) {
    std::vector<uint8_t> udp = {0x00, 0x35, 0x00, 0x35, 0, static_cast<uint8_t>(8 + dataBytes),
                                0,    0};
    for (size_t i = 0; i < dataBytes; ++i) udp.push_back(static_cast<uint8_t>(i % 2 ? 0x20 : 'A'));
    return IpFrame(kUdp, udp, {}, 0, 0, padding);
}

TEST(DecodeTreeModel, RootTextAndMillisecondQuirk) {
    DecodeTree tree;
    auto lines = Decode(tree, UdpFrame(0), 32, 86400 + 3661, 5000);
    EXPECT_EQ(lines.front(), "【 No.1 】【 1970/01/02 01:01:01.5 】【 42 ﾊﾞｲﾄ 】\t-");
    lines = Decode(tree, UdpFrame(0), 32, 0, 50999);
    EXPECT_EQ(lines.front(), "【 No.1 】【 1970/01/01 00:00:00.50 】【 42 ﾊﾞｲﾄ 】\t-");
    lines = Decode(tree, UdpFrame(0), 32, 0, 999999);
    EXPECT_EQ(lines.front(), "【 No.1 】【 1970/01/01 00:00:00.999 】【 42 ﾊﾞｲﾄ 】\t-");

    // A packet with no captured bytes leaves the tree as it was.
    const int items = tree.ItemCount();
    PacketHeader header;
    Packet empty{&header, nullptr};
    EXPECT_FALSE(tree.RebuildTree(empty, 7, 32));
    EXPECT_EQ(tree.ItemCount(), items);
    EXPECT_EQ(test::TreeLines(tree), lines);
}

TEST(DecodeTreeModel, DataLinesFollowTheLineCount) {
    DecodeTree tree;
    auto lines = Decode(tree, UdpFrame(40), 16);
    EXPECT_TRUE(Has(lines, "  【 ﾃﾞｰﾀ 】\t42 40"));
    EXPECT_TRUE(Has(lines, "    A.A.A.A.A.A.A.A.\t42 16"));
    EXPECT_TRUE(Has(lines, "    A.A.A.A.A.A.A.A.\t58 16"));
    EXPECT_TRUE(Has(lines, "    A.A.A.A.\t74 8"));
    EXPECT_EQ(tree.Children(tree.SectionSlot(DecodeTree::kSlotData)).size(), 3u);

    lines = Decode(tree, UdpFrame(32), 16);
    EXPECT_EQ(tree.Children(tree.SectionSlot(DecodeTree::kSlotData)).size(), 2u);
    EXPECT_EQ(lines.back(), "    A.A.A.A.A.A.A.A.\t58 16");

    // A line count of 0 or below, possible through the settings file, is the default 32.
    for (int bad : {0, -5}) {
        Decode(tree, UdpFrame(40), bad);
        EXPECT_EQ(tree.LineCount(), 32);
        EXPECT_EQ(tree.Children(tree.SectionSlot(DecodeTree::kSlotData)).size(), 2u);
    }
    // Bytes 0x8A and 0x20 show as ".", printable ones as themselves.
    std::vector<uint8_t> udp = Hex("00 35 00 35 00 0b 00 00 41 8a 20");
    lines = Decode(tree, IpFrame(kUdp, udp));
    EXPECT_TRUE(Has(lines, "    A..\t42 3"));
}

TEST(DecodeTreeModel, EthernetDataTakesTheFirstFreeSlot) {
    DecodeTree tree;
    std::vector<uint8_t> other = test::EthernetHeader(0x9000);
    other.resize(30, 0);
    Decode(tree, other);
    EXPECT_EQ(tree.Text(tree.SectionSlot(2)), "【 Ethernetﾃﾞｰﾀ 】");
    EXPECT_EQ(tree.LeadingSectionCount(), 3);

    Decode(tree, IpFrame(47, Hex("00 00 08 00")));
    EXPECT_EQ(tree.Text(tree.SectionSlot(3)), "【 Ethernetﾃﾞｰﾀ 】");

    Decode(tree, UdpFrame(0, 18));
    EXPECT_EQ(tree.Text(tree.SectionSlot(4)), "【 Ethernetﾃﾞｰﾀ 】");

    Decode(tree, UdpFrame(4, 14));
    EXPECT_EQ(tree.Text(tree.SectionSlot(4)), "【 ﾃﾞｰﾀ 】");
    EXPECT_EQ(tree.Text(tree.SectionSlot(5)), "【 Ethernetﾃﾞｰﾀ 】");
    EXPECT_EQ(tree.LeadingSectionCount(), 6);
    EXPECT_EQ(tree.SlotOfItem(tree.SectionSlot(5)), 5);
    // Sections held by slots get the section image, fields the item image.
    for (int slot = 0; slot < 6; ++slot) {
        EXPECT_EQ(tree.Image(tree.SectionSlot(slot)), DecodeTree::kImageSection);
    }
    EXPECT_EQ(tree.Image(tree.Children(tree.SectionSlot(1))[0]), DecodeTree::kImageItem);
}

TEST(DecodeTreeModel, SelectItemAtByte) {
    DecodeTree tree;
    ItemSelection none = tree.SelectItemAtByte(-1);
    EXPECT_EQ(none.item, DecodeTree::kNoItem);  // empty range list: nothing to select

    Decode(tree, UdpFrame(40));
    // Default remembered offset 0: the destination address.
    ItemSelection s = tree.SelectItemAtByte(0);
    EXPECT_TRUE(s.byRange);
    EXPECT_EQ(tree.Text(s.item), "【 宛て先MACｱﾄﾞﾚｽ 】【 00-11-22-33-44-55 】");
    EXPECT_EQ(s.first, 0);
    EXPECT_EQ(s.length, 6);
    // Equal ranges: the first inserted wins.
    s = tree.SelectItemAtByte(14);
    EXPECT_EQ(tree.Text(s.item), "【 ﾊﾞｰｼﾞｮﾝ 】【 4 】");
    s = tree.SelectItemAtByte(15);
    EXPECT_EQ(tree.Text(s.item), "【 TOS 0 】");
    // -1 selects the root, not by range.
    s = tree.SelectItemAtByte(-1);
    EXPECT_EQ(s.item, tree.Root());
    EXPECT_FALSE(s.byRange);
    EXPECT_EQ(s.first, -1);
    EXPECT_EQ(s.length, 0);
    // Byte 34: the zero-length "no options" item never qualifies.
    s = tree.SelectItemAtByte(34);
    EXPECT_EQ(tree.Text(s.item), "【 発信元ﾎﾟｰﾄ 】【 53 】");
    // A data line is narrower than its section.
    s = tree.SelectItemAtByte(43);
    EXPECT_EQ(tree.Text(s.item), "A.A.A.A.A.A.A.A.A.A.A.A.A.A.A.A.");
    EXPECT_EQ(s.length, 32);
    // The data section and its short last line cover byte 80 alike: the section wins.
    s = tree.SelectItemAtByte(80);
    EXPECT_EQ(tree.Text(s.item), "A.A.A.A.");
    // Beyond every range: nothing.
    s = tree.SelectItemAtByte(5000);
    EXPECT_EQ(s.item, DecodeTree::kNoItem);
    EXPECT_FALSE(s.byRange);
    EXPECT_EQ(s.first, -1);

    // The first range entry of an item, for the view's selection change.
    const ItemRange* r = tree.FindRange(tree.SectionSlot(DecodeTree::kSlotNetwork));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, 14);
    EXPECT_EQ(r->length, 20);
    EXPECT_EQ(tree.FindRange(tree.Root()), nullptr);
    EXPECT_EQ(tree.Row(tree.SectionSlot(DecodeTree::kSlotNetwork)), 1);
    EXPECT_EQ(tree.Depth(tree.Children(tree.SectionSlot(1))[0]), 2);
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// Item texts are formatted by the tree's own printf subset: it must print
// exactly what the C library prints, for every value shape the decoders pass.
TEST(DecodeTreeFormat, MatchesTheCLibrary) {
    DecodeTree tree;
    std::vector<uint8_t> frame(60, 0);
    PacketHeader header;
    header.caplen = header.len = 60;
    const Packet packet{&header, frame.data()};
    ASSERT_TRUE(tree.RebuildTree(packet, 1, 32));
    const int root = tree.Root();
    char expected[512];
    const int ints[] = {0, 1, -1, 9, 10, 255, -32768, 65535, 2147483647, -2147483647 - 1};
    for (int v : ints) {
        const unsigned u = static_cast<unsigned>(v);
        const unsigned long lu = static_cast<unsigned long>(u) * 3UL;
        int item = tree.AddItemF(root, "【 %d 】%u|%x|%02X|%04X|%lu|%5d|%05d|%%|%s|%c", v, u, u, u & 0xFF, u & 0xFFFF, lu, v, v, "ﾃｷｽﾄ", 'Z');
        std::snprintf(expected, sizeof expected, "【 %d 】%u|%x|%02X|%04X|%lu|%5d|%05d|%%|%s|%c", v, u, u, u & 0xFF, u & 0xFFFF, lu, v, v, "ﾃｷｽﾄ", 'Z');
        EXPECT_EQ(tree.Text(item), std::string_view(expected));
    }
    // A conversion outside the subset still prints right, and long texts
    // are cut where a 512-byte buffer cuts them.
    int item = tree.AddItemF(root, "%.2f", 1.5);
    EXPECT_EQ(tree.Text(item), "1.50");
    const std::string longText(700, 'x');
    item = tree.AddItemF(root, "%s", longText.c_str());
    EXPECT_EQ(tree.Text(item).size(), 511u);
}

}  // namespace
}  // namespace kestrel
