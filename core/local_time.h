// Conversions between capture times (seconds since 1970 UTC) and the local
// calendar of this machine, through the C library (TZ decides the zone).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kestrel {

// Local calendar time of `seconds`; false when the C library cannot convert it.
bool ToLocalCalendar(uint64_t seconds, std::tm& out);

// Seconds since 1970 UTC of a local calendar time, with the C library deciding
// whether daylight saving applies. Times before 1970, or that the C library
// cannot represent, give 0.
uint64_t FromLocalCalendar(int year, int month, int day, int hour, int minute, int second);

// The same two conversions for long runs of nearby times (the records of one
// file): the C library is asked once per distinct minute, and times within
// that minute are offset from it, since zones change their offset from UTC
// only on whole minutes. One object per run: it does not notice a change of
// TZ made while it lives.
class LocalTimeCache {
public:
    bool ToLocalCalendar(uint64_t seconds, std::tm& out);
    uint64_t FromLocalCalendar(int year, int month, int day, int hour, int minute, int second);

private:
    // ToLocalCalendar: the minute that `m_minuteTm` shows.
    int64_t m_minute = -1;
    std::tm m_minuteTm{};
    // FromLocalCalendar: the calendar minute and its start in seconds.
    int m_key[5] = {-1, -1, -1, -1, -1};
    int64_t m_keyStart = -1;
};

// strftime of the local time of `seconds`; empty when it cannot be converted.
std::string FormatLocalTime(uint64_t seconds, const char* format);

}  // namespace kestrel
