#include "core/capture_file.h"

#include <pcap/pcap.h>

#include <cstring>

#include "core/file_util.h"
#include "core/pac_file.h"

namespace kestrel {

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapMagicNano = 0xA1B23C4D;
constexpr uint32_t kPcapMagicModified = 0xA1B2CD34;
constexpr uint32_t kPcapNgSectionHeader = 0x0A0D0D0A;

uint32_t ByteSwap(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

LoadResult ReadFromPcap(pcap_t* pcap, PacketStore& store, FileKind kind) {
    LoadResult result;
    result.kind = kind;
    const int linkType = pcap_datalink(pcap);
    if (linkType != DLT_EN10MB) {
        const char* name = pcap_datalink_val_to_name(linkType);
        result.error = "ﾘﾝｸ種別 " + std::to_string(linkType) + " (" + (name ? name : "?") +
                       ") のﾌｧｲﾙは開けません。Ethernet のﾌｧｲﾙだけを扱います。";
        pcap_close(pcap);
        return result;
    }
    result.ok = true;
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const u_char* bytes = nullptr;
        const int r = pcap_next_ex(pcap, &h, &bytes);
        if (r == PCAP_ERROR_BREAK) break;  // end of the file
        if (r < 0) {
            result.warning = pcap_geterr(pcap);
            break;
        }
        if (r == 0) continue;
        if (store.IsFull()) {
            result.truncated = true;
            break;
        }
        PacketHeader header;
        header.tv_sec = static_cast<uint32_t>(h->ts.tv_sec);
        header.tv_usec = static_cast<uint32_t>(h->ts.tv_usec);
        header.caplen = h->caplen;
        header.len = h->len;
        Packet* packet = MakePacket(header, bytes);
        if (!packet) {
            result.ok = false;
            result.error = "ﾒﾓﾘが不足しています。";
            break;
        }
        store.AppendPacket(packet);
    }
    pcap_close(pcap);
    return result;
}

}  // namespace

FileKind DetectFileKind(std::span<const uint8_t> head) {
    if (head.size() < 4) {
        return FileKind::Pac;
    }
    const uint32_t magic = Le32(head.data());
    if (magic == kPcapNgSectionHeader) {
        return FileKind::PcapNg;
    }
    for (uint32_t m : {kPcapMagicMicro, kPcapMagicNano, kPcapMagicModified}) {
        if (magic == m || magic == ByteSwap(m)) {
            return FileKind::Pcap;
        }
    }
    return FileKind::Pac;
}

LoadResult LoadPcapStream(std::FILE* stream, PacketStore& store) {
    LoadResult result;
    uint8_t head[4] = {};
    const size_t got = std::fread(head, 1, sizeof head, stream);
    result.kind = DetectFileKind({head, got});
    std::rewind(stream);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (!pcap) {
        std::fclose(stream);
        result.error = std::string("ﾌｧｲﾙを読み込めません: ") + errbuf;
        return result;
    }
    return ReadFromPcap(pcap, store, result.kind);
}

LoadResult LoadCaptureFile(const std::string& path, PacketStore& store) {
    LoadResult result;
    MappedFile file;
    if (!file.Open(path, result.error)) {
        return result;
    }
    result.kind = DetectFileKind(file.Bytes());
    if (result.kind == FileKind::Pac) {
        result.ok = ParsePac(file.Bytes(), store, result.error, &result.truncated);
        // A file of four bytes or more without one complete record is not a
        // packet file at all (a text file, say): say so instead of showing an
        // empty document. Shorter files are empty packet files.
        if (result.ok && store.Count() == 0 && file.Bytes().size() >= 4) {
            result.ok = false;
            result.error = "ﾊﾟｹｯﾄ ﾌｧｲﾙではありません (" + path + ")";
        }
        return result;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (!pcap) {
        result.error = "ﾌｧｲﾙを読み込めません (" + path + "): " + errbuf;
        return result;
    }
    return ReadFromPcap(pcap, store, result.kind);
}

bool WritePcapFile(const PacketStore& store, const std::string& path, std::string& error) {
    pcap_t* dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, kPcapWriteSnapLength,
                                                        PCAP_TSTAMP_PRECISION_MICRO);
    if (!dead) {
        error = "ﾒﾓﾘが不足しています。";
        return false;
    }
    const bool ok = WriteReplacing(path, error, [&](std::FILE* out) {
        pcap_dumper_t* dumper = pcap_dump_fopen(dead, out);
        if (!dumper) {
            return false;
        }
        const int count = store.Count();
        for (int i = 0; i < count; ++i) {
            const Packet& packet = *store.At(i);
            const PacketHeader& h = *packet.header;
            pcap_pkthdr record{};
            // Carry whole seconds out of an oversized microsecond field.
            record.ts.tv_sec = static_cast<time_t>(h.tv_sec) + h.tv_usec / 1000000u;
            record.ts.tv_usec = static_cast<suseconds_t>(h.tv_usec % 1000000u);
            record.caplen = h.caplen < kPcapWriteSnapLength ? h.caplen : kPcapWriteSnapLength;
            record.len = h.len > h.caplen ? h.len : h.caplen;
            pcap_dump(reinterpret_cast<u_char*>(dumper), &record, packet.data);
        }
        // The dumper wraps `out`; flushing reports write errors, and the
        // caller closes the stream.
        return pcap_dump_flush(dumper) == 0 && !std::ferror(out);
    });
    pcap_close(dead);
    return ok;
}

bool SaveCaptureFile(const PacketStore& store, const std::string& path, FileKind kind,
                     std::string& error) {
    if (kind == FileKind::Pac) {
        return WritePacFile(store, path, error);
    }
    return WritePcapFile(store, path, error);
}

}  // namespace kestrel
