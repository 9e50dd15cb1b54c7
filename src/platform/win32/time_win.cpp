// Clocks of the Windows backend. File times are 100-nanosecond intervals
// since 1601-01-01 00:00, carried as one 64-bit number.

#include "platform/platform.h"

#include <windows.h>

namespace platform {

namespace {

uint64_t FromFileTime(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

}  // namespace

uint64_t SystemTimeAsFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FromFileTime(now);
}

bool FileTimeToLocalCalendar(uint64_t utcFileTime, CalendarTime* local) {
    if (local == nullptr) {
        return false;
    }
    const FILETIME utc = ToFileTime(utcFileTime);
    FILETIME localTime;
    if (!FileTimeToLocalFileTime(&utc, &localTime)) {
        return false;
    }
    SYSTEMTIME fields;
    if (!FileTimeToSystemTime(&localTime, &fields)) {
        return false;
    }
    local->year = fields.wYear;
    local->month = fields.wMonth;
    local->dayOfWeek = fields.wDayOfWeek;
    local->day = fields.wDay;
    local->hour = fields.wHour;
    local->minute = fields.wMinute;
    local->second = fields.wSecond;
    local->milliseconds = fields.wMilliseconds;
    return true;
}

int64_t LocalTimeAsFileTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME time;
    if (!SystemTimeToFileTime(&now, &time)) {
        return 0;
    }
    return static_cast<int64_t>(FromFileTime(time));
}

uint64_t TickCountMs() {
    return GetTickCount64();
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace platform
