// The once-a-day device and sync-app usage reports.
#include <cstdint>
#include <string>

#include "TallyService.h"
#include "core/service_internal.h"

// Each call makes its own report on its own thread, so its answer, its
// routing line and any exception from building its payload belong to it.
// The claim of the report's kind is taken before the ledger is read and let
// go once routing has written the date: a thread that comes after the
// release reads today's date and makes nothing. A thread that finds the
// claim taken does not wait (the claimant may be waiting for a host lock
// this thread holds); the day's event is being made by the claimant, so
// there is nothing left for it to do.

void TallyService::ReportDevice() {
    tally::Claim claim(m_deviceReportClaimed);
    if (!claim.Held()) {
        return;
    }
    const uint64_t today = GetCurrentDate();
    if (today == 0) {
        return;
    }
    if (GetLastReportTime(tally::kDeviceReportKey) == today) {
        return;
    }
    std::string payload = GetReportDeviceInfo(ReportDeviceType::DesktopClient);
    Report(ReportSource::Orvel, payload);
}

bool TallyService::ReportSyncAppUsing() {
    if (!m_initialized.load() || !m_improvementEnabled.load()) {
        return false;
    }
    tally::Claim claim(m_syncAppReportClaimed);
    if (!claim.Held()) {
        // Another call is making the day's event at this moment.
        return true;
    }
    const uint64_t today = GetCurrentDate();
    if (today == 0) {
        return true;
    }
    if (GetLastReportTime(tally::kSyncAppReportKey) == today) {
        return true;
    }
    std::string payload = GetReportDeviceInfo(ReportDeviceType::SyncApp);
    return Report(ReportSource::SyncDisk, payload);
}
