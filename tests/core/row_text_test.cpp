#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/capture_file.h"
#include "core/local_time.h"
#include "core/row_text.h"
#include "core/text_helpers.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::Hex;

struct OwnedPacket {
    PacketPtr packet;
    explicit OwnedPacket(const std::vector<uint8_t>& bytes, uint32_t sec = 0)
        : packet(test::MakeTestPacket(bytes, sec)) {}
    const Packet& operator*() const { return *packet; }
};

TEST(RowTexts, CellsKindsAndColours) {
    auto udp = Hex(
        "00 11 22 33 44 55  66 77 88 99 aa bb  08 00"
        "45 00 00 1d 00 01 00 00 40 11 00 00 c0 a8 01 02 c0 a8 01 03"
        "04 d2 00 35 00 09 00 00 41");
    test::FixIpv4Checksums(udp);
    // 2005-06-15 12:34:56 UTC; ctest runs in UTC.
    RowTexts row = BuildRowTexts(*OwnedPacket(udp, 1118838896), 7);
    const std::array<std::string, kColumnCount> expected = {
        "7", "12:34:56", "66778899AABB", "001122334455", "IP", "43", "UDP",
        "192.168.1.2", "192.168.1.3", "1234", "53"};
    EXPECT_EQ(row.cells, expected);
    EXPECT_EQ(row.kind, RowKind::Udp);
    EXPECT_TRUE(row.offersExtractionValues);
    EXPECT_EQ(RowColour(row.kind), (Rgb{128, 255, 128}));

    // IGMP: coloured, no ports even though bytes are there.
    auto igmp = udp;
    igmp[23] = 2;
    row = BuildRowTexts(*OwnedPacket(igmp), 1);
    EXPECT_EQ(row.kind, RowKind::Igmp);
    EXPECT_EQ(row.cells[kColumnProtocol], "IGMP");
    EXPECT_EQ(row.cells[kColumnSourcePort], "");
    EXPECT_EQ(row.cells[kColumnDestinationPort], "");
    EXPECT_EQ(RowColour(row.kind), (Rgb{128, 128, 255}));

    // Another protocol over IP stays white but still offers its addresses.
    auto gre = udp;
    gre[23] = 47;
    row = BuildRowTexts(*OwnedPacket(gre), 1);
    EXPECT_EQ(row.kind, RowKind::Other);
    EXPECT_EQ(row.cells[kColumnProtocol], "GRE");
    EXPECT_TRUE(row.offersExtractionValues);

    // ARP: operation in TYPE, addresses, no protocol, no extraction values.
    auto arp = Hex(
        "ff ff ff ff ff ff  00 01 02 03 04 05  08 06"
        "00 01 08 00 06 04 00 02 00 01 02 03 04 05 0a 00 00 01"
        "00 00 00 00 00 00 0a 00 00 02");
    row = BuildRowTexts(*OwnedPacket(arp), 2);
    EXPECT_EQ(row.cells[kColumnType], "ARP(REPLY)");
    EXPECT_EQ(row.cells[kColumnSourceIp], "10.0.0.1");
    EXPECT_EQ(row.cells[kColumnDestinationIp], "10.0.0.2");
    EXPECT_EQ(row.cells[kColumnProtocol], "");
    EXPECT_EQ(row.kind, RowKind::Arp);
    EXPECT_FALSE(row.offersExtractionValues);
    EXPECT_EQ(RowColour(row.kind), (Rgb{255, 128, 128}));
    arp[21] = 0;
    EXPECT_EQ(BuildRowTexts(*OwnedPacket(arp), 2).cells[kColumnType], "ARP()");
    arp[20] = 0xAA;
    EXPECT_EQ(BuildRowTexts(*OwnedPacket(arp), 2).cells[kColumnType], "ARP()");

    // Named and numbered EtherTypes; an 802.3 length prints as a number.
    auto other = Hex("00 11 22 33 44 55  66 77 88 99 aa bb  86 dd 60 00");
    EXPECT_EQ(BuildRowTexts(*OwnedPacket(other), 1).cells[kColumnType], "34525");
    other[12] = 0x81;
    other[13] = 0x37;
    EXPECT_EQ(BuildRowTexts(*OwnedPacket(other), 1).cells[kColumnType], "IPX");
    other[12] = 0x80;
    other[13] = 0x35;
    EXPECT_EQ(BuildRowTexts(*OwnedPacket(other), 1).cells[kColumnType], "RARP");
    other[12] = 0x08;
    other[13] = 0x40;
    EXPECT_EQ(BuildRowTexts(*OwnedPacket(other), 1).cells[kColumnType], "NetBIOS");
    other[12] = 0x00;
    other[13] = 0x26;
    row = BuildRowTexts(*OwnedPacket(other), 1);
    EXPECT_EQ(row.cells[kColumnType], "38");
    EXPECT_EQ(row.kind, RowKind::Other);
    EXPECT_EQ(RowColour(row.kind), (Rgb{255, 255, 255}));

    // A frame cut inside the MACs: only what was captured.
    row = BuildRowTexts(*OwnedPacket(Hex("00 11 22 33 44 55 66 77")), 3);
    EXPECT_EQ(row.cells[kColumnDestinationMac], "001122334455");
    EXPECT_EQ(row.cells[kColumnSourceMac], "");
    EXPECT_EQ(row.cells[kColumnType], "");
    EXPECT_EQ(row.cells[kColumnLength], "8");
}

// The time cell of rows built in a batch (one time cache) reads as strftime
// of the C library's local time: across daylight saving changes, in zones
// with odd offsets, and in a zone with leap seconds (where 23:59:60 exists).
TEST(RowTexts, BatchTimeCellsMatchTheCLibrary) {
    for (const char* zone :
         {"Europe/Berlin", "Asia/Kathmandu", "Australia/Lord_Howe", "right/UTC", "UTC"}) {
        test::ScopedTimeZone scoped(zone);
        std::vector<uint32_t> times;
        for (uint32_t base : {1774746000u - 7200, 1792890000u - 7200})
            for (uint32_t t = base; t < base + 4 * 3600; t += 13) times.push_back(t);
        // The leap second at the end of 2016, in right/UTC 1483228826.
        for (uint32_t t = 1483228800; t < 1483228860; ++t) times.push_back(t);
        for (uint64_t t = 0; t < UINT32_MAX; t += 98765431)
            times.push_back(static_cast<uint32_t>(t));
        LocalTimeCache cache;
        std::vector<uint8_t> frame(14, 0);
        for (uint32_t t : times) {
            const OwnedPacket packet(frame, t);
            ASSERT_EQ(BuildRowTexts(*packet, 1, &cache).cells[kColumnTime],
                      FormatLocalTime(t, "%H:%M:%S"))
                << zone << " " << t;
            ASSERT_EQ(BuildRowTexts(*packet, 1).cells[kColumnTime], FormatLocalTime(t, "%H:%M:%S"))
                << zone << " " << t;
        }
    }
}

TEST(RowTexts, ColumnTitlesAndWidths) {
    const char* titles[] = {"No.", "Time", "SrcMAC", "DstMAC", "TYPE", "Length",
                            "Protocol", "SrcIP", "DstIP", "SrcPort", "DstPort"};
    const int widths[] = {40, 60, 100, 100, 50, 50, 150, 90, 90, 60, 60};
    for (int i = 0; i < kColumnCount; ++i) {
        EXPECT_STREQ(kRowColumns[i].title, titles[i]);
        EXPECT_EQ(kRowColumns[i].width, widths[i]);
    }
}

TEST(RowTexts, RealCapturesAgreeWithTheirFields) {
    PacketStore store;
    for (const char* name : {"arp.pcap", "icmp.pcap", "udp.pcap"})
        ASSERT_TRUE(LoadCaptureFile(test::CorpusFile(name).string(), store).ok) << name;
    ASSERT_EQ(store.Count(), 18 + 32 + 9);
    int arp = 0, icmp = 0, udp = 0;
    for (int i = 0; i < store.Count(); ++i) {
        const RowTexts row = BuildRowTexts(*store.At(i), i + 1);
        EXPECT_EQ(row.cells[kColumnNumber], std::to_string(i + 1));
        EXPECT_EQ(row.cells[kColumnLength], std::to_string(store.At(i)->header->caplen));
        if (row.kind == RowKind::Arp) {
            ++arp;
            EXPECT_EQ(row.cells[kColumnType].substr(0, 4), "ARP(");
        } else if (row.kind == RowKind::Icmp) {
            ++icmp;
            EXPECT_EQ(row.cells[kColumnProtocol].substr(0, 4), "ICMP");
            EXPECT_EQ(row.cells[kColumnSourcePort], "");
        } else if (row.kind == RowKind::Udp) {
            ++udp;
            EXPECT_EQ(row.cells[kColumnProtocol], "UDP");
            EXPECT_NE(row.cells[kColumnSourcePort], "");
        }
    }
    // A DHCP discover from 0.0.0.0:68 to the broadcast address and port 67.
    const RowTexts dhcp = BuildRowTexts(*store.At(50), 51);
    EXPECT_EQ(dhcp.cells[kColumnSourceIp], "0.0.0.0");
    EXPECT_EQ(dhcp.cells[kColumnDestinationIp], "255.255.255.255");
    EXPECT_EQ(dhcp.cells[kColumnSourcePort], "68");
    EXPECT_EQ(dhcp.cells[kColumnDestinationPort], "67");
    // Frames cut inside the Ethernet type have no kind.
    EXPECT_EQ(arp, 16);
    EXPECT_EQ(icmp, 32);
    EXPECT_EQ(udp, 9);
}

// Every frame of the corpus, cut to every length from 0 to its full size, in
// a heap block of exactly that size: any read past caplen shows up under
// AddressSanitizer, and the cells of a cut frame are a subset of the full
// frame's cells.
TEST(RowTexts, EveryTruncationOfEveryCorpusFrame) {
    const size_t frames = test::ForEachCorpusPacket([](const auto& path, int i, const Packet& full) {
        const RowTexts whole = BuildRowTexts(full, i + 1);
        for (uint32_t n = 0; n <= full.header->caplen; ++n) {
            const test::CutPacket cut(full, n);
            const RowTexts row = BuildRowTexts(cut.Get(), i + 1);
            const ByteReader reader(cut.Get());
            std::optional<MacAddress> s, d;
            (void)SplitEthernetHeader(reader, s, d);
            (void)SummarizeArpPacket(reader);
            (void)SummarizeIpPacket(reader);
            (void)TransportChecksum(reader, kEthernetHeaderLength, static_cast<uint16_t>(n));
            (void)FormatHexDump(cut.Bytes());
            for (int c = kColumnSourceMac; c < kColumnCount; ++c) {
                // The length is the cut length; the protocol text and an ARP
                // operation grow with the bytes that are there.
                if (c == kColumnLength || c == kColumnProtocol) continue;
                if (c == kColumnType && n < 22) continue;
                if (!row.cells[c].empty()) {
                    ASSERT_EQ(row.cells[c], whole.cells[c])
                        << path.filename() << " #" << i + 1 << " cut to " << n << " col " << c;
                }
            }
        }
    });
    EXPECT_GT(frames, 150u);
}

}  // namespace
}  // namespace kestrel
