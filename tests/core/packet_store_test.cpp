#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "core/packet_store.h"
#include "own_allocator.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::MakeTestPacket;

Packet* Numbered(int n) { return MakeTestPacket({static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)}); }
int NumberOf(const Packet* p) { return p->data[0] | p->data[1] << 8; }

TEST(PacketTest, CopyIsDeepAndKeepsAllFourFields) {
    Packet* original = MakeTestPacket({1, 2, 3}, 100, 999999, 1514);
    Packet* copy = CopyPacket(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->data, original->data);
    EXPECT_NE(copy->header, original->header);
    EXPECT_EQ(copy->header->tv_sec, 100u);
    EXPECT_EQ(copy->header->tv_usec, 999999u);
    EXPECT_EQ(copy->header->caplen, 3u);
    EXPECT_EQ(copy->header->len, 1514u);
    EXPECT_EQ(copy->data[2], 3);
    ReleasePacket(original);
    EXPECT_EQ(copy->data[0], 1);
    ReleasePacket(copy);

    Packet* empty = MakeTestPacket({});
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->header->caplen, 0u);
    Packet* emptyCopy = CopyPacket(empty);
    ASSERT_NE(emptyCopy, nullptr);
    ReleasePacket(empty);
    ReleasePacket(emptyCopy);
    ReleasePacket(nullptr);
}

TEST(PacketStoreTest, FillsToCapacityThenDiscards) {
    auto store = std::make_unique<PacketStore>();
    for (int i = 0; i < PacketStore::kCapacity - 1; ++i) {
        ASSERT_EQ(store->AppendPacket(Numbered(i)), PacketStore::AppendResult::Stored);
    }
    EXPECT_EQ(store->Count(), 29999);
    EXPECT_EQ(store->AppendPacket(Numbered(29999)), PacketStore::AppendResult::Stored);
    EXPECT_TRUE(store->IsFull());
    // The 30001st and later are released (LeakSanitizer checks that) and counted.
    EXPECT_EQ(store->AppendPacket(Numbered(1)), PacketStore::AppendResult::Full);
    EXPECT_EQ(store->AppendPacket(Numbered(2)), PacketStore::AppendResult::Full);
    EXPECT_EQ(store->Count(), 30000);
    EXPECT_EQ(store->DiscardedCount(), 2u);
    EXPECT_EQ(NumberOf(store->At(29999)), 29999);

    // After a removal there is room for exactly one more.
    store->RemovePacket(0);
    EXPECT_EQ(store->AppendPacket(Numbered(7)), PacketStore::AppendResult::Stored);
    EXPECT_EQ(store->AppendPacket(Numbered(8)), PacketStore::AppendResult::Full);
    EXPECT_EQ(NumberOf(store->At(0)), 1);
    EXPECT_EQ(NumberOf(store->At(29999)), 7);
}

TEST(PacketStoreTest, NullPacketIsCountedAsLost) {
    PacketStore store;
    EXPECT_EQ(store.AppendPacket(nullptr), PacketStore::AppendResult::NoPacket);
    EXPECT_EQ(store.Count(), 0);
    EXPECT_EQ(store.LostCount(), 1u);
}

TEST(PacketStoreTest, RemoveMovesLaterSlotsDown) {
    auto store = std::make_unique<PacketStore>();
    for (int i = 0; i < 5; ++i) store->AppendPacket(Numbered(i));
    store->RemovePacket(0);
    ASSERT_EQ(store->Count(), 4);
    EXPECT_EQ(NumberOf(store->At(0)), 1);
    EXPECT_EQ(NumberOf(store->At(3)), 4);
    store->RemovePacket(2);
    ASSERT_EQ(store->Count(), 3);
    EXPECT_EQ(NumberOf(store->At(2)), 4);
    store->RemovePacket(3);   // beyond the count: nothing
    store->RemovePacket(-1);
    EXPECT_EQ(store->Count(), 3);

    PacketStore single;
    single.AppendPacket(Numbered(9));
    single.RemovePacket(0);
    EXPECT_EQ(single.Count(), 0);
}

TEST(PacketStoreTest, RemovePacketsMatchesOneByOneRemoval) {
    auto a = std::make_unique<PacketStore>();
    auto b = std::make_unique<PacketStore>();
    for (int i = 0; i < 10; ++i) {
        a->AppendPacket(Numbered(i));
        b->AppendPacket(Numbered(i));
    }
    const std::vector<int> rows = {0, 3, 4, 9};
    a->RemovePackets(rows);
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) b->RemovePacket(*it);
    ASSERT_EQ(a->Count(), 6);
    ASSERT_EQ(a->Count(), b->Count());
    for (int i = 0; i < a->Count(); ++i) EXPECT_EQ(NumberOf(a->At(i)), NumberOf(b->At(i)));
    EXPECT_EQ(NumberOf(a->At(0)), 1);
    EXPECT_EQ(NumberOf(a->At(5)), 8);
}

TEST(PacketStoreTest, ReaderSeesOnlyCompleteSlotsWhileWorkerAppends) {
    // One appender thread and a UI-like reader that removes as it goes: every
    // slot below a count it read holds a complete packet, in order.
    auto store = std::make_unique<PacketStore>();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 20000; ++i) store->AppendPacket(Numbered(i));
        done = true;
    });
    int removed = 0;
    while (!done || store->Count() > 0) {
        const int count = store->Count();
        for (int i = 0; i < count; ++i) {
            ASSERT_NE(store->At(i), nullptr);
            ASSERT_EQ(store->At(i)->header->caplen, 2u);
        }
        if (count > 0) {
            EXPECT_EQ(NumberOf(store->At(0)), removed);
            store->RemovePacket(0);
            ++removed;
        }
        if (done && store->Count() == 0) break;
    }
    worker.join();
    EXPECT_EQ(removed, 20000);
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

using test::MakeTestPacket;

// A full store of 1514-byte frames holds little more than the frames: the
// heap in use grows by at most 1.3 times the frame bytes plus the fixed
// table, and shrinks back when the store goes.
TEST(PacketStoreTest, FullStoreOfLargeFramesStaysCloseToItsBytes) {
#if !KESTREL_OWN_ALLOCATOR
    GTEST_SKIP() << "heap figures of a sanitizer's allocator are not the program's";
#else
    const std::vector<uint8_t> frame(1514, 0x5A);
    const auto before = mallinfo2();
    size_t bytes = 0;
    {
        auto store = std::make_unique<PacketStore>();
        for (int i = 0; i < PacketStore::kCapacity; ++i) {
            ASSERT_EQ(store->AppendPacket(MakeTestPacket(frame)), PacketStore::AppendResult::Stored);
        }
        const auto full = mallinfo2();
        bytes = store->ByteCount();
        ASSERT_EQ(bytes, static_cast<size_t>(PacketStore::kCapacity) * 1514);
        const size_t used = (full.uordblks + full.hblkhd) - (before.uordblks + before.hblkhd);
        const size_t fixed = sizeof(PacketStore) + 64 * 1024;
        std::printf("store of %d x 1514 bytes: %zu bytes of heap, %.3f x the frame bytes\n",
                    PacketStore::kCapacity, used, static_cast<double>(used) / bytes);
        EXPECT_LE(used, bytes * 13 / 10 + fixed);
        EXPECT_GE(used, bytes);
    }
    const auto after = mallinfo2();
    EXPECT_LE(after.uordblks + after.hblkhd, before.uordblks + before.hblkhd + 64 * 1024);
#endif
}

}  // namespace
}  // namespace kestrel
