// Time on Linux: the C library's clocks, expressed in Windows' units (file
// time: 100-nanosecond ticks since 1601-01-01 00:00 UTC) so that the portable
// code computes the same numbers on both platforms.
#include <time.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerMillisecond = 10000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifferenceSeconds = 11644473600LL;
// The largest year a SYSTEMTIME can hold.
constexpr int kLastYear = 30827;

// File-time ticks of a Unix time; 0 for instants before 1601.
uint64_t ToFileTime(int64_t unixSeconds, int64_t ticksInSecond) {
    const int64_t seconds = unixSeconds + kEpochDifferenceSeconds;
    if (seconds < 0) return 0;
    return static_cast<uint64_t>(seconds) * kTicksPerSecond + static_cast<uint64_t>(ticksInSecond);
}

bool ToCalendar(const struct tm& fields, int milliseconds, CalendarTime* out) {
    const int year = fields.tm_year + 1900;
    if (year < 1601 || year > kLastYear) return false;
    out->year = static_cast<uint16_t>(year);
    out->month = static_cast<uint16_t>(fields.tm_mon + 1);
    out->dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
    out->day = static_cast<uint16_t>(fields.tm_mday);
    out->hour = static_cast<uint16_t>(fields.tm_hour);
    out->minute = static_cast<uint16_t>(fields.tm_min);
    // A leap second (60) is folded into the minute's last second, as
    // SYSTEMTIME has no room for it.
    out->second = static_cast<uint16_t>(fields.tm_sec > 59 ? 59 : fields.tm_sec);
    out->milliseconds = static_cast<uint16_t>(milliseconds);
    return true;
}

}  // namespace

uint64_t SystemTimeAsFileTime() {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return ToFileTime(static_cast<int64_t>(now.tv_sec), now.tv_nsec / 100);
}

bool FileTimeToLocalCalendar(uint64_t utcFileTime, CalendarTime* local) {
    // FileTimeToSystemTime refuses file times with the top bit set.
    if (utcFileTime > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    const int64_t ticks = static_cast<int64_t>(utcFileTime);
    const time_t unixSeconds =
        static_cast<time_t>(ticks / kTicksPerSecond - kEpochDifferenceSeconds);
    const int milliseconds = static_cast<int>((ticks % kTicksPerSecond) / kTicksPerMillisecond);
    struct tm fields;
    if (localtime_r(&unixSeconds, &fields) == nullptr) return false;
    return ToCalendar(fields, milliseconds, local);
}

int64_t LocalTimeAsFileTime() {
    // GetLocalTime has millisecond precision; SystemTimeToFileTime then counts
    // the local wall-clock fields as if they were UTC.
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    struct tm fields;
    if (localtime_r(&now.tv_sec, &fields) == nullptr) return 0;
    const int64_t localSeconds = static_cast<int64_t>(now.tv_sec) + fields.tm_gmtoff;
    const int64_t milliseconds = now.tv_nsec / 1000000;
    return static_cast<int64_t>(ToFileTime(localSeconds, milliseconds * kTicksPerMillisecond));
}

uint64_t TickCountMs() {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

void SleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
