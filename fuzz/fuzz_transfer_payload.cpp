// The drag payload reader on arbitrary bytes: whatever it accepts must
// encode back to exactly the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/transfer_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto packets = kestrel::DecodeTransferPayload({data, size});
    if (!packets)
        return 0;
    std::vector<const kestrel::Packet*> views;
    for (const kestrel::PacketPtr& packet : *packets) views.push_back(packet.get());
    const std::vector<uint8_t> again = kestrel::EncodeTransferPayload(views);
    if (again.size() != size || !std::equal(again.begin(), again.end(), data))
        std::abort();
    return 0;
}
