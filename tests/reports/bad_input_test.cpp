// Hostile host input: identifiers that are not UTF-8, hold NULs or are huge,
// and timers that make a payload outgrow its record. Nothing may throw,
// crash or damage the ledger; a payload that does not fit is refused once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "reports/report_fixture.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace {

using tally::testing::DeviceUuidText;
using tally::testing::IsLogLine;
using tally::testing::kScenarioUserId;
using tally::testing::OpenQueue;
using tally::testing::RunScenario;
using tally::testing::ScenarioOptions;
using tally::testing::TakeQueued;
using tally::testing::WaitForStandinEvents;
using Peer = TallyServiceTestPeer;

TALLY_SCENARIO(OddDeviceIds) {
    OpenQueue(true);
    TallyService* service = TallyService::GetInstance();
    const std::string odd[] = {std::string("\xff\xfe\x80\xc3", 4), std::string("ab\0cd\0ef", 8),
                               std::string("\xe4\xb8", 2)};
    for (const std::string& id : odd) {
        service->SetDeviceUniqueId(id);
        EXPECT_NO_THROW(service->ReportHeartBeat(true, true));
        Peer::SetLastReportTime(L"hb_report_time", 0);
        EXPECT_NO_THROW(Peer::ReportDevice());
        Peer::SetLastReportTime(L"device_report", 0);
    }
    EXPECT_EQ(6u, TakeQueued().size());

    // 10,000 bytes survive masking whole, so the payload no longer fits.
    service->SetDeviceUniqueId(std::string(10000, 'd'));
    service->ReportHeartBeat(true, true);
    Peer::ReportDevice();
    EXPECT_TRUE(TakeQueued().empty());
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"device_report")) << "a refused event is not counted";
}

TEST(BadInput, OddDeviceIdsNeverThrowAndOversizedPayloadsAreRefused) {
    const auto result = RunScenario("OddDeviceIds");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    const auto refused = result.JournalWith("copy data failed.");
    ASSERT_EQ(2u, refused.size());
    EXPECT_TRUE(IsLogLine(refused[0], 20, 5, "CopyReportData"));
}

TALLY_SCENARIO(ManyTimers) {
    auto& clock = OpenQueue(true);
    TallyService* service = TallyService::GetInstance();
    service->TimeCount(std::string(10000, 't'), true, false);
    clock.AdvanceLocalSeconds(1);
    service->TimeCount(std::string(10000, 't'), false, false);
    service->ReportP2P(true, false);
    EXPECT_TRUE(TakeQueued().empty()) << "a 10,000-byte timer name cannot fit";

    for (int i = 0; i < 300; ++i) {
        const std::string name = "timer_" + std::to_string(i);
        service->TimeCount(name, true, false);
        service->TimeCount(name, false, false);
    }
    service->ReportP2P(false, false);
    EXPECT_TRUE(TakeQueued().empty());
    // The throttle stamp was written before the payload was refused.
    EXPECT_EQ(clock.UnixMs(), Peer::GetLastReportTime(L"connect_report_time"));
}

TEST(BadInput, TimersThatOutgrowTheRecordRefuseTheEventOnly) {
    const auto result = RunScenario("ManyTimers");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ(2u, result.JournalWith("copy data failed.").size());
    EXPECT_NE(std::string::npos, result.ledger.find("connect_report_time="));
}

// A host whose identifiers are long enough that every masking rule changes
// them. Nothing that leaves the service may hold one of them whole.
const char kHostDeviceId[] = "HOSTDEVICE-7f3a9c1e-5d2b-4e8a-9b6c-0a1b2c3d4e5f";
const char kHostUserId[] = "alice.wonderland@example.org";

TALLY_SCENARIO(PrivacyEndToEnd) {
    tally::testing::InstallProcessFakeClock();
    TallyService* service = TallyService::GetInstance();
    service->SetDeviceUniqueId(kHostDeviceId);
    // Before the first opt-in only connection events are held, on purpose.
    service->ReportHeartBeat(false, true);
    EXPECT_FALSE(service->ReportSyncAppUsing());
    service->SetSyncAppUsing(true);
    service->EnableImprovement(true);
    service->TimeCount("device_connect_duration", true, false);
    service->ReportP2P(false, false);
    ASSERT_TRUE(WaitForStandinEvents(4, std::chrono::seconds(20)));
    tally::testing::WriteNote("uuid", DeviceUuidText());
}

TEST(Privacy, NoIdentifierLeavesTheServiceWhole) {
    ScenarioOptions options;
    options.userId = kHostUserId;
    const auto result = RunScenario("PrivacyEndToEnd", options);
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ((std::vector<std::string>{"storage_heartbeat_fail_reconnect", "user_device_info",
                                        "user_device_info", "device_remote_connect"}),
              result.EventNames());
    const std::string uuid = result.Note("uuid");
    ASSERT_EQ(36u, uuid.size());
    for (const auto* event : result.Events()) {
        const std::string bytes(reinterpret_cast<const char*>(&event->event), sizeof(ReportData));
        for (const std::string& secret :
             {std::string(kHostDeviceId), std::string(kHostUserId), uuid}) {
            EXPECT_EQ(std::string::npos, bytes.find(secret)) << event->EventData();
        }
    }
    for (const std::string& secret : {std::string(kHostDeviceId), std::string(kHostUserId), uuid}) {
        EXPECT_EQ(std::string::npos, result.journalText.find(secret));
    }
}

}  // namespace
