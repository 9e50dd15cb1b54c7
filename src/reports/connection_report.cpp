#include "reports/connection_report.h"

#include <cstdint>
#include <mutex>

#include "TallyService.h"
#include "core/clock.h"
#include "core/service_internal.h"

bool TallyService::PassTwelveHourThrottle(const wchar_t* key) {
    std::lock_guard<std::mutex> guard(m_ledgerGateMutex);
    const uint64_t stamp = GetLastReportTime(key);
    const uint64_t now = tally::FileTimeToUnixMs(tally::CurrentClock().SystemFileTime());
    // An unset stamp never holds a report back, and the difference is
    // unsigned, so a stamp in the future (a clock set back) never does either.
    if (stamp != 0 && now - stamp < tally::kReportThrottleMs) {
        return false;
    }
    SetLastReportTime(key, now);
    return true;
}

namespace tally {

const char* YesNo(bool value) {
    return value ? "true" : "false";
}

}  // namespace tally
