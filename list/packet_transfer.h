// Packets dragged between packet lists: the drag data under the type
// application/x-kestrel-data and the drag itself.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <QtGlobal>

#include "core/packet.h"

class QMimeData;
class QWidget;

namespace kestrel {

// The payload itself (core/transfer_payload.h).
inline constexpr char kTransferMimeType[] = "application/x-kestrel-data";
// A ticket to the payload on the dragging process's socket
// (core/transfer_stream.h): how another process takes the packets.
inline constexpr char kTransferTicketMimeType[] = "application/x-kestrel-data-ticket";
// The largest payload handed to another process inline: what one request of
// any X server carries (65535 four-byte units, less the request's own fields).
// The toolkit sends drag data in a single request, and a request beyond the
// server's limit ends the connection and the program; larger payloads are
// handed out as empty data, which every receiver refuses.
inline constexpr qsizetype kInlineTransferLimit = 65535 * 4 - 64;

// Drag data carrying copies of the packets, offered in both formats; nullptr
// when memory for it cannot be had.
QMimeData* MakeTransferMimeData(std::span<const Packet* const> packets);
// True when the data offers packets in either format.
bool OffersTransfer(const QMimeData* data);
// The packets of the data: from the drag data of this process as it is, from
// another process through its ticket, else from the inline payload. nullopt
// when it offers no packets, or a payload that does not read back whole.
std::optional<std::vector<PacketPtr>> ReadTransfer(const QMimeData* data);

// Runs a drag of `data` (taking it) from `source` and returns when it ends.
using DragRunner = std::function<void(QWidget* source, QMimeData* data)>;
// The system drag: copy is the only effect offered.
void RunSystemDrag(QWidget* source, QMimeData* data);

}  // namespace kestrel
