// Named timers on local wall-clock time, and the grading of durations.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "reports/report_fixture.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace {

using tally::testing::OpenQueue;
using tally::testing::RunScenario;
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
}

TEST(Timers, StartReadAndRestartMeasureWholeSecondsOfLocalTime) {
    const auto result = RunScenario("TimerLifecycle");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

TALLY_SCENARIO(ConnectionTimerFlag) {
    OpenQueue(false);
    TallyService* service = TallyService::GetInstance();
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

TEST(Timers, OnlyTheConnectionTimerHoldsHeartBeatsBack) {
    const auto result = RunScenario("ConnectionTimerFlag");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

TEST(Timers, DurationLevelsSwitchAtTheBandEdges) {
    const std::map<int64_t, std::string> levels = {
        {INT64_MIN, "1"}, {-1, "1"}, {0, "1"},  {2, "1"},  {3, "2"},  {5, "2"},
        {6, "3"},         {10, "3"}, {11, "4"}, {20, "4"}, {21, "5"}, {INT64_MAX, "5"}};
    for (const auto& level : levels) {
        EXPECT_EQ(level.second, Peer::GetDurationLevel(level.first)) << level.first;
    }
}

}  // namespace
