// The about box and its link labels.
#include <QEnterEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "framework/command_ids.h"
#include "gui_test_util.h"
#include "shell/about_box.h"
#include "shell/link_label.h"
#include "shell/main_frame.h"

using namespace kestrel;

namespace {

// Records what a click asked the desktop to open and answers as told.
struct RecordingOpener {
    QList<QUrl> urls;
    bool answer = true;
    CLinkLabel::UrlOpener Function() {
        return [this](const QUrl& url) {
            urls.append(url);
            return answer;
        };
    }
};

void Enter(QWidget* widget) {
    const QPointF inside(2, 2);
    QEnterEvent event(inside, inside, widget->mapToGlobal(inside));
    QCoreApplication::sendEvent(widget, &event);
}

void Leave(QWidget* widget) {
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(widget, &event);
}

void Click(QWidget* widget) {
    QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(2, 2));
}

QColor Drawn(const QWidget* widget) {
    return widget->palette().color(QPalette::Active, QPalette::WindowText);
}

QStringList LabelTexts(const QWidget* box) {
    QStringList texts;
    for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().isEmpty())
            texts.append(label->text());
    }
    return texts;
}

}  // namespace

class AboutBoxTest : public QObject {
    Q_OBJECT

private slots:
    void versionText() {
        QCOMPARE(AboutVersionText(1, 0, 0), QStringLiteral("Kestrel Version 1.00"));
        QCOMPARE(AboutVersionText(1, 12, 0), QStringLiteral("Kestrel Version 1.12"));
        QCOMPARE(AboutVersionText(2, 5, 3), QStringLiteral("Kestrel Version 2.05.3"));
    }

    void boxTextsAndLinks() {
        RecordingOpener opener;
        CAboutBox box(nullptr, opener.Function());
        QCOMPARE(box.windowTitle(), QStringLiteral("Kestrelのﾊﾞｰｼﾞｮﾝ情報"));
        QVERIFY(box.isModal());
        const QStringList texts = LabelTexts(&box);
        const QString version =
            AboutVersionText(KESTREL_VERSION_MAJOR, KESTREL_VERSION_MINOR, KESTREL_VERSION_PATCH);
        for (const QString& expected :
             {version, QStringLiteral("ﾎｰﾑﾍﾟｰｼﾞ"), QStringLiteral("ﾊﾞｸﾞ報告等"),
              QStringLiteral("https://kestrel.brightfold.org/"),
              QStringLiteral("kestrel-feedback@brightfold.org")}) {
            QVERIFY2(texts.contains(expected), qPrintable(expected));
        }
        QVERIFY(texts.contains(QStringLiteral("Copyright (C) 2026 Brightfold")));
        QVERIFY(!box.IconLabel()->pixmap().isNull());
        QVERIFY(box.findChildren<QPushButton*>().isEmpty());
        QCOMPARE(box.font().family(), QStringLiteral("ＭＳ Ｐゴシック"));

        // The home page link takes its text as its target; the mail address
        // is no URL and keeps the mail target the box gave it.
        CLinkLabel* home = box.HomePageLink();
        CLinkLabel* mail = box.MailLink();
        QCOMPARE(home->Target(), QStringLiteral("https://kestrel.brightfold.org/"));
        QCOMPARE(mail->Target(), QStringLiteral("mailto:kestrel-feedback@brightfold.org"));
        for (const CLinkLabel* link : {home, mail}) {
            QVERIFY(link->font().underline());
            QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
            QCOMPARE(link->TextColour(), QColor(0, 0, 255));
        }

        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        // Each address is shown whole, inside the box.
        for (const CLinkLabel* link : {home, mail}) {
            QVERIFY(link->width() >= link->sizeHint().width());
            QVERIFY(link->geometry().right() < box.width());
        }
        if (const QByteArray shots = qgetenv("KESTREL_SHOTS_DIR"); !shots.isEmpty()) {
            // The links as they are with the pointer elsewhere.
            Leave(home);
            Leave(mail);
            QVERIFY(box.grab().save(QString::fromLocal8Bit(shots) + "/about_box.png"));
        }

        Click(mail);
        QCOMPARE(opener.urls.size(), 1);
        QCOMPARE(opener.urls.first().scheme(), QStringLiteral("mailto"));
        QCOMPARE(opener.urls.first().path(), QStringLiteral("kestrel-feedback@brightfold.org"));
        Click(home);
        QCOMPARE(opener.urls.size(), 2);
        QCOMPARE(opener.urls.last(), QUrl(QStringLiteral("https://kestrel.brightfold.org/")));

        // Esc closes the box, which has no buttons.
        QTest::keyClick(&box, Qt::Key_Escape);
        QVERIFY(!box.isVisible());
        QCOMPARE(box.result(), int(QDialog::Rejected));
    }

    void linkColours() {
        RecordingOpener opener;
        CLinkLabel link;
        link.setText(QStringLiteral("https://example.org/start"));
        link.SetUrlOpener(opener.Function());
        link.Attach();
        link.resize(200, 20);
        link.show();
        QVERIFY(QTest::qWaitForWindowExposed(&link));
        // A window shown under the pointer starts hovered.
        Leave(&link);
        QCOMPARE(Drawn(&link), QColor(0, 0, 255));

        Enter(&link);
        QVERIFY(link.IsHovering());
        QCOMPARE(Drawn(&link), QColor(255, 0, 0));
        Leave(&link);
        QVERIFY(!link.IsHovering());
        QCOMPARE(Drawn(&link), QColor(0, 0, 255));

        // A target the desktop cannot open leaves the link unvisited.
        opener.answer = false;
        Enter(&link);
        Click(&link);
        QCOMPARE(opener.urls.size(), 1);
        QVERIFY(!link.IsVisited());
        QCOMPARE(Drawn(&link), QColor(255, 0, 0));

        opener.answer = true;
        Click(&link);
        QCOMPARE(opener.urls.size(), 2);
        QVERIFY(link.IsVisited());
        QCOMPARE(Drawn(&link), QColor(5, 34, 143));
        Leave(&link);
        Enter(&link);
        QCOMPARE(Drawn(&link), QColor(5, 34, 143));

        // A press that leaves the link before the release opens nothing.
        QTest::mousePress(&link, Qt::LeftButton, {}, QPoint(2, 2));
        QTest::mouseRelease(&link, Qt::LeftButton, {}, QPoint(500, 2));
        QCOMPARE(opener.urls.size(), 2);
    }

    void linkWithoutTargetDoesNothing() {
        for (const char* text :
             {"kestrel-feedback@brightfold.org", "ﾎｰﾑﾍﾟｰｼﾞ", "www.example.org", ""}) {
            RecordingOpener opener;
            CLinkLabel link;
            link.setText(QString::fromUtf8(text));
            link.SetUrlOpener(opener.Function());
            link.Attach();
            link.resize(200, 20);
            link.show();
            QVERIFY(QTest::qWaitForWindowExposed(&link));
            // A window shown under the pointer starts hovered.
            Leave(&link);
            QVERIFY2(link.Target().isEmpty(), text);
            Click(&link);
            QVERIFY(!link.Open());
            QVERIFY2(opener.urls.isEmpty(), text);
            QVERIFY(!link.IsVisited());
            QCOMPARE(Drawn(&link), QColor(0, 0, 255));
        }
    }

    void aboutCommandRunsTheBoxModally() {
        test::ClearProfile();
        test::TestApp app;
        QVERIFY(app->InitInstance({}));
        QString seenTitle;
        bool seenModal = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<CAboutBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            seenTitle = box->windowTitle();
            seenModal = box->isModal() && box->parentWidget() == app->MainFrame();
            box->reject();
        });
        QVERIFY(app->MainFrame()->RouteCommand(cmd::kAppAbout));
        QCOMPARE(seenTitle, QStringLiteral("Kestrelのﾊﾞｰｼﾞｮﾝ情報"));
        QVERIFY(seenModal);
        // The box was destroyed when it closed.
        QVERIFY(app->MainFrame()->findChildren<CAboutBox*>().isEmpty());
    }
};

KESTREL_GUI_TEST_MAIN(AboutBoxTest)
#include "about_box_test.moc"
