// The device-information payload.
#include <string>

#include <json/value.h>

#include "AmbitWrapper.h"
#include "TallyService.h"
#include "host/device_uuid.h"
#include "host/json_writer.h"
#include "host/text.h"
#include "host/windows_version.h"

std::string TallyService::GetReportDeviceInfo(ReportDeviceType type) {
    Json::Value info;
    info["key_device_unique_id"] = AnonymousByTruncate(tally::ToUtf8(tally::GetDeviceUuid()));
    info["key_hdc_dev_unique_id"] = AnonymousByReplace(DeviceUniqueIdCopy());
    info["key_user_unique_id"] =
        AnonymousByTruncate(tally::ToUtf8(AmbitWrapper::GetInstance()->GetCurrentUserId()));
    info["device_type"] = static_cast<int32_t>(type);
    info["os_version"] = tally::ToUtf8(tally::GetWindowsVersionName());
    info["key_app_ver"] = m_appVersion;
    info["app_plugin_ver"] = m_appVersion;
    return tally::WriteCompactJson(info);
}
