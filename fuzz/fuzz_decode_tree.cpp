// One frame of arbitrary bytes through the whole decode tree: every decoder,
// every item's range inside the frame, and the byte -> item query for every
// byte the dump can pass.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "decode/decode_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The characters per data line follow from the size, so seeds stay whole
    // frames; counts of 0 and below are among them.
    const int lineCount = static_cast<int>(size % 67) - 2;
    auto bytes = std::make_unique<uint8_t[]>(size ? size : 1);
    if (size) std::memcpy(bytes.get(), data, size);
    kestrel::PacketHeader header;
    header.caplen = header.len = static_cast<uint32_t>(size);
    const kestrel::Packet packet{&header, size ? bytes.get() : nullptr};

    static kestrel::DecodeTree tree;
    if (!tree.RebuildTree(packet, 1, lineCount)) return 0;
    for (int item = 0; item < tree.ItemCount(); ++item) {
        (void)tree.Text(item);
        (void)tree.Children(item);
    }
    for (int index = -1; index <= static_cast<int>(size) + 16; ++index) {
        (void)tree.SelectItemAtByte(index);
    }
    return 0;
}
