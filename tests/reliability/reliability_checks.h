// Checks the reliability tests share: what a record handed to the analytics
// library must look like, what a scenario's journal must not hold, and a
// service whose queue is open without a library. Header-only: the last
// reaches the service's private members through TallyServiceTestPeer.
#ifndef TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_CHECKS_H_
#define TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_CHECKS_H_

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "TallyService.h"
#include "support/scenario.h"
#include "support/service_scenario.h"

namespace tally {
namespace testing {

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

// Installs the process's fake clock and opens the queue without a library
// or worker: improvement on and the service marked initialised, so that
// every report a test makes waits in the queue for DrainQueue.
inline FakeClock& OpenQueueWithoutLibrary() {
    FakeClock& clock = InstallProcessFakeClock();
    TallyServiceTestPeer::SetImprovementEnabled(true);
    TallyServiceTestPeer::SetInitialized(true);
    return clock;
}

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_RELIABILITY_RELIABILITY_CHECKS_H_
