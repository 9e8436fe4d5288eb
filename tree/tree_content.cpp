#include "tree/tree_content.h"

#include <algorithm>
#include <cstdio>

#include "core/local_time.h"

namespace kestrel {

namespace {

constexpr const char* kDataHeading = "【 ﾃﾞｰﾀ 】";
constexpr const char* kEthernetDataHeading = "【 Ethernetﾃﾞｰﾀ 】";
constexpr uint8_t kFirstGraphic = 0x21;
constexpr uint8_t kLastGraphic = 0x7E;

}  // namespace

void TreeContent::Clear() {
    m_items.clear();
    m_ranges.clear();
    m_slots.fill(kNoItem);
}

bool TreeContent::Rebuild(const Packet& packet, int number, int lineCount) {
    const ByteReader frame(packet);
    if (!packet.header || frame.Size() == 0)
        return false;
    Clear();
    if (lineCount < 1)
        lineCount = kDefaultLineCount;
    const PacketHeader& header = *packet.header;
    const std::string time = FormatLocalTime(header.tv_sec, "%Y/%m/%d %H:%M:%S");
    char root[128];
    std::snprintf(root, sizeof root, "【 No.%d 】【 %s.%u 】【 %d ﾊﾞｲﾄ 】", number, time.c_str(),
                  header.tv_usec / 1000, static_cast<int>(header.caplen));
    m_slots[kSlotRoot] = InsertItem(root, kNoItem);
    // The protocol decoders take their sections from the front of the
    // frame; what they leave is listed as Ethernet data.
    const int decodedEnd = 0;
    if (frame.Size() > static_cast<size_t>(decodedEnd))
        AddEthernetData(frame, decodedEnd, lineCount);
    for (int slot = 0; slot < kSectionSlots && m_slots[static_cast<size_t>(slot)] != kNoItem;
         ++slot) {
        m_items[static_cast<size_t>(m_slots[static_cast<size_t>(slot)])].image = kImageSection;
    }
    return true;
}

int TreeContent::InsertItem(std::string text, int parent) {
    m_items.push_back(Item{std::move(text), parent, kImageItem});
    return static_cast<int>(m_items.size()) - 1;
}

void TreeContent::AddItemRange(int item, int first, int length) {
    m_ranges.push_back(Range{item, first, length});
}

void TreeContent::AddLines(const ByteReader& frame, int section, int first, int length,
                           int lineCount) {
    if (lineCount < 1)
        lineCount = kDefaultLineCount;
    // Only captured bytes are listed.
    const std::span<const uint8_t> bytes =
        frame.Available(static_cast<size_t>(first), static_cast<size_t>(length));
    std::string line;
    line.reserve(static_cast<size_t>(lineCount));
    int lineFirst = first;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t byte = bytes[i];
        line.push_back(byte >= kFirstGraphic && byte <= kLastGraphic ? static_cast<char>(byte)
                                                                     : '.');
        if (static_cast<int>(line.size()) == lineCount) {
            AddItemRange(InsertItem(line, section), lineFirst, lineCount);
            lineFirst += lineCount;
            line.clear();
        }
    }
    if (!line.empty())
        AddItemRange(InsertItem(line, section), lineFirst, static_cast<int>(line.size()));
}

void TreeContent::AddDataSection(const ByteReader& frame, int first, int length, int lineCount) {
    if (length < 1 || m_slots[kSlotRoot] == kNoItem)
        return;
    const int section = InsertItem(kDataHeading, m_slots[kSlotRoot]);
    m_slots[kSlotData] = section;
    AddItemRange(section, first, length);
    AddLines(frame, section, first, length, lineCount);
}

void TreeContent::AddEthernetData(const ByteReader& frame, int first, int lineCount) {
    const int length = static_cast<int>(frame.Size()) - first;
    if (length < 1 || m_slots[kSlotRoot] == kNoItem)
        return;
    const int section = InsertItem(kEthernetDataHeading, m_slots[kSlotRoot]);
    const auto freeSlot = std::find(m_slots.begin(), m_slots.end(), kNoItem);
    if (freeSlot != m_slots.end())
        *freeSlot = section;
    AddItemRange(section, first, length);
    AddLines(frame, section, first, length, lineCount);
}

TreeContent::Selection TreeContent::SelectItemAtByte(int index) const {
    Selection selection;
    if (index == -1) {
        selection.root = !m_ranges.empty();
        return selection;
    }
    const Range* best = nullptr;
    for (const Range& range : m_ranges) {
        if (range.first <= index && index < range.first + range.length &&
            (!best || range.length < best->length)) {
            best = &range;
        }
    }
    if (best) {
        selection.item = best->item;
        selection.first = best->first;
        selection.length = best->length;
        selection.byRange = true;
    }
    return selection;
}

const TreeContent::Range* TreeContent::FindRange(int item) const {
    for (const Range& range : m_ranges) {
        if (range.item == item)
            return &range;
    }
    return nullptr;
}

int TreeContent::SlotOf(int item) const {
    for (int slot = 0; slot < kSectionSlots; ++slot) {
        if (item != kNoItem && m_slots[static_cast<size_t>(slot)] == item)
            return slot;
    }
    return -1;
}

}  // namespace kestrel
