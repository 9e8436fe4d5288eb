// One frame of arbitrary bytes through everything the list and the dump
// compute from it: the row cells, the summaries, the checksums, the hex dump.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/row_text.h"
#include "core/text_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized copy: the fuzzer's own buffer may have slack after it.
    auto bytes = std::make_unique<uint8_t[]>(size ? size : 1);
    if (size) std::memcpy(bytes.get(), data, size);
    kestrel::PacketHeader header;
    header.caplen = header.len = static_cast<uint32_t>(size);
    header.tv_sec = size >= 4 ? static_cast<uint32_t>(data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3]) : 0;
    const kestrel::Packet packet{&header, size ? bytes.get() : nullptr};

    (void)kestrel::BuildRowTexts(packet, 30000);
    const kestrel::ByteReader frame(packet);
    (void)kestrel::SummarizeArpPacket(frame);
    (void)kestrel::SummarizeIpPacket(frame);
    for (size_t length : {size_t{0}, size_t{8}, size, size + 1, size_t{0xFFFF}})
        (void)kestrel::TransportChecksum(frame, kestrel::kEthernetHeaderLength,
                                         static_cast<uint16_t>(length));
    (void)kestrel::InternetChecksum(bytes.get(), static_cast<int>(size));

    const int count = static_cast<int>(size);
    const size_t capacity = kestrel::HexDumpBufferSize(count);
    auto text = std::make_unique<char[]>(capacity);
    const int written = kestrel::FormatHexDump(bytes.get(), count, text.get());
    if (written < 0 || static_cast<size_t>(written) >= capacity) std::abort();
    return 0;
}
