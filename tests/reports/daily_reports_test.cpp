// The once-a-day device reports: from the host's sync-app notice, from
// enabling, and from the daily loop, end to end through the analytics library.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ambit_standin.h"
#include "reports/report_fixture.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace {

using tally::testing::InstallProcessFakeClock;
using tally::testing::OpenQueue;
using tally::testing::QueueRecord;
using tally::testing::RunScenario;
using tally::testing::StandinCall;
using tally::testing::TakeQueued;
using tally::testing::WaitForStandinEvents;
using tally::testing::WaitUntil;
using Peer = TallyServiceTestPeer;

constexpr auto kDeliveryTimeout = std::chrono::seconds(20);
constexpr uint64_t kMinutesPerDay = 24 * 60;

TALLY_SCENARIO(SyncAppUsage) {
    auto& clock = OpenQueue(false);
    TallyService* service = TallyService::GetInstance();
    // Not initialised: refused, nothing built, the ledger untouched.
    EXPECT_FALSE(service->ReportSyncAppUsing());
    Peer::SetInitialized(true);
    Peer::SetImprovementEnabled(false);
    EXPECT_FALSE(service->ReportSyncAppUsing());
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"sync_app_report"));
    EXPECT_EQ(0u, Peer::QueueSize());

    // First of the day, no ledger yet: the desktop client's event, then ours.
    Peer::SetImprovementEnabled(true);
    EXPECT_TRUE(service->ReportSyncAppUsing());
    auto events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("user_device_info", events[0].name);
    EXPECT_NE(std::string::npos, events[0].data.find("\"device_type\":7"));
    EXPECT_EQ("user_device_info", events[1].name);
    EXPECT_NE(std::string::npos, events[1].data.find("\"device_type\":4"));
    // Again the same day: nothing to do, answered true.
    EXPECT_TRUE(service->ReportSyncAppUsing());
    EXPECT_TRUE(TakeQueued().empty());
    // The next local day: ours again, the device event already made by
    // then through ReportDevice.
    clock.SetLocalDate(2025, 6, 16);
    Peer::ReportDevice();
    Peer::ReportDevice();
    EXPECT_TRUE(service->ReportSyncAppUsing());
    events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_NE(std::string::npos, events[0].data.find("\"device_type\":7"));
    EXPECT_NE(std::string::npos, events[1].data.find("\"device_type\":4"));
    // Without a date there is nothing to do.
    clock.SetLocalDate(0, 0, 0, false);
    EXPECT_TRUE(service->ReportSyncAppUsing());
    EXPECT_TRUE(TakeQueued().empty());
}

TEST(DailyReports, SyncAppUsageIsReportedOnceADayAfterTheDeviceEvent) {
    const auto result = RunScenario("SyncAppUsage");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_NE(std::string::npos, result.ledger.find("[main]"));
    EXPECT_NE(std::string::npos, result.ledger.find("device_report=20250616"));
    EXPECT_NE(std::string::npos, result.ledger.find("sync_app_report=20250616"));
}

// Waits until the daily loop has slept `count` minutes in all.
void SleepMinutes(tally::testing::FakeClock& clock, uint64_t count) {
    const uint64_t target = clock.Sleeps() + count;
    clock.AllowSleeps(count);
    ASSERT_TRUE(clock.WaitForSleeps(target));
}

TALLY_SCENARIO(DailyLoop) {
    auto& clock = InstallProcessFakeClock();
    TallyService* service = TallyService::GetInstance();
    service->EnableImprovement(true);
    ASSERT_TRUE(Peer::Initialized());
    ASSERT_TRUE(WaitForStandinEvents(1, kDeliveryTimeout)) << "the device event of enabling";

    // A day later by the tick counter, on a new local date: the loop's first
    // report comes at the first wake-up at least 24 hours after it started.
    clock.SetLocalDate(2025, 6, 16);
    SleepMinutes(clock, kMinutesPerDay - 1);
    QueueRecord("before_the_day_is_full");
    ASSERT_TRUE(WaitForStandinEvents(2, kDeliveryTimeout));
    SleepMinutes(clock, 1);
    ASSERT_TRUE(WaitForStandinEvents(3, kDeliveryTimeout));

    // Disabled for more than a day, the stamp stays; re-enabling reports
    // (and so does the loop a minute later, finding the day already done).
    service->EnableImprovement(false);
    clock.SetLocalDate(2025, 6, 18);
    SleepMinutes(clock, 2 * kMinutesPerDay);
    service->EnableImprovement(true);
    SleepMinutes(clock, 1);
    QueueRecord("after_the_loop_woke");
    ASSERT_TRUE(WaitForStandinEvents(5, kDeliveryTimeout));
}

TEST(DailyReports, DailyLoopReportsOnceADayByTheTickCounter) {
    const auto result = RunScenario("DailyLoop");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ(
        (std::vector<std::string>{"user_device_info", "before_the_day_is_full", "user_device_info",
                                  "user_device_info", "after_the_loop_woke"}),
        result.EventNames());
    EXPECT_NE(std::string::npos, result.ledger.find("device_report=20250618"));
}

// A host whose parameter library takes one of the host's own locks to name
// the user, and a host thread that reports a failed heartbeat while it holds
// that lock, as the day's device report runs on another thread and waits for
// the lock inside the parameter library.
std::mutex g_hostLock;
std::atomic<int> g_userIdCalls{0};

TALLY_SCENARIO(HostLockDuringDeviceReport) {
    OpenQueue(true);
    AmbitStandinSetUserIdHook([] {
        ++g_userIdCalls;
        std::lock_guard<std::mutex> hostLibrary(g_hostLock);
    });
    std::atomic<bool> hostHoldsLock{false};
    std::atomic<bool> deviceDone{false};
    std::atomic<bool> heartBeatDone{false};
    std::thread([&] {
        std::lock_guard<std::mutex> hostCode(g_hostLock);
        hostHoldsLock = true;
        // Reports once the device report waits inside the parameter library.
        if (WaitUntil([] { return g_userIdCalls.load() > 0; })) {
            TallyService::GetInstance()->ReportHeartBeat(false, true);
        }
        heartBeatDone = true;
    }).detach();
    ASSERT_TRUE(WaitUntil([&] { return hostHoldsLock.load(); }));
    std::thread([&] {
        Peer::ReportDevice();
        deviceDone = true;
    }).detach();
    // Threads stuck inside the service cannot be joined or unwound: end the
    // process with a failure instead of hanging the run.
    if (!WaitUntil([&] { return deviceDone && heartBeatDone; }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "deadlock: device report %s, heartbeat %s\n",
                     deviceDone ? "returned" : "stuck", heartBeatDone ? "returned" : "stuck");
        std::fflush(stderr);
        std::_Exit(3);
    }
    ASSERT_GT(g_userIdCalls.load(), 0);
    const auto events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("storage_heartbeat_fail_reconnect", events[0].name);
    EXPECT_EQ("user_device_info", events[1].name);
}

TEST(DailyReports, HostLockTakenInsideTheHostsLibrariesNeverDeadlocks) {
    const auto result = RunScenario("HostLockDuringDeviceReport");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

// Runs `body(i)` on `count` threads released at the same moment.
void AllAtOnce(int count, const std::function<void(int)>& body) {
    std::mutex mutex;
    std::condition_variable start;
    bool go = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                start.wait(lock, [&] { return go; });
            }
            body(i);
        });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        go = true;
    }
    start.notify_all();
    for (auto& thread : threads) thread.join();
}

// Host threads that make the same ledger-gated report at the same moment: a
// new day's device events, then failed connections past their throttles.
TALLY_SCENARIO(GatedReportsFromManyThreads) {
    auto& clock = InstallProcessFakeClock();
    TallyService* service = TallyService::GetInstance();
    service->EnableImprovement(true);
    ASSERT_TRUE(WaitForStandinEvents(1, kDeliveryTimeout)) << "the device event of enabling";

    clock.SetLocalDate(2025, 6, 16);
    AllAtOnce(8, [service](int i) {
        if (i % 2 == 0) {
            service->EnableImprovement(true);
        } else {
            EXPECT_TRUE(service->ReportSyncAppUsing());
        }
    });
    AllAtOnce(8, [service](int i) {
        if (i % 2 == 0) {
            service->ReportHeartBeat(false, false);
        } else {
            service->ReportP2P(false, false);
        }
    });
    // Everything the threads queued is ahead of this record.
    QueueRecord("after_the_threads");
    ASSERT_TRUE(WaitForStandinEvents(6, kDeliveryTimeout));
}

TEST(DailyReports, HostThreadsAtOnceMakeEachGatedEventOnce) {
    const auto result = RunScenario("GatedReportsFromManyThreads");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    // Each event as its name, with the device type for device events.
    const std::string typeKey = "\"device_type\":";
    std::vector<std::string> events;
    for (const StandinCall* call : result.Events()) {
        const std::string data = call->EventData();
        const auto at = data.find(typeKey);
        events.push_back(call->EventName() + (at == std::string::npos
                                                  ? ""
                                                  : " " + data.substr(at + typeKey.size(), 1)));
    }
    ASSERT_EQ(6u, events.size()) << ::testing::PrintToString(events);
    // Enabling on the first day; the new day's desktop-client event before the
    // sync app's; the two connection reports in either order; the marker.
    EXPECT_EQ((std::vector<std::string>{"user_device_info 7", "user_device_info 7",
                                        "user_device_info 4"}),
              std::vector<std::string>(events.begin(), events.begin() + 3));
    std::sort(events.begin() + 3, events.begin() + 5);
    EXPECT_EQ((std::vector<std::string>{"device_remote_connect", "storage_heartbeat_fail_reconnect",
                                        "after_the_threads"}),
              std::vector<std::string>(events.begin() + 3, events.end()));
    EXPECT_NE(std::string::npos, result.ledger.find("device_report=20250616"));
    EXPECT_NE(std::string::npos, result.ledger.find("sync_app_report=20250616"));
}

}  // namespace
