#include "core/pac_file.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/file_util.h"
#include "core/local_time.h"

namespace kestrel {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, v);
    PutLe16(p + 2, v >> 16);
}

}  // namespace

bool ParsePac(std::span<const uint8_t> bytes, PacketStore& store, std::string& error,
              bool* truncated) {
    size_t pos = 0;
    LocalTimeCache times;
    if (truncated) *truncated = false;
    for (;;) {
        if (bytes.size() - pos < 4) break;
        if (store.IsFull()) {
            const uint32_t rest = Le32(bytes.data() + pos);
            if (truncated) {
                *truncated = bytes.size() - pos >= kPacRecordHeaderLength &&
                             bytes.size() - pos - kPacRecordHeaderLength >= rest;
            }
            break;
        }
        const uint32_t n = Le32(bytes.data() + pos);
        if (bytes.size() - pos - 4 < 16) break;
        const uint8_t* time = bytes.data() + pos + 4;
        // A length running past the end of the file is an incomplete tail:
        // dropped without trying to allocate it.
        if (bytes.size() - pos - kPacRecordHeaderLength < n) break;
        PacketHeader header;
        header.caplen = n;
        header.len = n;
        header.tv_sec = times.FromLocalCalendar(Le16(time), Le16(time + 2), Le16(time + 6),
                                                Le16(time + 8), Le16(time + 10), Le16(time + 12));
        header.tv_usec = static_cast<uint32_t>(Le16(time + 14)) * 1000u;
        Packet* packet = MakePacket(header, bytes.data() + pos + kPacRecordHeaderLength);
        if (!packet) {
            error = "ﾒﾓﾘが不足しています。";
            return false;
        }
        store.AppendPacket(packet);
        pos += kPacRecordHeaderLength + n;
    }
    return true;
}

bool ReadPacFile(const std::string& path, PacketStore& store, std::string& error) {
    MappedFile file;
    if (!file.Open(path, error)) {
        return false;
    }
    return ParsePac(file.Bytes(), store, error);
}

bool WritePac(const PacketStore& store, std::FILE* out) {
    const int count = store.Count();
    LocalTimeCache times;
    for (int i = 0; i < count; ++i) {
        const Packet& packet = *store.At(i);
        const PacketHeader& h = *packet.header;
        uint8_t record[kPacRecordHeaderLength] = {};
        PutLe32(record, h.caplen);
        std::tm tm{};
        if (times.ToLocalCalendar(h.tv_sec, tm)) {
            PutLe16(record + 4, static_cast<uint32_t>(tm.tm_year + 1900));
            PutLe16(record + 6, static_cast<uint32_t>(tm.tm_mon + 1));
            PutLe16(record + 8, static_cast<uint32_t>(tm.tm_wday));
            PutLe16(record + 10, static_cast<uint32_t>(tm.tm_mday));
            PutLe16(record + 12, static_cast<uint32_t>(tm.tm_hour));
            PutLe16(record + 14, static_cast<uint32_t>(tm.tm_min));
            PutLe16(record + 16, static_cast<uint32_t>(tm.tm_sec));
        }
        const uint32_t ms = h.tv_usec / 1000u;
        PutLe16(record + 18, ms > 0xFFFF ? 0xFFFF : ms);
        if (std::fwrite(record, 1, sizeof record, out) != sizeof record) return false;
        if (h.caplen && std::fwrite(packet.data, 1, h.caplen, out) != h.caplen) return false;
    }
    return std::fflush(out) == 0 && !std::ferror(out);
}

bool WritePacFile(const PacketStore& store, const std::string& path, std::string& error) {
    return WriteReplacing(path, error, [&](std::FILE* out) { return WritePac(store, out); });
}

}  // namespace kestrel
