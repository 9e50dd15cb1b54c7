// The device-information payload.
#include <string>

#include <json/value.h>

#include "AmbitWrapper.h"
#include "TallyService.h"
#include "host/device_uuid.h"
#include "host/json_writer.h"
#include "host/text.h"
#include "host/windows_version.h"

using tally::Literal;

std::string TallyService::GetReportDeviceInfo(ReportDeviceType type) {
    Json::Value info;
    info[Literal("key_device_unique_id")] =
        AnonymousByTruncate(tally::ToUtf8(tally::GetDeviceUuid()));
    info[Literal("key_hdc_dev_unique_id")] = AnonymousByReplace(DeviceUniqueIdCopy());
    info[Literal("key_user_unique_id")] =
        AnonymousByTruncate(tally::ToUtf8(AmbitWrapper::GetInstance()->GetCurrentUserId()));
    info[Literal("device_type")] = static_cast<int32_t>(type);
    info[Literal("os_version")] = tally::ToUtf8(tally::GetWindowsVersionName());
    info[Literal("key_app_ver")] = m_appVersion;
    info[Literal("app_plugin_ver")] = m_appVersion;
    return tally::WriteCompactJson(info);
}
