// Resource checks: documents opened and closed again and again leave no
// thread and no memory behind (LeakSanitizer checks the memory in the
// sanitizer run of the suite).
#include <QMdiSubWindow>

#include <fstream>
#include <string>

#include "framework/kestrel_doc.h"
#include "gui_test_util.h"
#include "list/packet_list.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"

using namespace kestrel;
using kestrel::test::TestApp;

namespace {

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

}  // namespace

class ResourceTest : public QObject {
    Q_OBJECT
private slots:
    void hundredDocumentsOfARealCapture() {
        const QString path = QStringLiteral(KESTREL_CORPUS_DIR "/tcp.pcap");
        TestApp app;
        QVERIFY(app->InitInstance({}));
        int threads = -1;
        for (int round = 0; round < 100; ++round) {
            CChildFrame* child = app->OpenDocumentFile(path);
            QVERIFY(child);
            QCOMPARE(child->GetDocument()->Store().Count(), 36);
            // Rows, a selection (tree and dump), then the window goes.
            child->ListPane()->ShowPendingRows();
            child->ListPane()->ShowPendingRows();
            QCOMPARE(child->ListPane()->RowCount(), 36);
            child->ListPane()->selectRow(round % 36);
            QVERIFY(child->SubWindow()->close());
            test::ProcessDeletions();
            QVERIFY(app->MainFrame()->ChildFrames().isEmpty());
            if (round == 0) threads = ThreadCount();
        }
        QCOMPARE(ThreadCount(), threads);
        QVERIFY(app.prompter->messages.empty());
    }
};

KESTREL_GUI_TEST_MAIN(ResourceTest)
#include "resource_test.moc"
