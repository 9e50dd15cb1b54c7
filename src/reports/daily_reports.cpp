// The once-a-day device and sync-app usage reports.
#include <mutex>
#include <string>

#include "TallyService.h"
#include "core/service_internal.h"

void TallyService::ReportDevice() {
    std::lock_guard<std::mutex> guard(m_ledgerGateMutex);
    const uint64_t today = GetCurrentDate();
    if (today == 0 || GetLastReportTime(tally::kDeviceReportKey) == today) {
        return;
    }
    std::string payload = GetReportDeviceInfo(ReportDeviceType::DesktopClient);
    Report(ReportSource::Orvel, payload);
}

bool TallyService::ReportSyncAppUsing() {
    if (!m_initialized.load() || !m_improvementEnabled.load()) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_ledgerGateMutex);
    const uint64_t today = GetCurrentDate();
    if (today == 0 || GetLastReportTime(tally::kSyncAppReportKey) == today) {
        return true;
    }
    std::string payload = GetReportDeviceInfo(ReportDeviceType::SyncApp);
    return Report(ReportSource::SyncDisk, payload);
}
