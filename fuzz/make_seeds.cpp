// kestrel-fuzz-seeds [--payloads] OUTDIR FILE...: writes every distinct frame
// of the given capture files to OUTDIR, one file per frame, as seeds for the
// frame targets; with --payloads, drag payloads of one to four of them.
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/capture_file.h"
#include "core/transfer_payload.h"

int main(int argc, char** argv) {
    const bool payloads = argc > 1 && std::string(argv[1]) == "--payloads";
    if (payloads) {
        ++argv;
        --argc;
    }
    if (argc < 3) {
        std::fprintf(stderr, "Usage: kestrel-fuzz-seeds [--payloads] OUTDIR FILE...\n");
        return 2;
    }
    std::vector<const kestrel::Packet*> group;
    std::vector<std::unique_ptr<kestrel::PacketStore>> stores;
    std::set<std::vector<uint8_t>> seen;
    int written = 0;
    for (int a = 2; a < argc; ++a) {
        stores.push_back(std::make_unique<kestrel::PacketStore>());
        kestrel::PacketStore& store = *stores.back();
        if (!kestrel::LoadCaptureFile(argv[a], store).ok) continue;
        for (int i = 0; i < store.Count(); ++i) {
            const kestrel::Packet& p = *store.At(i);
            std::vector<uint8_t> frame(p.data, p.data + p.header->caplen);
            if (payloads) {
                group.push_back(&p);
                if (group.size() < static_cast<size_t>(1 + written % 4)) continue;
                frame = kestrel::EncodeTransferPayload(group);
                group.clear();
            }
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
