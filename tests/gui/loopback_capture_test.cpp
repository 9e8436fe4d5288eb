// The desktop program capturing on the real loopback adapter, when this
// process may capture (root; skipped otherwise): a burst reaches the
// document whole, with no drop reported; a burst larger than the store
// fills it with the frames from the first on, and the capture stops. Each
// prints what it kept, for runs beside tcpdump.
#include <unistd.h>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "framework/kestrel_doc.h"
#include "gui_test_util.h"
#include "loopback_udp.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"

namespace kestrel {

namespace {

constexpr const char* kLoopback = "127.0.0.1";

// The numbers of the datagrams "<tag><number>" to `port` in the store, in
// store order.
std::vector<int> Numbers(const PacketStore& store, uint16_t port, const std::string& tag) {
    std::vector<int> numbers;
    for (const std::string& payload : test::UdpPayloadsTo(store, port)) {
        if (payload.rfind(tag, 0) == 0)
            numbers.push_back(std::stoi(payload.substr(tag.size())));
    }
    return numbers;
}

}  // namespace

class LoopbackCaptureTest : public QObject {
    Q_OBJECT

private slots:
    void init() { test::ClearProfile(); }
    void cleanup() { test::ProcessDeletions(); }

    void burstReachesTheDocumentWhole() { Burst(5000); }

    void burstBeyondTheStoreFillsItFromTheFirstFrame() { Burst(50000); }

private:
    // Opens the loopback adapter's window, starts it, sends `count`
    // datagrams as fast as this thread can, and stops the capture (or lets
    // a full store stop it).
    void Burst(int count) {
        if (geteuid() != 0)
            QSKIP("capturing needs root");
        test::TestApp app;
        QVERIFY(app->InitInstance({}));
        CMainFrame* frame = app->MainFrame();
        const auto& names = frame->Engine().GetNameList();
        if (std::find(names.begin(), names.end(), kLoopback) == names.end())
            QSKIP("no adapter named 127.0.0.1");
        CChildFrame* child = frame->OpenDevice(kLoopback);
        QVERIFY(child);
        std::string reason;
        if (!child->StartCapture(&reason))
            QSKIP(qPrintable(QString::fromStdString("cannot capture here: " + reason)));
        const test::LoopbackUdp udp;
        QVERIFY(udp.Ok());
        const std::string tag = "kestrel desktop " + std::to_string(getpid()) + " #";
        for (int i = 0; i < count; ++i) udp.Send(tag + std::to_string(i));

        const PacketStore& store = child->GetDocument()->Store();
        if (count < PacketStore::kCapacity) {
            child->StopCapture();
        } else {
            // The store fills: the list stops the capture about a second later.
            QTRY_COMPARE_WITH_TIMEOUT(child->GetCaptureState(), kCaptureIdle, 20000);
        }
        frame->Engine().WaitForCapture(kLoopback);
        QCoreApplication::processEvents();
        const std::vector<int> kept = Numbers(store, udp.Port(), tag);
        std::printf("kept %zu of %d datagrams (port %u); the store holds %d\n", kept.size(), count,
                    udp.Port(), store.Count());
        if (count < PacketStore::kCapacity) {
            QCOMPARE(static_cast<int>(kept.size()), count);
        } else {
            // Full, with no gap: other programs' loopback frames may be among them.
            QCOMPARE(store.Count(), PacketStore::kCapacity);
            QVERIFY(kept.size() > PacketStore::kCapacity * 9 / 10);
        }
        std::vector<int> expected(kept.size());
        std::iota(expected.begin(), expected.end(), 0);
        QVERIFY2(kept == expected, "the datagrams kept are not the first ones, in order");
        // No kernel drops to report.
        QVERIFY(app.prompter->messages.empty());
    }
};

}  // namespace kestrel

KESTREL_GUI_TEST_MAIN(kestrel::LoopbackCaptureTest)
#include "loopback_capture_test.moc"
