#include "dump/dump_layout.h"

#include <algorithm>
#include <cmath>

namespace kestrel {

DumpLayout::DumpLayout(const std::string& text) : m_text(text) {
    size_t start = 0;
    while (start < m_text.size()) {
        m_starts.push_back(static_cast<int>(start));
        const size_t lf = m_text.find('\n', start);
        if (lf == std::string::npos)
            break;
        start = lf + 1;
    }
    for (int line = 0; line < LineCount(); ++line)
        m_widestColumns = std::max(m_widestColumns, static_cast<int>(LineText(line).size()));
}

void DumpLayout::SetCellSize(double advance, int lineHeight) {
    m_advance = advance > 0 ? advance : 1;
    m_lineHeight = std::max(1, lineHeight);
}

DumpRect DumpLayout::RangeRect(int first, int last) const {
    const int line = LineOfChar(first);
    if (line < 0 || last < first)
        return {};
    const int column = first - LineStart(line);
    const int count = std::min(last, LineStart(line) + LineLength(line) - 1) - first + 1;
    return {ColumnLeft(column), static_cast<double>(LineTop(line)), count * m_advance,
            static_cast<double>(m_lineHeight)};
}

int DumpLayout::CharAt(double x, double y) const {
    x -= kMargin;
    y -= kMargin;
    if (x < 0 && y < 0)
        return -1;
    const double column = std::trunc(x / m_advance);
    const double line = std::trunc(y / m_lineHeight);
    if (column < 0 || line < 0 || line >= LineCount())
        return -1;
    const int row = static_cast<int>(line);
    if (column >= LineLength(row))
        return -1;
    return LineStart(row) + static_cast<int>(column);
}

int DumpLayout::LineLength(int line) const {
    const int end = line + 1 < LineCount() ? LineStart(line + 1) : static_cast<int>(m_text.size());
    return end - LineStart(line);
}

std::string DumpLayout::LineText(int line) const {
    std::string text =
        m_text.substr(static_cast<size_t>(LineStart(line)), static_cast<size_t>(LineLength(line)));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

int DumpLayout::LineOfChar(int index) const {
    if (index < 0 || index >= static_cast<int>(m_text.size()))
        return -1;
    const auto it = std::upper_bound(m_starts.begin(), m_starts.end(), index);
    return static_cast<int>(it - m_starts.begin()) - 1;
}

int DumpLayout::HexColumn(int line) const {
    // The offset is the run of characters before the first space.
    const size_t start = static_cast<size_t>(LineStart(line));
    const size_t space = m_text.find(' ', start);
    const int digits = space == std::string::npos || static_cast<int>(space - start) < kOffsetDigits
                           ? kOffsetDigits
                           : static_cast<int>(space - start);
    return digits + kHexGap;
}

std::vector<DumpCharRange> DumpLayout::HighlightRanges(int offset, int length) const {
    std::vector<DumpCharRange> ranges;
    if (offset < 0 || length <= 0)
        return ranges;
    int d = offset % kBytesPerLine;
    int line = offset / kBytesPerLine;
    while (length > 0 && line < LineCount()) {
        const int h = std::min(kBytesPerLine - d, length);
        const int hex = LineStart(line) + HexColumn(line);
        const int chars = hex + kHexWidth + kCharGap;
        // On a short last line nothing is highlighted past its characters.
        const int visibleEnd = LineStart(line) + static_cast<int>(LineText(line).size()) - 1;
        for (DumpCharRange range : {DumpCharRange{hex + 3 * d, hex + 3 * d + 3 * h - 2},
                                    DumpCharRange{chars + d, chars + d + h - 1}}) {
            range.last = std::min(range.last, visibleEnd);
            if (range.first <= range.last)
                ranges.push_back(range);
        }
        length -= h;
        d = 0;
        ++line;
    }
    return ranges;
}

int DumpLayout::ByteAtChar(int index) const {
    const int line = LineOfChar(index);
    if (line < 0)
        return -1;
    const int column = index - LineStart(line);
    const int hex = HexColumn(line);
    const int chars = hex + kHexWidth + kCharGap;
    const int base = kBytesPerLine * line;
    if (column < hex)
        return -1;
    if (column <= hex + kHexWidth - 2)
        return base + (column - hex + 1) / 3;
    if (column >= chars && column < chars + kBytesPerLine)
        return base + column - chars;
    return -1;
}

}  // namespace kestrel
