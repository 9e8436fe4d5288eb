#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <sys/stat.h>
#include <cstring>
#include <thread>

#include "core/capture_file.h"
#include "core/capture_reader.h"
#include "core/local_time.h"
#include "core/pac_file.h"
#include "own_allocator.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::Hex;
using test::MakeTestPacket;
using test::ScopedTimeZone;
using test::TempDir;

std::unique_ptr<PacketStore> Parse(const std::vector<uint8_t>& bytes) {
    auto store = std::make_unique<PacketStore>();
    const LoadResult result = LoadCaptureBytes(bytes, *store);
    EXPECT_TRUE(result.ok) << result.error;
    return store;
}

// One record: N, then year, month, day of week, day, hour, minute, second, ms.
std::vector<uint8_t> Record(const std::vector<uint8_t>& frame, uint16_t ms = 0) {
    std::vector<uint8_t> r;
    const uint32_t n = static_cast<uint32_t>(frame.size());
    for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(n >> (8 * i)));
    for (uint16_t v : {2005, 6, 3, 15, 12, 34, 56}) {
        r.push_back(static_cast<uint8_t>(v));
        r.push_back(static_cast<uint8_t>(v >> 8));
    }
    r.push_back(static_cast<uint8_t>(ms));
    r.push_back(static_cast<uint8_t>(ms >> 8));
    r.insert(r.end(), frame.begin(), frame.end());
    return r;
}

// The per-minute shortcut of file loads and saves gives what the C library
// gives, across daylight saving changes and in zones with odd offsets.
TEST(LocalTimeTest, CacheAgreesWithTheCLibrary) {
    for (const char* zone : {"Europe/Berlin", "America/St_Johns", "Asia/Kathmandu",
                             "Australia/Lord_Howe", "UTC"}) {
        ScopedTimeZone scoped(zone);
        LocalTimeCache cache;
        // Around the spring and autumn changes of 2026, second by second,
        // then a wide sweep with a step that is not a whole minute.
        std::vector<uint32_t> times;
        for (uint32_t base : {1774746000u - 7200, 1792890000u - 7200})
            for (uint32_t t = base; t < base + 4 * 3600; t += 7) times.push_back(t);
        for (uint64_t t = 0; t < UINT32_MAX; t += 9876543) times.push_back(static_cast<uint32_t>(t));
        for (uint32_t t : times) {
            std::tm direct{}, cached{};
            ASSERT_EQ(ToLocalCalendar(t, direct), cache.ToLocalCalendar(t, cached));
            ASSERT_EQ(std::mktime(&direct), std::mktime(&cached)) << zone << " " << t;
            ASSERT_EQ(direct.tm_sec, cached.tm_sec) << zone << " " << t;
            ASSERT_EQ(direct.tm_min, cached.tm_min) << zone << " " << t;
            ASSERT_EQ(direct.tm_hour, cached.tm_hour) << zone << " " << t;
            ASSERT_EQ(direct.tm_wday, cached.tm_wday) << zone << " " << t;
        }
        LocalTimeCache back;
        for (uint32_t t : times) {
            std::tm tm{};
            ASSERT_TRUE(ToLocalCalendar(t, tm));
            const int fields[6] = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                   tm.tm_hour, tm.tm_min, tm.tm_sec};
            ASSERT_EQ(back.FromLocalCalendar(fields[0], fields[1], fields[2], fields[3], fields[4],
                                             fields[5]),
                      FromLocalCalendar(fields[0], fields[1], fields[2], fields[3], fields[4],
                                        fields[5]))
                << zone << " " << t;
        }
        // Fields the C library normalises.
        EXPECT_EQ(back.FromLocalCalendar(2026, 3, 1, 10, 0, 75),
                  FromLocalCalendar(2026, 3, 1, 10, 1, 15));
        EXPECT_EQ(back.FromLocalCalendar(1969, 12, 31, 0, 0, 0), 0u);
    }
}

TEST(PacFileTest, SixtyByteFrameGivesEightyByteFileWithLocalCalendarTime) {
    ScopedTimeZone utc("UTC");
    auto store = std::make_unique<PacketStore>();
    std::vector<uint8_t> frame(60);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
    // 2005-06-15 12:34:56.789123 UTC, a Wednesday.
    store->AppendPacket(MakeTestPacket(frame, 1118838896, 789123, 1514));
    TempDir dir;
    std::string error;
    ASSERT_TRUE(WritePacFile(*store, dir.File("a.pac").string(), error)) << error;
    const auto bytes = test::ReadFileBytes(dir.File("a.pac"));
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20),
              Hex("3c000000 d507 0600 0300 0f00 0c00 2200 3800 1503"));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 20, bytes.end()), frame);
}

TEST(PacFileTest, RoundTripKeepsBytesAndSecondsRoundsToMillisecondsAndDropsLen) {
    for (const char* zone : {"UTC", "Europe/Berlin", "Asia/Tokyo"}) {
        ScopedTimeZone tz(zone);
        auto store = std::make_unique<PacketStore>();
        // Summer and winter times, the 2038 boundary and a zero-length frame.
        const uint32_t times[] = {1118838896, 1104537600, 2147483648u, 1700000000};
        for (uint32_t i = 0; i < 4; ++i) {
            std::vector<uint8_t> frame(i * 500, static_cast<uint8_t>(0xA0 + i));
            store->AppendPacket(MakeTestPacket(frame, times[i], 999999 - i * 1000, 9000));
        }
        TempDir dir;
        std::string error;
        ASSERT_TRUE(WritePacFile(*store, dir.File("r.pac").string(), error)) << error;
        auto back = std::make_unique<PacketStore>();
        const LoadResult result = LoadCaptureFile(dir.File("r.pac").string(), *back);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.kind, FileKind::Pac);
        ASSERT_EQ(back->Count(), 4) << zone;
        for (int i = 0; i < 4; ++i) {
            const PacketHeader& a = *store->At(i)->header;
            const PacketHeader& b = *back->At(i)->header;
            EXPECT_EQ(b.tv_sec, a.tv_sec) << zone << " packet " << i;
            EXPECT_EQ(b.tv_usec, a.tv_usec / 1000 * 1000) << zone;
            EXPECT_EQ(b.caplen, a.caplen);
            EXPECT_EQ(b.len, b.caplen);
            EXPECT_EQ(0, std::memcmp(store->At(i)->data, back->At(i)->data, a.caplen));
        }
    }
}

TEST(PacFileTest, ShortFilesAndIncompleteTails) {
    // 0 to 3 bytes: an empty document.
    for (size_t n = 0; n <= 3; ++n) {
        EXPECT_EQ(Parse(std::vector<uint8_t>(n, 0x11))->Count(), 0);
    }
    // N = 0: a 20-byte record with an empty frame.
    auto zero = Parse(Record({}));
    ASSERT_EQ(zero->Count(), 1);
    EXPECT_EQ(zero->At(0)->header->caplen, 0u);

    // Three records whose last lacks its final byte: the first two load.
    std::vector<uint8_t> file;
    for (int i = 0; i < 3; ++i) {
        const auto r = Record(std::vector<uint8_t>(42, static_cast<uint8_t>(i)), 250);
        file.insert(file.end(), r.begin(), r.end());
    }
    for (size_t cut = 1; cut <= 20 + 42; ++cut) {
        std::vector<uint8_t> shorter(file.begin(), file.end() - static_cast<long>(cut));
        auto store = Parse(shorter);
        EXPECT_EQ(store->Count(), 2) << "cut " << cut;
        EXPECT_EQ(store->At(1)->data[0], 1);
        EXPECT_EQ(store->At(1)->header->tv_usec, 250000u);
    }
    EXPECT_EQ(Parse(file)->Count(), 3);

    // A length far beyond the end of the file is a short tail, not an allocation.
    auto huge = Record({1, 2, 3});
    huge[0] = huge[1] = huge[2] = 0xF0;
    huge[3] = 0xFF;
    auto first = Record({9});
    first.insert(first.end(), huge.begin(), huge.end());
    auto store = Parse(first);
    ASSERT_EQ(store->Count(), 1);
    EXPECT_EQ(store->At(0)->data[0], 9);
}

// A record longer than any view can show (2 GiB and more, or just beyond
// kMaxPacketLength) is a damaged tail even when all its bytes are there
// (sparse files); as the first record it makes the file no packet file.
TEST(PacFileTest, RecordsBeyondTheLengthBoundAreADamagedTail) {
    TempDir dir;
    for (const uint32_t n : {0x80000000u, 0xFFFFFFF0u, kMaxPacketLength + 1}) {
        auto head = Record({7, 7});
        auto huge = Record({});
        for (int i = 0; i < 4; ++i)
            huge[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
        const auto path = dir.File("huge.pac");
        for (const bool first : {false, true}) {
            auto bytes = first ? huge : head;
            if (!first)
                bytes.insert(bytes.end(), huge.begin(), huge.end());
            test::WriteFileBytes(path, bytes);
            std::filesystem::resize_file(path, bytes.size() + n);
            auto store = std::make_unique<PacketStore>();
            const LoadResult result = LoadCaptureFile(path.string(), *store);
            EXPECT_EQ(result.ok, !first) << n;
            EXPECT_EQ(store->Count(), first ? 0 : 1) << n;
        }
    }
    // The largest length is a packet; one byte more is no packet at all.
    PacketHeader header;
    header.caplen = header.len = kMaxPacketLength + 1;
    EXPECT_EQ(MakePacket(header, nullptr), nullptr);
    header.caplen = 1u << 31;
    EXPECT_EQ(MakePacket(header, nullptr), nullptr);
}

// A record head that claims more bytes than ever come costs no memory for
// them, from a file or a pipe: the 102 bytes below claim 256 MiB.
TEST(PacFileTest, ALengthBeyondTheBytesAllocatesNothing) {
#if !KESTREL_OWN_ALLOCATOR
    GTEST_SKIP() << "heap figures of a sanitizer's allocator are not the program's";
#else
    auto bytes = Record(std::vector<uint8_t>(60, 1));
    auto head = Record({});
    head[3] = 0x10;  // N = 0x10000000
    bytes.insert(bytes.end(), head.begin(), head.end());
    bytes.push_back(1);
    bytes.push_back(2);
    TempDir dir;
    test::WriteFileBytes(dir.File("claim.pac"), bytes);
    for (const bool pipe : {false, true}) {
        std::thread feeder;
        if (pipe) feeder = test::FeedFifo(dir.File("fifo"), bytes);
        const auto heap = [] {
            const auto info = mallinfo2();
            return info.uordblks + info.hblkhd;
        };
        const size_t before = heap();
        CaptureReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(dir.File(pipe ? "fifo" : "claim.pac").string(), {}, error)) << error;
        EXPECT_EQ(reader.Next(), CaptureReader::Result::Packet);
        EXPECT_EQ(reader.Next(), CaptureReader::Result::End);
        EXPECT_LT(heap() - before, size_t{4} << 20) << (pipe ? "pipe" : "file");
        if (pipe) feeder.join();
    }
#endif
}

// Zeros or text are no records even where a length would fit: their time
// fields are no calendar time. Our own writer always writes one.
TEST(PacFileTest, RecordsWithoutACalendarTimeAreNoRecords) {
    auto store = Parse(Record({1, 2, 3}));
    ASSERT_EQ(store->Count(), 1);
    auto zeros = std::vector<uint8_t>(20 * 5, 0);
    store = std::make_unique<PacketStore>();
    EXPECT_FALSE(LoadCaptureBytes(zeros, *store).ok);
    // After a good record, zeros end the file like any damaged tail.
    auto file = Record({1, 2, 3});
    file.insert(file.end(), zeros.begin(), zeros.end());
    EXPECT_EQ(Parse(file)->Count(), 1);
    // An oversized microsecond field is written as whole seconds and
    // milliseconds below 1000, so the file reads back.
    PacketStore odd;
    odd.AppendPacket(MakeTestPacket({1}, 1700000000, 2500000));
    TempDir dir;
    std::string error;
    ASSERT_TRUE(WritePacFile(odd, dir.File("odd.pac").string(), error)) << error;
    PacketStore back;
    ASSERT_TRUE(LoadCaptureFile(dir.File("odd.pac").string(), back).ok);
    EXPECT_EQ(back.At(0)->header->tv_sec, 1700000002u);
    EXPECT_EQ(back.At(0)->header->tv_usec, 500000u);
}

TEST(PacFileTest, StopsAtThirtyThousandRecords) {
    std::vector<uint8_t> file;
    const auto record = Record({0xAB, 0xCD});
    for (int i = 0; i < PacketStore::kCapacity + 1; ++i) {
        file.insert(file.end(), record.begin(), record.end());
    }
    auto store = Parse(file);
    EXPECT_EQ(store->Count(), PacketStore::kCapacity);
    EXPECT_EQ(store->DiscardedCount(), 0u);  // the rest is ignored, not discarded

    // A complete record left over is reported; an incomplete tail is not.
    PacketStore full;
    EXPECT_TRUE(LoadCaptureBytes(file, full).truncated);
    file.resize(file.size() - 1);
    PacketStore cut;
    const LoadResult result = LoadCaptureBytes(file, cut);
    EXPECT_EQ(cut.Count(), PacketStore::kCapacity);
    EXPECT_FALSE(result.truncated);
}

TEST(PacFileTest, NonCaptureFilesAreRefusedWithAMessage) {
    TempDir dir;
    test::WriteFileBytes(dir.File("notes.txt"),
                         std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'});
    auto store = std::make_unique<PacketStore>();
    LoadResult result = LoadCaptureFile(dir.File("notes.txt").string(), *store);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("notes.txt"), std::string::npos);

    result = LoadCaptureFile(dir.File("missing.pac").string(), *store);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    result = LoadCaptureFile(dir.Path().string(), *store);
    EXPECT_FALSE(result.ok);

    test::WriteFileBytes(dir.File("tiny.pac"), {1, 2, 3});
    result = LoadCaptureFile(dir.File("tiny.pac").string(), *store);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(store->Count(), 0);
}

TEST(PacFileTest, WriteErrorsAreReported) {
    auto store = std::make_unique<PacketStore>();
    store->AppendPacket(MakeTestPacket(std::vector<uint8_t>(100, 7)));
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full) {
        EXPECT_FALSE(WritePac(*store, full));
        std::fclose(full);
    }
    std::string error;
    EXPECT_FALSE(WritePacFile(*store, "/nonexistent-folder/x.pac", error));
    EXPECT_FALSE(error.empty());

    // A time whose year 16 bits cannot hold is refused, never wrapped.
    Packet* far = MakeTestPacket({1});
    far->header->tv_sec = uint64_t{1} << 45;  // a year past a million
    PacketStore farStore;
    farStore.AppendPacket(far);
    TempDir dir;
    EXPECT_FALSE(WritePacFile(farStore, dir.File("far.pac").string(), error));
    EXPECT_NE(error.find("No.1"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir.File("far.pac")));

    // A save that fails part way leaves the file it would replace as it was;
    // /dev/full stays a device (never renamed over).
    if (full) {
        EXPECT_FALSE(WritePacFile(*store, "/dev/full", error));
        struct stat st{};
        ASSERT_EQ(::stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

TEST(PacFileTest, RealCaptureSurvivesPacRoundTrip) {
    auto store = std::make_unique<PacketStore>();
    ASSERT_TRUE(LoadCaptureFile(test::CorpusFile("tcp.pcap").string(), *store).ok);
    ASSERT_EQ(store->Count(), 36);
    TempDir dir;
    std::string error;
    ASSERT_TRUE(WritePacFile(*store, dir.File("d.pac").string(), error)) << error;
    auto back = std::make_unique<PacketStore>();
    ASSERT_TRUE(LoadCaptureFile(dir.File("d.pac").string(), *back).ok);
    ASSERT_EQ(back->Count(), 36);
    uint64_t bytes = 0;
    for (int i = 0; i < 36; ++i) {
        const auto& a = *store->At(i)->header;
        const auto& b = *back->At(i)->header;
        EXPECT_EQ(a.tv_sec, b.tv_sec);
        EXPECT_EQ(a.tv_usec / 1000 * 1000, b.tv_usec);
        ASSERT_EQ(a.caplen, b.caplen);
        EXPECT_EQ(0, std::memcmp(store->At(i)->data, back->At(i)->data, a.caplen));
        bytes += 20 + a.caplen;
    }
    EXPECT_EQ(std::filesystem::file_size(dir.File("d.pac")), bytes);
}

}  // namespace
}  // namespace kestrel
