// Where the bytes of a frame sit in its hex dump text: line starts, the
// character ranges that cover a byte range, the byte under a character, and
// where each character cell lies in pixels. Toolkit-free so the arithmetic
// is tested on its own.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

// An inclusive range of character indexes within one line of the dump text.
struct DumpCharRange {
    int first = 0;
    int last = 0;
    bool operator==(const DumpCharRange&) const = default;
};

// A rectangle in content pixels (before scrolling).
struct DumpRect {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
};

class DumpLayout {
public:
    // Columns of an ordinary line (offset of four digits).
    static constexpr int kOffsetDigits = 4;
    static constexpr int kHexGap = 2;     // spaces after the offset
    static constexpr int kHexWidth = 48;  // 16 x "XX "
    static constexpr int kCharGap = 1;    // space before the characters
    static constexpr int kBytesPerLine = 16;
    static constexpr int kMargin = 2;  // pixels left of and above the text

    DumpLayout() = default;
    // Lays out `text` as FormatHexDump writes it: each line ends after its
    // LF; a last piece without LF counts only when it is not empty.
    explicit DumpLayout(const std::string& text);

    int LineCount() const { return static_cast<int>(m_starts.size()); }
    // Index of the first character of line `line` (0 <= line < LineCount()).
    int LineStart(int line) const { return m_starts[static_cast<size_t>(line)]; }
    // Characters of the line including its CR LF.
    int LineLength(int line) const;
    // The line without CR and LF.
    std::string LineText(int line) const;
    // The line that holds character `index`, or -1 outside the text.
    int LineOfChar(int index) const;
    const std::string& Text() const { return m_text; }

    // Two ranges per line touched (hex digits, then characters) for the
    // bytes [offset, offset + length); lines beyond the text are left out
    // and no range reaches past the visible characters of its line.
    std::vector<DumpCharRange> HighlightRanges(int offset, int length) const;

    // The byte shown at character `index`: -1 in the offset column, between
    // the hex and character areas and on a full line's CR LF; on a short
    // last line the hex padding and CR LF give indexes at or beyond the
    // frame's end. -1 outside the text.
    int ByteAtChar(int index) const;

    // The pixel grid the text is drawn on, used alike by painting,
    // highlighting and hit testing: every character cell is `advance`
    // pixels wide (fractional: the dump font is fixed-pitch, and at 11
    // points a cell is 7.5 pixels wide), every line `lineHeight` high.
    void SetCellSize(double advance, int lineHeight);
    double Advance() const { return m_advance; }
    int LineHeight() const { return m_lineHeight; }
    // Left edge of column `column` and top of line `line`, margin included.
    double ColumnLeft(int column) const { return kMargin + column * m_advance; }
    int LineTop(int line) const { return kMargin + line * m_lineHeight; }
    // Cells of the inclusive range [first, last] of one line.
    DumpRect RangeRect(int first, int last) const;
    // Width of the widest line without CR LF, in pixels.
    double WidestLine() const { return m_widestColumns * m_advance; }
    // The character whose cell holds the content point (x, y), or -1: none
    // left of and above the text at once, below the last line, or right of
    // a line's CR LF. Positions truncate toward zero, as the cells count
    // from the margin.
    int CharAt(double x, double y) const;

private:
    // Characters before the first hex digit of line `line` (6 ordinarily;
    // more when the offset needs more than four digits).
    int HexColumn(int line) const;

    std::string m_text;
    std::vector<int> m_starts;
    int m_widestColumns = 0;
    double m_advance = 8;
    int m_lineHeight = 16;
};

}  // namespace kestrel
