#include "core/clock.h"

#include <atomic>

namespace tally {
namespace {

class SystemClock final : public Clock {
  public:
    uint64_t SystemFileTime() override { return platform::SystemTimeAsFileTime(); }
    bool ToLocalCalendar(uint64_t utcFileTime, platform::CalendarTime* local) override {
        return platform::FileTimeToLocalCalendar(utcFileTime, local);
    }
    int64_t LocalFileTime() override { return platform::LocalTimeAsFileTime(); }
    uint64_t TickMs() override { return platform::TickCountMs(); }
    void SleepMs(uint32_t milliseconds) override { platform::SleepMs(milliseconds); }
};

std::atomic<Clock*> g_clock{nullptr};

Clock& TheSystemClock() {
    // Detached threads read the clock until the process ends, so the system
    // clock is never destroyed.
    static Clock* const clock = new SystemClock();
    return *clock;
}

}  // namespace

Clock& CurrentClock() {
    Clock* clock = g_clock.load(std::memory_order_acquire);
    return clock ? *clock : TheSystemClock();
}

void SetClockForTesting(Clock* clock) {
    g_clock.store(clock, std::memory_order_release);
}

uint64_t FileTimeToUnixMs(uint64_t utcFileTime) {
    // 100-ns ticks between 1601-01-01 and 1970-01-01. Instants before 1970
    // wrap like every unsigned difference of the ledger.
    constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
    return (utcFileTime - kUnixEpochAsFileTime) / 10000;
}

}  // namespace tally
