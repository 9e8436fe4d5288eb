// How the packet list looks: its font, the width each column opens with, and
// the drawing of a row (background by frame kind, the selection, the focus
// rectangle).
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QStyledItemDelegate>

class QHeaderView;
class QPainter;

namespace kestrel {

// The Japanese user interface face, served by a metric-compatible font.
inline constexpr const char* kListFontFamily = "ＭＳ Ｐゴシック";
// Pixels between a cell's edges and its text.
inline constexpr int kCellLeftMargin = 2;
inline constexpr int kCellRightMargin = 4;
// The grid line at the right of every column is part of its width.
inline constexpr int kGridLineWidth = 1;
// Widest a column opens or is restored with.
inline constexpr int kMaxColumnWidth = 4000;

// The colour of selected rows: the desktop's selection colour, or a darker
// shade of it where it is hard to tell from a row colour (closer than
// kMinSelectionContrast in RGB).
inline constexpr int kMinSelectionContrast = 100;
QColor SelectionColour(const QPalette& palette, QPalette::ColorGroup group);

// The list font at `pixels` pixels.
QFont ListFont(int pixels);

// The width column `column` opens with in `font`: its specified width, or
// more where the widest text the column shows (number up to 30000, a time of
// day, twelve hex digits, "ARP(REQUEST)", a dotted address, a port) or its
// title in `header` needs more, as do the texts in `shown` (texts of that
// column shown so far). The Protocol column's texts have no bound: it widens
// for its title only.
int OpeningColumnWidth(int column, const QFont& font, const QHeaderView* header,
                       const QStringList& shown = {});

// One cell of a row: filled with the selection colour or the row's colour,
// the text from 2 pixels in, one line, vertically centred, an ellipsis when
// it does not fit. The view draws the focus rectangle around the whole row,
// on the grid lines that surround its cells.
class CPacketRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

// A dotted rectangle on the outermost pixels of `rect`, in alternating black
// and white dots, so it shows on every row colour and on the selection.
void DrawFocusRectangle(QPainter& painter, const QRect& rect);

}  // namespace kestrel
