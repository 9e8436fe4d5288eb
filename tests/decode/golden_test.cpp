// kestrel-dump --tree of capture files against expected output: the
// project's corpus (tests/corpus) file by file, and packets of the peer
// captures when they are there. Each expectation was checked against the
// decoders' rules and field by field against tshark -V of the same packets
// (for the corpus: tools/corpus/compare_with_tshark.py).
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
    {"tcp_eight_lowest_weight_flags_set.pcap", 1, 1, "tcp_eight_lowest_weight_flags_set.tree"},
    {"ipv4_tcp_http_xml_tso.pcap", 1, 1, "ipv4_tcp_http_xml_tso.tree"},
    {"igmpv3-queries.pcap", 1, 1, "igmpv3-queries_1.tree"},
    {"802.1ad_QinQ.pcap", 1, 1, "802.1ad_QinQ_1.tree"},
};

std::string RunDump(const std::string& arguments) {
    const std::string command =
        std::string(KESTREL_DUMP_PROGRAM) + " " + arguments;
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

// The whole tree dump of every file of the project's corpus matches
// golden/<file>.tree; the listed packets of the peer captures match their
// golden files when those captures are there.
TEST(DecodeGolden, TreesOfRealCapturesMatchExpectations) {
    // KESTREL_UPDATE_GOLDEN=1 writes the expectations (to be reviewed by hand).
    const bool update = std::getenv("KESTREL_UPDATE_GOLDEN") != nullptr;
    const auto check = [&](const std::string& actual, const std::string& expected) {
        SCOPED_TRACE(expected);
        if (update)
            std::ofstream(GoldenDir() / expected, std::ios::binary) << actual;
        else
            EXPECT_EQ(actual, ReadText(GoldenDir() / expected));
    };
    int files = 0;
    const auto corpus = std::filesystem::path(KESTREL_SOURCE_DIR) / "tests/corpus";
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const auto& path = entry.path();
        if (path.extension() != ".pcap" && path.extension() != ".pcapng")
            continue;
        check(RunDump("--tree '" + path.string() + "'"), path.stem().string() + ".tree");
        ++files;
    }
    EXPECT_GE(files, 12);
    if (test::CapturesDir().empty())
        return;
    for (const GoldenCase& c : kCases) {
        const auto path = test::CapturesDir() / c.capture;
        ASSERT_TRUE(std::filesystem::exists(path)) << path;
        const std::vector<std::string> packets =
            SplitPackets(RunDump("--tree '" + path.string() + "'"));
        ASSERT_GE(static_cast<int>(packets.size()), c.last);
        std::string actual;
        for (int i = c.first; i <= c.last; ++i) actual += packets[static_cast<size_t>(i - 1)];
        check(actual, c.expected);
    }
}

TEST(DecodeGolden, LineCountOptionSplitsDataLines) {
    const auto path = test::CorpusFile("icmp.pcap");
    const auto packets = SplitPackets(RunDump("--tree --line-count 16 '" + path.string() + "'"));
    ASSERT_GE(packets.size(), 2u);
    // Packet 2: an echo reply with 20 data bytes at offset 42.
    EXPECT_NE(
        packets[1].find("  【 ﾃﾞｰﾀ 】\t42 20\n    abcdefghijklmnop\t42 16\n    qrst\t58 4\n\n"),
        std::string::npos)
        << packets[1];
}

}  // namespace
}  // namespace kestrel
