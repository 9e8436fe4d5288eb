#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/capture_file.h"
#include "core/capture_reader.h"
#include "core/capture_writer.h"
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

// Runs a shell command and collects its output and exit status.
DumpRun RunShell(const std::string& command) {
    test::TempDir temp;
    const std::string errPath = temp.File("err").string();
    DumpRun run;
    FILE* pipe = popen((command + " 2>" + errPath).c_str(), "r");
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

// Runs kestrel-dump with `arguments` (already shell-quoted; `before` is put
// in front of the command: variables, or a pipe into it).
DumpRun Dump(const std::string& arguments, const std::string& before = "") {
    return RunShell(before + std::string(KESTREL_DUMP_PROGRAM) + " " + arguments);
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
    for (const auto& path : test::AllCaptureFiles()) {
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
    const std::string jq = std::string(" | jq -r -f ") + KESTREL_SOURCE_DIR "/tests/programs/json_tree.jq";
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
    const auto path = test::CorpusFile("igmp.pcap");
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

// Writes `count` frames of the sample (repeated) as a file of `kind`.
void WriteRepeated(const std::string& path, FileKind kind, int count) {
    PacketStore sample;
    ASSERT_TRUE(LoadCaptureFile(std::string(KESTREL_BINARY_DIR) + "/sample.pac", sample).ok);
    CaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, kind, error)) << error;
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(writer.Write(*sample.At(i % sample.Count()), error));
    ASSERT_TRUE(writer.Finish(error)) << error;
}

size_t LineCount(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// Files are streamed: every packet of a file of any size is printed, -c
// takes the first N; standard input and FIFOs are read once; an input that
// yields no packet because the reader stopped on an error fails.
TEST(KestrelDump, StreamsEveryPacketFromFilesPipesAndFifos) {
    test::TempDir temp;
    const auto many = temp.File("many.pcap");
    WriteRepeated(many.string(), FileKind::Pcap, PacketStore::kCapacity + 5);
    DumpRun run = Dump(Quote(many.string()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(LineCount(run.out), static_cast<size_t>(PacketStore::kCapacity + 5));
    EXPECT_EQ(run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1, 6), "30005\t");
    const std::string all = run.out;

    // -c counts over all files.
    const std::string sample = std::string(KESTREL_BINARY_DIR) + "/sample.pac";
    run = Dump("-c 25 " + Quote(sample) + " " + Quote(many.string()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LineCount(run.out), 25u);
    EXPECT_EQ(run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1, 2), "5\t");

    // Standard input, pcap and .pac, through a pipe.
    run = Dump("-", "cat " + Quote(many.string()) + " | ");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, all);
    const DumpRun pac = Dump(Quote(sample));
    run = Dump("- " + Quote(sample), "cat " + Quote(sample) + " | ");
    EXPECT_EQ(run.out, pac.out + pac.out);

    // A FIFO that a thread feeds.
    const auto fifo = temp.File("fifo");
    const auto bytes = test::ReadFileBytes(many);
    std::thread writer = test::FeedFifo(fifo, bytes);
    run = Dump(Quote(fifo.string()));
    writer.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, all);

    // A pcap header and a damaged first record: no packet, exit 1. The same
    // damage after packets: those packets, a warning, exit 0.
    auto damaged = std::vector<uint8_t>(bytes.begin(), bytes.begin() + 24);
    const auto bad = test::Hex("00000000 00000000 ffffff7f ffffff7f");
    damaged.insert(damaged.end(), bad.begin(), bad.end());
    test::WriteFileBytes(temp.File("bad.pcap"), damaged);
    run = Dump(Quote(temp.File("bad.pcap").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("bad.pcap"), std::string::npos) << run.err;
    // The same damage after packets: those packets are printed (or
    // written), the reason follows, and the exit status is 1 all the same.
    damaged = std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2000);
    damaged.insert(damaged.end(), bad.begin(), bad.end());
    const auto tail = temp.File("tail.pcap");
    test::WriteFileBytes(tail, damaged);
    run = Dump(Quote(tail.string()));
    EXPECT_EQ(run.status, 1);
    const size_t printed = LineCount(run.out);
    EXPECT_GT(printed, 0u);
    EXPECT_NE(run.err.find("tail.pcap"), std::string::npos) << run.err;
    const auto copy = temp.File("copy.pcap");
    run = Dump("-w " + Quote(copy.string()) + " " + Quote(tail.string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("tail.pcap"), std::string::npos) << run.err;
    EXPECT_EQ(LineCount(Dump(Quote(copy.string())).out), printed);
}

// Output that cannot be written fails with the system's reason, in every
// mode, however little there is to write.
TEST(KestrelDump, OutputThatCannotBeWrittenFails) {
    const std::string sample = Quote(std::string(KESTREL_BINARY_DIR) + "/sample.pac");
    const std::string full = std::strerror(ENOSPC);
    for (const std::string mode : {"--rows", "--hex", "--tree", "--json", "--rows --tree -c 3", "-w -"}) {
        const DumpRun run = Dump(mode + " " + sample + " >/dev/full");
        EXPECT_EQ(run.status, 1) << mode;
        EXPECT_NE(run.err.find(full), std::string::npos) << mode << ": " << run.err;
    }
    if (!Dump("--list-adapters").out.empty()) {
        const DumpRun run = Dump("--list-adapters >/dev/full");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(full), std::string::npos) << run.err;
    }
}

// Times past 2106, which pcapng's 64-bit stamps hold, keep their seconds in
// JSON, rows and trees (libpcap and tshark give 4323283200 for 2107-01-01),
// and in the files that can hold them; pcap, whose seconds are 32 bits,
// refuses them rather than wrap.
TEST(KestrelDump, TimesPast2106KeepTheirSeconds) {
    test::TempDir temp;
    const auto in = temp.File("2107.pcapng");
    std::vector<uint8_t> bytes = test::Hex(
        "0a0d0d0a 1c000000 4d3c2b1a 01000000 ffffffff ffffffff 1c000000"
        "01000000 14000000 01000000 00000400 14000000"
        "06000000 5c000000 00000000 005c0f00 004066cf 3c000000 3c000000");
    bytes.resize(bytes.size() + 60, 0);
    for (const uint8_t b : test::Hex("5c000000")) bytes.push_back(b);
    test::WriteFileBytes(in, bytes);
    for (const char* name : {"2107.pcapng", "copy.pcapng", "copy.pac"}) {
        const auto path = temp.File(name);
        if (path != in) {
            const DumpRun copy = Dump("-w " + Quote(path.string()) + " " + Quote(in.string()));
            ASSERT_EQ(copy.status, 0) << name << ": " << copy.err;
        }
        const DumpRun json = Dump("--json " + Quote(path.string()));
        EXPECT_NE(json.out.find("\"sec\":4323283200,"), std::string::npos) << name << json.out;
        EXPECT_EQ(Split(Dump(Quote(path.string())).out, '\t')[1], "00:00:00") << name;
        EXPECT_NE(Dump("--tree " + Quote(path.string())).out.find("2107/01/01 00:00:00"),
                  std::string::npos) << name;
    }
    const auto pcap = temp.File("copy.pcap");
    const DumpRun refused = Dump("-w " + Quote(pcap.string()) + " " + Quote(in.string()));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("No.1"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(pcap));
}

// -f selects the packets tcpdump selects with the same expression, on pcap
// and on .pac, and keeps their numbers in the input; a bad expression exits 2.
TEST(KestrelDump, FiltersSelectWhatTcpdumpSelects) {
    if (std::system("tcpdump --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tcpdump";
    test::TempDir temp;
    const std::string pac = temp.File("x.pac").string();
    const std::string records = " | tail -c +25 | od -An -v -tx1";
    for (const auto& path : test::AllCaptureFiles()) {
        const std::string file = Quote(path.string());
        const DumpRun all = Dump(file);
        if (all.status != 0 || Dump("-w " + Quote(pac) + " " + file).status != 0) continue;
        const auto rows = Split(all.out, '\n');
        for (const char* expression : {"udp", "tcp and port 43", "arp or icmp", "ip[2:2] > 1000",
                                       "ip[6:2] & 0x3fff != 0"}) {
            const std::string f = std::string(" -f '") + expression + "' ";
            const DumpRun selected = Dump("-w -" + f + file + records);
            const DumpRun expected =
                RunShell("tcpdump -r " + file + " -w - '" + expression + "' 2>/dev/null" + records);
            EXPECT_EQ(selected.out, expected.out) << path << ": " << expression;
            const DumpRun numbered = Dump("--rows" + f + file);
            std::string numbers;
            for (const std::string& line : Split(numbered.out, '\n')) {
                if (line.empty()) continue;
                const size_t n = std::stoul(line.substr(0, line.find('\t')));
                ASSERT_LE(n, rows.size());
                EXPECT_EQ(line, rows[n - 1]) << path << ": " << expression;
                numbers += line.substr(0, line.find('\t')) + " ";
            }
            const DumpRun fromPac = Dump("--rows" + f + Quote(pac) + " | cut -f1 | tr '\\n' ' '");
            EXPECT_EQ(fromPac.out, numbers) << path << ": " << expression;
        }
    }
    const DumpRun bad = Dump("-f 'tcp port' " + Quote(std::string(KESTREL_BINARY_DIR) + "/sample.pac"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("syntax error"), std::string::npos) << bad.err;
}

// -w - writes a stream that - reads back with the same bytes and times; a
// growing pipe is printed packet by packet, as the packets arrive.
TEST(KestrelDump, StreamsThroughPipesBothWays) {
    for (const auto& path : test::AllCaptureFiles()) {
        const DumpRun direct = Dump("--json " + Quote(path.string()));
        if (direct.status != 0) continue;
        const DumpRun piped = Dump(
            "--json -", std::string(KESTREL_DUMP_PROGRAM) + " -w - " + Quote(path.string()) + " | ");
        EXPECT_EQ(piped.out, direct.out) << path;
    }

    test::TempDir temp;
    const auto fifo = temp.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto bytes = test::ReadFileBytes(std::string(KESTREL_BINARY_DIR) + "/sample.pac");
    std::atomic<bool> firstRowSeen{false};
    bool seenBeforeTheRest = false;
    std::thread writer([&] {
        FILE* out = std::fopen(fifo.c_str(), "wb");
        // The first record of the sample, then a pause until its row is out.
        const size_t first = 20 + (bytes[0] | bytes[1] << 8);
        std::fwrite(bytes.data(), 1, first, out);
        std::fflush(out);
        for (int i = 0; i < 500 && !firstRowSeen; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        seenBeforeTheRest = firstRowSeen;
        std::fwrite(bytes.data() + first, 1, bytes.size() - first, out);
        std::fclose(out);
    });
    FILE* dump = popen((std::string(KESTREL_DUMP_PROGRAM) + " " +
                        Quote(fifo.string())).c_str(), "r");
    char line[4096];
    int lines = 0;
    while (std::fgets(line, sizeof line, dump)) {
        firstRowSeen = true;
        ++lines;
    }
    pclose(dump);
    writer.join();
    EXPECT_TRUE(seenBeforeTheRest);
    EXPECT_EQ(lines, 20);
}

// -w converts through the document's save code: every packet, the kind from
// --format or the output's name; a failed conversion keeps the old output.
TEST(KestrelDump, ConvertsWithTheSaveCode) {
    test::TempDir temp;
    const auto many = temp.File("many.pcap");
    WriteRepeated(many.string(), FileKind::Pcap, PacketStore::kCapacity + 5);
    const DumpRun rows = Dump(Quote(many.string()));
    for (const auto& [name, format, kind] :
         {std::tuple{"out.pac", "", FileKind::Pac}, std::tuple{"out.pcapng", "", FileKind::PcapNg},
          std::tuple{"out.cap", "", FileKind::Pcap},
          std::tuple{"out.pcap", "pac", FileKind::Pac}}) {
        const auto out = temp.File(name);
        const std::string formatOption = *format ? std::string("--format ") + format + " " : "";
        const DumpRun run =
            Dump(formatOption + "-w " + Quote(out.string()) + " " + Quote(many.string()));
        ASSERT_EQ(run.status, 0) << name << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("30005 packets written"), std::string::npos) << run.err;
        const auto head = test::ReadFileBytes(out);
        EXPECT_EQ(DetectFileKind({head.data(), head.size() < 4 ? head.size() : 4}), kind) << name;
        EXPECT_EQ(Dump(Quote(out.string())).out, rows.out) << name;
    }
    // libpcap reads the pcapng written.
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(temp.File("out.pcapng").c_str(), errbuf);
    ASSERT_NE(pcap, nullptr) << errbuf;
    EXPECT_EQ(pcap_datalink(pcap), DLT_EN10MB);
    pcap_close(pcap);

    // -c with -w; rows printed as well when asked for.
    DumpRun run = Dump("--rows -c 3 -w " + Quote(temp.File("three.pac").string()) + " " +
                       Quote(many.string()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LineCount(run.out), 3u);
    EXPECT_EQ(LineCount(Dump(Quote(temp.File("three.pac").string())).out), 3u);

    // A frame pcap cannot hold: refused, naming .pac; the old output stays.
    PacketStore store;
    store.AppendPacket(test::MakeTestPacket(std::vector<uint8_t>(kPcapMaxSnapLength + 1, 1)));
    std::string error;
    ASSERT_TRUE(SaveCaptureFile(store, temp.File("long.pac").string(), FileKind::Pac, error));
    const auto before = test::ReadFileBytes(temp.File("three.pac"));
    run = Dump("--format pcap -w " + Quote(temp.File("three.pac").string()) + " " +
               Quote(temp.File("long.pac").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(".pac"), std::string::npos) << run.err;
    EXPECT_EQ(test::ReadFileBytes(temp.File("three.pac")), before);
    // An input that cannot be read: the output is not replaced either.
    run = Dump("-w " + Quote(temp.File("three.pac").string()) + " " + Quote(many.string()) + " " +
               Quote(temp.File("absent.pcap").string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(test::ReadFileBytes(temp.File("three.pac")), before);
    // Bad usage.
    EXPECT_EQ(Dump("--format pcap " + Quote(many.string())).status, 2);
    EXPECT_EQ(Dump("--format xml -w x " + Quote(many.string())).status, 2);
    EXPECT_EQ(Dump("--rows -w - " + Quote(many.string())).status, 2);
}

// Adapters that cannot be listed are a failure, not an empty list.
TEST(KestrelDump, FailedAdapterListingExitsOne) {
    const DumpRun run =
        Dump("--list-adapters", std::string("LD_PRELOAD=") + KESTREL_FAILING_FINDALLDEVS +
                                    " ASAN_OPTIONS=verify_asan_link_order=0 ");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("listing refused by the test"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

// A thread that sends UDP datagrams to `port` of 127.0.0.1, `payload(i)`
// the i-th, pausing a millisecond after every `burst`, until `done` or
// `count` were sent.
std::thread SendToLoopback(const std::atomic<bool>& done, uint16_t port, uint32_t burst,
                           uint32_t count, std::function<std::string(uint32_t)> payload) {
    return std::thread([&done, port, burst, count, payload = std::move(payload)] {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        for (uint32_t i = 0; !done && i < count; ++i) {
            const std::string bytes = payload(i);
            sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            if (i % burst == burst - 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(s);
    });
}

// A capture from the terminal on loopback, when this process may capture:
// UDP datagrams are sent until kestrel-dump has more packets than a store
// holds, written straight to the file.
TEST(KestrelDump, CapturesBeyondAStoreOnLoopback) {
    const DumpRun adapters = Dump("--list-adapters");
    ASSERT_EQ(adapters.status, 0) << adapters.err;
    if (adapters.out.find("127.0.0.1\n") == std::string::npos) GTEST_SKIP() << "no 127.0.0.1 adapter";
    if (geteuid() != 0) GTEST_SKIP() << "capturing needs root or CAP_NET_RAW";

    test::TempDir temp;
    const auto out = temp.File("fifty.pac");
    std::atomic<bool> done{false};
    std::thread traffic = SendToLoopback(done, 9, 200, 2000000, [](uint32_t i) {  // discard
        return "kestrel-dump capture " + std::to_string(i);
    });
    const int count = PacketStore::kCapacity + 50;
    const DumpRun run =
        Dump("--capture 127.0.0.1 -c " + std::to_string(count) + " -w " + Quote(out.string()));
    // A filter on a capture, and a stream on standard output read back.
    const DumpRun filtered = Dump(
        "--capture 127.0.0.1 -f 'udp dst port 9 and udp[8:4] = 0x6b657374' -c 20 -w - | " +
        std::string(KESTREL_DUMP_PROGRAM) + " -");
    done = true;
    traffic.join();
    ASSERT_EQ(run.status, 0) << run.err;
    const DumpRun rows = Dump(Quote(out.string()));
    ASSERT_EQ(rows.status, 0) << rows.err;
    EXPECT_EQ(LineCount(rows.out), static_cast<size_t>(count));
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    const auto lines = Split(filtered.out, '\n');
    ASSERT_EQ(lines.size(), 21u) << filtered.out;
    for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(Split(lines[i], '\t')[10], "9");

    // An adapter that does not exist: exit 1 with the reason.
    const DumpRun missing = Dump("--capture 203.0.113.254 -c 1 -w " + Quote(temp.File("x.pac").string()));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("203.0.113.254"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(temp.File("x.pac")));
}

// A long capture in a ring of files: -C 1 -W 3 on a burst of some 6 MB
// leaves three files of at most 1 MB and one frame, holding the newest
// frames, each one read whole by tcpdump.
TEST(KestrelDump, CapturesIntoARingOfFiles) {
    EXPECT_EQ(Dump("-C 1 -W 3 -w - " + Quote(std::string(KESTREL_BINARY_DIR) + "/sample.pac")).status, 2);
    EXPECT_EQ(Dump("-W 3 -w x.pcap " + Quote(std::string(KESTREL_BINARY_DIR) + "/sample.pac")).status, 2);
    EXPECT_EQ(Dump("-C 0 -w x.pcap " + Quote(std::string(KESTREL_BINARY_DIR) + "/sample.pac")).status, 2);
    if (geteuid() != 0) GTEST_SKIP() << "capturing needs root or CAP_NET_RAW";
    if (std::system("tcpdump --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tcpdump";
    const DumpRun adapters = Dump("--list-adapters");
    if (adapters.out.find("127.0.0.1\n") == std::string::npos) GTEST_SKIP() << "no 127.0.0.1 adapter";

    test::TempDir temp;
    constexpr int kFrames = 6000;  // 1042-byte frames: 6.25 MB
    std::atomic<bool> done{false};
    std::thread traffic = SendToLoopback(done, 39917, 25, 10 * kFrames, [](uint32_t i) {
        std::string payload(1000, 'Z');  // the number first, big-endian
        for (int k = 0; k < 4; ++k) payload[static_cast<size_t>(k)] = static_cast<char>(i >> (24 - 8 * k));
        return payload;
    });
    const DumpRun run = Dump("--capture 127.0.0.1 -f 'udp dst port 39917' -c " + std::to_string(kFrames) +
                             " -C 1 -W 3 -w " + Quote(temp.File("ring.pcap").string()));
    done = true;
    traffic.join();
    ASSERT_EQ(run.status, 0) << run.err;
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(temp.Path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"ring.pcap0", "ring.pcap1", "ring.pcap2"}));
    std::vector<uint32_t> numbers;
    std::vector<size_t> sizes;  // frames per file
    std::string newest;         // the file with the highest number
    for (const std::string& name : names) {
        const std::string path = Quote(temp.File(name).string());
        EXPECT_LE(std::filesystem::file_size(temp.File(name)), 1000000u + 16 + 1042) << name;
        // tcpdump -x shows the IP datagram: the payload's first four bytes,
        // the frame's number, end the second line.
        const DumpRun read = RunShell("tcpdump -nn -r " + path + " -x | grep '0x0010:'");
        EXPECT_EQ(read.status, 0) << name << ": " << read.err;
        EXPECT_EQ(read.err.find("truncated"), std::string::npos) << name << ": " << read.err;
        const auto lines = Split(read.out, '\n');
        sizes.push_back(lines.size());
        for (const std::string& line : lines) {
            if (line.size() < 49) continue;
            numbers.push_back(static_cast<uint32_t>(std::stoul(line.substr(40, 4) + line.substr(45, 4), nullptr, 16)));
            if (numbers.back() >= *std::max_element(numbers.begin(), numbers.end())) newest = name;
        }
    }
    // The newest frames: the file written last holds the last of them, and
    // without kernel drops the three hold one unbroken run.
    ASSERT_FALSE(numbers.empty());
    std::sort(sizes.begin(), sizes.end());
    EXPECT_GT(sizes[1], 900u);  // the two files before the newest are full
    EXPECT_NE(run.err.find("the last " + temp.File(newest).string() + "\n"), std::string::npos) << run.err;
    std::sort(numbers.begin(), numbers.end());
    if (run.err.find(" 0 packets dropped by the kernel") != std::string::npos) {
        EXPECT_EQ(numbers.back() - numbers.front() + 1, numbers.size());
    }
}

// The committed corpus is what kestrel-make-corpus writes today, file for file.
TEST(Corpus, CommittedFilesAreWhatTheGeneratorWrites) {
    test::TempDir temp;
    const std::string command = std::string(KESTREL_MAKE_CORPUS_PROGRAM) + " " +
                                Quote(temp.Path().string());
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::set<std::string> written, committed;
    for (const auto& entry : std::filesystem::directory_iterator(temp.Path())) {
        const std::string name = entry.path().filename().string();
        written.insert(name);
        EXPECT_EQ(test::ReadFileBytes(entry.path()), test::ReadFileBytes(test::CorpusFile(name)))
            << name << " differs from what the generator writes";
    }
    for (const auto& entry : std::filesystem::directory_iterator(test::CorpusFile("")))
        committed.insert(entry.path().filename().string());
    EXPECT_EQ(written, committed);
}

// UDP datagrams to the discard port of 127.0.0.1, each carrying `tag` and a
// number, until the object goes.
class LoopbackTraffic {
public:
    explicit LoopbackTraffic(std::string tag)
        : m_tag(std::move(tag)), m_thread([this] {
              const int s = socket(AF_INET, SOCK_DGRAM, 0);
              sockaddr_in to{};
              to.sin_family = AF_INET;
              to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
              to.sin_port = htons(9);
              for (int i = 0; !m_done; ++i) {
                  const std::string text = m_tag + std::to_string(i);
                  sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
              close(s);
          }) {}
    ~LoopbackTraffic() {
        m_done = true;
        m_thread.join();
    }

private:
    std::string m_tag;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// Packets of a capture file that carry `tag`.
int PacketsWith(const std::filesystem::path& path, const std::string& tag) {
    CaptureReader reader;
    std::string error;
    if (!reader.Open(path.string(), {}, error))
        return -1;
    int found = 0;
    while (reader.Next() == CaptureReader::Result::Packet) {
        const Packet& packet = reader.Current();
        const std::string bytes(reinterpret_cast<const char*>(packet.data), packet.header->caplen);
        found += bytes.find(tag) != std::string::npos;
    }
    return found;
}

// As a user without privileges: the adapters are listed; a member of the
// group kestrel captures through the installed helper; anyone else is told
// to join the group.
TEST(KestrelDump, CapturesUnprivilegedThroughTheHelperOnlyInTheGroup) {
    const test::InstalledHelperCopy helper;
    if (!helper.Usable())
        GTEST_SKIP() << helper.Why();
    const std::string dump = helper.Reachable(KESTREL_DUMP_PROGRAM).string();
    std::string output;
    ASSERT_EQ(test::RunUnprivileged(dump + " --list-adapters", true, helper.Helper(), output), 0)
        << output;
    if (output.find("127.0.0.1\n") == std::string::npos)
        GTEST_SKIP() << "no 127.0.0.1 adapter";

    const auto out = helper.Outputs() / "capture.pcap";
    const std::string capture =
        "exec " + dump + " --capture 127.0.0.1 -c 200 -w " + test::ShellQuote(out.string());
    {
        const LoopbackTraffic traffic("kestrel unprivileged ");
        output.clear();
        ASSERT_EQ(test::RunUnprivileged(capture, true, helper.Helper(), output), 0) << output;
    }
    EXPECT_GT(PacketsWith(out, "kestrel unprivileged "), 0);

    output.clear();
    std::filesystem::remove(out);
    EXPECT_EQ(test::RunUnprivileged(capture, false, helper.Helper(), output), 1);
    EXPECT_NE(output.find("sudo usermod -aG kestrel $USER"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(out));
}

// Adapters of 127.0.0.1 through a real OpenSSH server: listed as
// "NAME@127.0.0.1" and captured by name, without the ssh connection itself.
TEST(KestrelDump, ListsAndCapturesAdaptersOfAnotherMachineOverSsh) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the far side captures as this user: needs root";
    const test::SshServer server;
    if (!server.Usable())
        GTEST_SKIP() << server.Why();
    const std::string env = "KESTREL_SSH=" + Quote(server.SshCommand()) + " ";
    const DumpRun listed = Dump("--list-adapters --remote 127.0.0.1", env);
    ASSERT_EQ(listed.status, 0) << listed.err;
    if (listed.out.find("\n127.0.0.1@127.0.0.1\n") == std::string::npos)
        GTEST_SKIP() << "no remote 127.0.0.1 adapter: " << listed.out;

    test::TempDir temp;
    const auto out = temp.File("remote.pcap");
    DumpRun run;
    {
        const LoopbackTraffic traffic("kestrel over ssh ");
        run = Dump("--capture 127.0.0.1@127.0.0.1 -c 100 -w " + Quote(out.string()), env);
    }
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_GT(PacketsWith(out, "kestrel over ssh "), 0);
    // Nothing of the connection that carried the stream.
    const DumpRun rows = Dump(Quote(out.string()));
    EXPECT_EQ(rows.out.find(std::to_string(server.Port())), std::string::npos) << rows.out;

    const DumpRun refused = Dump("--list-adapters --remote -oProxyCommand=x", env);
    EXPECT_EQ(refused.status, 2);
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
