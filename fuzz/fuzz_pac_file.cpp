// The ".pac" reader on arbitrary bytes: whatever it keeps must write back
// and read again to the same packets.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/capture_file.h"
#include "core/pac_file.h"
#include "core/row_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kestrel::PacketStore store;
    if (!kestrel::LoadCaptureBytes({data, size}, store).ok) return 0;
    for (int i = 0; i < store.Count(); ++i) (void)kestrel::BuildRowTexts(*store.At(i), i + 1);

    char* written = nullptr;
    size_t length = 0;
    std::FILE* out = open_memstream(&written, &length);
    if (!out) return 0;
    const bool ok = kestrel::WritePac(store, out);
    std::fclose(out);
    if (ok) {
        kestrel::PacketStore again;
        // Every packet read is one record written, readable again.
        if (!kestrel::LoadCaptureBytes({reinterpret_cast<const uint8_t*>(written), length}, again)
                 .ok ||
            again.Count() != store.Count())
            std::abort();
        for (int i = 0; i < store.Count(); ++i) {
            const kestrel::Packet& a = *store.At(i);
            const kestrel::Packet& b = *again.At(i);
            if (a.header->caplen != b.header->caplen ||
                (a.header->caplen && std::memcmp(a.data, b.data, a.header->caplen) != 0))
                std::abort();
        }
    }
    std::free(written);
    return 0;
}
