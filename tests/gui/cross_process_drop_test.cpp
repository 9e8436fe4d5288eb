// A drop between two running Kestrel processes, through the X drag protocol
// of a private X server: one process drags rows of its packet list, the
// other's list takes them. Two drags: rows 2, 5 and 9 of the sample, and 300
// frames of 60000 bytes (18 MB: more than one request of the X server can
// carry). The program plays three parts: without arguments it is the test,
// which starts the X server and the two processes (itself again, with
// --drop-target and --drag-source).
#include <unistd.h>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "core/capture_file.h"
#include "framework/kestrel_doc.h"
#include "gui_test_util.h"
#include "list/packet_list.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"

using namespace kestrel;
using kestrel::test::TestApp;

namespace {

constexpr char kSample[] = KESTREL_SAMPLE_CAPTURE;
// Zero-based rows of the sample dragged: "No." 2, 5 and 9.
const std::vector<int> kSampleRows = {1, 4, 8};
// The large drag: every row of a document of 300 frames of 60000 bytes.
constexpr int kLargeCount = 300;
constexpr uint32_t kLargeSize = 60000;

// Frame k of the large drag, the same in every process.
PacketPtr LargeFrame(int k) {
    std::vector<uint8_t> bytes(kLargeSize);
    for (uint32_t i = 0; i < kLargeSize; ++i)
        bytes[i] = static_cast<uint8_t>(i * 131 + static_cast<uint32_t>(k) * 7 + (i >> 8));
    const PacketHeader header{1700000000u + static_cast<uint32_t>(k), static_cast<uint32_t>(k),
                              kLargeSize, kLargeSize};
    return PacketPtr(MakePacket(header, bytes.data()));
}

// One line per packet: the header fields and a digest of the bytes.
QString DescribePacket(const Packet& packet) {
    const PacketHeader& header = *packet.header;
    return QStringLiteral("%1.%2 %3/%4 ")
               .arg(header.tv_sec)
               .arg(header.tv_usec, 6, 10, QLatin1Char('0'))
               .arg(header.caplen)
               .arg(header.len) +
           QCryptographicHash::hash(QByteArrayView(packet.data, header.caplen),
                                    QCryptographicHash::Sha256)
               .toHex();
}

void SelectRows(CPacketList* list, const std::vector<int>& rows) {
    list->clearSelection();
    for (int row : rows)
        list->selectionModel()->select(list->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void Say(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

// Calls `onLine` for each line the test writes to this process's standard
// input, and ends the event loop when the test closes it.
void ReadCommands(QObject* parent, std::function<void(const QByteArray&)> onLine) {
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, parent);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [=] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            notifier->setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending->append(buffer, got);
        for (qsizetype end; (end = pending->indexOf('\n')) >= 0;) {
            const QByteArray line = pending->left(end);
            pending->remove(0, end + 1);
            onLine(line);
        }
    });
}

// The receiving process: the sample with its first row selected, and an empty
// document that is the active window. Prints "ready X Y" with the screen point
// over the sample's list and "over" when a drag first moves over that list,
// then, once packets arrive, its document's rows, the selection and the active
// window, and ends.
int RunDropTarget() {
    TestApp app;
    if (!app->InitInstance({}))
        return 3;
    CMainFrame* frame = app->MainFrame();
    frame->setGeometry(700, 40, 560, 700);
    frame->showNormal();
    CChildFrame* target = app->OpenDocumentFile(QString::fromUtf8(kSample));
    CChildFrame* other = app->OnFileNew();
    if (!target || !other)
        return 3;
    target->SubWindow()->setGeometry(0, 0, 520, 300);
    other->SubWindow()->setGeometry(0, 320, 520, 240);
    target->ListPane()->ShowPendingRows();
    SelectRows(target->ListPane(), {0});
    frame->MdiArea()->setActiveSubWindow(other->SubWindow());
    if (!QTest::qWaitForWindowExposed(frame))
        return 3;
    QCoreApplication::processEvents();

    const int before = target->GetDocument()->Store().Count();
    QWidget* viewport = target->ListPane()->viewport();
    const QPoint point = viewport->mapToGlobal(viewport->rect().center());
    Say(QStringLiteral("ready %1 %2").arg(point.x()).arg(point.y()));

    struct DragWatch : QObject {
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::DragMove && !seen) {
                seen = true;
                Say(QStringLiteral("over"));
            }
            return false;
        }
        bool seen = false;
    } watch;
    viewport->installEventFilter(&watch);

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const PacketStore& store = target->GetDocument()->Store();
        if (store.Count() == before)
            return;
        poll.stop();
        for (int i = 0; i < store.Count(); ++i)
            Say(QStringLiteral("row ") + DescribePacket(*store.At(i)));
        Say(QStringLiteral("selected %1")
                .arg(target->ListPane()->selectionModel()->selectedRows().size()));
        Say(QStringLiteral("active %1")
                .arg(frame->ActiveChildFrame() == target ? QStringLiteral("target")
                                                         : QStringLiteral("other")));
        QCoreApplication::quit();
    });
    poll.start(20);
    QTimer::singleShot(30000, [] { QCoreApplication::exit(4); });
    return QApplication::exec();
}

// Sends a mouse event as the window system would deliver it to `widget`, at
// the screen point `global`.
void SendMouse(QWidget* widget, QEvent::Type type, const QPoint& global, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(widget->mapFromGlobal(global)), QPointF(global), button,
                      buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

// The dragging process: the sample with rows 2, 5 and 9 selected, or
// ("large") the 300 large frames, all selected. Presses on the first selected
// row and moves past the drag distance (the list starts the system drag),
// then, inside the drag, keeps moving over the point given until the test
// writes "release", and releases there. Prints the drag's outcome and its own
// row count, and keeps serving the drag data until its standard input closes.
int RunDragSource(bool large, const QPoint& drop) {
    TestApp app;
    if (!app->InitInstance({}))
        return 3;
    CMainFrame* frame = app->MainFrame();
    frame->setGeometry(40, 40, 560, 700);
    frame->showNormal();
    CChildFrame* source =
        large ? app->OnFileNew() : app->OpenDocumentFile(QString::fromUtf8(kSample));
    if (!source)
        return 3;
    source->SubWindow()->setGeometry(0, 0, 520, 400);
    CPacketList* list = source->ListPane();
    std::vector<int> rows = kSampleRows;
    if (large) {
        rows.clear();
        for (int k = 0; k < kLargeCount; ++k) {
            list->AppendPacket(LargeFrame(k).release());
            rows.push_back(k);
        }
    }
    list->ShowPendingRows();
    SelectRows(list, rows);
    if (!QTest::qWaitForWindowExposed(frame))
        return 3;
    QCoreApplication::processEvents();

    QWidget* viewport = list->viewport();
    const QPoint start =
        viewport->mapToGlobal(list->visualRect(list->model()->index(rows.front(), 1)).center());
    // The moves and the release run inside the drag's own event loop, which
    // takes them wherever they are delivered.
    QTimer hover;
    int moves = 0;
    QObject::connect(&hover, &QTimer::timeout, viewport, [&] {
        const QPoint point = moves++ == 0 ? drop - QPoint(30, 0) : drop + QPoint(moves % 2, 0);
        SendMouse(viewport, QEvent::MouseMove, point, Qt::NoButton, Qt::LeftButton);
    });
    ReadCommands(frame, [&](const QByteArray& line) {
        if (line != "release")
            return;
        // One more move, then the release once the answer to it is in.
        QTimer::singleShot(200, viewport, [&] {
            hover.stop();
            SendMouse(viewport, QEvent::MouseButtonRelease, drop, Qt::LeftButton, Qt::NoButton);
        });
    });
    // The press and the first moves come from the running event loop, as the
    // user's would.
    QTimer::singleShot(0, viewport, [&] {
        hover.start(100);
        SendMouse(viewport, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
        SendMouse(viewport, QEvent::MouseMove, start + QPoint(0, 1), Qt::NoButton, Qt::LeftButton);
        SendMouse(viewport, QEvent::MouseMove, start + QPoint(0, 40), Qt::NoButton, Qt::LeftButton);
        // The drag has ended when the move returns.
        hover.stop();
        Say(QStringLiteral("drag ended, source %1 rows, drag source %2")
                .arg(source->GetDocument()->Store().Count())
                .arg(list->IsDragSource() ? 1 : 0));
    });
    QTimer::singleShot(30000, [] { QCoreApplication::exit(4); });
    return QApplication::exec();
}

// The next line a process writes, without its end; empty when none comes
// within `milliseconds`.
QString ReadLine(QProcess& process, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!process.canReadLine() && clock.elapsed() < milliseconds) process.waitForReadyRead(100);
    return QString::fromUtf8(process.readLine()).trimmed();
}

}  // namespace

class CrossProcessDropTest : public QObject {
    Q_OBJECT
private slots:
    void dropFromAnotherProcess_data() {
        QTest::addColumn<bool>("large");
        QTest::newRow("three rows of the sample") << false;
        QTest::newRow("300 frames of 60000 bytes") << true;
    }

    // The target holds its rows, then copies of the dragged rows in order,
    // byte for byte with their headers; its selection is gone and its window
    // is the active one. The source is still running and kept its rows.
    void dropFromAnotherProcess() {
        QFETCH(bool, large);
        const QString xvfbPath = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfbPath.isEmpty())
            QSKIP("Xvfb is not installed");
        // A private X server; it names its display on standard output.
        QProcess xvfb;
        xvfb.start(xvfbPath,
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
        QVERIFY(xvfb.waitForStarted());
        QString display;
        for (int i = 0; i < 100 && !display.endsWith(QLatin1Char('\n')); ++i) {
            xvfb.waitForReadyRead(100);
            display += QString::fromLatin1(xvfb.readAllStandardOutput());
        }
        display = display.trimmed();
        QVERIFY2(!display.isEmpty(), "the X server did not name its display");

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + display);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("XAUTHORITY"));
        const QString program = QCoreApplication::applicationFilePath();

        QProcess target;
        target.setProcessEnvironment(environment);
        target.start(program, {QStringLiteral("--drop-target")});
        QVERIFY(target.waitForStarted());
        const QStringList ready = ReadLine(target, 20000).split(QLatin1Char(' '));
        QVERIFY2(ready.size() == 3 && ready[0] == QStringLiteral("ready"),
                 target.readAllStandardError().constData());

        QProcess source;
        source.setProcessEnvironment(environment);
        source.start(program, {QStringLiteral("--drag-source"),
                               large ? QStringLiteral("large") : QStringLiteral("sample"), ready[1],
                               ready[2]});
        QVERIFY(source.waitForStarted());
        // The release waits until the target has seen the drag over its list.
        const QString over = ReadLine(target, 20000);
        if (over == QStringLiteral("over")) {
            source.write("release\n");
            source.waitForBytesWritten(5000);
        }

        const bool received = target.waitForFinished(40000);
        const QString targetOutput = QString::fromUtf8(target.readAllStandardOutput());
        const QString targetErrors = QString::fromUtf8(target.readAllStandardError());
        source.closeWriteChannel();
        const bool sourceEnded = source.waitForFinished(10000);
        if (!sourceEnded)
            source.kill();
        const QString sourceOutput = QString::fromUtf8(source.readAllStandardOutput());
        const QString sourceErrors = QString::fromUtf8(source.readAllStandardError());
        xvfb.terminate();
        xvfb.waitForFinished(5000);
        const QString report =
            QStringLiteral("target:\n%1\n%2%3\nsource:\n%4%5")
                .arg(over, targetOutput, targetErrors, sourceOutput, sourceErrors);
        QVERIFY2(over == QStringLiteral("over"), qPrintable(report));
        QVERIFY2(received && target.exitCode() == 0, qPrintable(report));
        QVERIFY2(sourceEnded && source.exitCode() == 0, qPrintable(report));

        PacketStore sample;
        QVERIFY(LoadCaptureFile(kSample, sample).ok);
        QStringList expected;
        for (int i = 0; i < sample.Count(); ++i)
            expected << QStringLiteral("row ") + DescribePacket(*sample.At(i));
        if (large) {
            for (int k = 0; k < kLargeCount; ++k)
                expected << QStringLiteral("row ") + DescribePacket(*LargeFrame(k));
        } else {
            for (int row : kSampleRows)
                expected << QStringLiteral("row ") + DescribePacket(*sample.At(row));
        }
        expected << QStringLiteral("selected 0") << QStringLiteral("active target");
        QCOMPARE(targetOutput.trimmed().split(QLatin1Char('\n')), expected);
        QCOMPARE(sourceOutput.trimmed(), QStringLiteral("drag ended, source %1 rows, drag source 0")
                                             .arg(large ? kLargeCount : sample.Count()));
    }
};

int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!kestrel::test::UsePrivateFolders(home))
        return 2;
    QApplication application(argc, argv);
    InstallFontSubstitutions();
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 2 && arguments[1] == QStringLiteral("--drop-target"))
        return RunDropTarget();
    if (arguments.size() == 5 && arguments[1] == QStringLiteral("--drag-source"))
        return RunDragSource(arguments[2] == QStringLiteral("large"),
                             QPoint(arguments[3].toInt(), arguments[4].toInt()));
    CrossProcessDropTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "cross_process_drop_test.moc"
