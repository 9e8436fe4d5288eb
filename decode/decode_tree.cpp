#include "decode/decode_tree.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/local_time.h"
#include "decode/decoders.h"

namespace kestrel {

namespace {

// "【 No.%d 】【 %s.%u 】【 %d ﾊﾞｲﾄ 】": the milliseconds are printed without
// leading zeros, so 5 ms reads ".5" and 50 ms ".50".
constexpr const char* kRootFormat = "【 No.%d 】【 %s.%u 】【 %d ﾊﾞｲﾄ 】";
constexpr std::string_view kDataHeading = "【 ﾃﾞｰﾀ 】";
constexpr std::string_view kEthernetDataHeading = "【 Ethernetﾃﾞｰﾀ 】";
constexpr size_t kFormatBufferSize = 512;
// Typical packets give about a hundred items; reserving this once keeps a
// rebuild free of allocations after the first few packets.
constexpr size_t kReserveItems = 256;

bool IsGraphic(uint8_t byte) {
    return byte >= 0x21 && byte <= 0x7E;
}

// "YYYY/MM/DD hh:mm:ss" of a local calendar time (strftime's "%Y/%m/%d
// %H:%M:%S" for the years a capture header can hold), written directly: it is
// part of every rebuild.
void FormatCalendar(const std::tm& tm, char* out) {
    const int fields[6] = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                           tm.tm_hour,        tm.tm_min,     tm.tm_sec};
    static constexpr char kSeparators[6] = {'/', '/', ' ', ':', ':', '\0'};
    char* p = out;
    for (int i = 0; i < 6; ++i) {
        const int value = fields[i];
        if (i == 0) {
            *p++ = static_cast<char>('0' + value / 1000 % 10);
            *p++ = static_cast<char>('0' + value / 100 % 10);
        }
        *p++ = static_cast<char>('0' + value / 10 % 10);
        *p++ = static_cast<char>('0' + value % 10);
        *p++ = kSeparators[i];
    }
}

// Writes into a fixed buffer, dropping what does not fit.
class TextCursor {
public:
    TextCursor(char* begin, char* end) : m_p(begin), m_end(end) {}
    void Put(const char* text, size_t n) {
        n = std::min(n, static_cast<size_t>(m_end - m_p));
        std::memcpy(m_p, text, n);
        m_p += n;
    }
    void Put(char c) {
        if (m_p < m_end) *m_p++ = c;
    }
    void Fill(char c, size_t n) {
        n = std::min(n, static_cast<size_t>(m_end - m_p));
        std::memset(m_p, c, n);
        m_p += n;
    }
    char* Position() const { return m_p; }

private:
    char* m_p;
    char* m_end;
};

// printf for the few conversions the item texts use (%d %i %u %x %X %s %c %%
// with an optional '0' flag, a width and 'l'), in one pass; about ten times
// faster than vsnprintf, which matters because every rebuild formats every
// field. False at any other conversion.
bool FormatSimple(TextCursor& out, const char* format, va_list args) {
    static constexpr char kLower[] = "0123456789abcdef";
    static constexpr char kUpper[] = "0123456789ABCDEF";
    for (const char* f = format;;) {
        const char* percent = strchrnul(f, '%');
        out.Put(f, static_cast<size_t>(percent - f));
        if (!*percent) return true;
        f = percent + 1;
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
        const char conversion = *f++;
        switch (conversion) {
            case '%': out.Put('%'); continue;
            case 'c': out.Put(static_cast<char>(va_arg(args, int))); continue;
            case 's': {
                const char* text = va_arg(args, const char*);
                const size_t n = text ? std::strlen(text) : 6;
                if (static_cast<size_t>(width) > n) out.Fill(' ', static_cast<size_t>(width) - n);
                out.Put(text ? text : "(null)", n);
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
            case 'u': {
                unsigned long long value = isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned);
                do *--p = static_cast<char>('0' + value % 10); while (value /= 10);
                break;
            }
            case 'x':
            case 'X': {
                unsigned long long value = isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned);
                const char* alphabet = conversion == 'X' ? kUpper : kLower;
                do *--p = alphabet[value & 0xF]; while (value >>= 4);
                break;
            }
            default:
                return false;
        }
        const size_t length = static_cast<size_t>(end - p) + (negative ? 1 : 0);
        const size_t pad = static_cast<size_t>(width) > length ? static_cast<size_t>(width) - length : 0;
        if (!zero) out.Fill(' ', pad);
        if (negative) out.Put('-');
        if (zero) out.Fill('0', pad);
        out.Put(p, static_cast<size_t>(end - p));
    }
}

// Appends the formatted text to `out`, held to kFormatBufferSize - 1 bytes:
// the one-pass formatter, or vsnprintf for a conversion it does not know.
void AppendFormatted(std::string& out, const char* format, va_list args) {
    char buffer[kFormatBufferSize];
    va_list again;
    va_copy(again, args);
    TextCursor cursor(buffer, buffer + sizeof buffer - 1);
    if (FormatSimple(cursor, format, args)) {
        out.append(buffer, static_cast<size_t>(cursor.Position() - buffer));
    } else {
        const int n = std::vsnprintf(buffer, sizeof buffer, format, again);
        if (n > 0) out.append(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
    }
    va_end(again);
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
        FormatCalendar(tm, time);
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
    const size_t start = m_text.size();
    m_text.append(text);
    return AddStoredItem(start, parent);
}

int DecodeTree::AddStoredItem(size_t textStart, int parent) {
    Item item;
    item.textOffset = static_cast<uint32_t>(textStart);
    item.textLength = static_cast<uint32_t>(m_text.size() - textStart);
    item.parent = parent;
    if (parent != kNoItem) {
        item.row = m_items[static_cast<size_t>(parent)].childCount++;
    }
    m_items.push_back(item);
    m_childIndexValid = false;
    return static_cast<int>(m_items.size()) - 1;
}

int DecodeTree::AddFormatted(int parent, const char* format, va_list args) {
    // Formatted straight into the text store, then taken as the item's text.
    const size_t start = m_text.size();
    AppendFormatted(m_text, format, args);
    return AddStoredItem(start, parent);
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
