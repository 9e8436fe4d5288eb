#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "core/capture_file.h"
#include "core/capture_reader.h"
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
    // A link to a file not there yet, through another link, relative to
    // the links' folders: the file it names is made and the links stay.
    std::filesystem::create_directory(dir.File("sub"));
    std::filesystem::create_symlink("later.pac", dir.File("sub/inner.pac"));
    std::filesystem::create_symlink("sub/inner.pac", dir.File("dangling.pac"));
    ASSERT_TRUE(WriteReplacing(dir.File("dangling.pac").string(), error, [](std::FILE* out) {
        return std::fputs("made", out) >= 0;
    })) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("dangling.pac")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("sub/inner.pac")));
    EXPECT_EQ(test::ReadFileBytes(dir.File("sub/later.pac")), (std::vector<uint8_t>{'m', 'a', 'd', 'e'}));
}

// A store of `count` frames of `size` bytes each.
std::unique_ptr<PacketStore> Frames(int count, size_t size) {
    auto store = std::make_unique<PacketStore>();
    for (int i = 0; i < count; ++i) {
        store->AppendPacket(MakeTestPacket(std::vector<uint8_t>(size, static_cast<uint8_t>(i)),
                                           1700000000 + static_cast<uint32_t>(i)));
    }
    return store;
}

// Saving over `path` must fail with a message and leave its bytes as they were.
void ExpectRefusedAndKept(const std::filesystem::path& path, const PacketStore& store) {
    const auto before = test::ReadFileBytes(path);
    std::string error;
    EXPECT_FALSE(SaveCaptureFile(store, path.string(), FileKind::Pac, error));
    EXPECT_NE(error.find("元のﾌｧｲﾙはそのまま"), std::string::npos) << error;
    EXPECT_EQ(test::ReadFileBytes(path), before);
}

// Where no temporary file can be made beside the old file, the save is
// refused and the old file kept; it is never written in place.
TEST(CaptureFileTest, FailedSaveNeverCostsTheOldFile) {
    const auto big = Frames(2000, 1000);  // 2 MB
    const auto small = Frames(10, 100);
    TempDir dir;

    // No free inode: a 1 MB file system with room for one file only.
    if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
        const auto fs = dir.File("fs");
        std::filesystem::create_directory(fs);
        if (mount("none", fs.c_str(), "tmpfs", 0, "size=1m,nr_inodes=2") == 0) {
            std::string error;
            ASSERT_TRUE(SaveCaptureFile(*small, (fs / "old.pac").string(), FileKind::Pac, error))
                << error;
            ExpectRefusedAndKept(fs / "old.pac", *big);
            umount(fs.c_str());
        }
    }

    // A folder the user may not write, holding a file the user may write.
    const auto locked = dir.File("locked");
    std::filesystem::create_directory(locked);
    const auto old = locked / "old.pac";
    std::string error;
    ASSERT_TRUE(SaveCaptureFile(*small, old.string(), FileKind::Pac, error)) << error;
    chmod(old.c_str(), 0666);
    chmod(locked.c_str(), 0555);
    if (geteuid() != 0) {
        ExpectRefusedAndKept(old, *big);
    } else {
        // Root writes any folder: an unprivileged child tries the save.
        chmod(dir.Path().c_str(), 0755);
        const int result = test::RunInChildAsNobody([&] {
            std::string reason;
            return SaveCaptureFile(*big, old.string(), FileKind::Pac, reason) ? 1
                   : reason.find("一時ﾌｧｲﾙを作れません") == std::string::npos ? 2
                                                                              : 0;
        });
        EXPECT_EQ(result, 0);
        PacketStore back;
        EXPECT_EQ(LoadCaptureFile(old.string(), back).ok, true);
        EXPECT_EQ(back.Count(), small->Count());
    }
    chmod(locked.c_str(), 0755);

    // A name as long as names may be: the new file replaces the old one by
    // rename (a new inode), not by writing it in place.
    const auto longName = dir.File(std::string(250, 'n') + ".pac");
    ASSERT_TRUE(SaveCaptureFile(*small, longName.string(), FileKind::Pac, error)) << error;
    struct stat first {
    }, second{};
    ASSERT_EQ(stat(longName.c_str(), &first), 0);
    ASSERT_TRUE(SaveCaptureFile(*big, longName.string(), FileKind::Pac, error)) << error;
    ASSERT_EQ(stat(longName.c_str(), &second), 0);
    EXPECT_NE(first.st_ino, second.st_ino);
    EXPECT_EQ(static_cast<size_t>(second.st_size), 2000u * (20 + 1000));

    // A FIFO is refused at once (no waiting for a reader) and stays a FIFO.
    const auto fifo = dir.File("fifo.pac");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(SaveCaptureFile(*small, fifo.string(), FileKind::Pcap, error));
    EXPECT_NE(error.find("通常のﾌｧｲﾙではありません"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));

    // Nothing but the files themselves is left in the folders.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
        EXPECT_EQ(entry.path().filename().string().find(".kestrel-"), std::string::npos)
            << entry.path();
    }
}

// A save replaces a file only where its user could have written that file
// itself, and the new file keeps the old one's owner and mode; where they
// cannot be kept the save is refused. Replacing by rename needs only the
// folder's permission, so these are checked before.
TEST(CaptureFileTest, ReplacesOnlyWritableFilesKeepingOwnerAndMode) {
    const auto store = Frames(3, 60);
    TempDir dir;
    std::string error;
    const auto save = [&](const std::filesystem::path& path) {
        return SaveCaptureFile(*store, path.string(), FileKind::Pac, error);
    };
    const auto mode = [](const std::filesystem::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    const auto owner = [](const std::filesystem::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_uid : ~0u;
    };
    const auto own = dir.File("own.pac");
    ASSERT_TRUE(save(own)) << error;
    chmod(own.c_str(), 0604);
    ASSERT_TRUE(save(own)) << error;
    EXPECT_EQ(mode(own), 0604u);
    if (geteuid() != 0) GTEST_SKIP() << "the other cases need a second user: run as root";

    // Root keeps another user's file theirs.
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    chmod(own.c_str(), 0640);
    ASSERT_TRUE(save(own)) << error;
    EXPECT_EQ(owner(own), 65534u);
    EXPECT_EQ(mode(own), 0640u);

    // The user nobody, in a folder it may write.
    chmod(dir.Path().c_str(), 0777);
    const auto readOnly = dir.File("read-only.pac");  // nobody's own, 0444
    const auto roots = dir.File("roots.pac");         // root's, 0644
    const auto shared = dir.File("shared.pac");       // root's, 0666: writable, not nobody's
    for (const auto& path : {readOnly, roots, shared}) ASSERT_TRUE(save(path)) << error;
    ASSERT_EQ(chown(readOnly.c_str(), 65534, 65534), 0);
    chmod(readOnly.c_str(), 0444);
    chmod(shared.c_str(), 0666);
    const auto before = test::ReadFileBytes(roots);
    const auto bigger = Frames(5, 60);
    const int failures = test::RunInChildAsNobody([&] {
        int failed = 0, bit = 1;
        for (const auto& path : {readOnly, roots, shared}) {
            std::string reason;
            if (SaveCaptureFile(*bigger, path.string(), FileKind::Pac, reason) ||
                reason.find("元のﾌｧｲﾙはそのまま") == std::string::npos)
                failed |= bit;
            bit <<= 1;
        }
        std::string reason;
        if (!SaveCaptureFile(*bigger, own.string(), FileKind::Pac, reason)) failed |= bit;
        return failed;
    });
    EXPECT_EQ(failures, 0) << "failed cases (bits: read-only, root's, shared, own)";
    for (const auto& path : {readOnly, roots, shared}) {
        EXPECT_EQ(test::ReadFileBytes(path), before) << path;
        EXPECT_EQ(owner(path), path == readOnly ? 65534u : 0u) << path;
    }
    EXPECT_EQ(owner(own), 65534u);
    EXPECT_EQ(mode(own), 0640u);
    EXPECT_EQ(std::filesystem::file_size(own), 5u * 80);
}

// Saving as pcap declares the snapshot length the longest frame needs, so
// libpcap reads every frame whole; a frame beyond what pcap readers take is
// refused with a message naming .pac, and the old file stays.
TEST(CaptureFileTest, PcapSaveKeepsLongFramesWholeOrRefuses) {
    TempDir dir;
    for (const FileKind kind : {FileKind::Pcap, FileKind::PcapNg}) {
        auto store = Frames(3, 60);
        store->AppendPacket(MakeTestPacket(std::vector<uint8_t>(70000, 0xA7), 1, 0));
        store->AppendPacket(MakeTestPacket(std::vector<uint8_t>(kPcapMaxSnapLength, 0xB8), 2, 0));
        const auto path = dir.File(kind == FileKind::Pcap ? "long.pcap" : "long.pcapng");
        std::string error;
        ASSERT_TRUE(SaveCaptureFile(*store, path.string(), kind, error)) << error;
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_t* pcap = pcap_open_offline(path.c_str(), errbuf);
        ASSERT_NE(pcap, nullptr) << errbuf;
        EXPECT_EQ(pcap_snapshot(pcap), static_cast<int>(kPcapMaxSnapLength));
        pcap_pkthdr* h;
        const u_char* bytes;
        for (int i = 0; i < store->Count(); ++i) {
            ASSERT_EQ(pcap_next_ex(pcap, &h, &bytes), 1);
            const PacketHeader& want = *store->At(i)->header;
            EXPECT_EQ(h->caplen, want.caplen);
            EXPECT_EQ(0, std::memcmp(bytes, store->At(i)->data, want.caplen));
        }
        pcap_close(pcap);

        const auto before = test::ReadFileBytes(path);
        store->AppendPacket(MakeTestPacket(std::vector<uint8_t>(kPcapMaxSnapLength + 1), 3, 0));
        EXPECT_FALSE(SaveCaptureFile(*store, path.string(), kind, error));
        EXPECT_NE(error.find("No.6"), std::string::npos) << error;
        EXPECT_NE(error.find(".pac"), std::string::npos) << error;
        EXPECT_EQ(test::ReadFileBytes(path), before);
        ASSERT_TRUE(SaveCaptureFile(*store, dir.File("long.pac").string(), FileKind::Pac, error));
    }
}

// A file that shrinks while it is read ends like a shorter file: the packets
// read before stay, the read stops, nothing faults.
TEST(CaptureFileTest, ShrinkingFileIsAShortRead) {
    TempDir dir;
    const auto store = Frames(8, 100000);
    for (const FileKind kind : {FileKind::Pac, FileKind::Pcap}) {
        const auto path = dir.File(kind == FileKind::Pac ? "shrink.pac" : "shrink.pcap");
        std::string error;
        ASSERT_TRUE(SaveCaptureFile(*store, path.string(), kind, error)) << error;
        CaptureReader reader;
        ASSERT_TRUE(reader.Open(path.string(), {}, error)) << error;
        ASSERT_EQ(reader.Next(), CaptureReader::Result::Packet);
        // Cut in the middle of the fourth packet, then to nothing.
        std::filesystem::resize_file(path, 24 + 3 * 100020 + 500);
        int packets = 1;
        CaptureReader::Result next;
        while ((next = reader.Next()) == CaptureReader::Result::Packet) {
            EXPECT_EQ(reader.Current().header->caplen, 100000u);
            EXPECT_EQ(reader.Current().data[99999], packets);
            ++packets;
            std::filesystem::resize_file(path, 0);
        }
        EXPECT_GE(packets, 2);
        EXPECT_LE(packets, 3);
        // .pac ends silently at an incomplete record; libpcap says it was cut.
        EXPECT_EQ(next, kind == FileKind::Pac ? CaptureReader::Result::End
                                              : CaptureReader::Result::Failed);
    }
}

// Inputs that are not files: a pcap stream on a FIFO is read once through
// libpcap; a FIFO that no one writes to, and devices that give data without
// end, are refused within seconds instead of hanging or filling memory.
TEST(CaptureFileTest, FifosAndEndlessDevicesEndCleanly) {
    const auto capture = test::CorpusFile("arp.pcap");
    TempDir dir;
    const auto fifo = dir.File("fifo");
    std::thread writer = test::FeedFifo(fifo, test::ReadFileBytes(capture));
    auto store = std::make_unique<PacketStore>();
    LoadResult result = LoadCaptureFile(fifo.string(), *store);
    writer.join();
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.warning.empty()) << result.warning;
    EXPECT_EQ(result.kind, FileKind::Pcap);
    EXPECT_EQ(store->Count(), 18);

    const auto start = std::chrono::steady_clock::now();
    store = std::make_unique<PacketStore>();
    result = LoadCaptureFile(fifo.string(), *store, ReadLimits{300, 1000});
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("ﾃﾞｰﾀが届きません"), std::string::npos) << result.error;
    for (const char* device : {"/dev/zero", "/dev/urandom"}) {
        result = LoadCaptureFile(device, *store);
        EXPECT_FALSE(result.ok) << device;
        EXPECT_NE(result.error.find("ﾊﾟｹｯﾄ ﾌｧｲﾙではありません"), std::string::npos) << result.error;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(store->Count(), 0);
}

// Reads `path` with CaptureReader and with libpcap side by side: the same
// packets (times, lengths, bytes) and the same end, or the same error.
void ExpectReadAsLibpcapReads(const std::filesystem::path& path) {
    SCOPED_TRACE(path.string());
    std::string ourError;
    CaptureReader reader;
    const bool opened = reader.Open(path.string(), {}, ourError);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    const std::string prefix = "ﾌｧｲﾙを読み込めません (" + path.string() + "): ";
    ASSERT_EQ(opened, pcap != nullptr) << ourError << " / " << errbuf;
    if (!pcap) {
        EXPECT_EQ(ourError, prefix + errbuf);
        return;
    }
    for (int n = 0;; ++n) {
        pcap_pkthdr* h = nullptr;
        const u_char* bytes = nullptr;
        const int r = pcap_next_ex(pcap, &h, &bytes);
        const CaptureReader::Result ours = reader.Next();
        if (r != 1) {
            EXPECT_EQ(ours, r == PCAP_ERROR_BREAK ? CaptureReader::Result::End
                                                  : CaptureReader::Result::Failed) << n;
            if (r != PCAP_ERROR_BREAK) {
                EXPECT_EQ(reader.Error(), prefix + pcap_geterr(pcap));
            }
            break;
        }
        ASSERT_EQ(ours, CaptureReader::Result::Packet) << n << ": " << reader.Error();
        const Packet& p = reader.Current();
        ASSERT_EQ(p.header->caplen, h->caplen) << n;
        EXPECT_EQ(p.header->len, h->len) << n;
        EXPECT_EQ(p.header->tv_sec, static_cast<uint32_t>(h->ts.tv_sec)) << n;
        EXPECT_EQ(p.header->tv_usec, static_cast<uint32_t>(h->ts.tv_usec)) << n;
        ASSERT_EQ(std::memcmp(p.data, bytes, h->caplen), 0) << n;
    }
    pcap_close(pcap);
}

TEST(CaptureFileTest, PcapIsReadAsLibpcapReadsIt) {
    for (const auto& path : test::AllCaptureFiles()) {
        const auto head = test::ReadFileBytes(path);
        if (DetectFileKind(head) == FileKind::Pcap) ExpectReadAsLibpcapReads(path);
    }
    // Both byte orders and precisions, snapshot lengths that cut records or
    // that the library replaces, a record too long for any reader, headers
    // left to libpcap (version 2.2, link type bits), and every cut of a file.
    TempDir dir;
    struct Variant {
        uint32_t magic, version, snapLength, linkType;
        bool bigEndian;
    };
    const Variant variants[] = {
        {0xA1B2C3D4, 0x00040002, 65536, 1, false}, {0xA1B23C4D, 0x00040002, 65536, 1, false},
        {0xA1B2C3D4, 0x00040002, 65536, 1, true},  {0xA1B23C4D, 0x00040002, 0, 1, true},
        {0xA1B2C3D4, 0x00040002, 100, 1, false},   {0xA1B2C3D4, 0x00020002, 65536, 1, false},
        {0xA1B2C3D4, 0x00040002, 65536, 0x04000001, false},
    };
    int index = 0;
    for (const Variant& v : variants) {
        std::vector<uint8_t> bytes;
        auto put32 = [&](uint32_t x) {
            for (int i = 0; i < 4; ++i) {
                bytes.push_back(static_cast<uint8_t>(v.bigEndian ? x >> (24 - 8 * i) : x >> (8 * i)));
            }
        };
        put32(v.magic);
        if (v.bigEndian) {  // two 16-bit fields, each in big-endian order
            put32(((v.version & 0xFFFF) << 16) | (v.version >> 16));
        } else {
            put32(v.version);
        }
        for (uint32_t x : {0u, 0u, v.snapLength, v.linkType}) put32(x);
        const uint32_t lengths[] = {60, 200, 1514, 0};
        for (uint32_t i = 0; i < 4; ++i) {
            for (uint32_t x : {1700000000u + i, i == 3 ? 0xFFFFFFF0u : 999999999u - i, lengths[i], lengths[i] + 4}) {
                put32(x);
            }
            for (uint32_t k = 0; k < lengths[i]; ++k) bytes.push_back(static_cast<uint8_t>(k * 7 + i));
        }
        std::string name = std::to_string(index++);  // (a "v" + ... here trips -Wrestrict at -O3)
        name += ".pcap";
        const auto path = dir.File(name);
        test::WriteFileBytes(path, bytes);
        ExpectReadAsLibpcapReads(path);
        // Every cut of a file, and of one whose records exceed its snapshot
        // length (cut within the snapshot length or beyond it).
        if (index == 1 || v.snapLength == 100) {
            for (size_t cut = 4; cut < bytes.size(); cut += cut < 120 ? 1 : v.snapLength == 100 ? 7 : 97) {
                test::WriteFileBytes(path, {bytes.begin(), bytes.begin() + static_cast<long>(cut)});
                ExpectReadAsLibpcapReads(path);
            }
        }
        if (index == 1) {
            // A record longer than libpcap takes for Ethernet.
            bytes.resize(24 + 16);
            bytes[24 + 10] = 0x04;  // caplen 0x0004003C
            test::WriteFileBytes(path, bytes);
            ExpectReadAsLibpcapReads(path);
        }
    }
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
