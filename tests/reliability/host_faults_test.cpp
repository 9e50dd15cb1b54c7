// The host's own faults and moves: an analytics library that cannot serve, a
// wall clock far off in either direction, and the service unloaded and
// loaded again, idle or with its threads running, or a process that ends
// while the worker is inside the analytics library. The host keeps using
// every operation: nothing crashes, nothing is delivered without a library,
// no thread is left behind, and no throttle or daily rule locks up whatever
// the clock did.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/service_scenario.h"

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;

const char kHeartBeat[] = "storage_heartbeat_fail_reconnect";
const char kConnect[] = "device_remote_connect";
const char kDevice[] = "user_device_info";
constexpr int kEnableRounds = 3;

// The host goes on with every operation, enabling again each round, and
// starting threads of its own; all of it with a library that does not bind
// or does not initialise. Every thread started here ends at once, often
// before the thread that started it has detached it, which MinGW-w64's
// thread runtime does not survive unless the service guards against it.
TALLY_SCENARIO(HostUsesEveryOperationWithoutALibrary) {
    InstallProcessFakeClock();
    TallyService* service = TallyService::GetInstance();
    // A sanitizer's runtime starts a thread of its own with the first one
    // the program starts; count from after that.
    std::thread([] {}).join();
    const int threadsBefore = CountThreads();
    for (int round = 0; round < kEnableRounds; ++round) {
        service->EnableImprovement(true);
        service->SetDeviceUniqueId("device-" + std::to_string(round));
        service->SetSyncAppUsing(true);
        service->SetSystemSuspend(false);
        service->TimeCount("device_connect_duration", true, false);
        service->TimeCount("device_connect_duration", false, true);
        service->ReportHeartBeat(false, false);
        service->ReportP2P(true, false);
        service->ReportP2P(true, true);
        service->ReportP2P(false, false);
        EXPECT_FALSE(service->ReportSyncAppUsing());
        service->StartReportThread();
        service->EnableImprovement(false);
        // The threads of a service that is not initialised end on their own.
        ASSERT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }))
            << CountThreads() << " threads, " << threadsBefore << " before";
    }
    EXPECT_FALSE(Peer::Initialized());
    // Connection events wait for a library that may still come: successes
    // every time, failures once in twelve hours. The heartbeat was held back
    // each time by the connection timer.
    WriteNote("queued", std::to_string(Peer::QueueSize()));
}

TEST(LibraryFaults, HostKeepsWorkingAndNothingIsLeftRunningWhateverTheLibrary) {
    struct Case {
        const char* what;
        AnalyticsLibrary library;
        const char* initResult;
        size_t initCalls;
        const char* logLine;
    };
    const std::vector<Case> cases = {
        {"missing", AnalyticsLibrary::Missing, "", 0, "Load tally library failed:126"},
        {"not a library", AnalyticsLibrary::NotALibrary, "", 0, "Load tally library failed:193"},
        {"lacking ReportOnSubmit", AnalyticsLibrary::WithoutSubmit, "", 0, nullptr},
        {"ReportInit answers 0", AnalyticsLibrary::Recording, "0", kEnableRounds,
         "tally init ret -> 0"},
        {"ReportInit answers 2", AnalyticsLibrary::Recording, "2", kEnableRounds,
         "tally init ret -> 0"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        ScenarioOptions options;
        options.library = test.library;
        options.initResult = test.initResult;
        const ScenarioResult result = RunScenario("HostUsesEveryOperationWithoutALibrary", options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        // Each enabling tries again, and each attempt says how it ended
        // (a library lacking an entry point is released without a word).
        EXPECT_EQ(test.initCalls, result.CountCalls(StandinCall::Kind::Init));
        const auto lines = result.JournalFrom("TallyService::Init");
        EXPECT_EQ(test.logLine ? static_cast<size_t>(kEnableRounds) : 0u, lines.size())
            << result.journalText;
        for (const auto* line : lines) EXPECT_EQ(test.logLine, line->message);
        EXPECT_TRUE(result.Events().empty());
        EXPECT_EQ(0u, result.CountCalls(StandinCall::Kind::Submit));
        EXPECT_EQ(std::to_string(2 * kEnableRounds + 1), result.Note("queued"));
        ExpectNoExceptionLogged(result);
    }
}

// ---- The wall clock ----------------------------------------------------------

// Milliseconds since 1970 of a file time, wrapped as the fake clock takes it.
uint64_t WrappedUnixMs(uint64_t fileTime) {
    return (fileTime - FakeClock::kUnixEpochFileTime) / FakeClock::kTicksPerMs;
}

// Where the clock stands: system time as the fake clock is set (milliseconds
// since 1970, wrapping below it), the local date (year 0 makes the conversion
// fail), the timers' local wall clock in file-time units, and the records one
// round queues (heartbeat, failed and successful connection, device report,
// sync-app usage).
struct ClockPosition {
    const char* what;
    uint64_t unixMs;
    uint16_t year, month, day;
    int64_t localFileTime;
    std::vector<std::string> expected;
};

// The path of the clock: a normal day, then file time 0 (1601), the day
// before 1970, the last day a system time can hold, the end of file time
// (where the local date cannot be had), and back to normal days. Each jump
// is over twelve hours away from the one before, so every throttle opens;
// the date changes with every step but the last two, which show the rules
// holding again once the clock is back.
std::vector<ClockPosition> ClockPath() {
    constexpr uint64_t kNow = 1750000000000ULL;  // 2025-06-15
    constexpr uint64_t kDayMs = 86400000ULL;
    const uint64_t lastSystemTime = 0x7FFF35F4F06C7FFFULL;  // 30827-12-31 23:59:59.999
    const int64_t localNow = 133945000000000000LL;
    const std::vector<std::string> all = {kHeartBeat, kConnect, kConnect, kDevice, kDevice};
    const std::vector<std::string> connections = {kHeartBeat, kConnect, kConnect};
    return {
        {"2025-06-15", kNow, 2025, 6, 15, localNow, all},
        {"1601-01-01", WrappedUnixMs(0), 1601, 1, 1, 1, all},
        {"1969-12-31", 0 - kDayMs, 1969, 12, 31, 0, all},
        {"30827-12-31", WrappedUnixMs(lastSystemTime), 30827, 12, 31,
         static_cast<int64_t>(lastSystemTime), all},
        {"end of file time", WrappedUnixMs(std::numeric_limits<uint64_t>::max() - 10000), 0, 0, 0,
         std::numeric_limits<int64_t>::max(), connections},
        {"2025-06-16", kNow + kDayMs, 2025, 6, 16, localNow + 864000000000LL, all},
        {"an hour later", kNow + kDayMs + 3600000, 2025, 6, 16, localNow, {kConnect}},
        {"twelve hours later", kNow + kDayMs + 43200000, 2025, 6, 16, localNow, connections},
    };
}

TALLY_SCENARIO(ClockFarOff) {
    FakeClock& clock = OpenQueue();
    TallyService* service = TallyService::GetInstance();
    for (const ClockPosition& position : ClockPath()) {
        SCOPED_TRACE(position.what);
        clock.SetUnixMs(position.unixMs);
        clock.SetLocalDate(position.year, position.month, position.day, position.year != 0);
        clock.SetLocalFileTime(position.localFileTime);
        service->ReportHeartBeat(false, false);
        service->ReportP2P(false, false);
        // A timer measured from one position to the next: its durations are
        // negative, zero or enormous, and every connection event carries them.
        service->TimeCount("across_the_jump", false, true);
        service->ReportP2P(true, false);
        service->EnableImprovement(true);
        EXPECT_TRUE(service->ReportSyncAppUsing());
        std::vector<std::string> names;
        for (const ReportData& record : Peer::DrainQueue()) {
            names.push_back(record.eventName);
            EXPECT_EQ("", RecordFault(record));
        }
        EXPECT_EQ(position.expected, names);
        // The stamps written are the instants read back.
        if (position.expected.size() >= 3) {
            const uint64_t stamp = tally::FileTimeToUnixMs(clock.SystemFileTime());
            EXPECT_EQ(stamp, Peer::GetLastReportTime(L"hb_report_time"));
            EXPECT_EQ(stamp, Peer::GetLastReportTime(L"connect_report_time"));
        }
    }
}

TEST(ClockFaults, ThrottlesAndDailyRulesNeverLockUpWhereverTheClockGoes) {
    const ScenarioResult result = RunScenario("ClockFarOff");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    ExpectNoFailureLogged(result);
}

// ---- Unloading and loading again ---------------------------------------------

// Runs the probe in `mode`; it must end well and log no exception.
ScenarioResult RunProbe(const std::string& mode) {
    ScenarioOptions options;
    options.program = TALLY_TEST_RELOAD_PROBE;
    options.arguments = {
        mode, (CurrentExecutablePath().parent_path() / TALLY_TEST_SERVICE_LIBRARY).u8string()};
    // The analytics library holds the worker for up to a minute in the exit
    // cases: a process that waited for it would be killed here.
    options.timeout = std::chrono::seconds(30);
    const ScenarioResult result = RunScenario(mode, options);
    EXPECT_TRUE(result.Succeeded()) << result.Describe();
    ExpectNoExceptionLogged(result);
    return result;
}

TEST(Reload, IdleServiceUnloadsAndLoadsAgainAfresh) {
    const ScenarioResult result = RunProbe("reload-idle");
    EXPECT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
    if (result.Note("loaded_after_unload") == "0") {
        // Unloaded whole: the report made before opting in went with the
        // service that held it.
        EXPECT_EQ((std::vector<std::string>{kDevice, kConnect}), result.EventNames());
    } else {
        // The system kept the library (its own reasons, such as unique
        // symbols on Linux): the same service, with its buffered report.
        EXPECT_EQ((std::vector<std::string>{kConnect, kDevice, kConnect}), result.EventNames());
    }
}

TEST(Reload, RunningServiceStaysLoadedAndWorksOnAfterLoadingAgain) {
    const ScenarioResult result = RunProbe("reload-running");
    EXPECT_EQ("1", result.Note("loaded_after_unload")) << "unmapped beneath its threads";
    EXPECT_EQ("1", result.Note("same_instance"));
    // Initialised once, the day's device event once, and every connection
    // event through the one worker, in order.
    EXPECT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
    EXPECT_EQ((std::vector<std::string>{kDevice, kConnect, kConnect, kConnect, kConnect, kConnect}),
              result.EventNames());
    for (const StandinCall* event : result.Events()) {
        EXPECT_EQ(result.Events()[0]->thread, event->thread);
    }
}

TEST(Reload, ProcessEndsWhileTheWorkerIsInsideTheLibrary) {
    for (const std::string mode : {"exit-inside", "unload-inside"}) {
        SCOPED_TRACE(mode);
        const ScenarioResult result = RunProbe(mode);
        EXPECT_EQ("1", result.Note("inside"));
        if (mode == "unload-inside") {
            EXPECT_EQ("1", result.Note("loaded_after_unload"));
        }
        // The device event, then the connection event the worker was holding.
        EXPECT_EQ((std::vector<std::string>{kDevice, kConnect}), result.EventNames());
    }
}

}  // namespace
}  // namespace testing
}  // namespace tally
