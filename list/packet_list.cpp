#include "list/packet_list.h"

#include <QHeaderView>

#include "shell/child_frame.h"
#include "shell/kestrel_doc.h"

namespace kestrel {

CPacketListModel::CPacketListModel(QObject* parent) : QAbstractTableModel(parent) {}

int CPacketListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CPacketListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CPacketListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()))
        return {};
    const RowTexts& row = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(row.cells[static_cast<size_t>(index.column())]);
        case Qt::BackgroundRole: {
            const Rgb colour = RowColour(row.kind);
            return QColor(colour.red, colour.green, colour.blue);
        }
        case Qt::ForegroundRole:
            return QColor(Qt::black);
        default:
            return {};
    }
}

QVariant CPacketListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumnCount) {
        return {};
    }
    return QString::fromLatin1(kRowColumns[static_cast<size_t>(section)].title);
}

void CPacketListModel::AppendRows(std::vector<RowTexts> rows) {
    if (rows.empty())
        return;
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    for (RowTexts& row : rows) m_rows.push_back(std::move(row));
    endInsertRows();
}

CPacketList::CPacketList(CKestrelDoc* document, CChildFrame* frame, QWidget* parent)
    : QTableView(parent), m_document(document), m_frame(frame) {
    setModel(&m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSortingEnabled(false);
    setWordWrap(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 2);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false);
    for (int column = 0; column < kColumnCount; ++column) {
        setColumnWidth(column, kRowColumns[static_cast<size_t>(column)].width);
    }

    m_capacityTimer.setSingleShot(true);
    m_capacityTimer.setInterval(kCapacityStopMs);
    connect(&m_capacityTimer, &QTimer::timeout, this, [this] { m_frame->StopCapture(); });

    m_rowTimer.setInterval(kRowTimerMs);
    connect(&m_rowTimer, &QTimer::timeout, this, &CPacketList::ShowPendingRows);
    m_rowTimer.start();
}

CPacketList::~CPacketList() = default;

void CPacketList::AppendPacket(Packet* packet) {
    if (m_document->Store().AppendPacket(packet) != PacketStore::AppendResult::Full)
        return;
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
        m_rowTimer.stop();
        return;
    }
    const PacketStore& store = m_document->Store();
    const int count = store.Count();
    std::vector<RowTexts> rows;
    while (m_rowCount < count && static_cast<int>(rows.size()) < kRowsPerTick) {
        rows.push_back(BuildRowTexts(*store.At(m_rowCount), m_rowCount + 1));
        ++m_rowCount;
    }
    m_model.AppendRows(std::move(rows));
}

}  // namespace kestrel
