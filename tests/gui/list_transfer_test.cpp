// Packets leaving a list: extraction into a new "抽出データ" window through
// the dialog's conditions, and dragging rows from one document's list onto
// another's, in real document windows of a main frame.
#include <sys/resource.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/packet.h"
#include "core/transfer_payload.h"
#include "framework/command_ids.h"
#include "framework/kestrel_doc.h"
#include "gui_test_util.h"
#include "list/extract_dialog.h"
#include "list/packet_list.h"
#include "list/packet_transfer.h"
#include "shell/child_frame.h"
#include "shell/main_frame.h"
#include "tests/own_allocator.h"

using namespace kestrel;
using kestrel::test::TestApp;

namespace {

constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;

std::vector<uint8_t> Ethernet(uint16_t type) {
    std::vector<uint8_t> frame = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                  0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};
    frame.push_back(static_cast<uint8_t>(type >> 8));
    frame.push_back(static_cast<uint8_t>(type));
    return frame;
}

void PutAddress(std::vector<uint8_t>& frame, const std::array<uint8_t, 4>& address) {
    frame.insert(frame.end(), address.begin(), address.end());
}

// An IPv4 frame from `source` to `destination`; TCP and UDP carry the two
// ports, ICMP an echo request.
std::vector<uint8_t> Ipv4Frame(std::array<uint8_t, 4> source, std::array<uint8_t, 4> destination,
                               uint8_t protocol, uint16_t sourcePort = 0,
                               uint16_t destinationPort = 0) {
    std::vector<uint8_t> frame = Ethernet(0x0800);
    const size_t transport = protocol == kProtoTcp ? 20 : 8;
    const size_t total = 20 + transport;
    const uint8_t header[] = {0x45,
                              0,
                              static_cast<uint8_t>(total >> 8),
                              static_cast<uint8_t>(total),
                              0,
                              1,
                              0,
                              0,
                              64,
                              protocol,
                              0,
                              0};
    frame.insert(frame.end(), std::begin(header), std::end(header));
    PutAddress(frame, source);
    PutAddress(frame, destination);
    if (protocol == kProtoIcmp) {
        const uint8_t echo[] = {8, 0, 0xf7, 0xff, 0, 1, 0, 1};
        frame.insert(frame.end(), std::begin(echo), std::end(echo));
        return frame;
    }
    frame.push_back(static_cast<uint8_t>(sourcePort >> 8));
    frame.push_back(static_cast<uint8_t>(sourcePort));
    frame.push_back(static_cast<uint8_t>(destinationPort >> 8));
    frame.push_back(static_cast<uint8_t>(destinationPort));
    frame.resize(frame.size() + transport - 4, 0);
    if (protocol == kProtoTcp)
        frame[14 + 20 + 12] = 0x50;  // data offset 5
    return frame;
}

std::vector<uint8_t> ArpFrame(std::array<uint8_t, 4> sender, std::array<uint8_t, 4> target) {
    std::vector<uint8_t> frame = Ethernet(0x0806);
    const uint8_t fixed[] = {0, 1, 8, 0, 6, 4, 0, 1, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};
    frame.insert(frame.end(), std::begin(fixed), std::end(fixed));
    PutAddress(frame, sender);
    frame.insert(frame.end(), 6, 0);
    PutAddress(frame, target);
    return frame;
}

std::vector<uint8_t> Ipv6Frame() {
    std::vector<uint8_t> frame = Ethernet(0x86dd);
    const uint8_t header[] = {0x60, 0, 0, 0, 0, 0, 0x3a, 0x40};
    frame.insert(frame.end(), std::begin(header), std::end(header));
    return frame;
}

// Appends a packet whose capture second is its tag.
void Append(CChildFrame* frame, const std::vector<uint8_t>& bytes, uint32_t tag) {
    const PacketHeader header{tag, 0, static_cast<uint32_t>(bytes.size()),
                              static_cast<uint32_t>(bytes.size())};
    frame->ListPane()->AppendPacket(MakePacket(header, bytes.data()));
}

// Appends a UDP frame filled up to `size` bytes with `fill`.
void AppendPadded(CChildFrame* frame, uint32_t size, uint8_t fill, uint32_t tag) {
    std::vector<uint8_t> bytes = Ipv4Frame({10, 0, 0, 1}, {10, 0, 0, 2}, kProtoUdp, 1, 2);
    bytes.resize(size, fill);
    Append(frame, bytes, tag);
}

std::vector<uint32_t> Tags(const CChildFrame* frame) {
    std::vector<uint32_t> tags;
    const PacketStore& store = frame->GetDocument()->Store();
    for (int i = 0; i < store.Count(); ++i) tags.push_back(store.At(i)->header->tv_sec);
    return tags;
}

// The rows of the extraction tests, tagged by their row index:
//  0 UDP  192.168.0.1:1000 -> 10.0.0.9:53
//  1 UDP  10.0.0.2:1000    -> 10.0.0.3:53
//  2 TCP  192.168.0.1:80   -> 10.0.0.5:2000
//  3 TCP  10.0.0.7:80      -> 10.0.0.5:3000
//  4 ICMP 10.0.0.8         -> 10.0.0.5
//  5 ARP  192.168.0.1      -> 10.0.0.99
//  6 TCP  10.0.0.2:1024    -> 10.0.0.3:8080
void FillExtractionRows(CChildFrame* frame) {
    Append(frame, Ipv4Frame({192, 168, 0, 1}, {10, 0, 0, 9}, kProtoUdp, 1000, 53), 0);
    Append(frame, Ipv4Frame({10, 0, 0, 2}, {10, 0, 0, 3}, kProtoUdp, 1000, 53), 1);
    Append(frame, Ipv4Frame({192, 168, 0, 1}, {10, 0, 0, 5}, kProtoTcp, 80, 2000), 2);
    Append(frame, Ipv4Frame({10, 0, 0, 7}, {10, 0, 0, 5}, kProtoTcp, 80, 3000), 3);
    Append(frame, Ipv4Frame({10, 0, 0, 8}, {10, 0, 0, 5}, kProtoIcmp), 4);
    Append(frame, ArpFrame({192, 168, 0, 1}, {10, 0, 0, 99}), 5);
    Append(frame, Ipv4Frame({10, 0, 0, 2}, {10, 0, 0, 3}, kProtoTcp, 1024, 8080), 6);
    frame->ListPane()->ShowPendingRows();
}

bool Choose(QComboBox* combo, const char* text) {
    const int index = combo->findText(QString::fromUtf8(text), Qt::MatchExactly);
    if (index < 0)
        return false;
    combo->setCurrentIndex(index);
    return true;
}

// Chooses the four fields and presses "追加".
bool AddCondition(CExtractDialog& dialog, const char* sourceIp, const char* destinationIp,
                  const char* sourcePort, const char* destinationPort) {
    if (!Choose(dialog.SourceIpCombo(), sourceIp) ||
        !Choose(dialog.DestinationIpCombo(), destinationIp) ||
        !Choose(dialog.SourcePortCombo(), sourcePort) ||
        !Choose(dialog.DestinationPortCombo(), destinationPort))
        return false;
    dialog.AddButton()->click();
    return true;
}

using Condition = std::array<const char*, 4>;

// Runs the extraction command with a dialog that adds `conditions` and
// presses "抽出"; returns the window it opened, or nullptr.
CChildFrame* Extract(TestApp& app, CChildFrame* source, const std::vector<Condition>& conditions) {
    bool added = true;
    source->ListPane()->ExtractDialog()->SetRunner([&](CExtractDialog& dialog) {
        for (const Condition& c : conditions)
            added = AddCondition(dialog, c[0], c[1], c[2], c[3]) && added;
        dialog.OkButton()->click();
        return dialog.result();
    });
    const int before = static_cast<int>(app->MainFrame()->ChildFrames().size());
    source->ListPane()->OnCommand(cmd::kListExtract);
    if (!added)
        return nullptr;
    const QList<CChildFrame*> frames = app->MainFrame()->ChildFrames();
    return frames.size() > before ? frames.last() : nullptr;
}

// Lowers the address space the process may use to what it uses now plus
// `headroom`, for the life of the object: larger allocations fail.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(size_t headroom) {
        getrlimit(RLIMIT_AS, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = AddressSpaceInUse() + headroom;
        setrlimit(RLIMIT_AS, &lowered);
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &m_saved); }
    AddressSpaceLimit(const AddressSpaceLimit&) = delete;
    AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;

private:
    static size_t AddressSpaceInUse() {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("VmSize:"))
                    return line.mid(7).trimmed().split(' ').first().toULongLong() * 1024;
            }
        }
        return 0;
    }
    rlimit m_saved{};
};

struct DropOutcome {
    bool entered = false;
    bool moved = false;
    bool dropped = false;
    Qt::DropAction action = Qt::IgnoreAction;
};

// Delivers a drag over and a drop onto a list as the system drag would.
DropOutcome Deliver(CPacketList* target, const QMimeData* data, Qt::KeyboardModifiers modifiers) {
    DropOutcome outcome;
    QWidget* viewport = target->viewport();
    const QPoint point = viewport->rect().center();
    QDragEnterEvent enter(point, Qt::CopyAction, data, Qt::LeftButton, modifiers);
    QCoreApplication::sendEvent(viewport, &enter);
    outcome.entered = enter.isAccepted();
    QDragMoveEvent move(point, Qt::CopyAction, data, Qt::LeftButton, modifiers);
    QCoreApplication::sendEvent(viewport, &move);
    outcome.moved = move.isAccepted();
    QDropEvent drop(QPointF(point), Qt::CopyAction, data, Qt::LeftButton, modifiers);
    QCoreApplication::sendEvent(viewport, &drop);
    outcome.dropped = drop.isAccepted();
    outcome.action = drop.dropAction();
    return outcome;
}

void SelectRows(CPacketList* list, const std::vector<int>& rows) {
    list->clearSelection();
    for (int row : rows)
        list->selectionModel()->select(list->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

}  // namespace

class ListTransferTest : public QObject {
    Q_OBJECT
private slots:
    void init() { test::ClearProfile(); }
    void cleanup() { test::ProcessDeletions(); }

    void dialogLayoutAndTexts() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* source = app->OnFileNew();
        CExtractDialog* dialog = source->ListPane()->ExtractDialog();
        dialog->OnInitDialog();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("抽出"));
        QVERIFY(dialog->isModal());
        QCOMPARE(dialog->AddButton()->text(), QStringLiteral("追加"));
        QCOMPARE(dialog->DeleteButton()->text(), QStringLiteral("削除"));
        QCOMPARE(dialog->OkButton()->text(), QStringLiteral("抽出"));
        QVERIFY(dialog->OkButton()->isDefault());
        QCOMPARE(dialog->CancelButton()->text(), QStringLiteral("ｷｬﾝｾﾙ"));
        QStringList labels;
        for (const QLabel* label : dialog->findChildren<QLabel*>()) labels.append(label->text());
        QCOMPARE(labels, (QStringList{"送信元", "宛て先", "送信元", "宛て先"}));
        QStringList groups;
        for (const QGroupBox* box : dialog->findChildren<QGroupBox*>()) groups.append(box->title());
        QCOMPARE(groups, (QStringList{"IPｱﾄﾞﾚｽ", "ﾎﾟｰﾄ番号"}));
        QTableWidget* list = dialog->ConditionList();
        QCOMPARE(list->objectName(), QStringLiteral("control1005"));
        QCOMPARE(dialog->SourceIpCombo()->objectName(), QStringLiteral("control1001"));
        QCOMPARE(dialog->SourcePortCombo()->objectName(), QStringLiteral("control1003"));
        QCOMPARE(list->columnCount(), 4);
        const QStringList titles = {"SrcIP", "DstIP", "SrcPort", "DstPort"};
        const int widths[] = {100, 100, 60, 60};
        for (int c = 0; c < 4; ++c) {
            QCOMPARE(list->horizontalHeaderItem(c)->text(), titles[c]);
            QCOMPARE(list->columnWidth(c), widths[c]);
        }
        QVERIFY(list->showGrid());
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        // The layout keeps the resource's order: address lists above the
        // port lists, the condition list below the buttons, 抽出 left of ｷｬﾝｾﾙ.
        QVERIFY(dialog->SourceIpCombo()->y() < dialog->SourcePortCombo()->y());
        QVERIFY(dialog->SourceIpCombo()->x() < dialog->DestinationIpCombo()->x());
        QVERIFY(dialog->AddButton()->geometry().bottom() < list->y());
        QVERIFY(list->geometry().bottom() < dialog->OkButton()->y());
        QVERIFY(dialog->OkButton()->x() < dialog->CancelButton()->x());
        QVERIFY(dialog->rect().contains(dialog->CancelButton()->geometry()));
    }

    // Enter presses the focused button ("追加" adds, "ｷｬﾝｾﾙ" cancels) and
    // "抽出" elsewhere; the drop-down lists show their longest address whole.
    void dialogEnterKeyAndDropDownWidths() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CExtractDialog* dialog = app->OnFileNew()->ListPane()->ExtractDialog();
        std::array<QString, kColumnCount> cells;
        cells[kColumnSourceIp] = QStringLiteral("239.255.255.250");
        cells[kColumnDestinationIp] = QStringLiteral("10.0.0.1");
        cells[kColumnSourcePort] = QStringLiteral("65535");
        dialog->AddRowValues(cells);
        dialog->OnInitDialog();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));

        QComboBox* combo = dialog->SourceIpCombo();
        // The box itself is wide enough for the widest address.
        QComboBox widest;
        widest.setFont(combo->font());
        widest.addItem(QStringLiteral("255.255.255.255"));
        for (const QComboBox* box : dialog->findChildren<QComboBox*>())
            QVERIFY(box->width() >= widest.sizeHint().width());
        QVERIFY(dialog->rect().contains(dialog->DestinationIpCombo()->geometry()));
        combo->showPopup();
        QWidget* popup = combo->view()->window();
        QVERIFY(popup->isVisible());
        QVERIFY(combo->view()->viewport()->width() >= combo->view()->sizeHintForColumn(0));
        combo->hidePopup();

        combo->setCurrentIndex(0);
        dialog->AddButton()->setFocus();
        QTest::keyClick(dialog->AddButton(), Qt::Key_Return);
        QCOMPARE(dialog->ConditionList()->rowCount(), 1);
        QVERIFY(dialog->isVisible());
        dialog->CancelButton()->setFocus();
        QTest::keyClick(dialog->CancelButton(), Qt::Key_Return);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QVERIFY(dialog->Conditions().empty());

        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        dialog->DestinationIpCombo()->setFocus();
        QTest::keyClick(dialog->DestinationIpCombo(), Qt::Key_Return);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(dialog->Conditions().size(), size_t(1));
    }

    void nonIpListOffersOnlyAll() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* source = app->OnFileNew();
        Append(source, ArpFrame({10, 0, 0, 1}, {10, 0, 0, 2}), 0);
        Append(source, Ipv6Frame(), 1);
        source->ListPane()->ShowPendingRows();
        QCOMPARE(source->ListPane()->RowCount(), 2);
        int conditionRows = -1;
        source->ListPane()->ExtractDialog()->SetRunner([&](CExtractDialog& dialog) {
            for (int field = 0; field < 4; ++field)
                if (dialog.ComboTexts(field) != QStringList{"ALL"})
                    return int(QDialog::Rejected);
            dialog.AddButton()->click();
            conditionRows = dialog.ConditionList()->rowCount();
            dialog.OkButton()->click();
            return dialog.result();
        });
        const int before = static_cast<int>(app->MainFrame()->ChildFrames().size());
        QVERIFY(source->ListPane()->OnCommand(cmd::kListExtract));
        QCOMPARE(conditionRows, 0);
        QCOMPARE(app->MainFrame()->ChildFrames().size(), before);
        QVERIFY(source->ListPane()->ExtractDialog()->Conditions().empty());
    }

    void conditionsSelectRowsOnce() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* source = app->OnFileNew();
        FillExtractionRows(source);
        CExtractDialog* dialog = source->ListPane()->ExtractDialog();
        dialog->OnInitDialog();
        // Sorted as text, each once, "ALL" last; ARP rows offer nothing.
        QCOMPARE(dialog->ComboTexts(0),
                 (QStringList{"10.0.0.2", "10.0.0.7", "10.0.0.8", "192.168.0.1", "ALL"}));
        QCOMPARE(dialog->ComboTexts(1), (QStringList{"10.0.0.3", "10.0.0.5", "10.0.0.9", "ALL"}));
        QCOMPARE(dialog->ComboTexts(2), (QStringList{"1000", "1024", "80", "ALL"}));
        QCOMPARE(dialog->ComboTexts(3), (QStringList{"2000", "3000", "53", "8080", "ALL"}));
        QCOMPARE(dialog->SourceIpCombo()->currentText(), QStringLiteral("ALL"));

        // From 192.168.0.1 (the ARP row too) or to port 53: row 0 matches
        // both and is copied once, all in source order.
        CChildFrame* union_ = Extract(
            app, source, {{"192.168.0.1", "ALL", "ALL", "ALL"}, {"ALL", "ALL", "ALL", "53"}});
        QVERIFY(union_);
        QCOMPARE(union_->GetDocument()->GetTitle(), QStringLiteral("抽出データ"));
        QCOMPARE(union_->GetDocument()->GetDocTemplate()->Position(), CKestrelApp::kFileTemplate);
        QCOMPARE(Tags(union_), (std::vector<uint32_t>{0, 1, 2, 5}));
        // Copies, not the source's packets; the source keeps its rows.
        const Packet* copy = union_->GetDocument()->Store().At(0);
        const Packet* original = source->GetDocument()->Store().At(0);
        QVERIFY(copy != original && copy->data != original->data);
        QCOMPARE(
            QByteArray(reinterpret_cast<const char*>(copy->data), copy->header->caplen),
            QByteArray(reinterpret_cast<const char*>(original->data), original->header->caplen));
        QCOMPARE(source->GetDocument()->Store().Count(), 7);
        union_->ListPane()->ShowPendingRows();
        QCOMPARE(union_->ListPane()->model()->index(3, kColumnNumber).data().toString(),
                 QStringLiteral("4"));

        // To 10.0.0.5 from port 80: the ICMP row to 10.0.0.5 has no port.
        CChildFrame* port = Extract(app, source, {{"ALL", "10.0.0.5", "80", "ALL"}});
        QVERIFY(port);
        QCOMPARE(Tags(port), (std::vector<uint32_t>{2, 3}));

        // The same condition twice: two rows, the same result as once.
        int listed = 0;
        source->ListPane()->ExtractDialog()->SetRunner([&](CExtractDialog& d) {
            AddCondition(d, "ALL", "10.0.0.3", "ALL", "ALL");
            AddCondition(d, "ALL", "10.0.0.3", "ALL", "ALL");
            listed = d.ConditionList()->rowCount();
            d.OkButton()->click();
            return d.result();
        });
        source->ListPane()->OnCommand(cmd::kListExtract);
        QCOMPARE(listed, 2);
        QCOMPARE(Tags(app->MainFrame()->ChildFrames().last()), (std::vector<uint32_t>{1, 6}));

        // No row matches: no window.
        const int windows = static_cast<int>(app->MainFrame()->ChildFrames().size());
        QVERIFY(!Extract(app, source, {{"10.0.0.8", "ALL", "80", "ALL"}}));
        QCOMPARE(app->MainFrame()->ChildFrames().size(), windows);
        // An empty condition list finds nothing either; cancel does nothing.
        QVERIFY(!Extract(app, source, {}));
        source->ListPane()->ExtractDialog()->SetRunner([&](CExtractDialog& d) {
            AddCondition(d, "10.0.0.2", "ALL", "ALL", "ALL");
            d.CancelButton()->click();
            return d.result();
        });
        source->ListPane()->OnCommand(cmd::kListExtract);
        QCOMPARE(app->MainFrame()->ChildFrames().size(), windows);
        QVERIFY(source->ListPane()->ExtractDialog()->Conditions().empty());

        if (const QByteArray shots = qgetenv("KESTREL_SHOTS_DIR"); !shots.isEmpty()) {
            bool saved = false;
            source->ListPane()->ExtractDialog()->SetRunner([&](CExtractDialog& d) {
                AddCondition(d, "192.168.0.1", "ALL", "ALL", "ALL");
                AddCondition(d, "ALL", "10.0.0.5", "80", "ALL");
                d.show();
                if (QTest::qWaitForWindowExposed(&d))
                    saved = d.grab().save(QString::fromLocal8Bit(shots) + "/extract_dialog.png");
                d.CancelButton()->click();
                return d.result();
            });
            source->ListPane()->OnCommand(cmd::kListExtract);
            QVERIFY(saved);
        }
    }

    void valuesOutliveRowsAndPendingEntriesStayOut() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* source = app->OnFileNew();
        FillExtractionRows(source);
        // Row 6 (the only one to port 8080) is deleted: 8080 is still
        // offered, and a condition on it matches nothing.
        SelectRows(source->ListPane(), {6});
        source->ListPane()->DeleteSelectedPackets();
        QCOMPARE(source->ListPane()->RowCount(), 6);
        CExtractDialog* dialog = source->ListPane()->ExtractDialog();
        dialog->OnInitDialog();
        QVERIFY(dialog->ComboTexts(3).contains("8080"));
        const int windows = static_cast<int>(app->MainFrame()->ChildFrames().size());
        QVERIFY(!Extract(app, source, {{"ALL", "ALL", "ALL", "8080"}}));
        QCOMPARE(app->MainFrame()->ChildFrames().size(), windows);

        // A packet in the store that is not a row yet is not extracted.
        Append(source, Ipv4Frame({10, 0, 0, 2}, {10, 0, 0, 3}, kProtoUdp, 1000, 53), 7);
        QCOMPARE(source->GetDocument()->Store().Count(), 7);
        CChildFrame* result = Extract(app, source, {{"10.0.0.2", "ALL", "ALL", "ALL"}});
        QVERIFY(result);
        QCOMPARE(Tags(result), (std::vector<uint32_t>{1}));
    }

    void deletingSelectedConditions() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* source = app->OnFileNew();
        FillExtractionRows(source);
        CExtractDialog* dialog = source->ListPane()->ExtractDialog();
        dialog->OnInitDialog();
        QVERIFY(AddCondition(*dialog, "10.0.0.2", "ALL", "ALL", "ALL"));
        QVERIFY(AddCondition(*dialog, "10.0.0.7", "ALL", "ALL", "ALL"));
        QVERIFY(AddCondition(*dialog, "ALL", "10.0.0.9", "ALL", "ALL"));
        QVERIFY(AddCondition(*dialog, "ALL", "ALL", "80", "2000"));
        // Each addition puts the four lists back on "ALL".
        QCOMPARE(dialog->DestinationPortCombo()->currentText(), QStringLiteral("ALL"));
        // Nothing selected: nothing goes.
        dialog->ConditionList()->clearSelection();
        dialog->DeleteButton()->click();
        QCOMPARE(dialog->ConditionList()->rowCount(), 4);
        QTableWidget* list = dialog->ConditionList();
        list->selectionModel()->select(list->model()->index(0, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        list->selectionModel()->select(list->model()->index(2, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        dialog->DeleteButton()->click();
        const std::vector<ExtractCondition> left = dialog->ListedConditions();
        QCOMPARE(left.size(), size_t{2});
        QCOMPARE(left[0].fields, (std::array<QString, 4>{"10.0.0.7", "ALL", "ALL", "ALL"}));
        QCOMPARE(left[1].fields, (std::array<QString, 4>{"ALL", "ALL", "80", "2000"}));
        dialog->OkButton()->click();
        QCOMPARE(dialog->Conditions(), left);
        // A new opening starts with an empty condition list.
        dialog->OnInitDialog();
        QCOMPARE(dialog->ConditionList()->rowCount(), 0);
    }

    void dragCopiesRowsToAnotherList() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* a = app->OnFileNew();
        CChildFrame* b = app->OnFileNew();
        for (uint32_t i = 0; i < 9; ++i)
            Append(a, Ipv4Frame({10, 0, 0, 1}, {10, 0, 0, 2}, kProtoUdp, 1000 + i, 53), i + 1);
        Append(b, ArpFrame({10, 0, 0, 1}, {10, 0, 0, 2}), 100);
        a->ListPane()->ShowPendingRows();
        b->ListPane()->ShowPendingRows();
        SelectRows(b->ListPane(), {0});
        app->MainFrame()->MdiArea()->setActiveSubWindow(a->SubWindow());
        QCOMPARE(app->MainFrame()->ActiveChildFrame(), a);

        SelectRows(a->ListPane(), {1, 4, 8});  // rows 2, 5 and 9
        DropOutcome own;
        DropOutcome other;
        a->ListPane()->SetDragRunner([&](QWidget* source, QMimeData* data) {
            QCOMPARE(source, static_cast<QWidget*>(a->ListPane()));
            QVERIFY(a->ListPane()->IsDragSource());
            QVERIFY(data->hasFormat(kTransferMimeType));
            own = Deliver(a->ListPane(), data, Qt::NoModifier);
            other = Deliver(b->ListPane(), data, Qt::NoModifier);
            delete data;
        });
        a->ListPane()->BeginPacketDrag();
        QVERIFY(!a->ListPane()->IsDragSource());
        // The list refuses its own rows.
        QVERIFY(!own.entered && !own.moved && !own.dropped);
        QCOMPARE(Tags(a), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
        // The other list takes copies in row order and deselects its rows.
        QVERIFY(other.entered && other.moved && other.dropped);
        QCOMPARE(other.action, Qt::CopyAction);
        QCOMPARE(Tags(b), (std::vector<uint32_t>{100, 2, 5, 9}));
        QVERIFY(b->ListPane()->selectionModel()->selectedRows().isEmpty());
        QCOMPARE(app->MainFrame()->ActiveChildFrame(), b);
        QVERIFY(b->GetDocument()->Store().At(1) != a->GetDocument()->Store().At(1));
        b->ListPane()->ShowPendingRows();
        QCOMPARE(b->ListPane()->model()->index(3, kColumnNumber).data().toString(),
                 QStringLiteral("4"));
        QCOMPARE(b->ListPane()->model()->index(3, kColumnSourcePort).data().toString(),
                 QStringLiteral("1008"));

        // Ctrl held or not: the same copies, the source unchanged.
        app->MainFrame()->MdiArea()->setActiveSubWindow(a->SubWindow());
        SelectRows(a->ListPane(), {0});
        a->ListPane()->SetDragRunner([&](QWidget*, QMimeData* data) {
            other = Deliver(b->ListPane(), data, Qt::ControlModifier);
            delete data;
        });
        a->ListPane()->BeginPacketDrag();
        QVERIFY(other.dropped);
        QCOMPARE(other.action, Qt::CopyAction);
        QCOMPARE(Tags(b), (std::vector<uint32_t>{100, 2, 5, 9, 1}));
        QCOMPARE(a->GetDocument()->Store().Count(), 9);
        QCOMPARE(app->MainFrame()->ActiveChildFrame(), b);
    }

    void mouseDragOfSelectedRowsStartsTheTransfer() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* a = app->OnFileNew();
        for (uint32_t i = 0; i < 4; ++i)
            Append(a, Ipv4Frame({10, 0, 0, 1}, {10, 0, 0, 2}, kProtoUdp, 1, 2), i + 1);
        CPacketList* list = a->ListPane();
        list->ShowPendingRows();
        SelectRows(list, {1, 3});
        std::vector<uint32_t> carried;
        list->SetDragRunner([&](QWidget*, QMimeData* data) {
            if (const auto packets = ReadTransfer(data)) {
                for (const PacketPtr& packet : *packets) carried.push_back(packet->header->tv_sec);
            }
            delete data;
        });
        QWidget* viewport = list->viewport();
        const QPoint start = list->visualRect(list->model()->index(3, 1)).center();
        QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, start);
        // Moves with the button held: the first enters the dragging state,
        // the next one past the drag distance starts the drag.
        const QPoint end = start + QPoint(0, 40);
        for (const QPoint& point : {start + QPoint(0, 1), end}) {
            QMouseEvent move(QEvent::MouseMove, QPointF(point),
                             QPointF(viewport->mapToGlobal(point)), Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QCoreApplication::sendEvent(viewport, &move);
        }
        QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, end);
        QCOMPARE(carried, (std::vector<uint32_t>{2, 4}));
        QVERIFY(!list->IsDragSource());
    }

    void fullTargetTakesWhatFits() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* a = app->OnFileNew();
        CChildFrame* b = app->OnFileNew();
        for (uint32_t i = 0; i < 3; ++i)
            Append(a, Ipv4Frame({10, 0, 0, 1}, {10, 0, 0, 2}, kProtoUdp, 1, 2), 1 + i);
        const std::vector<uint8_t> filler = Ipv6Frame();
        for (int i = 0; i < PacketStore::kCapacity - 1; ++i) Append(b, filler, 0);
        a->ListPane()->ShowPendingRows();
        SelectRows(a->ListPane(), {0, 1, 2});
        a->ListPane()->SetDragRunner([&](QWidget*, QMimeData* data) {
            QVERIFY(Deliver(b->ListPane(), data, Qt::NoModifier).dropped);
            delete data;
        });
        a->ListPane()->BeginPacketDrag();
        const PacketStore& store = b->GetDocument()->Store();
        QCOMPARE(store.Count(), PacketStore::kCapacity);
        QCOMPARE(store.At(PacketStore::kCapacity - 1)->header->tv_sec, 1u);
        QCOMPARE(store.DiscardedCount(), uint64_t{2});
        QVERIFY(b->ListPane()->IsCapacityTimerArmed());
    }

    void dragCarriesPacketsOfAnySize() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* a = app->OnFileNew();
        CChildFrame* b = app->OnFileNew();
        // Above the largest snapshot length a capture library hands out.
        for (const uint32_t size : {262145u, 1u << 20}) AppendPadded(a, size, 0x5a, size);
        a->ListPane()->ShowPendingRows();
        SelectRows(a->ListPane(), {0, 1});
        a->ListPane()->SetDragRunner([&](QWidget*, QMimeData* data) {
            QVERIFY(Deliver(b->ListPane(), data, Qt::NoModifier).dropped);
            delete data;
        });
        a->ListPane()->BeginPacketDrag();
        QCOMPARE(Tags(b), (std::vector<uint32_t>{262145u, 1u << 20}));
        const PacketStore& store = b->GetDocument()->Store();
        QCOMPARE(store.At(1)->header->caplen, 1u << 20);
        QCOMPARE(store.At(1)->data[(1u << 20) - 1], uint8_t{0x5a});
    }

    // What another process receives: the payload inline only while one
    // request of any X server carries it, and a ticket whose socket serves
    // the packets until the drag data goes.
    void anotherProcessTakesThePacketsThroughTheTicket() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* a = app->OnFileNew();
        CChildFrame* b = app->OnFileNew();
        for (const uint32_t size : {60u, 1u << 20}) AppendPadded(a, size, 0x5a, size);
        const PacketStore& source = a->GetDocument()->Store();
        const std::vector<const Packet*> packets = {source.At(0), source.At(1)};
        std::unique_ptr<QMimeData> small(MakeTransferMimeData(std::span(packets).first(1)));
        std::unique_ptr<QMimeData> large(MakeTransferMimeData(packets));
        QCOMPARE(small->data(kTransferMimeType).size(), 12 + 16 + 60);
        QVERIFY(large->data(kTransferMimeType).isEmpty());
        // The drop data of another process: each format as the toolkit
        // hands it out there.
        const auto elsewhere = [](const QMimeData& data) {
            auto copy = std::make_unique<QMimeData>();
            for (const QString& format : data.formats()) copy->setData(format, data.data(format));
            return copy;
        };
        const auto largeElsewhere = elsewhere(*large);
        const auto smallElsewhere = elsewhere(*small);
        QVERIFY(b->ListPane()->DropPackets(largeElsewhere.get()));
        QCOMPARE(Tags(b), (std::vector<uint32_t>{60, 1u << 20}));
        QCOMPARE(b->GetDocument()->Store().At(1)->data[(1u << 20) - 1], uint8_t{0x5a});
        // With the drag data its socket is gone: the inline payload is all
        // that is left.
        small.reset();
        large.reset();
        QVERIFY(!b->ListPane()->DropPackets(largeElsewhere.get()));
        QVERIFY(b->ListPane()->DropPackets(smallElsewhere.get()));
        QCOMPARE(Tags(b), (std::vector<uint32_t>{60, 1u << 20, 60}));
    }

    // Memory for the packets of a drag cannot be had: no drag, no message,
    // nothing changed, and the list takes drops again; a drop that cannot
    // be held is refused whole.
    void allocationFailureMeansNoDrag() {
#if !KESTREL_OWN_ALLOCATOR
        QSKIP("a sanitizer's allocator aborts instead of failing an allocation");
#else
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* a = app->OnFileNew();
        CChildFrame* b = app->OnFileNew();
        // The last packet is larger than the heap the C library reserves for
        // a thread's allocations (64 MiB): a copy of it always needs new
        // address space, whatever memory earlier tests left free. (It is not
        // the first row selected alone, which the dump would show.)
        for (uint32_t i = 0; i < 3; ++i)
            AppendPadded(a, i == 2 ? 80u << 20 : 1u << 20, static_cast<uint8_t>(i), i + 1);
        Append(b, Ipv6Frame(), 7);
        a->ListPane()->ShowPendingRows();
        b->ListPane()->ShowPendingRows();
        SelectRows(a->ListPane(), {0, 1, 2});
        const std::vector<const Packet*> packets = {a->GetDocument()->Store().At(0),
                                                    a->GetDocument()->Store().At(1),
                                                    a->GetDocument()->Store().At(2)};
        std::unique_ptr<QMimeData> large(MakeTransferMimeData(packets));
        QVERIFY(large);
        int drags = 0;
        a->ListPane()->SetDragRunner([&](QWidget*, QMimeData* data) {
            ++drags;
            delete data;
        });
        {
            // Room for well under the 82 MB the payload and the copies need.
            const AddressSpaceLimit limit(24u << 20);
            a->ListPane()->BeginPacketDrag();
            QVERIFY(!b->ListPane()->DropPackets(large.get()));
        }
        QCOMPARE(drags, 0);
        QVERIFY(!a->ListPane()->IsDragSource());
        QCOMPARE(Tags(b), (std::vector<uint32_t>{7}));
        QVERIFY(app.prompter->messages.empty());
        // With memory again, the same drag and drop work.
        QVERIFY(a->ListPane()->AcceptsTransfer(large.get()));
        a->ListPane()->BeginPacketDrag();
        QCOMPARE(drags, 1);
        QVERIFY(b->ListPane()->DropPackets(large.get()));
        QCOMPARE(Tags(b), (std::vector<uint32_t>{7, 1, 2, 3}));
#endif
    }

    void malformedOrForeignDataIsRefused() {
        TestApp app;
        QVERIFY(app->InitInstance({}));
        CChildFrame* a = app->OnFileNew();
        CChildFrame* b = app->OnFileNew();
        Append(b, Ipv6Frame(), 7);
        b->ListPane()->ShowPendingRows();
        SelectRows(b->ListPane(), {0});
        app->MainFrame()->MdiArea()->setActiveSubWindow(a->SubWindow());

        PacketPtr packet(
            MakePacket(PacketHeader{1, 2, 4, 4}, reinterpret_cast<const uint8_t*>("abcd")));
        const Packet* packets[] = {packet.get()};
        const std::vector<uint8_t> good = EncodeTransferPayload(packets);
        std::vector<QByteArray> bad;
        bad.emplace_back("not packets");
        QByteArray cut(reinterpret_cast<const char*>(good.data()),
                       static_cast<qsizetype>(good.size()));
        bad.push_back(cut.left(cut.size() - 1));
        QByteArray count = cut;
        count[8] = 2;
        bad.push_back(count);
        QByteArray caplen = cut;
        caplen[12 + 8 + 2] = 0x05;  // 0x50004 bytes: beyond the payload
        bad.push_back(caplen);
        for (const QByteArray& bytes : bad) {
            QMimeData data;
            data.setData(kTransferMimeType, bytes);
            QVERIFY(!b->ListPane()->DropPackets(&data));
            QVERIFY(!Deliver(b->ListPane(), &data, Qt::NoModifier).dropped);
        }
        QMimeData text;
        text.setText("10.0.0.1");
        const DropOutcome foreign = Deliver(b->ListPane(), &text, Qt::NoModifier);
        QVERIFY(!foreign.entered && !foreign.moved && !foreign.dropped);
        // Nothing changed: rows, selection, active window.
        QCOMPARE(Tags(b), (std::vector<uint32_t>{7}));
        QCOMPARE(b->ListPane()->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(app->MainFrame()->ActiveChildFrame(), a);

        // The intact payload is taken.
        QMimeData data;
        data.setData(kTransferMimeType, cut);
        QVERIFY(b->ListPane()->DropPackets(&data));
        QCOMPARE(Tags(b), (std::vector<uint32_t>{7, 1}));
    }
};

KESTREL_GUI_TEST_MAIN(ListTransferTest)

#include "list_transfer_test.moc"
