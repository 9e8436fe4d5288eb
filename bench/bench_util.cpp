#include "bench_util.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "core/capture_file.h"

namespace kestrel::bench {
namespace {

std::vector<PacketPtr> CorpusFrames() {
    std::vector<PacketPtr> frames;
    const std::filesystem::path dir = KESTREL_CAPTURES_DIR;
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const auto ext = entry.path().extension();
        if (ext == ".pcap" || ext == ".pcapng") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        PacketStore store;
        if (!LoadCaptureFile(path.string(), store).ok) continue;
        for (int i = 0; i < store.Count(); ++i) frames.emplace_back(CopyPacket(store.At(i)));
    }
    return frames;
}

PacketPtr Frame(uint32_t size, uint8_t protocol) {
    std::vector<uint8_t> bytes(size < 54 ? 54 : size, 0x61);
    const uint8_t head[] = {0, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0x66, 0x77, 0x88, 0x99, 0xaa,
                            0x08, 0x00, 0x45, 0, 0x05, 0xdc, 0, 1, 0x40, 0, 64, protocol, 0, 0,
                            192, 168, 1, 2, 10, 0, 0, 1, 0xd4, 0x31, 0, 80, 0, 0, 0, 1, 0, 0,
                            0, 0, 0x50, 0x18, 0xff, 0xff, 0, 0, 0, 0};
    std::copy(std::begin(head), std::end(head), bytes.begin());
    PacketHeader header;
    header.tv_sec = 1796635800;
    header.caplen = header.len = static_cast<uint32_t>(bytes.size());
    return PacketPtr(MakePacket(header, bytes.data()));
}

}  // namespace

const std::vector<PacketPtr>& TrafficFrames() {
    static const std::vector<PacketPtr> frames = [] {
        std::vector<PacketPtr> corpus = CorpusFrames();
        if (corpus.empty()) {
            for (uint8_t protocol : {6, 17, 1, 6, 17, 2})
                corpus.push_back(Frame(60 + protocol * 40, protocol));
        }
        return corpus;
    }();
    return frames;
}

std::unique_ptr<PacketStore> TrafficMix(int count) {
    const std::vector<PacketPtr>& source = TrafficFrames();
    auto store = std::make_unique<PacketStore>();
    for (int i = 0; i < count; ++i) {
        store->AppendPacket(CopyPacket(source[static_cast<size_t>(i) % source.size()].get()));
    }
    return store;
}

std::unique_ptr<PacketStore> SameFrames(int count, uint32_t size) {
    auto store = std::make_unique<PacketStore>();
    const PacketPtr frame = Frame(size, 6);
    for (int i = 0; i < count; ++i) store->AppendPacket(CopyPacket(frame.get()));
    return store;
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("kestrel-bench-" + std::to_string(getpid()) + "-" + name))
        .string();
}

}  // namespace kestrel::bench
