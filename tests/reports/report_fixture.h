// What the report scenarios share: a service whose queue is open without an
// analytics library, so that the records a report makes can be read back in
// order, and the texts a payload is built from.
#ifndef TALLYSERVICE_TESTS_REPORTS_REPORT_FIXTURE_H_
#define TALLYSERVICE_TESTS_REPORTS_REPORT_FIXTURE_H_

#include <string>
#include <vector>

#include "TallyService.h"
#include "support/fake_clock.h"

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
FakeClock& OpenQueue(bool initialized);

// Takes every queued record, oldest first.
std::vector<QueuedEvent> TakeQueued();

// The machine's device UUID and version name as they enter payloads (UTF-8).
std::string DeviceUuidText();
std::string OsVersionText();

// A JSON string literal of `text` (quotes included) for ASCII test values.
std::string Quoted(const std::string& text);

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_REPORTS_REPORT_FIXTURE_H_
