#include "shell/main_frame.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProxyStyle>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionTitleBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "framework/command_ids.h"
#include "framework/kestrel_doc.h"
#include "framework/menu_builder.h"
#include "framework/profile.h"
#include "framework/prompter.h"
#include "list/packet_list.h"
#include "shell/child_frame.h"
#include "shell/desktop_integration.h"
#include "shell/kestrel_app.h"
#include "shell/window_tab_bar.h"

namespace kestrel {

namespace {

constexpr const char* kKeyLeft = "MAIN_FRAME_SIZE_LEFT";
constexpr const char* kKeyTop = "MAIN_FRAME_SIZE_TOP";
constexpr const char* kKeyWidth = "MAIN_FRAME_SIZE_RIGHT";
constexpr const char* kKeyHeight = "MAIN_FRAME_SIZE_BOTTOM";
constexpr const char* kKeyMax = "MAIN_FRAME_SIZE_MAX";

constexpr const char* kTitle = "Kestrel";
constexpr const char* kExtractTitle = "抽出データ";
// The adapter name of a stream on standard input.
constexpr const char* kStandardInputName = "標準入力";
// Marks the items that the window list adds to the "ｳｨﾝﾄﾞｳ(&W)" popup.
constexpr const char* kWindowListProperty = "kestrelWindowList";
// Window-list entries with a mnemonic digit.
constexpr int kNumberedWindows = 9;

// Menu bar items after a separator stand at the right end of the bar
// ("ﾍﾙﾌﾟ(&H)"); the separator itself is not drawn.
class RightJustifyingMenuBarStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == QStyle::SH_DrawMenuBarSeparator)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Of a title bar on a screen, this much of its width (or all of a narrower
// one) is enough to take hold of the window.
constexpr int kReachableTitleWidth = 100;

// Pixels between two rectangles (0 when they meet), squared.
qint64 GapSquared(const QRect& a, const QRect& b) {
    const qint64 dx = std::max({0, b.left() - a.right(), a.left() - b.right()});
    const qint64 dy = std::max({0, b.top() - a.bottom(), a.top() - b.bottom()});
    return dx * dx + dy * dy;
}

QSize DefaultFrameSize() {
    QSize size(1024, 720);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize available = screen->availableSize();
        size = size.boundedTo(available * 9 / 10);
    }
    return size;
}

}  // namespace

QRect PlaceOnScreens(const QRect& frame, int titleHeight, const QList<QRect>& screens) {
    const QRect title(frame.topLeft(), QSize(frame.width(), std::max(1, titleHeight)));
    const int reachable = std::min(kReachableTitleWidth, frame.width());
    const QRect* nearest = nullptr;
    qint64 nearestOverlap = 0;
    qint64 nearestGap = 0;
    for (const QRect& screen : screens) {
        const QRect onScreen = title.intersected(screen);
        if (onScreen.height() == title.height() && onScreen.width() >= reachable)
            return frame;
        const QRect overlap = frame.intersected(screen);
        const qint64 area = qint64{overlap.width()} * overlap.height();
        const qint64 gap = GapSquared(frame, screen);
        if (!nearest || area > nearestOverlap || (area == nearestOverlap && gap < nearestGap)) {
            nearest = &screen;
            nearestOverlap = area;
            nearestGap = gap;
        }
    }
    if (!nearest)
        return frame;
    QRect placed(frame.topLeft(), frame.size().boundedTo(nearest->size()));
    placed.moveLeft(
        std::clamp(placed.left(), nearest->left(), nearest->right() - placed.width() + 1));
    placed.moveTop(
        std::clamp(placed.top(), nearest->top(), nearest->bottom() - placed.height() + 1));
    return placed;
}

CMainFrame::CMainFrame(CKestrelApp* app, std::shared_ptr<PcapApi> pcap, QWidget* parent)
    : QMainWindow(parent), m_app(app), m_engine(std::move(pcap)) {
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowIcon(ApplicationIcon());
    setAcceptDrops(true);

    auto* client = new QWidget(this);
    m_clientLayout = new QVBoxLayout(client);
    m_clientLayout->setContentsMargins(0, 0, 0, 0);
    m_clientLayout->setSpacing(0);
    // The window tab bar goes at index 0, above the MDI area (SetTabBar).
    m_mdiArea = new QMdiArea(client);
    m_mdiArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdiArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdiArea->setActivationOrder(QMdiArea::ActivationHistoryOrder);
    m_clientLayout->addWidget(m_mdiArea, 1);
    setCentralWidget(client);
    SetTabBar(new CWindowTabBar(m_mdiArea, client));

    connect(m_mdiArea, &QMdiArea::subWindowActivated, this, [this] {
        UpdateMenuBar();
        UpdateTabs();
    });
    connect(this, &QWidget::windowTitleChanged, this, [this](const QString& title) {
        if (title != FrameTitle())
            QMetaObject::invokeMethod(
                this, [this] { UpdateTabs(); }, Qt::QueuedConnection);
    });
    auto* menuBarStyle = new RightJustifyingMenuBarStyle;
    menuBarStyle->setParent(menuBar());
    menuBar()->setStyle(menuBarStyle);
    connect(menuBar(), &QMenuBar::triggered, this,
            [this](QAction* action) { RouteCommand(CommandIdOf(action)); });

    InstallAccelerators();
    UpdateMenuBar();
    RestoreWindowPlacement();
}

CMainFrame::~CMainFrame() {
    // A listing still under way is given up (its ssh processes ended).
    m_cancelRemoteListing.store(true);
    if (m_remoteLister.joinable())
        m_remoteLister.join();
    // Document windows go before the engine: each stops its capture and
    // waits for the worker while the engine is still there.
    CloseAllDocumentWindows();
    // Closed windows are only scheduled for deletion, and the base class would
    // delete them after the engine is gone: they go now.
    qDeleteAll(m_mdiArea->findChildren<QMdiSubWindow*>());
}

CPrompter& CMainFrame::Prompter() const {
    return m_app->Prompter();
}

CChildFrame* CMainFrame::CreateDocumentWindow(std::unique_ptr<CKestrelDoc> document) {
    auto* frame = new CChildFrame(this, std::move(document));
    QMdiSubWindow* window = m_mdiArea->addSubWindow(frame);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowIcon(windowIcon());
    connect(window, &QObject::destroyed, this, [this] {
        UpdateMenuBar();
        UpdateTabs();
    });
    frame->AttachAndActivate(window);
    UpdateMenuBar();
    UpdateTabs();
    return frame;
}

CChildFrame* CMainFrame::ActiveChildFrame() const {
    QMdiSubWindow* window = m_mdiArea->currentSubWindow();
    if (!window)
        window = m_mdiArea->activeSubWindow();
    return window ? qobject_cast<CChildFrame*>(window->widget()) : nullptr;
}

QList<CChildFrame*> CMainFrame::ChildFrames() const {
    QList<CChildFrame*> frames;
    for (QMdiSubWindow* window : m_mdiArea->subWindowList(QMdiArea::CreationOrder)) {
        if (auto* frame = qobject_cast<CChildFrame*>(window->widget()))
            frames.append(frame);
    }
    return frames;
}

CChildFrame* CMainFrame::OpenDevice(const std::string& name) {
    std::vector<std::string> failures;
    CChildFrame* frame = OpenDevice(name, failures);
    ReportStartFailures(failures);
    return frame;
}

CChildFrame* CMainFrame::OpenDevice(const std::string& name, std::vector<std::string>& failures) {
    for (CChildFrame* frame : m_documentWindows) {
        if (frame->GetDocument()->m_deviceName != name)
            continue;
        // An adapter that is capturing already stays as it is, and so does
        // a stream that cannot be read again.
        if (frame->GetCaptureState() == kCaptureIdle) {
            std::string reason;
            if (!frame->StartCapture(&reason))
                failures.push_back(name + ": " + reason);
        }
        return frame;
    }
    CDocTemplate& docTemplate = m_app->GetDocTemplate(CKestrelApp::kCaptureTemplate);
    auto document = std::make_unique<CKestrelDoc>(&docTemplate);
    docTemplate.NextUntitledTitle();
    document->SetTitle(QString::fromStdString(name));
    document->m_deviceName = name;
    CChildFrame* frame = CreateDocumentWindow(std::move(document));
    m_engine.SetPacketSink(&CPacketList::PacketSink);
    m_documentWindows.push_back(frame);
    return frame;
}

void CMainFrame::ReportStartFailures(const std::vector<std::string>& failures) {
    if (failures.empty())
        return;
    QString text = QStringLiteral("キャプチャーを開始できませんでした。\n");
    for (const std::string& failure : failures) {
        text += QLatin1Char('\n') + QString::fromStdString(failure);
    }
    Prompter().ShowMessage(this, text, CPrompter::Icon::Warning);
}

void CMainFrame::OpenAllDevices() {
    std::vector<std::string> failures;
    for (const std::string& name : m_engine.GetNameList()) {
        if (m_engine.GetCaptureState(name) != kCaptureUnknown)
            OpenDevice(name, failures);
    }
    ReportStartFailures(failures);
}

void CMainFrame::StartAllCaptures() {
    std::vector<std::string> failures;
    for (const std::string& name : m_engine.GetNameList()) {
        if (IsDeviceWindowOpen(name))
            OpenDevice(name, failures);
    }
    ReportStartFailures(failures);
}

void CMainFrame::StopAllCaptures() {
    m_engine.StopAllCaptures();
}

int CMainFrame::CountCapturing() const {
    return m_engine.CountCapturing();
}

bool CMainFrame::IsDeviceWindowOpen(const std::string& name) const {
    return std::any_of(
        m_documentWindows.begin(), m_documentWindows.end(),
        [&name](const CChildFrame* frame) { return frame->GetDocument()->m_deviceName == name; });
}

CChildFrame* CMainFrame::OpenExtractWindow() {
    CDocTemplate& docTemplate = m_app->GetDocTemplate(CKestrelApp::kFileTemplate);
    auto document = std::make_unique<CKestrelDoc>(&docTemplate);
    docTemplate.NextUntitledTitle();
    document->SetTitle(QString::fromUtf8(kExtractTitle));
    CChildFrame* frame = CreateDocumentWindow(std::move(document));
    m_engine.SetPacketSink(&CPacketList::PacketSink);
    m_documentWindows.push_back(frame);
    return frame;
}

void CMainFrame::ListRemoteAdapters(std::vector<RemoteHost> hosts) {
    if (hosts.empty() || m_remoteLister.joinable())
        return;
    m_remoteListingPending = true;
    m_remoteLister = std::thread([this, hosts = std::move(hosts)] {
        std::vector<RemoteListing> listings =
            ListRemoteHosts(hosts, kRemoteListTimeoutMs, &m_cancelRemoteListing);
        // The frame joins this thread before it goes, so it is there to
        // receive the listings.
        QMetaObject::invokeMethod(
            this,
            [this, listings = std::move(listings)] {
                for (const RemoteListing& listing : listings) m_engine.AddRemoteAdapters(listing);
                m_remoteListingPending = false;
            },
            Qt::QueuedConnection);
    });
}

CChildFrame* CMainFrame::OpenLiveStream(const std::string& path) {
    const std::string name =
        path == "-" ? std::string(kStandardInputName)
                    : QFileInfo(QString::fromStdString(path)).absoluteFilePath().toStdString();
    if (!m_engine.AddStreamAdapter(name, path) && m_engine.GetCaptureState(name) == kCaptureUnknown)
        return nullptr;
    CChildFrame* frame = OpenDevice(name);
    if (frame && frame->GetCaptureState() == kCaptureIdle)
        frame->StartCaptureCommand();
    return frame;
}

void CMainFrame::RemoveDocumentWindow(CChildFrame* frame) {
    m_documentWindows.erase(std::remove(m_documentWindows.begin(), m_documentWindows.end(), frame),
                            m_documentWindows.end());
}

void CMainFrame::FillAdapterMenu(QMenu* popup) {
    popup->clear();
    m_menuCommands.clear();
    int id = cmd::kAdapterFirst;
    char letter = 'A';
    for (const std::string& name : m_engine.GetNameList()) {
        // A stream that was read to its end cannot capture again.
        if (IsDeviceWindowOpen(name) || m_engine.GetCaptureState(name) == kCaptureUnknown)
            continue;
        QString text = QString::fromStdString(name);
        // "Z" stays for "全て(&Z)": from the 26th adapter on there is no letter.
        if (letter < 'Z') {
            text += QStringLiteral("(&%1)").arg(QLatin1Char(letter));
            ++letter;
        }
        SetCommandId(popup->addAction(text), id);
        m_menuCommands.push_back({id, name, false});
        ++id;
    }
    if (m_menuCommands.size() >= 2) {
        popup->addSeparator();
        SetCommandId(popup->addAction(QString::fromUtf8(kOpenAllAdaptersText)), id);
        m_menuCommands.push_back({id, kOpenAllAdaptersText, true});
    }
    if (popup->actions().isEmpty()) {
        // Not in the command table: choosing it does nothing.
        SetCommandId(popup->addAction(QString::fromUtf8(kNoAdapterText)), cmd::kAdapterFirst);
    }
}

void CMainFrame::OnAdapterCommand(int id) {
    auto it = std::find_if(m_menuCommands.begin(), m_menuCommands.end(),
                           [id](const MenuCommand& command) { return command.id == id; });
    if (it == m_menuCommands.end())
        return;
    const MenuCommand command = *it;
    if (command.openAll) {
        OpenAllDevices();
    } else {
        OpenDevice(command.name);
    }
}

void CMainFrame::PrepareMenu(QMenu* menu) {
    const QString title = menu->title();
    if (title == QString::fromUtf8(kAdapterPopupText)) {
        FillAdapterMenu(menu);
    } else if (title == QString::fromUtf8(kWindowPopupText)) {
        FillWindowList(menu);
    }
    UpdateMenuState(menu, [this](int id, CommandState& state) { return RouteUpdate(id, state); });
}

void CMainFrame::ConnectMenu(QMenu* menu) {
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { PrepareMenu(menu); });
    for (QAction* action : menu->actions()) {
        if (action->menu())
            ConnectMenu(action->menu());
    }
}

QList<QMenu*> CMainFrame::CurrentMenus() const {
    auto it = m_menus.find(m_currentMenuId);
    return it == m_menus.end() ? QList<QMenu*>() : it->second;
}

QMenu* CMainFrame::CreateContextMenu(QWidget* parent) {
    QMenu* menu = BuildContextMenu(cmd::kMenuContext, cmd::kPopupMainFrame, parent);
    if (menu)
        ConnectMenu(menu);
    return menu;
}

void CMainFrame::UpdateMenuBar() {
    const CChildFrame* frame = ActiveChildFrame();
    const int id =
        frame ? frame->GetDocument()->GetDocTemplate()->ResourceId() : cmd::kMenuMainFrame;
    if (id == m_currentMenuId)
        return;
    auto it = m_menus.find(id);
    if (it == m_menus.end()) {
        QList<QMenu*> menus = BuildMenuBarMenus(id, this);
        for (QMenu* menu : menus) ConnectMenu(menu);
        it = m_menus.emplace(id, menus).first;
    }
    menuBar()->clear();
    const MenuResource* resource = FindMenuResource(id);
    for (qsizetype i = 0; i < it->second.size(); ++i) {
        if (resource && i < static_cast<qsizetype>(resource->popups.size()) &&
            resource->popups[static_cast<size_t>(i)].rightJustified) {
            menuBar()->addSeparator();
        }
        menuBar()->addMenu(it->second[i]);
    }
    m_currentMenuId = id;
}

void CMainFrame::FillWindowList(QMenu* popup) {
    for (QAction* action : popup->actions()) {
        if (action->property(kWindowListProperty).toBool()) {
            popup->removeAction(action);
            delete action;
        }
    }
    const QList<QMdiSubWindow*> windows = m_mdiArea->subWindowList(QMdiArea::CreationOrder);
    if (windows.isEmpty())
        return;
    QAction* separator = popup->addSeparator();
    separator->setProperty(kWindowListProperty, true);
    for (int i = 0; i < windows.size(); ++i) {
        const QString number = i < kNumberedWindows ? QStringLiteral("&%1 ").arg(i + 1)
                                                    : QStringLiteral("%1 ").arg(i + 1);
        QString title = windows[i]->windowTitle();
        title.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* action = popup->addAction(number + title);
        action->setProperty(kWindowListProperty, true);
        action->setCheckable(true);
        SetCommandId(action, cmd::kWindowListFirst + i);
    }
}

void CMainFrame::InstallAccelerators() {
    for (const AcceleratorEntry& entry : AcceleratorTable()) {
        auto* action = new QAction(this);
        action->setShortcut(QKeySequence(QString::fromLatin1(entry.keys)));
        action->setShortcutContext(Qt::WindowShortcut);
        const int id = entry.command;
        connect(action, &QAction::triggered, this, [this, id] { RouteCommand(id); });
        addAction(action);
    }
}

bool CMainFrame::RouteCommand(int id) {
    if (id < 0)
        return false;
    CommandState state;
    if (!RouteUpdate(id, state) || !state.enabled)
        return false;
    if (CChildFrame* frame = ActiveChildFrame(); frame && frame->OnCommand(id))
        return true;
    if (OnCommand(id))
        return true;
    return m_app->OnCommand(id);
}

bool CMainFrame::RouteUpdate(int id, CommandState& state) {
    if (CChildFrame* frame = ActiveChildFrame(); frame && frame->OnUpdateCommand(id, state)) {
        return true;
    }
    if (OnUpdateCommand(id, state))
        return true;
    return m_app->OnUpdateCommand(id, state);
}

bool CMainFrame::OnCommand(int id) {
    if (id >= cmd::kAdapterFirst && id <= cmd::kAdapterLast) {
        OnAdapterCommand(id);
        return true;
    }
    if (id >= cmd::kWindowListFirst) {
        const QList<QMdiSubWindow*> windows = m_mdiArea->subWindowList(QMdiArea::CreationOrder);
        const int index = id - cmd::kWindowListFirst;
        if (index < windows.size()) {
            QMdiSubWindow* window = windows[index];
            if (window->isMinimized())
                window->showNormal();
            m_mdiArea->setActiveSubWindow(window);
        }
        return true;
    }
    switch (id) {
        case cmd::kWindowTileSideBySide:
            TileSideBySide();
            return true;
        case cmd::kWindowTileStacked:
            TileStacked();
            return true;
        case cmd::kWindowCascade:
            Cascade();
            return true;
        case cmd::kWindowArrange:
            ArrangeIcons();
            return true;
        default:
            return false;
    }
}

bool CMainFrame::OnUpdateCommand(int id, CommandState& state) {
    if (id >= cmd::kAdapterFirst && id <= cmd::kAdapterLast) {
        state.enabled = true;
        return true;
    }
    if (id >= cmd::kWindowListFirst) {
        const QList<QMdiSubWindow*> windows = m_mdiArea->subWindowList(QMdiArea::CreationOrder);
        const int index = id - cmd::kWindowListFirst;
        const CChildFrame* active = ActiveChildFrame();
        state.enabled = index < windows.size();
        state.checked = state.enabled && active && windows[index] == active->SubWindow();
        return true;
    }
    switch (id) {
        case cmd::kWindowTileSideBySide:
        case cmd::kWindowTileStacked:
        case cmd::kWindowCascade:
        case cmd::kWindowArrange:
            state.enabled = !m_mdiArea->subWindowList().isEmpty();
            return true;
        default:
            return false;
    }
}

QList<QMdiSubWindow*> CMainFrame::ArrangeableWindows() const {
    QList<QMdiSubWindow*> windows;
    // The active window first, then the others from the most recently used.
    QList<QMdiSubWindow*> order = m_mdiArea->subWindowList(QMdiArea::ActivationHistoryOrder);
    std::reverse(order.begin(), order.end());
    for (QMdiSubWindow* window : order) {
        if (window->isVisible() && !window->isMinimized())
            windows.append(window);
    }
    return windows;
}

void CMainFrame::TileSideBySide() { Tile(Qt::Horizontal); }

void CMainFrame::TileStacked() { Tile(Qt::Vertical); }

// Restores maximised windows, then shares the area among the arrangeable
// windows in equal strips: left to right (horizontal) or top to bottom.
void CMainFrame::Tile(Qt::Orientation direction) {
    for (QMdiSubWindow* window : m_mdiArea->subWindowList()) {
        if (window->isMaximized())
            window->showNormal();
    }
    const QList<QMdiSubWindow*> windows = ArrangeableWindows();
    if (windows.isEmpty())
        return;
    const QRect area = m_mdiArea->viewport()->rect();
    const int count = static_cast<int>(windows.size());
    const int extent = direction == Qt::Horizontal ? area.width() : area.height();
    for (int i = 0; i < count; ++i) {
        const int start = extent * i / count;
        const int end = extent * (i + 1) / count;
        if (direction == Qt::Horizontal)
            windows[i]->setGeometry(start, 0, end - start, area.height());
        else
            windows[i]->setGeometry(0, start, area.width(), end - start);
    }
}

void CMainFrame::Cascade() {
    m_mdiArea->cascadeSubWindows();
}

void CMainFrame::ArrangeIcons() {
    // Minimised windows in rows along the bottom edge, left to right.
    const QRect area = m_mdiArea->viewport()->rect();
    int x = 0;
    int y = area.bottom() + 1;
    int rowHeight = 0;
    for (QMdiSubWindow* window : m_mdiArea->subWindowList(QMdiArea::CreationOrder)) {
        if (!window->isMinimized())
            continue;
        const QSize size = window->size();
        if (x > 0 && x + size.width() > area.width()) {
            x = 0;
            y -= rowHeight;
            rowHeight = 0;
        }
        if (rowHeight == 0)
            rowHeight = size.height();
        window->move(x, y - rowHeight);
        x += size.width();
    }
}

void CMainFrame::PlaceNewWindow(QMdiSubWindow* window) {
    if (!m_mdiArea->isVisible()) {
        m_windowsToPlace.append(window);
        return;
    }
    const QRect area = m_mdiArea->viewport()->rect();
    const QSize size = window->size();
    QStyleOptionTitleBar titleBar;
    titleBar.initFrom(window);
    const int step =
        std::max(1, window->style()->pixelMetric(QStyle::PM_TitleBarHeight, &titleBar, window));
    // Where the other windows stand, in the normal state.
    QList<QPoint> taken;
    bool others = false;
    for (const QMdiSubWindow* other : m_mdiArea->subWindowList()) {
        if (other == window || other->isHidden())  // closing
            continue;
        others = true;
        if (!(other->windowState() & (Qt::WindowMaximized | Qt::WindowMinimized)))
            taken.append(other->pos());
    }
    const auto next = [&](QPoint position) {
        position += QPoint(step, step);
        const bool leaves = position.x() + size.width() > area.right() + 1 ||
                            position.y() + size.height() > area.bottom() + 1;
        return leaves ? area.topLeft() : position;
    };
    // The first window, and the first after all were closed, starts at the
    // top-left corner.
    const QPoint first =
        others && m_lastNewWindowPosition ? next(*m_lastNewWindowPosition) : area.topLeft();
    // Further down the cascade while a window stands exactly there; with
    // every place of the cascade taken, the first one.
    QPoint position = first;
    for (qsizetype tries = 0; taken.contains(position); ++tries) {
        position = next(position);
        if (tries == taken.size()) {
            position = first;
            break;
        }
    }
    window->move(position);
    m_lastNewWindowPosition = position;
}

void CMainFrame::PlaceWaitingWindows() {
    const QList<QPointer<QMdiSubWindow>> windows = std::exchange(m_windowsToPlace, {});
    for (QMdiSubWindow* window : windows) {
        if (!window)
            continue;
        // A maximised or minimised window is placed in the normal state, so
        // that it comes back there.
        const Qt::WindowStates state = window->windowState();
        if (state & (Qt::WindowMaximized | Qt::WindowMinimized))
            window->showNormal();
        PlaceNewWindow(window);
        if (state & Qt::WindowMaximized)
            window->showMaximized();
        else if (state & Qt::WindowMinimized)
            window->showMinimized();
    }
}

void CMainFrame::RestoreWindowPlacement() {
    QRect geometry(QPoint(0, 0), DefaultFrameSize());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        geometry.moveCenter(screen->availableGeometry().center());
    }
    // Stored left and top are used as they are, unless no coordinate can
    // hold them or no screen shows the window there (below).
    const auto coordinate = [](const char* key, int fallback) {
        const int value = GetProfileInt(key, fallback);
        return value < -QWIDGETSIZE_MAX || value > QWIDGETSIZE_MAX ? fallback : value;
    };
    geometry.moveLeft(coordinate(kKeyLeft, geometry.left()));
    geometry.moveTop(coordinate(kKeyTop, geometry.top()));
    int width = GetProfileInt(kKeyWidth, 0);
    int height = GetProfileInt(kKeyHeight, 0);
    // Larger than all screens together no window can be shown (nor, far
    // beyond, drawn): such a stored size is bounded by the screens.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize screens = screen->virtualSize();
        width = std::min(width, screens.width());
        height = std::min(height, screens.height());
    }
    if (width > kMinimumStoredExtent)
        geometry.setWidth(width);
    if (height > kMinimumStoredExtent)
        geometry.setHeight(height);

    // A window stored where no screen shows it (left on a larger or a
    // second monitor) comes back onto the nearest screen. The window
    // manager's frame is not known before the window shows: the style's
    // title bar and frame stand in for it.
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.append(screen->availableGeometry());
    const int border = style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, this);
    const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this) + border;
    const QMargins frame(border, title, border, border);
    const QRect framed = geometry.marginsAdded(frame);
    const QRect placed = PlaceOnScreens(framed, title, screens);
    if (placed == framed) {
        setGeometry(geometry);
        return;
    }
    // Placed by its frame, so that the title bar lands on the screen
    // whatever the frame's real size.
    resize(placed.size().shrunkBy(frame));
    move(placed.topLeft());
}

void CMainFrame::ShowWithSavedState() {
    switch (GetProfileInt(kKeyMax, kShowNormal)) {
        case kShowMaximized:
            showMaximized();
            break;
        case kShowMinimized:
            showMinimized();
            break;
        default:
            show();
            break;
    }
    PlaceWaitingWindows();
}

void CMainFrame::SaveWindowPlacement() {
    const QRect normal = (isMaximized() || isMinimized()) ? normalGeometry() : geometry();
    WriteProfileInt(kKeyLeft, normal.left());
    WriteProfileInt(kKeyTop, normal.top());
    WriteProfileInt(kKeyWidth, normal.width());
    WriteProfileInt(kKeyHeight, normal.height());
    WriteProfileInt(kKeyMax, isMaximized()   ? kShowMaximized
                             : isMinimized() ? kShowMinimized
                                             : kShowNormal);
}

void CMainFrame::SetTabBar(QWidget* tabBar) {
    if (m_tabBar) {
        m_clientLayout->removeWidget(m_tabBar);
        m_tabBar->deleteLater();
    }
    m_tabBar = tabBar;
    if (m_tabBar)
        m_clientLayout->insertWidget(0, m_tabBar);
}

QString CMainFrame::FrameTitle() const {
    const CChildFrame* frame = ActiveChildFrame();
    const QString title = QString::fromLatin1(kTitle);
    if (!frame)
        return title;
    const QString document = frame->GetDocument()->GetTitle();
    const QMdiSubWindow* window = frame->SubWindow();
    return window && window->isMaximized() ? title + QStringLiteral(" - [") + document + "]"
                                           : title + QStringLiteral(" - ") + document;
}

void CMainFrame::UpdateTabs() {
    // The MDI area rewrites the title when a window is maximised; ours wins.
    const QString title = FrameTitle();
    if (windowTitle() != title)
        setWindowTitle(title);
    if (m_tabBar)
        QMetaObject::invokeMethod(m_tabBar, "UpdateTabs");
}

void CMainFrame::CloseAllDocumentWindows() {
    for (QMdiSubWindow* window : m_mdiArea->subWindowList()) window->close();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    SaveWindowPlacement();
    CloseAllDocumentWindows();
    if (!m_mdiArea->subWindowList().isEmpty()) {
        // A window that refused to close keeps the program running.
        bool open = false;
        for (QMdiSubWindow* window : m_mdiArea->subWindowList()) open |= window->isVisible();
        if (open) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

void CMainFrame::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateContextMenu(this);
    if (!menu)
        return;
    QAction* chosen = menu->exec(event->globalPos());
    const int id = CommandIdOf(chosen);
    delete menu;
    RouteCommand(id);
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData()->hasUrls())
        return;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            return;
        }
    }
}

void CMainFrame::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    // The files are read (and any message shown) after the drop has
    // returned, so the file manager's drag does not wait on them.
    QMetaObject::invokeMethod(
        this,
        [this, paths] {
            activateWindow();
            for (const QString& path : paths) m_app->OpenDocumentFile(path);
        },
        Qt::QueuedConnection);
}

}  // namespace kestrel
