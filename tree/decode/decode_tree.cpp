#include "tree/decode/decode_tree.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "core/local_time.h"
#include "tree/decode/decoders.h"

namespace kestrel {

namespace {

// "【 No.%d 】【 %s.%u 】【 %d ﾊﾞｲﾄ 】": the milliseconds are printed without
// leading zeros, so 5 ms reads ".5" and 50 ms ".50".
constexpr const char* kRootFormat = "【 No.%d 】【 %s.%u 】【 %d ﾊﾞｲﾄ 】";
constexpr const char* kTimeFormat = "%Y/%m/%d %H:%M:%S";
constexpr std::string_view kDataHeading = "【 ﾃﾞｰﾀ 】";
constexpr std::string_view kEthernetDataHeading = "【 Ethernetﾃﾞｰﾀ 】";
constexpr size_t kFormatBufferSize = 512;
// Typical packets give about a hundred items; reserving this once keeps a
// rebuild free of allocations after the first few packets.
constexpr size_t kReserveItems = 256;

bool IsGraphic(uint8_t byte) {
    return byte >= 0x21 && byte <= 0x7E;
}

}  // namespace

DecodeTree::DecodeTree() {
    m_slots.fill(kNoItem);
    m_items.reserve(kReserveItems);
    m_ranges.reserve(kReserveItems);
    m_text.reserve(kReserveItems * 48);
}

void DecodeTree::Clear() {
    m_items.clear();
    m_text.clear();
    m_ranges.clear();
    m_slots.fill(kNoItem);
    m_ipHeaderLength = 0;
    m_ipTotalLength = 0;
    m_childIndexValid = false;
}

bool DecodeTree::RebuildTree(const Packet& packet, int number, int lineCount) {
    if (!packet.header || packet.header->caplen == 0 || !packet.data) {
        return false;
    }
    Clear();
    m_lineCount = lineCount > 0 ? lineCount : kDefaultLineCount;
    const PacketHeader& header = *packet.header;

    char time[32] = "";
    std::tm tm{};
    if (ToLocalCalendar(header.tv_sec, tm)) {
        std::strftime(time, sizeof time, kTimeFormat, &tm);
    }
    m_slots[kSlotRoot] = AddItemF(kNoItem, kRootFormat, number, time, header.tv_usec / 1000,
                                  static_cast<int>(header.caplen));

    const ByteReader frame(packet);
    const int end = DecodeEthernet(*this, frame);
    if (end >= 0 && header.caplen > static_cast<uint32_t>(end)) {
        AddEthernetData(frame, end);
    }
    for (int slot = 0; slot < kSectionSlotCount && m_slots[slot] != kNoItem; ++slot) {
        m_items[static_cast<size_t>(m_slots[slot])].image = kImageSection;
    }
    return true;
}

int DecodeTree::AddItem(std::string_view text, int parent) {
    Item item;
    item.textOffset = static_cast<uint32_t>(m_text.size());
    item.textLength = static_cast<uint32_t>(text.size());
    item.parent = parent;
    if (parent != kNoItem) {
        item.row = m_items[static_cast<size_t>(parent)].childCount++;
    }
    m_text.append(text);
    m_items.push_back(item);
    m_childIndexValid = false;
    return static_cast<int>(m_items.size()) - 1;
}

int DecodeTree::AddItemF(int parent, const char* format, ...) {
    char buffer[kFormatBufferSize];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    const size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buffer - 1);
    return AddItem(std::string_view(buffer, length), parent);
}

int DecodeTree::AddField(int parent, int first, int length, const char* format, ...) {
    char buffer[kFormatBufferSize];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    const size_t textLength = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buffer - 1);
    const int item = AddItem(std::string_view(buffer, textLength), parent);
    AddItemRange(item, first, length);
    return item;
}

void DecodeTree::AddItemRange(int item, int first, int length) {
    Item& it = m_items[static_cast<size_t>(item)];
    if (it.firstRange < 0) {
        it.firstRange = static_cast<int>(m_ranges.size());
    }
    m_ranges.push_back({item, first, length});
}

int DecodeTree::AddSection(std::string_view text, int slot, int first, int length) {
    const int item = AddItem(text, Root());
    if (slot >= 0 && slot < kSectionSlotCount) {
        m_slots[static_cast<size_t>(slot)] = item;
    }
    AddItemRange(item, first, length);
    return item;
}

void DecodeTree::AddDataSection(const ByteReader& frame, int first, int length) {
    AddByteLines(frame, kDataHeading, kSlotData, first, length);
}

void DecodeTree::AddEthernetData(const ByteReader& frame, int first) {
    if (first < 0 || static_cast<size_t>(first) >= frame.Size()) {
        return;
    }
    int slot = 0;
    while (slot < kSectionSlotCount && m_slots[static_cast<size_t>(slot)] != kNoItem) {
        ++slot;
    }
    // With all 20 slots in use the section is shown but held by no slot.
    AddByteLines(frame, kEthernetDataHeading, slot, first, static_cast<int>(frame.Size()) - first);
}

void DecodeTree::AddByteLines(const ByteReader& frame, std::string_view heading, int slot,
                              int first, int length) {
    if (length < 1 || first < 0) {
        return;
    }
    // Only the captured bytes are listed; the heading covers just those.
    const std::span<const uint8_t> bytes =
        frame.Available(static_cast<size_t>(first), static_cast<size_t>(length));
    if (bytes.empty()) {
        return;
    }
    const int section = AddSection(heading, slot, first, static_cast<int>(bytes.size()));
    const size_t perLine = static_cast<size_t>(m_lineCount);
    char line[kFormatBufferSize];
    for (size_t start = 0; start < bytes.size(); start += perLine) {
        const size_t count = std::min(perLine, bytes.size() - start);
        // Lines longer than the local buffer are written straight into the pool.
        const int item = AddItem({}, section);
        Item& it = m_items[static_cast<size_t>(item)];
        it.textLength = static_cast<uint32_t>(count);
        for (size_t done = 0; done < count;) {
            const size_t chunk = std::min(count - done, sizeof line);
            for (size_t i = 0; i < chunk; ++i) {
                const uint8_t b = bytes[start + done + i];
                line[i] = IsGraphic(b) ? static_cast<char>(b) : '.';
            }
            m_text.append(line, chunk);
            done += chunk;
        }
        AddItemRange(item, first + static_cast<int>(start), static_cast<int>(count));
    }
}

std::string_view DecodeTree::Text(int item) const {
    const Item& it = m_items[static_cast<size_t>(item)];
    return std::string_view(m_text).substr(it.textOffset, it.textLength);
}

void DecodeTree::BuildChildIndex() const {
    const size_t n = m_items.size();
    m_childStart.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        m_childStart[i + 1] = m_childStart[i] + m_items[i].childCount;
    }
    m_childIndex.resize(static_cast<size_t>(m_childStart[n]));
    for (size_t i = 0; i < n; ++i) {
        const Item& it = m_items[i];
        if (it.parent != kNoItem) {
            m_childIndex[static_cast<size_t>(m_childStart[static_cast<size_t>(it.parent)] +
                                             it.row)] = static_cast<int>(i);
        }
    }
    m_childIndexValid = true;
}

std::span<const int> DecodeTree::Children(int item) const {
    if (!m_childIndexValid) {
        BuildChildIndex();
    }
    const size_t i = static_cast<size_t>(item);
    return std::span<const int>(m_childIndex.data() + m_childStart[i],
                                static_cast<size_t>(m_childStart[i + 1] - m_childStart[i]));
}

int DecodeTree::Depth(int item) const {
    int depth = 0;
    for (int p = Parent(item); p != kNoItem; p = Parent(p)) {
        ++depth;
    }
    return depth;
}

int DecodeTree::LeadingSectionCount() const {
    int count = 0;
    while (count < kSectionSlotCount && m_slots[static_cast<size_t>(count)] != kNoItem) {
        ++count;
    }
    return count;
}

int DecodeTree::SlotOfItem(int item) const {
    if (item == kNoItem) {
        return -1;
    }
    for (int slot = 0; slot < kSectionSlotCount; ++slot) {
        if (m_slots[static_cast<size_t>(slot)] == item) {
            return slot;
        }
    }
    return -1;
}

const ItemRange* DecodeTree::FindRange(int item) const {
    if (item < 0 || item >= ItemCount()) {
        return nullptr;
    }
    const int index = m_items[static_cast<size_t>(item)].firstRange;
    return index < 0 ? nullptr : &m_ranges[static_cast<size_t>(index)];
}

ItemSelection DecodeTree::SelectItemAtByte(int index) const {
    ItemSelection result;
    if (index == -1 && !m_ranges.empty()) {
        result.item = Root();
        return result;
    }
    const ItemRange* best = nullptr;
    for (const ItemRange& range : m_ranges) {
        // first <= index < first + length, without overflow for large ranges.
        if (range.first <= index && index - range.first < range.length &&
            (!best || range.length < best->length)) {
            best = &range;
        }
    }
    if (best) {
        result.item = best->item;
        result.first = best->first;
        result.length = best->length;
        result.byRange = true;
    }
    return result;
}

}  // namespace kestrel
