// The three panes of a document window: rows from the store, deletion and
// renumbering, fonts and menus, the tree and the dump linked both ways, and
// the settings each pane keeps.
#include <QAbstractItemModelTester>
#include <QFile>
#include <QFont>
#include <QHeaderView>
#include <QMenu>
#include <QProcess>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QtTest>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/capture_file.h"
#include "core/packet.h"
#include "core/text_helpers.h"
#include "framework/command_ids.h"
#include "framework/menu_builder.h"
#include "framework/profile.h"
#include "list/packet_list_style.h"
#include "pane_host_fixture.h"

using namespace kestrel;
using kestrel::test::CPaneWindow;

namespace {

std::vector<uint8_t> Bytes(const char* hex) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (const char* p = hex; *p; ++p) {
        if (std::isxdigit(static_cast<unsigned char>(*p)))
            digits.push_back(*p);
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

const char* const kEthernet = "00 11 22 33 44 55 66 77 88 99 aa bb";
// IPv4 header with protocol `proto` (no checksum; the list does not check it).
std::string Ipv4(const char* proto) {
    return std::string("08 00 45 00 00 30 00 01 00 00 40 ") + proto +
           " 00 00 0a 00 00 01 0a 00 00 02";
}

std::vector<uint8_t> IcmpEcho() {
    return Bytes((std::string(kEthernet) + Ipv4("01") + " 08 00 f7 ff 00 01 00 01 41 42").c_str());
}
std::vector<uint8_t> Arp(const char* opcode) {
    return Bytes((std::string(kEthernet) + " 08 06 00 01 08 00 06 04 " + opcode +
                  " 66 77 88 99 aa bb c0 a8 00 01 00 00 00 00 00 00 c0 a8 00 02")
                     .c_str());
}
std::vector<uint8_t> Udp(uint8_t tag) {
    std::vector<uint8_t> frame =
        Bytes((std::string(kEthernet) + Ipv4("11") + " 04 00 00 35 00 09 00 00").c_str());
    frame.push_back(tag);
    return frame;
}
std::vector<uint8_t> Tcp() {
    return Bytes((std::string(kEthernet) + Ipv4("06") +
                  " 04 00 00 50 00 00 00 01 00 00 00 00 50 12 20 00 00 00 00 00")
                     .c_str());
}
std::vector<uint8_t> Ipv6() {
    return Bytes((std::string(kEthernet) + " 86 dd 60 00 00 00 00 00 3a 40").c_str());
}

void Append(CPaneWindow& window, const std::vector<uint8_t>& bytes, uint32_t second = 0) {
    const PacketHeader header{1700000000u + second, 5000, static_cast<uint32_t>(bytes.size()),
                              static_cast<uint32_t>(bytes.size())};
    window.list->AppendPacket(MakePacket(header, bytes.data()));
}

void Fill(CPaneWindow& window, int count) {
    for (int i = 0; i < count; ++i) Append(window, Udp(static_cast<uint8_t>(i)), i);
}

QString Cell(const CPaneWindow& window, int row, int column) {
    return window.list->model()->index(row, column).data().toString();
}

QAction* FindCommand(QMenu* menu, int id) {
    for (QAction* action : menu->actions()) {
        if (action->menu()) {
            if (QAction* found = FindCommand(action->menu(), id))
                return found;
        } else if (CommandIdOf(action) == id) {
            return action;
        }
    }
    return nullptr;
}

QStringList Texts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        if (!action->isSeparator())
            texts.append(action->menu() ? action->menu()->title() : action->text());
    }
    return texts;
}

// True when the grid line above `cell` carries the focus rectangle's
// black and white dots.
bool FocusDots(const QImage& image, const QRect& cell) {
    int black = 0;
    int white = 0;
    for (int x = std::max(0, cell.left()); x < std::max(0, cell.left()) + 40; ++x) {
        const QColor colour =
            image.pixelColor(QPoint(x, cell.top() - kGridLineWidth) * image.devicePixelRatio());
        black += colour == QColor(Qt::black);
        white += colour == QColor(Qt::white);
    }
    return black > 10 && white > 10;
}

std::string CapturePath(const char* name) {
    return std::string(KESTREL_CORPUS_DIR) + "/" + name;
}

// Client point of the centre of character `index` of the dump text, where
// Qt's own text layout puts that character in the dump font.
QPointF CharPoint(const CPacketDump& dump, int index) {
    const DumpLayout layout(dump.DumpText());
    const int line = layout.LineOfChar(index);
    const int column = index - layout.LineStart(line);
    QTextLayout text(QString::fromLatin1(layout.LineText(line) + "  "), dump.DumpFont());
    text.beginLayout();
    const QTextLine row = text.createLine();
    text.endLayout();
    const double middle = (row.cursorToX(column) + row.cursorToX(column + 1)) / 2;
    return QPointF(CPacketDump::kMargin + middle - dump.horizontalScrollBar()->value(),
                   CPacketDump::kMargin + line * dump.LineHeight() + dump.LineHeight() / 2.0 -
                       dump.verticalScrollBar()->value());
}

}  // namespace

class PanesTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        FlushProfile();
        QSettings(kProfileOrganisation, kProfileApplication).clear();
    }

    void rowsArriveAtMost500PerTick() {
        CPaneWindow window;
        QAbstractItemModelTester tester(window.list->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        window.list->ShowPendingRows();
        QCOMPARE(window.list->RowCount(), 0);
        QVERIFY(window.list->IsRowTimerActive());  // an empty store keeps the timer
        Fill(window, 1200);
        window.list->ShowPendingRows();
        QCOMPARE(window.list->RowCount(), 500);
        window.list->ShowPendingRows();
        QCOMPARE(window.list->RowCount(), 1000);
        window.list->ShowPendingRows();
        QCOMPARE(window.list->RowCount(), 1200);
        QCOMPARE(window.list->model()->rowCount(), 1200);
        QCOMPARE(Cell(window, 1199, kColumnNumber), QStringLiteral("1200"));
        // The timer drives the same ticks.
        Fill(window, 3);
        QTRY_COMPARE(window.list->RowCount(), 1203);
    }

    // Cells are whole at every font size: each column opens at least as wide
    // as the widest text it can show (Protocol excepted) and its title; a
    // dragged width is kept across windows until the font size changes.
    void listColumnsFitTheirTextsAtEveryFontSize() {
        const std::array<QStringList, kColumnCount> widest = {{
            {"30000", "28888"},
            {"00:00:00", "23:58:08"},
            {"FFFFFFFFFFFF", "888888888888", "DDDDDDDDDDDD"},
            {"FFFFFFFFFFFF", "888888888888", "DDDDDDDDDDDD"},
            {"ARP(REQUEST)", "ARP(REPLY)", "NetBIOS", "65535", "34525"},
            {"65535", "262144"},
            {},
            {"255.255.255.255", "188.188.188.188"},
            {"255.255.255.255", "188.188.188.188"},
            {"65535", "48888"},
            {"65535", "48888"},
        }};
        {
            CPaneWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(LoadCaptureFile(CapturePath("fragments.pcap"), window.Document().Store()).ok);
            Append(window, Arp("00 01"));
            Append(window, Tcp());
            // A rare operation name, longer than the column opens for.
            Append(window, Arp("00 14"));
            while (window.list->RowCount() < window.Document().Store().Count())
                window.list->ShowPendingRows();
            // The Japanese face, not the toolkit's Latin default.
            QVERIFY(QFontInfo(window.list->font()).family().startsWith("IPA"));
            for (int id = cmd::kListFontLargest; id <= cmd::kListFontSmallest; ++id) {
                window.list->OnCommand(id);
                const QFontMetrics metrics(window.list->font());
                const QHeaderView* header = window.list->horizontalHeader();
                const int headerMargin =
                    header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
                for (int column = 0; column < kColumnCount; ++column) {
                    const int width = window.list->columnWidth(column);
                    QVERIFY(width >= kRowColumns[static_cast<size_t>(column)].width);
                    const QString title = QString::fromLatin1(kRowColumns[column].title);
                    QVERIFY(QFontMetrics(header->font()).horizontalAdvance(title) +
                                2 * headerMargin <=
                            width);
                    if (column == kColumnProtocol)
                        continue;
                    QStringList texts = widest[static_cast<size_t>(column)];
                    for (int row = 0; row < window.list->RowCount(); ++row)
                        texts.append(Cell(window, row, column));
                    // The cell is the column less its grid line.
                    for (const QString& text : texts) {
                        QVERIFY2(
                            metrics.horizontalAdvance(text) + kCellLeftMargin + kCellRightMargin <=
                                width - 1,
                            qPrintable(QStringLiteral("%1 in %2 px").arg(text).arg(width)));
                    }
                }
            }
            QCOMPARE(window.list->RowHeight(), 9);
            window.list->horizontalHeader()->resizeSection(kColumnSourceMac, 333);
            QCOMPARE(window.list->UserColumnWidth(kColumnSourceMac), 333);
        }
        {
            CPaneWindow next;
            QCOMPARE(next.list->columnWidth(kColumnSourceMac), 333);
            next.list->OnCommand(cmd::kListFontMedium);
            QVERIFY(next.list->columnWidth(kColumnSourceMac) < 333);
            QCOMPARE(next.list->UserColumnWidth(kColumnSourceMac), 0);
        }
        // Heights no row can be drawn with give way to the default.
        for (int stored : {0, -100000, 5000, std::numeric_limits<int>::min()}) {
            WriteProfileInt("LIST_FONT_SIZE", stored);
            CPaneWindow window;
            QCOMPARE(window.list->FontHeight(), CPacketList::kDefaultFontHeight);
        }
    }

    // A report list moves by rows and never sideways; keys held down make
    // the tree and the dump follow once the keys stop; Delete works from the
    // keypad and with Ctrl; the focused row carries the focus rectangle.
    void listKeyboardMovesByRowsAndPanesFollow() {
        CPaneWindow window;
        window.resize(400, 500);
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        for (int i = 0; i < 60; ++i) Append(window, Tcp(), static_cast<uint32_t>(i));
        window.list->ShowPendingRows();
        CPacketList& list = *window.list;
        list.setFocus();
        list.selectRow(0);
        QCOMPARE(window.tree->CurrentPacket(), window.Document().Store().At(0));
        QScrollBar* sideways = list.horizontalScrollBar();
        QVERIFY(sideways->maximum() > 0);
        const auto selected = [&list] {
            std::vector<int> rows;
            for (const QModelIndex& index : list.selectionModel()->selectedRows())
                rows.push_back(index.row());
            return rows;
        };
        QTest::keyClick(&list, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(selected(), std::vector<int>{59});
        QCOMPARE(sideways->value(), 0);
        QTest::keyClick(&list, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(selected(), std::vector<int>{0});
        QTest::keyClick(&list, Qt::Key_End);
        QCOMPARE(selected(), std::vector<int>{59});
        QCOMPARE(sideways->value(), 0);
        QTest::keyClick(&list, Qt::Key_Right);
        QVERIFY(sideways->value() > 0);
        QCOMPARE(selected(), std::vector<int>{59});
        QTest::keyClick(&list, Qt::Key_Home);
        QCOMPARE(selected(), std::vector<int>{0});

        // Three Page Downs before the event loop turns: the panes are built
        // once, for the row the keys end on.
        QCoreApplication::processEvents();
        for (int i = 0; i < 3; ++i) QTest::keyClick(&list, Qt::Key_PageDown);
        const int row = list.currentIndex().row();
        QVERIFY(row > 3);
        QVERIFY(list.IsShowPending());
        QCOMPARE(window.tree->CurrentPacket(), window.Document().Store().At(0));
        QTRY_COMPARE(window.tree->CurrentPacket(), window.Document().Store().At(row));
        QCOMPARE(window.tree->Content().ItemCount() > 0, true);
        QVERIFY(!window.dump->DumpText().empty());
        // A click shows its row at once.
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                          list.visualRect(list.model()->index(row + 1, 0)).center());
        QCOMPARE(window.tree->CurrentPacket(), window.Document().Store().At(row + 1));

        // The focused row: a dotted frame of black and white around the
        // whole row, on the selection colour of a TCP row too.
        const QImage image = list.viewport()->grab().toImage();
        const QRect rowRect = list.visualRect(list.model()->index(row + 1, 0));
        QVERIFY(FocusDots(image, rowRect));
        // Inside, the selection colour stands apart from the TCP row colour.
        const QColor inside =
            image.pixelColor(QPoint(std::max(0, rowRect.left()) + 1, rowRect.center().y()) *
                             image.devicePixelRatio());
        const QColor tcp = list.RowColourOf(0);
        QVERIFY(std::abs(inside.red() - tcp.red()) + std::abs(inside.green() - tcp.green()) +
                    std::abs(inside.blue() - tcp.blue()) >=
                kMinSelectionContrast);

        window.prompter.answer = false;
        QTest::keyClick(&list, Qt::Key_Delete, Qt::KeypadModifier);
        QTest::keyClick(&list, Qt::Key_Delete, Qt::ControlModifier);
        QTest::keyClick(&list, Qt::Key_Delete, Qt::AltModifier);
        QCOMPARE(window.prompter.questions.size(), 2);
    }

    // The focus rectangle lies on the grid lines around the row: at the two
    // smallest sizes, whose glyphs fill the cells, the focused row's texts
    // look the same with the focus as without it.
    void focusRectangleLeavesTheTextsWhole() {
        CPaneWindow window;
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        CPacketList& list = *window.list;
        for (int i = 0; i < 3; ++i) Append(window, IcmpEcho(), static_cast<uint32_t>(i));
        list.ShowPendingRows();
        for (int id : {cmd::kListFontSmall, cmd::kListFontSmallest}) {
            list.OnCommand(id);
            list.setFocus();
            list.selectRow(1);
            const QImage focused = list.viewport()->grab().toImage();
            list.clearFocus();
            const QImage plain = list.viewport()->grab().toImage();
            for (int column = 0; column < kColumnCount; ++column) {
                const QRect text = list.visualRect(list.model()->index(1, column))
                                       .adjusted(kCellLeftMargin, 0, -kCellRightMargin, 0);
                for (int y = text.top(); y <= text.bottom(); ++y) {
                    for (int x = text.left(); x <= text.right(); ++x) {
                        const QPoint at = QPoint(x, y) * focused.devicePixelRatio();
                        QVERIFY2(focused.pixel(at) == plain.pixel(at),
                                 qPrintable(QStringLiteral("size %1, column %2, (%3, %4)")
                                                .arg(list.RowHeight())
                                                .arg(column)
                                                .arg(x)
                                                .arg(y)));
                    }
                }
            }
            QVERIFY(FocusDots(focused, list.visualRect(list.model()->index(1, 0))));
        }
    }

    // The tree draws the lines between its items; only the left button
    // selects and expands (a right double-click changes no expand flag).
    void treeDrawsLinesAndTakesTheLeftButtonOnly() {
        CPaneWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Append(window, Tcp());
        window.list->ShowPendingRows();
        window.list->selectRow(0);
        CPacketTree& tree = *window.tree;
        QTreeWidgetItem* mac = tree.topLevelItem(0)->child(0);
        mac->setExpanded(false);
        QCOMPARE(tree.ExpandFlag(DecodeTree::kSlotMac), 0);
        QTest::mouseDClick(tree.viewport(), Qt::RightButton, {}, tree.visualItemRect(mac).center());
        QVERIFY(!mac->isExpanded());
        QCOMPARE(tree.ExpandFlag(DecodeTree::kSlotMac), 0);

        // A dotted grey line joins the sections (children of the root) in
        // the column left of them.
        const QImage image = tree.viewport()->grab().toImage();
        const QRect first = tree.visualItemRect(mac);
        const QRect last = tree.visualItemRect(tree.topLevelItem(0)->child(2));
        const int x = tree.indentation() + tree.indentation() / 2;
        int dots = 0;
        for (int y = first.bottom(); y < last.top(); ++y)
            dots +=
                image.pixelColor(QPoint(x, y) * image.devicePixelRatio()) == QColor(128, 128, 128);
        QVERIFY2(dots >= (last.top() - first.bottom()) / 3, qPrintable(QString::number(dots)));
    }

    // Clicking the centre of every character cell, where Qt's own text
    // layout puts the character, selects the byte the cell shows, at each
    // of the five font sizes.
    void dumpCellsHitTheirBytesAtEveryFontSize() {
        CPaneWindow window;
        window.resize(1800, 700);  // the whole dump in view at the largest size
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        std::vector<uint8_t> bytes = Tcp();
        bytes.resize(40, 0x41);
        Append(window, bytes);
        window.list->ShowPendingRows();
        window.list->selectRow(0);
        CPacketDump& dump = *window.dump;
        CPacketTree& tree = *window.tree;
        const DumpLayout layout(dump.DumpText());
        QCOMPARE(layout.LineCount(), 3);
        for (int id = cmd::kDumpFontLargest; id <= cmd::kDumpFontSmallest; ++id) {
            dump.OnCommand(id);
            dump.horizontalScrollBar()->setValue(0);
            dump.verticalScrollBar()->setValue(0);
            for (int index = 0; index < static_cast<int>(layout.Text().size()); ++index) {
                const QPoint point = CharPoint(dump, index).toPoint();
                QVERIFY(dump.viewport()->rect().contains(point));
                QCOMPARE(dump.HitTestChar(point), index);
                const int byte = layout.ByteAtChar(index);
                if (byte < 0 || byte >= static_cast<int>(bytes.size()))
                    continue;
                QTest::mouseClick(dump.viewport(), Qt::LeftButton, {}, point);
                const ItemRange* range = tree.Content().FindRange(tree.IndexOf(tree.currentItem()));
                QVERIFY(range);
                QVERIFY2(range->first <= byte && byte < range->first + range->length,
                         qPrintable(QStringLiteral("size %1, char %2, byte %3")
                                        .arg(dump.FontSize())
                                        .arg(index)
                                        .arg(byte)));
            }
        }
        // Sizes from the settings that no font can be drawn at give way to
        // the default, in the tree too; painting a packet with them does not fail.
        for (int stored : {1, 3, -110, 0, 500000}) {
            WriteProfileInt("DUMP_FONT_SIZE", stored);
            WriteProfileInt("TREE_FONT_SIZE", stored);
            CPacketDump other(&window);
            other.resize(300, 200);
            other.SetPacket(window.Document().Store().At(0));
            QCOMPARE(other.FontSize(), CPacketDump::kDefaultFontSize);
            QVERIFY(!other.grab().isNull());
            CPacketTree otherTree(&window);
            otherTree.ShowPacket(window.Document().Store().At(0), 1);
            QCOMPARE(otherTree.FontSize(), CPacketTree::kDefaultFontSize);
            QVERIFY(!otherTree.grab().isNull());
        }
    }

    void rowTimerEndsAtTheStoreLimit() {
        CPaneWindow window;
        window.captureState = 1;
        Fill(window, PacketStore::kCapacity);
        while (window.list->RowCount() < PacketStore::kCapacity) window.list->ShowPendingRows();
        QVERIFY(window.list->IsRowTimerActive());
        window.list->ShowPendingRows();
        QVERIFY(!window.list->IsRowTimerActive());

        // The 30001st packet is released and arms the stop; packets refused
        // while it is pending do not arm it twice.
        QVERIFY(!window.list->IsCapacityTimerArmed());
        Fill(window, 2);
        QVERIFY(window.list->IsCapacityTimerArmed());
        QCOMPARE(window.Document().Store().Count(), PacketStore::kCapacity);
        QTRY_COMPARE_WITH_TIMEOUT(window.stops, 1, 5000);
        QVERIFY(!window.list->IsCapacityTimerArmed());
        // A capture that meets the full store again is stopped again.
        Fill(window, 1);
        QVERIFY(window.list->IsCapacityTimerArmed());
        QTRY_COMPARE_WITH_TIMEOUT(window.stops, 2, 5000);

        // Rows follow the store after deletions: packets appended later
        // (drop, capture) become rows, so nothing is saved that is not shown.
        window.list->selectRow(0);
        window.list->DeleteSelectedPackets();
        QCOMPARE(window.list->RowCount(), PacketStore::kCapacity - 1);
        QVERIFY(window.list->IsRowTimerActive());
        Append(window, Udp(1), 99999);
        QCOMPARE(window.Document().Store().Count(), PacketStore::kCapacity);
        QTRY_COMPARE(window.list->RowCount(), PacketStore::kCapacity);
        QCOMPARE(window.list->model()->rowCount(), PacketStore::kCapacity);
        QCOMPARE(Cell(window, PacketStore::kCapacity - 1, kColumnNumber),
                 QString::number(PacketStore::kCapacity));
        QTRY_VERIFY(!window.list->IsRowTimerActive());
        // A stop armed while the store was full does not stop a capture that
        // has room again once it fires.
        Fill(window, 1);
        window.list->selectRow(5);
        window.list->DeleteSelectedPackets();
        QTest::qWait(CPacketList::kCapacityStopMs + 200);
        QCOMPARE(window.stops, 2);
    }

    void rowTextsAndColours() {
        CPaneWindow window;
        Append(window, IcmpEcho());
        Append(window, Arp("00 01"));
        Append(window, Arp("00 00"));
        Append(window, Ipv6());
        Append(window, Tcp());
        window.list->ShowPendingRows();
        QCOMPARE(Cell(window, 0, kColumnType), QStringLiteral("IP"));
        QCOMPARE(Cell(window, 0, kColumnProtocol), QStringLiteral("ICMPｴｺｰ要求"));
        QCOMPARE(Cell(window, 0, kColumnSourcePort), QString());
        QCOMPARE(Cell(window, 0, kColumnSourceIp), QStringLiteral("10.0.0.1"));
        QCOMPARE(window.list->RowColourOf(0), QColor(128, 128, 128));
        QCOMPARE(Cell(window, 1, kColumnType), QStringLiteral("ARP(REQUEST)"));
        QCOMPARE(Cell(window, 1, kColumnSourceIp), QStringLiteral("192.168.0.1"));
        QCOMPARE(window.list->RowColourOf(1), QColor(255, 128, 128));
        QCOMPARE(Cell(window, 2, kColumnType), QStringLiteral("ARP()"));
        QCOMPARE(Cell(window, 3, kColumnType), QStringLiteral("34525"));
        QCOMPARE(window.list->RowColourOf(3), QColor(255, 255, 255));
        for (int column = kColumnProtocol; column < kColumnCount; ++column)
            QCOMPARE(Cell(window, 3, column), QString());
        QCOMPARE(Cell(window, 4, kColumnProtocol), QStringLiteral("TCP【 SYN 】【 ACK 】"));
        QCOMPARE(Cell(window, 4, kColumnDestinationPort), QStringLiteral("80"));
        QCOMPARE(window.list->RowColourOf(4), QColor(0, 128, 255));
        // The view paints the row colour as the cell background.
        QCOMPARE(window.list->model()->index(4, 3).data(Qt::BackgroundRole).value<QColor>(),
                 QColor(0, 128, 255));

        // Eleven columns, none narrower than specified; header clicks do not sort.
        QCOMPARE(window.list->model()->columnCount(), kColumnCount);
        const int widths[] = {40, 60, 100, 100, 50, 50, 150, 90, 90, 60, 60};
        for (int column = 0; column < kColumnCount; ++column)
            QVERIFY(window.list->columnWidth(column) >= widths[column]);
        QCOMPARE(window.list->model()->headerData(6, Qt::Horizontal).toString(),
                 QStringLiteral("Protocol"));
        QVERIFY(!window.list->horizontalHeader()->sectionsClickable());
        QVERIFY(!window.list->isSortingEnabled());
    }

    void deletingRenumbersAndKeepsColours() {
        CPaneWindow window;
        Append(window, IcmpEcho(), 1);
        Append(window, Arp("00 01"), 2);
        Append(window, Tcp(), 3);
        Append(window, Udp(4), 4);
        Append(window, Ipv6(), 5);
        QAbstractItemModelTester tester(window.list->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester treeTester(window.tree->model(),
                                            QAbstractItemModelTester::FailureReportingMode::QtTest);
        window.list->ShowPendingRows();
        window.list->selectRow(0);
        QVERIFY(!window.dump->DumpText().empty());

        window.list->selectionModel()->clearSelection();
        window.list->selectionModel()->select(
            QItemSelection(window.list->model()->index(1, 0), window.list->model()->index(2, 0)),
            QItemSelectionModel::Select | QItemSelectionModel::Rows);
        window.list->OnCommand(cmd::kListDelete);
        QCOMPARE(window.prompter.questions.last(),
                 QStringLiteral("2 ﾊﾟｹｯﾄを削除します。よろしいですか？"));
        QCOMPARE(window.list->RowCount(), 3);
        QCOMPARE(window.Document().Store().Count(), 3);
        QCOMPARE(Cell(window, 0, kColumnNumber), QStringLiteral("1"));
        QCOMPARE(Cell(window, 1, kColumnNumber), QStringLiteral("2"));
        QCOMPARE(Cell(window, 2, kColumnNumber), QStringLiteral("3"));
        QCOMPARE(Cell(window, 1, kColumnType), QStringLiteral("IP"));
        QCOMPARE(Cell(window, 1, kColumnProtocol), QStringLiteral("UDP"));
        QCOMPARE(Cell(window, 2, kColumnType), QStringLiteral("34525"));
        QCOMPARE(window.Document().Store().At(1)->header->tv_sec, 1700000004u);
        QCOMPARE(window.list->RowColourOf(0), QColor(128, 128, 128));
        QCOMPARE(window.list->RowColourOf(1), QColor(128, 255, 128));
        QCOMPARE(window.list->RowColourOf(2), QColor(255, 255, 255));
        // The tree and the dump let go of the packets.
        QVERIFY(window.dump->DumpText().empty());
        QCOMPARE(window.tree->topLevelItemCount(), 0);
        QVERIFY(window.tree->CurrentPacket() == nullptr);
        window.tree->OnCommand(cmd::kTreeLine16);  // rebuilds nothing from a released packet
        QCOMPARE(window.tree->topLevelItemCount(), 0);

        // The Delete key asks the same; "No" keeps everything.
        window.prompter.answer = false;
        window.list->selectRow(0);
        QTest::keyClick(window.list, Qt::Key_Delete);
        QCOMPARE(window.prompter.questions.last(),
                 QStringLiteral("1 ﾊﾟｹｯﾄを削除します。よろしいですか？"));
        QCOMPARE(window.list->RowCount(), 3);
    }

    void deleteWithNothingSelectedAsksWithZero() {
        CPaneWindow window;
        Fill(window, 3);
        window.list->ShowPendingRows();
        window.list->selectRow(1);
        const std::string shown = window.dump->DumpText();
        const int treeItems = window.tree->topLevelItemCount();
        QVERIFY(treeItems > 0);
        window.list->selectionModel()->clearSelection();
        window.list->DeleteSelectedPackets();
        QCOMPARE(window.prompter.questions,
                 QStringList{QStringLiteral("0 ﾊﾟｹｯﾄを削除します。よろしいですか？")});
        QCOMPARE(window.list->RowCount(), 3);
        QCOMPARE(window.Document().Store().Count(), 3);
        QCOMPARE(window.dump->DumpText(), shown);
        QCOMPARE(window.tree->topLevelItemCount(), treeItems);
    }

    void twoSelectedRowsKeepTreeAndDump() {
        CPaneWindow window;
        Fill(window, 4);
        window.list->ShowPendingRows();
        window.list->selectRow(2);
        const std::string shown = window.dump->DumpText();
        const QString root = window.tree->topLevelItem(0)->text(0);
        QVERIFY(root.startsWith(QStringLiteral("【 No.3 】【 2023/11/14 22:13:22.5 】")));
        window.list->selectionModel()->select(
            window.list->model()->index(0, 0),
            QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QCOMPARE(window.list->selectionModel()->selectedRows().size(), 2);
        QCOMPARE(window.dump->DumpText(), shown);
        QCOMPARE(window.tree->topLevelItem(0)->text(0), root);
        // Select all (the command and Ctrl+A) selects every row.
        window.list->OnCommand(cmd::kListSelectAll);
        QCOMPARE(window.list->selectionModel()->selectedRows().size(), 4);
        window.list->clearSelection();
        QTest::keyClick(window.list, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(window.list->selectionModel()->selectedRows().size(), 4);
    }

    void fontSizesSetTheRowHeightAndKeepTheTopRow() {
        CPaneWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Fill(window, 400);
        window.list->ShowPendingRows();
        QCOMPARE(window.list->RowHeight(), 15);
        window.list->scrollTo(window.list->model()->index(120, 0),
                              QAbstractItemView::PositionAtTop);
        QCOMPARE(window.list->rowAt(0), 120);
        window.list->OnCommand(cmd::kListFontSmallest);
        QCOMPARE(window.list->FontHeight(), -9);
        QCOMPARE(window.list->RowHeight(), 9);
        QCOMPARE(window.list->rowHeight(5), 9);
        QCOMPARE(window.list->font().pixelSize(), 9);
        QCOMPARE(window.list->rowAt(0), 120);
        window.list->OnCommand(cmd::kListFontLargest);
        QCOMPARE(window.list->rowHeight(0), 21);
        QCOMPARE(window.list->rowAt(0), 120);

        // Auto scroll keeps the newest row in view; off, the view stays.
        Fill(window, 10);
        window.list->ShowPendingRows();
        QVERIFY(window.list->rowAt(window.list->viewport()->height() - 1) >= 405 ||
                window.list->rowAt(window.list->viewport()->height() - 1) == -1);
        window.list->OnCommand(cmd::kListAutoScroll);
        QVERIFY(!window.list->AutoScroll());
        window.list->scrollToTop();
        Fill(window, 10);
        window.list->ShowPendingRows();
        QCOMPARE(window.list->rowAt(0), 0);
    }

    // The list scrolls by whole rows: when it keeps the newest row in view
    // (a file loading, a capture running), the top row is whole, at every
    // font size, and so is the last row.
    void listScrollsByWholeRows() {
        CPaneWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        CPacketList& list = *window.list;
        for (int id = cmd::kListFontLargest; id <= cmd::kListFontSmallest; ++id) {
            list.OnCommand(id);
            for (int tick = 0; tick < 2; ++tick) {
                Fill(window, 150);
                list.ShowPendingRows();
                const int last = list.RowCount() - 1;
                const QString at = QStringLiteral("row height %1").arg(list.RowHeight());
                QVERIFY2(list.rowViewportPosition(list.rowAt(0)) == 0, qPrintable(at));
                QVERIFY2(list.rowAt(list.rowViewportPosition(last)) == last, qPrintable(at));
                QVERIFY2(
                    list.rowViewportPosition(last) + list.RowHeight() <= list.viewport()->height(),
                    qPrintable(at));
            }
        }
    }

    void contextMenus() {
        {
            CPaneWindow window(false);
            std::unique_ptr<QMenu> menu(window.list->CreateContextMenu());
            QCOMPARE(Texts(menu.get()), (QStringList{"文字のサイズ(&T)", "抽出(&E)", "削除(&D)",
                                                     "全て選択(&A)\tCtrl+A"}));
            QVERIFY(FindCommand(menu.get(), cmd::kListFontMedium)->isChecked());
            QVERIFY(!FindCommand(menu.get(), cmd::kListFontSmall)->isChecked());
            QVERIFY(FindCommand(menu.get(), cmd::kListDelete)->isEnabled());
            std::unique_ptr<QMenu> tree(window.tree->CreateContextMenu());
            QCOMPARE(Texts(tree.get()), (QStringList{"文字のサイズ(&T)", "ﾃﾞｰﾀ1行文字数(&C)"}));
            QVERIFY(FindCommand(tree.get(), cmd::kTreeFontMedium)->isChecked());
            QVERIFY(FindCommand(tree.get(), cmd::kTreeLine32)->isChecked());
            std::unique_ptr<QMenu> dump(window.dump->CreateContextMenu());
            QCOMPARE(Texts(dump.get()), (QStringList{"文字のサイズ(&T)"}));
            QVERIFY(FindCommand(dump.get(), cmd::kDumpFontMedium)->isChecked());
        }
        {
            // A capture document with no adapter: start, stop and auto scroll greyed.
            CPaneWindow window(true);
            window.captureState = -1;
            std::unique_ptr<QMenu> menu(window.list->CreateContextMenu());
            QCOMPARE(Texts(menu.get()),
                     (QStringList{"キャプチャー開始(&S)", "キャプチャー停止(&E)",
                                  "文字のサイズ(&T)", "オートスクロール(&A)", "抽出(&E)",
                                  "削除(&D)", "全て選択(&A)\tCtrl+A"}));
            QVERIFY(!FindCommand(menu.get(), cmd::kListCaptureStart)->isEnabled());
            QVERIFY(!FindCommand(menu.get(), cmd::kListCaptureStop)->isEnabled());
            QVERIFY(!FindCommand(menu.get(), cmd::kListAutoScroll)->isEnabled());
            QVERIFY(FindCommand(menu.get(), cmd::kListAutoScroll)->isChecked());
            QVERIFY(FindCommand(menu.get(), cmd::kListExtract)->isEnabled());
            std::unique_ptr<QMenu> tree(window.tree->CreateContextMenu());
            QVERIFY(!FindCommand(tree.get(), cmd::kTreeCaptureStart)->isEnabled());
            QVERIFY(!FindCommand(tree.get(), cmd::kTreeCaptureStop)->isEnabled());
            std::unique_ptr<QMenu> dump(window.dump->CreateContextMenu());
            QCOMPARE(Texts(dump.get()), (QStringList{"キャプチャー開始(&S)", "キャプチャー停止(&E)",
                                                     "文字のサイズ(&T)"}));
            QVERIFY(!FindCommand(dump.get(), cmd::kDumpCaptureStart)->isEnabled());

            window.captureState = 0;
            menu.reset(window.list->CreateContextMenu());
            QVERIFY(FindCommand(menu.get(), cmd::kListCaptureStart)->isEnabled());
            QVERIFY(!FindCommand(menu.get(), cmd::kListCaptureStop)->isEnabled());
            QVERIFY(FindCommand(menu.get(), cmd::kListAutoScroll)->isEnabled());
            dump.reset(window.dump->CreateContextMenu());
            QVERIFY(FindCommand(dump.get(), cmd::kDumpCaptureStart)->isEnabled());
            QVERIFY(!FindCommand(dump.get(), cmd::kDumpCaptureStop)->isEnabled());

            window.captureState = 1;
            window.list->OnCommand(cmd::kListAutoScroll);
            window.list->OnCommand(cmd::kListFontSmall);
            menu.reset(window.list->CreateContextMenu());
            QVERIFY(!FindCommand(menu.get(), cmd::kListCaptureStart)->isEnabled());
            QVERIFY(FindCommand(menu.get(), cmd::kListCaptureStop)->isEnabled());
            QVERIFY(!FindCommand(menu.get(), cmd::kListAutoScroll)->isChecked());
            QVERIFY(FindCommand(menu.get(), cmd::kListFontSmall)->isChecked());
            QVERIFY(!FindCommand(menu.get(), cmd::kListFontMedium)->isChecked());
            tree.reset(window.tree->CreateContextMenu());
            QVERIFY(!FindCommand(tree.get(), cmd::kTreeCaptureStart)->isEnabled());
            QVERIFY(FindCommand(tree.get(), cmd::kTreeCaptureStop)->isEnabled());

            window.list->OnCommand(cmd::kListCaptureStart);
            window.tree->OnCommand(cmd::kTreeCaptureStop);
            window.dump->OnCommand(cmd::kDumpCaptureStart);
            QCOMPARE(window.starts, 2);
            QCOMPARE(window.stops, 1);
        }
    }

    void dumpLayout() {
        // One byte: offset, two spaces, the byte and a space, 45 padding
        // spaces, one space, one character, CR LF.
        const uint8_t one[] = {0x41};
        const DumpLayout small(FormatHexDump(one));
        QCOMPARE(small.LineCount(), 1);
        QCOMPARE(small.LineLength(0), 58);
        QCOMPARE(small.ByteAtChar(6), 0);
        QCOMPARE(small.ByteAtChar(55), 0);
        QCOMPARE(small.ByteAtChar(12), 2);  // hex padding: beyond the frame
        QCOMPARE(small.ByteAtChar(57), 2);  // CR LF of the short line
        QCOMPARE(small.ByteAtChar(3), -1);

        std::vector<uint8_t> bytes(40);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
        const DumpLayout layout(FormatHexDump(bytes));
        QCOMPARE(layout.LineCount(), 3);
        QCOMPARE(layout.LineStart(1), 73);
        QCOMPARE(layout.ByteAtChar(73 + 5), -1);
        QCOMPARE(layout.ByteAtChar(73 + 7), 16);
        QCOMPARE(layout.ByteAtChar(73 + 8), 17);  // the space left of a pair: byte to its right
        QCOMPARE(layout.ByteAtChar(73 + 52), 31);
        QCOMPARE(layout.ByteAtChar(73 + 53), -1);
        QCOMPARE(layout.ByteAtChar(73 + 54), -1);
        QCOMPARE(layout.ByteAtChar(73 + 70), 31);
        QCOMPARE(layout.ByteAtChar(73 + 71), -1);  // CR LF of a full line
        // A range over a line end: two ranges per line touched.
        const std::vector<DumpCharRange> ranges = layout.HighlightRanges(10, 10);
        QCOMPARE(ranges.size(), size_t(4));
        QCOMPARE(ranges[0], (DumpCharRange{36, 52}));
        QCOMPARE(ranges[1], (DumpCharRange{65, 70}));
        QCOMPARE(ranges[2], (DumpCharRange{79, 89}));
        QCOMPARE(ranges[3], (DumpCharRange{128, 131}));
        QVERIFY(layout.HighlightRanges(3, 0).empty());
        // Bytes past the end of a short last line: the hex padding is there
        // to cover, the characters are not; lines past the text are left out.
        const std::vector<DumpCharRange> tail = layout.HighlightRanges(36, 40);
        QCOMPARE(tail.size(), size_t(2));
        QCOMPARE(tail[0], (DumpCharRange{146 + 6 + 12, 146 + 52}));
        QCOMPARE(tail[1], (DumpCharRange{146 + 55 + 4, 146 + 55 + 7}));

        // Past 64 KiB the offsets take five digits and the lines grow.
        std::vector<uint8_t> large(0x10000 + 20, 0x41);
        const DumpLayout wide(FormatHexDump(large));
        const int line = 0x1000;
        QCOMPARE(wide.LineStart(line - 1), (line - 1) * 73);
        QCOMPARE(wide.LineLength(line), 74);
        QCOMPARE(wide.ByteAtChar(wide.LineStart(line) + 7), 0x10000);
        QCOMPARE(wide.ByteAtChar(wide.LineStart(line) + 56), 0x10000);
        const std::vector<DumpCharRange> far = wide.HighlightRanges(0x10001, 2);
        QCOMPARE(far[0].first, wide.LineStart(line) + 10);
        QCOMPARE(wide.Text().substr(static_cast<size_t>(far[1].first), 2), std::string("AA"));
    }

    void dumpHighlightsScrollAndClicks() {
        CPaneWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        std::vector<uint8_t> bytes(1500);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
        const PacketHeader header{1, 0, 1500, 1500};
        window.list->AppendPacket(MakePacket(header, bytes.data()));
        window.list->ShowPendingRows();
        window.list->selectRow(0);
        CPacketDump& dump = *window.dump;
        QCOMPARE(dump.DumpText(), FormatHexDump(bytes));

        dump.HighlightBytes(600, 20);
        QCOMPARE(dump.Highlights().size(), size_t(4));
        const DumpHighlight& first = dump.Highlights().at(std::to_string(37 * 73 + 6 + 24));
        QCOMPARE(first.last, 37 * 73 + 6 + 24 + 3 * 8 - 2);
        QCOMPARE(first.backColour, QColor(0, 0, 128));
        QCOMPARE(first.textColour, QColor(255, 255, 255));
        dump.ScrollToHighlight();
        const int value = dump.verticalScrollBar()->value();
        QVERIFY(value > 0);
        // Centred: the highlight's middle is in the middle of the view.
        const QRect rect = dump.HighlightRect(first);
        QVERIFY(std::abs(rect.top() - value - dump.viewport()->height() / 2) <=
                dump.LineHeight() * 2);
        // The painted pixels under the highlight are navy.
        const QImage image = dump.viewport()->grab().toImage();
        const QPoint inside =
            rect.topLeft() - QPoint(dump.horizontalScrollBar()->value(), value) + QPoint(1, 1);
        QCOMPARE(image.pixelColor(inside * image.devicePixelRatio()), QColor(0, 0, 128));

        // A selection the user makes in the tree scrolls the dump to it; one
        // made for a click in the dump does not.
        dump.verticalScrollBar()->setValue(0);
        CPacketTree& tree = *window.tree;
        const ItemSelection late = tree.Content().SelectItemAtByte(1450);
        QVERIFY(late.byRange);
        tree.setCurrentItem(tree.ItemAt(late.item));
        QVERIFY(dump.verticalScrollBar()->value() > 0);
        dump.verticalScrollBar()->setValue(0);
        tree.SelectItemAtByte(1300);
        QVERIFY(!dump.Highlights().empty());
        QCOMPARE(dump.verticalScrollBar()->value(), 0);
        QVERIFY(tree.ScrollFlag());

        dump.HighlightBytes(0, 0);
        QVERIFY(dump.Highlights().empty());
        dump.ScrollToHighlight();
        QCOMPARE(dump.verticalScrollBar()->value(), 0);
        QCOMPARE(dump.horizontalScrollBar()->value(), 0);

        // A click below the last line or right of a line selects nothing.
        QCOMPARE(dump.HitTestChar(QPointF(dump.CharAdvance() * 80, 5)), -1);
        QCOMPARE(dump.HitTestChar(CharPoint(dump, 74)), 74);

        window.list->OnCommand(cmd::kListDelete);
        QVERIFY(dump.DumpText().empty());
        QCOMPARE(dump.ContentSize(), QSize(4, 4));
        QCOMPARE(dump.HitTestChar(QPoint(10, 10)), -1);
    }

    void treeAndDumpLinkedOnARealTcpPacket() {
        const std::string path = CapturePath("tcp.pcap");
        CPaneWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(LoadCaptureFile(path, window.Document().Store()).ok);
        window.list->ShowPendingRows();
        int row = -1;
        for (int i = 0; i < window.list->RowCount() && row < 0; ++i) {
            if (Cell(window, i, kColumnProtocol).startsWith(QStringLiteral("TCP")) &&
                window.Document().Store().At(i)->header->caplen > 100) {
                row = i;
            }
        }
        QVERIFY(row >= 0);
        window.list->selectRow(row);
        CPacketTree& tree = *window.tree;
        CPacketDump& dump = *window.dump;
        const Packet* packet = window.Document().Store().At(row);
        QCOMPARE(tree.CurrentPacket(), packet);
        QVERIFY(
            tree.topLevelItem(0)->text(0).startsWith(QStringLiteral("【 No.%1 】").arg(row + 1)));
        QCOMPARE(tree.topLevelItem(0)->text(0).right(10),
                 QStringLiteral("【 %1 ﾊﾞｲﾄ 】").arg(packet->header->caplen).right(10));

        // Selecting the TCP checksum item highlights its two bytes, in the
        // hex digits and in the characters.
        const DecodeTree& content = tree.Content();
        const int tcpStart = 14 + content.IpHeaderLength();
        int checksumItem = -1;
        for (int item = 0; item < content.ItemCount() && checksumItem < 0; ++item) {
            if (content.Text(item).starts_with("【 ﾁｪｯｸｻﾑ 】") &&
                content.Parent(item) == content.SectionSlot(DecodeTree::kSlotTransport)) {
                checksumItem = item;
            }
        }
        QVERIFY(checksumItem >= 0);
        QCOMPARE(content.FindRange(checksumItem)->first, tcpStart + 16);
        QCOMPARE(content.FindRange(checksumItem)->length, 2);
        tree.setCurrentItem(tree.ItemAt(checksumItem));
        QCOMPARE(tree.RememberedOffset(), tcpStart + 16);
        const DumpLayout layout(dump.DumpText());
        const int checksumByte = tcpStart + 16;
        const int line = checksumByte / 16;
        const int column = checksumByte % 16;
        std::map<std::string, DumpHighlight> expected;
        if (column < 15) {
            QCOMPARE(dump.Highlights().size(), size_t(2));
            const DumpHighlight& hex =
                dump.Highlights().at(std::to_string(line * 73 + 6 + 3 * column));
            QCOMPARE(hex.last, line * 73 + 6 + 3 * column + 4);
            const DumpHighlight& chars =
                dump.Highlights().at(std::to_string(line * 73 + 55 + column));
            QCOMPARE(chars.last, line * 73 + 55 + column + 1);
        } else {
            QCOMPARE(dump.Highlights().size(), size_t(4));
        }

        // A click on a byte of the source port selects the source port item,
        // highlighting without scrolling.
        tree.setCurrentItem(tree.topLevelItem(0));
        QVERIFY(dump.Highlights().empty());
        const int byte = tcpStart + 1;
        const int hexIndex = layout.LineStart(byte / 16) + 6 + 3 * (byte % 16);
        QCOMPARE(dump.ByteAtChar(hexIndex), byte);
        dump.verticalScrollBar()->setValue(0);
        QTest::mouseClick(dump.viewport(), Qt::LeftButton, {}, CharPoint(dump, hexIndex).toPoint());
        QVERIFY(tree.currentItem() != nullptr);
        QVERIFY(tree.currentItem()->text(0).startsWith(QStringLiteral("【 発信元ﾎﾟｰﾄ 】【 ")));
        QCOMPARE(tree.RememberedOffset(), tcpStart);
        QCOMPARE(dump.Highlights().size(), size_t(2));
        QCOMPARE(dump.verticalScrollBar()->value(), 0);
        QVERIFY(tree.ScrollFlag());
        const ItemSelection expectedSelection = content.SelectItemAtByte(byte);

        // The offset column selects the root: no highlight, offset -1.
        QTest::mouseClick(dump.viewport(), Qt::LeftButton, {},
                          CharPoint(dump, layout.LineStart(1) + 1).toPoint());
        QCOMPARE(tree.currentItem(), tree.topLevelItem(0));
        QVERIFY(dump.Highlights().empty());
        QCOMPARE(tree.RememberedOffset(), -1);

        // The right button neither selects nor changes anything.
        QTreeWidgetItem* section = tree.topLevelItem(0)->child(0);
        QTest::mouseClick(tree.viewport(), Qt::RightButton, {},
                          tree.visualItemRect(section).center());
        QCOMPARE(tree.currentItem(), tree.topLevelItem(0));

        // Data lines follow the line count; the remembered item comes back.
        tree.setCurrentItem(tree.ItemAt(expectedSelection.item));
        tree.OnCommand(cmd::kTreeLine16);
        QCOMPARE(tree.LineCount(), 16);
        const int dataSection = tree.Content().SectionSlot(DecodeTree::kSlotData);
        QVERIFY(dataSection >= 0);
        for (const int line : tree.Content().Children(dataSection))
            QVERIFY(tree.Content().FindRange(line)->length <= 16);
        QVERIFY(tree.currentItem() != nullptr);
        QCOMPARE(tree.RememberedOffset(),
                 tree.Content().FindRange(tree.IndexOf(tree.currentItem()))->first);
        // A font size change keeps the items.
        const int items = tree.Content().ItemCount();
        tree.OnCommand(cmd::kTreeFontSmallest);
        QCOMPARE(tree.font().pointSizeF(), 9.0);
        QCOMPARE(tree.Content().ItemCount(), items);
        QCOMPARE(tree.topLevelItem(0)->childCount() > 0, true);
    }

    // Pictures of a document window: into KESTREL_SHOTS_DIR for people to look
    // at, else into a temporary folder (grabbing and saving work either way).
    void screenshots() {
        QTemporaryDir temporary;
        const char* asked = std::getenv("KESTREL_SHOTS_DIR");
        const QString shots = asked ? QString::fromUtf8(asked) : temporary.path();
        const std::string tcp = CapturePath("tcp.pcap");
        const std::string mixed = CapturePath("icmp.pcap");
        {
            CPaneWindow window(true);
            window.setWindowTitle(QStringLiteral("tcp.pcap"));
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(LoadCaptureFile(tcp, window.Document().Store()).ok);
            window.list->ShowPendingRows();
            window.list->selectRow(3);
            // The TCP checksum is at bytes 50-51 of a frame without IP options.
            const ItemSelection at = window.tree->Content().SelectItemAtByte(50);
            window.tree->setCurrentItem(window.tree->ItemAt(at.item));
            QCoreApplication::processEvents();
            QVERIFY(window.grab().save(shots + "/panes-tcp.png"));
        }
        {
            CPaneWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(LoadCaptureFile(mixed, window.Document().Store()).ok);
            Append(window, IcmpEcho());
            Append(window, Arp("00 00"));
            Append(window, Ipv6());
            window.list->ShowPendingRows();
            window.list->OnCommand(cmd::kListFontSmall);
            window.list->selectRow(1);
            window.dump->OnCommand(cmd::kDumpFontSmall);
            QCoreApplication::processEvents();
            QVERIFY(window.grab().save(shots + "/panes-colours.png"));
        }
    }

    void dataLinesAndExpansionFlags() {
        CPaneWindow window;
        // EtherType 0x4D4E: the MAC section, then the rest as Ethernet data.
        std::vector<uint8_t> bytes(40);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x41 + i);
        bytes[15] = 0x20;
        bytes[16] = 0x8A;
        const PacketHeader header{1, 5000, 40, 40};
        window.list->AppendPacket(MakePacket(header, bytes.data()));
        window.list->ShowPendingRows();
        window.tree->OnCommand(cmd::kTreeLine16);
        window.list->selectRow(0);
        CPacketTree& tree = *window.tree;
        QTreeWidgetItem* root = tree.topLevelItem(0);
        QCOMPARE(root->text(0),
                 QStringLiteral("【 No.1 】【 1970/01/01 00:00:01.5 】【 40 ﾊﾞｲﾄ 】"));
        QCOMPARE(root->childCount(), 2);
        QTreeWidgetItem* data = root->child(1);
        QCOMPARE(data->text(0), QStringLiteral("【 Ethernetﾃﾞｰﾀ 】"));
        QCOMPARE(data->childCount(), 2);
        QCOMPARE(data->child(0)->text(0), QStringLiteral("O..RSTUVWXYZ[\\]^"));
        QCOMPARE(data->child(1)->text(0), QStringLiteral("_`abcdefgh"));
        const ItemRange* last = tree.Content().FindRange(tree.IndexOf(data->child(1)));
        QCOMPARE(last->first, 30);
        QCOMPARE(last->length, 10);
        QVERIFY(!root->icon(0).isNull());
        // Remembered offset 0 selects the narrowest item holding byte 0.
        QVERIFY(tree.currentItem()->text(0).startsWith(
            QStringLiteral("【 宛て先MACｱﾄﾞﾚｽ 】【 41-42-43-44-45-46 】")));
        QCOMPARE(window.dump->Highlights().size(), size_t(2));
        QCOMPARE(tree.RememberedOffset(), 0);

        // Collapsing a section stores its slot's flag; the next packet opens so.
        const int slot = tree.Content().SlotOfItem(tree.IndexOf(data));
        QCOMPARE(slot, 2);
        data->setExpanded(false);
        QCOMPARE(tree.ExpandFlag(slot), 0);
        tree.RebuildTree();
        QVERIFY(!tree.topLevelItem(0)->child(1)->isExpanded());
        QVERIFY(tree.topLevelItem(0)->child(0)->isExpanded());
        QVERIFY(tree.topLevelItem(0)->isExpanded());
    }

    // Two running copies of the program on one settings file: the panes
    // destroyed last decide what the file holds, also when they keep what
    // their copy read at the start, and panes made after the other copy
    // stored its values start with those.
    void panesDestroyedLastDecideAcrossRunningCopies() {
        {
            CPaneWindow earlier;  // the defaults, stored by an earlier session
        }
        FlushProfile();
        auto first = std::make_unique<CPaneWindow>();
        QProcess other;
        other.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--other-copy")});
        QVERIFY(other.waitForFinished(30000));
        QCOMPARE(other.exitCode(), 0);
        {
            CPaneWindow next;
            QCOMPARE(next.list->FontHeight(), -21);
            QCOMPARE(next.tree->FontSize(), 180);
            QCOMPARE(next.dump->FontSize(), 150);
        }
        first.reset();
        FlushProfile();
        QFile file(QSettings(kProfileOrganisation, kProfileApplication).fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const char* line : {"LIST_FONT_SIZE=-15", "TREE_FONT_SIZE=120", "DUMP_FONT_SIZE=110"})
            QVERIFY2(lines.contains(line), line);
    }

    void settingsAreWrittenOnDestroyAndReadByTheNextWindow() {
        {
            CPaneWindow window;
            QCOMPARE(window.list->FontHeight(), -15);
            QCOMPARE(window.tree->FontSize(), 120);
            QCOMPARE(window.dump->FontSize(), 110);
            window.list->OnCommand(cmd::kListFontLarge);
            window.list->OnCommand(cmd::kListAutoScroll);
            window.tree->OnCommand(cmd::kTreeFontLargest);
            window.tree->OnCommand(cmd::kTreeLine64);
            window.dump->OnCommand(cmd::kDumpFontSmallest);
            QCOMPARE(window.dump->DumpFont().pointSizeF(), 7.0);
            QCOMPARE(window.dump->DumpFont().family(), QStringLiteral("ＭＳ ゴシック"));
            // Served by the monospace Japanese font it is substituted with.
            QCOMPARE(QFontInfo(window.dump->DumpFont()).family(), QStringLiteral("IPAGothic"));
            QVERIFY(QFontInfo(window.tree->TreeFont()).family().startsWith("IPA"));
            const QFontMetrics metrics(window.dump->DumpFont());
            QCOMPARE(metrics.horizontalAdvance(QLatin1Char('W')),
                     metrics.horizontalAdvance(QLatin1Char('.')));
            Fill(window, 1);
            window.list->ShowPendingRows();
            window.list->selectRow(0);
            window.tree->topLevelItem(0)->child(0)->setExpanded(false);
            window.dump->OnCommand(cmd::kDumpFontLargest);
        }
        QCOMPARE(GetProfileInt("LIST_FONT_SIZE", 0), -18);
        QCOMPARE(GetProfileInt("LIST_AUTO_SCROLL", 5), 0);
        QCOMPARE(GetProfileInt("TREE_FONT_SIZE", 0), 180);
        QCOMPARE(GetProfileInt("TREE_LINE_COUNT", 0), 64);
        QCOMPARE(GetProfileInt("TREE_ITEM_SELECT", -7), 0);
        QCOMPARE(GetProfileInt("TREE_EXPAND_00", 5), 1);
        QCOMPARE(GetProfileInt("TREE_EXPAND_01", 5), 0);
        QCOMPARE(GetProfileInt("TREE_EXPAND_19", 5), 1);
        QCOMPARE(GetProfileInt("DUMP_FONT_SIZE", 0), 150);

        WriteProfileInt("DUMP_FONT_SIZE", 100);  // not one of the five: used, nothing checked
        WriteProfileInt("LIST_FONT_SIZE", -10);
        CPaneWindow next;
        QCOMPARE(next.list->FontHeight(), -10);
        QCOMPARE(next.list->RowHeight(), 10);
        QVERIFY(!next.list->AutoScroll());
        QCOMPARE(next.tree->FontSize(), 180);
        QCOMPARE(next.tree->LineCount(), 64);
        QCOMPARE(next.tree->ExpandFlag(1), 0);
        QCOMPARE(next.dump->FontSize(), 100);
        std::unique_ptr<QMenu> menu(next.dump->CreateContextMenu());
        for (int id = cmd::kDumpFontLargest; id <= cmd::kDumpFontSmallest; ++id)
            QVERIFY(!FindCommand(menu.get(), id)->isChecked());
        menu.reset(next.list->CreateContextMenu());
        for (int id = cmd::kListFontLargest; id <= cmd::kListFontSmallest; ++id)
            QVERIFY(!FindCommand(menu.get(), id)->isChecked());
    }

    void sinkOnAnotherThreadFillsTheList() {
        CPaneWindow window;
        window.captureState = 1;
        std::thread worker([&window] {
            const std::vector<uint8_t> bytes = Tcp();
            const PacketHeader header{1, 0, static_cast<uint32_t>(bytes.size()),
                                      static_cast<uint32_t>(bytes.size())};
            for (int i = 0; i < 1500; ++i)
                CPacketList::PacketSink(window.list, MakePacket(header, bytes.data()));
        });
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(window.list->RowCount(), 1500, 10000);
        QCOMPARE(Cell(window, 1499, kColumnNumber), QStringLiteral("1500"));
        QCOMPARE(window.stops, 0);
    }
};

// The other running copy of panesDestroyedLastDecideAcrossRunningCopies, on
// the same settings file: its panes take the largest fonts and go.
int RunOtherCopy() {
    {
        CPaneWindow window;
        window.list->OnCommand(cmd::kListFontLargest);
        window.tree->OnCommand(cmd::kTreeFontLargest);
        window.dump->OnCommand(cmd::kDumpFontLargest);
    }
    FlushProfile();
    return 0;
}

int main(int argc, char** argv) {
    const bool otherCopy = argc == 2 && std::string(argv[1]) == "--other-copy";
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    if (!otherCopy)
        setenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit().constData(), 1);
    QApplication application(argc, argv);
    QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    if (otherCopy)
        return RunOtherCopy();
    PanesTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "panes_test.moc"
