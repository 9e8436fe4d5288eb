#include "core/local_time.h"

#include <algorithm>

namespace kestrel {

bool ToLocalCalendar(uint64_t seconds, std::tm& out) {
    if (seconds > static_cast<uint64_t>(INT64_MAX))
        return false;
    const std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_r(&t, &out) != nullptr;
}

namespace {

// mktime of a local calendar time, or -1 when it cannot be represented.
int64_t MakeTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? -1 : static_cast<int64_t>(t);
}

uint64_t ClampToHeader(int64_t t) {
    return t < 0 ? 0 : static_cast<uint64_t>(t);
}

}  // namespace

uint64_t FromLocalCalendar(int year, int month, int day, int hour, int minute, int second) {
    return ClampToHeader(MakeTime(year, month, day, hour, minute, second));
}

bool LocalTimeCache::ToLocalCalendar(uint64_t seconds, std::tm& out) {
    if (seconds > static_cast<uint64_t>(INT64_MAX))
        return false;
    const int64_t minute = static_cast<int64_t>(seconds / 60);
    if (minute != m_minute) {
        if (!kestrel::ToLocalCalendar(static_cast<uint64_t>(minute) * 60, m_minuteTm) ||
            m_minuteTm.tm_sec != 0) {  // an offset with seconds in it: no shortcut
            m_minute = -1;
            return kestrel::ToLocalCalendar(seconds, out);
        }
        m_minute = minute;
    }
    out = m_minuteTm;
    out.tm_sec += static_cast<int>(seconds % 60);
    return true;
}

uint64_t LocalTimeCache::FromLocalCalendar(int year, int month, int day, int hour, int minute,
                                           int second) {
    // Out-of-range fields are normalised by the C library across minutes.
    if (second < 0 || second > 59) {
        return kestrel::FromLocalCalendar(year, month, day, hour, minute, second);
    }
    const int key[5] = {year, month, day, hour, minute};
    if (!std::equal(key, key + 5, m_key)) {
        std::copy(key, key + 5, m_key);
        m_keyStart = MakeTime(year, month, day, hour, minute, 0);
    }
    if (m_keyStart < 0) return kestrel::FromLocalCalendar(year, month, day, hour, minute, second);
    return ClampToHeader(m_keyStart + second);
}

std::string FormatLocalTime(uint64_t seconds, const char* format) {
    std::tm tm{};
    if (!ToLocalCalendar(seconds, tm)) {
        return {};
    }
    char buffer[64];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

}  // namespace kestrel
