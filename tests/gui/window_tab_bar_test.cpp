// The window tab bar over real document windows of the main frame.
#include <QContextMenuEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPainter>
#include <QTabBar>
#include <QTimer>

#include "framework/kestrel_doc.h"
#include "gui_test_util.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"
#include "shell/window_tab_bar.h"

using namespace kestrel;
using kestrel::test::TestApp;

namespace {

CWindowTabBar* TabBarOf(CMainFrame* frame) {
    return qobject_cast<CWindowTabBar*>(frame->TabBar());
}

QStringList TabTexts(const CWindowTabBar* bar) {
    QStringList texts;
    for (int i = 0; i < bar->TabCount(); ++i) texts.append(bar->TabText(i));
    return texts;
}

QIcon SolidIcon(QColor colour) {
    QPixmap pixmap(CWindowTabBar::kIconSize, CWindowTabBar::kIconSize);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

QRgb IconColour(const QIcon& icon) {
    return icon.pixmap(CWindowTabBar::kIconSize).toImage().pixel(4, 4);
}

// Three new documents, the last one active.
QList<QMdiSubWindow*> OpenThree(TestApp& app) {
    QList<QMdiSubWindow*> windows;
    for (int i = 0; i < 3; ++i) windows.append(app->OnFileNew()->SubWindow());
    return windows;
}

QPoint TabCentre(const CWindowTabBar* bar, int index) {
    return bar->Tabs()->tabRect(index).center();
}

void SendContextMenu(QWidget* widget, const QPoint& pos) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget->mapToGlobal(pos));
    QCoreApplication::sendEvent(widget, &event);
}

QString PlainText(const QAction* action) {
    QString text = action->text();
    text.remove(QLatin1Char('&'));
    return text;
}

}  // namespace

class WindowTabBarTest : public QObject {
    Q_OBJECT

private slots:
    void init() { test::ClearProfile(); }
    void cleanup() { test::ProcessDeletions(); }

    void shownOnlyWhileActiveWindowIsMaximised() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CWindowTabBar* bar = TabBarOf(frame);
        QVERIFY(bar);
        QCOMPARE(bar->MdiArea(), frame->MdiArea());
        // No window: no tab, no space taken.
        QCOMPARE(bar->TabCount(), 0);
        QVERIFY(!bar->isVisible());
        QCOMPARE(frame->MdiArea()->geometry().top(), 0);

        QMdiSubWindow* window = app->OnFileNew()->SubWindow();
        QCOMPARE(bar->TabCount(), 1);
        QVERIFY(!window->isMaximized());
        QVERIFY(!bar->IsShownAllowed());
        QVERIFY(!bar->isVisible());

        window->showMaximized();
        QCoreApplication::processEvents();
        QVERIFY(bar->IsShownAllowed());
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->height(), CWindowTabBar::kBarHeight);
        QCOMPARE(frame->MdiArea()->geometry().top(), CWindowTabBar::kBarHeight);
        QCOMPARE(bar->width(), frame->MdiArea()->width());

        window->showNormal();
        QCoreApplication::processEvents();
        QVERIFY(!bar->isVisible());
        QCOMPARE(frame->MdiArea()->geometry().top(), 0);

        // The last window closed while maximised leaves no bar behind.
        window->showMaximized();
        QCoreApplication::processEvents();
        QVERIFY(bar->isVisible());
        window->close();
        test::ProcessDeletions();
        QCOMPARE(bar->TabCount(), 0);
        QVERIFY(!bar->isVisible());
    }

    void oneTabPerWindowInCreationOrder() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CWindowTabBar* bar = TabBarOf(frame);
        const QList<QMdiSubWindow*> windows = OpenThree(app);
        windows.last()->showMaximized();
        QCoreApplication::processEvents();
        QVERIFY(bar->isVisible());
        QCOMPARE(TabTexts(bar), (QStringList{"新規パケットファイル1", "新規パケットファイル2",
                                             "新規パケットファイル3"}));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(bar->TabWindow(i), windows[i]);
            QCOMPARE(IconColour(bar->TabIcon(i)), IconColour(windows[i]->windowIcon()));
        }
        QVERIFY(!bar->TabWindow(3));
        QCOMPARE(bar->CurrentTab(), 2);
        QCOMPARE(bar->Tabs()->iconSize(), QSize(16, 16));
        QCOMPARE(bar->Tabs()->focusPolicy(), Qt::NoFocus);

        if (const QByteArray shots = qgetenv("KESTREL_SHOTS_DIR"); !shots.isEmpty()) {
            frame->resize(900, 600);
            QCoreApplication::processEvents();
            QVERIFY(frame->grab().save(QString::fromLocal8Bit(shots) + "/tab_bar.png"));
        }
    }

    void renamedWindowKeepsItsPlace() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CWindowTabBar* bar = TabBarOf(app->MainFrame());
        const QList<QMdiSubWindow*> windows = OpenThree(app);
        windows.last()->showMaximized();
        auto* first = qobject_cast<CChildFrame*>(windows.first()->widget());
        first->GetDocument()->SetTitle(QStringLiteral("朝 & 夕.pac"));
        QCOMPARE(TabTexts(bar),
                 (QStringList{"朝 & 夕.pac", "新規パケットファイル2", "新規パケットファイル3"}));
        // The tab shows the ampersand rather than taking it as a mnemonic.
        QCOMPARE(bar->Tabs()->tabText(0), QStringLiteral("朝 && 夕.pac"));
        QCOMPARE(bar->TabWindow(0), windows.first());
        QCOMPARE(bar->CurrentTab(), 2);

        // A caption beyond the longest a tab carries is cut.
        first->GetDocument()->SetTitle(QString(300, QLatin1Char('x')));
        QCOMPARE(bar->TabText(0).size(), CWindowTabBar::kMaxCaptionLength);
        QCOMPARE(bar->Tabs()->tabToolTip(0).size(), 300);
    }

    void closedWindowTabGoesOthersKeepTheirIcons() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CWindowTabBar* bar = TabBarOf(frame);
        const QList<QMdiSubWindow*> windows = OpenThree(app);
        const QList<QColor> colours = {Qt::red, Qt::green, Qt::blue};
        for (int i = 0; i < 3; ++i) windows[i]->setWindowIcon(SolidIcon(colours[i]));
        windows.last()->showMaximized();
        frame->UpdateTabs();
        for (int i = 0; i < 3; ++i) QCOMPARE(IconColour(bar->TabIcon(i)), colours[i].rgb());

        windows[1]->close();
        test::ProcessDeletions();
        QCOMPARE(TabTexts(bar), (QStringList{"新規パケットファイル1", "新規パケットファイル3"}));
        QCOMPARE(IconColour(bar->TabIcon(0)), colours[0].rgb());
        QCOMPARE(IconColour(bar->TabIcon(1)), colours[2].rgb());
        QCOMPARE(bar->TabWindow(1), windows[2]);

        // A window made after the close goes on the right.
        QMdiSubWindow* fourth = app->OnFileNew()->SubWindow();
        QCOMPARE(bar->TabCount(), 3);
        QCOMPARE(bar->TabWindow(2), fourth);
        QCOMPARE(bar->CurrentTab(), 2);
        QCOMPARE(IconColour(bar->TabIcon(1)), colours[2].rgb());
    }

    void clickActivatesDoubleClickMaximises() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CWindowTabBar* bar = TabBarOf(frame);
        const QList<QMdiSubWindow*> windows = OpenThree(app);
        windows.last()->showMaximized();
        QCoreApplication::processEvents();
        QVERIFY(bar->isVisible());

        QTest::mouseClick(bar->Tabs(), Qt::LeftButton, {}, TabCentre(bar, 0));
        QCoreApplication::processEvents();
        QCOMPARE(frame->MdiArea()->currentSubWindow(), windows[0]);
        QCOMPARE(frame->ActiveChildFrame()->SubWindow(), windows[0]);
        QCOMPARE(bar->CurrentTab(), 0);
        QVERIFY(windows[0]->isMaximized());
        QVERIFY(bar->isVisible());
        QCOMPARE(frame->windowTitle(), QStringLiteral("Kestrel - [新規パケットファイル1]"));
        // Activation from elsewhere moves the selection without a click.
        frame->MdiArea()->setActiveSubWindow(windows[1]);
        QCOMPARE(bar->CurrentTab(), 1);
        QCOMPARE(frame->MdiArea()->currentSubWindow(), windows[1]);

        // Restored, the bar goes; a double click on its selected tab
        // maximises that window and brings the bar back.
        frame->MdiArea()->currentSubWindow()->showNormal();
        QCoreApplication::processEvents();
        QVERIFY(!bar->isVisible());
        const QMdiSubWindow* current = frame->MdiArea()->currentSubWindow();
        const int index = bar->CurrentTab();
        QCOMPARE(bar->TabWindow(index), current);
        QVERIFY(!current->isMaximized());
        QTest::mouseDClick(bar->Tabs(), Qt::LeftButton, {}, TabCentre(bar, index));
        QCoreApplication::processEvents();
        QVERIFY(current->isMaximized());
        QVERIFY(bar->isVisible());
    }

    void systemMenuOfTheTabUnderTheMouse() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        CWindowTabBar* bar = TabBarOf(frame);
        const QList<QMdiSubWindow*> windows = OpenThree(app);
        windows.last()->showMaximized();
        QCoreApplication::processEvents();

        int runs = 0;
        QMenu* shown = nullptr;
        QStringList items;
        bool raisedFirst = false;
        bar->SetMenuRunner([&](QMenu* menu, const QPoint&) {
            ++runs;
            shown = menu;
            // The tab is selected and its window in front before the menu.
            raisedFirst =
                bar->CurrentTab() == 1 && frame->MdiArea()->currentSubWindow() == windows[1];
            for (QAction* action : menu->actions()) {
                if (!action->isSeparator())
                    items.append(PlainText(action));
            }
            for (QAction* action : menu->actions()) {
                if (PlainText(action) == QStringLiteral("Close"))
                    action->trigger();
            }
        });

        // Beside the tabs nothing opens, and on the bar's edge not the main
        // window's menu either.
        bool popup = false;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&popup] {
            if (QWidget* shown = QApplication::activePopupWidget()) {
                popup = true;
                shown->close();
            }
        });
        closer.start(20);
        const QRect last = bar->Tabs()->tabRect(2);
        SendContextMenu(bar->Tabs(), QPoint(last.right() + 20, last.center().y()));
        SendContextMenu(bar, QPoint(bar->width() / 2, 0));
        SendContextMenu(bar, QPoint(1, bar->height() / 2));
        closer.stop();
        QVERIFY(!popup);
        QCOMPARE(runs, 0);
        QCOMPARE(bar->TabCount(), 3);

        SendContextMenu(bar->Tabs(), TabCentre(bar, 1));
        QCOMPARE(runs, 1);
        QCOMPARE(shown, windows[1]->systemMenu());
        QVERIFY(raisedFirst);
        for (const char* item : {"Restore", "Minimize", "Maximize", "Close"}) {
            QVERIFY2(items.contains(QString::fromLatin1(item)), item);
        }
        test::ProcessDeletions();
        QCOMPARE(TabTexts(bar), (QStringList{"新規パケットファイル1", "新規パケットファイル3"}));
        QCOMPARE(frame->ChildFrames().size(), 2);
        QVERIFY(frame->ChildFrames().first()->SubWindow() == windows[0]);
    }
};

KESTREL_GUI_TEST_MAIN(WindowTabBarTest)
#include "window_tab_bar_test.moc"
