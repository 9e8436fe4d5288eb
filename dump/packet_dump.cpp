#include "dump/packet_dump.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <array>

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
    m_layout = DumpLayout(text);
    const QFontMetrics metrics(m_font);
    m_widestLine = 0;
    for (int line = 0; line < m_layout.LineCount(); ++line) {
        m_widestLine = std::max(
            m_widestLine, metrics.horizontalAdvance(QString::fromLatin1(m_layout.LineText(line))));
    }
    UpdateScrollBars();
    viewport()->update();
}

void CPacketDump::ApplyDumpFont() {
    m_font = QFont(QString::fromUtf8(kFontFamily));
    m_font.setStyleHint(QFont::Monospace);
    m_font.setFixedPitch(true);
    m_font.setPointSizeF(m_fontSize / 10.0);
    setFont(m_font);
    // Widths depend on the font: lay the text out again.
    std::string text = m_layout.Text();
    SetDumpText(std::move(text));
}

int CPacketDump::LineHeight() const {
    return QFontMetrics(m_font).height();
}

int CPacketDump::CharWidth() const {
    // The dump font is fixed-pitch: every character has the digit's advance.
    return std::max(1, QFontMetrics(m_font).horizontalAdvance(QLatin1Char('0')));
}

QSize CPacketDump::ContentSize() const {
    return QSize(m_widestLine + 2 * kMargin, LineHeight() * m_layout.LineCount() + 2 * kMargin);
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
    const int line = m_layout.LineOfChar(highlight.first);
    if (line < 0)
        return {};
    const QFontMetrics metrics(m_font);
    const std::string& text = m_layout.Text();
    const int start = m_layout.LineStart(line);
    const int last = std::min(highlight.last, start + m_layout.LineLength(line) - 1);
    const QString prefix = QString::fromLatin1(text.data() + start, highlight.first - start);
    const QString range =
        QString::fromLatin1(text.data() + highlight.first, std::max(0, last - highlight.first + 1));
    const int height = LineHeight();
    const int left = metrics.horizontalAdvance(prefix);
    return QRect(kMargin + left, kMargin + line * height, metrics.horizontalAdvance(range), height);
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

void CPacketDump::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), m_backColour);
    if (m_layout.LineCount() == 0)
        return;
    painter.setFont(m_font);
    const QFontMetrics metrics(m_font);
    const int height = LineHeight();
    const QPoint scroll = ScrollOffset();
    const int originX = kMargin - scroll.x();
    const int originY = kMargin - scroll.y();

    // Only the lines that meet the exposed rectangle are drawn.
    const QRect exposed = event->rect();
    const int firstLine = std::max(0, (exposed.top() - originY) / height);
    const int lastLine = std::min(m_layout.LineCount() - 1, (exposed.bottom() - originY) / height);
    painter.setPen(m_textColour);
    for (int line = firstLine; line <= lastLine; ++line) {
        painter.drawText(originX, originY + line * height + metrics.ascent(),
                         QString::fromLatin1(m_layout.LineText(line)));
    }

    // Highlights are drawn over the same characters, white on navy.
    const std::string& text = m_layout.Text();
    for (const auto& [key, highlight] : m_highlights) {
        const QRect rect = HighlightRect(highlight).translated(-scroll);
        if (!rect.intersects(exposed))
            continue;
        const int line = m_layout.LineOfChar(highlight.first);
        const int last =
            std::min(highlight.last, m_layout.LineStart(line) + m_layout.LineLength(line) - 1);
        QString range = QString::fromLatin1(text.data() + highlight.first,
                                            std::max(0, last - highlight.first + 1));
        range.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
        painter.fillRect(rect, highlight.backColour);
        painter.setPen(highlight.textColour);
        painter.drawText(rect.left(), rect.top() + metrics.ascent(), range);
    }
}

int CPacketDump::HitTestChar(const QPoint& point) const {
    const QPoint scroll = ScrollOffset();
    const int x = point.x() + scroll.x() - kMargin;
    const int y = point.y() + scroll.y() - kMargin;
    if (x < 0 && y < 0)
        return -1;
    const int column = x / CharWidth();
    const int line = y / LineHeight();
    if (line < 0 || column < 0 || line >= m_layout.LineCount() ||
        column >= m_layout.LineLength(line)) {
        return -1;
    }
    return m_layout.LineStart(line) + column;
}

void CPacketDump::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const int index = HitTestChar(event->position().toPoint());
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
