// kestrel-bench-traffic COUNT OUT: writes COUNT packets of the benchmark
// traffic (the real capture corpus, repeated in order) as OUT, packet by
// packet: ".pac" and ".pcapng" by name, pcap otherwise. Any count.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_util.h"
#include "core/capture_writer.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: kestrel-bench-traffic COUNT OUT\n");
        return 2;
    }
    char* end = nullptr;
    const long long count = std::strtoll(argv[1], &end, 10);
    if (*end || count < 0) {
        std::fprintf(stderr, "kestrel-bench-traffic: COUNT must be a number of packets\n");
        return 2;
    }
    const std::string out = argv[2];
    auto endsWith = [&](const std::string& suffix) {
        return out.size() >= suffix.size() &&
               out.compare(out.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    const kestrel::FileKind kind = endsWith(".pac")      ? kestrel::FileKind::Pac
                                   : endsWith(".pcapng") ? kestrel::FileKind::PcapNg
                                                         : kestrel::FileKind::Pcap;
    const auto& frames = kestrel::bench::TrafficFrames();
    kestrel::CaptureWriter writer;
    std::string error;
    bool ok = writer.Open(out, kind, error);
    for (long long i = 0; ok && i < count; ++i) {
        ok = writer.Write(*frames[static_cast<size_t>(i) % frames.size()], error);
    }
    if (!ok || !writer.Finish(error)) {
        std::fprintf(stderr, "kestrel-bench-traffic: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
