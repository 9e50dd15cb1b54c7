// The reconnection report after a failed heartbeat.
#include <string>

#include <json/value.h>

#include "TallyService.h"
#include "core/service_internal.h"
#include "host/device_uuid.h"
#include "host/json_writer.h"
#include "host/text.h"
#include "reports/connection_report.h"

void TallyService::ReportHeartBeat(bool isSuccess, bool isLocalLink) {
    // A connection being timed holds heartbeat reports back until the next
    // report reaches routing.
    if (m_deviceConnectTimed.load()) {
        return;
    }
    const uint64_t stamp = GetLastReportTime(tally::kHeartBeatReportKey);
    const uint64_t now = tally::NowUnixMs();
    if (tally::WithinThrottle(stamp, now)) {
        return;
    }
    // Stamped before the payload is built: a report dropped later still
    // counts for the next twelve hours.
    SetLastReportTime(tally::kHeartBeatReportKey, now);

    const int64_t duration = TimeCount(tally::kDeviceConnectTimer, false, false);
    Json::Value report;
    report["is_success"] = tally::YesNo(isSuccess);
    report["connect_mode"] = isSuccess ? "KCP_" + GetDurationLevel(duration) : "KCP_FAIL";
    report["key_app_ver"] = m_appVersion;
    report["app_plugin_ver"] = m_appVersion;
    report["p2p_sdk_version"] = 0;
    report["is_local_link"] = tally::YesNo(isLocalLink);
    report["key_device_unique_id"] = AnonymousData(tally::ToUtf8(tally::GetDeviceUuid()));
    report["key_hdc_dev_unique_id"] = AnonymousByReplace(DeviceUniqueIdCopy());
    std::string json = tally::WriteCompactJson(report);
    Report(ReportSource::HeartBeat, json);
}
