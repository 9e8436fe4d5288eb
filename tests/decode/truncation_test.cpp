// Every frame of every corpus file, cut to every length from 0 to caplen, in
// a heap block of exactly that size: run under AddressSanitizer, any read
// beyond the captured bytes fails the test.
#include <gtest/gtest.h>

#include <memory>
#include <string_view>

#include "core/capture_file.h"
#include "core/packet_store.h"
#include "test_util.h"
#include "decode/decode_tree.h"

namespace kestrel {
namespace {

// Lines of data sections list captured bytes only.
void ExpectDataLinesCaptured(const DecodeTree& tree, uint32_t caplen) {
    for (int slot = 0; slot < DecodeTree::kSectionSlotCount; ++slot) {
        const int section = tree.SectionSlot(slot);
        if (section == DecodeTree::kNoItem)
            continue;
        const std::string_view text = tree.Text(section);
        if (text != "【 ﾃﾞｰﾀ 】" && text != "【 Ethernetﾃﾞｰﾀ 】")
            continue;
        for (const int line : tree.Children(section)) {
            const ItemRange* range = tree.FindRange(line);
            ASSERT_NE(range, nullptr);
            ASSERT_GE(range->first, 0);
            ASSERT_LE(static_cast<uint32_t>(range->first + range->length), caplen);
            ASSERT_EQ(tree.Text(line).size(), static_cast<size_t>(range->length));
        }
    }
}

TEST(DecodeTruncation, EveryPrefixOfEveryCorpusFrameStaysInBounds) {
    const auto files = test::AllCaptureFiles();
    DecodeTree tree;
    size_t frames = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        auto store = std::make_unique<PacketStore>();
        const LoadResult result = LoadCaptureFile(path.string(), *store);
        ASSERT_TRUE(result.ok) << result.error;
        for (int i = 0; i < store->Count(); ++i) {
            const Packet& original = *store->At(i);
            const uint32_t caplen = original.header->caplen;
            for (uint32_t n = 0; n <= caplen; ++n) {
                PacketHeader header = *original.header;
                header.caplen = n;
                // Exactly n bytes, so the sanitizer sees a read of byte n.
                std::unique_ptr<uint8_t[]> bytes(n ? new uint8_t[n] : nullptr);
                std::copy(original.data, original.data + n, bytes.get());
                Packet cut{&header, bytes.get()};
                const bool built = tree.RebuildTree(cut, i + 1, 16);
                ASSERT_EQ(built, n > 0);
                if (built) {
                    ASSERT_NE(tree.SectionSlot(DecodeTree::kSlotMac), DecodeTree::kNoItem);
                    ExpectDataLinesCaptured(tree, n);
                }
            }
            ++frames;
        }
    }
    EXPECT_GT(frames, 150u);
}

}  // namespace
}  // namespace kestrel
