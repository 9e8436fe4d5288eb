// The decode tree of one packet as plain data: items with text, parent,
// children and byte range, the ordered range list, the 20 section slots and
// byte -> item selection. The Qt tree view renders it; kestrel-dump prints it.
#pragma once

#include <cstdarg>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_reader.h"
#include "core/packet.h"

namespace kestrel {

// One entry of the range list: the bytes [first, first + length) of the
// frame that an item describes. A length of 0 covers nothing.
struct ItemRange {
    int item = -1;
    int first = 0;
    int length = 0;
};

// Result of SelectItemAtByte. `item` is what the view selects: the best
// covering item, the root for index -1, or kNoItem (selection unchanged).
// `byRange` tells whether any range entry was taken: the view then clears its
// scroll flag, and (first, length) are that entry's; otherwise (-1, 0).
struct ItemSelection {
    int item = -1;
    int first = -1;
    int length = 0;
    bool byRange = false;
};

class DecodeTree {
public:
    static constexpr int kNoItem = -1;
    static constexpr int kSectionSlotCount = 20;
    static constexpr int kDefaultLineCount = 32;
    // Slots the decoders write; the Ethernet data section takes the first free one.
    static constexpr int kSlotRoot = 0;
    static constexpr int kSlotMac = 1;
    static constexpr int kSlotNetwork = 2;    // IP or ARP
    static constexpr int kSlotTransport = 3;  // TCP, UDP, ICMP or IGMP
    static constexpr int kSlotData = 4;
    static constexpr uint8_t kImageItem = 0;
    static constexpr uint8_t kImageSection = 1;

    DecodeTree();

    // Rebuilds the whole tree for `packet` shown as row `number`, with
    // `lineCount` characters per data line. A line count of 0 or below (the
    // settings file can hold one) means the default of 32. A packet with no
    // captured bytes leaves the tree as it was and gives false.
    bool RebuildTree(const Packet& packet, int number, int lineCount);
    // Forgets all items, ranges and slots.
    void Clear();

    // --- Building (used by the decoders) ---
    // Appends an item as the last child of `parent` (kNoItem: a top-level
    // item, the root). Returns its handle.
    int AddItem(std::string_view text, int parent);
    int AddItemF(int parent, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // AddItemF, then AddItemRange(item, first, length).
    int AddField(int parent, int first, int length, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void AddItemRange(int item, int first, int length);
    // A heading, child of the root, stored in `slot`, with its range.
    int AddSection(std::string_view text, int slot, int first, int length);
    // "【 ﾃﾞｰﾀ 】" (slot 4) listing the captured ones of `length` bytes from
    // `first`, line-count characters per line. Nothing when length < 1.
    void AddDataSection(const ByteReader& frame, int first, int length);
    // "【 Ethernetﾃﾞｰﾀ 】" in the first free slot, the captured bytes from `first`.
    void AddEthernetData(const ByteReader& frame, int first);

    void SetIpHeaderLength(uint8_t length) { m_ipHeaderLength = length; }
    void SetIpTotalLength(uint16_t length) { m_ipTotalLength = length; }
    uint8_t IpHeaderLength() const { return m_ipHeaderLength; }
    uint16_t IpTotalLength() const { return m_ipTotalLength; }
    int LineCount() const { return m_lineCount; }

    // --- Reading (used by the view and the printer) ---
    int ItemCount() const { return static_cast<int>(m_items.size()); }
    int Root() const { return m_slots[kSlotRoot]; }
    std::string_view Text(int item) const;
    int Parent(int item) const { return m_items[static_cast<size_t>(item)].parent; }
    // Position of the item among its parent's children.
    int Row(int item) const { return m_items[static_cast<size_t>(item)].row; }
    std::span<const int> Children(int item) const;
    uint8_t Image(int item) const { return m_items[static_cast<size_t>(item)].image; }
    // Depth below the root (root 0).
    int Depth(int item) const;

    // Item held by section slot `slot` (0-19), or kNoItem.
    int SectionSlot(int slot) const { return m_slots[static_cast<size_t>(slot)]; }
    // Number of slots from 0 up to the first empty one: the sections whose
    // image is the section image and whose expansion the view applies.
    int LeadingSectionCount() const;
    // Slot of `item` when it is one of the section slots, else -1.
    int SlotOfItem(int item) const;

    const std::vector<ItemRange>& Ranges() const { return m_ranges; }
    // First range entry of `item`, or nullptr when it has none.
    const ItemRange* FindRange(int item) const;
    // The item a click on byte `index` selects (-1: the root). The first
    // covering entry is taken and replaced only by a strictly shorter one.
    ItemSelection SelectItemAtByte(int index) const;

private:
    int AddFormatted(int parent, const char* format, va_list args);
    // Makes the text from `textStart` to the end of the text store an item.
    int AddStoredItem(size_t textStart, int parent);

    struct Item {
        uint32_t textOffset = 0;
        uint32_t textLength = 0;
        int parent = kNoItem;
        int row = 0;
        int childCount = 0;
        int firstRange = -1;
        uint8_t image = kImageItem;
    };

    void AddByteLines(const ByteReader& frame, std::string_view heading, int slot, int first,
                      int length);
    void BuildChildIndex() const;

    std::vector<Item> m_items;
    std::string m_text;  // all item texts, back to back
    std::vector<ItemRange> m_ranges;
    std::array<int, kSectionSlotCount> m_slots{};
    uint8_t m_ipHeaderLength = 0;
    uint16_t m_ipTotalLength = 0;
    int m_lineCount = kDefaultLineCount;
    // Children of every item, contiguous, built on first use after a change.
    mutable std::vector<int> m_childIndex;
    mutable std::vector<int> m_childStart;
    mutable bool m_childIndexValid = false;
};

}  // namespace kestrel
