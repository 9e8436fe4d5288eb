#include "core/capture_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/pac_file.h"

namespace kestrel {

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t ByteSwap(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

uint32_t Field32(const uint8_t* p, bool swapped) {
    const uint32_t v = Le32(p);
    return swapped ? ByteSwap(v) : v;
}

constexpr uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapMagicNano = 0xA1B23C4D;
constexpr uint32_t kPcapMagicModified = 0xA1B2CD34;
constexpr uint32_t kPcapNgSectionHeader = 0x0A0D0D0A;
constexpr size_t kPcapFileHeaderLength = 24;
constexpr size_t kPcapRecordHeaderLength = 16;
// libpcap's largest captured length for Ethernet: a longer record is an error.
constexpr uint32_t kPcapMaxCaplen = 262144;

// ".pac" read buffer: large enough that a regular file takes few reads; a
// larger record grows it, as its bytes arrive, for as long as it is needed.
constexpr size_t kPacBuffer = 1 << 18;
// A reader opened near an offset (one of several sharing out a file): a
// smaller buffer does as well.
constexpr size_t kNearBuffer = 1 << 16;

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

CaptureReader::~CaptureReader() {
    if (m_pcap) {
        pcap_close(m_pcap);
    }
}

bool CaptureReader::Open(const std::string& path, const ReadLimits& limits, std::string& error) {
    if (path == "-") {
        m_source.OpenStandardInput(limits);
    } else if (!m_source.Open(path, limits, error)) {
        return false;
    }
    return Start(error);
}

bool CaptureReader::OpenDescriptor(int fd, const std::string& name, const ReadLimits& limits,
                                   std::string& error) {
    m_source.OpenDescriptor(fd, name, limits);
    return Start(error);
}

bool CaptureReader::OpenMemory(std::span<const uint8_t> bytes, std::string& error) {
    m_source.OpenMemory(bytes);
    return Start(error);
}

bool CaptureReader::Start(std::string& error) {
    uint8_t head[4];
    const size_t got = m_source.ReadFull(head, sizeof head);
    if (m_source.Failed()) {
        error = m_source.Error();
        return false;
    }
    m_source.Unread({head, got});
    m_kind = DetectFileKind({head, got});
    if (m_kind == FileKind::Pac) {
        m_buffer.resize(kPacBuffer);
        return true;
    }
    if (m_kind == FileKind::Pcap && !m_source.IsStream() && StartPcapRecords()) {
        return true;
    }
    if (m_source.Failed()) {
        error = m_source.Error();
        return false;
    }
    std::FILE* stream = m_source.OpenStream();
    if (!stream) {
        error = m_source.CannotRead(std::strerror(errno));
        return false;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    m_pcap = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (!m_pcap) {
        std::fclose(stream);
        error = m_source.Failed() ? m_source.Error() : m_source.CannotRead(errbuf);
        return false;
    }
    const int linkType = pcap_datalink(m_pcap);
    if (linkType != DLT_EN10MB) {
        const char* linkName = pcap_datalink_val_to_name(linkType);
        error = "ﾘﾝｸ種別 " + std::to_string(linkType) + " (" + (linkName ? linkName : "?") +
                ") のﾌｧｲﾙは開けません。Ethernet のﾌｧｲﾙだけを扱います。";
        return false;
    }
    return true;
}

bool CaptureReader::StartPcapRecords() {
    uint8_t head[kPcapFileHeaderLength];
    const size_t got = m_source.ReadFull(head, sizeof head);
    const uint32_t magic = Le32(head);
    m_pcapSwapped = magic == ByteSwap(kPcapMagicMicro) || magic == ByteSwap(kPcapMagicNano);
    m_pcapNano = magic == kPcapMagicNano || magic == ByteSwap(kPcapMagicNano);
    const uint32_t version = Le32(head + 4);  // two 16-bit fields
    const bool common =
        got == sizeof head && (magic == kPcapMagicMicro || magic == kPcapMagicNano || m_pcapSwapped) &&
        version == (m_pcapSwapped ? 0x04000200u : 0x00040002u) &&
        Field32(head + 20, m_pcapSwapped) == DLT_EN10MB;
    if (!common) {
        // libpcap reads it from the start and has its say on what it finds.
        m_source.Unread({head, got});
        return false;
    }
    const uint32_t snapLength = Field32(head + 16, m_pcapSwapped);
    m_pcapSnapshot = snapLength == 0 || snapLength > kPcapMaxCaplen ? kPcapMaxCaplen : snapLength;
    m_buffer.resize(kPacBuffer);
    m_pcapRecords = true;
    return true;
}

bool CaptureReader::OpenNear(const CaptureReader& file, uint64_t offset) {
    if (!file.HasRecordOffsets() || !m_source.OpenAgain(file.m_source, offset)) {
        return false;
    }
    m_kind = FileKind::Pcap;
    m_pcapRecords = true;
    m_pcapSwapped = file.m_pcapSwapped;
    m_pcapNano = file.m_pcapNano;
    m_pcapSnapshot = file.m_pcapSnapshot;
    m_done = false;
    m_error.clear();
    m_count = 0;
    m_buffer.resize(kNearBuffer);
    m_begin = 0;
    m_end = m_source.ReadFull(m_buffer.data(), m_buffer.size());
    for (size_t at = 0; at + kPcapRecordHeaderLength <= m_end; ++at) {
        if (RecordsSeemToStartAt(at)) {
            m_begin = at;
            return true;
        }
    }
    return false;
}

// Real heads hold an Ethernet frame's worth of bytes or more, no more than
// libpcap reads and no more than went over the wire, a fraction below one
// second, and times within a day of the head before. A stretch of zeros or
// of payload rarely passes eight in a row; when it does, the reader that
// arrives at the true start finds the guess wrong.
bool CaptureReader::RecordsSeemToStartAt(size_t at) const {
    constexpr int kChain = 8;
    constexpr int64_t kDay = 86400;
    const uint32_t fractions = m_pcapNano ? 1000000000u : 1000000u;
    int64_t lastSeconds = 0;
    for (int i = 0; i < kChain; ++i) {
        if (at + kPcapRecordHeaderLength > m_end) {
            return i >= 2;  // the window ends: two whole heads must do
        }
        const uint8_t* head = m_buffer.data() + at;
        const int64_t seconds = Field32(head, m_pcapSwapped);
        const uint32_t caplen = Field32(head + 8, m_pcapSwapped);
        const uint32_t len = Field32(head + 12, m_pcapSwapped);
        if (caplen < 14 || caplen > kPcapMaxCaplen || len < caplen || len > (1u << 24) ||
            Field32(head + 4, m_pcapSwapped) >= fractions ||
            (i > 0 && (seconds - lastSeconds > kDay || lastSeconds - seconds > kDay))) {
            return false;
        }
        lastSeconds = seconds;
        at += kPcapRecordHeaderLength + caplen;
    }
    return true;
}

bool CaptureReader::ContinueAt(uint64_t offset, uint64_t skipped) {
    m_begin = m_end = 0;
    m_count += skipped;
    if (!m_source.Seek(offset)) {
        Fail(m_source.Error());
        return false;
    }
    return true;
}

CaptureReader::Result CaptureReader::Fail(const std::string& error) {
    m_error = error;
    m_done = true;
    return Result::Failed;
}

CaptureReader::Result CaptureReader::Next() {
    if (m_done) {
        return m_error.empty() ? Result::End : Result::Failed;
    }
    const Result result = m_kind == FileKind::Pac ? NextPac()
                          : m_pcapRecords        ? NextPcapRecord()
                                                 : NextPcap();
    if (result == Result::Packet) {
        ++m_count;
    } else {
        m_done = true;
    }
    return result;
}

bool CaptureReader::FillMore(size_t size) {
    if (m_buffer.size() - m_begin < size) {
        // Move what is left (less than `size`) to the front, and give back
        // the room a large record took once it is done.
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
        if (m_buffer.size() > 4 * kPacBuffer && size <= kPacBuffer) {
            m_buffer.resize(kPacBuffer);
            m_buffer.shrink_to_fit();
        }
    }
    while (m_end - m_begin < size) {
        if (m_end == m_buffer.size()) {
            // The buffer grows only as bytes really arrive, never on the
            // length a record head claims: a file of a hundred bytes may
            // claim 256 MiB.
            try {
                m_buffer.resize(std::min(size, std::max(2 * m_buffer.size(), kPacBuffer)));
            } catch (const std::bad_alloc&) {
                m_outOfMemory = true;
                return false;
            }
        }
        // Read what is there (a pipe gives each packet as it comes), never
        // waiting for more than the record needs.
        const size_t n = m_source.Read(m_buffer.data() + m_end, m_buffer.size() - m_end);
        if (n == 0) {
            return false;
        }
        m_end += n;
    }
    return true;
}

CaptureReader::Result CaptureReader::NextPac() {
    bool damaged = false;
    if (!Fill(4)) {
        // Fewer than four bytes: the end (a file of 0 to 3 bytes is empty).
    } else if (!Fill(kPacRecordHeaderLength) ||
               !DecodePacRecordHeader(m_buffer.data() + m_begin, m_times, m_header) ||
               !Fill(kPacRecordHeaderLength + m_header.caplen)) {
        damaged = true;
    } else {
        m_packet.data = m_buffer.data() + m_begin + kPacRecordHeaderLength;
        m_begin += kPacRecordHeaderLength + m_header.caplen;
        return Result::Packet;
    }
    if (m_source.Failed()) {
        return Fail(m_source.Error());
    }
    if (m_outOfMemory) {
        return Fail(m_source.CannotRead("ﾒﾓﾘが不足しています。"));
    }
    if (damaged && m_count == 0) {
        // Four bytes or more and not one record: a text file, say, or zeros.
        return Fail("ﾊﾟｹｯﾄ ﾌｧｲﾙではありません (" + m_source.Name() + ")");
    }
    return Result::End;
}

CaptureReader::Result CaptureReader::NextPcap() {
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const u_char* bytes = nullptr;
        const int r = pcap_next_ex(m_pcap, &h, &bytes);
        if (r == 0) {
            continue;
        }
        if (r == PCAP_ERROR_BREAK) {
            return Result::End;
        }
        if (r < 0) {
            return Fail(m_source.Failed() ? m_source.Error()
                                          : m_source.CannotRead(pcap_geterr(m_pcap)));
        }
        if (h->caplen > kMaxPacketLength) {
            return Fail(m_source.CannotRead("ﾊﾟｹｯﾄが長すぎます。"));
        }
        // pcap stores 32 unsigned bits of seconds (libpcap widens them with
        // their sign); pcapng stores 64-bit stamps, past 2106 too.
        m_header.tv_sec = m_kind == FileKind::Pcap ? static_cast<uint32_t>(h->ts.tv_sec)
                                                   : static_cast<uint64_t>(h->ts.tv_sec);
        m_header.tv_usec = static_cast<uint32_t>(h->ts.tv_usec);
        m_header.caplen = h->caplen;
        m_header.len = h->len;
        // Packets are never modified; the pointer is const only in spirit.
        m_packet.data = const_cast<uint8_t*>(bytes);
        return Result::Packet;
    }
}

CaptureReader::Result CaptureReader::PcapTruncated(const char* what, size_t wanted, size_t got) {
    if (m_source.Failed()) {
        return Fail(m_source.Error());
    }
    return Fail(m_source.CannotRead("truncated dump file; tried to read " + std::to_string(wanted) + " " +
                                    what + " bytes, only got " + std::to_string(got)));
}

CaptureReader::Result CaptureReader::PcapTooLong(uint32_t caplen) {
    return Fail(m_source.CannotRead("invalid packet capture length " + std::to_string(caplen) +
                                    ", bigger than snaplen of " + std::to_string(m_pcapSnapshot)));
}

// libpcap's rules for a record: no bytes at all is the end; part of a
// record head or of the bytes it announces is a truncated file; a captured
// length beyond what Ethernet allows is an error; one beyond the file's
// snapshot length is read and cut to it. Nanoseconds become microseconds.
CaptureReader::Result CaptureReader::NextPcapRecord() {
    if (!Fill(kPcapRecordHeaderLength)) [[unlikely]] {
        if (m_end == m_begin && !m_source.Failed()) {
            return Result::End;
        }
        return PcapTruncated("header", kPcapRecordHeaderLength, m_end - m_begin);
    }
    const uint8_t* head = m_buffer.data() + m_begin;
    const uint32_t caplen = Field32(head + 8, m_pcapSwapped);
    if (caplen > kPcapMaxCaplen) [[unlikely]] {
        return PcapTooLong(caplen);
    }
    if (!Fill(kPcapRecordHeaderLength + caplen)) [[unlikely]] {
        // As libpcap reads a record longer than the snapshot length: the
        // snapshot length first, then the rest; a cut names the step it
        // fell in.
        const size_t got = m_end - m_begin - kPcapRecordHeaderLength;
        return PcapTruncated("captured",
                             caplen > m_pcapSnapshot && got < m_pcapSnapshot ? m_pcapSnapshot : caplen,
                             got);
    }
    head = m_buffer.data() + m_begin;
    m_header.tv_sec = Field32(head, m_pcapSwapped);
    const uint32_t fraction = Field32(head + 4, m_pcapSwapped);
    // As libpcap does: a fraction read in the file's own byte order is a
    // signed field, one that was swapped is not (it matters only for values
    // no writer makes, but the two readers must agree).
    m_header.tv_usec = !m_pcapNano ? fraction
                       : m_pcapSwapped
                           ? fraction / 1000
                           : static_cast<uint32_t>(static_cast<int32_t>(fraction) / 1000);
    m_header.caplen = std::min(caplen, m_pcapSnapshot);
    m_header.len = Field32(head + 12, m_pcapSwapped);
    m_packet.data = m_buffer.data() + m_begin + kPcapRecordHeaderLength;
    m_begin += kPcapRecordHeaderLength + caplen;
    return Result::Packet;
}

}  // namespace kestrel
