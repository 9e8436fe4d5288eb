#include "tree/decode/decode_tree.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

// printf for the few conversions the item texts use (%d %i %u %x %X %s %c %%
// with an optional '0' flag, a width and 'l'), appended to `out`; about ten
// times faster than vsnprintf, which matters because every rebuild formats
// every field. Any other conversion goes to vsnprintf.
void AppendFormatted(std::string& out, const char* format, va_list args) {
    for (const char* f = format; *f; ++f) {
        if (*f != '%') continue;
        ++f;
        if (*f == '0') ++f;
        while (*f >= '0' && *f <= '9') ++f;
        if (*f == 'l') ++f;
        if (!std::strchr("diuxXsc%", *f) || !*f) {
            char buffer[kFormatBufferSize];
            const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
            if (n > 0) out.append(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
            return;
        }
    }
    static constexpr char kLower[] = "0123456789abcdef";
    static constexpr char kUpper[] = "0123456789ABCDEF";
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            const char* plain = f;
            while (f[1] && f[1] != '%') ++f;
            out.append(plain, static_cast<size_t>(f - plain + 1));
            continue;
        }
        ++f;
        const bool zero = *f == '0';
        if (zero) ++f;
        int width = 0;
        while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        const bool isLong = *f == 'l';
        if (isLong) ++f;
        char digits[24];
        char* end = digits + sizeof digits;
        char* p = end;
        bool negative = false;
        switch (*f) {
            case '%': out += '%'; continue;
            case 'c': out += static_cast<char>(va_arg(args, int)); continue;
            case 's': {
                const char* text = va_arg(args, const char*);
                const size_t n = text ? std::strlen(text) : 6;
                if (static_cast<size_t>(width) > n) out.append(static_cast<size_t>(width) - n, ' ');
                out.append(text ? text : "(null)", n);
                continue;
            }
            case 'd':
            case 'i': {
                const long long value = isLong ? va_arg(args, long) : va_arg(args, int);
                negative = value < 0;
                unsigned long long magnitude =
                    negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
                do *--p = static_cast<char>('0' + magnitude % 10); while (magnitude /= 10);
                break;
            }
            default: {  // u x X
                unsigned long long value = isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned);
                const unsigned base = *f == 'u' ? 10 : 16;
                const char* alphabet = *f == 'X' ? kUpper : kLower;
                do *--p = alphabet[value % base]; while (value /= base);
                break;
            }
        }
        const size_t length = static_cast<size_t>(end - p) + (negative ? 1 : 0);
        const size_t pad = static_cast<size_t>(width) > length ? static_cast<size_t>(width) - length : 0;
        if (!zero) out.append(pad, ' ');
        if (negative) out += '-';
        if (zero) out.append(pad, '0');
        out.append(p, end);
    }
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

int DecodeTree::AddFormatted(int parent, const char* format, va_list args) {
    m_scratch.clear();
    AppendFormatted(m_scratch, format, args);
    // Texts are held to what a formatting buffer of kFormatBufferSize takes.
    if (m_scratch.size() > kFormatBufferSize - 1) m_scratch.resize(kFormatBufferSize - 1);
    return AddItem(m_scratch, parent);
}

int DecodeTree::AddItemF(int parent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int item = AddFormatted(parent, format, args);
    va_end(args);
    return item;
}

int DecodeTree::AddField(int parent, int first, int length, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int item = AddFormatted(parent, format, args);
    va_end(args);
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
