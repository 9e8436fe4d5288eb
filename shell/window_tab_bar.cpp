#include "shell/window_tab_bar.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLayout>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTabBar>

namespace kestrel {

namespace {

// Tabs of one fixed height, filling the strip inside its top edge, so the
// selected tab runs down into the window below.
class WindowTabs : public QTabBar {
public:
    explicit WindowTabs(QWidget* parent) : QTabBar(parent) {}

protected:
    QSize tabSizeHint(int index) const override {
        QSize size = QTabBar::tabSizeHint(index);
        size.setHeight(CWindowTabBar::kBarHeight - CWindowTabBar::kEdgeWidth);
        return size;
    }
    QSize minimumTabSizeHint(int index) const override {
        QSize size = QTabBar::minimumTabSizeHint(index);
        size.setHeight(CWindowTabBar::kBarHeight - CWindowTabBar::kEdgeWidth);
        return size;
    }
};

QString TabCaption(const QMdiSubWindow* window) {
    QString caption = window->windowTitle().left(CWindowTabBar::kMaxCaptionLength);
    // A tab text takes "&" as a mnemonic marker; captions show it as it is.
    caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return caption;
}

}  // namespace

CWindowTabBar::CWindowTabBar(QMdiArea* mdiArea, QWidget* parent)
    : QWidget(parent), m_mdiArea(mdiArea), m_tabs(new WindowTabs(this)) {
    setObjectName(QStringLiteral("windowTabBar"));
    setFixedHeight(kBarHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);

    m_tabs->setFocusPolicy(Qt::NoFocus);
    m_tabs->setDrawBase(false);
    m_tabs->setExpanding(false);
    m_tabs->setUsesScrollButtons(true);
    m_tabs->setElideMode(Qt::ElideRight);
    m_tabs->setIconSize(QSize(kIconSize, kIconSize));
    m_tabs->setFixedHeight(kBarHeight - kEdgeWidth);
    m_tabs->installEventFilter(this);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(kEdgeWidth, kEdgeWidth, kEdgeWidth, 0);
    layout->setSpacing(0);
    layout->addWidget(m_tabs, 1);

    connect(m_tabs, &QTabBar::tabBarClicked, this, &CWindowTabBar::OnTabClicked);
    ApplyVisibility();
}

CWindowTabBar::~CWindowTabBar() = default;

QMdiArea* CWindowTabBar::MdiArea() const {
    return m_mdiArea;
}

int CWindowTabBar::TabCount() const {
    return m_tabs->count();
}

QString CWindowTabBar::TabText(int index) const {
    QString text = m_tabs->tabText(index);
    text.replace(QStringLiteral("&&"), QStringLiteral("&"));
    return text;
}

QIcon CWindowTabBar::TabIcon(int index) const {
    return m_tabs->tabIcon(index);
}

QMdiSubWindow* CWindowTabBar::TabWindow(int index) const {
    if (index < 0 || index >= static_cast<int>(m_tabWindows.size()))
        return nullptr;
    return qobject_cast<QMdiSubWindow*>(m_tabWindows[static_cast<size_t>(index)].data());
}

int CWindowTabBar::CurrentTab() const {
    return m_tabs->currentIndex();
}

void CWindowTabBar::SetMenuRunner(MenuRunner runner) {
    m_menuRunner = std::move(runner);
}

QMdiSubWindow* CWindowTabBar::ActiveWindow() const {
    if (!m_mdiArea)
        return nullptr;
    // The current window stays current while the program is not the
    // active application; the tabs follow it all the same.
    QMdiSubWindow* window = m_mdiArea->currentSubWindow();
    if (!window)
        window = m_mdiArea->activeSubWindow();
    // A window being destroyed is active no more.
    return qobject_cast<QMdiSubWindow*>(static_cast<QObject*>(window));
}

void CWindowTabBar::UpdateTabs() {
    if (!m_mdiArea)
        return;
    m_tabs->setUpdatesEnabled(false);

    QMdiSubWindow* active = ActiveWindow();
    // A closed window has left the area's list already, and a window in the
    // middle of its destruction is left out. Windows that are hidden for a
    // moment (the area does so while it moves the maximised state from one
    // window to another) keep their tabs.
    QList<QMdiSubWindow*> windows;
    for (QMdiSubWindow* window : m_mdiArea->subWindowList(QMdiArea::CreationOrder)) {
        if (qobject_cast<QMdiSubWindow*>(static_cast<QObject*>(window)))
            windows.append(window);
    }

    // From the last tab down, so removals leave the indexes still to visit
    // as they are; a tab and its window's entry always go together.
    for (int index = m_tabs->count() - 1; index >= 0; --index) {
        QMdiSubWindow* window = TabWindow(index);
        const qsizetype position = window ? windows.indexOf(window) : -1;
        if (position >= 0) {
            SetTabFromWindow(index, window);
            if (window == active)
                SelectTab(index);
            windows.removeAt(position);
        } else {
            m_tabs->removeTab(index);
            m_tabWindows.erase(m_tabWindows.begin() + index);
        }
    }
    // Windows without a tab yet, in the order they were made.
    for (QMdiSubWindow* window : windows) {
        AppendTab(window);
        if (window == active)
            SelectTab(m_tabs->count() - 1);
    }

    m_shownAllowed = active && active->isMaximized();
    // Showing or hiding the bar resizes the MDI area. Done now, inside the
    // delivery of a window's state change, it would resize the window
    // before it has settled into its new state (a window being maximised
    // would fall back to normal), so it waits for that delivery to end.
    ScheduleVisibility();
    m_tabs->setUpdatesEnabled(true);
    m_tabs->update();
    update();
}

void CWindowTabBar::AppendTab(QMdiSubWindow* window) {
    const int index = m_tabs->addTab(QString());
    m_tabWindows.emplace_back(static_cast<QObject*>(window));
    // State, caption and icon changes of the window reach the tabs even
    // when they come from outside the main frame's own commands.
    window->installEventFilter(this);
    SetTabFromWindow(index, window);
}

void CWindowTabBar::SetTabFromWindow(int index, QMdiSubWindow* window) {
    const QString caption = TabCaption(window);
    if (m_tabs->tabText(index) != caption)
        m_tabs->setTabText(index, caption);
    m_tabs->setTabIcon(index, window->windowIcon());
    m_tabs->setTabToolTip(index, window->windowTitle());
}

void CWindowTabBar::SelectTab(int index) {
    m_tabs->setCurrentIndex(index);
}

void CWindowTabBar::ApplyVisibility() {
    const bool show = m_shownAllowed && m_tabs->count() >= kMinimumTabCount;
    if (show == !isHidden())
        return;
    setVisible(show);
    // The MDI area takes or gives back the bar's space at once.
    if (QWidget* parent = parentWidget(); parent && parent->layout())
        parent->layout()->activate();
}

void CWindowTabBar::OnTabClicked(int index) {
    QMdiSubWindow* window = TabWindow(index);
    if (!window)
        return;
    ActivateWindow(window);
    // The selection follows where the activation ended; the tab bar's own
    // selection change after this signal then finds it made already.
    UpdateTabs();
    ScheduleUpdate();
}

void CWindowTabBar::ActivateWindow(QMdiSubWindow* window) {
    if (!m_mdiArea)
        return;
    // While a window is maximised, the one brought to the front takes its
    // place maximised, so the bar and the full-size view stay.
    const QMdiSubWindow* previous = ActiveWindow();
    const bool maximised = previous && previous != window && previous->isMaximized();
    if (window->isMinimized() && !maximised)
        window->showNormal();
    window->raise();
    m_mdiArea->setActiveSubWindow(window);
    if (maximised && !window->isMaximized())
        window->showMaximized();
}

void CWindowTabBar::ScheduleVisibility() {
    if (m_visibilityPending)
        return;
    m_visibilityPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_visibilityPending = false;
            ApplyVisibility();
        },
        Qt::QueuedConnection);
}

void CWindowTabBar::ScheduleUpdate() {
    if (m_updatePending)
        return;
    m_updatePending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_updatePending = false;
            UpdateTabs();
        },
        Qt::QueuedConnection);
}

bool CWindowTabBar::OpenSystemMenu(const QPoint& pos, const QPoint& globalPos) {
    const int index = m_tabs->tabAt(pos);
    QMdiSubWindow* window = TabWindow(index);
    if (!window)
        return false;
    SelectTab(index);
    ActivateWindow(window);
    QMenu* menu = window->systemMenu();
    if (!menu)
        return true;
    // Centred vertically on the point, as the right-click menus of captions are.
    const QPoint at(globalPos.x(), globalPos.y() - menu->sizeHint().height() / 2);
    if (m_menuRunner) {
        m_menuRunner(menu, at);
    } else {
        menu->exec(at);
    }
    return true;
}

bool CWindowTabBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_tabs) {
        switch (event->type()) {
            case QEvent::WindowStateChange:
            case QEvent::WindowTitleChange:
            case QEvent::WindowIconChange:
                // The window's state settles after this event is delivered.
                ScheduleUpdate();
                break;
            default:
                break;
        }
        return QWidget::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonDblClick: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                if (QMdiSubWindow* window = TabWindow(m_tabs->currentIndex()))
                    window->showMaximized();
            }
            break;
        }
        case QEvent::Wheel:
            // The wheel would move the selection away from the active
            // window; tabs change only by clicks and by the windows.
            return true;
        case QEvent::ContextMenu: {
            auto* menuEvent = static_cast<QContextMenuEvent*>(event);
            // Beside the tabs nothing happens; the main window's own
            // context menu is not offered there either.
            OpenSystemMenu(menuEvent->pos(), menuEvent->globalPos());
            menuEvent->accept();
            return true;
        }
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

void CWindowTabBar::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
}

void CWindowTabBar::paintEvent(QPaintEvent*) {
    if (m_tabs->count() == 0)
        return;
    QPainter painter(this);
    const QPalette& colours = palette();
    const int w = width();
    const int h = height();
    painter.fillRect(rect(), colours.button());
    // A sunken edge on the left, top and right; the bottom stays open, so
    // the strip and the maximised window below read as one surface.
    painter.setPen(colours.color(QPalette::Dark));
    painter.drawLine(0, 0, w - 2, 0);
    painter.drawLine(0, 0, 0, h - 1);
    painter.setPen(colours.color(QPalette::Shadow));
    painter.drawLine(1, 1, w - 3, 1);
    painter.drawLine(1, 1, 1, h - 1);
    painter.setPen(colours.color(QPalette::Light));
    painter.drawLine(w - 1, 0, w - 1, h - 1);
    painter.setPen(colours.color(QPalette::Midlight));
    painter.drawLine(w - 2, 1, w - 2, h - 1);
}

}  // namespace kestrel
