#include "core/local_time.h"

namespace kestrel {

bool ToLocalCalendar(uint32_t seconds, std::tm& out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_r(&t, &out) != nullptr;
}

uint32_t FromLocalCalendar(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) || t < 0 || t > static_cast<std::time_t>(UINT32_MAX)) {
        return 0;
    }
    return static_cast<uint32_t>(t);
}

std::string FormatLocalTime(uint32_t seconds, const char* format) {
    std::tm tm{};
    if (!ToLocalCalendar(seconds, tm)) {
        return {};
    }
    char buffer[64];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

}  // namespace kestrel
