// kestrel-fuzz-seeds OUTDIR FILE...: writes every distinct frame of the given
// capture files to OUTDIR, one file per frame, as seeds for the frame targets.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "core/capture_file.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "Usage: kestrel-fuzz-seeds OUTDIR FILE...\n");
        return 2;
    }
    std::set<std::vector<uint8_t>> seen;
    int written = 0;
    for (int a = 2; a < argc; ++a) {
        kestrel::PacketStore store;
        if (!kestrel::LoadCaptureFile(argv[a], store).ok) continue;
        for (int i = 0; i < store.Count(); ++i) {
            const kestrel::Packet& p = *store.At(i);
            std::vector<uint8_t> frame(p.data, p.data + p.header->caplen);
            if (!seen.insert(frame).second) continue;
            const std::string path = std::string(argv[1]) + "/frame-" + std::to_string(written++);
            std::FILE* out = std::fopen(path.c_str(), "wb");
            if (!out) return 1;
            std::fwrite(frame.data(), 1, frame.size(), out);
            std::fclose(out);
        }
    }
    std::printf("%d seeds\n", written);
    return 0;
}
