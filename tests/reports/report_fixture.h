// What the report scenarios share: a service whose queue is open without an
// analytics library, so that the records a report makes can be read back in
// order, and the texts a payload is built from. Header-only: it reaches the
// service's private members through TallyServiceTestPeer.
#ifndef TALLYSERVICE_TESTS_REPORTS_REPORT_FIXTURE_H_
#define TALLYSERVICE_TESTS_REPORTS_REPORT_FIXTURE_H_

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "TallyService.h"
#include "host/device_uuid.h"
#include "host/text.h"
#include "host/windows_version.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace tally {
namespace testing {

// One queued record, as text.
struct QueuedEvent {
    std::string name;
    std::string data;
};

// Installs the process's fake clock and opens the queue: improvement on,
// and (when `initialized`) the service marked initialised, but no library
// bound and no worker, so records stay queued for TakeQueued.
inline FakeClock& OpenQueue(bool initialized) {
    FakeClock& clock = InstallProcessFakeClock();
    TallyServiceTestPeer::SetImprovementEnabled(true);
    TallyServiceTestPeer::SetInitialized(initialized);
    return clock;
}

// Takes every queued record, oldest first.
inline std::vector<QueuedEvent> TakeQueued() {
    std::vector<QueuedEvent> events;
    for (const ReportData& record : TallyServiceTestPeer::DrainQueue()) {
        events.push_back({record.eventName, record.data});
    }
    return events;
}

// The machine's device UUID and version name as they enter payloads (UTF-8).
inline std::string DeviceUuidText() {
    return ToUtf8(GetDeviceUuid());
}
inline std::string OsVersionText() {
    return ToUtf8(GetWindowsVersionName());
}

// A JSON string literal of `text` (quotes included) for ASCII test values.
inline std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Runs each scenario in a process of its own; each must succeed.
inline void ExpectScenariosSucceed(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const ScenarioResult result = RunScenario(name);
        EXPECT_TRUE(result.Succeeded()) << result.Describe();
    }
}

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_REPORTS_REPORT_FIXTURE_H_
