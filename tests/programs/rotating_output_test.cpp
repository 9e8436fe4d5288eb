// kestrel-dump -C, -G and -W: the files named, filled and rotated as
// tcpdump does it, each one complete and readable, in every output kind.
#include "kestrel-dump/rotating_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/capture_reader.h"
#include "test_util.h"

namespace kestrel::dump {
namespace {

// The packets of a file, by the number each carries in its first byte.
std::vector<int> Numbers(const std::filesystem::path& path) {
    CaptureReader reader;
    std::string error;
    std::vector<int> numbers;
    EXPECT_TRUE(reader.Open(path.string(), {}, error)) << error;
    while (reader.Next() == CaptureReader::Result::Packet) numbers.push_back(reader.Current().data[0]);
    EXPECT_TRUE(reader.Error().empty()) << reader.Error();
    return numbers;
}

std::set<std::string> Names(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// -C with -W: a ring of files numbered with as many digits as COUNT - 1
// has, each at most SIZE and one packet, holding the newest packets; a file
// of the ring can be read as soon as the next one is begun.
TEST(RotatingOutput, SizeRingKeepsTheNewestPackets) {
    for (const FileKind kind : {FileKind::Pcap, FileKind::PcapNg, FileKind::Pac}) {
        SCOPED_TRACE(static_cast<int>(kind));
        test::TempDir dir;
        RotatingOutput output;
        std::string error;
        ASSERT_TRUE(output.Open(dir.File("ring").string(), kind, {1000, 0, 3}, error)) << error;
        bool secondBegun = false;
        for (int i = 0; i < 40; ++i) {
            PacketPtr packet(test::MakeTestPacket(std::vector<uint8_t>(100, static_cast<uint8_t>(i))));
            ASSERT_TRUE(output.Write(*packet, error)) << error;
            if (output.Files() == 2 && !secondBegun) {
                // Completed aside while the second is written.
                secondBegun = true;
                ASSERT_TRUE(output.WaitForCompleted(error)) << error;
                EXPECT_EQ(Numbers(dir.File("ring0")).size(), static_cast<size_t>(i));
            }
        }
        ASSERT_TRUE(output.Finish(error)) << error;
        EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"ring0", "ring1", "ring2"}));
        std::vector<int> all;
        for (const char* name : {"ring2", "ring0", "ring1"}) {
            EXPECT_LE(std::filesystem::file_size(dir.File(name)), 1000u + 100 + 32) << name;
            for (const int n : Numbers(dir.File(name))) all.push_back(n);
        }
        std::vector<int> newest;
        for (int i = 40 - static_cast<int>(all.size()); i < 40; ++i) newest.push_back(i);
        EXPECT_EQ(all, newest);
        EXPECT_GE(all.size(), 20u);
        EXPECT_EQ(output.Count(), 40u);
        EXPECT_EQ(output.Name(), dir.File("ring1").string());
    }
    // Without -W the numbers go on, the first file without one; ten files
    // of a ring take one digit, eleven two.
    test::TempDir dir;
    for (const auto& [files, stem, first, last] :
         {std::tuple{0u, "out", "out", "out4"}, std::tuple{10u, "ten", "ten0", "ten4"},
          std::tuple{11u, "eleven", "eleven00", "eleven04"}}) {
        RotatingOutput output;
        std::string error;
        ASSERT_TRUE(output.Open(dir.File(stem).string(), FileKind::Pcap, {1000, 0, files}, error));
        for (int i = 0; i < 40; ++i) {
            PacketPtr packet(test::MakeTestPacket(std::vector<uint8_t>(100, 1)));
            ASSERT_TRUE(output.Write(*packet, error)) << error;
        }
        ASSERT_TRUE(output.Finish(error)) << error;
        EXPECT_TRUE(std::filesystem::exists(dir.File(first))) << first;
        EXPECT_EQ(output.Name(), dir.File(last).string());
    }
}

// -G: a new file, named by strftime at its beginning, with the first packet
// SECONDS after the one before began; with -W alone the output ends after
// COUNT files, without writing the packet that found it out.
TEST(RotatingOutput, TimeRotationNamesFilesByTheirTime) {
    test::TempDir dir;
    std::time_t now = 1800000000;  // 2027-01-15 08:00:00 UTC
    RotatingOutput output;
    std::string error;
    ASSERT_TRUE(output.Open(dir.File("%H%M%S.pcap").string(), FileKind::Pcap, {0, 10, 2}, error,
                            [&] { return now; }));
    for (const int at : {0, 5, 9, 12, 21, 22, 40}) {
        now = 1800000000 + at;
        PacketPtr packet(test::MakeTestPacket(std::vector<uint8_t>(60, static_cast<uint8_t>(at))));
        ASSERT_TRUE(output.Write(*packet, error)) << error;
    }
    ASSERT_TRUE(output.Finish(error)) << error;
    EXPECT_TRUE(output.Ended());
    EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"080000.pcap", "080012.pcap"}));
    EXPECT_EQ(Numbers(dir.File("080000.pcap")), (std::vector<int>{0, 5, 9}));
    EXPECT_EQ(Numbers(dir.File("080012.pcap")), (std::vector<int>{12, 21}));
    EXPECT_EQ(output.Count(), 5u);
}

}  // namespace
}  // namespace kestrel::dump
