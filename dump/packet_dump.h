// The hex dump pane (bottom right of a document window): the bytes of the
// selected packet, the highlighted bytes of the selected decode tree item,
// and a click on a byte selecting the narrowest tree item that covers it.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <QRawFont>
#include <map>
#include <string>

#include "core/packet.h"
#include "dump/dump_layout.h"

class QMenu;

namespace kestrel {

class CPaneHost;

// One highlighted character range; every range lies within one line.
struct DumpHighlight {
    int first = 0;
    int last = 0;  // inclusive
    QColor textColour;
    QColor backColour;
};

class CPacketDump : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int kDefaultFontSize = 110;  // tenths of a point
    static constexpr int kMargin = DumpLayout::kMargin;  // pixels around the text
    static constexpr int kHighlightInflate = 5;          // pixels around a centred highlight
    // A font size (from the settings) whose lines would be taller than this
    // is not used: the default size is.
    static constexpr int kMaxLineHeight = 4096;

    explicit CPacketDump(CPaneHost* frame, QWidget* parent = nullptr);
    ~CPacketDump() override;

    // Shows the captured bytes of `packet`; drops the highlights.
    void SetPacket(const Packet* packet);
    // Shows nothing; drops the highlights.
    void ClearPacket();
    // Replaces the highlights by the bytes [offset, offset + length).
    void HighlightBytes(int offset, int length);
    // Scrolls so that the highlights are centred vertically.
    void ScrollToHighlight();

    // The character under a viewport point, or -1.
    int HitTestChar(const QPointF& point) const;
    // The byte shown at a character index (see DumpLayout::ByteAtChar).
    int ByteAtChar(int index) const { return m_layout.ByteAtChar(index); }

    // The context menu as it would show now (checks and greying applied).
    QMenu* CreateContextMenu();
    bool OnCommand(int id);

    const std::string& DumpText() const { return m_layout.Text(); }
    const std::map<std::string, DumpHighlight>& Highlights() const { return m_highlights; }
    int FontSize() const { return m_fontSize; }
    const QFont& DumpFont() const { return m_font; }
    // Pixel rectangle of a highlight in content coordinates (margin
    // included), widened to whole pixels.
    QRect HighlightRect(const DumpHighlight& highlight) const;
    // Total scrolled extent: widest line + 4 by line height x lines + 4.
    QSize ContentSize() const;
    int LineHeight() const { return m_layout.LineHeight(); }
    // Width of one character cell (fractional).
    double CharAdvance() const { return m_layout.Advance(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void SetDumpText(std::string text);
    // The font at the font size; false when it cannot be drawn (measures
    // no pixel, or lines taller than kMaxLineHeight).
    bool MakeDumpFont(int size);
    void ApplyDumpFont();
    // Draws `text` with one character per cell from `left`, baseline `baseline`.
    void DrawCells(QPainter& painter, double left, int baseline, const QString& text) const;
    void ClearHighlights();
    void UpdateScrollBars();
    QPoint ScrollOffset() const;

    CPaneHost* m_frame;
    DumpLayout m_layout;
    int m_fontSize = kDefaultFontSize;
    std::map<std::string, DumpHighlight> m_highlights;
    QFont m_font;
    QRawFont m_rawFont;
    int m_ascent = 0;
    const QColor m_backColour{255, 255, 255};
    const QColor m_textColour{0, 0, 0};
};

}  // namespace kestrel
