#include "reports/report_fixture.h"

#include "host/device_uuid.h"
#include "host/text.h"
#include "host/windows_version.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace tally {
namespace testing {

FakeClock& OpenQueue(bool initialized) {
    FakeClock& clock = InstallProcessFakeClock();
    TallyServiceTestPeer::SetImprovementEnabled(true);
    TallyServiceTestPeer::SetInitialized(initialized);
    return clock;
}

std::vector<QueuedEvent> TakeQueued() {
    std::vector<QueuedEvent> events;
    for (const ReportData& record : TallyServiceTestPeer::DrainQueue()) {
        events.push_back({record.eventName, record.data});
    }
    return events;
}

std::string DeviceUuidText() {
    return ToUtf8(GetDeviceUuid());
}

std::string OsVersionText() {
    return ToUtf8(GetWindowsVersionName());
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace testing
}  // namespace tally
