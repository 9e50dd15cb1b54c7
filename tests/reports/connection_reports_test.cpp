// The gates of the two connection reports: the connection-timing flag, the
// suspend mark and the twelve-hour throttles kept in the ledger.
#include <gtest/gtest.h>

#include <string>

#include "reports/report_fixture.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace {

using tally::testing::OpenQueue;
using tally::testing::RunScenario;
using tally::testing::TakeQueued;
using Peer = TallyServiceTestPeer;

constexpr uint64_t kTwelveHoursMs = 43200000;
const wchar_t kHeartBeatKey[] = L"hb_report_time";
const wchar_t kConnectKey[] = L"connect_report_time";

size_t Queued() {
    return TakeQueued().size();
}

TALLY_SCENARIO(HeartBeatGates) {
    auto& clock = OpenQueue(true);
    TallyService* service = TallyService::GetInstance();
    const uint64_t start = clock.UnixMs();

    // While a connection is being timed nothing happens, not even a ledger read.
    service->TimeCount("device_connect_duration", true, false);
    service->ReportHeartBeat(true, true);
    EXPECT_EQ(0u, Queued());
    EXPECT_EQ(0u, Peer::GetLastReportTime(kHeartBeatKey));
    Peer::SetDeviceConnectTimed(false);

    // First report ever: an event, and the instant stored.
    service->ReportHeartBeat(false, true);
    const auto first = TakeQueued();
    ASSERT_EQ(1u, first.size());
    EXPECT_NE(std::string::npos, first[0].data.find("\"connect_mode\":\"KCP_FAIL\""));
    EXPECT_EQ(start, Peer::GetLastReportTime(kHeartBeatKey));

    // One millisecond short of twelve hours: nothing, stamp unchanged.
    clock.SetUnixMs(start + kTwelveHoursMs - 1);
    service->ReportHeartBeat(true, true);
    EXPECT_EQ(0u, Queued());
    EXPECT_EQ(start, Peer::GetLastReportTime(kHeartBeatKey));
    // Exactly twelve hours: reported again.
    clock.SetUnixMs(start + kTwelveHoursMs);
    service->ReportHeartBeat(true, true);
    EXPECT_EQ(1u, Queued());
    EXPECT_EQ(start + kTwelveHoursMs, Peer::GetLastReportTime(kHeartBeatKey));

    // A stamp in the future (clock set back) never blocks.
    Peer::SetLastReportTime(kHeartBeatKey, start + 10 * kTwelveHoursMs);
    service->ReportHeartBeat(true, false);
    EXPECT_EQ(1u, Queued());
    EXPECT_EQ(start + kTwelveHoursMs, Peer::GetLastReportTime(kHeartBeatKey));
}

TEST(HeartBeatReport, ThrottledForTwelveHoursAndWhileAConnectionIsTimed) {
    const auto result = RunScenario("HeartBeatGates");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

TALLY_SCENARIO(HeartBeatStampedBeforeRouting) {
    auto& clock = OpenQueue(true);
    // Disabled after initialisation: routing drops the event, yet the stamp
    // already counts for the next twelve hours.
    Peer::SetImprovementEnabled(false);
    TallyService::GetInstance()->ReportHeartBeat(true, true);
    EXPECT_EQ(0u, Queued());
    EXPECT_EQ(clock.UnixMs(), Peer::GetLastReportTime(kHeartBeatKey));
}

TEST(HeartBeatReport, StampIsWrittenEvenWhenRoutingDropsTheEvent) {
    const auto result = RunScenario("HeartBeatStampedBeforeRouting");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_NE(std::string::npos, result.ledger.find("hb_report_time="));
}

TALLY_SCENARIO(PeerToPeerGates) {
    auto& clock = OpenQueue(true);
    TallyService* service = TallyService::GetInstance();
    const uint64_t start = clock.UnixMs();

    // Successes are always reported and never touch the ledger.
    service->ReportP2P(true, false);
    service->ReportP2P(true, true);
    EXPECT_EQ(2u, Queued());
    EXPECT_EQ(0u, Peer::GetLastReportTime(kConnectKey));

    // Failures: once in twelve hours.
    service->ReportP2P(false, false);
    EXPECT_EQ(1u, Queued());
    EXPECT_EQ(start, Peer::GetLastReportTime(kConnectKey));
    clock.SetUnixMs(start + kTwelveHoursMs - 1);
    service->ReportP2P(false, false);
    EXPECT_EQ(0u, Queued());
    clock.SetUnixMs(start + kTwelveHoursMs);
    service->ReportP2P(false, false);
    EXPECT_EQ(1u, Queued());
    EXPECT_EQ(start + kTwelveHoursMs, Peer::GetLastReportTime(kConnectKey));

    // While suspended: a success goes through and keeps the mark; the next
    // failure is dropped without touching the ledger and clears the mark.
    clock.SetUnixMs(start + 3 * kTwelveHoursMs);
    service->SetSystemSuspend(true);
    service->ReportP2P(true, false);
    EXPECT_EQ(1u, Queued());
    EXPECT_TRUE(Peer::SystemSuspend());
    service->ReportP2P(false, false);
    EXPECT_EQ(0u, Queued());
    EXPECT_FALSE(Peer::SystemSuspend());
    EXPECT_EQ(start + kTwelveHoursMs, Peer::GetLastReportTime(kConnectKey));
    // The failure after that is judged by the throttle alone.
    service->ReportP2P(false, false);
    EXPECT_EQ(1u, Queued());

    // A stamp in the future never blocks a failure.
    Peer::SetLastReportTime(kConnectKey, start + 100 * kTwelveHoursMs);
    service->ReportP2P(false, true);
    EXPECT_EQ(1u, Queued());
}

TEST(PeerToPeerReport, FailuresThrottledAndDroppedOnceAfterSuspend) {
    const auto result = RunScenario("PeerToPeerGates");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

TALLY_SCENARIO(PeerToPeerCarriesTimers) {
    auto& clock = OpenQueue(true);
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

TEST(PeerToPeerReport, CarriesEveryTimerEverMeasured) {
    const auto result = RunScenario("PeerToPeerCarriesTimers");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

}  // namespace
