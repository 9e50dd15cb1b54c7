// Named duration timers.
#include <mutex>
#include <string>

#include "TallyService.h"
#include "core/clock.h"
#include "core/service_internal.h"

namespace {

// File-time units per second.
constexpr int64_t kFileTimeTicksPerSecond = 10000000;

int64_t LocalNow() {
    return tally::CurrentClock().LocalFileTime();
}

}  // namespace

int64_t TallyService::TimeCount(std::string name, bool start, bool restart) {
    if (name == tally::kDeviceConnectTimer) {
        m_deviceConnectTimed.store(true);
    }
    std::lock_guard<std::mutex> guard(m_timerMutex);
    int64_t& startStamp = m_timerStarts[name];
    const int64_t previous = startStamp;
    if (start) {
        startStamp = LocalNow();
        return 0;
    }
    if (restart) {
        startStamp = LocalNow();
    }
    if (previous <= 0) {
        return 0;
    }
    // Local wall-clock time: a clock set back gives a negative duration,
    // stored and answered as such.
    const int64_t seconds = (LocalNow() - previous) / kFileTimeTicksPerSecond;
    m_timerDurations[name] = seconds;
    return seconds;
}

std::string TallyService::GetDurationLevel(int64_t seconds) {
    if (seconds <= 2) {
        return "1";
    }
    if (seconds <= 5) {
        return "2";
    }
    if (seconds <= 10) {
        return "3";
    }
    if (seconds <= 20) {
        return "4";
    }
    return "5";
}
