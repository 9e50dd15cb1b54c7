// The service's one source of time. Production code reads the platform's
// clocks; tests install a clock they drive, so that throttles, the day
// boundary, the timers and the daily loop are tested without waiting.
#ifndef TALLYSERVICE_SRC_CORE_CLOCK_H_
#define TALLYSERVICE_SRC_CORE_CLOCK_H_

#include <cstdint>

#include "platform/platform.h"

namespace tally {

class Clock {
  public:
    virtual ~Clock() = default;
    // System time (UTC), 100-nanosecond units since 1601-01-01.
    virtual uint64_t SystemFileTime() = 0;
    // Converts a UTC file time to local calendar fields; false on failure.
    virtual bool ToLocalCalendar(uint64_t utcFileTime, platform::CalendarTime* local) = 0;
    // Local wall-clock time as a file-time count (moves with clock changes).
    virtual int64_t LocalFileTime() = 0;
    // Monotonic milliseconds.
    virtual uint64_t TickMs() = 0;
    // Blocks the calling thread (the daily loop's minute).
    virtual void SleepMs(uint32_t milliseconds) = 0;
};

// The clock in force: the system's unless a test installed its own. Thread-safe.
Clock& CurrentClock();

// Installs `clock` (null restores the system's). The clock must outlive every
// use; tests install one before the service starts any thread.
void SetClockForTesting(Clock* clock);

// Milliseconds since 1970-01-01 00:00 UTC of a UTC file time (truncated).
uint64_t FileTimeToUnixMs(uint64_t utcFileTime);

}  // namespace tally

#endif  // TALLYSERVICE_SRC_CORE_CLOCK_H_
