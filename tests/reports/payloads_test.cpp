// The exact bytes of every payload, and what hostile host input does to
// them. Member order is the JSON writer's (by name), yes/no facts are
// strings, durations and versions are numbers, and each identifier is masked
// by its own rule. Identifiers that are not UTF-8, hold NULs or are huge, and
// timers that make a payload outgrow its record, never throw, crash or damage
// the ledger; a payload that does not fit is refused once, and no identifier
// leaves the service whole.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/device_uuid.h"
#include "host/text.h"
#include "host/windows_version.h"
#include "support/service_scenario.h"

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;

// The machine's device UUID and version name as they enter payloads (UTF-8).
std::string DeviceUuidText() {
    return ToUtf8(GetDeviceUuid());
}
std::string OsVersionText() {
    return ToUtf8(GetWindowsVersionName());
}

// A JSON string literal of `text` (quotes included) for ASCII test values.
std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

const std::string kVersion = kScenarioAppVersion;
const char kDeviceId[] = "HDC-0123456789";
const char kMaskedDeviceId[] = "****0123456789";

TALLY_SCENARIO(EveryPayload) {
    auto& clock = OpenQueue();
    TallyService* service = TallyService::GetInstance();
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
    service->SetDeviceUniqueId(kDeviceId);
    EXPECT_EQ(expected(7, kMaskedDeviceId),
              Peer::GetReportDeviceInfo(ReportDeviceType::DesktopClient));
    EXPECT_EQ(expected(4, kMaskedDeviceId), Peer::GetReportDeviceInfo(ReportDeviceType::SyncApp));
    EXPECT_TRUE(TakeQueued().empty()) << "building a payload queues nothing";

    // The heartbeat carries the graded duration of the connection timer.
    service->TimeCount("device_connect_duration", true, false);
    clock.AdvanceLocalSeconds(10.5);
    // Any report reaching routing lets heartbeats through again.
    Peer::SetDeviceConnectTimed(false);
    service->ReportHeartBeat(true, false);
    service->ReportHeartBeat(false, true);  // within twelve hours: nothing
    auto events = TakeQueued();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("storage_heartbeat_fail_reconnect", events[0].name);
    EXPECT_EQ("{\"app_plugin_ver\":" + Quoted(kVersion) +
                  ",\"connect_mode\":\"KCP_3\",\"is_local_link\":\"false\",\"is_success\":\"true\""
                  ",\"key_app_ver\":" +
                  Quoted(kVersion) +
                  ",\"key_device_unique_id\":" + Quoted(uuid.substr(0, 9) + std::string(27, '*')) +
                  ",\"key_hdc_dev_unique_id\":" + Quoted(kMaskedDeviceId) +
                  ",\"p2p_sdk_version\":0}",
              events[0].data);
    EXPECT_FALSE(Peer::DeviceConnectTimed()) << "routing clears the flag the read raised";

    // The remote-connection event never holds the device id, and carries
    // every timer; a timer named like a member replaces that member's value.
    service->TimeCount("upload", true, false);
    service->TimeCount("device_connect_duration", true, false);
    service->TimeCount("network_type", true, false);
    clock.AdvanceLocalSeconds(21);
    EXPECT_EQ(21, service->TimeCount("upload", false, false));
    EXPECT_EQ(21, service->TimeCount("network_type", false, false));
    service->ReportP2P(true, true);
    events = TakeQueued();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("device_remote_connect", events[0].name);
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

TEST(Payloads, AreCompactJsonWithMaskedIdentifiersAndEveryMeasuredTimer) {
    ExpectScenariosSucceed({"EveryPayload"});
}

TALLY_SCENARIO(HostileInput) {
    auto& clock = OpenQueue();
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

    // Timers that make the remote-connection event outgrow its record.
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

TEST(Payloads, HostileInputNeverThrowsAndWhatDoesNotFitIsRefusedOnce) {
    const auto result = RunScenario("HostileInput");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    const auto refused = result.JournalFrom("CopyReportData");
    ASSERT_EQ(4u, refused.size()) << "once for each event refused";
    for (const JournalLine* line : refused) EXPECT_EQ("copy data failed.", line->message);
    EXPECT_TRUE(IsLogLine(refused[0], 20, 5, "CopyReportData"));
    EXPECT_NE(std::string::npos, result.ledger.find("connect_report_time="));
}

// A host whose identifiers are long enough that every masking rule changes
// them. Nothing that leaves the service may hold one of them whole.
const char kHostDeviceId[] = "HOSTDEVICE-7f3a9c1e-5d2b-4e8a-9b6c-0a1b2c3d4e5f";
const char kHostUserId[] = "alice.wonderland@example.org";

TALLY_SCENARIO(PrivacyEndToEnd) {
    InstallProcessFakeClock();
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
    WriteNote("uuid", DeviceUuidText());
}

TEST(Payloads, NoIdentifierLeavesTheServiceWhole) {
    ScenarioOptions options;
    options.userId = kHostUserId;
    const auto result = RunScenario("PrivacyEndToEnd", options);
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ((std::vector<std::string>{"storage_heartbeat_fail_reconnect", "user_device_info",
                                        "user_device_info", "device_remote_connect"}),
              result.EventNames());
    const std::string uuid = result.Note("uuid");
    ASSERT_EQ(36u, uuid.size());
    const std::string secrets[] = {kHostDeviceId, kHostUserId, uuid};
    for (const auto* event : result.Events()) {
        const std::string bytes(reinterpret_cast<const char*>(&event->event), sizeof(ReportData));
        for (const std::string& secret : secrets) {
            EXPECT_EQ(std::string::npos, bytes.find(secret)) << event->EventData();
        }
    }
    for (const std::string& secret : secrets) {
        EXPECT_EQ(std::string::npos, result.journalText.find(secret));
    }
}

}  // namespace
}  // namespace testing
}  // namespace tally
