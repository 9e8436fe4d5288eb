#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/capture_file.h"
#include "core/names.h"
#include "core/text_helpers.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::Hex;

ByteReader Reader(const std::vector<uint8_t>& bytes) { return ByteReader(bytes.data(), bytes.size()); }

// Ethernet + IPv4 (20 bytes) + TCP (20 bytes), with a chosen flag byte.
std::vector<uint8_t> TcpFrame(uint8_t flags) {
    auto f = Hex(
        "00 11 22 33 44 55  66 77 88 99 aa bb  08 00"
        "45 00 00 28 12 34 40 00 40 06 00 00 c0 a8 01 02 0a 00 00 01"
        "d4 31 00 50 00 00 00 01 00 00 00 00 50 00 ff ff 00 00 00 00");
    f[14 + 20 + 13] = flags;
    test::FixIpv4Checksums(f);
    return f;
}

std::vector<uint8_t> IcmpFrame(uint8_t type) {
    auto f = Hex(
        "00 11 22 33 44 55  66 77 88 99 aa bb  08 00"
        "45 00 00 1c 00 01 00 00 40 01 00 00 7f 00 00 01 7f 00 00 02"
        "08 00 00 00 00 01 00 02");
    f[34] = type;
    test::FixIpv4Checksums(f);
    return f;
}

TEST(HexDump, LineLengthsColumnsAndCharacters) {
    std::vector<uint8_t> bytes(17);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x41 + i);
    bytes[1] = 0x20;  // space
    bytes[2] = 0x7F;
    bytes[3] = 0xFF;
    bytes[4] = 0x00;
    bytes[5] = 0x21;
    bytes[6] = 0x7E;

    std::string full = FormatHexDump(std::span(bytes.data(), 16));
    ASSERT_EQ(full.size(), 73u);
    EXPECT_EQ(full,
              "0000  41 20 7F FF 00 21 7E 48 49 4A 4B 4C 4D 4E 4F 50  "
              "A....!~HIJKLMNOP\r\n");

    std::string two = FormatHexDump(bytes);
    ASSERT_EQ(two.size(), 73u + 58u);
    const std::string second = two.substr(73);
    EXPECT_EQ(second.size(), 58u);
    EXPECT_EQ(second.substr(0, 9), "0010  51 ");
    // The character column starts at the same place on both lines.
    EXPECT_EQ(full[55], 'A');
    EXPECT_EQ(second[55], 'Q');
    EXPECT_EQ(second.substr(9, 46), std::string(46, ' '));
    EXPECT_EQ(second.substr(second.size() - 3), "Q\r\n");

    // Nothing at all, not even the terminator, for no bytes.
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(FormatHexDump(bytes.data(), 0, out), 0);
    EXPECT_EQ(FormatHexDump(bytes.data(), -5, out), 0);
    EXPECT_EQ(out[0], 'x');

    // One byte: 6 + 3 + 45 + 1 + 1 + 2 characters, NUL after them.
    std::vector<char> buffer(HexDumpBufferSize(1), '#');
    ASSERT_EQ(buffer.size(), 74u);
    EXPECT_EQ(FormatHexDump(bytes.data(), 1, buffer.data()), 58);
    EXPECT_EQ(buffer[58], '\0');
}

TEST(HexDump, OffsetsBeyondSixteenBitsFitTheBuffer) {
    // A 65536 + 20 byte frame: the last lines need five offset digits. The
    // buffer is sized exactly and any overrun would show under AddressSanitizer.
    const int n = 0x10000 + 20;
    std::vector<uint8_t> bytes(n, 0x30);
    auto buffer = std::make_unique<char[]>(HexDumpBufferSize(n));
    const int written = FormatHexDump(bytes.data(), n, buffer.get());
    ASSERT_LT(static_cast<size_t>(written), HexDumpBufferSize(n));
    const std::string text(buffer.get(), written);
    EXPECT_NE(text.find("\r\n10000  30 "), std::string::npos);
    EXPECT_NE(text.find("\r\n10010  30 30 30 30 "), std::string::npos);
    EXPECT_EQ(text.substr(0, 6), "0000  ");
}

TEST(Checksums, InternetAndTransport) {
    const uint8_t one = 0x01;
    EXPECT_EQ(InternetChecksum(&one, 1), 0xFFFE);
    EXPECT_EQ(InternetChecksum(&one, 0), 0xFFFF);
    EXPECT_EQ(InternetChecksum(&one, -1), 0xFFFF);

    // A correct header checksums to 0 with its checksum field included.
    auto tcp = TcpFrame(0x12);
    EXPECT_EQ(InternetChecksum(tcp.data() + 14, 20), 0);
    EXPECT_EQ(TransportChecksum(Reader(tcp), 14, 20), std::optional<uint16_t>(0));
    tcp[tcp.size() - 1] ^= 0x01;
    EXPECT_NE(TransportChecksum(Reader(tcp), 14, 20), std::optional<uint16_t>(0));

    // Header length 6: the segment is taken from offset 24 of the header.
    auto withOptions = Hex(
        "00 11 22 33 44 55  66 77 88 99 aa bb  08 00"
        "46 00 00 2c 12 34 40 00 40 06 00 00 c0 a8 01 02 0a 00 00 01 94 04 00 00"
        "d4 31 00 50 00 00 00 01 00 00 00 00 50 02 ff ff 00 00 00 00");
    test::FixIpv4Checksums(withOptions);
    EXPECT_EQ(InternetChecksum(withOptions.data() + 14, 24), 0);
    EXPECT_EQ(TransportChecksum(Reader(withOptions), 14, 20), std::optional<uint16_t>(0));

    // A segment length beyond the captured bytes gives no value instead of
    // reading past the frame; so does a pseudo-header that was cut off.
    EXPECT_EQ(TransportChecksum(Reader(tcp), 14, 21), std::nullopt);
    EXPECT_EQ(TransportChecksum(Reader(tcp), 14, 0xFFFF), std::nullopt);
    EXPECT_EQ(TransportChecksum(ByteReader(tcp.data(), 30), 14, 0), std::nullopt);
}

TEST(Checksums, RealIpv4HeadersAreZero) {
    size_t checked = 0;
    const size_t frames = test::ForEachCorpusPacket([&](const auto& path, int i, const Packet& p) {
        // Fuzzed files carry deliberately wrong checksums, and TSO captures are
        // taken before the adapter fills them in (0); the rest is traffic as
        // it was on the wire.
        const std::string name = path.filename().string();
        if (name.find("asan") != std::string::npos || name.find("oobr") != std::string::npos ||
            name.find("tso") != std::string::npos || p.header->caplen < 26 ||
            (p.data[24] == 0 && p.data[25] == 0))
            return;
        const ByteReader frame(p);
        std::optional<MacAddress> s, d;
        if (SplitEthernetHeader(frame, s, d) != kEtherTypeIp)
            return;
        const auto first = frame.U8(14);
        if (!first || (*first >> 4) != 4 || (*first & 0x0F) < 5)
            return;
        const auto header = frame.Bytes(14, (*first & 0x0F) * 4u);
        if (!header)
            return;
        EXPECT_EQ(InternetChecksum(*header), 0) << name << " frame " << i + 1;
        ++checked;
    });
    EXPECT_GT(frames, 150u);
    EXPECT_GT(checked, 100u);
}

TEST(Summaries, TcpFlagsIcmpTypesAndArpOperations) {
    IpSummary all = SummarizeIpPacket(Reader(TcpFrame(0x3F)));
    EXPECT_EQ(all.text, "TCP【 FIN 】【 SYN 】【 RST 】【 PSH 】【 ACK 】【 URG 】");
    EXPECT_EQ(all.sourcePort, 54321);
    EXPECT_EQ(all.destinationPort, 80);
    EXPECT_EQ(all.totalLength, 40);
    EXPECT_EQ(FormatIpv4(*all.source), "192.168.1.2");
    EXPECT_EQ(FormatIpv4(*all.destination), "10.0.0.1");
    EXPECT_EQ(FormatIpv4({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(FormatIpv4({255, 255, 255, 255}), "255.255.255.255");
    EXPECT_EQ(FormatIpv4({100, 9, 10, 199}), "100.9.10.199");
    EXPECT_EQ(SummarizeIpPacket(Reader(TcpFrame(0x12))).text, "TCP【 SYN 】【 ACK 】");
    EXPECT_EQ(SummarizeIpPacket(Reader(TcpFrame(0xC0))).text, "TCP");

    IpSummary echo = SummarizeIpPacket(Reader(IcmpFrame(8)));
    EXPECT_EQ(echo.text, "ICMPｴｺｰ要求");
    EXPECT_FALSE(echo.sourcePort);
    EXPECT_EQ(SummarizeIpPacket(Reader(IcmpFrame(255))).text, "ICMP");
    EXPECT_EQ(IcmpTypeName(255), "");
    EXPECT_EQ(IcmpTypeName(0), "ｴｺｰ応答");

    auto arp = Hex(
        "ff ff ff ff ff ff  00 01 02 03 04 05  08 06"
        "00 01 08 00 06 04 00 01 00 01 02 03 04 05 c0 a8 00 01"
        "00 00 00 00 00 00 c0 a8 00 fe");
    ArpSummary request = SummarizeArpPacket(Reader(arp));
    EXPECT_EQ(request.text, ArpOperationNames[1]);
    EXPECT_FALSE(request.text.empty());
    arp[21] = 24;
    ArpSummary unknown = SummarizeArpPacket(Reader(arp));
    EXPECT_EQ(unknown.text, "");
    ASSERT_TRUE(unknown.sender && unknown.target);
    EXPECT_EQ(FormatIpv4(*unknown.sender), "192.168.0.1");
    EXPECT_EQ(FormatIpv4(*unknown.target), "192.168.0.254");
    arp[20] = 0x01;  // 0x0118
    EXPECT_EQ(SummarizeArpPacket(Reader(arp)).text, "");

    // Cut frames give what was captured and no more.
    ArpSummary cut = SummarizeArpPacket(ByteReader(arp.data(), 32));
    EXPECT_TRUE(cut.sender);
    EXPECT_FALSE(cut.target);
    auto tcp = TcpFrame(0x02);
    IpSummary noFlags = SummarizeIpPacket(ByteReader(tcp.data(), 14 + 20 + 4));
    EXPECT_EQ(noFlags.text, "TCP");
    EXPECT_EQ(noFlags.destinationPort, 80);
    IpSummary noPorts = SummarizeIpPacket(ByteReader(tcp.data(), 14 + 20 + 3));
    EXPECT_EQ(noPorts.sourcePort, 54321);
    EXPECT_FALSE(noPorts.destinationPort);
    EXPECT_FALSE(SummarizeIpPacket(ByteReader(tcp.data(), 23)).protocol);
}

TEST(Summaries, EthernetSplit) {
    auto f = TcpFrame(0);
    std::optional<MacAddress> source, destination;
    EXPECT_EQ(SplitEthernetHeader(Reader(f), source, destination), 0x0800);
    EXPECT_EQ(*source, (MacAddress{0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb}));
    EXPECT_EQ(*destination, (MacAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    source.reset();
    destination.reset();
    EXPECT_EQ(SplitEthernetHeader(ByteReader(f.data(), 13), source, destination), -1);
    EXPECT_TRUE(source && destination);
    source.reset();
    destination.reset();
    EXPECT_EQ(SplitEthernetHeader(ByteReader(f.data(), 11), source, destination), -1);
    EXPECT_TRUE(destination);
    EXPECT_FALSE(source);
}

TEST(Names, TablesHoldTheirTexts) {
    EXPECT_EQ(IpProtocolNames[1], "ICMP");
    EXPECT_EQ(IpProtocolNames[6], "TCP");
    EXPECT_EQ(IpProtocolNames[17], "UDP");
    EXPECT_EQ(ArpOperationNames[0], "");
    for (size_t i = 1; i < ArpOperationNames.size(); ++i) {
        EXPECT_FALSE(ArpOperationNames[i].empty()) << i;
    }
    for (auto name : PrecedenceNames) EXPECT_FALSE(name.empty());
    for (auto name : IpOptionClassNames) EXPECT_FALSE(name.empty());
    // Every text is valid UTF-8 with no stray terminators inside.
    auto valid = [](std::string_view s) {
        for (size_t i = 0; i < s.size();) {
            const auto c = static_cast<unsigned char>(s[i]);
            const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
            if (n == 0 || i + n > s.size() || c == 0) return false;
            for (size_t k = 1; k < n; ++k)
                if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
            i += n;
        }
        return true;
    };
    for (auto name : IpProtocolNames) EXPECT_TRUE(valid(name)) << name;
    for (auto name : IcmpTypeNames) EXPECT_TRUE(valid(name)) << name;
    for (auto name : ArpOperationNames) EXPECT_TRUE(valid(name)) << name;
}

}  // namespace
}  // namespace kestrel
