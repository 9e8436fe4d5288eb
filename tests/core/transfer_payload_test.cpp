// The drag payload: packets survive the round trip field for field and byte
// for byte; damaged payloads are refused whole.
#include "core/transfer_payload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_util.h"

namespace kestrel {
namespace {

using test::Hex;
using test::MakeTestPacket;

std::vector<uint8_t> TwoPacketPayload() {
    PacketPtr a(
        MakeTestPacket(Hex("00 11 22 33 44 55 66 77 88 99 aa bb 08 00"), 1700000000, 12, 60));
    PacketPtr b(MakeTestPacket({}, 5, 999999, 1514));
    const Packet* packets[] = {a.get(), b.get()};
    return EncodeTransferPayload(packets);
}

void PutLe32At(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(TransferPayload, RoundTripKeepsHeadersBytesAndOrder) {
    const std::vector<uint8_t> payload = TwoPacketPayload();
    // Prologue, then two records: 14 bytes and an empty frame.
    ASSERT_EQ(payload.size(), kTransferPrologueSize + 2 * kTransferRecordHeaderSize + 14);
    EXPECT_EQ(std::vector<uint8_t>(payload.begin(), payload.begin() + 24),
              Hex("4b 53 54 52  01 00 00 00  02 00 00 00  00 f1 53 65  0c 00 00 00"
                  "0e 00 00 00"));

    const auto packets = DecodeTransferPayload(payload);
    ASSERT_TRUE(packets);
    ASSERT_EQ(packets->size(), 2u);
    const PacketHeader& first = *(*packets)[0]->header;
    EXPECT_EQ(first.tv_sec, 1700000000u);
    EXPECT_EQ(first.tv_usec, 12u);
    EXPECT_EQ(first.caplen, 14u);
    EXPECT_EQ(first.len, 60u);
    EXPECT_EQ(std::vector<uint8_t>((*packets)[0]->data, (*packets)[0]->data + 14),
              Hex("00 11 22 33 44 55 66 77 88 99 aa bb 08 00"));
    const PacketHeader& second = *(*packets)[1]->header;
    EXPECT_EQ(second.tv_sec, 5u);
    EXPECT_EQ(second.tv_usec, 999999u);
    EXPECT_EQ(second.caplen, 0u);
    EXPECT_EQ(second.len, 1514u);

    // No packets at all is a valid, empty payload; null entries are skipped.
    const Packet* none[] = {nullptr};
    const auto empty = DecodeTransferPayload(EncodeTransferPayload(none));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    // A time past 2106 travels whole, in the wider version of the layout.
    PacketPtr late(MakeTestPacket(Hex("00 11 22"), 0, 7));
    late->header->tv_sec = 4323283200u;
    const Packet* wide[] = {late.get(), (*packets)[0].get()};
    const auto widePayload = EncodeTransferPayload(wide);
    EXPECT_EQ(widePayload[4], kTransferWideVersion);
    const auto back = DecodeTransferPayload(widePayload);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ(*(*back)[0]->header, *late->header);
    EXPECT_EQ(*(*back)[1]->header, first);
    // The wider layout without a time that needs it is no payload of ours.
    std::vector<uint8_t> needless = widePayload;
    needless[12 + 4] = 0;  // the high word of the late packet's seconds
    EXPECT_FALSE(DecodeTransferPayload(needless));
}

TEST(TransferPayload, RoundTripOfRealFrames) {
    std::vector<const Packet*> packets;
    std::vector<PacketPtr> copies;
    test::ForEachCorpusPacket([&](const std::filesystem::path&, int, const Packet& packet) {
        if (copies.size() < 2000)
            copies.emplace_back(CopyPacket(&packet));
    });
    ASSERT_FALSE(copies.empty());
    for (const PacketPtr& p : copies) packets.push_back(p.get());
    const auto decoded = DecodeTransferPayload(EncodeTransferPayload(packets));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet& a = *packets[i];
        const Packet& b = *(*decoded)[i];
        ASSERT_EQ(*a.header, *b.header) << i;
        ASSERT_EQ(std::memcmp(a.data, b.data, a.header->caplen), 0) << i;
    }
}

TEST(TransferPayload, RefusesMalformedPayloads) {
    const std::vector<uint8_t> good = TwoPacketPayload();
    ASSERT_TRUE(DecodeTransferPayload(good));

    EXPECT_FALSE(DecodeTransferPayload({}));
    EXPECT_FALSE(DecodeTransferPayload(Hex("4b 53 54")));

    auto badMagic = good;
    badMagic[0] = 'k';
    EXPECT_FALSE(DecodeTransferPayload(badMagic));

    auto badVersion = good;
    PutLe32At(badVersion, 4, 3);
    EXPECT_FALSE(DecodeTransferPayload(badVersion));

    // A count beyond what the bytes can hold, and a huge one.
    auto moreCount = good;
    PutLe32At(moreCount, 8, 3);
    EXPECT_FALSE(DecodeTransferPayload(moreCount));
    auto hugeCount = good;
    PutLe32At(hugeCount, 8, 0xffffffffu);
    EXPECT_FALSE(DecodeTransferPayload(hugeCount));
    auto overCapacity = good;
    PutLe32At(overCapacity, 8, kTransferMaxCount + 1);
    EXPECT_FALSE(DecodeTransferPayload(overCapacity));

    // A caplen reaching beyond the payload, by one byte and by far.
    auto longCaplen = good;
    PutLe32At(longCaplen, 12 + 8, 15);
    EXPECT_FALSE(DecodeTransferPayload(longCaplen));
    auto hugeCaplen = good;
    PutLe32At(hugeCaplen, 12 + 8, 0xffffffffu);
    EXPECT_FALSE(DecodeTransferPayload(hugeCaplen));

    // Every cut of the payload, and a byte too many.
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(DecodeTransferPayload(std::span<const uint8_t>(good.data(), n))) << n;
    }
    auto trailing = good;
    trailing.push_back(0);
    EXPECT_FALSE(DecodeTransferPayload(trailing));
}

// Packets of any size a store holds travel, also far above the largest
// snapshot length of a capture library; the encoder writes into a buffer of
// exactly the size it announces.
TEST(TransferPayload, CarriesPacketsOfAnySize) {
    std::vector<PacketPtr> owned;
    std::vector<const Packet*> packets;
    for (const size_t size : {size_t{262145}, size_t{4} << 20, size_t{60}}) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + size);
        owned.emplace_back(MakeTestPacket(bytes, static_cast<uint32_t>(size)));
        packets.push_back(owned.back().get());
    }
    std::vector<uint8_t> payload(TransferPayloadSize(packets));
    EXPECT_EQ(payload.size(),
              kTransferPrologueSize + 3 * kTransferRecordHeaderSize + 262145 + (4u << 20) + 60);
    EncodeTransferPayload(packets, payload);
    EXPECT_EQ(payload, EncodeTransferPayload(packets));
    const auto decoded = DecodeTransferPayload(payload);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const Packet& a = *packets[i];
        const Packet& b = *(*decoded)[i];
        ASSERT_EQ(*a.header, *b.header) << i;
        ASSERT_EQ(std::memcmp(a.data, b.data, a.header->caplen), 0) << i;
    }
}

}  // namespace
}  // namespace kestrel
