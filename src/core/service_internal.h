// Pieces of the service shared between its source files; not exported.
#ifndef TALLYSERVICE_SRC_CORE_SERVICE_INTERNAL_H_
#define TALLYSERVICE_SRC_CORE_SERVICE_INTERNAL_H_

#include <atomic>
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

// Holds one of the service's report claims for the scope it lives in, when
// it was free: released on every way out, an exception included, so that a
// failure never leaves a kind of report claimed for the rest of the process.
class Claim {
  public:
    explicit Claim(std::atomic<bool>& flag) : m_flag(flag), m_held(!flag.exchange(true)) {}
    ~Claim() {
        if (m_held) m_flag.store(false);
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    // False when another thread holds it.
    bool Held() const { return m_held; }

  private:
    std::atomic<bool>& m_flag;
    const bool m_held;
};

// Twelve hours, in milliseconds: the throttle of repeated connection reports.
constexpr uint64_t kReportThrottleMs = 43200000ULL;

}  // namespace tally

#endif  // TALLYSERVICE_SRC_CORE_SERVICE_INTERNAL_H_
