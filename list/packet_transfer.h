// Packets dragged between packet lists: the drag data under the type
// application/x-kestrel-data and the drag itself.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/packet.h"

class QMimeData;
class QWidget;

namespace kestrel {

inline constexpr char kTransferMimeType[] = "application/x-kestrel-data";

// Drag data carrying copies of the packets (see core/transfer_payload.h);
// nullptr when memory for it cannot be had.
QMimeData* MakeTransferMimeData(std::span<const Packet* const> packets);
// True when the data offers the packet format at all.
bool OffersTransfer(const QMimeData* data);
// The packets of the data; nullopt when it offers no packets or a payload
// that does not read back whole.
std::optional<std::vector<PacketPtr>> ReadTransfer(const QMimeData* data);

// Runs a drag of `data` (taking it) from `source` and returns when it ends.
using DragRunner = std::function<void(QWidget* source, QMimeData* data)>;
// The system drag: copy is the only effect offered.
void RunSystemDrag(QWidget* source, QMimeData* data);

}  // namespace kestrel
