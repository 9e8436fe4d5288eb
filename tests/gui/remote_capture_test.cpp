// Capture documents that fill from somewhere else than an adapter of this
// machine: an adapter of another machine, over a real OpenSSH server on
// 127.0.0.1, and a pcap stream on a FIFO; and the remote hosts kept in the
// settings.
#include <unistd.h>
#include <QMdiSubWindow>
#include <QMenu>
#include <QtTest>

#include "capture/remote.h"
#include "core/byte_reader.h"
#include "core/text_helpers.h"
#include "framework/command_ids.h"
#include "framework/kestrel_doc.h"
#include "framework/menu_builder.h"
#include "gui_test_util.h"
#include "list/packet_list.h"
#include "loopback_udp.h"
#include "scripted_adapters.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"
#include "shell/remote_hosts.h"
#include "test_util.h"

namespace kestrel {

namespace {

QStringList MenuTexts(QMenu* popup) {
    QStringList texts;
    for (const QAction* action : popup->actions()) texts.append(action->text());
    return texts;
}

}  // namespace

class RemoteCaptureTest : public QObject {
    Q_OBJECT

private slots:
    void init() { test::ClearProfile(); }
    void cleanup() { test::ProcessDeletions(); }

    void remoteHostsAreKeptInTheSettings() {
        QString error;
        QVERIFY(RememberRemoteHost("box", false, error));
        QVERIFY(RememberRemoteHost("admin@router:2222", true, error));
        QVERIFY(!RememberRemoteHost("-oProxyCommand=x", false, error));
        QVERIFY(error.contains("-oProxyCommand=x"));
        std::vector<RemoteHost> hosts = RememberedRemoteHosts();
        QCOMPARE(hosts.size(), 2u);
        QCOMPARE(hosts[0].spec, std::string("box"));
        QVERIFY(!hosts[0].sudo);
        QCOMPARE(hosts[1].host, std::string("router"));
        QVERIFY(hosts[1].sudo);
        // Added again: its sudo choice changes, its place does not.
        QVERIFY(RememberRemoteHost("box", true, error));
        QVERIFY(RememberedRemoteHosts()[0].sudo);
        QVERIFY(ForgetRemoteHost("box"));
        QVERIFY(!ForgetRemoteHost("box"));
        hosts = RememberedRemoteHosts();
        QCOMPARE(hosts.size(), 1u);
        QCOMPARE(hosts[0].spec, std::string("admin@router:2222"));
    }

    void liveStreamFillsACaptureDocument() {
        test::ScriptedAdapters adapters(1);
        test::TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        test::TempDir dir;
        const auto fifo = dir.File("live");
        std::thread writer = test::FeedFifo(fifo, test::PcapStream(3));
        CChildFrame* frame = app->MainFrame()->OpenLiveStream(fifo.string());
        QVERIFY(frame);
        QVERIFY(frame->IsCaptureDocument());
        QCOMPARE(frame->GetDocument()->GetTitle(), QString::fromStdString(fifo.string()));
        QTRY_COMPARE(frame->GetDocument()->Store().Count(), 3);
        writer.join();
        // The stream's end ends the capture; the document keeps what came.
        QTRY_COMPARE(frame->GetCaptureState(), kCaptureIdle);
        QCOMPARE(app->MainFrame()->Engine().GetNameList().back(), fifo.string());
        QVERIFY(app.prompter->messages.empty());
        // A FIFO takes a new writer at every start.
        CommandState start;
        QVERIFY(app->MainFrame()->RouteUpdate(cmd::kCaptureStart, start));
        QVERIFY(start.enabled);
    }

    // A stream that can be read only once (standard input, a file): once it
    // has ended, キャプチャー→開始 is greyed, in the menu bar and in the
    // list's menu, and the adapter is offered no more.
    void streamReadOnceCannotStartAgain() {
        test::ScriptedAdapters adapters(1);
        test::TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* mainFrame = app->MainFrame();
        test::TempDir dir;
        const auto file = dir.File("stream.pcap");
        test::WriteFileBytes(file, test::PcapStream(3));
        CChildFrame* frame = mainFrame->OpenLiveStream(file.string());
        QVERIFY(frame);
        QTRY_COMPARE(frame->GetDocument()->Store().Count(), 3);
        QTRY_VERIFY(frame->GetCaptureState() != kCaptureCapturing);
        QVERIFY(app.prompter->messages.empty());
        for (int id : {cmd::kCaptureStart, cmd::kCaptureStop}) {
            CommandState state;
            QVERIFY(mainFrame->RouteUpdate(id, state));
            QVERIFY2(!state.enabled, qPrintable(QString::number(id)));
        }
        QVERIFY(!mainFrame->RouteCommand(cmd::kCaptureStart));
        std::unique_ptr<QMenu> menu(frame->ListPane()->CreateContextMenu());
        bool listStartGreyed = false;
        for (const QAction* action : menu->actions()) {
            if (CommandIdOf(action) == cmd::kListCaptureStart)
                listStartGreyed = !action->isEnabled();
        }
        QVERIFY(listStartGreyed);
        menu.reset();
        // Asked all the same (from a menu shown before the end): it says why.
        frame->StartCaptureCommand();
        QCOMPARE(app.prompter->messages.size(), size_t{1});
        QVERIFY(app.prompter->messages[0].text.contains(QString::fromStdString(file.string())));
        QVERIFY(frame->SubWindow()->close());
        test::ProcessDeletions();
        QMenu popup;
        mainFrame->FillAdapterMenu(&popup);
        QVERIFY(MenuTexts(&popup).filter(QString::fromStdString(file.string())).isEmpty());
    }

    void remoteAdapterCapturesIntoADocumentOverSsh() {
        if (geteuid() != 0)
            QSKIP("the far side captures as this user: needs root");
        const test::SshServer server;
        if (!server.Usable())
            QSKIP(server.Why().c_str());
        qputenv("KESTREL_SSH", QByteArray::fromStdString(server.SshCommand()));
        test::ScriptedAdapters adapters(1);
        test::TestApp app(adapters.Api());
        QVERIFY(app->InitInstance({}));
        CMainFrame* mainFrame = app->MainFrame();
        RemoteHost host;
        std::string error;
        QVERIFY(ParseRemoteHost("127.0.0.1", false, host, error));
        mainFrame->ListRemoteAdapters({host});
        QVERIFY(mainFrame->RemoteListingPending());
        QTRY_VERIFY_WITH_TIMEOUT(!mainFrame->RemoteListingPending(), 10000);
        const std::string name = "127.0.0.1@127.0.0.1";
        if (mainFrame->Engine().GetCaptureState(name) == kCaptureUnknown)
            QSKIP("the far side lists no 127.0.0.1 adapter");

        // Offered after the local adapters.
        QMenu popup;
        mainFrame->FillAdapterMenu(&popup);
        const QStringList texts = MenuTexts(&popup);
        QVERIFY(texts.indexOf(QString::fromStdString(test::ScriptedAdapters::Name(0)) + "(&A)") ==
                0);
        QVERIFY(texts.filter(QString::fromStdString(name)).size() == 1);

        // A capture document like any other: start, frames, stop.
        CChildFrame* frame = mainFrame->OpenDevice(name);
        QVERIFY(frame);
        QCOMPARE(frame->GetDocument()->GetTitle(), QString::fromStdString(name));
        QVERIFY(mainFrame->RouteCommand(cmd::kCaptureStart));
        QCOMPARE(frame->GetCaptureState(), kCaptureCapturing);
        const test::LoopbackUdp udp;
        const PacketStore& store = frame->GetDocument()->Store();
        int sent = 0;
        QTRY_VERIFY_WITH_TIMEOUT((udp.Send("kestrel remote " + std::to_string(sent++)),
                                  test::UdpPayloadsTo(store, udp.Port()).size() >= 5),
                                 10000);
        QVERIFY(mainFrame->RouteCommand(cmd::kCaptureStop));
        QTRY_COMPARE_WITH_TIMEOUT(frame->GetCaptureState(), kCaptureIdle, 5000);
        mainFrame->Engine().WaitForCapture(name);
        QVERIFY2(app.prompter->messages.empty(),
                 app.prompter->messages.empty() ? "" : qPrintable(app.prompter->messages[0].text));

        // Not one frame of the ssh connection that carried the stream.
        for (int i = 0; i < store.Count(); ++i) {
            const IpSummary ip = SummarizeIpPacket(ByteReader(*store.At(i)));
            if (ip.protocol == kIpProtocolTcp) {
                QVERIFY(ip.sourcePort != server.Port());
                QVERIFY(ip.destinationPort != server.Port());
            }
        }
        qunsetenv("KESTREL_SSH");
    }
};

}  // namespace kestrel

KESTREL_GUI_TEST_MAIN(kestrel::RemoteCaptureTest)
#include "remote_capture_test.moc"
