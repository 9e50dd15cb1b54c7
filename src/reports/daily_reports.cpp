// The once-a-day device and sync-app usage reports.
#include <atomic>
#include <string>

#include "TallyService.h"
#include "core/service_internal.h"

namespace {

// The requests that RunDailyReports collects.
constexpr unsigned kDeviceReportRequest = 1;
constexpr unsigned kSyncAppReportRequest = 2;

// Lets the daily reports' claim go when the claiming thread leaves, also by
// an exception.
class ClaimRelease {
  public:
    explicit ClaimRelease(std::atomic<bool>& claim) : m_claim(claim) {}
    ~ClaimRelease() { m_claim.store(false); }
    ClaimRelease(const ClaimRelease&) = delete;
    ClaimRelease& operator=(const ClaimRelease&) = delete;

  private:
    std::atomic<bool>& m_claim;
};

}  // namespace

void TallyService::ReportDevice() {
    RunDailyReports(kDeviceReportRequest);
}

bool TallyService::ReportSyncAppUsing() {
    if (!m_initialized.load() || !m_improvementEnabled.load()) {
        return false;
    }
    return RunDailyReports(kSyncAppReportRequest);
}

// Both daily reports read and write both dates of the ledger, so one thread at
// a time makes them, from the ledger reads to the date writes. That thread
// calls the host's libraries on the way (the user id, the data folder, the
// log), which may take the host's own locks; so no thread ever waits for it.
// A thread that finds the reports claimed leaves its request and returns; the
// claiming thread makes every request it finds before it leaves, reading the
// ledger afresh each time. So each day's event is made once, and no request
// is lost: the sequentially consistent order of the request, the claim, the
// release and the final look guarantees that a request left while the claim
// was held is seen by the thread that held it, or by the next claimant.
bool TallyService::RunDailyReports(unsigned request) {
    // A caller whose request another thread takes hears true, as when there
    // is nothing to do.
    bool result = true;
    bool ownRequestOpen = true;
    m_dailyReportRequests.fetch_or(request);
    while (!m_dailyReportsClaimed.exchange(true)) {
        {
            ClaimRelease release(m_dailyReportsClaimed);
            const unsigned requests = m_dailyReportRequests.exchange(0);
            const bool ownRequest = ownRequestOpen && (requests & request) != 0;
            ownRequestOpen = ownRequestOpen && !ownRequest;
            if ((requests & kDeviceReportRequest) != 0) {
                const uint64_t today = GetCurrentDate();
                if (today != 0 && GetLastReportTime(tally::kDeviceReportKey) != today) {
                    std::string payload = GetReportDeviceInfo(ReportDeviceType::DesktopClient);
                    Report(ReportSource::Orvel, payload);
                }
            }
            if ((requests & kSyncAppReportRequest) != 0) {
                const uint64_t today = GetCurrentDate();
                if (today != 0 && GetLastReportTime(tally::kSyncAppReportKey) != today) {
                    std::string payload = GetReportDeviceInfo(ReportDeviceType::SyncApp);
                    const bool reported = Report(ReportSource::SyncDisk, payload);
                    if (ownRequest && request == kSyncAppReportRequest) {
                        result = reported;
                    }
                }
            }
        }
        if (m_dailyReportRequests.load() == 0) {
            break;
        }
    }
    return result;
}
