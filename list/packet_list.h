// The packet list pane: one row per packet of the document's store, rows
// added from the store by a 100 ms timer (at most 500 per tick).
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <QTimer>
#include <atomic>
#include <vector>

#include "core/packet.h"
#include "core/row_text.h"

namespace kestrel {

class CChildFrame;
class CKestrelDoc;

// Row texts are computed once, when the row is added.
class CPacketListModel : public QAbstractTableModel {
public:
    explicit CPacketListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Appends rows with one insertion.
    void AppendRows(std::vector<RowTexts> rows);

private:
    std::vector<RowTexts> m_rows;
};

class CPacketList : public QTableView {
    Q_OBJECT
public:
    static constexpr int kRowTimerMs = 100;
    static constexpr int kRowsPerTick = 500;
    static constexpr int kCapacityStopMs = 1000;

    CPacketList(CKestrelDoc* document, CChildFrame* frame, QWidget* parent = nullptr);
    ~CPacketList() override;

    // Appends a packet to the document's store; takes ownership in every case.
    // Runs on the capture worker (through PacketSink) and on the UI thread.
    // The first packet refused by a full store arms, once in the life of the
    // list, a 1000 ms single shot that stops the document's capture.
    void AppendPacket(Packet* packet);
    // The engine's packet sink: `context` is the CPacketList.
    static void PacketSink(void* context, Packet* packet);

    // Turns up to 500 new store slots into rows (the row timer's tick).
    void ShowPendingRows();
    int RowCount() const { return m_rowCount; }
    bool IsRowTimerActive() const { return m_rowTimer.isActive(); }
    bool IsCapacityTimerArmed() const { return m_capacityTimerArmed.load(); }
    bool IsCapacityTimerActive() const { return m_capacityTimer.isActive(); }

private:
    CKestrelDoc* m_document;
    CChildFrame* m_frame;
    CPacketListModel m_model;
    QTimer m_rowTimer;
    QTimer m_capacityTimer;
    std::atomic<bool> m_capacityTimerArmed{false};
    int m_rowCount = 0;
};

}  // namespace kestrel
