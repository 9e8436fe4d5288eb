// kestrel-dump --tree of real captures against expected output, packet by
// packet. Each expectation was checked by hand against the decoders' rules
// and field by field against tshark -V of the same packets.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace kestrel {
namespace {

struct GoldenCase {
    const char* capture;
    int first;  // 1-based packet numbers, inclusive
    int last;
    const char* expected;  // file in tests/decode/golden/
};

const GoldenCase kCases[] = {
    {"dhcp-rfc4388.pcap", 1, 2, "dhcp-rfc4388_1-2.tree"},
    {"dhcp-rfc4388.pcap", 6, 8, "dhcp-rfc4388_6-8.tree"},
    {"IGMP_V1.pcap", 1, 3, "IGMP_V1_1-3.tree"},
    {"IGMP_V2.pcap", 1, 2, "IGMP_V2_1-2.tree"},
    {"IGMP_V2.pcap", 5, 5, "IGMP_V2_5.tree"},
    {"ssh.pcap", 1, 2, "ssh_1-2.tree"},
    {"ssh.pcap", 48, 48, "ssh_48.tree"},
    {"whois.pcap", 1, 2, "whois_1-2.tree"},
    {"mptcp-fclose.pcap", 3, 3, "mptcp-fclose_3.tree"},
    {"ip_ts_opts_asan.pcap", 1, 1, "ip_ts_opts_asan.tree"},
    {"ip_printroute_asan.pcap", 1, 1, "ip_printroute_asan.tree"},
    {"getname_2_read4_asan.pcap", 1, 1, "getname_2_read4_asan.tree"},
    {"syslog_udp.pcap", 1, 1, "syslog_udp_1.tree"},
    {"icmp-rfc8335.pcap", 1, 1, "icmp-rfc8335_1.tree"},
    {"icmp-length-zero.pcapng", 1, 1, "icmp-length-zero.tree"},
    {"mpls-traceroute-ethernet.pcap", 1, 2, "mpls-traceroute-ethernet_1-2.tree"},
    {"mpls-traceroute-ethernet.pcap", 14, 14, "mpls-traceroute-ethernet_14.tree"},
    {"802.1D_spanning_tree.pcap", 1, 1, "802.1D_spanning_tree_1.tree"},
    {"icmpv6.pcap", 1, 1, "icmpv6_1.tree"},
    {"tcp_rst_data-trunc.pcap", 1, 1, "tcp_rst_data-trunc.tree"},
};

std::string RunDump(const std::string& arguments) {
    const std::string command =
        std::string(KESTREL_BINARY_DIR) + "/tools/kestrel-dump " + arguments;
    std::string out;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// The packets of a tree dump: each ends with a blank line.
std::vector<std::string> SplitPackets(const std::string& dump) {
    std::vector<std::string> packets;
    size_t start = 0;
    while (start < dump.size()) {
        const size_t end = dump.find("\n\n", start);
        const size_t stop = end == std::string::npos ? dump.size() : end + 2;
        packets.push_back(dump.substr(start, stop - start));
        start = stop;
    }
    return packets;
}

std::filesystem::path GoldenDir() {
    return std::filesystem::path(KESTREL_SOURCE_DIR) / "tests/decode/golden";
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(DecodeGolden, TreesOfRealCapturesMatchExpectations) {
    if (test::CapturesDir().empty())
        GTEST_SKIP() << "capture corpus not available";
    // KESTREL_UPDATE_GOLDEN=1 writes the expectations (to be reviewed by hand).
    const bool update = std::getenv("KESTREL_UPDATE_GOLDEN") != nullptr;
    for (const GoldenCase& c : kCases) {
        SCOPED_TRACE(c.expected);
        const auto path = test::CapturesDir() / c.capture;
        ASSERT_TRUE(std::filesystem::exists(path)) << path;
        const std::vector<std::string> packets =
            SplitPackets(RunDump("--tree '" + path.string() + "'"));
        ASSERT_GE(static_cast<int>(packets.size()), c.last);
        std::string actual;
        for (int i = c.first; i <= c.last; ++i) actual += packets[static_cast<size_t>(i - 1)];
        if (update) {
            std::ofstream(GoldenDir() / c.expected, std::ios::binary) << actual;
            continue;
        }
        EXPECT_EQ(actual, ReadText(GoldenDir() / c.expected));
    }
}

TEST(DecodeGolden, LineCountOptionSplitsDataLines) {
    KESTREL_CAPTURE_OR_SKIP(path, "dhcp-rfc4388.pcap");
    const auto packets = SplitPackets(RunDump("--tree --line-count 16 '" + path.string() + "'"));
    ASSERT_GE(packets.size(), 2u);
    // Packet 2: an echo request with 20 data bytes at offset 42.
    EXPECT_NE(packets[1].find("  【 ﾃﾞｰﾀ 】\t42 20\n    "), std::string::npos);
    EXPECT_NE(packets[1].find("\t42 16\n"), std::string::npos);
    EXPECT_NE(packets[1].find("\t58 4\n\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
