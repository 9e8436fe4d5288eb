// Opening a file of arbitrary bytes the way the program does: the kind told
// by content, then ".pac" or libpcap's pcap/pcapng reader; then the rows of
// every packet, and a pcap save that must read back to the same frames.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/capture_file.h"
#include "core/row_text.h"

namespace {

// An in-memory file with a path, so the real open path runs.
struct MemoryFile {
    int fd = memfd_create("kestrel-fuzz", 0);
    std::string Path() const { return "/proc/self/fd/" + std::to_string(fd); }
    bool Fill(const uint8_t* data, size_t size) const {
        if (fd < 0 || ftruncate(fd, 0) != 0) return false;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const MemoryFile input;
    // Saves replace a file through a temporary sibling, so they need a folder.
    static const std::string saved = [] {
        char folder[] = "/tmp/kestrel-fuzz-XXXXXX";
        return std::string(mkdtemp(folder) ? folder : "/tmp") + "/saved.pcap";
    }();
    if (!input.Fill(data, size)) return 0;
    kestrel::PacketStore store;
    const kestrel::LoadResult loaded = kestrel::LoadCaptureFile(input.Path(), store);
    if (!loaded.ok) return 0;
    for (int i = 0; i < store.Count(); ++i) (void)kestrel::BuildRowTexts(*store.At(i), i + 1);

    // A frame too long for pcap refuses the save; any other frame is kept whole.
    std::string error;
    if (!kestrel::WritePcapFile(store, saved, error)) return 0;
    kestrel::PacketStore again;
    if (!kestrel::LoadCaptureFile(saved, again).ok || again.Count() != store.Count())
        std::abort();
    for (int i = 0; i < store.Count(); ++i) {
        const kestrel::Packet& a = *store.At(i);
        const kestrel::Packet& b = *again.At(i);
        const uint32_t n = a.header->caplen;
        if (b.header->caplen != n || (n && std::memcmp(a.data, b.data, n) != 0))
            std::abort();
    }
    return 0;
}
