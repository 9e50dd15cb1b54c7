// Routing: event names by source, the log lines, the once-a-day bookkeeping
// of the device events and the early buffering of connection events.
#include <gtest/gtest.h>

#include <string>

#include "reports/report_fixture.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace {

using tally::testing::IsLogLine;
using tally::testing::OpenQueue;
using tally::testing::RunScenario;
using tally::testing::TakeQueued;
using Peer = TallyServiceTestPeer;

const char kColon[] = "\xA3\xBA";  // the full-width colon as the host's log holds it

TALLY_SCENARIO(RouteBySource) {
    OpenQueue(true);
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
    ASSERT_EQ(5u, report.size());
    EXPECT_EQ("report data is empty", report[0]->message);
    EXPECT_TRUE(IsLogLine(report[0], 20, 5, "TallyService::Report"));
    EXPECT_EQ(std::string("5") + kColon + "have no event name", report[1]->message);
    EXPECT_TRUE(IsLogLine(report[1], 20, 5, "TallyService::Report"));
    EXPECT_EQ(std::string("-1") + kColon + "have no event name", report[2]->message);
    // The trace after each handler call is informational.
    EXPECT_EQ(std::string("report source") + kColon + "2", report[3]->message);
    EXPECT_TRUE(IsLogLine(report[3], 20, 2, "TallyService::Report"));
    EXPECT_EQ(std::string("report source") + kColon + "3", report[4]->message);
}

TALLY_SCENARIO(DesktopClientReports) {
    auto& clock = OpenQueue(true);
    const uint64_t today = Peer::GetCurrentDate();
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
    auto events = TakeQueued();
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
}

TEST(Routing, DesktopClientReportsKeepTheDatesAndAddTheSyncAppEventOnce) {
    const auto result = RunScenario("DesktopClientReports");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_NE(std::string::npos, result.ledger.find("device_report=20250615"));
    EXPECT_NE(std::string::npos, result.ledger.find("sync_app_report=20250615"));
}

TALLY_SCENARIO(SyncDiskReports) {
    OpenQueue(true);
    const uint64_t today = Peer::GetCurrentDate();
    // A day without the desktop client's event: that event first, then ours.
    EXPECT_TRUE(Peer::OnSyncDiskReport("user_device_info", "{\"sync\":1}"));
    auto events = TakeQueued();
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

TEST(Routing, SyncDiskReportsPutTheDaysDeviceEventFirst) {
    const auto result = RunScenario("SyncDiskReports");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

TALLY_SCENARIO(ConnectionEventsBeforeInitialisation) {
    OpenQueue(false);
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
    const auto events = TakeQueued();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("{\"early\":1}", events[0].data);
    EXPECT_EQ("{\"late\":2}", events[1].data);
    // The device-information handlers have no early path: records made
    // while improvement is off are dropped, but the ledger is still written.
    Peer::SetImprovementEnabled(false);
    EXPECT_TRUE(Peer::OnOrvelReport("user_device_info", "{\"off\":1}"));
    EXPECT_TRUE(TakeQueued().empty());
    EXPECT_EQ(Peer::GetCurrentDate(), Peer::GetLastReportTime(L"device_report"));
}

TEST(Routing, ConnectionEventsAreBufferedOnlyBeforeInitialisation) {
    const auto result = RunScenario("ConnectionEventsBeforeInitialisation");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

}  // namespace
