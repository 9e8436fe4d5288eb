// Under a Japanese locale (ctest runs this program with LANG=ja_JP.UTF-8):
// the texts Qt draws itself are Japanese, and so are the C library's error
// messages in the program's own messages.
#include <QCommandLineParser>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QLabel>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <clocale>
#include <cstring>
#include <functional>

#include "core/packet.h"
#include "gui_test_util.h"
#include "list/packet_list.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"

using namespace kestrel;

namespace {

// Runs `inspect` on the modal dialog of type Dialog once it shows.
template <typename Dialog>
void WhenShown(std::function<void(Dialog*)> inspect) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, inspect] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            inspect(dialog);
        }
    });
    timer->start();
}

// A button or menu text as read: Japanese texts carry their mnemonic as a
// letter in parentheses after the word ("はい(&Y)"), which is left out here.
QString Plain(QString text) {
    return text.remove(QRegularExpression(QStringLiteral("\\(&.\\)"))).remove(QLatin1Char('&'));
}

// An application with the real message boxes and file dialogs.
std::unique_ptr<CKestrelApp> DialogApp() {
    CKestrelApp::Options options;
    options.registerDesktop = false;
    return std::make_unique<CKestrelApp>(std::move(options));
}

}  // namespace

class LocaleTest : public QObject {
    Q_OBJECT

private slots:
    void init() { test::ClearProfile(); }
    void cleanup() { test::ProcessDeletions(); }

    void qtTextsAreJapanese() {
        std::unique_ptr<CKestrelApp> app = DialogApp();
        QVERIFY(app->InitInstance({}));
        CChildFrame* frame = app->OnFileNew();
        const std::vector<uint8_t> bytes(60, 0);
        const PacketHeader header{1, 0, 60, 60};
        frame->ListPane()->AppendPacket(MakePacket(header, bytes.data()));
        frame->ListPane()->ShowPendingRows();
        frame->ListPane()->selectRow(0);

        // The delete question: "はい" and "いいえ"; "いいえ" keeps the packet.
        QStringList buttons;
        WhenShown<QMessageBox>([&buttons](QMessageBox* box) {
            for (QAbstractButton* button : box->buttons()) buttons.append(Plain(button->text()));
            box->button(QMessageBox::No)->click();
        });
        frame->ListPane()->DeleteSelectedPackets();
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"いいえ", "はい"}));
        QCOMPARE(frame->ListPane()->RowCount(), 1);

        // The file dialog.
        QString lookIn;
        QString fileName;
        QStringList dialogButtons;
        QString folderType;
        WhenShown<QFileDialog>([&](QFileDialog* dialog) {
            lookIn = dialog->findChild<QLabel*>(QStringLiteral("lookInLabel"))->text();
            fileName = dialog->findChild<QLabel*>(QStringLiteral("fileNameLabel"))->text();
            // The type column of a folder (Qt's catalogue lacks this text).
            folderType = dialog->findChild<QFileSystemModel*>()->iconProvider()->type(
                QFileInfo(QDir::tempPath()));
            for (QAbstractButton* button : dialog->findChild<QDialogButtonBox*>()->buttons())
                dialogButtons.append(Plain(button->text()));
            dialog->reject();
        });
        QVERIFY(app->Prompter()
                    .GetOpenFileNames(app->MainFrame(), CKestrelApp::OpenFilters())
                    .isEmpty());
        QVERIFY2(lookIn != QStringLiteral("Look in:") && !lookIn.isEmpty(), qPrintable(lookIn));
        QVERIFY2(fileName != QStringLiteral("File &name:") && !fileName.isEmpty(),
                 qPrintable(fileName));
        QVERIFY2(dialogButtons.contains(QStringLiteral("キャンセル")),
                 qPrintable(dialogButtons.join(',')));
        QCOMPARE(folderType, QStringLiteral("フォルダ"));

        // The help option of the command line (lacking in Qt's catalogue too).
        QCommandLineParser parser;
        parser.addHelpOption();
        QVERIFY2(parser.helpText().contains(QStringLiteral("ヘルプを表示する")),
                 qPrintable(parser.helpText()));

        // The window menu of a document window.
        QStringList systemMenu;
        for (const QAction* action : frame->SubWindow()->systemMenu()->actions())
            systemMenu.append(Plain(action->text()));
        QVERIFY2(!systemMenu.contains(QStringLiteral("Close")), qPrintable(systemMenu.join(',')));
        QVERIFY2(systemMenu.contains(QStringLiteral("閉じる")), qPrintable(systemMenu.join(',')));
    }

    void systemErrorsAreInTheUsersLanguage() {
        const char* messages = std::setlocale(LC_MESSAGES, nullptr);
        if (!messages || std::strncmp(messages, "ja_JP", 5) != 0)
            QSKIP("the ja_JP.UTF-8 locale is not generated (scripts/packages.sh)");
        const QString missing = QString::fromUtf8(std::strerror(ENOENT));
        QVERIFY2(missing != QStringLiteral("No such file or directory"), qPrintable(missing));

        std::unique_ptr<CKestrelApp> app = DialogApp();
        QVERIFY(app->InitInstance({}));
        QString text;
        WhenShown<QMessageBox>([&text](QMessageBox* box) {
            text = box->text();
            box->accept();
        });
        QVERIFY(!app->OpenDocumentFile(QStringLiteral("/nonexistent/kestrel.pac")));
        QVERIFY2(text.contains(missing), qPrintable(text));
    }
};

int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!test::UsePrivateFolders(home))
        return 2;
    // As the program does: the C library in the user's locale, Qt's texts
    // in Japanese.
    std::setlocale(LC_ALL, "");
    QApplication application(argc, argv);
    InstallFontSubstitutions();
    if (!InstallQtTranslations()) {
        std::fprintf(stderr, "Qt's Japanese translations are not installed\n");
        return 1;
    }
    LocaleTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "locale_test.moc"
