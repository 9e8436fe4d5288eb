#include "list/packet_transfer.h"

#include <QDrag>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMdiSubWindow>
#include <QMimeData>
#include <memory>
#include <new>

#include "core/transfer_payload.h"
#include "framework/kestrel_doc.h"
#include "framework/pane_host.h"
#include "list/packet_list.h"

namespace kestrel {

QMimeData* MakeTransferMimeData(std::span<const Packet* const> packets) {
    // Many large packets make a payload of gigabytes: it is written straight
    // into the one buffer the data keeps, and when that buffer cannot be had
    // there is no data (Qt reports a failed allocation by throwing).
    try {
        QByteArray payload(static_cast<qsizetype>(TransferPayloadSize(packets)), Qt::Uninitialized);
        EncodeTransferPayload(packets,
                              std::span<uint8_t>(reinterpret_cast<uint8_t*>(payload.data()),
                                                 static_cast<size_t>(payload.size())));
        auto data = std::make_unique<QMimeData>();
        data->setData(QString::fromLatin1(kTransferMimeType), payload);
        return data.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool OffersTransfer(const QMimeData* data) {
    return data && data->hasFormat(QString::fromLatin1(kTransferMimeType));
}

std::optional<std::vector<PacketPtr>> ReadTransfer(const QMimeData* data) {
    if (!OffersTransfer(data))
        return std::nullopt;
    try {
        const QByteArray bytes = data->data(QString::fromLatin1(kTransferMimeType));
        return DecodeTransferPayload(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                     static_cast<size_t>(bytes.size())));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

void RunSystemDrag(QWidget* source, QMimeData* data) {
    // The drag object is Qt's to delete. A receiver in another process asks
    // for the data only after the drop, when exec() has returned here, so the
    // object (and with it the data) has to outlive this call: the X11 drag
    // keeps it until the receiver reports the drop finished.
    auto* drag = new QDrag(source);
    drag->setMimeData(data);
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}

// The packet list's side of the transfer.

void CPacketList::SetDragRunner(DragRunner runner) {
    m_dragRunner = std::move(runner);
}

void CPacketList::BeginPacketDrag() {
    if (m_dragSource)
        return;
    QMimeData* data = nullptr;
    try {
        const std::vector<int> rows = SelectedRows();
        std::vector<const Packet*> packets;
        packets.reserve(rows.size());
        const PacketStore& store = m_document->Store();
        for (int row : rows) packets.push_back(store.At(row));
        if (!packets.empty())
            data = MakeTransferMimeData(packets);
    } catch (const std::bad_alloc&) {
        data = nullptr;
    }
    // Nothing selected, or no memory for the packets: no drag, no message.
    if (!data)
        return;
    // While the drag runs this list refuses the format: it never takes its
    // own rows. The source document does not change, whatever the outcome.
    m_dragSource = true;
    if (m_dragRunner)
        m_dragRunner(this, data);
    else
        RunSystemDrag(this, data);
    m_dragSource = false;
}

bool CPacketList::AcceptsTransfer(const QMimeData* data) const {
    return !m_dragSource && OffersTransfer(data);
}

bool CPacketList::DropPackets(const QMimeData* data) {
    if (!AcceptsTransfer(data))
        return false;
    // A damaged or foreign payload is refused before anything changes.
    std::optional<std::vector<PacketPtr>> packets = ReadTransfer(data);
    if (!packets)
        return false;
    selectionModel()->clearSelection();
    for (PacketPtr& packet : *packets) AppendPacket(packet.release());
    if (m_frame)
        m_frame->ActivatePaneWindow();
    return true;
}

void CPacketList::startDrag(Qt::DropActions) {
    BeginPacketDrag();
}

void CPacketList::dragEnterEvent(QDragEnterEvent* event) {
    if (!AcceptsTransfer(event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void CPacketList::dragMoveEvent(QDragMoveEvent* event) {
    // Held Ctrl or not, the only effect is copy: the source never changes.
    if (!AcceptsTransfer(event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void CPacketList::dropEvent(QDropEvent* event) {
    if (!DropPackets(event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

}  // namespace kestrel
