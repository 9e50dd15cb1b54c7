// The ledger when its file cannot be written, is damaged while the service
// runs, or is written by two processes at once. The service never fails the
// host for it: a report it cannot record is made again next time, and the
// ledger's other lines are never lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/service_scenario.h"

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;
using Peer = TallyServiceTestPeer;

// A ledger as the host product might leave it: lines of its own around the
// service's section, which no write of the service may lose.
const char kForeignLedger[] =
    "; kept by the host product\n"
    "[main]\n"
    "host_setting=keep-me\n"
    "[other]\n"
    "x=y\n"
    "; end of file\n";
const char kForeignLine[] = "host_setting=keep-me";
const char kEndLine[] = "; end of file";

// Twelve hours and a millisecond: every step opens the throttles.
constexpr uint64_t kStepMs = 43200001;
constexpr uint64_t kStartMs = 1750000000000ULL;

// The names in `folder`, sorted; none when it does not exist.
std::vector<std::string> FolderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The ledger file of the running scenario.
fs::path LedgerPath() {
    return fs::u8path(ReadEnvironment("AMBIT_DATA_DIR")) / "log" / "orvel.ini";
}

// Makes one report of each kind that consults the ledger (heartbeat, failed
// remote connection, device report through EnableImprovement(true), sync-app
// usage) on a service opened by OpenQueue; answers the names of the records
// they queued.
std::vector<std::string> LedgerRound() {
    TallyService* service = TallyService::GetInstance();
    service->ReportHeartBeat(false, false);
    service->ReportP2P(false, false);
    service->EnableImprovement(true);
    EXPECT_TRUE(service->ReportSyncAppUsing());
    std::vector<std::string> names;
    for (const QueuedEvent& event : TakeQueued()) names.push_back(event.name);
    return names;
}

// What LedgerRound queues with a ledger that holds nothing of the day, and
// what it queues while nothing can be stored (every report is made again,
// and the sync-app report brings the day's device event along).
const std::vector<std::string> kFirstRound = {"storage_heartbeat_fail_reconnect",
                                              "device_remote_connect", "user_device_info",
                                              "user_device_info"};
const std::vector<std::string> kUnstoredRound = {"storage_heartbeat_fail_reconnect",
                                                 "device_remote_connect", "user_device_info",
                                                 "user_device_info", "user_device_info"};

// Sets or clears the ledger's read-only mark (Linux: its write permissions;
// Windows: the read-only attribute). When setting it, answers false, with the
// reason, where the mark does not stop this process from writing the file
// (root on Linux, and Wine run by root); the mark is then cleared again.
bool SetReadOnly(const fs::path& ledger, bool readOnly, std::string* why) {
    const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    std::error_code error;
    fs::permissions(ledger, write, readOnly ? fs::perm_options::remove : fs::perm_options::add,
                    error);
    if (error) {
        *why = "changing the permissions failed: " + error.message();
        return false;
    }
    if (readOnly && std::ofstream(ledger, std::ios::binary | std::ios::app)) {
        fs::permissions(ledger, write, fs::perm_options::add, error);
        *why = "the read-only mark does not stop this process (root)";
        return false;
    }
    return true;
}

// Makes the ledger, holding kForeignLedger unless its folder is missing,
// unwritable as param "fault" says, then checks: every round makes every
// report again, the ledger and its folder stay byte for byte as they were;
// once the fault is lifted, the service stores again and throttles again, and
// the foreign lines are still there. Where the system cannot stage the fault,
// notes "skip".
TALLY_SCENARIO(UnwritableLedger) {
    OpenQueue();
    const std::string fault = ScenarioParam("fault");
    const fs::path ledger = LedgerPath();
    std::error_code error;
    if (fs::is_directory(ledger.parent_path(), error)) WriteFileBytes(ledger, kForeignLedger);
    std::string why;
    bool staged = true;
    if (fault == "directory") {
        ASSERT_TRUE(fs::remove(ledger) && fs::create_directory(ledger));
    } else if (fault == "read_only") {
        staged = SetReadOnly(ledger, true, &why);
    } else if (fault != "missing_folder") {
        staged = ApplyPlatformLedgerFault(fault, ledger, &why);
    }
    if (!staged) {
        WriteNote("skip", why);
        return;
    }
    const std::string before = ReadFileBytes(ledger);
    const std::vector<std::string> entriesBefore = FolderEntries(ledger.parent_path());
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(kUnstoredRound, LedgerRound()) << "round " << round;
    }
    EXPECT_EQ(before, ReadFileBytes(ledger)) << "the unwritable ledger changed";
    EXPECT_EQ(entriesBefore, FolderEntries(ledger.parent_path())) << "files left behind";

    if (fault == "missing_folder") {
        fs::create_directory(ledger.parent_path());
    } else if (fault == "directory") {
        fs::remove_all(ledger);
    } else {
        EXPECT_TRUE(fault == "read_only" ? SetReadOnly(ledger, false, &why)
                                         : LiftPlatformLedgerFault(fault, ledger, &why))
            << why;
    }
    EXPECT_EQ(kFirstRound, LedgerRound()) << "after the fault";
    EXPECT_TRUE(LedgerRound().empty()) << "throttled again";
    if (before.find(kForeignLine) != std::string::npos) {
        EXPECT_NE(std::string::npos, ReadFileBytes(ledger).find(kForeignLine));
    }
}

TEST(LedgerFaults, UnwritableLedgerMakesEveryReportAgainAndKeepsItsBytes) {
    std::vector<std::string> faults = {"missing_folder", "directory", "read_only"};
    for (const std::string& fault : PlatformLedgerFaults()) faults.push_back(fault);
    for (const std::string& fault : faults) {
        SCOPED_TRACE(fault);
        ScenarioOptions options;
        options.params = {{"fault", fault}};
        options.createLogFolder = fault != "missing_folder";
        const ScenarioResult result = RunScenario("UnwritableLedger", options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        if (!result.Note("skip").empty()) {
            // Root is not stopped by the read-only mark (on Linux, where the
            // read-only mount stands in, and under Wine run by root), and a
            // sandbox may allow no mounts.
            std::cout << fault << " skipped: " << result.Note("skip") << "\n";
            continue;
        }
        // Nothing about the ledger is ever logged.
        ExpectNoFailureLogged(result);
    }
}

struct Corruption {
    const char* what;
    std::string text;
    bool keepsForeignLine;
};

TALLY_SCENARIO(LedgerCorruptedWhileRunning) {
    const char junk[] = "\x01\x02junk\0\0\x80\xfe[main\n\xc3\x28=\0\n";
    const Corruption corruptions[] = {
        {"cut in the middle of a line",
         "; kept by the host product\n[main]\nhost_setting=keep-me\nhb_report_ti", true},
        {"binary junk", std::string(junk, sizeof(junk) - 1) + std::string(5000, 'x') + "\n=\n[",
         false},
        {"values that are not numbers",
         "[main]\nhost_setting=keep-me\ndevice_report=abc\nsync_app_report=\n"
         "hb_report_time=later\nconnect_report_time=-\n",
         true},
        {"emptied", "", false},
    };
    OpenQueue();
    EXPECT_EQ(kFirstRound, LedgerRound());
    EXPECT_TRUE(LedgerRound().empty()) << "the ledger does not throttle";
    for (const Corruption& corruption : corruptions) {
        SCOPED_TRACE(corruption.what);
        WriteFileBytes(LedgerPath(), corruption.text);
        // Nothing of the service's can be read back: every report is made
        // again, and from then on the rewritten ledger throttles again.
        EXPECT_EQ(kFirstRound, LedgerRound());
        EXPECT_TRUE(LedgerRound().empty()) << "the rewritten ledger is not read back";
        if (corruption.keepsForeignLine) {
            EXPECT_NE(std::string::npos, ReadFileBytes(LedgerPath()).find(kForeignLine));
        }
    }
}

TEST(LedgerFaults, CorruptedWhileRunningReadsAsNeverAndIsRewritten) {
    const ScenarioResult result = RunScenario("LedgerCorruptedWhileRunning");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    ExpectNoFailureLogged(result);
}

// One of two processes that share a ledger. The "stamps" writer makes the
// two connection reports, the "dates" writer the two daily ones, each step
// twelve hours and a day on, so that every step writes its two keys. Right
// after, it reads them back: a writer that rewrote the file from a stale
// copy would have put an older value of the other's keys back, or lost ours.
TALLY_SCENARIO(SharedLedgerWriter) {
    const fs::path shared = fs::u8path(ReadEnvironment("AMBIT_DATA_DIR"));
    FakeClock& clock = OpenQueue();
    TallyService* service = TallyService::GetInstance();
    const int steps = std::stoi(ScenarioParam("steps"));
    const bool stamps = ScenarioParam("role") == "stamps";

    // Start together with the other writer.
    WriteFileBytes(shared / (stamps ? "ready_0" : "ready_1"), "ready");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(shared / (stamps ? "ready_1" : "ready_0")); },
                          std::chrono::seconds(60)));
    size_t events = 0;
    size_t notReadBack = 0;
    for (int step = 0; step < steps; ++step) {
        const uint64_t now = kStartMs + static_cast<uint64_t>(step) * kStepMs;
        clock.SetUnixMs(now);
        SetDay(clock, static_cast<unsigned>(step));
        if (stamps) {
            service->ReportHeartBeat(false, false);
            service->ReportP2P(false, false);
            notReadBack += Peer::GetLastReportTime(L"hb_report_time") != now;
            notReadBack += Peer::GetLastReportTime(L"connect_report_time") != now;
        } else {
            Peer::ReportDevice();
            service->ReportSyncAppUsing();
            notReadBack += Peer::GetLastReportTime(L"device_report") != DateOfDay(step);
            notReadBack += Peer::GetLastReportTime(L"sync_app_report") != DateOfDay(step);
        }
        for (const ReportData& record : Peer::DrainQueue()) {
            EXPECT_EQ("", RecordFault(record));
            ++events;
        }
    }
    WriteNote("events", std::to_string(events));
    WriteNote("not_read_back", std::to_string(notReadBack));
}

// The value of `key` in the text of an ini file; empty when absent.
std::string IniValue(const std::string& text, const std::string& key) {
    const size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos) return std::string();
    const size_t begin = at + key.size() + 2;
    return text.substr(begin, text.find_first_of("\r\n", begin) - begin);
}

TEST(LedgerFaults, TwoProcessesWriteOneLedgerAtOnce) {
    constexpr int kSteps = 300;
    std::random_device random;
    const fs::path shared =
        fs::temp_directory_path() / ("tally-shared-ledger-" + std::to_string(random()));
    fs::create_directories(shared / "log");
    const fs::path ledger = shared / "log" / "orvel.ini";
    WriteFileBytes(ledger, kForeignLedger);

    ScenarioResult results[2];
    std::atomic<int> finished{0};
    std::vector<std::thread> runs;
    for (int i = 0; i < 2; ++i) {
        // The second run is set up once the first writer is running: a
        // program copy still open for writing while another thread starts a
        // process would be inherited by it and could not be started itself.
        if (i == 1 &&
            !WaitUntil([&] { return fs::exists(shared / "ready_0"); }, std::chrono::seconds(60))) {
            ADD_FAILURE() << "the first writer did not start";
            ++finished;
            break;
        }
        runs.emplace_back([&, i] {
            ScenarioOptions options;
            options.environment = {{"AMBIT_DATA_DIR", shared.u8string()}};
            options.params = {{"steps", std::to_string(kSteps)},
                              {"role", i == 0 ? "stamps" : "dates"}};
            options.timeout = std::chrono::seconds(120);
            results[i] = RunScenario("SharedLedgerWriter", options);
            ++finished;
        });
    }
    // Read the ledger while both write it: every read must be a whole file.
    size_t reads = 0;
    size_t tornReads = 0;
    std::string tornSample;
    while (finished < 2) {
        const std::string text = ReadFileBytes(ledger);
        ++reads;
        if (!text.empty() && (text.find(kForeignLine) == std::string::npos ||
                              text.find(kEndLine) == std::string::npos)) {
            ++tornReads;
            tornSample = text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (std::thread& run : runs) run.join();
    std::cout << reads << " reads of the ledger while it was written\n";
    for (const ScenarioResult& result : results) {
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        ExpectNoFailureLogged(result);
        if (kLedgerWriterIsAtomicAcrossProcesses) {
            EXPECT_EQ(std::to_string(2 * kSteps), result.Note("events"));
            EXPECT_EQ("0", result.Note("not_read_back")) << "lost updates";
        } else {
            // A lost update only makes a report again.
            EXPECT_GE(std::stoi(result.Note("events")), 2 * kSteps);
        }
    }
    const std::string text = ReadFileBytes(ledger);
    if (kLedgerWriterIsAtomicAcrossProcesses) {
        EXPECT_EQ(0u, tornReads) << "of " << reads << " reads, for example:\n" << tornSample;
        EXPECT_NE(std::string::npos, text.find(kForeignLine)) << text;
        EXPECT_NE(std::string::npos, text.find("[other]\nx=y\n; end of file\n")) << text;
        // Each key holds the last value its writer stored.
        const std::string lastInstant = std::to_string(kStartMs + (kSteps - 1) * kStepMs);
        const std::string lastDate = std::to_string(DateOfDay(kSteps - 1));
        EXPECT_EQ(lastInstant, IniValue(text, "hb_report_time")) << text;
        EXPECT_EQ(lastInstant, IniValue(text, "connect_report_time")) << text;
        EXPECT_EQ(lastDate, IniValue(text, "device_report")) << text;
        EXPECT_EQ(lastDate, IniValue(text, "sync_app_report")) << text;
        EXPECT_EQ(std::vector<std::string>{"orvel.ini"}, FolderEntries(ledger.parent_path()))
            << "files left behind";
    }
    if (!::testing::Test::HasFailure()) fs::remove_all(shared);
}

}  // namespace
}  // namespace testing
}  // namespace tally
