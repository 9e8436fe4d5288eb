// The items of one packet's decode tree as plain data: texts, parents, byte
// ranges, the 20 section slots, and the byte -> narrowest item query. The
// tree pane renders it; nothing here knows the toolkit.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/byte_reader.h"
#include "core/packet.h"

namespace kestrel {

class TreeContent {
public:
    static constexpr int kSectionSlots = 20;
    static constexpr int kNoItem = -1;
    static constexpr int kImageItem = 0;
    static constexpr int kImageSection = 1;
    static constexpr int kDefaultLineCount = 32;
    // Slots the frame itself fills; the decoders fill 1 to 3.
    static constexpr int kSlotRoot = 0;
    static constexpr int kSlotData = 4;

    struct Item {
        std::string text;
        int parent = kNoItem;
        int image = kImageItem;
    };
    struct Range {
        int item = kNoItem;
        int first = 0;
        int length = 0;
    };
    // Outcome of SelectItemAtByte: the item the walk ends on and its range;
    // `byRange` when any entry was taken (the pane then selects without
    // scrolling the dump); `root` when the root is to be selected instead.
    struct Selection {
        int item = kNoItem;
        int first = -1;
        int length = 0;
        bool byRange = false;
        bool root = false;
    };

    TreeContent() { m_slots.fill(kNoItem); }

    // Empties everything and lays out the packet: the root, then the frame
    // bytes that no decoder took as "【 Ethernetﾃﾞｰﾀ 】" lines of `lineCount`
    // characters. A line count below 1 is taken as the default 32. False,
    // leaving the content as it was, for a packet without captured bytes.
    bool Rebuild(const Packet& packet, int number, int lineCount);
    void Clear();

    int InsertItem(std::string text, int parent);
    void AddItemRange(int item, int first, int length);
    // A payload section (slot 4) with one line per `lineCount` bytes.
    void AddDataSection(const ByteReader& frame, int first, int length, int lineCount);
    // The frame bytes from `first` to the end, in the first empty slot.
    void AddEthernetData(const ByteReader& frame, int first, int lineCount);

    Selection SelectItemAtByte(int index) const;
    // The first range entry of `item`, or nullptr.
    const Range* FindRange(int item) const;

    const std::vector<Item>& Items() const { return m_items; }
    const std::vector<Range>& Ranges() const { return m_ranges; }
    // Item of each section slot, or kNoItem.
    const std::array<int, kSectionSlots>& Slots() const { return m_slots; }
    // The slot whose section is `item`, or -1.
    int SlotOf(int item) const;

private:
    void AddLines(const ByteReader& frame, int section, int first, int length, int lineCount);

    std::vector<Item> m_items;
    std::vector<Range> m_ranges;
    std::array<int, kSectionSlots> m_slots{};
};

}  // namespace kestrel
