// Pieces of the service shared between its source files; not exported.
#ifndef TALLYSERVICE_SRC_CORE_SERVICE_INTERNAL_H_
#define TALLYSERVICE_SRC_CORE_SERVICE_INTERNAL_H_

#include <map>
#include <string>

#include "TallyService.h"

namespace tally {

// Fills a zero-filled record with an event name and a payload, each with its
// terminating NUL. Logs the reason and answers false when a text is empty or
// does not fit; the caller then drops the event.
bool CopyReportData(ReportData* record, const std::string& eventName, const std::string& data);

// The event name of each report source. Built during the library's static
// initialisation and never changed or destroyed, so any thread may read it
// at any time, also while the process exits.
const std::map<ReportSource, std::string>& EventNameTable();

// Ledger keys.
extern const wchar_t kDeviceReportKey[];
extern const wchar_t kSyncAppReportKey[];
extern const wchar_t kHeartBeatReportKey[];
extern const wchar_t kConnectReportKey[];

// The timer whose duration the connection reports grade.
extern const char kDeviceConnectTimer[];

// Twelve hours, in milliseconds: the throttle of repeated connection reports.
constexpr uint64_t kReportThrottleMs = 43200000ULL;

}  // namespace tally

#endif  // TALLYSERVICE_SRC_CORE_SERVICE_INTERNAL_H_
