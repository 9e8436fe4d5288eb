#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/capture_file.h"
#include "core/pac_file.h"
#include "core/row_text.h"
#include "core/text_helpers.h"
#include "test_util.h"

namespace kestrel {
namespace {

struct DumpRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs kestrel-dump with `arguments` (already shell-quoted) and collects its
// output and exit status.
DumpRun Dump(const std::string& arguments) {
    test::TempDir temp;
    const std::string errPath = temp.File("err").string();
    const std::string command =
        std::string(KESTREL_BINARY_DIR) + "/tools/kestrel-dump " + arguments + " 2>" + errPath;
    DumpRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto err = test::ReadFileBytes(errPath);
    run.err.assign(err.begin(), err.end());
    return run;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

TEST(KestrelDump, RowsOfEveryCorpusFile) {
    const auto files = test::AllCaptureFiles();
    if (files.empty()) GTEST_SKIP() << "capture corpus not available";
    for (const auto& path : files) {
        PacketStore store;
        if (!LoadCaptureFile(path.string(), store).ok) continue;
        const DumpRun run = Dump(Quote(path.string()));
        ASSERT_EQ(run.status, 0) << path << ": " << run.err;
        auto lines = Split(run.out, '\n');
        ASSERT_EQ(lines.back(), "") << path;
        lines.pop_back();
        ASSERT_EQ(lines.size(), static_cast<size_t>(store.Count())) << path;
        for (size_t i = 0; i < lines.size(); ++i) {
            const auto cells = Split(lines[i], '\t');
            ASSERT_EQ(cells.size(), 11u) << path << " line " << i + 1;
            const RowTexts row = BuildRowTexts(*store.At(static_cast<int>(i)), static_cast<int>(i) + 1);
            for (size_t c = 0; c < cells.size(); ++c) EXPECT_EQ(cells[c], row.cells[c]);
        }
    }
}

// --json parses (jq) and carries the same items, depths and byte ranges as
// --tree; the cells are the rows' cells.
TEST(KestrelDump, JsonIsTheTreeAndTheRow) {
    auto files = test::AllCaptureFiles();
    const std::string sample = std::string(KESTREL_BINARY_DIR) + "/sample.pac";
    files.emplace_back(sample);
    const std::string jq = std::string(" | jq -r -f ") + KESTREL_SOURCE_DIR "/tests/tools/json_tree.jq";
    for (const auto& path : files) {
        const DumpRun json = Dump("--json " + Quote(path.string()) + jq);
        ASSERT_EQ(json.status, 0) << path << ": " << json.err;
        EXPECT_EQ(json.out, Dump("--tree " + Quote(path.string())).out) << path;
    }
    const DumpRun cells = Dump("--json " + Quote(sample) +
                               " | jq -r '.cells | [.[]] | join(\"\\t\")'");
    EXPECT_EQ(cells.out, Dump(Quote(sample)).out);
}

TEST(KestrelDump, HexAndPacFilesAndFailures) {
    KESTREL_CAPTURE_OR_SKIP(path, "IGMP_V2.pcap");
    PacketStore store;
    ASSERT_TRUE(LoadCaptureFile(path.string(), store).ok);

    // --hex: each packet's dump text and a blank line.
    const DumpRun hex = Dump("--hex " + Quote(path.string()));
    ASSERT_EQ(hex.status, 0) << hex.err;
    std::string expected;
    for (int i = 0; i < store.Count(); ++i) {
        const Packet& p = *store.At(i);
        expected += FormatHexDump(std::span<const uint8_t>(p.data, p.header->caplen)) + "\r\n";
    }
    EXPECT_EQ(hex.out, expected);

    // The same packets saved as .pac read back with the same rows, and the
    // kind is told by content, not by the name.
    test::TempDir temp;
    const auto pac = temp.File("copy.pcap");
    std::string error;
    ASSERT_TRUE(WritePacFile(store, pac.string(), error)) << error;
    const DumpRun original = Dump(Quote(path.string()));
    const DumpRun copy = Dump("--rows " + Quote(pac.string()));
    ASSERT_EQ(copy.status, 0) << copy.err;
    EXPECT_EQ(Split(copy.out, '\n').size(), Split(original.out, '\n').size());
    // Two files print one after the other.
    const DumpRun both = Dump(Quote(path.string()) + " " + Quote(pac.string()));
    EXPECT_EQ(both.out, original.out + copy.out);

    // Not a capture: exit 1 with a message, nothing on stdout.
    const auto text = temp.File("notes.txt");
    test::WriteFileBytes(text, test::Hex("48 65 6c 6c 6f 2c 20 77 6f 72 6c 64 0a"));
    const DumpRun bad = Dump(Quote(text.string()));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("ﾊﾟｹｯﾄ ﾌｧｲﾙではありません"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.out, "");
    const DumpRun missing = Dump(Quote(temp.File("absent.pac").string()));
    EXPECT_EQ(missing.status, 1);
    EXPECT_FALSE(missing.err.empty());

    // Bad usage: exit 2.
    EXPECT_EQ(Dump("--no-such-option").status, 2);
    EXPECT_EQ(Dump("").status, 2);
    EXPECT_EQ(Dump("--line-count").status, 2);
    const DumpRun help = Dump("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage"), std::string::npos);
}

// A capture from the terminal on loopback, when this process may capture:
// UDP datagrams are sent until kestrel-dump has its 50 packets and saved them.
TEST(KestrelDump, CapturesFiftyPacketsOnLoopback) {
    const DumpRun adapters = Dump("--list-adapters");
    ASSERT_EQ(adapters.status, 0) << adapters.err;
    if (adapters.out.find("127.0.0.1\n") == std::string::npos) GTEST_SKIP() << "no 127.0.0.1 adapter";
    if (geteuid() != 0) GTEST_SKIP() << "capturing needs root or CAP_NET_RAW";

    test::TempDir temp;
    const auto out = temp.File("fifty.pac");
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(9);  // discard
        for (int i = 0; !done && i < 20000; ++i) {
            const std::string text = "kestrel-dump capture " + std::to_string(i);
            sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(s);
    });
    const DumpRun run = Dump("--capture 127.0.0.1 -c 50 -w " + Quote(out.string()));
    done = true;
    traffic.join();
    ASSERT_EQ(run.status, 0) << run.err;
    const DumpRun rows = Dump(Quote(out.string()));
    ASSERT_EQ(rows.status, 0) << rows.err;
    EXPECT_EQ(Split(rows.out, '\n').size(), 51u);

    // An adapter that does not exist: exit 1 with the reason.
    const DumpRun missing = Dump("--capture 203.0.113.254 -c 1 -w " + Quote(temp.File("x.pac").string()));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("203.0.113.254"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(temp.File("x.pac")));
}

// The shipped sample: every frame kind the list colours, and every checksum
// right, so a first look at Kestrel shows no false alarms.
TEST(SampleCapture, HoldsEveryKindWithValidChecksums) {
    const std::string path = std::string(KESTREL_BINARY_DIR) + "/sample.pac";
    PacketStore store;
    const LoadResult loaded = LoadCaptureFile(path, store);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    EXPECT_EQ(loaded.kind, FileKind::Pac);
    ASSERT_EQ(store.Count(), 20);
    std::set<RowKind> kinds;
    for (int i = 0; i < store.Count(); ++i) {
        const Packet& p = *store.At(i);
        kinds.insert(BuildRowTexts(p, i + 1).kind);
        const ByteReader frame(p);
        std::optional<MacAddress> s, d;
        if (SplitEthernetHeader(frame, s, d) != kEtherTypeIp) continue;
        const size_t h = (*frame.U8(14) & 0x0F) * 4u;
        EXPECT_EQ(InternetChecksum(*frame.Bytes(14, h)), 0) << i + 1;
        const uint8_t protocol = *frame.U8(23);
        const uint16_t total = *frame.Be16(16);
        const uint16_t payload = static_cast<uint16_t>(total - h);
        if (protocol == kIpProtocolTcp || protocol == kIpProtocolUdp) {
            EXPECT_EQ(TransportChecksum(frame, 14, payload), std::optional<uint16_t>(0)) << i + 1;
        } else {
            EXPECT_EQ(InternetChecksum(*frame.Bytes(14 + h, payload)), 0) << i + 1;
        }
    }
    EXPECT_EQ(kinds, (std::set<RowKind>{RowKind::Arp, RowKind::Icmp, RowKind::Igmp, RowKind::Tcp,
                                        RowKind::Udp}));
}

}  // namespace
}  // namespace kestrel
