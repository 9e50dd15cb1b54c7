// What the two connection reports share.
#ifndef TALLYSERVICE_SRC_REPORTS_CONNECTION_REPORT_H_
#define TALLYSERVICE_SRC_REPORTS_CONNECTION_REPORT_H_

#include <cstdint>

namespace tally {

// The current instant in milliseconds since 1970-01-01 UTC, read afresh.
uint64_t NowUnixMs();

// Whether a stamp read from the ledger still holds a report back: it is set
// and less than twelve hours lie between it and `now`, as an unsigned
// difference, so a stamp in the future (a clock set back) never blocks.
bool WithinThrottle(uint64_t stamp, uint64_t now);

// "true" or "false", the payloads' yes/no convention; a literal.
const char* YesNo(bool value);

}  // namespace tally

#endif  // TALLYSERVICE_SRC_REPORTS_CONNECTION_REPORT_H_
