// The main window: the document windows in an MDI area, the capture engine
// with its adapter menu, the menu bar of the active document's kind.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QPoint>
#include <QPointer>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_engine.h"
#include "capture/remote.h"
#include "framework/command_target.h"

class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QVBoxLayout;

namespace kestrel {

class CChildFrame;
class CDocTemplate;
class CKestrelApp;
class CKestrelDoc;
class CPrompter;

// Where a main window goes whose frame rectangle (title bar and borders
// included) would be `frame`, on screens whose work areas are `screens`:
// where it is when enough of its title bar (the top `titleHeight` pixels)
// lies on one screen to take hold of it; else whole on the nearest screen,
// at its own size where that fits.
QRect PlaceOnScreens(const QRect& frame, int titleHeight, const QList<QRect>& screens);

class CMainFrame : public QMainWindow, public CCommandTarget {
    Q_OBJECT
public:
    // Profile values of MAIN_FRAME_SIZE_MAX.
    static constexpr int kShowMaximized = 1;
    static constexpr int kShowMinimized = -1;
    static constexpr int kShowNormal = 0;
    // Stored widths and heights up to this are ignored.
    static constexpr int kMinimumStoredExtent = 10;

    // Enumerates the adapters through `pcap` (the real library when null).
    CMainFrame(CKestrelApp* app, std::shared_ptr<PcapApi> pcap, QWidget* parent = nullptr);
    ~CMainFrame() override;

    CCaptureEngine& Engine() { return m_engine; }
    CKestrelApp* App() const { return m_app; }
    CPrompter& Prompter() const;
    QMdiArea* MdiArea() const { return m_mdiArea; }

    // A new document window for `document` (made from `docTemplate`).
    CChildFrame* CreateDocumentWindow(std::unique_ptr<CKestrelDoc> document);
    // The document window that is active (or current), or nullptr.
    CChildFrame* ActiveChildFrame() const;
    // Every document window, in creation order.
    QList<CChildFrame*> ChildFrames() const;

    // Opens a capture document window for the adapter, or starts the capture
    // of the window it already has. A failed start is told to the user.
    CChildFrame* OpenDevice(const std::string& name);
    void OpenAllDevices();
    void StartAllCaptures();
    void StopAllCaptures();
    int CountCapturing() const;
    bool IsDeviceWindowOpen(const std::string& name) const;
    CChildFrame* OpenExtractWindow();

    // Lists the adapters of the hosts in the background, all at once, each
    // within a few seconds (ssh); they join the adapter menu, after the
    // local ones, when their listing is in. A host that does not answer is
    // reported on stderr and offers nothing.
    void ListRemoteAdapters(std::vector<RemoteHost> hosts);
    // True while a listing of ListRemoteAdapters is under way.
    bool RemoteListingPending() const { return m_remoteListingPending; }
    // A capture document that fills from the pcap stream of `path` (a FIFO,
    // or "-" for standard input), capturing at once; null when it cannot
    // be made.
    CChildFrame* OpenLiveStream(const std::string& path);
    void RemoveDocumentWindow(CChildFrame* frame);
    // Windows opened by OpenDevice and OpenExtractWindow, in opening order.
    const std::vector<CChildFrame*>& DocumentWindows() const { return m_documentWindows; }

    // Rebuilds the adapter popup: adapters without a window, "全て(&Z)" for
    // two or more, the "none" item when nothing is offered.
    void FillAdapterMenu(QMenu* popup);
    // An adapter popup command (33000-33099).
    void OnAdapterCommand(int id);
    // Prepares a popup before it shows: adapters, window list, item states.
    void PrepareMenu(QMenu* menu);
    // The menu bar resource shown now (128 with no document window).
    int CurrentMenuId() const { return m_currentMenuId; }
    // The popups of the menu bar shown now.
    QList<QMenu*> CurrentMenus() const;
    // The main window's context menu (popup "MAINFRAME" of resource 130).
    QMenu* CreateContextMenu(QWidget* parent);

    // Runs a command through the active document window, this frame and the
    // application; false when no target knows it or it is disabled.
    bool RouteCommand(int id);
    bool RouteUpdate(int id, CommandState& state);

    // Places a new document window before its show state applies: a step
    // down and right from the last new one, as cascading does, back at the
    // top-left corner when it would leave the area, and never exactly where
    // another window stands while the cascade has room. Windows made before
    // this frame shows are placed once it does.
    void PlaceNewWindow(QMdiSubWindow* window);

    // Geometry from the profile (before the window shows) and show state.
    void RestoreWindowPlacement();
    void ShowWithSavedState();
    void SaveWindowPlacement();

    // The window tab bar goes above the MDI area.
    void SetTabBar(QWidget* tabBar);
    QWidget* TabBar() const { return m_tabBar; }
    // Brings the tab bar (when there is one) and the frame title up to date.
    void UpdateTabs();
    // "Kestrel", "Kestrel - title", or "Kestrel - [title]" while maximised.
    QString FrameTitle() const;

    // Window arrangement commands.
    void TileSideBySide();
    void TileStacked();
    void Tile(Qt::Orientation direction);
    void Cascade();
    void ArrangeIcons();

    bool OnCommand(int id) override;
    bool OnUpdateCommand(int id, CommandState& state) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct MenuCommand {
        int id;
        std::string name;
        bool openAll;
    };

    CChildFrame* OpenDevice(const std::string& name, std::vector<std::string>& failures);
    void ReportStartFailures(const std::vector<std::string>& failures);
    void UpdateMenuBar();
    void ConnectMenu(QMenu* menu);
    void FillWindowList(QMenu* popup);
    void InstallAccelerators();
    void CloseAllDocumentWindows();
    QList<QMdiSubWindow*> ArrangeableWindows() const;
    // PlaceNewWindow for the windows made before this frame showed.
    void PlaceWaitingWindows();

    CKestrelApp* m_app;
    CCaptureEngine m_engine;
    std::vector<MenuCommand> m_menuCommands;
    std::vector<CChildFrame*> m_documentWindows;
    QWidget* m_tabBar = nullptr;
    QVBoxLayout* m_clientLayout = nullptr;
    QMdiArea* m_mdiArea = nullptr;
    std::map<int, QList<QMenu*>> m_menus;
    int m_currentMenuId = 0;
    std::optional<QPoint> m_lastNewWindowPosition;
    QList<QPointer<QMdiSubWindow>> m_windowsToPlace;  // made while the area was hidden
    std::thread m_remoteLister;
    std::atomic<bool> m_cancelRemoteListing{false};
    bool m_remoteListingPending = false;
};

}  // namespace kestrel
