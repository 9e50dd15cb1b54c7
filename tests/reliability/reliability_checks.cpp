#include "reliability_checks.h"

#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "support/process.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace tally {
namespace testing {
namespace {

// Whether every byte of `field` from `from` on is zero.
bool ZerosFrom(const char* field, size_t width, size_t from) {
    for (size_t i = from; i < width; ++i) {
        if (field[i] != '\0') return false;
    }
    return true;
}

// The length of the NUL-terminated text in `field`, or `width` when no NUL.
size_t TextLength(const char* field, size_t width) {
    const void* nul = std::memchr(field, '\0', width);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
}

}  // namespace

const std::set<std::string>& ServiceEventNames() {
    static const std::set<std::string> names = {
        "user_device_info", "storage_heartbeat_fail_reconnect", "device_remote_connect"};
    return names;
}

bool ParseJsonObject(const std::string& text, Json::Value* object, std::string* error) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), object, &errors)) {
        *error = errors;
        return false;
    }
    if (!object->isObject()) {
        *error = "not an object";
        return false;
    }
    return true;
}

std::string RecordFault(const ReportData& record, const std::set<std::string>& extraNames) {
    const size_t nameLength = TextLength(record.eventName, sizeof(record.eventName));
    if (nameLength == sizeof(record.eventName)) return "event name without NUL";
    const std::string name(record.eventName, nameLength);
    if (!ServiceEventNames().count(name) && !extraNames.count(name)) {
        return "unknown event name \"" + name + "\"";
    }
    if (!ZerosFrom(record.eventName, sizeof(record.eventName), nameLength)) {
        return "bytes behind the event name " + name;
    }
    const size_t dataLength = TextLength(record.data, sizeof(record.data));
    if (dataLength == sizeof(record.data)) return "payload of " + name + " without NUL";
    if (!ZerosFrom(record.data, sizeof(record.data), dataLength)) {
        return "bytes behind the payload of " + name;
    }
    const std::string data(record.data, dataLength);
    Json::Value object;
    std::string error;
    if (!ParseJsonObject(data, &object, &error)) {
        return "payload of " + name + " is not a JSON object (" + error + "): " + data;
    }
    return std::string();
}

std::string SubmitRhythmFault(const std::vector<StandinCall>& calls) {
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

std::string ConsentOrderFault(const std::vector<StandinCall>& calls) {
    bool optedOut = false;
    bool eventSinceOptOut = false;
    for (size_t i = 0; i < calls.size(); ++i) {
        const StandinCall& call = calls[i];
        const std::string where = " at call " + std::to_string(i);
        if (call.kind == StandinCall::Kind::Event) {
            eventSinceOptOut = eventSinceOptOut || optedOut;
        } else if (call.kind == StandinCall::Kind::Consent && call.consent == 0) {
            optedOut = true;
            eventSinceOptOut = false;
        } else if (call.kind == StandinCall::Kind::Consent) {
            if (call.consent != 1 || !optedOut)
                return "consent " + std::to_string(call.consent) + where;
            if (eventSinceOptOut) return "an event handed over after opting out was kept" + where;
            optedOut = false;
        }
    }
    return optedOut ? "the library was left opted out" : "";
}

FakeClock& OpenQueueWithoutLibrary() {
    FakeClock& clock = InstallProcessFakeClock();
    TallyServiceTestPeer::SetImprovementEnabled(true);
    TallyServiceTestPeer::SetInitialized(true);
    return clock;
}

std::vector<ReportData> TakeQueued() {
    return TallyServiceTestPeer::DrainQueue();
}

std::vector<std::string> TakeQueuedNames() {
    std::vector<std::string> names;
    for (const ReportData& record : TallyServiceTestPeer::DrainQueue()) {
        names.emplace_back(record.eventName,
                           TextLength(record.eventName, sizeof(record.eventName)));
    }
    return names;
}

const char kForeignLedger[] =
    "; kept by the host product\n"
    "[main]\n"
    "host_setting=keep-me\n"
    "[other]\n"
    "x=y\n"
    "; end of file\n";
const char kForeignLine[] = "host_setting=keep-me";

std::filesystem::path LedgerPath() {
    return std::filesystem::u8path(ReadEnvironment("AMBIT_DATA_DIR")) / "log" / "orvel.ini";
}

std::vector<std::string> LedgerRound() {
    TallyService* service = TallyService::GetInstance();
    service->ReportHeartBeat(false, false);
    service->ReportP2P(false, false);
    service->EnableImprovement(true);
    EXPECT_TRUE(service->ReportSyncAppUsing());
    return TakeQueuedNames();
}

const std::vector<std::string>& FirstRoundEvents() {
    static const std::vector<std::string> names = {"storage_heartbeat_fail_reconnect",
                                                   "device_remote_connect", "user_device_info",
                                                   "user_device_info"};
    return names;
}

const std::vector<std::string>& UnstoredRoundEvents() {
    static const std::vector<std::string> names = {"storage_heartbeat_fail_reconnect",
                                                   "device_remote_connect", "user_device_info",
                                                   "user_device_info", "user_device_info"};
    return names;
}

namespace {

// The names in `folder`, sorted; none when it does not exist.
std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename().u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

void ExerciseUnwritableLedger(const LedgerFault& fault) {
    OpenQueueWithoutLibrary();
    const std::filesystem::path ledger = LedgerPath();
    std::error_code error;
    if (std::filesystem::is_directory(ledger.parent_path(), error)) {
        std::ofstream(ledger, std::ios::binary) << kForeignLedger;
    }
    std::string why;
    if (!fault.apply(&why)) {
        WriteNote("skip", why);
        return;
    }
    const std::string before = ReadFileBytes(ledger);
    const std::vector<std::string> entriesBefore = FolderEntries(ledger.parent_path());
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(UnstoredRoundEvents(), LedgerRound()) << "round " << round;
    }
    EXPECT_EQ(before, ReadFileBytes(ledger)) << "the unwritable ledger changed";
    EXPECT_EQ(entriesBefore, FolderEntries(ledger.parent_path())) << "files left behind";

    fault.lift();
    EXPECT_EQ(FirstRoundEvents(), LedgerRound()) << "after the fault";
    EXPECT_TRUE(LedgerRound().empty()) << "throttled again";
    if (before.find(kForeignLine) != std::string::npos) {
        EXPECT_NE(std::string::npos, ReadFileBytes(ledger).find(kForeignLine));
    }
}

}  // namespace testing
}  // namespace tally
