// The service under load from the host's threads, and with an analytics
// library that does not return. Whatever the host does, its calls come back,
// no record arrives torn, every worker keeps its submit rhythm, and nothing
// made while the user has opted out reaches the library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/service_scenario.h"

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;
using Clock = std::chrono::steady_clock;

constexpr int kHostThreads = 8;
constexpr int kDefaultStressSeconds = 3;
constexpr int kMaxDirectStarts = 4;
// Producers wait while more records than this are queued, so that a run
// measures contention and not how much memory a backlog can take.
constexpr size_t kMaxBacklog = 256;
constexpr uint64_t kTwelveHoursMs = 43200000;
constexpr auto kDeliveryTimeout = std::chrono::seconds(30);
// The process leaves at once when the watchdog finds host threads stuck.
constexpr int kWatchdogExitCode = 70;

// The test's own records.
const char kWhileDisabled[] = "made_while_disabled";
const char kSentinel[] = "sentinel";
const char kHeld[] = "held";
// Timers: one every thread uses, the connection timer, and one per thread.
const char kSharedTimer[] = "shared_timer";
const char kConnectTimer[] = "device_connect_duration";

int StressSeconds() {
    const int seconds = std::atoi(ReadEnvironment("TALLY_STRESS_SECONDS").c_str());
    return seconds > 0 ? seconds : kDefaultStressSeconds;
}

// Device ids are "dev:T:NNNNNN:T" for host thread T. Masking replaces the
// first four bytes; the rest shows that an id arrived whole, not spliced
// from two that were set at the same time.
std::string DeviceId(int thread, unsigned serial) {
    char text[48];
    std::snprintf(text, sizeof(text), "dev:%d:%06u:%d", thread, serial % 1000000, thread);
    return text;
}

bool IsMaskedDeviceId(const std::string& masked) {
    if (masked == "****") return true;  // no id set yet, or the empty one
    int thread = -1;
    unsigned serial = 0;
    if (masked.size() < 4 || masked.compare(0, 4, "****") != 0 ||
        std::sscanf(masked.c_str() + 4, "%d:%u:", &thread, &serial) != 2) {
        return false;
    }
    return "****" + DeviceId(thread, serial).substr(4) == masked;
}

// Leaves the process at once, with a note for the parent: a stuck thread may
// hold a lock that unwinding or a destructor would wait for.
[[noreturn]] void LeaveStuck(const std::string& what) {
    WriteNote("watchdog", what);
    std::fprintf(stderr, "watchdog: %s\n", what.c_str());
    std::fflush(nullptr);
    std::_Exit(kWatchdogExitCode);
}

// What the host threads of one run share.
struct StressRun {
    StressRun(FakeClock& runClock, Clock::time_point runEnd) : clock(runClock), end(runEnd) {}

    // Calls every public operation at random until the run's end.
    void HostThread(int index) {
        std::mt19937 random(static_cast<unsigned>(index) * 7919u + 17u);
        const std::string ownTimer = "timer_of_thread_" + std::to_string(index);
        unsigned serial = 0;
        while (Clock::now() < end) {
            const auto flip = [&random] { return random() % 2 == 0; };
            const unsigned pick = random() % 100;
            if (pick < 4) {
                Enable();
            } else if (pick < 7) {
                DisabledWindow(index, flip());
            } else if (pick < 15) {
                service->SetDeviceUniqueId(random() % 8 ? DeviceId(index, serial++) : "");
            } else if (pick < 20) {
                service->SetSystemSuspend(flip());
            } else if (pick < 25) {
                service->SetSyncAppUsing(flip());
            } else if (pick < 31) {
                service->TimeCount(kSharedTimer, random() % 4 == 0, flip());
            } else if (pick < 37) {
                service->TimeCount(ownTimer, random() % 4 == 0, flip());
            } else if (pick < 40) {
                service->TimeCount(kConnectTimer, random() % 4 == 0, flip());
            } else if (pick < 52) {
                WaitForBacklog();
                service->ReportHeartBeat(flip(), flip());
            } else if (pick < 82) {
                WaitForBacklog();
                service->ReportP2P(flip(), flip());
            } else if (pick < 92) {
                WaitForBacklog();
                service->ReportSyncAppUsing();
            } else if (pick < 94) {
                if (startBudget.fetch_sub(1) > 0) {
                    service->StartReportThread();
                    directStarts.fetch_add(1);
                }
            } else {
                MoveClock(random() % 30);
            }
            operations.fetch_add(1);
        }
        finished.fetch_add(1);
    }

    // Every EnableImprovement call of the run is made under the toggle lock,
    // so that no enabling falls into another thread's disabled window.
    void Enable() {
        std::lock_guard<std::mutex> lock(toggleMutex);
        service->EnableImprovement(true);
    }

    // Opts out, makes records and reports while opted out, and sometimes opts
    // in again before the window closes. Records made in the window are
    // marked; none of them may reach the library. (A record that a producer
    // had already let through before the opt-out may still arrive, and so may
    // one the worker had already taken: those are unmarked.)
    void DisabledWindow(int index, bool enableAgain) {
        std::lock_guard<std::mutex> lock(toggleMutex);
        service->EnableImprovement(false);
        disabledWindows.fetch_add(1);
        for (int i = 0; i < 2; ++i) {
            QueueRecord(kWhileDisabled, "{\"thread\":" + std::to_string(index) + "}");
        }
        service->ReportP2P(true, false);
        EXPECT_FALSE(service->ReportSyncAppUsing()) << "while disabled";
        if (enableAgain) service->EnableImprovement(true);
    }

    // Twelve hours and a day later, so that throttles open and daily reports
    // fall due again, and a few seconds on the timers' clock.
    void MoveClock(unsigned seconds) {
        std::lock_guard<std::mutex> lock(clockMutex);
        clock.SetUnixMs(clock.UnixMs() + kTwelveHoursMs);
        SetDay(clock, ++day);
        clock.AdvanceLocalSeconds(seconds);
    }

    void WaitForBacklog() {
        // Before the first initialisation no worker drains the queue, and
        // while opted out nothing is queued.
        if (!Peer::Initialized() || !Peer::ImprovementEnabled()) return;
        // Bounded: a backlog that does not drain is found by the checks
        // after the run.
        WaitUntil([] { return Peer::QueueSize() <= kMaxBacklog; }, std::chrono::seconds(10));
    }

    TallyService* const service = TallyService::GetInstance();
    FakeClock& clock;
    const Clock::time_point end;
    std::mutex toggleMutex;
    std::mutex clockMutex;
    unsigned day = 0;  // guarded by clockMutex
    std::atomic<int> startBudget{kMaxDirectStarts};
    std::atomic<int> directStarts{0};
    std::atomic<int> finished{0};
    std::atomic<uint64_t> operations{0};
    std::atomic<uint64_t> disabledWindows{0};
};

// Whether the stand-in has received an event named `name`.
bool Delivered(const std::string& name) {
    const auto calls = ReadOwnStandinCalls();
    for (const StandinCall* call : EventCalls(calls)) {
        if (call->EventName() == name) return true;
    }
    return false;
}

TALLY_SCENARIO(StressEveryOperation) {
    FakeClock& clock = InstallProcessFakeClock();
    const int seconds = std::stoi(ScenarioParam("seconds"));
    const Clock::time_point start = Clock::now();
    StressRun run(clock, start + std::chrono::seconds(seconds));
    std::vector<std::thread> threads;
    for (int i = 0; i < kHostThreads; ++i) {
        threads.emplace_back([&run, i] { run.HostThread(i); });
    }
    if (!WaitUntil([&] { return run.finished == kHostThreads; },
                   std::chrono::seconds(seconds + 60))) {
        LeaveStuck("host threads still inside the service a minute after the run");
    }
    for (std::thread& thread : threads) thread.join();

    // The workers still deliver: a record queued last gets through.
    run.Enable();
    QueueRecord(kSentinel);
    if (!WaitUntil([] { return Peer::QueueSize() == 0; }, kDeliveryTimeout) ||
        !WaitUntil([] { return Delivered(kSentinel); }, kDeliveryTimeout)) {
        LeaveStuck("the queue does not drain after the run");
    }
    WriteNote("operations", std::to_string(run.operations));
    WriteNote("direct_starts", std::to_string(run.directStarts));
    WriteNote("disabled_windows", std::to_string(run.disabledWindows));
}

// Why the consent calls of `calls` do not show a library that asks being told
// about opting out in order with the records, for a host that never enables
// and disables at the same moment; empty when they do. A first
// initialisation calls nothing; 1 comes only after 0; an event handed over
// after 0 is wiped by another 0 before the next 1 (the worker took it in an
// opt-in window that has already closed again); the run ends opted in.
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

// One stress run with each library; the consent calls of one that asks take
// their turns with the deliveries of every worker.
TEST(Stress, EightHostThreadsCallEveryOperationAtRandom) {
    const int seconds = StressSeconds();
    for (const AnalyticsLibrary library :
         {AnalyticsLibrary::Recording, AnalyticsLibrary::WithConsent}) {
        SCOPED_TRACE(library == AnalyticsLibrary::WithConsent ? "asking library" : "recording");
        ScenarioOptions options;
        options.library = library;
        options.params = {{"seconds", std::to_string(seconds)}};
        // Room for a slow (sanitised or emulated) run; the scenario's own
        // watchdog fires first.
        options.timeout = std::chrono::seconds(seconds + 240);
        const ScenarioResult result = RunScenario("StressEveryOperation", options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        ASSERT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));

        const uint64_t initThread = result.calls.at(0).thread;
        std::set<uint64_t> workers;
        std::map<std::string, size_t> byName;
        for (const StandinCall& call : result.calls) {
            // An opt-out is told on the host's thread too, so consent 0
            // comes from any thread; everything else only from a worker.
            const bool optOut = call.kind == StandinCall::Kind::Consent && call.consent == 0;
            if (call.kind != StandinCall::Kind::Init && !optOut) workers.insert(call.thread);
            if (call.kind != StandinCall::Kind::Event) continue;
            const std::string name = call.EventName();
            ++byName[name];
            ASSERT_NE(kWhileDisabled, name) << "a record made while disabled was delivered";
            ASSERT_EQ("", RecordFault(call.event, {kSentinel}));
            if (name == "user_device_info" || name == "storage_heartbeat_fail_reconnect") {
                Json::Value payload;
                std::string error;
                ASSERT_TRUE(ParseJsonObject(call.EventData(), &payload, &error));
                EXPECT_TRUE(IsMaskedDeviceId(payload["key_hdc_dev_unique_id"].asString()))
                    << call.EventData();
            }
        }
        EXPECT_EQ("", SubmitRhythmFault(result.calls));
        EXPECT_EQ("", ConsentOrderFault(result.calls));
        if (library == AnalyticsLibrary::WithConsent) {
            EXPECT_GT(result.CountCalls(StandinCall::Kind::Consent), 0u) << "no opt-out was told";
        }
        EXPECT_EQ(0u, workers.count(initThread)) << "the library was called on a host thread";
        const int directStarts = std::stoi(result.Note("direct_starts"));
        EXPECT_LE(workers.size(), static_cast<size_t>(1 + directStarts));
        EXPECT_EQ(1u, byName[kSentinel]);
        EXPECT_GT(byName["device_remote_connect"], 0u);
        EXPECT_GT(byName["user_device_info"], 0u);
        ExpectNoExceptionLogged(result);
        std::cout << seconds << " s: " << result.Note("operations") << " operations, "
                  << result.Events().size() << " deliveries, " << workers.size() << " workers, "
                  << result.Note("disabled_windows") << " disabled windows\n";
    }
}

// While the library holds the worker inside ReportOnEvent, host threads
// make reports of every kind; all of them return, the backlog waits, and
// once the library lets go it drains in the order it was made.
constexpr int kHoldingThreads = 4;
constexpr int kHoldingRounds = 25;

TALLY_SCENARIO(LibraryBlocksInsideReportOnEvent) {
    ASSERT_NO_FATAL_FAILURE(EnableQuietly());
    TallyService* service = TallyService::GetInstance();

    HoldDeliveries();
    QueueRecord(kHeld);
    ASSERT_TRUE(WaitForStandinEvents(1, kDeliveryTimeout)) << "the worker is not inside";

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kHoldingThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kHoldingRounds; ++r) {
                QueueRecord("t" + std::to_string(t) + "_" + std::to_string(r));
                service->ReportP2P(true, r % 2 == 0);
                service->ReportHeartBeat(false, false);
                service->ReportSyncAppUsing();
                service->TimeCount("timer_" + std::to_string(t), r == 0, false);
                service->SetDeviceUniqueId(DeviceId(t, static_cast<unsigned>(r)));
                service->SetSystemSuspend(false);
                service->SetSyncAppUsing(false);
                service->EnableImprovement(true);
                Peer::QueueSize();
            }
            finished.fetch_add(1);
        });
    }
    // The library's hold lasts up to a minute; the host's calls must all
    // have come back well before.
    if (!WaitUntil([&] { return finished == kHoldingThreads; }, std::chrono::seconds(30))) {
        LeaveStuck("host calls did not return while the library held the worker");
    }
    for (std::thread& thread : threads) thread.join();
    size_t seen = 0;
    WaitForStandinEvents(2, std::chrono::milliseconds(0), &seen);
    EXPECT_EQ(1u, seen) << "the held call returned before it was released";
    const size_t backlog = Peer::QueueSize();
    WriteNote("backlog", std::to_string(backlog));

    ReleaseDeliveries();
    QueueRecord(kSentinel);
    ASSERT_TRUE(WaitForStandinEvents(backlog + 2, kDeliveryTimeout));
}

TEST(Stress, HostCallsReturnWhileTheLibraryHoldsTheWorker) {
    ScenarioOptions options;
    options.timeout = std::chrono::seconds(120);
    const ScenarioResult result = RunScenario("LibraryBlocksInsideReportOnEvent", options);
    ASSERT_TRUE(result.Succeeded()) << result.Describe();

    // Each host thread's records arrive whole and in the order it made them,
    // behind the held one and ahead of the sentinel, all through one worker.
    const auto events = result.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(kHeld, events.front()->EventName());
    EXPECT_EQ(kSentinel, events.back()->EventName());
    EXPECT_EQ(std::to_string(events.size() - 2), result.Note("backlog"));
    std::set<std::string> ownNames = {kHeld, kSentinel};
    for (int t = 0; t < kHoldingThreads; ++t) {
        for (int r = 0; r < kHoldingRounds; ++r)
            ownNames.insert("t" + std::to_string(t) + "_" + std::to_string(r));
    }
    std::vector<int> next(kHoldingThreads, 0);
    size_t connectionEvents = 0;
    for (const StandinCall* event : events) {
        ASSERT_EQ("", RecordFault(event->event, ownNames));
        EXPECT_EQ(events.front()->thread, event->thread);
        const std::string name = event->EventName();
        connectionEvents += name == "device_remote_connect" ? 1 : 0;
        int thread = -1;
        int round = -1;
        if (std::sscanf(name.c_str(), "t%d_%d", &thread, &round) == 2) {
            ASSERT_TRUE(thread >= 0 && thread < kHoldingThreads) << name;
            EXPECT_EQ(next[thread], round) << name << " out of order";
            next[thread] = round + 1;
        }
    }
    for (int t = 0; t < kHoldingThreads; ++t) EXPECT_EQ(kHoldingRounds, next[t]) << "thread " << t;
    EXPECT_EQ(static_cast<size_t>(kHoldingThreads * kHoldingRounds), connectionEvents);
    EXPECT_EQ("", SubmitRhythmFault(result.calls));
}

}  // namespace
}  // namespace testing
}  // namespace tally
