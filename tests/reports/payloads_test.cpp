// The exact bytes of every payload: member order is the JSON writer's (by
// name), yes/no facts are strings, durations and versions are numbers, and
// each identifier is masked by its own rule.
#include <gtest/gtest.h>

#include <string>

#include "reports/report_fixture.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "support/test_peer.h"

namespace {

using tally::testing::DeviceUuidText;
using tally::testing::kScenarioAppVersion;
using tally::testing::kScenarioUserId;
using tally::testing::OpenQueue;
using tally::testing::OsVersionText;
using tally::testing::Quoted;
using tally::testing::RunScenario;
using tally::testing::TakeQueued;
using Peer = TallyServiceTestPeer;

const std::string kVersion = kScenarioAppVersion;
const char kDeviceId[] = "HDC-0123456789";
const char kMaskedDeviceId[] = "****0123456789";

TALLY_SCENARIO(DeviceInformationPayloads) {
    OpenQueue(true);
    const std::string uuid = DeviceUuidText();
    ASSERT_EQ(36u, uuid.size());
    const std::string user = kScenarioUserId;  // 9 bytes: the first 6 are kept
    const auto expected = [&](int type, const std::string& maskedDeviceId) {
        return "{\"app_plugin_ver\":" + Quoted(kVersion) +
               ",\"device_type\":" + std::to_string(type) + ",\"key_app_ver\":" + Quoted(kVersion) +
               ",\"key_device_unique_id\":" + Quoted(uuid.substr(0, 27)) +
               ",\"key_hdc_dev_unique_id\":" + Quoted(maskedDeviceId) +
               ",\"key_user_unique_id\":" + Quoted(user.substr(0, user.size() * 3 / 4)) +
               ",\"os_version\":" + Quoted(OsVersionText()) + "}";
    };
    // Before the host set a device id, the masked empty text stands in.
    EXPECT_EQ(expected(7, "****"), Peer::GetReportDeviceInfo(ReportDeviceType::DesktopClient));
    TallyService::GetInstance()->SetDeviceUniqueId(kDeviceId);
    EXPECT_EQ(expected(7, kMaskedDeviceId),
              Peer::GetReportDeviceInfo(ReportDeviceType::DesktopClient));
    EXPECT_EQ(expected(4, kMaskedDeviceId), Peer::GetReportDeviceInfo(ReportDeviceType::SyncApp));
    EXPECT_TRUE(TakeQueued().empty()) << "building a payload queues nothing";
}

TEST(Payloads, DeviceInformationIsCompactJsonWithMaskedIdentifiers) {
    const auto result = RunScenario("DeviceInformationPayloads");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

TALLY_SCENARIO(HeartBeatPayload) {
    auto& clock = OpenQueue(true);
    TallyService* service = TallyService::GetInstance();
    service->SetDeviceUniqueId(kDeviceId);
    service->TimeCount("device_connect_duration", true, false);
    clock.AdvanceLocalSeconds(10.5);
    // Any report reaching routing lets heartbeats through again.
    Peer::SetDeviceConnectTimed(false);
    service->ReportHeartBeat(true, false);
    service->ReportHeartBeat(false, true);  // within twelve hours: nothing
    const auto events = TakeQueued();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("storage_heartbeat_fail_reconnect", events[0].name);
    const std::string uuid = DeviceUuidText();
    EXPECT_EQ("{\"app_plugin_ver\":" + Quoted(kVersion) +
                  ",\"connect_mode\":\"KCP_3\",\"is_local_link\":\"false\",\"is_success\":\"true\""
                  ",\"key_app_ver\":" +
                  Quoted(kVersion) +
                  ",\"key_device_unique_id\":" + Quoted(uuid.substr(0, 9) + std::string(27, '*')) +
                  ",\"key_hdc_dev_unique_id\":" + Quoted(kMaskedDeviceId) +
                  ",\"p2p_sdk_version\":0}",
              events[0].data);
    EXPECT_FALSE(Peer::DeviceConnectTimed()) << "routing clears the flag the read raised";
}

TEST(Payloads, HeartBeatCarriesTheGradedDurationAndMaskedIdentifiers) {
    const auto result = RunScenario("HeartBeatPayload");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

TALLY_SCENARIO(PeerToPeerPayload) {
    auto& clock = OpenQueue(true);
    TallyService* service = TallyService::GetInstance();
    service->SetDeviceUniqueId(kDeviceId);  // never part of this event
    service->TimeCount("upload", true, false);
    service->TimeCount("device_connect_duration", true, false);
    service->TimeCount("network_type", true, false);
    clock.AdvanceLocalSeconds(21);
    EXPECT_EQ(21, service->TimeCount("upload", false, false));
    EXPECT_EQ(21, service->TimeCount("network_type", false, false));
    service->ReportP2P(true, true);
    const auto events = TakeQueued();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("device_remote_connect", events[0].name);
    const std::string uuid = DeviceUuidText();
    // A timer named like a member replaces that member's value.
    EXPECT_EQ("{\"app_plugin_ver\":" + Quoted(kVersion) +
                  ",\"connect_fail_reason\":\"\",\"connect_mode\":\"LOCAL\",\"connect_type\":"
                  "\"none\",\"device_connect_duration\":21,\"duration_level\":\"5\","
                  "\"fail_err_code\":\"\",\"fail_err_msg\":\"\",\"is_local_link\":\"true\","
                  "\"is_success\":\"true\",\"key_app_ver\":" +
                  Quoted(kVersion) +
                  ",\"key_hdc_dev_unique_id\":\"\",\"key_phone_manufacturer\":\"\","
                  "\"key_phone_os_ver\":" +
                  Quoted(OsVersionText()) + ",\"key_phone_type\":\"\",\"key_phone_unique_id\":" +
                  Quoted(uuid.substr(0, 9) + std::string(27, '*')) +
                  ",\"network_type\":21,\"p2p_sdk_version\":0,\"upload\":21}",
              events[0].data);
}

TEST(Payloads, PeerToPeerCarriesEveryMeasuredTimer) {
    const auto result = RunScenario("PeerToPeerPayload");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
}

}  // namespace
