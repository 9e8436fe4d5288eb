// A text label that acts as a hyperlink: underlined, blue, red under the
// mouse, dark blue once its target was opened, a pointing hand over it, and
// a click hands the target to the desktop.
#pragma once

#include <QColor>
#include <QLabel>
#include <QString>
#include <QUrl>
#include <functional>

namespace kestrel {

class CLinkLabel : public QLabel {
    Q_OBJECT
public:
    // Hands a target to the desktop; true when it was opened.
    using UrlOpener = std::function<bool(const QUrl&)>;

    static constexpr QRgb kHoverColour = qRgb(255, 0, 0);
    static constexpr QRgb kLinkColour = qRgb(0, 0, 255);
    static constexpr QRgb kVisitedColour = qRgb(5, 34, 143);

    explicit CLinkLabel(QWidget* parent = nullptr);

    // What a click opens; empty makes the label no link.
    void SetTarget(const QString& target);
    QString Target() const { return m_target; }

    // Makes the label a link: a text that is a URL with a host becomes the
    // target (a target set before stays otherwise), the font is underlined,
    // the cursor a pointing hand. Call once the text is set.
    void Attach();

    // The opener used instead of QDesktopServices::openUrl (tests).
    void SetUrlOpener(UrlOpener opener);

    bool IsHovering() const { return m_hovering; }
    bool IsVisited() const { return m_visited; }
    // The colour the text is drawn in now.
    QColor TextColour() const;

    // Opens the target as a click does; false when there is none or the
    // desktop could not open it.
    bool Open();

signals:
    void Opened(const QUrl& url);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void ApplyColour();

    QCursor m_linkCursor;
    bool m_hovering = false;
    bool m_visited = false;
    bool m_pressed = false;
    QString m_target;
    UrlOpener m_opener;
};

}  // namespace kestrel
