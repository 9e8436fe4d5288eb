// The packet list pane: one row per packet of the document's store, rows
// added from the store by a 100 ms timer (at most 500 per tick), coloured by
// frame kind; selecting one row shows its packet in the tree and the dump.
#pragma once

#include <QAbstractTableModel>
#include <QFont>
#include <QSet>
#include <QTableView>
#include <QTimer>
#include <array>
#include <atomic>
#include <deque>
#include <vector>

#include "core/packet.h"
#include "core/row_text.h"
#include "list/packet_transfer.h"

class QMenu;
class QMimeData;

namespace kestrel {

class CPaneHost;
class CKestrelDoc;
class CExtractDialog;
struct ExtractCondition;

// The cell texts of one row, converted once when the row is added, and the
// row's frame kind (its colour goes with the row when rows above it go).
struct ListRow {
    std::array<QString, kColumnCount> cells;
    RowKind kind = RowKind::Other;
    bool offersExtractionValues = false;
};

ListRow MakeListRow(const Packet& packet, int number, LocalTimeCache* times = nullptr);

// Rows in store order; after a removal RenumberRows gives every "No." cell
// its row index + 1 again.
class CPacketListModel : public QAbstractTableModel {
public:
    explicit CPacketListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Appends rows with one insertion.
    void AppendRows(std::vector<ListRow> rows);
    // Removes the rows (ascending indexes), one removal per run of adjacent rows.
    void RemoveRows(const std::vector<int>& ascending);
    // Sets the "No." cell of every row i to i + 1.
    void RenumberRows();
    RowKind KindOf(int row) const { return m_rows[static_cast<size_t>(row)].kind; }

private:
    // A deque: growing never moves the rows already there, so a tick costs
    // the same at row 20000 as at row 20.
    std::deque<ListRow> m_rows;
};

class CPacketList : public QTableView {
    Q_OBJECT
public:
    static constexpr int kRowTimerMs = 100;
    static constexpr int kRowsPerTick = 500;
    static constexpr int kCapacityStopMs = 1000;
    static constexpr int kDefaultFontHeight = -15;  // negative pixel height
    // A stored font height whose rows would be taller than this (or 0) is
    // not used: the default is.
    static constexpr int kMaxFontPixels = 1000;

    CPacketList(CKestrelDoc* document, CPaneHost* frame, QWidget* parent = nullptr);
    // Stores the font height and the auto scroll flag.
    ~CPacketList() override;

    // Appends a packet to the document's store; takes ownership in every case.
    // Runs on the capture worker (through PacketSink) and on the UI thread.
    // A packet refused by a full store arms a 1000 ms single shot that stops
    // the document's capture (unless one is armed already), each time a
    // capture meets the full store.
    void AppendPacket(Packet* packet);
    // The engine's packet sink: `context` is the CPacketList.
    static void PacketSink(void* context, Packet* packet);

    // Turns up to 500 new store slots into rows (the row timer's tick); at
    // 30000 rows the timer stops until rows are deleted.
    void ShowPendingRows();
    // Asks how many of the selected rows to delete, then removes them from
    // the list and the store.
    void DeleteSelectedPackets();

    int RowCount() const { return m_rowCount; }
    bool IsRowTimerActive() const { return m_rowTimer.isActive(); }
    bool IsCapacityTimerArmed() const { return m_capacityTimerArmed.load(); }
    bool IsCapacityTimerActive() const { return m_capacityTimer.isActive(); }
    int FontHeight() const { return m_fontHeight; }
    bool AutoScroll() const { return m_autoScroll; }
    // Pixel height of every row.
    int RowHeight() const;
    // Background colour of a row.
    QColor RowColourOf(int row) const;
    // Brings a row into view vertically; the columns stay where they were
    // scrolled, so "No." does not go out of view on the way to the last row.
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    // Width of a column the user dragged (persisted), 0 for one that opens
    // at its width for the font.
    int UserColumnWidth(int column) const { return m_userWidths[static_cast<size_t>(column)]; }
    // True while the tree and the dump wait for the event loop's next idle
    // turn to show the selected packet (keyboard steps are coalesced).
    bool IsShowPending() const { return m_showTimer.isActive(); }

    // The context menu as it would show now (checks and greying applied).
    QMenu* CreateContextMenu();
    bool OnCommand(int id);

    // Drag and drop of packets between lists (list/packet_transfer.cpp).
    // Starts a drag of the selected rows and returns when it has ended.
    void BeginPacketDrag();
    // Replaces the system drag (tests deliver the drop themselves).
    void SetDragRunner(DragRunner runner);
    bool IsDragSource() const { return m_dragSource; }
    // True for data offering packets while this list is not the source.
    bool AcceptsTransfer(const QMimeData* data) const;
    // Appends copies of the dropped packets after deselecting every row and
    // activates this list's window; false, changing nothing, when the data
    // is refused.
    bool DropPackets(const QMimeData* data);

    // Extraction (list/extract_dialog.cpp). The command: the dialog, then
    // RunExtraction of its conditions.
    void OnExtract();
    // Copies the rows matching at least one condition, in row order, into a
    // new extraction document; returns that document's list, nullptr when no
    // row matches.
    CPacketList* RunExtraction(const std::vector<ExtractCondition>& conditions);
    CExtractDialog* ExtractDialog() const { return m_extractDialog; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void ApplyListFont();
    // Every column at its user width, or at its opening width for the font.
    void ApplyColumnWidths();
    // Widens the TYPE column for ARP texts wider than it opened for.
    void WidenForTypeTexts(const std::vector<ListRow>& rows);
    void OnSelectionChanged();
    // Shows the one selected row's packet in the tree and the dump.
    void ShowSelectedPacket();
    // Puts the row of the vertical scroll position at the top, whole.
    void AlignTopRow();
    // Where the focus rectangle of a row is drawn: around its cells, on the
    // grid lines.
    QRect FocusFrameRect(int row) const;
    std::vector<int> SelectedRows() const;

    CKestrelDoc* m_document;
    CPaneHost* m_frame;
    CPacketListModel m_model;
    QTimer m_rowTimer;
    QTimer m_capacityTimer;
    std::atomic<bool> m_capacityTimerArmed{false};
    int m_rowCount = 0;
    int m_fontHeight = kDefaultFontHeight;
    bool m_autoScroll = true;
    QFont m_font;
    std::array<int, kColumnCount> m_userWidths{};
    QSet<QString> m_typeTexts;  // ARP texts of the TYPE column shown so far
    bool m_applyingWidths = false;
    bool m_deferShow = false;  // selection changes of a key press wait for the idle turn
    QTimer m_showTimer;
    bool m_dragSource = false;  // a drag of this list's rows is running
    DragRunner m_dragRunner;
    CExtractDialog* m_extractDialog = nullptr;  // a child: lives as long as the list
};

}  // namespace kestrel
