#include "list/packet_list.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "capture/capture_engine.h"
#include "core/local_time.h"
#include "dump/packet_dump.h"
#include "framework/command_ids.h"
#include "framework/kestrel_doc.h"
#include "framework/pane_host.h"
#include "framework/pane_menu.h"
#include "framework/profile.h"
#include "framework/prompter.h"
#include "list/extract_dialog.h"
#include "list/packet_list_style.h"
#include "tree/packet_tree.h"

namespace kestrel {

namespace {

constexpr const char* kKeyFontSize = "LIST_FONT_SIZE";
constexpr const char* kKeyAutoScroll = "LIST_AUTO_SCROLL";
// Widths the user dragged, one key per column; 0 for a column that opens at
// its width for the font.
constexpr const char* kKeyColumnWidthFormat = "LIST_COLUMN_WIDTH_%02d";

struct FontChoice {
    int command;
    int height;  // negative pixel height
};
constexpr std::array<FontChoice, 5> kFontChoices = {{{cmd::kListFontLargest, -21},
                                                     {cmd::kListFontLarge, -18},
                                                     {cmd::kListFontMedium, -15},
                                                     {cmd::kListFontSmall, -12},
                                                     {cmd::kListFontSmallest, -9}}};

std::string ColumnWidthKey(int column) {
    char key[32];
    std::snprintf(key, sizeof key, kKeyColumnWidthFormat, column);
    return key;
}

}  // namespace

ListRow MakeListRow(const Packet& packet, int number, LocalTimeCache* times) {
    RowTexts texts = BuildRowTexts(packet, number, times);
    ListRow row;
    for (size_t i = 0; i < texts.cells.size(); ++i) {
        row.cells[i] =
            QString::fromUtf8(texts.cells[i].data(), static_cast<qsizetype>(texts.cells[i].size()));
    }
    row.kind = texts.kind;
    row.offersExtractionValues = texts.offersExtractionValues;
    return row;
}

CPacketListModel::CPacketListModel(QObject* parent) : QAbstractTableModel(parent) {}

int CPacketListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CPacketListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CPacketListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()) ||
        index.column() >= kColumnCount) {
        return {};
    }
    const ListRow& row = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return row.cells[static_cast<size_t>(index.column())];
        case Qt::BackgroundRole: {
            const Rgb colour = RowColour(row.kind);
            return QColor(colour.red, colour.green, colour.blue);
        }
        case Qt::ForegroundRole:
            return QColor(Qt::black);
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        default:
            return {};
    }
}

QVariant CPacketListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kRowColumns[static_cast<size_t>(section)].title);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags CPacketListModel::flags(const QModelIndex& index) const {
    // Rows are dragged to other lists (list/packet_transfer.cpp).
    return QAbstractTableModel::flags(index) |
           (index.isValid() ? Qt::ItemIsDragEnabled : Qt::NoItemFlags);
}

void CPacketListModel::AppendRows(std::vector<ListRow> rows) {
    if (rows.empty())
        return;
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    m_rows.insert(m_rows.end(), std::make_move_iterator(rows.begin()),
                  std::make_move_iterator(rows.end()));
    endInsertRows();
}

void CPacketListModel::RemoveRows(const std::vector<int>& ascending) {
    // From the bottom up, so the indexes of the runs still to go stay valid.
    size_t end = ascending.size();
    while (end > 0) {
        size_t begin = end - 1;
        while (begin > 0 && ascending[begin - 1] == ascending[begin] - 1) --begin;
        const int first = ascending[begin];
        const int last = ascending[end - 1];
        beginRemoveRows(QModelIndex(), first, last);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        endRemoveRows();
        end = begin;
    }
}

void CPacketListModel::RenumberRows() {
    int first = -1;
    for (size_t i = 0; i < m_rows.size(); ++i) {
        QString number = QString::number(static_cast<int>(i) + 1);
        if (m_rows[i].cells[kColumnNumber] != number) {
            m_rows[i].cells[kColumnNumber] = std::move(number);
            if (first < 0)
                first = static_cast<int>(i);
        }
    }
    if (first >= 0) {
        emit dataChanged(index(first, kColumnNumber),
                         index(static_cast<int>(m_rows.size()) - 1, kColumnNumber),
                         {Qt::DisplayRole});
    }
}

CPacketList::CPacketList(CKestrelDoc* document, CPaneHost* frame, QWidget* parent)
    : QTableView(parent), m_document(document), m_frame(frame) {
    m_fontHeight = GetProfileInt(kKeyFontSize, kDefaultFontHeight);
    // A stored height is used as it is, unless no row could be drawn with it.
    if (m_fontHeight == 0 || m_fontHeight < -kMaxFontPixels || m_fontHeight > kMaxFontPixels)
        m_fontHeight = kDefaultFontHeight;
    m_autoScroll = GetProfileInt(kKeyAutoScroll, 1) != 0;
    for (int column = 0; column < kColumnCount; ++column) {
        const int width = GetProfileInt(ColumnWidthKey(column).c_str(), 0);
        m_userWidths[static_cast<size_t>(column)] =
            width > 0 && width <= kMaxColumnWidth ? width : 0;
    }

    setModel(&m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSortingEnabled(false);
    setItemDelegate(new CPacketRowDelegate(this));
    setTabKeyNavigation(false);
    setWordWrap(false);
    setShowGrid(true);
    setTextElideMode(Qt::ElideRight);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setSortIndicatorShown(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setStretchLastSection(false);
    // A width the user drags is kept, across restarts too.
    connect(horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int column, int, int width) {
                if (!m_applyingWidths && column >= 0 && column < kColumnCount)
                    m_userWidths[static_cast<size_t>(column)] = width;
            });
    ApplyListFont();
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    viewport()->setAcceptDrops(true);
    m_extractDialog = new CExtractDialog(this);

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CPacketList::OnSelectionChanged);

    m_capacityTimer.setSingleShot(true);
    m_capacityTimer.setInterval(kCapacityStopMs);
    connect(&m_capacityTimer, &QTimer::timeout, this, [this] {
        m_capacityTimerArmed.store(false);
        // Rows deleted meanwhile made room: the capture stores again.
        if (m_frame && m_document->Store().IsFull())
            m_frame->StopCapture();
    });

    // Keys held down select faster than the panes can follow: the tree and
    // the dump show the row selected when the event loop is idle again.
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(0);
    connect(&m_showTimer, &QTimer::timeout, this, &CPacketList::ShowSelectedPacket);

    m_rowTimer.setInterval(kRowTimerMs);
    connect(&m_rowTimer, &QTimer::timeout, this, &CPacketList::ShowPendingRows);
    m_rowTimer.start();
}

CPacketList::~CPacketList() {
    WriteProfileInt(kKeyFontSize, m_fontHeight);
    WriteProfileInt(kKeyAutoScroll, m_autoScroll ? 1 : 0);
    for (int column = 0; column < kColumnCount; ++column)
        WriteProfileInt(ColumnWidthKey(column).c_str(), m_userWidths[static_cast<size_t>(column)]);
}

void CPacketList::AppendPacket(Packet* packet) {
    if (m_document->Store().AppendPacket(packet) != PacketStore::AppendResult::Full)
        return;
    // One stop per overflow at a time; once it has fired, the next packet a
    // full store refuses arms it again, so a capture restarted on a full
    // document is stopped as well.
    if (m_capacityTimerArmed.exchange(true))
        return;
    // Possibly on the capture worker: the timer belongs to the UI thread.
    QMetaObject::invokeMethod(
        this, [this] { m_capacityTimer.start(); }, Qt::QueuedConnection);
}

void CPacketList::PacketSink(void* context, Packet* packet) {
    static_cast<CPacketList*>(context)->AppendPacket(packet);
}

void CPacketList::ShowPendingRows() {
    if (m_rowCount >= PacketStore::kCapacity) {
        // Nothing can come until rows are deleted, which starts the timer again.
        m_rowTimer.stop();
        return;
    }
    const PacketStore& store = m_document->Store();
    const int count = store.Count();
    const int end = std::min(count, m_rowCount + kRowsPerTick);
    if (end <= m_rowCount)
        return;
    std::vector<ListRow> rows;
    rows.reserve(static_cast<size_t>(end - m_rowCount));
    LocalTimeCache times;
    for (int i = m_rowCount; i < end; ++i) {
        rows.push_back(MakeListRow(*store.At(i), i + 1, &times));
        if (rows.back().offersExtractionValues)
            m_extractDialog->AddRowValues(rows.back().cells);
    }
    m_rowCount = end;
    WidenForTypeTexts(rows);
    m_model.AppendRows(std::move(rows));
    if (m_autoScroll)
        scrollToBottom();
}

int CPacketList::RowHeight() const {
    return verticalHeader()->defaultSectionSize();
}

QColor CPacketList::RowColourOf(int row) const {
    const Rgb colour = RowColour(m_model.KindOf(row));
    return QColor(colour.red, colour.green, colour.blue);
}

void CPacketList::ApplyListFont() {
    // The top row stays the top row across the change of row height.
    const int top = rowAt(0);
    const int pixels = std::abs(m_fontHeight);
    m_font = ListFont(pixels);
    setFont(m_font);
    verticalHeader()->setDefaultSectionSize(pixels);
    ApplyColumnWidths();
    if (top > 0)
        scrollTo(m_model.index(top, 0), QAbstractItemView::PositionAtTop);
    viewport()->update();
}

void CPacketList::ApplyColumnWidths() {
    m_applyingWidths = true;
    for (int column = 0; column < kColumnCount; ++column) {
        const int user = m_userWidths[static_cast<size_t>(column)];
        const QStringList shown = column == kColumnType ? m_typeTexts.values() : QStringList();
        setColumnWidth(column, user > 0
                                   ? user
                                   : OpeningColumnWidth(column, m_font, horizontalHeader(), shown));
    }
    m_applyingWidths = false;
}

void CPacketList::WidenForTypeTexts(const std::vector<ListRow>& rows) {
    // The operation names of rare ARP frames are longer than the column
    // opens for: it widens when one is shown (unless the user set its width).
    QStringList added;
    for (const ListRow& row : rows) {
        const QString& type = row.cells[kColumnType];
        if (row.kind == RowKind::Arp && !m_typeTexts.contains(type)) {
            m_typeTexts.insert(type);
            added.append(type);
        }
    }
    if (added.isEmpty() || m_userWidths[kColumnType] > 0)
        return;
    const int width = OpeningColumnWidth(kColumnType, m_font, horizontalHeader(), added);
    if (width > columnWidth(kColumnType)) {
        m_applyingWidths = true;
        setColumnWidth(kColumnType, width);
        m_applyingWidths = false;
    }
}

std::vector<int> CPacketList::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

void CPacketList::OnSelectionChanged() {
    if (m_deferShow) {
        m_showTimer.start();
        return;
    }
    m_showTimer.stop();
    ShowSelectedPacket();
}

void CPacketList::ShowSelectedPacket() {
    const std::vector<int> rows = SelectedRows();
    if (rows.size() != 1 || !m_frame)
        return;
    const int row = rows.front();
    const Packet* packet = m_document->Store().At(row);
    if (CPacketDump* dump = m_frame->DumpPane())
        dump->SetPacket(packet);
    if (CPacketTree* tree = m_frame->TreePane())
        tree->ShowPacket(packet, row + 1);
}

void CPacketList::DeleteSelectedPackets() {
    std::vector<int> rows = SelectedRows();
    const QString question =
        QStringLiteral("%1 ﾊﾟｹｯﾄを削除します。よろしいですか？").arg(static_cast<int>(rows.size()));
    if (!m_frame || !m_frame->PanePrompter().AskYesNo(this, question))
        return;
    if (rows.empty())
        return;
    // The tree and the dump forget the packets before they are released.
    if (CPacketTree* tree = m_frame->TreePane())
        tree->ClearTree();
    if (CPacketDump* dump = m_frame->DumpPane())
        dump->ClearPacket();
    selectionModel()->clearSelection();
    m_model.RemoveRows(rows);
    m_document->Store().RemovePackets(rows);
    m_rowCount -= static_cast<int>(rows.size());
    m_model.RenumberRows();
    // Packets appended from now on (capture, drop) become rows again.
    if (!m_rowTimer.isActive())
        m_rowTimer.start();
}

void CPacketList::keyPressEvent(QKeyEvent* event) {
    // The Delete key, from the keypad and with Ctrl too; Shift+Delete is the
    // cut accelerator and Alt+Delete a system key.
    if (event->key() == Qt::Key_Delete &&
        !(event->modifiers() & (Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier))) {
        DeleteSelectedPackets();
        return;
    }
    if (event->key() == Qt::Key_Shift)
        return;
    m_deferShow = true;
    QTableView::keyPressEvent(event);
    m_deferShow = false;
}

QModelIndex CPacketList::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    // A report list moves by rows: Home and End (with Ctrl or without) go
    // to the first and the last row; left and right scroll sideways.
    const int rows = m_model.rowCount();
    const QModelIndex current = currentIndex();
    const int column = current.isValid() ? current.column() : 0;
    switch (action) {
        case MoveHome:
            return rows > 0 ? m_model.index(0, column) : QModelIndex();
        case MoveEnd:
            return rows > 0 ? m_model.index(rows - 1, column) : QModelIndex();
        case MoveLeft:
        case MoveRight:
            horizontalScrollBar()->triggerAction(action == MoveLeft
                                                     ? QAbstractSlider::SliderSingleStepSub
                                                     : QAbstractSlider::SliderSingleStepAdd);
            return current;
        default:
            return QTableView::moveCursor(action, modifiers);
    }
}

QItemSelectionModel::SelectionFlags CPacketList::selectionCommand(const QModelIndex& index,
                                                                  const QEvent* event) const {
    // Ctrl+Home and Ctrl+End select the row they go to.
    if (event && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Home || key->key() == Qt::Key_End) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
            return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
        }
    }
    return QTableView::selectionCommand(index, event);
}

void CPacketList::scrollTo(const QModelIndex& index, ScrollHint hint) {
    // Rows come into view vertically; the columns stay where they were
    // scrolled, so "No." does not go out of view when the last row is reached.
    const int x = horizontalScrollBar()->value();
    QTableView::scrollTo(index, hint);
    horizontalScrollBar()->setValue(x);
}

void CPacketList::scrollContentsBy(int dx, int dy) {
    QTableView::scrollContentsBy(dx, dy);
    AlignTopRow();
}

void CPacketList::updateGeometries() {
    QTableView::updateGeometries();
    AlignTopRow();
}

void CPacketList::AlignTopRow() {
    // A report list scrolls by whole rows: the row of the scroll position is
    // the top row, whole, at the end of the list too, where the base class
    // would align the last row with the bottom edge and cut the top one.
    // The last row is whole all the same: the scroll range ends at the first
    // row from which every row fits.
    QHeaderView* rows = verticalHeader();
    const int top = verticalScrollBar()->value();
    if (top < 0 || top >= rows->count())
        return;
    const int offset = rows->sectionPosition(rows->logicalIndex(top));
    if (rows->offset() == offset)
        return;
    rows->setOffset(offset);
    viewport()->update();
}

QRect CPacketList::FocusFrameRect(int row) const {
    // The cells of the row, grown onto the grid lines around them: the grid
    // line above, the row's own below and at its right end. At the smallest
    // font sizes the glyphs fill the cells from edge to edge, so a frame
    // inside them would run through the texts.
    const QRect first = visualRect(m_model.index(row, 0));
    const QRect last = visualRect(m_model.index(row, kColumnCount - 1));
    return first.united(last).adjusted(0, -kGridLineWidth, kGridLineWidth, kGridLineWidth);
}

void CPacketList::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    // The focus rectangle goes around the whole row that has the focus.
    const QModelIndex current = currentIndex();
    if (!hasFocus() || !current.isValid())
        return;
    const QRect frame = FocusFrameRect(current.row());
    if (!frame.intersects(event->rect()))
        return;
    QPainter painter(viewport());
    DrawFocusRectangle(painter, frame);
}

void CPacketList::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    viewport()->update();
}

void CPacketList::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    viewport()->update();
}

void CPacketList::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    // The focus rectangle spans the row: both rows are drawn again whole,
    // with the grid lines the rectangle lies on.
    for (const QModelIndex& index : {previous, current}) {
        if (index.isValid())
            viewport()->update(FocusFrameRect(index.row()));
    }
}

QMenu* CPacketList::CreateContextMenu() {
    const bool capture = m_frame && m_frame->IsCaptureDocument();
    const int state = m_frame ? m_frame->GetCaptureState() : kCaptureUnknown;
    return BuildPaneMenu(capture, cmd::kPopupList, this, [this, state](int id, CommandState& s) {
        for (const FontChoice& choice : kFontChoices) {
            if (choice.command == id) {
                s.checked = choice.height == m_fontHeight;
                return true;
            }
        }
        switch (id) {
            case cmd::kListCaptureStart:
                s.enabled = state == kCaptureIdle;
                return true;
            case cmd::kListCaptureStop:
                s.enabled = state == kCaptureCapturing;
                return true;
            case cmd::kListAutoScroll:
                s.checked = m_autoScroll;
                s.enabled = state == kCaptureIdle || state == kCaptureCapturing;
                return true;
            case cmd::kListExtract:
            case cmd::kListDelete:
            case cmd::kListSelectAll:
                return true;
            default:
                return false;
        }
    });
}

void CPacketList::contextMenuEvent(QContextMenuEvent* event) {
    const int id = ExecPaneMenu(CreateContextMenu(), event->globalPos());
    if (id >= 0)
        OnCommand(id);
}

bool CPacketList::OnCommand(int id) {
    for (const FontChoice& choice : kFontChoices) {
        if (choice.command == id) {
            m_fontHeight = choice.height;
            // Every column opens again at its width for the new font.
            m_userWidths.fill(0);
            ApplyListFont();
            return true;
        }
    }
    switch (id) {
        case cmd::kListCaptureStart:
            if (m_frame)
                m_frame->StartCaptureCommand();
            return true;
        case cmd::kListCaptureStop:
            if (m_frame)
                m_frame->StopCapture();
            return true;
        case cmd::kListAutoScroll:
            m_autoScroll = !m_autoScroll;
            return true;
        case cmd::kListExtract:
            OnExtract();
            return true;
        case cmd::kListDelete:
            DeleteSelectedPackets();
            return true;
        case cmd::kListSelectAll:
            selectAll();
            return true;
        default:
            return false;
    }
}

}  // namespace kestrel
