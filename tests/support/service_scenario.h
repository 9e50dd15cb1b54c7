// Helpers for scenarios that drive the service singleton, and for the tests
// that check what they left. Header-only: it reaches the service's private
// members through TallyServiceTestPeer, so it is compiled into each test.
#ifndef TALLYSERVICE_TESTS_SUPPORT_SERVICE_SCENARIO_H_
#define TALLYSERVICE_TESTS_SUPPORT_SERVICE_SCENARIO_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "TallyService.h"
#include "support/fake_clock.h"
#include "support/recordings.h"
#include "support/test_peer.h"

namespace tally {
namespace testing {

// Installs a fake clock for the rest of the process and answers it. It is
// never destroyed, because the service's detached threads read it until the
// process ends; its sleeps block until the test allows them, so the daily
// loop stays asleep unless a test drives it.
inline FakeClock& InstallProcessFakeClock() {
    static FakeClock* const clock = [] {
        auto* created = new FakeClock();
        created->Install();
        return created;
    }();
    return *clock;
}

// A zero-filled record holding `name` and `data` (both must fit).
inline ReportData MakeRecord(const std::string& name, const std::string& data = "{}") {
    ReportData record{};
    std::memcpy(record.eventName, name.data(), std::min(name.size(), sizeof(record.eventName) - 1));
    std::memcpy(record.data, data.data(), std::min(data.size(), sizeof(record.data) - 1));
    return record;
}

// Hands a record to the queue as every producer does.
inline void QueueRecord(const std::string& name, const std::string& data = "{}") {
    ReportData record = MakeRecord(name, data);
    TallyServiceTestPeer::OnEventReport(&record);
}

// Records in the ledger that today's device report was made, so that
// enabling the service queues no device event of its own.
inline void MarkDeviceReportedToday() {
    TallyServiceTestPeer::SetLastReportTime(L"device_report",
                                            TallyServiceTestPeer::GetCurrentDate());
}

// Polls `condition` until it holds or `timeout` passes; answers the last
// outcome.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Whether `line` exists and was logged with these module, severity and
// function name, a source line, and the flag true.
inline ::testing::AssertionResult IsLogLine(const JournalLine* line, int module, int severity,
                                            const std::string& function) {
    if (!line) return ::testing::AssertionFailure() << "no such line";
    if (line->module != module || line->severity != severity || line->function != function ||
        !line->flag || line->line <= 0) {
        return ::testing::AssertionFailure()
               << "logged as module " << line->module << ", severity " << line->severity
               << ", function \"" << line->function << "\", line " << line->line << ", flag "
               << line->flag << ": " << line->message;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_SUPPORT_SERVICE_SCENARIO_H_
