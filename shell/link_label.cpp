#include "shell/link_label.h"

#include <QDesktopServices>
#include <QEnterEvent>
#include <QMouseEvent>

namespace kestrel {

CLinkLabel::CLinkLabel(QWidget* parent) : QLabel(parent), m_linkCursor(Qt::PointingHandCursor) {
    setTextFormat(Qt::PlainText);
    ApplyColour();
}

void CLinkLabel::SetTarget(const QString& target) {
    m_target = target;
}

void CLinkLabel::Attach() {
    const QString label = text();
    if (!label.isEmpty()) {
        // Only a text with a scheme and a host names something to open; a
        // bare mail address keeps the target given to it.
        const QUrl url(label, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty() && !url.host().isEmpty())
            m_target = label;
    }
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    setCursor(m_linkCursor);
    ApplyColour();
}

void CLinkLabel::SetUrlOpener(UrlOpener opener) {
    m_opener = std::move(opener);
}

QColor CLinkLabel::TextColour() const {
    if (m_visited)
        return QColor::fromRgb(kVisitedColour);
    return QColor::fromRgb(m_hovering ? kHoverColour : kLinkColour);
}

void CLinkLabel::ApplyColour() {
    const QColor colour = TextColour();
    QPalette colours = palette();
    if (colours.color(QPalette::WindowText) == colour)
        return;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        colours.setColor(group, QPalette::WindowText, colour);
    }
    setPalette(colours);
    repaint();
}

bool CLinkLabel::Open() {
    if (m_target.isEmpty())
        return false;
    const QUrl url(m_target);
    const bool opened = m_opener ? m_opener(url) : QDesktopServices::openUrl(url);
    // A target the desktop could not open leaves the link as it was.
    if (!opened)
        return false;
    m_visited = true;
    ApplyColour();
    emit Opened(url);
    return true;
}

void CLinkLabel::enterEvent(QEnterEvent* event) {
    QLabel::enterEvent(event);
    m_hovering = true;
    ApplyColour();
}

void CLinkLabel::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    m_hovering = false;
    ApplyColour();
}

void CLinkLabel::mousePressEvent(QMouseEvent* event) {
    QLabel::mousePressEvent(event);
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
}

void CLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    // A press that slides off the link before the release is no click.
    if (rect().contains(event->position().toPoint()))
        Open();
}

}  // namespace kestrel
