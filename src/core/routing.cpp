// Routing of finished payloads to their event names and handlers.
#include <exception>
#include <map>
#include <string>

#include "TallyService.h"
#include "core/log.h"
#include "core/service_internal.h"

namespace tally {

const wchar_t kDeviceReportKey[] = L"device_report";
const wchar_t kSyncAppReportKey[] = L"sync_app_report";
const wchar_t kHeartBeatReportKey[] = L"hb_report_time";
const wchar_t kConnectReportKey[] = L"connect_report_time";
const char kDeviceConnectTimer[] = "device_connect_duration";

const std::map<ReportSource, std::string>& EventNameTable() {
    static const auto* const table = new std::map<ReportSource, std::string>{
        {ReportSource::Orvel, "user_device_info"},
        {ReportSource::SyncDisk, "user_device_info"},
        {ReportSource::HeartBeat, "storage_heartbeat_fail_reconnect"},
        {ReportSource::P2P, "device_remote_connect"},
    };
    return *table;
}

namespace {

// Built during static initialisation, before any operation can run.
[[maybe_unused]] const bool g_eventNameTableBuilt = (EventNameTable(), true);

// The full-width colon of the routing messages, as the host's log expects
// it: the two bytes of its code page 936 encoding.
constexpr char kFullWidthColon[] = "\xA3\xBA";

std::string SourceText(ReportSource source) {
    return std::to_string(static_cast<int32_t>(source));
}

}  // namespace

}  // namespace tally

bool TallyService::QueueReport(const std::string& eventName, const std::string& data) {
    ReportData record{};
    if (!tally::CopyReportData(&record, eventName, data)) {
        return false;
    }
    OnEventReport(&record);
    return true;
}

bool TallyService::Report(ReportSource source, std::string& data) {
    if (data.empty()) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::Report",
                  "report data is empty");
        return false;
    }
    m_deviceConnectTimed.store(false);
    const auto& table = tally::EventNameTable();
    const auto entry = table.find(source);
    if (entry == table.end()) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::Report",
                  tally::SourceText(source) + tally::kFullWidthColon + "have no event name");
        return false;
    }
    bool result = false;
    try {
        std::string eventName = entry->second;
        if (source == ReportSource::Orvel) {
            result = OnOrvelReport(eventName, data);
        } else if (source == ReportSource::SyncDisk) {
            result = OnSyncDiskReport(eventName, data);
        } else {
            result = OnOtherReport(eventName, data);
        }
    } catch (const std::exception&) {
        result = false;
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::Report",
                  std::string("reporting exception") + tally::kFullWidthColon +
                      tally::SourceText(source));
    } catch (...) {
        result = false;
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::Report",
                  std::string("unknown exception for reporting") + tally::kFullWidthColon +
                      tally::SourceText(source));
    }
    TALLY_LOG(Journal::ModuleReport, Journal::SeverityInfo, "TallyService::Report",
              std::string("report source") + tally::kFullWidthColon + tally::SourceText(source));
    return result;
}

bool TallyService::OnOrvelReport(std::string& eventName, std::string& data) {
    const uint64_t today = GetCurrentDate();
    if (today == 0) {
        return false;
    }
    if (!QueueReport(eventName, data)) {
        return false;
    }
    SetLastReportTime(tally::kDeviceReportKey, today);
    // The host's notice is consumed here, also when the day's sync-app event
    // was already made.
    if (!m_syncAppUsing.exchange(false)) {
        return true;
    }
    // A sync-app report being made on another thread makes the day's event.
    tally::Claim syncAppClaim(m_syncAppReportClaimed);
    if (!syncAppClaim.Held()) {
        return true;
    }
    if (GetLastReportTime(tally::kSyncAppReportKey) == today) {
        return true;
    }
    const auto& table = tally::EventNameTable();
    const auto entry = table.find(ReportSource::SyncDisk);
    if (entry == table.end()) {
        return true;
    }
    const std::string payload = GetReportDeviceInfo(ReportDeviceType::SyncApp);
    if (QueueReport(entry->second, payload)) {
        SetLastReportTime(tally::kSyncAppReportKey, today);
    }
    return true;
}

bool TallyService::OnSyncDiskReport(std::string& eventName, std::string& data) {
    const uint64_t today = GetCurrentDate();
    if (today == 0) {
        return false;
    }
    // The desktop client's device event comes first on a day without one,
    // unless a device report on another thread is making it at this moment.
    tally::Claim deviceClaim(m_deviceReportClaimed);
    if (deviceClaim.Held() && GetLastReportTime(tally::kDeviceReportKey) != today) {
        const auto& table = tally::EventNameTable();
        const auto entry = table.find(ReportSource::Orvel);
        if (entry == table.end()) {
            return false;
        }
        const std::string payload = GetReportDeviceInfo(ReportDeviceType::DesktopClient);
        if (!QueueReport(entry->second, payload)) {
            return false;
        }
        SetLastReportTime(tally::kDeviceReportKey, today);
    }
    if (!QueueReport(eventName, data)) {
        return false;
    }
    SetLastReportTime(tally::kSyncAppReportKey, today);
    return true;
}

bool TallyService::OnOtherReport(std::string& eventName, std::string& data) {
    if (m_initialized.load()) {
        if (!m_improvementEnabled.load()) {
            return false;
        }
        return QueueReport(eventName, data);
    }
    // Before the analytics library is ready connection events wait in the
    // queue, whatever the opt-in says; the first worker delivers them.
    ReportData record{};
    if (tally::CopyReportData(&record, eventName, data)) {
        BufferReport(record);
    }
    return true;
}
