// The remote (peer-to-peer) connection report.
#include <map>
#include <mutex>
#include <string>

#include <json/value.h>

#include "TallyService.h"
#include "core/service_internal.h"
#include "host/device_uuid.h"
#include "host/json_writer.h"
#include "host/text.h"
#include "host/windows_version.h"
#include "reports/connection_report.h"

void TallyService::ReportP2P(bool isSuccess, bool isLocalLink) {
    if (!isSuccess) {
        // A failure while the system is marked suspended is dropped, once.
        if (m_systemSuspend.exchange(false)) {
            return;
        }
        const uint64_t stamp = GetLastReportTime(tally::kConnectReportKey);
        const uint64_t now = tally::NowUnixMs();
        if (tally::WithinThrottle(stamp, now)) {
            return;
        }
        SetLastReportTime(tally::kConnectReportKey, now);
    }

    const int64_t duration = TimeCount(tally::kDeviceConnectTimer, false, false);
    Json::Value report;
    report["is_success"] = tally::YesNo(isSuccess);
    report["duration_level"] = GetDurationLevel(duration);
    report["key_phone_manufacturer"] = "";
    report["key_phone_type"] = "";
    report["key_phone_os_ver"] = tally::ToUtf8(tally::GetWindowsVersionName());
    report["key_app_ver"] = m_appVersion;
    report["app_plugin_ver"] = m_appVersion;
    report["is_local_link"] = tally::YesNo(isLocalLink);
    report["device_connect_duration"] = Json::Int64(duration);
    report["p2p_sdk_version"] = 0;
    report["key_phone_unique_id"] = AnonymousData(tally::ToUtf8(tally::GetDeviceUuid()));
    report["key_hdc_dev_unique_id"] = "";
    report["connect_type"] = "none";
    report["network_type"] = "None";
    report["connect_mode"] = isLocalLink ? "LOCAL" : "KCP";
    report["connect_fail_reason"] = "";
    report["fail_err_code"] = "";
    report["fail_err_msg"] = "";

    // Every timer measured so far, with its last value; a timer named like a
    // member above replaces that member's value.
    std::map<std::string, int64_t> durations;
    {
        std::lock_guard<std::mutex> guard(m_timerMutex);
        durations = m_timerDurations;
    }
    for (const auto& timer : durations) {
        report[timer.first] = Json::Int64(timer.second);
    }
    std::string json = tally::WriteCompactJson(report);
    Report(ReportSource::P2P, json);
}
