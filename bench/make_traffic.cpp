// kestrel-bench-traffic COUNT OUT: writes COUNT packets of the real capture
// corpus, repeated in order, as OUT (".pac" by name, pcap otherwise).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_util.h"
#include "core/capture_file.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: kestrel-bench-traffic COUNT OUT\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    if (count < 0 || count > kestrel::PacketStore::kCapacity) {
        std::fprintf(stderr, "kestrel-bench-traffic: COUNT must be 0 to %d\n",
                     kestrel::PacketStore::kCapacity);
        return 2;
    }
    const std::string out = argv[2];
    const bool pac = out.size() >= 4 && out.compare(out.size() - 4, 4, ".pac") == 0;
    std::string error;
    if (!kestrel::SaveCaptureFile(*kestrel::bench::TrafficMix(count), out,
                                  pac ? kestrel::FileKind::Pac : kestrel::FileKind::Pcap, error)) {
        std::fprintf(stderr, "kestrel-bench-traffic: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
