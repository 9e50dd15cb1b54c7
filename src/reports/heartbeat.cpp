// The reconnection report after a failed heartbeat.
#include <string>

#include <json/value.h>

#include "TallyService.h"
#include "core/service_internal.h"
#include "host/device_uuid.h"
#include "host/json_writer.h"
#include "host/text.h"
#include "reports/connection_report.h"

using tally::Literal;

void TallyService::ReportHeartBeat(bool isSuccess, bool isLocalLink) {
    // A connection being timed holds heartbeat reports back until the next
    // report reaches routing.
    if (m_deviceConnectTimed.load()) {
        return;
    }
    if (!PassTwelveHourThrottle(tally::kHeartBeatReportKey)) {
        return;
    }

    const int64_t duration = TimeCount(tally::kDeviceConnectTimer, false, false);
    Json::Value report;
    report[Literal("is_success")] = Literal(tally::YesNo(isSuccess));
    report[Literal("connect_mode")] = isSuccess ? "KCP_" + GetDurationLevel(duration) : "KCP_FAIL";
    report[Literal("key_app_ver")] = m_appVersion;
    report[Literal("app_plugin_ver")] = m_appVersion;
    report[Literal("p2p_sdk_version")] = 0;
    report[Literal("is_local_link")] = Literal(tally::YesNo(isLocalLink));
    report[Literal("key_device_unique_id")] = AnonymousData(tally::ToUtf8(tally::GetDeviceUuid()));
    report[Literal("key_hdc_dev_unique_id")] = AnonymousByReplace(DeviceUniqueIdCopy());
    std::string json = tally::WriteCompactJson(report);
    Report(ReportSource::HeartBeat, json);
}
