#include "reports/connection_report.h"

#include <cstdint>
#include <cwchar>

#include "TallyService.h"
#include "core/clock.h"
#include "core/service_internal.h"

bool TallyService::PassTwelveHourThrottle(const wchar_t* key) {
    // One thread at a time reads and stamps a key, so reports of one kind made
    // at the same moment pass once. The ledger calls the host's parameter
    // library, which may take the host's own locks; so a thread that finds
    // the key claimed does not wait but drops its report: the claimant is
    // about to stamp the key, and that stamp would hold the report back.
    tally::Claim claim(std::wcscmp(key, tally::kHeartBeatReportKey) == 0
                           ? m_heartBeatThrottleClaimed
                           : m_connectThrottleClaimed);
    if (!claim.Held()) {
        return false;
    }
    // Building a ledger key may throw std::bad_alloc, which reaches the
    // caller; the claim goes with it.
    const uint64_t stamp = GetLastReportTime(key);
    const uint64_t now = tally::FileTimeToUnixMs(tally::CurrentClock().SystemFileTime());
    // An unset stamp never holds a report back, and the difference is
    // unsigned, so a stamp in the future (a clock set back) never does either.
    const bool due = stamp == 0 || now - stamp >= tally::kReportThrottleMs;
    if (due) {
        SetLastReportTime(key, now);
    }
    return due;
}

namespace tally {

const char* YesNo(bool value) {
    return value ? "true" : "false";
}

}  // namespace tally
