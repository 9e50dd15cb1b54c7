// Helpers for scenarios that drive the service singleton, and for the tests
// that check what they left: what a record handed to the analytics library
// must look like, and what a scenario's journal must not hold. Header-only:
// it reaches the service's private members through TallyServiceTestPeer, so
// it is compiled into each test.
#ifndef TALLYSERVICE_TESTS_SUPPORT_SERVICE_SCENARIO_H_
#define TALLYSERVICE_TESTS_SUPPORT_SERVICE_SCENARIO_H_

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TallyService.h"
#include "support/fake_clock.h"
#include "support/process.h"
#include "support/recordings.h"
#include "support/scenario.h"
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

// Installs the process's fake clock and opens the queue without a library
// or worker: improvement on and (when `initialized`) the service marked
// initialised, so that every record a test makes waits in the queue.
inline FakeClock& OpenQueue(bool initialized = true) {
    FakeClock& clock = InstallProcessFakeClock();
    TallyServiceTestPeer::SetImprovementEnabled(true);
    TallyServiceTestPeer::SetInitialized(initialized);
    return clock;
}

// One queued record, as text.
struct QueuedEvent {
    std::string name;
    std::string data;
};

// Takes every queued record, oldest first.
inline std::vector<QueuedEvent> TakeQueued() {
    std::vector<QueuedEvent> events;
    for (const ReportData& record : TallyServiceTestPeer::DrainQueue()) {
        events.push_back({FieldText(record.eventName, sizeof(record.eventName)),
                          FieldText(record.data, sizeof(record.data))});
    }
    return events;
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

// Why `calls` do not show every worker submitting right after each tenth
// delivery and never otherwise; empty when they do. Workers are told apart
// by the calling thread. Up to ten deliveries of a worker may follow its last
// submit (the process may end before the next one).
inline std::string SubmitRhythmFault(const std::vector<StandinCall>& calls) {
    std::map<uint64_t, size_t> sinceSubmit;
    for (size_t i = 0; i < calls.size(); ++i) {
        const StandinCall& call = calls[i];
        if (call.kind == StandinCall::Kind::Init || call.kind == StandinCall::Kind::Consent) {
            continue;
        }
        size_t& count = sinceSubmit[call.thread];
        const std::string where =
            "call " + std::to_string(i) + " on thread " + std::to_string(call.thread);
        if (call.kind == StandinCall::Kind::Submit) {
            if (count != 10) {
                return "submit after " + std::to_string(count) + " deliveries at " + where;
            }
            count = 0;
        } else {
            if (count == 10) return "no submit after the tenth delivery before " + where;
            ++count;
        }
    }
    return std::string();
}

// Runs each scenario in a process of its own; each must succeed.
inline void ExpectScenariosSucceed(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const ScenarioResult result = RunScenario(name);
        EXPECT_TRUE(result.Succeeded()) << result.Describe();
    }
}

// Enables an initialised service whose own device report is already done for
// the day, so that only the scenario's records reach the library.
inline void EnableQuietly() {
    InstallProcessFakeClock();
    MarkDeviceReportedToday();
    TallyService::GetInstance()->EnableImprovement(true);
    ASSERT_TRUE(TallyServiceTestPeer::Initialized());
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

// Parses `text` strictly as one JSON object. Answers false, with the
// parser's reason in `*error`, otherwise.
inline bool ParseJsonObject(const std::string& text, Json::Value* object, std::string* error) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), object, error)) return false;
    if (!object->isObject()) *error = "not an object";
    return object->isObject();
}

// Why `record` is not one the service may hand over; empty when it is. A
// record holds a NUL-terminated name, one the service gives its records or
// one of `extraNames`, and a NUL-terminated payload that is a JSON object,
// each followed by zeros only.
inline std::string RecordFault(const ReportData& record,
                               const std::set<std::string>& extraNames = {}) {
    // Reads a field's text; false when it has no NUL or bytes behind it.
    const auto text = [](const char* field, size_t width, std::string* out) {
        const char* const nul = std::find(field, field + width, '\0');
        out->assign(field, nul);
        return nul != field + width && std::all_of(nul, field + width, [](char c) { return !c; });
    };
    static const std::set<std::string> serviceNames = {
        "user_device_info", "storage_heartbeat_fail_reconnect", "device_remote_connect"};
    std::string name;
    std::string data;
    if (!text(record.eventName, sizeof(record.eventName), &name)) {
        return "event name " + name + " without NUL or with bytes behind it";
    }
    if (!serviceNames.count(name) && !extraNames.count(name)) {
        return "unknown event name \"" + name + "\"";
    }
    if (!text(record.data, sizeof(record.data), &data)) {
        return "payload of " + name + " without NUL or with bytes behind it";
    }
    Json::Value object;
    std::string error;
    if (!ParseJsonObject(data, &object, &error)) {
        return "payload of " + name + " is not a JSON object (" + error + "): " + data;
    }
    return std::string();
}

// A scenario that logged no failure (severity 5) at all.
inline void ExpectNoFailureLogged(const ScenarioResult& result) {
    for (const JournalLine& line : result.journal) {
        EXPECT_NE(5, line.severity) << line.function << ": " << line.message;
    }
}

// A scenario that logged no exception: the host's calls never threw inside.
inline void ExpectNoExceptionLogged(const ScenarioResult& result) {
    for (const JournalLine& line : result.journal) {
        EXPECT_EQ(std::string::npos, line.message.find("exception")) << line.message;
    }
}

// The local date of day `day` of a run, as the ledger holds dates, and the
// fake clock set to it.
inline uint64_t DateOfDay(unsigned day) {
    return (2025 + day / 336) * 10000ULL + (1 + (day / 28) % 12) * 100ULL + (1 + day % 28);
}
inline void SetDay(FakeClock& clock, unsigned day) {
    const uint64_t date = DateOfDay(day);
    clock.SetLocalDate(static_cast<uint16_t>(date / 10000), static_cast<uint16_t>(date / 100 % 100),
                       static_cast<uint16_t>(date % 100));
}

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_SUPPORT_SERVICE_SCENARIO_H_
