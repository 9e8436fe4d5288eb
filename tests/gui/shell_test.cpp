// Start-up, documents, files, menus and persisted window settings of the shell.
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStandardPaths>
#include <QUrl>
#include <limits>
#include <thread>

#include "core/capture_file.h"
#include "core/packet.h"
#include "framework/command_ids.h"
#include "framework/kestrel_doc.h"
#include "framework/menu_builder.h"
#include "gui_test_util.h"
#include "list/packet_list.h"
#include "shell/child_frame.h"
#include "shell/desktop_integration.h"
#include "shell/main_frame.h"
#include "tree/packet_tree.h"

using namespace kestrel;
using kestrel::test::TestApp;

namespace {

// An Ethernet + IPv4 + UDP frame whose last byte tells the packets apart.
std::vector<uint8_t> Frame(uint8_t tag) {
    std::vector<uint8_t> frame = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                  0xbb, 0x08, 0x00, 0x45, 0x00, 0x00, 0x1d, 0x00, 0x01, 0x00, 0x00,
                                  0x40, 0x11, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00,
                                  0x02, 0x04, 0x00, 0x00, 0x35, 0x00, 0x09, 0x00, 0x00, tag};
    return frame;
}

// Writes `count` packets to `path` in the given kind.
void WriteCapture(const QString& path, int count, FileKind kind = FileKind::Pac) {
    PacketStore store;
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t> bytes = Frame(static_cast<uint8_t>(i));
        PacketHeader header{1700000000u + static_cast<uint32_t>(i), 250000,
                            static_cast<uint32_t>(bytes.size()),
                            static_cast<uint32_t>(bytes.size())};
        store.AppendPacket(MakePacket(header, bytes.data()));
    }
    std::string error;
    QVERIFY2(SaveCaptureFile(store, path.toStdString(), kind, error), error.c_str());
}

QStringList MenuTitles(const QList<QMenu*>& menus) {
    QStringList titles;
    for (const QMenu* menu : menus) titles.append(menu->title());
    return titles;
}

QStringList ActionTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return texts;
}

QMenu* PopupOf(CMainFrame* frame, const char* title) {
    return FindPopup(frame->CurrentMenus(), QString::fromUtf8(title));
}

QAction* ActionWithId(QMenu* menu, int id) {
    for (QAction* action : menu->actions()) {
        if (CommandIdOf(action) == id)
            return action;
    }
    return nullptr;
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void init() { test::ClearProfile(); }
    void cleanup() { test::ProcessDeletions(); }

    void startsWithoutDocumentAndMenu128() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        QVERIFY(frame->isVisible());
        QCOMPARE(frame->ChildFrames().size(), 0);
        QCOMPARE(frame->CurrentMenuId(), cmd::kMenuMainFrame);
        QCOMPARE(MenuTitles(frame->CurrentMenus()),
                 (QStringList{"ﾌｧｲﾙ(&F)", "ﾃﾞﾊﾞｲｽｵｰﾌﾟﾝ(&O)", "ﾍﾙﾌﾟ(&H)"}));
        QMenu* file = PopupOf(frame, "ﾌｧｲﾙ(&F)");
        QCOMPARE(ActionTexts(file), (QStringList{"新規作成(&N)\tCtrl+N", "開く(&O)...\tCtrl+O", "-",
                                                 "ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)"}));
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kestrel"));
        QVERIFY(app.prompter->messages.empty());
        // "ﾍﾙﾌﾟ(&H)" stands at the right end of the menu bar.
        QCoreApplication::processEvents();
        const QMenuBar* bar = frame->menuBar();
        const QRect help = bar->actionGeometry(PopupOf(frame, "ﾍﾙﾌﾟ(&H)")->menuAction());
        const QRect adapters = bar->actionGeometry(PopupOf(frame, "ﾃﾞﾊﾞｲｽｵｰﾌﾟﾝ(&O)")->menuAction());
        QVERIFY(help.right() >= bar->width() - 12);
        QVERIFY(help.left() > adapters.right() + bar->width() / 2);
    }

    void startsWithPacFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath("morning.pac");
        WriteCapture(path, 3);
        TestApp app;
        QVERIFY(app->InitInstance({path}));
        CMainFrame* frame = app->MainFrame();
        QCOMPARE(frame->ChildFrames().size(), 1);
        CChildFrame* child = frame->ChildFrames().first();
        QCOMPARE(child->GetDocument()->GetTitle(), QStringLiteral("morning.pac"));
        QCOMPARE(child->SubWindow()->windowTitle(), QStringLiteral("morning.pac"));
        QCOMPARE(child->GetDocument()->Store().Count(), 3);
        QCOMPARE(child->GetDocument()->Store().At(2)->data[42], uint8_t{2});
        QCOMPARE(child->GetDocument()->GetDocTemplate()->Position(), CKestrelApp::kFileTemplate);
        QVERIFY(!child->IsCaptureDocument());
        QCOMPARE(frame->CurrentMenuId(), cmd::kMenuFileDocument);
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kestrel - morning.pac"));
        // Rows follow the store at the list's next tick.
        child->ListPane()->ShowPendingRows();
        QCOMPARE(child->ListPane()->RowCount(), 3);
        QCOMPARE(child->ListPane()->model()->index(1, 0).data().toString(), QStringLiteral("2"));
        // Opened files are not in the adapter document list.
        QVERIFY(frame->DocumentWindows().empty());
    }

    void newTwiceNumbersTitles() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* first = app->OnFileNew();
        CChildFrame* second = app->OnFileNew();
        QCOMPARE(first->GetDocument()->GetTitle(), QStringLiteral("新規パケットファイル1"));
        QCOMPARE(second->GetDocument()->GetTitle(), QStringLiteral("新規パケットファイル2"));
        QCOMPARE(second->GetDocument()->Store().Count(), 0);
        QCOMPARE(app->MainFrame()->ActiveChildFrame(), second);
        // Through the command route as the menu and Ctrl+N do.
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileNew));
        QCOMPARE(app->MainFrame()->ChildFrames().last()->GetDocument()->GetTitle(),
                 QStringLiteral("新規パケットファイル3"));
    }

    void unreadableFileGivesMessageAndNoDocument() {
        QTemporaryDir dir;
        const QString missing = dir.filePath("missing.pac");
        {
            TestApp app;
            QVERIFY(!app->InitInstance({missing}));  // the program ends
            QCOMPARE(app.prompter->messages.size(), size_t{1});
            QCOMPARE(app.prompter->messages[0].icon, CPrompter::Icon::Critical);
            QVERIFY(app.prompter->messages[0].text.contains(missing));
            QCOMPARE(app->MainFrame()->ChildFrames().size(), 0);
        }
        // A pcap file of another link type is refused while running.
        const QString raw = dir.filePath("raw.pcap");
        QFile file(raw);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // pcap header, link type 101 (raw IP).
        file.write(QByteArray::fromHex("d4c3b2a1020004000000000000000000ffff000065000000"));
        file.close();
        TestApp app;
        QVERIFY(app->InitInstance({}));
        app.prompter->openAnswers.push_back({raw, missing});
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileOpen));
        QCOMPARE(app.prompter->openFilters.first(), QStringLiteral("ﾊﾟｹｯﾄ ﾌｧｲﾙ (*.pac)"));
        QCOMPARE(app.prompter->messages.size(), size_t{2});
        QCOMPARE(app->MainFrame()->ChildFrames().size(), 0);
        QCOMPARE(app->MainFrame()->CurrentMenuId(), cmd::kMenuMainFrame);
        // One good file among bad ones still starts the program.
        const QString good = dir.filePath("good.pac");
        WriteCapture(good, 1);
        TestApp again;
        QVERIFY(again->InitInstance({missing, good}));
        QCOMPARE(again->MainFrame()->ChildFrames().size(), 1);
    }

    void loadWarningsAreShown() {
        QTemporaryDir dir;
        const QString path = dir.filePath("big.pac");
        WriteCapture(path, PacketStore::kCapacity);
        {
            // Five more records than a store takes.
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            const QByteArray record = file.read(20 + static_cast<int>(Frame(0).size()));
            file.seek(file.size());
            for (int i = 0; i < 5; ++i) file.write(record);
        }
        TestApp app;
        QVERIFY(app->InitInstance({path}));
        QCOMPARE(app->MainFrame()->ChildFrames().size(), 1);
        QCOMPARE(app->MainFrame()->ChildFrames().first()->GetDocument()->Store().Count(),
                 PacketStore::kCapacity);
        QCOMPARE(app.prompter->messages.size(), size_t{1});
        QCOMPARE(app.prompter->messages[0].icon, CPrompter::Icon::Warning);
        QVERIFY(app.prompter->messages[0].text.contains("30000"));
    }

    void openingAnOpenFileActivatesIt() {
        QTemporaryDir dir;
        const QString a = dir.filePath("a.pac");
        const QString b = dir.filePath("b.pac");
        WriteCapture(a, 1);
        WriteCapture(b, 2);
        TestApp app;
        QVERIFY(app->InitInstance({a, b}));
        QCOMPARE(app->MainFrame()->ActiveChildFrame()->GetDocument()->GetTitle(), "b.pac");
        CChildFrame* again = app->OpenDocumentFile(a);
        QCOMPARE(app->MainFrame()->ChildFrames().size(), 2);
        QCOMPARE(again->GetDocument()->GetTitle(), QStringLiteral("a.pac"));
        QCOMPARE(app->MainFrame()->ActiveChildFrame(), again);
    }

    void saveAsWritesAndRetitles() {
        QTemporaryDir dir;
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* child = app->OnFileNew();
        auto* list = child->ListPane();
        for (int i = 0; i < 4; ++i) {
            const std::vector<uint8_t> bytes = Frame(static_cast<uint8_t>(i));
            PacketHeader header{1700000000u, 0, static_cast<uint32_t>(bytes.size()),
                                static_cast<uint32_t>(bytes.size())};
            list->AppendPacket(MakePacket(header, bytes.data()));
        }
        // Save of an untitled document asks for a name; no suffix gets ".pac".
        app.prompter->saveAnswers.push_back({dir.filePath("kept"), 0});
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileSave));
        QCOMPARE(app.prompter->saveRequests.size(), size_t{1});
        QCOMPARE(app.prompter->saveRequests[0].proposed,
                 QStringLiteral("新規パケットファイル1.pac"));
        QCOMPARE(app.prompter->saveRequests[0].filters,
                 (QStringList{"ﾊﾟｹｯﾄ ﾌｧｲﾙ (*.pac)", "pcap ﾌｧｲﾙ (*.pcap)"}));
        QCOMPARE(child->GetDocument()->GetTitle(), QStringLiteral("kept.pac"));
        QCOMPARE(child->SubWindow()->windowTitle(), QStringLiteral("kept.pac"));
        PacketStore reread;
        QVERIFY(LoadCaptureFile(dir.filePath("kept.pac").toStdString(), reread).ok);
        QCOMPARE(reread.Count(), 4);
        // Save again writes to the same file without asking.
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileSave));
        QCOMPARE(app.prompter->saveRequests.size(), size_t{1});
        // Save As with the pcap filter writes pcap.
        app.prompter->saveAnswers.push_back({dir.filePath("other"), 1});
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileSaveAs));
        QCOMPARE(child->GetDocument()->GetTitle(), QStringLiteral("other.pcap"));
        const auto head = [](const QString& path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
        };
        QCOMPARE(head(dir.filePath("other.pcap")), QByteArray("\xd4\xc3\xb2\xa1", 4));
        // Cancelling changes nothing.
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileSaveAs));
        QCOMPARE(child->GetDocument()->GetTitle(), QStringLiteral("other.pcap"));
        QVERIFY(app.prompter->messages.empty());
    }

    void savingAPcapDocumentKeepsPcap() {
        QTemporaryDir dir;
        const QString path = dir.filePath("trace.pcap");
        WriteCapture(path, 2, FileKind::Pcap);
        TestApp app;
        QVERIFY(app->InitInstance({path}));
        CChildFrame* child = app->MainFrame()->ActiveChildFrame();
        QCOMPARE(child->GetDocument()->GetFileKind(), FileKind::Pcap);
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileSave));
        QVERIFY(app.prompter->saveRequests.empty());
        PacketStore reread;
        const LoadResult result = LoadCaptureFile(path.toStdString(), reread);
        QVERIFY(result.ok);
        QCOMPARE(result.kind, FileKind::Pcap);
        QCOMPARE(reread.Count(), 2);
        // Save As proposes the pcap filter and the same name.
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileSaveAs));
        QCOMPARE(app.prompter->saveRequests.back().filterIndex, 1);
        QCOMPARE(QFileInfo(app.prompter->saveRequests.back().proposed).fileName(), "trace.pcap");
    }

    void fullStoreStopsFromTheWorker() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* child = app->OnFileNew();
        CPacketList* list = child->ListPane();
        const std::vector<uint8_t> bytes = Frame(7);
        const PacketHeader header{1700000000u, 0, static_cast<uint32_t>(bytes.size()),
                                  static_cast<uint32_t>(bytes.size())};
        // The sink runs on a capture worker: fill the store and overflow it
        // three times there.
        std::thread worker([&] {
            for (int i = 0; i < PacketStore::kCapacity + 3; ++i) {
                CPacketList::PacketSink(list, MakePacket(header, bytes.data()));
            }
        });
        worker.join();
        const PacketStore& store = child->GetDocument()->Store();
        QCOMPARE(store.Count(), PacketStore::kCapacity);
        QCOMPARE(store.DiscardedCount(), uint64_t{3});
        QVERIFY(list->IsCapacityTimerArmed());
        // The timer belongs to the UI thread: it starts when the queued call runs.
        QVERIFY(!list->IsCapacityTimerActive());
        QCoreApplication::processEvents();
        QVERIFY(list->IsCapacityTimerActive());
        QTRY_VERIFY_WITH_TIMEOUT(!list->IsCapacityTimerActive(), 5000);
        // Once it has fired, the next overflow schedules the stop again.
        list->AppendPacket(MakePacket(header, bytes.data()));
        QCoreApplication::processEvents();
        QVERIFY(list->IsCapacityTimerActive());
        QCOMPARE(store.DiscardedCount(), uint64_t{4});
        // Rows follow the store on the row timer, at most 500 per tick.
        QVERIFY(list->IsRowTimerActive());
        const int rows = list->RowCount();
        QVERIFY(rows > 0 && rows < PacketStore::kCapacity);
        QCOMPARE(rows % CPacketList::kRowsPerTick, 0);
        list->ShowPendingRows();
        QCOMPARE(list->RowCount(), rows + CPacketList::kRowsPerTick);
    }

    void closingNeverAsks() {
        QTemporaryDir dir;
        const QString path = dir.filePath("c.pac");
        WriteCapture(path, 5);
        TestApp app;
        QVERIFY(app->InitInstance({path}));
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kFileClose));
        test::ProcessDeletions();
        QCOMPARE(app->MainFrame()->ChildFrames().size(), 0);
        QCOMPARE(app->MainFrame()->CurrentMenuId(), cmd::kMenuMainFrame);
        QVERIFY(app.prompter->questions.isEmpty());
        QVERIFY(app.prompter->messages.empty());
    }

    void menusFollowTheActiveDocument() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        app->OnFileNew();
        app->OnFileNew();
        QCOMPARE(frame->CurrentMenuId(), cmd::kMenuFileDocument);
        QCOMPARE(MenuTitles(frame->CurrentMenus()),
                 (QStringList{"ﾌｧｲﾙ(&F)", "ﾃﾞﾊﾞｲｽｵｰﾌﾟﾝ(&O)", "ｳｨﾝﾄﾞｳ(&W)", "ﾍﾙﾌﾟ(&H)"}));
        QMenu* window = PopupOf(frame, "ｳｨﾝﾄﾞｳ(&W)");
        frame->PrepareMenu(window);
        QCOMPARE(ActionTexts(window),
                 (QStringList{"重ねて表示(&C)", "横に並べて表示(&S)", "縦に並べて表示(&T)",
                              "ｱｲｺﾝの整列(&A)", "-", "&1 新規パケットファイル1",
                              "&2 新規パケットファイル2"}));
        QVERIFY(window->actions().last()->isChecked());
        // Choosing the first entry activates that window; the list is rebuilt.
        QVERIFY(frame->RouteCommand(cmd::kWindowListFirst));
        QCOMPARE(frame->ActiveChildFrame()->GetDocument()->GetTitle(), "新規パケットファイル1");
        frame->PrepareMenu(window);
        QCOMPARE(window->actions().size(), 7);
        QVERIFY(window->actions()[5]->isChecked());
        // Commands without a handler are shown disabled; copy does nothing.
        QMenu* file = PopupOf(frame, "ﾌｧｲﾙ(&F)");
        frame->PrepareMenu(file);
        QVERIFY(ActionWithId(file, cmd::kFileSave)->isEnabled());
        CommandState state;
        QVERIFY(!frame->RouteUpdate(cmd::kEditCopy, state));
        QVERIFY(!frame->RouteCommand(cmd::kEditCopy));
        QVERIFY(!frame->RouteCommand(cmd::kFilePrint));
        // The print menu and the pane menus exist as data.
        QList<QMenu*> print = BuildMenuBarMenus(cmd::kMenuPrintDocument, frame);
        QCOMPARE(MenuTitles(print), (QStringList{"ﾌｧｲﾙ(&F)", "ﾃﾞﾊﾞｲｽｵｰﾌﾟﾝ(&O)", "キャプチャー(&C)",
                                                 "表示(&V)", "ｳｨﾝﾄﾞｳ(&W)", "ﾍﾙﾌﾟ(&H)"}));
        QMenu* list = BuildContextMenu(cmd::kMenuCaptureContext, cmd::kPopupList, frame);
        QCOMPARE(ActionTexts(list), (QStringList{"キャプチャー開始(&S)", "キャプチャー停止(&E)",
                                                 "文字のサイズ(&T)", "オートスクロール(&A)",
                                                 "抽出(&E)", "削除(&D)", "全て選択(&A)\tCtrl+A"}));
        QMenu* plainList = BuildContextMenu(cmd::kMenuContext, cmd::kPopupList, frame);
        QCOMPARE(ActionTexts(plainList),
                 (QStringList{"文字のサイズ(&T)", "抽出(&E)", "削除(&D)", "全て選択(&A)\tCtrl+A"}));
        QMenu* mainframe = frame->CreateContextMenu(frame);
        QCOMPARE(ActionTexts(mainframe), QStringList{"ﾃﾞﾊﾞｲｽｵｰﾌﾟﾝ(&O)"});
        // Ctrl+A reaches the list of the active window.
        CChildFrame* active = frame->ActiveChildFrame();
        QVERIFY(frame->RouteCommand(cmd::kListSelectAll));
        Q_UNUSED(active);
    }

    void acceleratorsReachTheirCommands() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        frame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame));
        QTest::keyClick(frame, Qt::Key_N, Qt::ControlModifier);
        QTest::keyClick(frame, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(frame->ChildFrames().size(), 2);
        CChildFrame* child = frame->ActiveChildFrame();
        QCOMPARE(child->GetDocument()->GetTitle(), QStringLiteral("新規パケットファイル2"));
        // F6 and Shift+F6 move between the three panes.
        child->ListPane()->setFocus();
        QTRY_VERIFY(child->ListPane()->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
        QTRY_VERIFY(child->TreePane()->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
        QTRY_VERIFY(child->ListPane()->hasFocus());
        // Copy, paste, cut and undo have no handler: nothing changes.
        for (const QKeySequence& keys :
             {QKeySequence("Ctrl+C"), QKeySequence("Ctrl+V"), QKeySequence("Ctrl+X"),
              QKeySequence("Ctrl+Z"), QKeySequence("Shift+Ins")}) {
            QTest::keySequence(frame, keys);
        }
        QCOMPARE(frame->ChildFrames().size(), 2);
        QCOMPARE(child->GetDocument()->Store().Count(), 0);
    }

    void windowArrangement() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        frame->resize(900, 700);
        QList<CChildFrame*> children = {app->OnFileNew(), app->OnFileNew(), app->OnFileNew()};
        const QRect area = frame->MdiArea()->viewport()->rect();
        QVERIFY(frame->RouteCommand(cmd::kWindowTileSideBySide));
        QList<QRect> rects;
        for (CChildFrame* child : children) rects.append(child->SubWindow()->geometry());
        std::sort(rects.begin(), rects.end(),
                  [](const QRect& a, const QRect& b) { return a.left() < b.left(); });
        QCOMPARE(rects[0].left(), 0);
        QCOMPARE(rects[0].height(), area.height());
        QCOMPARE(rects[1].left(), rects[0].right() + 1);
        QCOMPARE(rects[2].right(), area.width() - 1);
        QVERIFY(frame->RouteCommand(cmd::kWindowTileStacked));
        rects.clear();
        for (CChildFrame* child : children) rects.append(child->SubWindow()->geometry());
        std::sort(rects.begin(), rects.end(),
                  [](const QRect& a, const QRect& b) { return a.top() < b.top(); });
        QCOMPARE(rects[0].top(), 0);
        QCOMPARE(rects[0].width(), area.width());
        QCOMPARE(rects[2].bottom(), area.height() - 1);
        children[0]->SubWindow()->showMinimized();
        children[1]->SubWindow()->showMinimized();
        QVERIFY(frame->RouteCommand(cmd::kWindowArrange));
        const QRect icon0 = children[0]->SubWindow()->geometry();
        const QRect icon1 = children[1]->SubWindow()->geometry();
        QCOMPARE(icon0.bottom(), area.bottom());
        QCOMPARE(icon1.top(), icon0.top());
        QCOMPARE(icon1.left(), icon0.right() + 1);
        QVERIFY(frame->RouteCommand(cmd::kWindowCascade));
    }

    // Each new document window steps down and right from the last, back at
    // the top-left corner when the next step would leave the area, and never
    // lands exactly on a window that is still there.
    void newWindowsCascade() {
        WriteProfileInt("CHILD_FRAME_SIZE_RIGHT", 500);
        WriteProfileInt("CHILD_FRAME_SIZE_BOTTOM", 300);
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        frame->resize(700, 520);
        QCoreApplication::processEvents();
        const QRect area = frame->MdiArea()->viewport()->rect();
        QList<QMdiSubWindow*> windows;
        const auto open = [&] {
            windows.append(app->OnFileNew()->SubWindow());
            QCoreApplication::processEvents();
            return windows.last()->pos();
        };
        QCOMPARE(open(), area.topLeft());
        const QPoint step = open() - windows[0]->pos();
        QVERIFY(step.x() > 0);
        QCOMPARE(step.y(), step.x());
        // Down the area until the next step would leave it.
        QPoint last = windows[1]->pos();
        while (area.contains(QRect(last + step, windows[0]->size()))) {
            QCOMPARE(open(), last + step);
            last += step;
        }
        QVERIFY(windows.size() >= 4);
        // Two windows of the cascade closed: the next windows take their
        // places, from the top-left corner on.
        QVERIFY(windows[0]->close());
        QVERIFY(windows[2]->close());
        test::ProcessDeletions();
        QCOMPARE(open(), area.topLeft());
        QCOMPARE(open(), area.topLeft() + 2 * step);
        for (const QMdiSubWindow* window : frame->MdiArea()->subWindowList())
            QVERIFY(area.contains(window->geometry()));
    }

    void mainFramePlacementIsPersisted() {
        WriteProfileInt("MAIN_FRAME_SIZE_LEFT", 40);
        WriteProfileInt("MAIN_FRAME_SIZE_TOP", 30);
        WriteProfileInt("MAIN_FRAME_SIZE_RIGHT", 800);
        WriteProfileInt("MAIN_FRAME_SIZE_BOTTOM", 600);
        {
            TestApp app;
            QVERIFY(app->InitInstance({}));
            CMainFrame* frame = app->MainFrame();
            QCOMPARE(frame->geometry(), QRect(40, 30, 800, 600));
            QVERIFY(!frame->isMaximized());
            frame->setGeometry(60, 50, 700, 500);
            frame->showMaximized();
            QVERIFY(frame->close());
        }
        // Maximised: 1 and the restored rectangle (width and height).
        QCOMPARE(test::StoredInt("MAIN_FRAME_SIZE_MAX"), 1);
        QCOMPARE(test::StoredInt("MAIN_FRAME_SIZE_LEFT"), 60);
        QCOMPARE(test::StoredInt("MAIN_FRAME_SIZE_TOP"), 50);
        QCOMPARE(test::StoredInt("MAIN_FRAME_SIZE_RIGHT"), 700);
        QCOMPARE(test::StoredInt("MAIN_FRAME_SIZE_BOTTOM"), 500);
        {
            TestApp app;
            QVERIFY(app->InitInstance({}));
            QVERIFY(app->MainFrame()->isMaximized());
            QCOMPARE(app->MainFrame()->normalGeometry(), QRect(60, 50, 700, 500));
        }
        // Sizes of 10 or less are ignored; left and top are used as they are.
        WriteProfileInt("MAIN_FRAME_SIZE_MAX", 0);
        WriteProfileInt("MAIN_FRAME_SIZE_RIGHT", 10);
        WriteProfileInt("MAIN_FRAME_SIZE_BOTTOM", 4);
        TestApp app;
        QVERIFY(app->InitInstance({}));
        QVERIFY(!app->MainFrame()->isMaximized());
        QCOMPARE(app->MainFrame()->geometry().topLeft(), QPoint(60, 50));
        QVERIFY(app->MainFrame()->width() > 10);
        QVERIFY(app->MainFrame()->height() > 10);
    }

    // A window stored where no screen shows it (after working on a larger or
    // a second monitor), or with its title bar out of reach, comes back whole
    // onto the nearest screen with its stored size; one that can be taken
    // hold of stays where it was stored.
    void mainFrameStoredOffTheScreensComesBack() {
        WriteProfileInt("MAIN_FRAME_SIZE_LEFT", 3000);
        WriteProfileInt("MAIN_FRAME_SIZE_TOP", 2000);
        WriteProfileInt("MAIN_FRAME_SIZE_RIGHT", 500);
        WriteProfileInt("MAIN_FRAME_SIZE_BOTTOM", 400);
        {
            TestApp app;
            QVERIFY(app->InitInstance({}));
            const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
            QVERIFY(screen.contains(app->MainFrame()->frameGeometry()));
            QCOMPARE(app->MainFrame()->size(), QSize(500, 400));
        }

        const QList<QRect> screens = {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
        const int title = 24;
        // On a screen, across two, partly off the edge: where it was.
        for (const QRect& frame :
             {QRect(100, 100, 800, 600), QRect(1800, 100, 400, 300), QRect(2900, 700, 800, 600)})
            QCOMPARE(PlaceOnScreens(frame, title, screens), frame);
        // Beyond the second screen, left of the first, title bar above the top.
        QCOMPARE(PlaceOnScreens(QRect(3500, 100, 600, 400), title, screens),
                 QRect(2600, 100, 600, 400));
        QCOMPARE(PlaceOnScreens(QRect(-2000, 300, 800, 600), title, screens),
                 QRect(0, 300, 800, 600));
        QCOMPARE(PlaceOnScreens(QRect(200, -100, 800, 600), title, screens),
                 QRect(200, 0, 800, 600));
        // Only a sliver on the first screen: onto it, bounded by it.
        QCOMPARE(PlaceOnScreens(QRect(1890, 1060, 2500, 1500), title, screens),
                 QRect(0, 0, 1920, 1080));
    }

    void childFrameSettingsArePersisted() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        app->MainFrame()->resize(1000, 800);
        CChildFrame* first = app->OnFileNew();
        QMdiSubWindow* window = first->SubWindow();
        QVERIFY(!window->isMaximized());
        // The first window ever: list row 200, tree column 300.
        QCOMPARE(first->OuterSplitter()->sizes().first(), CChildFrame::kDefaultListHeight);
        QCOMPARE(first->InnerSplitter()->sizes().first(), CChildFrame::kDefaultTreeWidth);
        window->resize(620, 470);
        QCoreApplication::processEvents();
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_RIGHT"), 620);
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_BOTTOM"), 470);
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_MAX"), CChildFrame::kShowNormal);
        first->OuterSplitter()->setSizes({150, 200});
        first->InnerSplitter()->setSizes({250, 300});
        const int listHeight = first->OuterSplitter()->sizes().first();
        const int treeWidth = first->InnerSplitter()->sizes().first();
        window->showMaximized();
        QVERIFY(window->close());
        test::ProcessDeletions();
        QCOMPARE(test::StoredInt("SPLITTER_SIZE_CYCUR"), listHeight);
        QCOMPARE(test::StoredInt("SPLITTER_SIZE_CXCUR"), treeWidth);
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_MAX"), CChildFrame::kShowMaximized);
        // The normal size, not the maximised one, is kept.
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_RIGHT"), 620);
        // State 3: the next window opens maximised, with the stored splitters.
        CChildFrame* second = app->OnFileNew();
        QVERIFY(second->SubWindow()->isMaximized());
        QCoreApplication::processEvents();
        QCOMPARE(app->MainFrame()->windowTitle(),
                 QStringLiteral("Kestrel - [新規パケットファイル2]"));
        QCOMPARE(second->OuterSplitter()->sizes().first(), listHeight);
        QCOMPARE(second->InnerSplitter()->sizes().first(), treeWidth);
        second->SubWindow()->showNormal();
        QCOMPARE(second->SubWindow()->size(), QSize(620, 470));
        QCoreApplication::processEvents();
        QCOMPARE(app->MainFrame()->windowTitle(),
                 QStringLiteral("Kestrel - 新規パケットファイル2"));
        // Closing the main frame closes the documents and stores their state.
        QVERIFY(app->MainFrame()->close());
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_MAX"), CChildFrame::kShowNormal);
    }

    // The normal rectangle is what is stored, whatever the window's state at
    // the end; windows open and come back inside the area; closing the
    // maximised one of two windows stores 3.
    void childFrameStoresItsNormalRectangleAndOpensInsideTheArea() {
        QTemporaryDir dir;
        const QString path = dir.filePath("max.pac");
        WriteCapture(path, 3);
        QSize area;
        {
            TestApp app;
            QVERIFY(app->InitInstance({path}));
            CMainFrame* frame = app->MainFrame();
            QMdiSubWindow* window = frame->ChildFrames().first()->SubWindow();
            QCoreApplication::processEvents();
            const QSize normal = window->size();
            window->showMaximized();
            QCoreApplication::processEvents();
            area = frame->MdiArea()->viewport()->size();
            QCOMPARE(window->size(), area);
            QVERIFY(frame->close());
            QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_RIGHT"), normal.width());
            QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_BOTTOM"), normal.height());
        }
        QVERIFY(test::StoredInt("CHILD_FRAME_SIZE_RIGHT") < area.width());
        QVERIFY(test::StoredInt("CHILD_FRAME_SIZE_BOTTOM") < area.height());
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_MAX"), CChildFrame::kShowMaximized);
        {
            TestApp app;
            QVERIFY(app->InitInstance({path}));
            QMdiSubWindow* window = app->MainFrame()->ChildFrames().first()->SubWindow();
            QVERIFY(window->isMaximized());
            window->showNormal();
            QCoreApplication::processEvents();
            QVERIFY(app->MainFrame()->MdiArea()->viewport()->rect().contains(window->geometry()));
            QVERIFY(window->width() < area.width());
        }
        // A stored normal size larger than the area: every new window lies inside it.
        WriteProfileInt("CHILD_FRAME_SIZE_MAX", CChildFrame::kShowNormal);
        WriteProfileInt("CHILD_FRAME_SIZE_RIGHT", 5000);
        WriteProfileInt("CHILD_FRAME_SIZE_BOTTOM", 4000);
        {
            TestApp app;
            QVERIFY(app->InitInstance({}));
            app->OnFileNew();
            app->OnFileNew();
            QCoreApplication::processEvents();
            const QRect visible = app->MainFrame()->MdiArea()->viewport()->rect();
            for (CChildFrame* child : app->MainFrame()->ChildFrames())
                QVERIFY(visible.contains(child->SubWindow()->geometry()));
        }
        // Two windows, the maximised one closes: 3 is stored all the same.
        {
            TestApp app;
            QVERIFY(app->InitInstance({}));
            app->OnFileNew();
            CChildFrame* second = app->OnFileNew();
            second->SubWindow()->showMaximized();
            QCoreApplication::processEvents();
            QVERIFY(second->SubWindow()->close());
            test::ProcessDeletions();
            QCoreApplication::processEvents();
            QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_MAX"), CChildFrame::kShowMaximized);
        }
    }

    // Stored sizes no window can be drawn at (a settings file edited by
    // hand) give way: the main frame stays within the screens, the child
    // frame and the splitters take their defaults.
    void unusableStoredSizesGiveWay() {
        WriteProfileInt("MAIN_FRAME_SIZE_LEFT", std::numeric_limits<int>::min());
        WriteProfileInt("MAIN_FRAME_SIZE_RIGHT", 1000000);
        WriteProfileInt("MAIN_FRAME_SIZE_BOTTOM", 2000000000);
        WriteProfileInt("CHILD_FRAME_SIZE_RIGHT", -5);
        WriteProfileInt("CHILD_FRAME_SIZE_BOTTOM", 2000000000);
        WriteProfileInt("SPLITTER_SIZE_CYCUR", 2000000000);
        WriteProfileInt("SPLITTER_SIZE_CXCUR", std::numeric_limits<int>::min());
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        const QSize screens = QGuiApplication::primaryScreen()->virtualSize();
        QVERIFY(frame->width() <= screens.width());
        QVERIFY(frame->height() <= screens.height());
        CChildFrame* child = app->OnFileNew();
        QCoreApplication::processEvents();
        QVERIFY(frame->MdiArea()->viewport()->rect().contains(child->SubWindow()->geometry()));
        QVERIFY(child->OuterSplitter()->sizes().first() > 0);
        QVERIFY(child->OuterSplitter()->sizes().last() > 0);
        QVERIFY(child->InnerSplitter()->sizes().first() > 0);
        QVERIFY(!frame->grab().isNull());
    }

    // Dragging a window edge writes the settings file at most once when it
    // ends (the frame size goes to memory at every step).
    void resizingAWindowWritesNoSettingsFileOnTheWay() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        app->MainFrame()->resize(1000, 800);
        QMdiSubWindow* window = app->OnFileNew()->SubWindow();
        QCoreApplication::processEvents();
        FlushProfile();
        const int before = ProfileFileWrites();
        for (int i = 0; i < 100; ++i) {
            window->resize(400 + i, 300 + i);
            QCoreApplication::processEvents();
        }
        QCOMPARE(ProfileFileWrites(), before);
        QCOMPARE(test::StoredInt("CHILD_FRAME_SIZE_RIGHT"), 499);
        QTest::qWait(kProfileWriteDelayMs + 300);
        QVERIFY(app->MainFrame()->close());
        FlushProfile();
        QVERIFY(ProfileFileWrites() - before <= 2);
        QSettings file(kProfileOrganisation, kProfileApplication);
        QCOMPARE(file.value("Settings/CHILD_FRAME_SIZE_BOTTOM").toInt(), 399);
    }

    void droppedFilesAreOpened() {
        QTemporaryDir dir;
        const QString a = dir.filePath("drop1.pac");
        const QString b = dir.filePath("drop2.pac");
        WriteCapture(a, 1);
        WriteCapture(b, 1);
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(b), QUrl("http://x.invalid/")});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(frame, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(frame, &drop);
        // Read after the drop has returned, not inside it.
        QVERIFY(drop.isAccepted());
        QCOMPARE(frame->ChildFrames().size(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(frame->ChildFrames().size(), 2);
        QCOMPARE(frame->ChildFrames()[1]->GetDocument()->GetTitle(), QStringLiteral("drop2.pac"));
        // Text without files is not taken.
        QMimeData text;
        text.setText("hello");
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton,
                                Qt::NoModifier);
        refused.ignore();
        QCoreApplication::sendEvent(frame, &refused);
        QVERIFY(!refused.isAccepted());
    }

    void desktopFilesAreRegisteredWhenMissing() {
        const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        const QStringList written = RegisterDesktopIntegration("/opt/kestrel tools/kestrel", false);
        QVERIFY(written.contains(home + "/applications/kestrel.desktop"));
        QVERIFY(written.contains(home + "/mime/packages/kestrel.xml"));
        QVERIFY(written.contains(home + "/icons/hicolor/48x48/apps/kestrel.png"));
        QVERIFY(written.contains(home + "/icons/hicolor/scalable/apps/kestrel.svg"));
        QFile desktop(home + "/applications/kestrel.desktop");
        QVERIFY(desktop.open(QIODevice::ReadOnly));
        const QByteArray entry = desktop.readAll();
        QVERIFY(entry.contains("\nExec=\"/opt/kestrel tools/kestrel\" %F\n"));
        QVERIFY(entry.contains("MimeType=application/x-kestrel-document;"));
        QFile mime(home + "/mime/packages/kestrel.xml");
        QVERIFY(mime.open(QIODevice::ReadOnly));
        const QByteArray xml = mime.readAll();
        QVERIFY(xml.contains("type=\"application/x-kestrel-document\""));
        QVERIFY(xml.contains("<comment>Kestrel Document</comment>"));
        QVERIFY(xml.contains("pattern=\"*.pac\""));
        QImage icon(home + "/icons/hicolor/48x48/apps/kestrel.png");
        QCOMPARE(icon.size(), QSize(48, 48));
        QVERIFY(entry.contains("\nTryExec=/opt/kestrel tools/kestrel\n"));
        // Present now: nothing is written again for the same program.
        QVERIFY(RegisterDesktopIntegration("/opt/kestrel tools/kestrel", false).isEmpty());

        // An entry Kestrel wrote is written again for another path, quoted by
        // the Desktop Entry rules.
        const QString odd = QStringLiteral("/tmp/a\"b$c\\d`e%f/kestrel");
        QVERIFY(RegisterDesktopIntegration(odd, false).contains(desktop.fileName()));
        desktop.close();
        QVERIFY(desktop.open(QIODevice::ReadOnly));
        const QByteArray quoted = desktop.readAll();
        QVERIFY2(quoted.contains("\nExec=\"/tmp/a\\\\\"b\\\\$c\\\\\\\\d\\\\`e%%f/kestrel\" %F\n"),
                 quoted.constData());
        QVERIFY(quoted.contains("\nTryExec=/tmp/a\"b$c\\\\d`e%f/kestrel\n"));
        QVERIFY(RegisterDesktopIntegration("/usr/bin/kestrel", false).contains(desktop.fileName()));
        desktop.close();
        QVERIFY(desktop.open(QIODevice::ReadOnly));
        QVERIFY(desktop.readAll().contains("\nExec=/usr/bin/kestrel %F\n"));
        desktop.close();

        // An entry of the user's own is left as it is.
        QVERIFY(desktop.open(QIODevice::WriteOnly | QIODevice::Truncate));
        desktop.write("[Desktop Entry]\nType=Application\nName=Mine\nExec=/gone/kestrel %F\n");
        desktop.close();
        QVERIFY(RegisterDesktopIntegration("/usr/bin/kestrel", false).isEmpty());
        // An unmarked entry of an earlier version whose program is gone is replaced.
        QVERIFY(desktop.open(QIODevice::WriteOnly | QIODevice::Truncate));
        desktop.write(
            "[Desktop Entry]\nName=Kestrel\nExec=/gone/kestrel %F\nTryExec=/gone/kestrel\n"
            "StartupWMClass=kestrel\n");
        desktop.close();
        QVERIFY(RegisterDesktopIntegration("/usr/bin/kestrel", false).contains(desktop.fileName()));
    }
};

KESTREL_GUI_TEST_MAIN(ShellTest)
#include "shell_test.moc"
