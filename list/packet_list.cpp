#include "list/packet_list.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <algorithm>
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
#include "tree/packet_tree.h"

namespace kestrel {

namespace {

constexpr const char* kKeyFontSize = "LIST_FONT_SIZE";
constexpr const char* kKeyAutoScroll = "LIST_AUTO_SCROLL";

struct FontChoice {
    int command;
    int height;  // negative pixel height
};
constexpr std::array<FontChoice, 5> kFontChoices = {{{cmd::kListFontLargest, -21},
                                                     {cmd::kListFontLarge, -18},
                                                     {cmd::kListFontMedium, -15},
                                                     {cmd::kListFontSmall, -12},
                                                     {cmd::kListFontSmallest, -9}}};

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
    m_autoScroll = GetProfileInt(kKeyAutoScroll, 1) != 0;

    setModel(&m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSortingEnabled(false);
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
    for (int column = 0; column < kColumnCount; ++column) {
        setColumnWidth(column, kRowColumns[static_cast<size_t>(column)].width);
    }
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

    m_rowTimer.setInterval(kRowTimerMs);
    connect(&m_rowTimer, &QTimer::timeout, this, &CPacketList::ShowPendingRows);
    m_rowTimer.start();
}

CPacketList::~CPacketList() {
    WriteProfileInt(kKeyFontSize, m_fontHeight);
    WriteProfileInt(kKeyAutoScroll, m_autoScroll ? 1 : 0);
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
    QFont font = QApplication::font();
    // A stored height that is not one of the menu's is used as it is; a
    // height of 0 still gives readable rows.
    const int pixels = std::max(1, std::abs(m_fontHeight));
    font.setPixelSize(pixels);
    m_font = font;
    setFont(m_font);
    verticalHeader()->setDefaultSectionSize(pixels);
    if (top > 0)
        scrollTo(m_model.index(top, 0), QAbstractItemView::PositionAtTop);
    viewport()->update();
}

std::vector<int> CPacketList::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

void CPacketList::OnSelectionChanged() {
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
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
        DeleteSelectedPackets();
        return;
    }
    if (event->key() == Qt::Key_Shift)
        return;
    QTableView::keyPressEvent(event);
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
