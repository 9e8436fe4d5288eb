#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/capture_reader.h"
#include "test_util.h"
#include "kestrel-dump/filter_ahead.h"
#include "kestrel-dump/packet_filter.h"

namespace kestrel::dump {
namespace {

struct PcapBuilder {
    bool swapped = false;
    bool nano = false;
    std::vector<uint8_t> bytes;

    void Put32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (swapped ? 24 - 8 * i : 8 * i)));
    }
    void Put16(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(swapped ? v >> 8 : v));
        bytes.push_back(static_cast<uint8_t>(swapped ? v : v >> 8));
    }
    void Header() {
        Put32(nano ? 0xA1B23C4D : 0xA1B2C3D4);
        Put16(2);
        Put16(4);
        Put32(0);
        Put32(0);
        Put32(65535);
        Put32(1);
    }
    void Record(uint32_t seconds, uint32_t fraction, const std::vector<uint8_t>& frame, uint32_t caplen) {
        Put32(seconds);
        Put32(fraction);
        Put32(caplen);
        Put32(static_cast<uint32_t>(frame.size()) + 4);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
};

// Ethernet frames of every size: ARP, or IPv4 carrying TCP or UDP between
// ports 80 and others. With `decoys`, half the payloads end in a chain of
// pcap record heads that look real, which a helper may take for the start
// of its region.
std::vector<uint8_t> Frame(std::mt19937& random, bool decoys) {
    std::vector<uint8_t> frame(14 + 20 + 8 + random() % 1400);
    for (uint8_t& b : frame) b = static_cast<uint8_t>(random());
    const bool arp = random() % 40 == 0;
    frame[12] = 0x08;
    frame[13] = arp ? 0x06 : 0x00;
    frame[14] = 0x45;
    frame[20] = frame[21] = 0;                   // not a fragment
    frame[23] = random() % 2 ? 6 : 17;           // TCP or UDP
    frame[36] = 0;
    frame[37] = random() % 50 ? 53 : 80;         // destination port
    if (decoys && random() % 2 == 0 && frame.size() > 60 + 8 * 36) {
        for (size_t i = 0, at = frame.size() - 8 * 36; i < 8; ++i, at += 36) {
            const uint32_t head[4] = {1700000000, 5, 20, 20};
            for (int f = 0; f < 4; ++f)
                for (int k = 0; k < 4; ++k) frame[at + 4 * f + k] = static_cast<uint8_t>(head[f] >> (8 * k));
        }
    }
    return frame;
}

enum class Damage { None, LongRecord, CutEnd };

std::vector<uint8_t> MakeFile(bool swapped, bool nano, bool decoys, Damage damage, int packets) {
    std::mt19937 random(packets);
    PcapBuilder pcap{swapped, nano, {}};
    pcap.Header();
    for (int i = 0; i < packets; ++i) {
        const auto frame = Frame(random, decoys);
        const bool longRecord = damage == Damage::LongRecord && i == packets * 2 / 3;
        pcap.Record(1700000000 + i / 100, (i % 1000) * (nano ? 1000000 : 1000),
                    frame, longRecord ? 300000 : static_cast<uint32_t>(frame.size()));
    }
    if (damage == Damage::CutEnd) pcap.bytes.resize(pcap.bytes.size() - 7);
    return pcap.bytes;
}

struct Outcome {
    std::vector<std::string> packets;  // number, times, lengths, bytes
    CaptureReader::Result end;
    std::string error;
    uint64_t count;
    int regionsTaken;
};

Outcome ReadMatches(const std::string& path, const PacketFilter& filter, int regions, int helpers) {
    CaptureReader reader;
    std::string error;
    EXPECT_TRUE(reader.Open(path, {}, error)) << error;
    MatchReader matches(reader, filter, regions, helpers);
    Outcome outcome;
    while ((outcome.end = matches.Next()) == CaptureReader::Result::Packet) {
        const Packet& p = matches.Current();
        outcome.packets.push_back(std::to_string(matches.Number()) + " " + std::to_string(p.header->tv_sec) + "." +
                                  std::to_string(p.header->tv_usec) + " " + std::to_string(p.header->caplen) +
                                  "/" + std::to_string(p.header->len) + " " +
                                  std::string(p.data, p.data + p.header->caplen));
    }
    outcome.error = reader.Error();
    outcome.count = reader.Count();
    outcome.regionsTaken = matches.RegionsTaken();
    return outcome;
}

// Length tests see the length on the wire, as tcpdump's do: a record of
// 100 captured bytes said to be 50 long on the wire is "less 60".
TEST(PacketFilter, LengthTestsSeeTheWireLength) {
    std::vector<uint8_t> bytes(100, 0);
    PacketHeader header;
    header.caplen = 100;
    header.len = 50;
    const Packet packet{&header, bytes.data()};
    std::string error;
    PacketFilter greater, less;
    ASSERT_TRUE(greater.Compile("greater 80", error)) << error;
    ASSERT_TRUE(less.Compile("less 60", error)) << error;
    EXPECT_FALSE(greater.Matches(packet));
    EXPECT_TRUE(less.Matches(packet));
}

// Filtering shared among threads gives what one reader gives: the same
// packets, numbers, end, error and count, whatever the byte order, decoys
// in the payload, damage, and how much the filter selects.
TEST(MatchReader, SharedOutFilteringEqualsReadingAlone) {
    test::TempDir temp;
    const std::string path = temp.File("x.pcap").string();
    for (const char* expression : {"tcp port 80", "udp", "arp"}) {
        PacketFilter filter;
        std::string error;
        ASSERT_TRUE(filter.Compile(expression, error)) << error;
        for (const auto& [swapped, nano, decoys, damage] :
             {std::tuple{false, false, false, Damage::None}, std::tuple{true, true, false, Damage::None},
              std::tuple{false, true, true, Damage::None}, std::tuple{true, false, true, Damage::LongRecord},
              std::tuple{false, false, true, Damage::CutEnd}}) {
            test::WriteFileBytes(path, MakeFile(swapped, nano, decoys, damage, 6000));
            const Outcome alone = ReadMatches(path, filter, 1, 0);
            ASSERT_GT(alone.packets.size(), 10u);
            EXPECT_EQ(alone.end == CaptureReader::Result::Failed, damage != Damage::None);
            for (const auto& [regions, helpers] : {std::pair{2, 1}, std::pair{16, 1}, std::pair{16, 3}}) {
                const Outcome shared = ReadMatches(path, filter, regions, helpers);
                const std::string what = std::string(expression) + " swapped " + std::to_string(swapped) +
                                         " decoys " + std::to_string(decoys) + " damage " +
                                         std::to_string(static_cast<int>(damage)) + " regions " +
                                         std::to_string(regions);
                EXPECT_TRUE(shared.packets == alone.packets) << what;
                EXPECT_EQ(shared.end, alone.end) << what;
                EXPECT_EQ(shared.error, alone.error) << what;
                EXPECT_EQ(shared.count, alone.count) << what;
                if (!decoys && std::string(expression) != "udp") {
                    EXPECT_GT(shared.regionsTaken, 0) << what;
                }
            }
        }
    }
}

// kestrel-dump shares out a filter on a large file (on a machine of two
// cores or more) and prints what it prints for the same file through a pipe,
// which it reads alone.
TEST(MatchReader, KestrelDumpFiltersLargeFilesAsItFiltersPipes) {
    test::TempDir temp;
    const std::string path = temp.File("big.pcap").string();
    const std::string dump = std::string(KESTREL_DUMP_PROGRAM) + " -f 'tcp port 80' ";
    const auto run = [](const std::string& command, int& status) {
        std::string out;
        FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
        char buffer[65536];
        for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        const int raw = pipe ? pclose(pipe) : -1;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return out;
    };
    for (const Damage damage : {Damage::None, Damage::LongRecord}) {
        const auto bytes = MakeFile(false, false, false, damage, 14000);
        ASSERT_GT(bytes.size(), 9u << 20);
        test::WriteFileBytes(path, bytes);
        int fileStatus = 0, pipeStatus = 0;
        const std::string fromFile = run(dump + "'" + path + "'", fileStatus);
        const std::string fromPipe = run("cat '" + path + "' | " + dump + "-", pipeStatus);
        EXPECT_GT(fromFile.size(), 1000u);
        EXPECT_EQ(fromFile, fromPipe);
        EXPECT_EQ(fileStatus, pipeStatus);
    }
}

}  // namespace
}  // namespace kestrel::dump
