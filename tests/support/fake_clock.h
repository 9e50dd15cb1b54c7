// A clock that tests drive. Install it before the code under test reads the
// time (tally::SetClockForTesting); every reading is thread-safe.
#ifndef TALLYSERVICE_TESTS_SUPPORT_FAKE_CLOCK_H_
#define TALLYSERVICE_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/clock.h"

namespace tally {
namespace testing {

class FakeClock final : public Clock {
  public:
    // 100-ns units since 1601-01-01 of 1970-01-01 00:00 UTC.
    static constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;
    static constexpr uint64_t kTicksPerMs = 10000;

    FakeClock() { SetUnixMs(1750000000000ULL); }  // 2025-06-15 15:06:40 UTC
    ~FakeClock() override { SetClockForTesting(nullptr); }

    // Installs this clock as the service's clock.
    void Install() { SetClockForTesting(this); }

    // System time, as milliseconds since 1970 (UTC).
    void SetUnixMs(uint64_t ms) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_systemFileTime = kUnixEpochFileTime + ms * kTicksPerMs;
    }
    uint64_t UnixMs() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return (m_systemFileTime - kUnixEpochFileTime) / kTicksPerMs;
    }
    // The local calendar date answered for any system time; a failing
    // conversion when `ok` is false.
    void SetLocalDate(uint16_t year, uint16_t month, uint16_t day, bool ok = true) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_local.year = year;
        m_local.month = month;
        m_local.day = day;
        m_localOk = ok;
    }
    // Local wall clock for the timers, in file-time units.
    void SetLocalFileTime(int64_t value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_localFileTime = value;
    }
    void AdvanceLocalSeconds(double seconds) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_localFileTime += static_cast<int64_t>(seconds * 10000000.0);
    }
    // Number of SleepMs calls made so far.
    uint64_t Sleeps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sleeps;
    }
    // Makes SleepMs advance the tick counter by its argument and return at
    // once, up to `count` more times; after that, sleepers block until more
    // sleeps are allowed.
    void AllowSleeps(uint64_t count) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sleepBudget += count;
        m_changed.notify_all();
    }
    // Waits (bounded) until `count` sleeps have been made.
    bool WaitForSleeps(uint64_t count, uint32_t timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_sleeps >= count; });
    }

    uint64_t SystemFileTime() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_systemFileTime;
    }
    bool ToLocalCalendar(uint64_t, platform::CalendarTime* local) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_localOk) *local = m_local;
        return m_localOk;
    }
    int64_t LocalFileTime() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_localFileTime;
    }
    uint64_t TickMs() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tickMs;
    }
    void SleepMs(uint32_t milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_sleepBudget > 0; });
        --m_sleepBudget;
        m_tickMs += milliseconds;
        ++m_sleeps;
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_systemFileTime = 0;
    platform::CalendarTime m_local{2025, 6, 0, 15, 12, 0, 0, 0};
    bool m_localOk = true;
    int64_t m_localFileTime = 133945000000000000LL;  // mid-2025, local
    uint64_t m_tickMs = 1000;
    uint64_t m_sleeps = 0;
    uint64_t m_sleepBudget = 0;
};

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_SUPPORT_FAKE_CLOCK_H_
