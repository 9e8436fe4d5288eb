#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstring>
#include <memory>

#include "core/capture_file.h"
#include "core/file_util.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::Hex;
using test::MakeTestPacket;
using test::TempDir;

std::unique_ptr<PacketStore> Load(const std::filesystem::path& path, LoadResult* out = nullptr) {
    auto store = std::make_unique<PacketStore>();
    LoadResult result = LoadCaptureFile(path.string(), *store);
    EXPECT_TRUE(result.ok) << result.error;
    if (out) *out = result;
    return store;
}

TEST(CaptureFileTest, KindIsToldByContent) {
    EXPECT_EQ(DetectFileKind(Hex("d4c3b2a1")), FileKind::Pcap);
    EXPECT_EQ(DetectFileKind(Hex("a1b2c3d4")), FileKind::Pcap);
    EXPECT_EQ(DetectFileKind(Hex("4d3cb2a1 0200")), FileKind::Pcap);
    EXPECT_EQ(DetectFileKind(Hex("a1b23c4d")), FileKind::Pcap);
    EXPECT_EQ(DetectFileKind(Hex("0a0d0d0a 1c000000")), FileKind::PcapNg);
    EXPECT_EQ(DetectFileKind(Hex("3c000000 d507")), FileKind::Pac);
    EXPECT_EQ(DetectFileKind(Hex("d4c3b2")), FileKind::Pac);
    EXPECT_EQ(DetectFileKind({}), FileKind::Pac);
}

TEST(CaptureFileTest, PcapKeepsWireLengthBeyondCaptured) {
    auto store = Load(test::CorpusFile("arp.pcap"));
    ASSERT_EQ(store->Count(), 18);
    EXPECT_EQ(store->At(13)->header->caplen, 22u);
    EXPECT_EQ(store->At(13)->header->len, 65570u);
}

TEST(CaptureFileTest, BigEndianPcapAndPcapNgInBothPrecisions) {
    {
        LoadResult result;
        auto store = Load(test::CorpusFile("big-endian.pcap"), &result);
        EXPECT_EQ(result.kind, FileKind::Pcap);
        ASSERT_EQ(store->Count(), 4);
        EXPECT_EQ(store->At(0)->data[12], 0x08);  // frames are byte-order free
        EXPECT_EQ(store->At(0)->header->caplen, 62u);
        EXPECT_EQ(store->At(0)->header->tv_sec, 1767254400u);
        EXPECT_EQ(store->At(0)->header->tv_usec, 125u);
    }
    {
        // Nanosecond stamps come back as microseconds, cut (not rounded).
        LoadResult result;
        auto store = Load(test::CorpusFile("nanoseconds.pcapng"), &result);
        EXPECT_EQ(result.kind, FileKind::PcapNg);
        ASSERT_EQ(store->Count(), 2);
        EXPECT_EQ(store->At(0)->header->tv_sec, 1767258000u);
        EXPECT_EQ(store->At(0)->header->tv_usec, 123456u);
        EXPECT_EQ(store->At(1)->header->tv_sec, 1767258001u);
        EXPECT_EQ(store->At(1)->header->tv_usec, 999999u);
    }
    {
        LoadResult result;
        auto store = Load(test::CorpusFile("empty.pcapng"), &result);
        EXPECT_EQ(store->Count(), 0);
        EXPECT_TRUE(result.warning.empty());
    }
    {
        // A nanosecond pcap: the epoch, one second past 2^31 - 1, the last
        // unsigned second, and a record of which nothing was captured.
        auto store = Load(test::CorpusFile("time.pcap"));
        ASSERT_EQ(store->Count(), 4);
        EXPECT_EQ(store->At(0)->header->tv_sec, 0u);
        EXPECT_EQ(store->At(1)->header->tv_sec, 2147483648u);
        EXPECT_EQ(store->At(1)->header->tv_usec, 5000u);
        EXPECT_EQ(store->At(2)->header->tv_sec, 4294967295u);
        EXPECT_EQ(store->At(2)->header->tv_usec, 999999u);
        EXPECT_EQ(store->At(3)->header->caplen, 0u);
        EXPECT_EQ(store->At(3)->header->len, 60u);
    }
}

TEST(CaptureFileTest, PcapWrittenIsReadBackByLibpcap) {
    auto store = std::make_unique<PacketStore>();
    store->AppendPacket(MakeTestPacket(std::vector<uint8_t>(60, 0x11), 1700000000, 123456, 60));
    store->AppendPacket(MakeTestPacket(std::vector<uint8_t>(22, 0x22), 1700000001, 999999, 1514));
    store->AppendPacket(MakeTestPacket({}, 1700000002, 1, 0));
    TempDir dir;
    const auto path = dir.File("out.pcap");
    std::string error;
    ASSERT_TRUE(SaveCaptureFile(*store, path.string(), FileKind::Pcap, error)) << error;

    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    ASSERT_NE(pcap, nullptr) << errbuf;
    EXPECT_EQ(pcap_datalink(pcap), DLT_EN10MB);
    EXPECT_EQ(pcap_snapshot(pcap), 65536);
    EXPECT_EQ(pcap_get_tstamp_precision(pcap), PCAP_TSTAMP_PRECISION_MICRO);
    pcap_pkthdr* h;
    const u_char* bytes;
    ASSERT_EQ(pcap_next_ex(pcap, &h, &bytes), 1);
    EXPECT_EQ(h->ts.tv_sec, 1700000000);
    EXPECT_EQ(h->ts.tv_usec, 123456);
    EXPECT_EQ(h->caplen, 60u);
    EXPECT_EQ(bytes[59], 0x11);
    ASSERT_EQ(pcap_next_ex(pcap, &h, &bytes), 1);
    EXPECT_EQ(h->ts.tv_usec, 999999);
    EXPECT_EQ(h->caplen, 22u);
    EXPECT_EQ(h->len, 1514u);
    ASSERT_EQ(pcap_next_ex(pcap, &h, &bytes), 1);
    EXPECT_EQ(h->caplen, 0u);
    EXPECT_EQ(pcap_next_ex(pcap, &h, &bytes), PCAP_ERROR_BREAK);
    pcap_close(pcap);

    // And by ourselves, with microseconds kept (unlike ".pac").
    auto back = Load(path);
    ASSERT_EQ(back->Count(), 3);
    EXPECT_EQ(back->At(0)->header->tv_usec, 123456u);
    EXPECT_EQ(back->At(1)->header->len, 1514u);
}

TEST(CaptureFileTest, OtherLinkTypesAndDamagedFilesAreRefusedOrCut) {
    TempDir dir;
    // A pcap file of link type raw IP.
    pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
    const auto raw = dir.File("raw.pcap");
    pcap_dumper_t* dumper = pcap_dump_open(dead, raw.c_str());
    ASSERT_NE(dumper, nullptr);
    pcap_pkthdr h{};
    const uint8_t ip[20] = {0x45};
    h.caplen = h.len = sizeof ip;
    pcap_dump(reinterpret_cast<u_char*>(dumper), &h, ip);
    pcap_dump_close(dumper);
    pcap_close(dead);
    auto store = std::make_unique<PacketStore>();
    LoadResult result = LoadCaptureFile(raw.string(), *store);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("Ethernet"), std::string::npos) << result.error;
    EXPECT_EQ(store->Count(), 0);

    // A pcap magic followed by rubbish: refused with libpcap's reason.
    test::WriteFileBytes(dir.File("bad.pcap"), Hex("d4c3b2a1 ffff ffff 00000000"));
    result = LoadCaptureFile(dir.File("bad.pcap").string(), *store);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());

    // A real file cut in the middle of a record keeps the packets before it
    // and says why it stopped.
    auto bytes = test::ReadFileBytes(test::CorpusFile("icmp.pcap"));
    bytes.resize(bytes.size() - 10);
    test::WriteFileBytes(dir.File("cut.pcap"), bytes);
    auto cut = std::make_unique<PacketStore>();
    result = LoadCaptureFile(dir.File("cut.pcap").string(), *cut);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(cut->Count(), 31);
    EXPECT_FALSE(result.warning.empty());
}

TEST(CaptureFileTest, MoreThanAStoreHoldsIsCutAndFlagged) {
    TempDir dir;
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    const auto path = dir.File("many.pcap");
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr);
    const uint8_t frame[14] = {};
    pcap_pkthdr h{};
    h.caplen = h.len = sizeof frame;
    for (int i = 0; i < PacketStore::kCapacity + 5; ++i) {
        pcap_dump(reinterpret_cast<u_char*>(dumper), &h, frame);
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    LoadResult result;
    auto store = Load(path, &result);
    EXPECT_EQ(store->Count(), PacketStore::kCapacity);
    EXPECT_TRUE(result.truncated);
}

TEST(CaptureFileTest, FailedReplacingWriteKeepsTheOldFile) {
    TempDir dir;
    const auto path = dir.File("keep.pac");
    test::WriteFileBytes(path, {1, 2, 3, 4});
    std::string error;
    EXPECT_FALSE(WriteReplacing(path.string(), error, [](std::FILE* out) {
        std::fputs("partial", out);
        return false;
    }));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(test::ReadFileBytes(path), (std::vector<uint8_t>{1, 2, 3, 4}));
    // No temporary file is left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) ++files;
    EXPECT_EQ(files, 1);

    // Saving through a link replaces the file it points to and keeps the link.
    std::filesystem::create_symlink(path, dir.File("link.pac"));
    ASSERT_TRUE(WriteReplacing(dir.File("link.pac").string(), error, [](std::FILE* out) {
        return std::fputs("new", out) >= 0;
    }));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.pac")));
    EXPECT_EQ(test::ReadFileBytes(path), (std::vector<uint8_t>{'n', 'e', 'w'}));
}

TEST(CaptureFileTest, EveryCorpusFileOpens) {
    const auto files = test::AllCaptureFiles();
    ASSERT_GE(files.size(), 12u);
    for (const auto& path : files) {
        auto store = std::make_unique<PacketStore>();
        LoadResult result = LoadCaptureFile(path.string(), *store);
        EXPECT_TRUE(result.ok) << path << ": " << result.error;
        EXPECT_TRUE(result.warning.empty()) << path << ": " << result.warning;
        for (int i = 0; i < store->Count(); ++i) {
            EXPECT_GE(store->At(i)->header->len, store->At(i)->header->caplen) << path;
        }
    }
}

}  // namespace
}  // namespace kestrel
