#include "list/packet_list_style.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QPen>
#include <QStyleOptionHeader>
#include <algorithm>
#include <cmath>

#include "core/row_text.h"

namespace kestrel {

namespace {

// The widest of `characters` in `metrics`, `count` times: the widest text of
// that many digits (proportional faces draw digits in different widths).
QString Widest(const QFontMetricsF& metrics, const QString& characters, int count) {
    QChar widest = characters.front();
    for (const QChar c : characters) {
        if (metrics.horizontalAdvance(c) > metrics.horizontalAdvance(widest))
            widest = c;
    }
    return QString(count, widest);
}

// The widest texts a column shows; empty for the Protocol column.
QStringList WidestTexts(int column, const QFontMetricsF& metrics) {
    const QString digits = QStringLiteral("0123456789");
    switch (column) {
        case kColumnNumber:  // up to 30000
            return {Widest(metrics, digits, 5)};
        case kColumnTime:
            return {QStringList(3, Widest(metrics, digits, 2)).join(QLatin1Char(':'))};
        case kColumnSourceMac:
        case kColumnDestinationMac:
            return {Widest(metrics, QStringLiteral("0123456789ABCDEF"), 12)};
        case kColumnType:
            return {QStringLiteral("ARP(REQUEST)"), QStringLiteral("ARP(REPLY)"),
                    QStringLiteral("NetBIOS"),      QStringLiteral("RARP"),
                    QStringLiteral("IPX"),          Widest(metrics, digits, 5)};
        case kColumnLength:  // captured lengths up to 262144
            return {Widest(metrics, digits, 6)};
        case kColumnSourceIp:
        case kColumnDestinationIp:
            return {QStringList(4, Widest(metrics, digits, 3)).join(QLatin1Char('.'))};
        case kColumnSourcePort:
        case kColumnDestinationPort:
            return {Widest(metrics, digits, 5)};
        default:
            return {};
    }
}

// Euclidean distance of two colours in RGB.
int Distance(const QColor& a, const QColor& b) {
    const int red = a.red() - b.red();
    const int green = a.green() - b.green();
    const int blue = a.blue() - b.blue();
    return static_cast<int>(std::sqrt(red * red + green * green + blue * blue));
}

}  // namespace

QColor SelectionColour(const QPalette& palette, QPalette::ColorGroup group) {
    const QColor highlight = palette.color(group, QPalette::Highlight);
    // The desktop's selection blue can be next to the TCP row blue: then a
    // darker shade of it marks the selection.
    for (RowKind kind :
         {RowKind::Other, RowKind::Icmp, RowKind::Igmp, RowKind::Tcp, RowKind::Udp, RowKind::Arp}) {
        const Rgb row = RowColour(kind);
        if (Distance(highlight, QColor(row.red, row.green, row.blue)) < kMinSelectionContrast)
            return highlight.darker(170);
    }
    return highlight;
}

QFont ListFont(int pixels) {
    QFont font(QString::fromUtf8(kListFontFamily));
    font.setPixelSize(std::max(1, pixels));
    return font;
}

int OpeningColumnWidth(int column, const QFont& font, const QHeaderView* header,
                       const QStringList& shown) {
    if (column < 0 || column >= kColumnCount)
        return 0;
    int width = kRowColumns[static_cast<size_t>(column)].width;
    const QFontMetricsF metrics(font);
    for (const QString& text : WidestTexts(column, metrics) + shown) {
        const int pixels = static_cast<int>(std::ceil(metrics.horizontalAdvance(text)));
        width = std::max(width, kCellLeftMargin + pixels + kCellRightMargin + kGridLineWidth);
    }
    // The title is never cut.
    if (header) {
        QStyleOptionHeader option;
        option.initFrom(header);
        option.section = column;
        option.text = header->model()
                          ? header->model()->headerData(column, Qt::Horizontal).toString()
                          : QString();
        option.fontMetrics = QFontMetrics(font);
        const QSize title =
            header->style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), header);
        width = std::max(width, title.width());
    }
    return std::min(width, kMaxColumnWidth);
}

void CPacketRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group =
        option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
    QColor back;
    QColor text;
    if (selected) {
        back = SelectionColour(option.palette, group);
        text = option.palette.color(group, QPalette::HighlightedText);
    } else {
        back = index.data(Qt::BackgroundRole).value<QColor>();
        text = index.data(Qt::ForegroundRole).value<QColor>();
        if (!back.isValid())
            back = option.palette.color(group, QPalette::Base);
        if (!text.isValid())
            text = option.palette.color(group, QPalette::Text);
    }
    painter->save();
    painter->fillRect(option.rect, back);
    const QRect textRect = option.rect.adjusted(kCellLeftMargin, 0, -kCellRightMargin, 0);
    if (textRect.width() > 0) {
        const QString full = index.data(Qt::DisplayRole).toString();
        painter->setFont(option.font);
        painter->setPen(text);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          option.fontMetrics.elidedText(full, Qt::ElideRight, textRect.width()));
    }
    painter->restore();
}

void DrawFocusRectangle(QPainter& painter, const QRect& rect) {
    if (rect.width() < 2 || rect.height() < 2)
        return;
    painter.save();
    const QRect frame = rect.adjusted(0, 0, -1, -1);
    QPen pen(Qt::black, 1, Qt::CustomDashLine);
    pen.setDashPattern({1, 1});
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(frame);
    pen.setColor(Qt::white);
    pen.setDashOffset(1);
    painter.setPen(pen);
    painter.drawRect(frame);
    painter.restore();
}

}  // namespace kestrel
