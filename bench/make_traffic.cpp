// kestrel-bench-traffic [--realistic] COUNT OUT: writes COUNT packets of the
// benchmark traffic as OUT, packet by packet: ".pac" and ".pcapng" by name,
// pcap otherwise. Any count. The traffic is the real capture corpus
// repeated in order (mostly small frames), or with --realistic a mix of
// sessions and datagrams of typical sizes (about 580 bytes per frame).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_util.h"
#include "core/capture_writer.h"
#include "realistic_mix.h"

int main(int argc, char** argv) {
    const bool realistic = argc == 4 && std::strcmp(argv[1], "--realistic") == 0;
    if (argc != 3 && !realistic) {
        std::fprintf(stderr, "Usage: kestrel-bench-traffic [--realistic] COUNT OUT\n");
        return 2;
    }
    char* end = nullptr;
    const long long count = std::strtoll(argv[argc - 2], &end, 10);
    if (*end || count < 0) {
        std::fprintf(stderr, "kestrel-bench-traffic: COUNT must be a number of packets\n");
        return 2;
    }
    const std::string out = argv[argc - 1];
    auto endsWith = [&](const std::string& suffix) {
        return out.size() >= suffix.size() &&
               out.compare(out.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    const kestrel::FileKind kind = endsWith(".pac")      ? kestrel::FileKind::Pac
                                   : endsWith(".pcapng") ? kestrel::FileKind::PcapNg
                                                         : kestrel::FileKind::Pcap;
    kestrel::CaptureWriter writer;
    std::string error;
    bool ok = writer.Open(out, kind, error);
    if (realistic) {
        kestrel::bench::RealisticMix mix;
        kestrel::PacketHeader header;
        for (long long i = 0; ok && i < count; ++i) {
            uint64_t microseconds = 0;
            const kestrel::frames::Bytes& frame = mix.Next(microseconds);
            header.tv_sec = static_cast<uint32_t>(microseconds / 1000000);
            header.tv_usec = static_cast<uint32_t>(microseconds % 1000000);
            header.caplen = header.len = static_cast<uint32_t>(frame.size());
            ok = writer.Write({&header, const_cast<uint8_t*>(frame.data())}, error);
        }
    } else {
        const auto& frames = kestrel::bench::TrafficFrames();
        for (long long i = 0; ok && i < count; ++i) {
            ok = writer.Write(*frames[static_cast<size_t>(i) % frames.size()], error);
        }
    }
    if (!ok || !writer.Finish(error)) {
        std::fprintf(stderr, "kestrel-bench-traffic: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
