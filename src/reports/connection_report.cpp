#include "reports/connection_report.h"

#include "core/clock.h"
#include "core/service_internal.h"

namespace tally {

uint64_t NowUnixMs() {
    return FileTimeToUnixMs(CurrentClock().SystemFileTime());
}

bool WithinThrottle(uint64_t stamp, uint64_t now) {
    return stamp != 0 && now - stamp < kReportThrottleMs;
}

const char* YesNo(bool value) {
    return value ? "true" : "false";
}

}  // namespace tally
