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

using tally::Literal;

void TallyService::ReportP2P(bool isSuccess, bool isLocalLink) {
    if (!isSuccess) {
        // A failure while the system is marked suspended is dropped, once.
        if (m_systemSuspend.exchange(false)) {
            return;
        }
        if (!PassTwelveHourThrottle(tally::kConnectReportKey)) {
            return;
        }
    }

    const int64_t duration = TimeCount(tally::kDeviceConnectTimer, false, false);
    Json::Value report;
    report[Literal("is_success")] = Literal(tally::YesNo(isSuccess));
    report[Literal("duration_level")] = GetDurationLevel(duration);
    report[Literal("key_phone_manufacturer")] = Literal("");
    report[Literal("key_phone_type")] = Literal("");
    report[Literal("key_phone_os_ver")] = tally::ToUtf8(tally::GetWindowsVersionName());
    report[Literal("key_app_ver")] = m_appVersion;
    report[Literal("app_plugin_ver")] = m_appVersion;
    report[Literal("is_local_link")] = Literal(tally::YesNo(isLocalLink));
    report[Literal("device_connect_duration")] = Json::Int64(duration);
    report[Literal("p2p_sdk_version")] = 0;
    report[Literal("key_phone_unique_id")] = AnonymousData(tally::ToUtf8(tally::GetDeviceUuid()));
    report[Literal("key_hdc_dev_unique_id")] = Literal("");
    report[Literal("connect_type")] = Literal("none");
    report[Literal("network_type")] = Literal("None");
    report[Literal("connect_mode")] = Literal(isLocalLink ? "LOCAL" : "KCP");
    report[Literal("connect_fail_reason")] = Literal("");
    report[Literal("fail_err_code")] = Literal("");
    report[Literal("fail_err_msg")] = Literal("");

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
