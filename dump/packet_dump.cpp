#include "dump/packet_dump.h"

#include <QContextMenuEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <array>
#include <cmath>

#include "capture/capture_engine.h"
#include "core/text_helpers.h"
#include "framework/command_ids.h"
#include "framework/pane_host.h"
#include "framework/pane_menu.h"
#include "framework/profile.h"
#include "tree/packet_tree.h"

namespace kestrel {

namespace {

constexpr const char* kKeyFontSize = "DUMP_FONT_SIZE";
constexpr const char* kFontFamily = "ＭＳ ゴシック";

struct FontChoice {
    int command;
    int size;  // tenths of a point
};
constexpr std::array<FontChoice, 5> kFontChoices = {{{cmd::kDumpFontLargest, 150},
                                                     {cmd::kDumpFontLarge, 130},
                                                     {cmd::kDumpFontMedium, 110},
                                                     {cmd::kDumpFontSmall, 90},
                                                     {cmd::kDumpFontSmallest, 70}}};

const QColor kHighlightText(255, 255, 255);
const QColor kHighlightBack(0, 0, 128);  // navy

}  // namespace

CPacketDump::CPacketDump(CPaneHost* frame, QWidget* parent)
    : QAbstractScrollArea(parent), m_frame(frame) {
    m_fontSize = GetProfileInt(kKeyFontSize, kDefaultFontSize);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    QPalette palette = viewport()->palette();
    palette.setColor(QPalette::Base, m_backColour);
    viewport()->setPalette(palette);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ApplyDumpFont();
}

CPacketDump::~CPacketDump() {
    WriteProfileInt(kKeyFontSize, m_fontSize);
}

void CPacketDump::SetPacket(const Packet* packet) {
    ClearHighlights();
    if (!packet || !packet->header) {
        SetDumpText({});
        return;
    }
    const ByteReader frame(*packet);
    SetDumpText(FormatHexDump(frame.Available(0, frame.Size())));
}

void CPacketDump::ClearPacket() {
    ClearHighlights();
    SetDumpText({});
}

void CPacketDump::SetDumpText(std::string text) {
    const double advance = m_layout.Advance();
    const int lineHeight = m_layout.LineHeight();
    m_layout = DumpLayout(text);
    m_layout.SetCellSize(advance, lineHeight);
    UpdateScrollBars();
    viewport()->update();
}

bool CPacketDump::MakeDumpFont(int size) {
    if (size <= 0)
        return false;
    QFont font(QString::fromUtf8(kFontFamily));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPointSizeF(size / 10.0);
    const QFontMetricsF metrics(font);
    const double advance = metrics.horizontalAdvance(QLatin1Char('0'));
    const int lineHeight = QFontMetrics(font).height();
    // Sizes beyond what fonts are made at give a stand-in with no pixel size.
    if (!(advance > 0) || lineHeight < 1 || lineHeight > kMaxLineHeight ||
        QFontInfo(font).pixelSize() < 1) {
        return false;
    }
    m_font = font;
    m_rawFont = QRawFont::fromFont(m_font);
    m_ascent = QFontMetrics(m_font).ascent();
    m_layout.SetCellSize(advance, lineHeight);
    return true;
}

void CPacketDump::ApplyDumpFont() {
    // A size from the settings that cannot be drawn gives way to the default.
    if (!MakeDumpFont(m_fontSize)) {
        m_fontSize = kDefaultFontSize;
        MakeDumpFont(m_fontSize);
    }
    setFont(m_font);
    UpdateScrollBars();
    viewport()->update();
}

QSize CPacketDump::ContentSize() const {
    return QSize(static_cast<int>(std::ceil(m_layout.WidestLine())) + 2 * kMargin,
                 LineHeight() * m_layout.LineCount() + 2 * kMargin);
}

void CPacketDump::UpdateScrollBars() {
    const QSize content = ContentSize();
    const QSize client = viewport()->size();
    // Page a tenth of the total, a step a tenth of the page.
    const auto configure = [](QScrollBar* bar, int total, int visible) {
        bar->setRange(0, std::max(0, total - visible));
        const int page = std::max(1, total / 10);
        bar->setPageStep(page);
        bar->setSingleStep(std::max(1, page / 10));
    };
    configure(horizontalScrollBar(), content.width(), client.width());
    configure(verticalScrollBar(), content.height(), client.height());
}

QPoint CPacketDump::ScrollOffset() const {
    return QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value());
}

void CPacketDump::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void CPacketDump::ClearHighlights() {
    m_highlights.clear();
    viewport()->update();
}

void CPacketDump::HighlightBytes(int offset, int length) {
    ClearHighlights();
    for (const DumpCharRange& range : m_layout.HighlightRanges(offset, length)) {
        m_highlights[std::to_string(range.first)] =
            DumpHighlight{range.first, range.last, kHighlightText, kHighlightBack};
    }
    viewport()->update();
}

QRect CPacketDump::HighlightRect(const DumpHighlight& highlight) const {
    const DumpRect rect = m_layout.RangeRect(highlight.first, highlight.last);
    return QRectF(rect.left, rect.top, rect.width, rect.height).toAlignedRect();
}

void CPacketDump::ScrollToHighlight() {
    QRect united;
    for (const auto& [key, highlight] : m_highlights)
        united = united.united(HighlightRect(highlight));
    int x = 0;
    int y = 0;
    if (!united.isNull()) {
        united.adjust(-kHighlightInflate, -kHighlightInflate, kHighlightInflate, kHighlightInflate);
        x = united.left();
        y = united.top() + united.height() / 2 - viewport()->height() / 2;
    }
    const QSize total = ContentSize();
    if (x + viewport()->width() > total.width())
        x = total.width() - viewport()->width();
    if (y + viewport()->height() > total.height())
        y = total.height() - viewport()->height();
    horizontalScrollBar()->setValue(std::max(0, x));
    verticalScrollBar()->setValue(std::max(0, y));
    viewport()->update();
}

void CPacketDump::DrawCells(QPainter& painter, double left, int baseline,
                            const QString& text) const {
    // Each glyph at its own cell, so what is drawn is where the highlights
    // and the hit test put it.
    if (m_rawFont.isValid()) {
        const QList<quint32> glyphs = m_rawFont.glyphIndexesForString(text);
        QList<QPointF> positions;
        positions.reserve(glyphs.size());
        for (qsizetype i = 0; i < glyphs.size(); ++i)
            positions.append(QPointF(left + static_cast<double>(i) * CharAdvance(), baseline));
        QGlyphRun run;
        run.setRawFont(m_rawFont);
        run.setGlyphIndexes(glyphs);
        run.setPositions(positions);
        painter.drawGlyphRun(QPointF(0, 0), run);
        return;
    }
    for (qsizetype i = 0; i < text.size(); ++i)
        painter.drawText(QPointF(left + static_cast<double>(i) * CharAdvance(), baseline),
                         text.at(i));
}

void CPacketDump::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), m_backColour);
    if (m_layout.LineCount() == 0)
        return;
    painter.setFont(m_font);
    const int height = LineHeight();
    const QPoint scroll = ScrollOffset();

    // Only the lines that meet the exposed rectangle are drawn.
    const QRect exposed = event->rect();
    const int firstLine = std::max(0, (exposed.top() + scroll.y() - kMargin) / height);
    const int lastLine =
        std::min(m_layout.LineCount() - 1, (exposed.bottom() + scroll.y() - kMargin) / height);
    painter.setPen(m_textColour);
    for (int line = firstLine; line <= lastLine; ++line) {
        DrawCells(painter, m_layout.ColumnLeft(0) - scroll.x(),
                  m_layout.LineTop(line) - scroll.y() + m_ascent,
                  QString::fromLatin1(m_layout.LineText(line)));
    }

    // Highlights are drawn over the same cells, white on navy.
    const std::string& text = m_layout.Text();
    for (const auto& [key, highlight] : m_highlights) {
        const DumpRect cells = m_layout.RangeRect(highlight.first, highlight.last);
        const QRectF rect =
            QRectF(cells.left, cells.top, cells.width, cells.height).translated(-scroll);
        if (!rect.intersects(exposed))
            continue;
        const int count = static_cast<int>(std::lround(cells.width / CharAdvance()));
        QString range = QString::fromLatin1(text.data() + highlight.first, count);
        range.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
        painter.fillRect(rect, highlight.backColour);
        painter.setPen(highlight.textColour);
        DrawCells(painter, rect.left(), static_cast<int>(std::lround(rect.top())) + m_ascent,
                  range);
    }
}

int CPacketDump::HitTestChar(const QPointF& point) const {
    const QPoint scroll = ScrollOffset();
    return m_layout.CharAt(point.x() + scroll.x(), point.y() + scroll.y());
}

void CPacketDump::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const int index = HitTestChar(event->position());
        if (index >= 0 && m_frame && m_frame->TreePane())
            m_frame->TreePane()->SelectItemAtByte(ByteAtChar(index));
    }
    QAbstractScrollArea::mousePressEvent(event);
}

QMenu* CPacketDump::CreateContextMenu() {
    const bool capture = m_frame && m_frame->IsCaptureDocument();
    const int state = m_frame ? m_frame->GetCaptureState() : kCaptureUnknown;
    return BuildPaneMenu(capture, cmd::kPopupDump, this, [this, state](int id, CommandState& s) {
        for (const FontChoice& choice : kFontChoices) {
            if (choice.command == id) {
                s.checked = choice.size == m_fontSize;
                return true;
            }
        }
        if (id == cmd::kDumpCaptureStart) {
            s.enabled = state == kCaptureIdle;
            return true;
        }
        if (id == cmd::kDumpCaptureStop) {
            s.enabled = state == kCaptureCapturing;
            return true;
        }
        return false;
    });
}

void CPacketDump::contextMenuEvent(QContextMenuEvent* event) {
    const int id = ExecPaneMenu(CreateContextMenu(), event->globalPos());
    if (id >= 0)
        OnCommand(id);
}

bool CPacketDump::OnCommand(int id) {
    for (const FontChoice& choice : kFontChoices) {
        if (choice.command == id) {
            m_fontSize = choice.size;
            ApplyDumpFont();
            return true;
        }
    }
    if (id == cmd::kDumpCaptureStart && m_frame) {
        m_frame->StartCaptureCommand();
        return true;
    }
    if (id == cmd::kDumpCaptureStop && m_frame) {
        m_frame->StopCapture();
        return true;
    }
    return false;
}

}  // namespace kestrel
