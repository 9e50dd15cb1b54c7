// Named timers on local wall-clock time and the grading of durations, and
// the gates of the two connection reports: the connection-timing flag, the
// suspend mark and the twelve-hour throttles kept in the ledger.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <string>

#include "support/service_scenario.h"

// A host in which the n-th allocation from now on one thread fails, as under
// memory pressure. The service's objects are compiled into this program, so
// their allocations come here too; under Wine those that the C++ runtime's
// own code makes (inside the standard strings' members) do not.
namespace {
thread_local int t_allocationsBeforeFailure = 0;  // 0: none fails
}  // namespace

// Every form is replaced, so that no block crosses between these and the
// sanitizers' own.
void* operator new(std::size_t size) {
    if (t_allocationsBeforeFailure > 0 && --t_allocationsBeforeFailure == 0) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
// GCC sees the free of a block from operator new, not knowing that this
// operator new is malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;

TALLY_SCENARIO(TimerLifecycle) {
    auto& clock = OpenQueue(false);
    TallyService* service = TallyService::GetInstance();

    // Never started: a read answers 0, creates the start entry only.
    EXPECT_EQ(0, service->TimeCount("copy", false, false));
    EXPECT_EQ(1u, Peer::TimerStarts().count("copy"));
    EXPECT_EQ(0, Peer::TimerStarts().at("copy"));
    EXPECT_TRUE(Peer::TimerDurations().empty());
    // A restart of a timer never started starts it and still answers 0.
    EXPECT_EQ(0, service->TimeCount("copy", false, true));
    EXPECT_TRUE(Peer::TimerDurations().empty());
    clock.AdvanceLocalSeconds(2.9);
    EXPECT_EQ(2, service->TimeCount("copy", false, false)) << "truncated to whole seconds";

    // Two reads without restart measure from the same start; a read with
    // restart measures from the old start, the next read from the restart.
    clock.AdvanceLocalSeconds(4);
    EXPECT_EQ(6, service->TimeCount("copy", false, false));
    EXPECT_EQ(6, service->TimeCount("copy", false, true));
    clock.AdvanceLocalSeconds(3);
    EXPECT_EQ(3, service->TimeCount("copy", false, false));
    EXPECT_EQ(3, Peer::TimerDurations().at("copy"));

    // A start answers 0 even while running, keeps the last duration, and
    // ignores `restart`.
    EXPECT_EQ(0, service->TimeCount("copy", true, true));
    EXPECT_EQ(3, Peer::TimerDurations().at("copy"));
    clock.AdvanceLocalSeconds(1);
    EXPECT_EQ(1, service->TimeCount("copy", false, false));

    // The local clock set back gives a negative duration, kept as such.
    clock.AdvanceLocalSeconds(-30);
    EXPECT_EQ(-29, service->TimeCount("copy", false, false));
    EXPECT_EQ(-29, Peer::TimerDurations().at("copy"));
    EXPECT_EQ("1", Peer::GetDurationLevel(-29));

    // Names are exact: the empty name and names differing in case or length
    // are timers of their own.
    service->TimeCount("", true, false);
    clock.AdvanceLocalSeconds(5);
    EXPECT_EQ(5, service->TimeCount("", false, false));
    EXPECT_EQ(0, service->TimeCount("Copy", false, false));
    EXPECT_EQ(0, service->TimeCount("copy ", false, false));

    // Only the connection timer holds heartbeats back.
    service->TimeCount("Device_connect_duration", true, false);
    service->TimeCount("device_connect_duration ", false, false);
    service->TimeCount("device_connect_duratio", false, true);
    EXPECT_FALSE(Peer::DeviceConnectTimed()) << "only the exact name raises the flag";
    // Every kind of call with the exact name raises it: start, read, restart.
    for (int kind = 0; kind < 3; ++kind) {
        Peer::SetDeviceConnectTimed(false);
        service->TimeCount("device_connect_duration", kind == 0, kind == 2);
        EXPECT_TRUE(Peer::DeviceConnectTimed()) << "call kind " << kind;
    }
}

TALLY_SCENARIO(PeerToPeerCarriesTimers) {
    auto& clock = OpenQueue();
    TallyService* service = TallyService::GetInstance();
    // Never started: duration 0, level "1".
    service->ReportP2P(true, false);
    auto events = TakeQueued();
    ASSERT_EQ(1u, events.size());
    EXPECT_NE(std::string::npos, events[0].data.find("\"device_connect_duration\":0,"));
    EXPECT_NE(std::string::npos, events[0].data.find("\"duration_level\":\"1\""));

    // A timer measured once is carried in this event and every later one,
    // with its last value.
    service->TimeCount("sync_scan", true, false);
    clock.AdvanceLocalSeconds(7);
    service->TimeCount("sync_scan", false, false);
    service->TimeCount("device_connect_duration", true, false);
    clock.AdvanceLocalSeconds(5);
    for (int i = 0; i < 2; ++i) {
        service->ReportP2P(true, false);
        events = TakeQueued();
        ASSERT_EQ(1u, events.size());
        EXPECT_NE(std::string::npos, events[0].data.find("\"sync_scan\":7")) << i;
        EXPECT_NE(std::string::npos, events[0].data.find("\"duration_level\":\"2\"")) << i;
        EXPECT_NE(std::string::npos, events[0].data.find("\"device_connect_duration\":5,")) << i;
    }
    EXPECT_FALSE(Peer::DeviceConnectTimed()) << "routing clears the flag the read raised";
}

TEST(ConnectionReports, TimersMeasureWholeSecondsAndEveryConnectionEventCarriesThem) {
    ExpectScenariosSucceed({"TimerLifecycle", "PeerToPeerCarriesTimers"});
}

TEST(ConnectionReports, DurationLevelsSwitchAtTheBandEdges) {
    const std::map<int64_t, std::string> levels = {
        {INT64_MIN, "1"}, {-1, "1"}, {0, "1"},  {2, "1"},  {3, "2"},  {5, "2"},
        {6, "3"},         {10, "3"}, {11, "4"}, {20, "4"}, {21, "5"}, {INT64_MAX, "5"}};
    for (const auto& level : levels) {
        EXPECT_EQ(level.second, Peer::GetDurationLevel(level.first)) << level.first;
    }
}

constexpr uint64_t kTwelveHoursMs = 43200000;
const wchar_t kHeartBeatKey[] = L"hb_report_time";
const wchar_t kConnectKey[] = L"connect_report_time";

// A report kept to one event in twelve hours by the stamp under `key`, made by
// `report(first)`: the first report ever makes an event whose payload holds
// `firstHolds` and stores the instant; one millisecond short of twelve hours
// later nothing happens, and the stamp stays; exactly twelve hours later it is
// made again; a stamp in the future (clock set back) never blocks. Leaves the
// clock twelve hours on.
void ExpectTwelveHourThrottle(FakeClock& clock, const wchar_t* key, const std::string& firstHolds,
                              const std::function<void(bool first)>& report) {
    const uint64_t start = clock.UnixMs();
    for (const uint64_t after : {uint64_t{0}, kTwelveHoursMs - 1, kTwelveHoursMs}) {
        clock.SetUnixMs(start + after);
        report(after == 0);
        const auto events = TakeQueued();
        ASSERT_EQ(after == kTwelveHoursMs - 1 ? 0u : 1u, events.size()) << after;
        if (after == 0) {
            EXPECT_NE(std::string::npos, events[0].data.find(firstHolds));
        }
        EXPECT_EQ(start + (after == kTwelveHoursMs ? after : 0), Peer::GetLastReportTime(key));
    }
    Peer::SetLastReportTime(key, start + 10 * kTwelveHoursMs);
    report(false);
    EXPECT_EQ(1u, TakeQueued().size()) << "a stamp in the future";
    EXPECT_EQ(start + kTwelveHoursMs, Peer::GetLastReportTime(key));
}

TALLY_SCENARIO(ConnectionReportGates) {
    auto& clock = OpenQueue();
    TallyService* service = TallyService::GetInstance();
    const uint64_t start = clock.UnixMs();

    // While a connection is being timed no heartbeat happens, not even a
    // ledger read; then failures and successes alike are throttled.
    service->TimeCount("device_connect_duration", true, false);
    service->ReportHeartBeat(true, true);
    EXPECT_EQ(0u, TakeQueued().size());
    EXPECT_EQ(0u, Peer::GetLastReportTime(kHeartBeatKey));
    Peer::SetDeviceConnectTimed(false);
    ExpectTwelveHourThrottle(clock, kHeartBeatKey, "\"connect_mode\":\"KCP_FAIL\"",
                             [service](bool first) { service->ReportHeartBeat(!first, true); });

    // Remote connections: successes are always reported and never touch the
    // ledger; failures are throttled.
    service->ReportP2P(true, false);
    service->ReportP2P(true, true);
    EXPECT_EQ(2u, TakeQueued().size());
    EXPECT_EQ(0u, Peer::GetLastReportTime(kConnectKey));
    ExpectTwelveHourThrottle(clock, kConnectKey, "\"is_success\":\"false\"",
                             [service](bool) { service->ReportP2P(false, false); });

    // While suspended: a success goes through and keeps the mark; the next
    // failure is dropped without touching the ledger and clears the mark.
    const uint64_t later = start + 5 * kTwelveHoursMs;
    clock.SetUnixMs(later);
    service->SetSystemSuspend(true);
    service->ReportP2P(true, false);
    EXPECT_EQ(1u, TakeQueued().size());
    EXPECT_TRUE(Peer::SystemSuspend());
    service->ReportP2P(false, false);
    EXPECT_EQ(0u, TakeQueued().size());
    EXPECT_FALSE(Peer::SystemSuspend());
    EXPECT_EQ(start + 2 * kTwelveHoursMs, Peer::GetLastReportTime(kConnectKey));
    // The failure after that is judged by the throttle alone.
    service->ReportP2P(false, true);
    EXPECT_EQ(1u, TakeQueued().size());

    // Disabled after initialisation: routing drops a heartbeat, yet its stamp
    // already counts for the next twelve hours.
    Peer::SetImprovementEnabled(false);
    service->ReportHeartBeat(true, true);
    EXPECT_EQ(0u, TakeQueued().size());
    EXPECT_EQ(later, Peer::GetLastReportTime(kHeartBeatKey));
}

TEST(ConnectionReports, ThrottledForTwelveHoursHeldWhileTimedAndDroppedOnceAfterSuspend) {
    ExpectScenariosSucceed({"ConnectionReportGates"});
}

// Whichever allocation of a throttled report fails, the failure reaches the
// caller, and once the stamp is cleared the next report of that kind is
// made: nothing stays claimed. Each allocation of the report fails in turn.
TALLY_SCENARIO(ThrottleAfterFailedAllocation) {
    OpenQueue();
    TallyService* service = TallyService::GetInstance();
    const struct {
        const char* event;
        const wchar_t* key;
        std::function<void()> report;
    } kinds[] = {
        {"storage_heartbeat_fail_reconnect", L"hb_report_time",
         [service] { service->ReportHeartBeat(false, true); }},
        {"device_remote_connect", L"connect_report_time",
         [service] { service->ReportP2P(false, true); }},
    };
    for (const auto& kind : kinds) {
        int failures = 0;
        for (int n = 1; n < 1000; ++n) {
            Peer::SetLastReportTime(kind.key, 0);
            t_allocationsBeforeFailure = n;
            bool threw = false;
            try {
                kind.report();
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            const bool reached = t_allocationsBeforeFailure == 0;
            t_allocationsBeforeFailure = 0;
            if (!reached) break;  // the report makes fewer allocations
            TakeQueued();
            if (!threw) continue;  // caught inside, as routing does
            ++failures;
            Peer::SetLastReportTime(kind.key, 0);
            // A failure after the connection timer was read leaves its flag up
            // until the next report reaches routing, as designed.
            Peer::SetDeviceConnectTimed(false);
            kind.report();
            const auto events = TakeQueued();
            ASSERT_EQ(1u, events.size()) << kind.event << " after allocation " << n << " failed";
            EXPECT_EQ(kind.event, events[0].name);
        }
        EXPECT_GT(failures, 0) << kind.event;
    }
}

TEST(ConnectionReports, FailedAllocationLeavesTheThrottlesAsTheyWere) {
    ExpectScenariosSucceed({"ThrottleAfterFailedAllocation"});
}

}  // namespace
}  // namespace testing
}  // namespace tally
