// Conversions between capture times (seconds since 1970 UTC) and the local
// calendar of this machine, through the C library (TZ decides the zone).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kestrel {

// Local calendar time of `seconds`; false when the C library cannot convert it.
bool ToLocalCalendar(uint32_t seconds, std::tm& out);

// Seconds since 1970 UTC of a local calendar time, with the C library deciding
// whether daylight saving applies. Values outside what a capture header can
// hold (before 1970, after 2106, or not representable) give 0.
uint32_t FromLocalCalendar(int year, int month, int day, int hour, int minute, int second);

// strftime of the local time of `seconds`; empty when it cannot be converted.
std::string FormatLocalTime(uint32_t seconds, const char* format);

}  // namespace kestrel
