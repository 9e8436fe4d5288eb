#include "core/pac_file.h"

#include <ctime>

#include "core/capture_file.h"

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

bool EncodePacRecordHeader(const PacketHeader& h, LocalTimeCache& times,
                           uint8_t out[kPacRecordHeaderLength]) {
    PutLe32(out, h.caplen);
    // Whole seconds carried out of an oversized microsecond field keep the
    // milliseconds a calendar value (0-999).
    const uint64_t seconds = h.tv_sec + h.tv_usec / 1000000u;
    std::tm tm{};
    if (seconds < h.tv_sec || !times.ToLocalCalendar(seconds, tm) || tm.tm_year > 0xFFFF - 1900 ||
        tm.tm_year < -1900) {
        return false;
    }
    PutLe16(out + 4, static_cast<uint32_t>(tm.tm_year + 1900));
    PutLe16(out + 6, static_cast<uint32_t>(tm.tm_mon + 1));
    PutLe16(out + 8, static_cast<uint32_t>(tm.tm_wday));
    PutLe16(out + 10, static_cast<uint32_t>(tm.tm_mday));
    PutLe16(out + 12, static_cast<uint32_t>(tm.tm_hour));
    PutLe16(out + 14, static_cast<uint32_t>(tm.tm_min));
    PutLe16(out + 16, static_cast<uint32_t>(tm.tm_sec));
    PutLe16(out + 18, h.tv_usec % 1000000u / 1000u);
    return true;
}

bool DecodePacRecordHeader(const uint8_t* in, LocalTimeCache& times, PacketHeader& out) {
    const uint32_t n = Le32(in);
    const uint8_t* time = in + 4;
    const int year = Le16(time);
    const int month = Le16(time + 2);
    const int day = Le16(time + 6);
    const int hour = Le16(time + 8);
    const int minute = Le16(time + 10);
    const int second = Le16(time + 12);
    const int ms = Le16(time + 14);
    if (n > kMaxPacketLength || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 59 || ms > 999) {
        return false;
    }
    out.caplen = n;
    out.len = n;
    out.tv_sec = times.FromLocalCalendar(year, month, day, hour, minute, second);
    out.tv_usec = static_cast<uint32_t>(ms) * 1000u;
    return true;
}

bool WritePac(const PacketStore& store, std::FILE* out) {
    CaptureWriter writer;
    std::string error;
    if (!writer.OpenStream(out, FileKind::Pac, kPcapMaxSnapLength, error))
        return false;
    const int count = store.Count();
    for (int i = 0; i < count; ++i) {
        if (!writer.Write(*store.At(i), error))
            return false;
    }
    return writer.Finish(error);
}

bool WritePacFile(const PacketStore& store, const std::string& path, std::string& error) {
    return SaveCaptureFile(store, path, FileKind::Pac, error);
}

}  // namespace kestrel
