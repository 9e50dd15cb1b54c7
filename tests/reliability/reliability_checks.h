// Checks the reliability tests share: what a record handed to the analytics
// library must look like, the submit rhythm of each worker, and a service
// whose queue is open without a library.
#ifndef TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_CHECKS_H_
#define TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_CHECKS_H_

#include <json/value.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "TallyService.h"
#include "support/fake_clock.h"
#include "support/recordings.h"

namespace tally {
namespace testing {

// The event names the service gives its records.
const std::set<std::string>& ServiceEventNames();

// Parses `text` strictly as one JSON object. Answers false, with the
// parser's reason in `*error`, otherwise.
bool ParseJsonObject(const std::string& text, Json::Value* object, std::string* error);

// Why `record` is not one the service may hand over; empty when it is. A
// record holds a NUL-terminated name from ServiceEventNames() or `extraNames`
// and a NUL-terminated payload that is a JSON object, each followed by
// zeros only.
std::string RecordFault(const ReportData& record, const std::set<std::string>& extraNames = {});

// Why the calls of `calls` do not show every worker submitting right after
// each tenth delivery and never otherwise; empty when they do. Workers are
// told apart by the calling thread. Up to ten deliveries of a worker may
// follow its last submit (the process may end before the next one).
std::string SubmitRhythmFault(const std::vector<StandinCall>& calls);

// Why the consent calls of `calls` do not show a library that asks being told
// about opting out in order with the records, for a host that never enables
// and disables at the same moment; empty when they do. A first
// initialisation calls nothing; 1 comes only after 0; an event handed over
// after 0 is wiped by another 0 before the next 1 (the worker took it in an
// opt-in window that has already closed again); the run ends opted in.
std::string ConsentOrderFault(const std::vector<StandinCall>& calls);

// Installs the process's fake clock and opens the queue without a library
// or worker: improvement on and the service marked initialised, so that
// every report a test makes waits in the queue for TakeQueuedNames.
FakeClock& OpenQueueWithoutLibrary();

// Takes every queued record; answers their event names, oldest first.
std::vector<std::string> TakeQueuedNames();

// Takes every queued record; answers them, oldest first.
std::vector<ReportData> TakeQueued();

// ---- The ledger under faults (inside scenarios) -----------------------------

// The ledger file of the running scenario.
std::filesystem::path LedgerPath();

// A ledger as the host product might leave it: lines of its own around the
// service's section, which no write of the service may lose.
extern const char kForeignLedger[];
extern const char kForeignLine[];

// Makes one report of each kind that consults the ledger (heartbeat, failed
// remote connection, device report through EnableImprovement(true), sync-app
// usage) on a service opened by OpenQueueWithoutLibrary; answers the names
// of the records they queued.
std::vector<std::string> LedgerRound();

// What LedgerRound queues with a ledger that holds nothing of the day, and
// what it queues while nothing can be stored (every report is made again,
// and the sync-app report brings the day's device event along).
const std::vector<std::string>& FirstRoundEvents();
const std::vector<std::string>& UnstoredRoundEvents();

// A way of making the ledger unwritable.
struct LedgerFault {
    // Makes the ledger unwritable; answers false, with the reason, where this
    // system cannot (the scenario then notes "skip").
    std::function<bool(std::string* why)> apply;
    // Makes it writable again.
    std::function<void()> lift;
};

// Applies `fault` to a ledger holding kForeignLedger (unless the fault
// removed it), then checks: every round makes every report again, nothing
// is logged, the ledger and its folder stay byte for byte as they were;
// once the fault is lifted, the service stores again and throttles again,
// and the foreign lines are still there.
void ExerciseUnwritableLedger(const LedgerFault& fault);

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_CHECKS_H_
