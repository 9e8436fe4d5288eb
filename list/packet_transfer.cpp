#include "list/packet_transfer.h"

#include <QDrag>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMdiSubWindow>
#include <QMimeData>
#include <memory>
#include <new>

#include "core/transfer_payload.h"
#include "core/transfer_stream.h"
#include "framework/kestrel_doc.h"
#include "framework/pane_host.h"
#include "list/packet_list.h"

namespace kestrel {

namespace {

std::span<const uint8_t> AsBytes(const QByteArray& bytes) {
    return {reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())};
}

}  // namespace

// The drag data of a drag that starts here. This process's lists read the
// payload straight from it; another process asks the toolkit for one of its
// formats, which hands over what retrieveData() answers.
class TransferMimeData : public QMimeData {
    Q_OBJECT
public:
    explicit TransferMimeData(QByteArray payload) : m_payload(std::move(payload)) {}

    const QByteArray& Payload() const { return m_payload; }

    QStringList formats() const override {
        return {QString::fromLatin1(kTransferMimeType),
                QString::fromLatin1(kTransferTicketMimeType)};
    }
    bool hasFormat(const QString& mimeType) const override { return formats().contains(mimeType); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType) const override {
        if (mimeType == QLatin1String(kTransferMimeType))
            return m_payload.size() <= kInlineTransferLimit ? m_payload : QByteArray();
        if (mimeType != QLatin1String(kTransferTicketMimeType))
            return {};
        // The socket opens when a receiver first asks for it, and serves
        // until the drag data goes (after the receiver reported the drop
        // finished). Without memory or a socket the receiver gets nothing.
        try {
            if (!m_server)
                m_server = TransferServer::Start(AsBytes(m_payload));
            if (!m_server)
                return QByteArray();
            const auto ticket = EncodeTransferTicket(m_server->Ticket());
            return QByteArray(reinterpret_cast<const char*>(ticket.data()),
                              static_cast<qsizetype>(ticket.size()));
        } catch (const std::bad_alloc&) {
            return QByteArray();
        }
    }

private:
    QByteArray m_payload;
    // Declared after the payload it serves, so it stops first.
    mutable std::unique_ptr<TransferServer> m_server;
};

QMimeData* MakeTransferMimeData(std::span<const Packet* const> packets) {
    // Many large packets make a payload of gigabytes: it is written straight
    // into the one buffer the data keeps, and when that buffer cannot be had
    // there is no data (Qt reports a failed allocation by throwing).
    try {
        QByteArray payload(static_cast<qsizetype>(TransferPayloadSize(packets)), Qt::Uninitialized);
        EncodeTransferPayload(packets,
                              std::span<uint8_t>(reinterpret_cast<uint8_t*>(payload.data()),
                                                 static_cast<size_t>(payload.size())));
        return new TransferMimeData(std::move(payload));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool OffersTransfer(const QMimeData* data) {
    return data && (data->hasFormat(QString::fromLatin1(kTransferMimeType)) ||
                    data->hasFormat(QString::fromLatin1(kTransferTicketMimeType)));
}

std::optional<std::vector<PacketPtr>> ReadTransfer(const QMimeData* data) {
    if (!OffersTransfer(data))
        return std::nullopt;
    try {
        if (const auto* own = qobject_cast<const TransferMimeData*>(data))
            return DecodeTransferPayload(AsBytes(own->Payload()));
        if (data->hasFormat(QString::fromLatin1(kTransferTicketMimeType))) {
            const QByteArray bytes = data->data(QString::fromLatin1(kTransferTicketMimeType));
            if (const auto ticket = DecodeTransferTicket(AsBytes(bytes))) {
                TransferFetch fetch = FetchTransfer(*ticket);
                // A socket that cannot be reached (a process on another
                // host, say) leaves the inline payload.
                if (fetch.reached)
                    return std::move(fetch.packets);
            }
        }
        if (!data->hasFormat(QString::fromLatin1(kTransferMimeType)))
            return std::nullopt;
        const QByteArray bytes = data->data(QString::fromLatin1(kTransferMimeType));
        return DecodeTransferPayload(AsBytes(bytes));
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

#include "packet_transfer.moc"
