// Routing (event names by source, the log lines, the once-a-day bookkeeping
// of the device events and the early buffering of connection events) and the
// once-a-day device reports: from the host's sync-app notice, from enabling,
// and from the daily loop, end to end through the analytics library.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ambit_standin.h"
#include "support/service_scenario.h"

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;

const char kColon[] = "\xA3\xBA";  // the full-width colon as the host's log holds it

TALLY_SCENARIO(RouteBySource) {
    OpenQueue();
    Peer::SetDeviceConnectTimed(true);
    EXPECT_FALSE(Peer::Report(ReportSource::HeartBeat, ""));
    EXPECT_TRUE(Peer::DeviceConnectTimed()) << "an empty payload leaves the flag alone";

    EXPECT_FALSE(Peer::Report(static_cast<ReportSource>(5), "{\"a\":1}"));
    EXPECT_FALSE(Peer::DeviceConnectTimed()) << "any non-empty payload clears it";
    EXPECT_FALSE(Peer::Report(static_cast<ReportSource>(-1), "{\"a\":1}"));
    EXPECT_TRUE(TakeQueued().empty());

    EXPECT_TRUE(Peer::Report(ReportSource::HeartBeat, "{\"hb\":1}"));
    EXPECT_TRUE(Peer::Report(ReportSource::P2P, "{\"p2p\":1}"));
    const auto events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("storage_heartbeat_fail_reconnect", events[0].name);
    EXPECT_EQ("{\"hb\":1}", events[0].data);
    EXPECT_EQ("device_remote_connect", events[1].name);
}

TEST(Routing, NamesEventsBySourceAndLogsEachHandlerCall) {
    const auto result = RunScenario("RouteBySource");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    const auto report = result.JournalFrom("TallyService::Report");
    // The trace after each handler call is informational (severity 2).
    const std::pair<std::string, int> expected[] = {
        {"report data is empty", 5},
        {std::string("5") + kColon + "have no event name", 5},
        {std::string("-1") + kColon + "have no event name", 5},
        {std::string("report source") + kColon + "2", 2},
        {std::string("report source") + kColon + "3", 2}};
    ASSERT_EQ(5u, report.size());
    for (size_t i = 0; i < report.size(); ++i) {
        EXPECT_EQ(expected[i].first, report[i]->message);
        EXPECT_TRUE(IsLogLine(report[i], 20, expected[i].second, "TallyService::Report"));
    }
}

TALLY_SCENARIO(DeviceAndConnectionEvents) {
    auto& clock = OpenQueue(false);
    // Before initialisation connection events wait in the queue, even with
    // improvement off.
    Peer::SetImprovementEnabled(false);
    EXPECT_TRUE(Peer::OnOtherReport("device_remote_connect", "{\"early\":1}"));
    EXPECT_EQ(1u, Peer::QueueSize());
    // After it, they are made only while improvement is on.
    Peer::SetInitialized(true);
    EXPECT_FALSE(Peer::OnOtherReport("device_remote_connect", "{\"late\":1}"));
    Peer::SetImprovementEnabled(true);
    EXPECT_TRUE(Peer::OnOtherReport("device_remote_connect", "{\"late\":2}"));
    auto events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("{\"early\":1}", events[0].data);
    EXPECT_EQ("{\"late\":2}", events[1].data);
    // The device-information handlers have no early path: records made
    // while improvement is off are dropped, but the ledger is still written.
    Peer::SetImprovementEnabled(false);
    EXPECT_TRUE(Peer::OnOrvelReport("user_device_info", "{\"off\":1}"));
    EXPECT_TRUE(TakeQueued().empty());
    EXPECT_EQ(Peer::GetCurrentDate(), Peer::GetLastReportTime(L"device_report"));

    // The desktop client's reports.
    Peer::SetImprovementEnabled(true);
    uint64_t today = Peer::GetCurrentDate();
    ASSERT_EQ(20250615u, today);

    // Without the sync-app notice: one record, the day's date written.
    EXPECT_TRUE(Peer::OnOrvelReport("user_device_info", "{\"n\":1}"));
    EXPECT_EQ(1u, TakeQueued().size());
    EXPECT_EQ(today, Peer::GetLastReportTime(L"device_report"));
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"sync_app_report"));

    // With it, on a day without a sync-app event: the caller's record, then
    // the sync-app device information; both dates; the notice consumed.
    TallyService::GetInstance()->SetSyncAppUsing(true);
    EXPECT_TRUE(Peer::OnOrvelReport("user_device_info", "{\"n\":2}"));
    events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("{\"n\":2}", events[0].data);
    EXPECT_EQ("user_device_info", events[1].name);
    EXPECT_NE(std::string::npos, events[1].data.find("\"device_type\":4"));
    EXPECT_EQ(today, Peer::GetLastReportTime(L"sync_app_report"));
    EXPECT_FALSE(Peer::SyncAppUsing());

    // Again the same day: the notice is consumed, no second sync-app event.
    TallyService::GetInstance()->SetSyncAppUsing(true);
    EXPECT_TRUE(Peer::OnOrvelReport("user_device_info", "{\"n\":3}"));
    EXPECT_EQ(1u, TakeQueued().size());
    EXPECT_FALSE(Peer::SyncAppUsing());

    // No date, no report.
    clock.SetLocalDate(0, 0, 0, false);
    EXPECT_EQ(0u, Peer::GetCurrentDate());
    EXPECT_FALSE(Peer::OnOrvelReport("user_device_info", "{\"n\":4}"));
    EXPECT_FALSE(Peer::OnSyncDiskReport("user_device_info", "{\"n\":5}"));
    EXPECT_TRUE(TakeQueued().empty());

    // A sync-disk report on a day without the desktop client's event: that
    // event first, then ours.
    clock.SetLocalDate(2025, 6, 16);
    today = Peer::GetCurrentDate();
    EXPECT_TRUE(Peer::OnSyncDiskReport("user_device_info", "{\"sync\":1}"));
    events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_NE(std::string::npos, events[0].data.find("\"device_type\":7"));
    EXPECT_EQ("{\"sync\":1}", events[1].data);
    EXPECT_EQ(today, Peer::GetLastReportTime(L"device_report"));
    EXPECT_EQ(today, Peer::GetLastReportTime(L"sync_app_report"));
    // The same day: only ours.
    EXPECT_TRUE(Peer::OnSyncDiskReport("user_device_info", "{\"sync\":2}"));
    events = TakeQueued();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("{\"sync\":2}", events[0].data);
}

TEST(Routing, DeviceEventsKeepTheirDatesAndConnectionEventsWaitOnlyBeforeInitialisation) {
    const auto result = RunScenario("DeviceAndConnectionEvents");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_NE(std::string::npos, result.ledger.find("device_report=20250616"));
    EXPECT_NE(std::string::npos, result.ledger.find("sync_app_report=20250616"));
}

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
void SleepMinutes(FakeClock& clock, uint64_t count) {
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
    OpenQueue();
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
    ExpectScenariosSucceed({"HostLockDuringDeviceReport"});
}

// A parameter library whose user-id member blocks the first caller until the
// test lets it go, and throws for a later caller while told to.
std::mutex g_gateMutex;
std::condition_variable g_gateChanged;
bool g_gateHeld = false;   // a caller waits inside the member
bool g_gateOpen = false;   // the waiting caller may go on
bool g_blockFirst = true;  // the next caller is the one that waits
std::atomic<bool> g_throwing{false};

void GatedUserId() {
    if (g_throwing) throw std::runtime_error("parameter library failed");
    std::unique_lock<std::mutex> lock(g_gateMutex);
    if (!g_blockFirst) return;
    g_blockFirst = false;
    g_gateHeld = true;
    g_gateChanged.notify_all();
    g_gateChanged.wait(lock, [] { return g_gateOpen; });
}

// Whether the journal holds a routing line of `source` by now.
bool RoutingLogged(int source) {
    const std::string message = std::string("report source") + kColon + std::to_string(source);
    for (const JournalLine& line : ReadJournal(std::getenv("JOURNAL_LOG_FILE"))) {
        if (line.function == "TallyService::Report" && line.message == message) return true;
    }
    return false;
}

// While the day's device report waits inside the host's parameter library on
// another thread, the host's own calls answer for their own work: the
// sync-app event is queued and logged before the call returns, an exception
// from building its payload comes out of that call, and a failure leaves
// nothing claimed.
TALLY_SCENARIO(CallsAnswerForTheirOwnWork) {
    OpenQueue();
    TallyService* service = TallyService::GetInstance();
    AmbitStandinSetUserIdHook(GatedUserId);
    std::thread device([] { Peer::ReportDevice(); });
    {
        std::unique_lock<std::mutex> lock(g_gateMutex);
        ASSERT_TRUE(
            g_gateChanged.wait_for(lock, std::chrono::seconds(10), [] { return g_gateHeld; }));
    }
    const auto release = [&device] {
        {
            std::lock_guard<std::mutex> lock(g_gateMutex);
            g_gateOpen = true;
        }
        g_gateChanged.notify_all();
        device.join();
    };

    g_throwing = true;
    EXPECT_THROW(service->ReportSyncAppUsing(), std::runtime_error);
    g_throwing = false;
    EXPECT_TRUE(TakeQueued().empty());
    EXPECT_FALSE(RoutingLogged(1));

    EXPECT_TRUE(service->ReportSyncAppUsing());
    auto events = TakeQueued();
    const bool madeInTheCall = events.size() == 1 && RoutingLogged(1);
    if (!madeInTheCall) release();
    ASSERT_TRUE(madeInTheCall) << events.size() << " events queued when the call returned";
    EXPECT_NE(std::string::npos, events[0].data.find("\"device_type\":4"));
    EXPECT_TRUE(service->ReportSyncAppUsing()) << "made today";
    EXPECT_TRUE(TakeQueued().empty());

    // The device report goes on once the host's library lets it.
    release();
    events = TakeQueued();
    ASSERT_EQ(1u, events.size());
    EXPECT_NE(std::string::npos, events[0].data.find("\"device_type\":7"));

    // A device report whose payload throws: the exception is its caller's,
    // and the next one is made.
    Peer::SetLastReportTime(L"device_report", 0);
    g_throwing = true;
    EXPECT_THROW(Peer::ReportDevice(), std::runtime_error);
    g_throwing = false;
    EXPECT_TRUE(TakeQueued().empty());
    Peer::ReportDevice();
    EXPECT_EQ(1u, TakeQueued().size());
}

TEST(DailyReports, CallsAnswerForTheirOwnWorkWhileAnotherWaitsInTheHost) {
    ExpectScenariosSucceed({"CallsAnswerForTheirOwnWork"});
}

// Runs `body(i)` on `count` threads released at the same moment.
void AllAtOnce(int count, const std::function<void(int)>& body) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            body(i);
        });
    }
    go = true;
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
    // Enabling on the first day; the new day's desktop-client and sync-app
    // events, each once, in either order (a sync-app report leaves the
    // device event to a device report under way on another thread); the two
    // connection reports in either order; the marker.
    std::sort(events.begin() + 1, events.begin() + 3);
    std::sort(events.begin() + 3, events.begin() + 5);
    EXPECT_EQ((std::vector<std::string>{"user_device_info 7", "user_device_info 4",
                                        "user_device_info 7", "device_remote_connect",
                                        "storage_heartbeat_fail_reconnect", "after_the_threads"}),
              events);
    EXPECT_NE(std::string::npos, result.ledger.find("device_report=20250616"));
    EXPECT_NE(std::string::npos, result.ledger.find("sync_app_report=20250616"));
}

}  // namespace
}  // namespace testing
}  // namespace tally
