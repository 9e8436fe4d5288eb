// The strip of window tabs above the MDI area: one tab per document window,
// shown while the active window is maximised so that the others can still be
// reached with one click.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <vector>

class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QTabBar;

namespace kestrel {

class CWindowTabBar : public QWidget {
    Q_OBJECT
public:
    // Height of the strip, borders included.
    static constexpr int kBarHeight = 27;
    // Width of the sunken edge on the left, top and right; there is none at
    // the bottom, where the strip joins the maximised window.
    static constexpr int kEdgeWidth = 2;
    static constexpr int kIconSize = 16;
    // Longest caption a tab carries.
    static constexpr int kMaxCaptionLength = 255;
    // The strip takes space only with at least this many tabs.
    static constexpr int kMinimumTabCount = 1;

    // Shows `menu` modally at the global point, top left corner given; a
    // choice triggers its action.
    using MenuRunner = std::function<void(QMenu* menu, const QPoint& globalPos)>;

    explicit CWindowTabBar(QMdiArea* mdiArea, QWidget* parent = nullptr);
    ~CWindowTabBar() override;

    QMdiArea* MdiArea() const;
    QTabBar* Tabs() const { return m_tabs; }
    int TabCount() const;
    QString TabText(int index) const;
    QIcon TabIcon(int index) const;
    // The window of a tab; nullptr for an index without a tab.
    QMdiSubWindow* TabWindow(int index) const;
    int CurrentTab() const;
    // True while the active document window is maximised.
    bool IsShownAllowed() const { return m_shownAllowed; }

    // Replaces the way the system menu is shown (tests choose an item
    // themselves); an empty runner restores QMenu::exec.
    void SetMenuRunner(MenuRunner runner);

    // The system menu of the window whose tab is under `pos` (coordinates
    // of the tab row); false when there is no tab there.
    bool OpenSystemMenu(const QPoint& pos, const QPoint& globalPos);

public slots:
    // Brings the tabs up to date with the windows of the MDI area: captions,
    // icons and the selection follow the windows; existing tabs keep their
    // places, new windows are appended on the right, closed windows' tabs go.
    void UpdateTabs();

protected:
    void paintEvent(QPaintEvent* event) override;
    // The edge around the tabs offers no menu, the main window's neither.
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AppendTab(QMdiSubWindow* window);
    void SetTabFromWindow(int index, QMdiSubWindow* window);
    void SelectTab(int index);
    void OnTabClicked(int index);
    // Brings a window to the front, as a click on its tab does.
    void ActivateWindow(QMdiSubWindow* window);
    // One UpdateTabs after the events being delivered now.
    void ScheduleUpdate();
    // Shows or hides the bar once the events being delivered now are done.
    void ScheduleVisibility();
    void ApplyVisibility();
    QMdiSubWindow* ActiveWindow() const;

    // The frame's MDI area; it goes before the bar when the frame closes.
    QPointer<QMdiArea> m_mdiArea;
    QTabBar* m_tabs;
    // The window of each tab, index for index; a window that is gone reads
    // as null. Held as plain objects: a window being destroyed is no longer
    // a QMdiSubWindow, and TabWindow then reads it as gone.
    std::vector<QPointer<QObject>> m_tabWindows;
    bool m_shownAllowed = true;
    bool m_updatePending = false;
    bool m_visibilityPending = false;
    MenuRunner m_menuRunner;
};

}  // namespace kestrel
