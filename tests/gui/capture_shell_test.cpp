// The adapter menu, capture documents and the capture commands of the shell,
// over the scripted capture library.
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QTemporaryDir>

#include "core/capture_file.h"
#include "framework/command_ids.h"
#include "framework/kestrel_doc.h"
#include "framework/menu_builder.h"
#include "framework/menu_resources.h"
#include "gui_test_util.h"
#include "list/packet_list.h"
#include "scripted_adapters.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"

using namespace kestrel;
using kestrel::test::ScriptedAdapters;
using kestrel::test::TestApp;

namespace {

QStringList ActionTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return texts;
}

QList<int> ActionIds(const QMenu* menu) {
    QList<int> ids;
    for (const QAction* action : menu->actions()) {
        if (!action->isSeparator())
            ids.append(CommandIdOf(action));
    }
    return ids;
}

// The adapter popup of the menu bar shown now, prepared as when it opens.
QMenu* OpenAdapterPopup(CMainFrame* frame) {
    QMenu* popup = FindPopup(frame->CurrentMenus(), QString::fromUtf8(kAdapterPopupText));
    if (popup)
        frame->PrepareMenu(popup);
    return popup;
}

QString Name(int index) {
    return QString::fromStdString(ScriptedAdapters::Name(index));
}

// Enabled states of start, stop, start all, stop all in the capture popup.
QList<bool> CaptureCommandStates(CMainFrame* frame) {
    QList<bool> states;
    QMenu* popup = FindPopup(frame->CurrentMenus(), QStringLiteral("キャプチャー(&C)"));
    if (!popup) {
        // Menus without a capture popup: the states as a view's menu would ask.
        for (int id :
             {cmd::kCaptureStart, cmd::kCaptureStop, cmd::kCaptureStartAll, cmd::kCaptureStopAll}) {
            CommandState state;
            states.append(frame->RouteUpdate(id, state) && state.enabled);
        }
        return states;
    }
    frame->PrepareMenu(popup);
    for (int id :
         {cmd::kCaptureStart, cmd::kCaptureStop, cmd::kCaptureStartAll, cmd::kCaptureStopAll}) {
        bool enabled = false;
        for (const QAction* action : popup->actions()) {
            if (CommandIdOf(action) == id)
                enabled = action->isEnabled();
        }
        states.append(enabled);
    }
    return states;
}

}  // namespace

class CaptureShellTest : public QObject {
    Q_OBJECT

private slots:
    void init() { test::ClearProfile(); }
    void cleanup() { test::ProcessDeletions(); }

    void adapterPopupForNoneOneTwoAndMany() {
        {
            ScriptedAdapters adapters(0);
            TestApp app(adapters.Api());
            QVERIFY(app->InitInstance({}));
            QMenu* popup = OpenAdapterPopup(app->MainFrame());
            QVERIFY(popup);
            QCOMPARE(ActionTexts(popup), QStringList{"新たにｵｰﾌﾟﾝ出来るﾃﾞﾊﾞｲｽがありません"});
            QCOMPARE(ActionIds(popup), QList<int>{cmd::kAdapterFirst});
            // It is in no command table: choosing it opens nothing.
            QVERIFY(app->MainFrame()->RouteCommand(cmd::kAdapterFirst));
            QCOMPARE(app->MainFrame()->ChildFrames().size(), 0);
        }
        {
            ScriptedAdapters adapters(1);
            TestApp app(adapters.Api());
            QVERIFY(app->InitInstance({}));
            QMenu* popup = OpenAdapterPopup(app->MainFrame());
            QCOMPARE(ActionTexts(popup), QStringList{Name(0) + "(&A)"});
            QCOMPARE(ActionIds(popup), QList<int>{cmd::kAdapterFirst});
            // The main window's context menu offers the same.
            QMenu* context = app->MainFrame()->CreateContextMenu(app->MainFrame());
            QMenu* nested = FindPopup({context}, QString::fromUtf8(kAdapterPopupText));
            QVERIFY(nested);
            app->MainFrame()->PrepareMenu(nested);
            QCOMPARE(ActionTexts(nested), QStringList{Name(0) + "(&A)"});
            delete context;
        }
        {
            ScriptedAdapters adapters(2);
            TestApp app(adapters.Api());
            QVERIFY(app->InitInstance({}));
            QMenu* popup = OpenAdapterPopup(app->MainFrame());
            QCOMPARE(ActionTexts(popup),
                     (QStringList{Name(0) + "(&A)", Name(1) + "(&B)", "-", "全て(&Z)"}));
            QCOMPARE(ActionIds(popup), (QList<int>{cmd::kAdapterFirst, cmd::kAdapterFirst + 1,
                                                   cmd::kAdapterFirst + 2}));
        }
        {
            ScriptedAdapters adapters(27);
            TestApp app(adapters.Api());
            QVERIFY(app->InitInstance({}));
            QMenu* popup = OpenAdapterPopup(app->MainFrame());
            const QStringList texts = ActionTexts(popup);
            QCOMPARE(texts.size(), 27 + 2);
            for (int i = 0; i < 25; ++i) {
                QCOMPARE(texts[i], Name(i) + QStringLiteral("(&%1)").arg(QChar('A' + i)));
            }
            // "Z" is left for "全て(&Z)": the 26th and 27th have no letter.
            QCOMPARE(texts[25], Name(25));
            QCOMPARE(texts[26], Name(26));
            QCOMPARE(texts[27], QStringLiteral("-"));
            QCOMPARE(texts[28], QStringLiteral("全て(&Z)"));
            QCOMPARE(ActionIds(popup).last(), cmd::kAdapterFirst + 27);
            // The 27th is reachable by its id.
            QVERIFY(app->MainFrame()->RouteCommand(cmd::kAdapterFirst + 26));
            QCOMPARE(app->MainFrame()->ActiveChildFrame()->GetDocument()->GetTitle(), Name(26));
        }
    }

    void openingAnAdapterAndClosingItsWindow() {
        ScriptedAdapters adapters(2);
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        OpenAdapterPopup(frame);
        QVERIFY(frame->RouteCommand(cmd::kAdapterFirst + 1));
        QCOMPARE(frame->ChildFrames().size(), 1);
        CChildFrame* child = frame->ActiveChildFrame();
        QCOMPARE(child->GetDocument()->GetTitle(), Name(1));
        QCOMPARE(child->GetDocument()->m_deviceName, ScriptedAdapters::Name(1));
        QCOMPARE(child->SubWindow()->windowTitle(), Name(1));
        QVERIFY(child->IsCaptureDocument());
        QCOMPARE(frame->CurrentMenuId(), cmd::kMenuCaptureDocument);
        QVERIFY(frame->IsDeviceWindowOpen(ScriptedAdapters::Name(1)));
        QCOMPARE(frame->DocumentWindows(), std::vector<CChildFrame*>{child});
        // A new window does not capture by itself.
        QCOMPARE(child->GetCaptureState(), kCaptureIdle);
        // The open adapter is no longer offered; one left, so no "全て(&Z)".
        QMenu* popup = OpenAdapterPopup(frame);
        QCOMPARE(ActionTexts(popup), QStringList{Name(0) + "(&A)"});
        // The same id now names the other adapter.
        QVERIFY(frame->RouteCommand(cmd::kAdapterFirst));
        QCOMPARE(frame->ChildFrames().size(), 2);
        popup = OpenAdapterPopup(frame);
        QCOMPARE(ActionTexts(popup), QStringList{"新たにｵｰﾌﾟﾝ出来るﾃﾞﾊﾞｲｽがありません"});
        // Closing a window offers its adapter again.
        QVERIFY(child->SubWindow()->close());
        test::ProcessDeletions();
        QVERIFY(!frame->IsDeviceWindowOpen(ScriptedAdapters::Name(1)));
        QCOMPARE(frame->DocumentWindows().size(), size_t{1});
        popup = OpenAdapterPopup(frame);
        QCOMPARE(ActionTexts(popup), QStringList{Name(1) + "(&A)"});
        QVERIFY(app.prompter->messages.empty());
    }

    void openAllOpensWindowsAndStartsTheOpenOnes() {
        ScriptedAdapters adapters(3);
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CChildFrame* middle = frame->OpenDevice(ScriptedAdapters::Name(1));
        QCOMPARE(middle->GetCaptureState(), kCaptureIdle);
        QMenu* popup = OpenAdapterPopup(frame);
        QCOMPARE(ActionTexts(popup),
                 (QStringList{Name(0) + "(&A)", Name(2) + "(&B)", "-", "全て(&Z)"}));
        QVERIFY(frame->RouteCommand(cmd::kAdapterFirst + 2));
        // One window per adapter, in list order after the one that was open.
        QCOMPARE(frame->ChildFrames().size(), 3);
        QCOMPARE(frame->DocumentWindows().size(), size_t{3});
        QCOMPARE(frame->DocumentWindows()[0], middle);
        QCOMPARE(frame->DocumentWindows()[1]->GetDocument()->GetTitle(), Name(0));
        QCOMPARE(frame->DocumentWindows()[2]->GetDocument()->GetTitle(), Name(2));
        // The window that was open captures; the new ones do not.
        QCOMPARE(middle->GetCaptureState(), kCaptureCapturing);
        QCOMPARE(frame->DocumentWindows()[1]->GetCaptureState(), kCaptureIdle);
        QCOMPARE(frame->DocumentWindows()[2]->GetCaptureState(), kCaptureIdle);
        QCOMPARE(frame->CountCapturing(), 1);
        // Opening a capturing adapter again makes no second window and no
        // complaint.
        QCOMPARE(frame->OpenDevice(ScriptedAdapters::Name(1)), middle);
        QCOMPARE(frame->ChildFrames().size(), 3);
        // Start all starts the rest; stop all stops every one.
        frame->StartAllCaptures();
        QCOMPARE(frame->CountCapturing(), 3);
        frame->StopAllCaptures();
        QTRY_COMPARE(frame->CountCapturing(), 0);
        QVERIFY(app.prompter->messages.empty());
    }

    void captureCommandEnabling() {
        ScriptedAdapters adapters(2);
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        // A file document: state -1, all four disabled.
        CChildFrame* file = app->OnFileNew();
        QCOMPARE(file->GetCaptureState(), kCaptureUnknown);
        QVERIFY(!file->IsCaptureDocument());
        QCOMPARE(CaptureCommandStates(frame), (QList<bool>{false, false, false, false}));
        QVERIFY(!frame->RouteCommand(cmd::kCaptureStart));
        // An idle capture document: start and start all.
        CChildFrame* second = frame->OpenDevice(ScriptedAdapters::Name(1));
        CChildFrame* first = frame->OpenDevice(ScriptedAdapters::Name(0));
        QCOMPARE(frame->ActiveChildFrame(), first);
        QCOMPARE(CaptureCommandStates(frame), (QList<bool>{true, false, true, false}));
        // Capturing: stop, start all (the other adapter is idle), stop all.
        QVERIFY(frame->RouteCommand(cmd::kCaptureStart));
        QCOMPARE(first->GetCaptureState(), kCaptureCapturing);
        QCOMPARE(CaptureCommandStates(frame), (QList<bool>{false, true, true, true}));
        // Start all starts the adapters that have a window; with every
        // adapter capturing it is disabled.
        QVERIFY(frame->RouteCommand(cmd::kCaptureStartAll));
        QCOMPARE(second->GetCaptureState(), kCaptureCapturing);
        QCOMPARE(frame->CountCapturing(), 2);
        QCOMPARE(frame->ChildFrames().size(), 3);
        QCOMPARE(CaptureCommandStates(frame), (QList<bool>{false, true, false, true}));
        // The file document still has none of them.
        frame->MdiArea()->setActiveSubWindow(file->SubWindow());
        QCOMPARE(CaptureCommandStates(frame), (QList<bool>{false, false, false, false}));
        frame->MdiArea()->setActiveSubWindow(first->SubWindow());
        QVERIFY(frame->RouteCommand(cmd::kCaptureStop));
        QTRY_COMPARE(first->GetCaptureState(), kCaptureIdle);
        QCOMPARE(CaptureCommandStates(frame), (QList<bool>{true, false, true, true}));
        QVERIFY(frame->RouteCommand(cmd::kCaptureStopAll));
        QTRY_COMPARE(frame->CountCapturing(), 0);
        QCOMPARE(CaptureCommandStates(frame), (QList<bool>{true, false, true, false}));
        QVERIFY(app.prompter->messages.empty());
    }

    void capturedPacketsReachTheList() {
        ScriptedAdapters adapters(1);
        adapters.DeliverFrames(0, 40);
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CChildFrame* child = app->MainFrame()->OpenDevice(ScriptedAdapters::Name(0));
        QVERIFY(child->StartCapture());
        QTRY_COMPARE(child->GetDocument()->Store().Count(), 40);
        QTRY_COMPARE(child->ListPane()->RowCount(), 40);
        QCOMPARE(child->ListPane()->model()->index(39, 0).data().toString(), QStringLiteral("40"));
        // Closing a capturing window stops it and waits for its worker.
        QCOMPARE(child->GetCaptureState(), kCaptureCapturing);
        QVERIFY(child->SubWindow()->close());
        test::ProcessDeletions();
        QCOMPARE(app->MainFrame()->CountCapturing(), 0);
        QVERIFY(app.prompter->messages.empty());
        // Ending the program while a window captures: the windows go, with
        // their workers, before the engine.
        adapters.DeliverFrames(0, 5);
        child = app->MainFrame()->OpenDevice(ScriptedAdapters::Name(0));
        QVERIFY(child->StartCapture());
        QTRY_COMPARE(child->GetDocument()->Store().Count(), 5);
    }

    void savingACaptureDocumentKeepsItBound() {
        QTemporaryDir dir;
        ScriptedAdapters adapters(2);
        adapters.DeliverFrames(0, 7);
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CChildFrame* child = frame->OpenDevice(ScriptedAdapters::Name(0));
        QVERIFY(frame->RouteCommand(cmd::kCaptureStart));
        QTRY_COMPARE(child->GetDocument()->Store().Count(), 7);
        // It has no file yet: Save asks, proposing the adapter's name.
        app.prompter->saveAnswers.push_back({dir.filePath("lan.pac"), 0});
        QVERIFY(frame->RouteCommand(cmd::kFileSave));
        QCOMPARE(app.prompter->saveRequests.size(), size_t{1});
        QCOMPARE(app.prompter->saveRequests[0].proposed, Name(0) + ".pac");
        QCOMPARE(child->GetDocument()->GetTitle(), QStringLiteral("lan.pac"));
        QCOMPARE(child->SubWindow()->windowTitle(), QStringLiteral("lan.pac"));
        PacketStore reread;
        QVERIFY(LoadCaptureFile(dir.filePath("lan.pac").toStdString(), reread).ok);
        QCOMPARE(reread.Count(), 7);
        // Still the adapter's document: capturing, not offered in the menu,
        // its capture commands still work.
        QCOMPARE(child->GetDocument()->m_deviceName, ScriptedAdapters::Name(0));
        QVERIFY(child->IsCaptureDocument());
        QCOMPARE(frame->CurrentMenuId(), cmd::kMenuCaptureDocument);
        QVERIFY(frame->IsDeviceWindowOpen(ScriptedAdapters::Name(0)));
        QCOMPARE(ActionTexts(OpenAdapterPopup(frame)), QStringList{Name(1) + "(&A)"});
        QCOMPARE(child->GetCaptureState(), kCaptureCapturing);
        QVERIFY(frame->RouteCommand(cmd::kCaptureStop));
        QTRY_COMPARE(child->GetCaptureState(), kCaptureIdle);
        QVERIFY(app.prompter->messages.empty());
    }

    void startFailuresAndReadErrorsAreShown() {
        ScriptedAdapters adapters(2);
        adapters.FailOpen(0, "permission denied (scripted)");
        adapters.FailRead(1, "the adapter went away (scripted)");
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CChildFrame* first = frame->OpenDevice(ScriptedAdapters::Name(0));
        QVERIFY(frame->RouteCommand(cmd::kCaptureStart));
        // One message for the one command, with the library's reason.
        QCOMPARE(app.prompter->messages.size(), size_t{1});
        QVERIFY(app.prompter->messages[0].text.contains("permission denied (scripted)"));
        QVERIFY(app.prompter->messages[0].text.contains(Name(0)));
        QCOMPARE(first->GetCaptureState(), kCaptureIdle);
        // A read error arrives from the worker, queued to its frame; the
        // adapter can be started again afterwards.
        CChildFrame* second = frame->OpenDevice(ScriptedAdapters::Name(1));
        QVERIFY(frame->RouteCommand(cmd::kCaptureStart));
        QTRY_COMPARE(app.prompter->messages.size(), size_t{2});
        QVERIFY(app.prompter->messages[1].text.contains("the adapter went away (scripted)"));
        QVERIFY(app.prompter->messages[1].text.contains(Name(1)));
        QTRY_COMPARE(second->GetCaptureState(), kCaptureIdle);
        QVERIFY(second->StartCapture());
        // Start all with a refused adapter: one message for the whole command.
        adapters.FailOpen(0, "still refused (scripted)");
        QVERIFY(frame->RouteCommand(cmd::kCaptureStartAll));
        QCOMPARE(app.prompter->messages.size(), size_t{3});
        QVERIFY(app.prompter->messages[2].text.contains("still refused (scripted)"));
    }

    void fullStoreStopsTheCapture() {
        ScriptedAdapters adapters(1);
        adapters.DeliverFrames(0, PacketStore::kCapacity + 10);
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CChildFrame* child = app->MainFrame()->OpenDevice(ScriptedAdapters::Name(0));
        QVERIFY(child->StartCapture());
        QTRY_VERIFY_WITH_TIMEOUT(child->ListPane()->IsCapacityTimerArmed(), 20000);
        // One second after the store filled up the capture stops by itself.
        QTRY_COMPARE_WITH_TIMEOUT(child->GetCaptureState(), kCaptureIdle, 10000);
        QCOMPARE(child->GetDocument()->Store().Count(), PacketStore::kCapacity);
        // Started again on the full document, it stops again at the first
        // packet the store refuses: the commands never show a capture that
        // stores nothing.
        adapters.DeliverFrames(0, 3);
        QVERIFY(child->StartCapture());
        QTRY_COMPARE_WITH_TIMEOUT(child->GetCaptureState(), kCaptureIdle, 10000);
        QCOMPARE(child->GetDocument()->Store().DiscardedCount(), uint64_t{10 + 3});
        QVERIFY(app.prompter->messages.empty());
    }

    void kernelDropsAreToldAfterTheStop() {
        ScriptedAdapters adapters(1);
        adapters.DeliverFrames(0, 3);
        adapters.DropInKernel(0, 42);
        TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CChildFrame* child = frame->OpenDevice(ScriptedAdapters::Name(0));
        QVERIFY(frame->RouteCommand(cmd::kCaptureStart));
        QVERIFY(adapters.WaitUntilRead(0));
        QTRY_COMPARE(child->GetDocument()->Store().Count(), 3);
        QVERIFY(app.prompter->messages.empty());  // nothing while it runs
        QVERIFY(frame->RouteCommand(cmd::kCaptureStop));
        QTRY_COMPARE(app.prompter->messages.size(), size_t{1});
        QVERIFY(app.prompter->messages[0].text.contains(QStringLiteral("42 ﾊﾟｹｯﾄ")));
        QVERIFY(app.prompter->messages[0].text.contains(Name(0)));
        // The next capture counts afresh: without drops, no message.
        QTRY_COMPARE(child->GetCaptureState(), kCaptureIdle);
        QVERIFY(frame->RouteCommand(cmd::kCaptureStart));
        QVERIFY(frame->RouteCommand(cmd::kCaptureStop));
        QTRY_COMPARE(child->GetCaptureState(), kCaptureIdle);
        QTest::qWait(50);
        QCOMPARE(app.prompter->messages.size(), size_t{1});
    }
};

KESTREL_GUI_TEST_MAIN(CaptureShellTest)
#include "capture_shell_test.moc"
