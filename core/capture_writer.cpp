#include "core/capture_writer.h"

#include <cerrno>
#include <cstring>

#include "core/pac_file.h"

namespace kestrel {

namespace {

// Where the snapshot length sits in each kind's header: the pcap file header,
// and the interface description block after pcapng's 28-byte section header.
constexpr long kPcapSnapLengthOffset = 16;
constexpr long kPcapNgSnapLengthOffset = 28 + 12;

constexpr uint32_t kPcapNgSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kPcapNgInterfaceBlock = 1;
constexpr uint32_t kPcapNgEnhancedPacketBlock = 6;
constexpr uint32_t kPcapNgByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeEthernet = 1;

bool Put(std::FILE* out, const void* bytes, size_t size) {
    return size == 0 || std::fwrite(bytes, 1, size, out) == size;
}

bool Put32(std::FILE* out, uint32_t v) {
    return Put(out, &v, sizeof v);
}

const char* KindName(FileKind kind) {
    return kind == FileKind::PcapNg ? "pcapng" : kind == FileKind::Pcap ? "pcap" : ".pac";
}

// Whether a file of `kind` can hold the time of `h`: pcap keeps 32-bit
// seconds (to 2106), pcapng 64-bit microseconds; ".pac" a calendar time
// (checked as it is written).
bool TimeFits(FileKind kind, const PacketHeader& h) {
    const uint64_t seconds = h.tv_sec + h.tv_usec / 1000000u;
    if (seconds < h.tv_sec)
        return false;
    if (kind == FileKind::Pcap)
        return seconds <= UINT32_MAX;
    if (kind == FileKind::PcapNg)
        return h.tv_sec <= (UINT64_MAX - h.tv_usec) / 1000000u;
    return true;
}

}  // namespace

CaptureWriter::~CaptureWriter() {
    if (m_dead) {
        pcap_close(m_dead);
    }
    // m_file removes its temporary file unless it was committed.
}

bool CaptureWriter::Open(const std::string& path, FileKind kind, std::string& error) {
    if (!m_file.Open(path, error)) {
        return false;
    }
    m_out = m_file.Stream();
    m_isStream = false;
    m_name = path;
    m_kind = kind;
    m_snapLength = kPcapWriteSnapLength;
    m_limit = kPcapMaxSnapLength;
    if (!WriteHeader()) {
        return WriteFailed(error);
    }
    return true;
}

bool CaptureWriter::OpenStream(std::FILE* out, FileKind kind, uint32_t snapLength,
                               std::string& error) {
    m_out = out;
    m_isStream = true;
    m_name.assign(1, '-');  // (operator= of a literal trips a false -Wrestrict at -O3)
    m_kind = kind;
    m_snapLength = snapLength < kPcapMaxSnapLength ? snapLength : kPcapMaxSnapLength;
    m_limit = m_snapLength;
    if (!WriteHeader()) {
        return WriteFailed(error);
    }
    return true;
}

bool CaptureWriter::WriteHeader() {
    if (m_kind == FileKind::Pcap) {
        m_dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, static_cast<int>(m_snapLength),
                                                      PCAP_TSTAMP_PRECISION_MICRO);
        if (!m_dead) {
            errno = ENOMEM;
            return false;
        }
        // The dumper writes through our stream, which stays ours to close.
        m_dumper = pcap_dump_fopen(m_dead, m_out);
        m_bytes = 24;
        return m_dumper != nullptr && !std::ferror(m_out);
    }
    if (m_kind == FileKind::PcapNg) {
        // Written in this machine's byte order, as the byte-order magic says.
        const uint16_t version[2] = {1, 0};
        const uint16_t link[2] = {kLinkTypeEthernet, 0};
        const uint32_t unknownLength[2] = {0xFFFFFFFF, 0xFFFFFFFF};
        m_bytes = 28 + 20;
        return Put32(m_out, kPcapNgSectionHeaderBlock) && Put32(m_out, 28) &&
               Put32(m_out, kPcapNgByteOrderMagic) && Put(m_out, version, sizeof version) &&
               Put(m_out, unknownLength, sizeof unknownLength) && Put32(m_out, 28) &&
               Put32(m_out, kPcapNgInterfaceBlock) && Put32(m_out, 20) &&
               Put(m_out, link, sizeof link) && Put32(m_out, m_snapLength) && Put32(m_out, 20);
    }
    return true;
}

bool CaptureWriter::WriteFailed(std::string& error) {
    return Refuse(std::strerror(errno ? errno : EIO), error);
}

bool CaptureWriter::Refuse(const std::string& reason, std::string& error) const {
    error = m_isStream ? "ﾌｧｲﾙを保存できません (" + m_name + "): " + reason : m_file.SaveError(reason);
    return false;
}

bool CaptureWriter::Write(const Packet& packet, std::string& error) {
    const PacketHeader& h = *packet.header;
    const std::string number = "No." + std::to_string(m_count + 1);
    if (m_kind != FileKind::Pac && h.caplen > m_limit) {
        return Refuse(number + " のﾊﾟｹｯﾄは " + std::to_string(h.caplen) + " ﾊﾞｲﾄあり、" +
                          KindName(m_kind) + " ﾌｧｲﾙに保存できる " + std::to_string(m_limit) +
                          " ﾊﾞｲﾄを超えています。切り詰めずに保存するには .pac 形式で保存してください。",
                      error);
    }
    uint8_t pacHead[kPacRecordHeaderLength];
    if (!TimeFits(m_kind, h) ||
        (m_kind == FileKind::Pac && !EncodePacRecordHeader(h, m_times, pacHead))) {
        return Refuse(number + " のﾊﾟｹｯﾄの時刻 (1970 年から " + std::to_string(h.tv_sec) +
                          " 秒) は " + KindName(m_kind) + " ﾌｧｲﾙに保存できる範囲を超えています。" +
                          (m_kind == FileKind::Pcap ? "pcapng 形式で保存してください。" : ""),
                      error);
    }
    errno = 0;
    bool ok = true;
    if (m_kind == FileKind::Pac) {
        ok = Put(m_out, pacHead, sizeof pacHead) && Put(m_out, packet.data, h.caplen);
    } else if (m_kind == FileKind::Pcap) {
        pcap_pkthdr record{};
        // Whole seconds carried out of an oversized microsecond field.
        record.ts.tv_sec = static_cast<time_t>(h.tv_sec) + h.tv_usec / 1000000u;
        record.ts.tv_usec = static_cast<suseconds_t>(h.tv_usec % 1000000u);
        record.caplen = h.caplen;
        record.len = h.len > h.caplen ? h.len : h.caplen;
        pcap_dump(reinterpret_cast<u_char*>(m_dumper), &record, packet.data);
        ok = !std::ferror(m_out);
    } else {
        const uint32_t padded = (h.caplen + 3u) & ~3u;
        const uint32_t total = 32 + padded;
        const uint64_t stamp = static_cast<uint64_t>(h.tv_sec) * 1000000u + h.tv_usec;
        const uint32_t head[7] = {kPcapNgEnhancedPacketBlock,
                                  total,
                                  0,  // interface
                                  static_cast<uint32_t>(stamp >> 32),
                                  static_cast<uint32_t>(stamp),
                                  h.caplen,
                                  h.len > h.caplen ? h.len : h.caplen};
        static constexpr uint8_t kPadding[3] = {};
        ok = Put(m_out, head, sizeof head) && Put(m_out, packet.data, h.caplen) &&
             Put(m_out, kPadding, padded - h.caplen) && Put32(m_out, total);
    }
    if (!ok) {
        return WriteFailed(error);
    }
    if (h.caplen > m_longest) {
        m_longest = h.caplen;
    }
    ++m_count;
    m_bytes += m_kind == FileKind::Pac    ? kPacRecordHeaderLength + h.caplen
               : m_kind == FileKind::Pcap ? 16 + h.caplen
                                          : 32 + ((h.caplen + 3u) & ~3u);
    return true;
}

bool CaptureWriter::PatchSnapLength() {
    if (m_kind == FileKind::Pac || m_longest <= m_snapLength) {
        return true;
    }
    const long at = m_kind == FileKind::Pcap ? kPcapSnapLengthOffset : kPcapNgSnapLengthOffset;
    return std::fflush(m_out) == 0 && std::fseek(m_out, at, SEEK_SET) == 0 &&
           Put32(m_out, m_longest) && std::fseek(m_out, 0, SEEK_END) == 0;
}

bool CaptureWriter::Finish(std::string& error) {
    if (!m_out) {
        errno = EBADF;
        return WriteFailed(error);
    }
    errno = 0;
    if (m_isStream) {
        const bool ok = std::fflush(m_out) == 0 && !std::ferror(m_out);
        if (!ok) {
            return WriteFailed(error);
        }
        m_out = nullptr;
        return true;
    }
    if (!PatchSnapLength()) {
        const int saved = errno;
        m_file.Abandon();
        m_out = nullptr;
        errno = saved;
        return WriteFailed(error);
    }
    m_out = nullptr;
    return m_file.Commit(error);
}

}  // namespace kestrel
