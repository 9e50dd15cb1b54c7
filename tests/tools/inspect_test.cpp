// tally-inspect on a database and a ledger prepared with known contents: the
// output for a person and for a program against golden files, and the exit
// status and message for every kind of file it must refuse.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analytics_test_util.h"
#include "event_store.h"
#include "inspect_command.h"
#include "store_schema.h"

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;
using inspect::RunInspect;

constexpr int64_t kStart = 1740230000000;  // 2025-02-22 13:13:20 UTC

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result Inspect(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunInspect(arguments, out, err, inspect::UtcTimeText);
    return {status, out.str(), err.str()};
}

// Five events of which the oldest was evicted (cap 4), a batch of the first
// three, two rejections, and the identity of the service's configuration.
void PrepareDatabase(const fs::path& path) {
    EventStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path.u8string(), &error)) << error;
    Identity identity{"Orvel", "1.4.2", "Orvel-PC00", "Orvel", "https://", 4, 1024, "system trust"};
    StoreLimits limits;
    limits.maxEvents = 4;
    ASSERT_EQ(store.WriteMeta(identity, limits, kStart, &error), WriteStatus::Ok) << error;
    using Kind = PendingOp::Kind;
    const std::deque<PendingOp> ops = {
        {Kind::Event, kStart + 1000, "user_device_info",
         R"({"device_type":7,"key_app_ver":"1.4.2"})"},
        {Kind::Event, kStart + 2000, "device_remote_connect",
         R"({"duration_level":"1","is_success":"true"})"},
        {Kind::Event, kStart + 3000, "storage_heartbeat_fail_reconnect",
         R"({"connect_mode":"KCP_1","is_success":"true","p2p_sdk_version":0})"},
        {Kind::Submit, kStart + 3500, "", ""},
        {Kind::Event, kStart + 4000, "device_remote_connect",
         R"({"duration_level":"1","is_success":"false"})"},
        {Kind::Event, kStart + 5000, "user_device_info", R"({"device_type":4})"},
    };
    std::map<std::string, int64_t> counters = {
        {kCounterRejectedEvents, 2},
        {std::string(kCounterRejectedPrefix) + "empty_name", 1},
        {std::string(kCounterRejectedPrefix) + "payload_not_json", 1}};
    ApplyOutcome outcome;
    ASSERT_EQ(store.Apply(ops, counters, limits, &outcome, &error), WriteStatus::Ok) << error;
    ASSERT_EQ(outcome.evictedEvents, 1);
    ASSERT_EQ(store.Apply({{Kind::NewInstallId, kStart, "", ""}}, {}, limits, &outcome, &error),
              WriteStatus::Ok)
        << error;
    store.Close();
    // Random ids made fixed for the golden files; one opt-out answered, one waiting.
    TestDb db(path);
    ASSERT_TRUE(db.Exec(
        "UPDATE meta SET value = '3f0c2a1e-7b5d-4c8e-9a6f-0d1e2f3a4b5c' WHERE key = 'install_id';"
        "INSERT INTO deletions(install_id, request_id, requested_ms, state, attempts, "
        "last_status, finished_ms) VALUES('0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d', 'k1', "
        "1740229000000, 'done', 2, 200, 1740229060000);"
        "INSERT INTO deletions(install_id, request_id, requested_ms, state, attempts, "
        "last_status, next_attempt_ms) VALUES('5e6f7a8b-9c0d-4e1f-a2b3-c4d5e6f7a8b9', 'k2', "
        "1740229500000, 'pending', 1, 503, 1740229530000)"));
}

class InspectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_db = m_folder.Path() / "qx.db";
        m_ledger = m_folder.Path() / "orvel.ini";
        PrepareDatabase(m_db);
        // As the Windows profile writer leaves it: CRLF, other sections kept.
        std::ofstream(m_ledger, std::ios::binary) << "[other]\r\nhb_report_time=1\r\n"
                                                     "[main]\r\ndevice_report=20250222\r\n"
                                                     "hb_report_time=1740233000000\r\n"
                                                     "connect_report_time=0\r\nextra_key=abc\r\n";
    }
    // Paths differ from run to run; the golden files hold placeholders.
    std::string Normalise(std::string text) const {
        for (const auto& [path, name] :
             {std::pair(m_db.u8string(), "<db>"), std::pair(m_ledger.u8string(), "<ledger>")}) {
            // JSON escapes backslashes of Windows paths.
            std::string escaped = path;
            for (size_t at = 0; (at = escaped.find('\\', at)) != std::string::npos; at += 2) {
                escaped.insert(at, "\\");
            }
            for (const std::string& form : {escaped, path}) {
                for (size_t at; (at = text.find(form)) != std::string::npos;)
                    text.replace(at, form.size(), name);
            }
        }
        return text;
    }

    TempFolder m_folder;
    fs::path m_db;
    fs::path m_ledger;
};

TEST_F(InspectTest, ShowsEverythingForAPersonAndAsJsonForAProgramAsTheGoldenFilesSay) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--db", m_db.u8string(), "--ledger", m_ledger.u8string(), "--event", "3"}, "inspect.txt"},
        {{"--json", "--db", m_db.u8string(), "--ledger", m_ledger.u8string()}, "inspect.json"},
    };
    for (const auto& [arguments, name] : cases) {
        const Result result = Inspect(arguments);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const fs::path golden = fs::u8path(TALLY_GOLDEN_DIR) / name;
        if (const char* update = std::getenv("TALLY_UPDATE_GOLDEN"); update != nullptr && *update) {
            std::ofstream(golden, std::ios::binary) << Normalise(result.out);
        }
        EXPECT_EQ(Normalise(result.out), ReadFileBytes(golden))
            << "golden file " << golden << " (TALLY_UPDATE_GOLDEN=1 rewrites it)";
    }

    // --event narrows the events to the ones asked for.
    Result result = Inspect({"--json", "--db", m_db.u8string(), "--event", "5", "--event", "2"});
    ASSERT_EQ(result.status, 0) << result.err;
    Json::Value root;
    std::istringstream in(result.out);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr));
    ASSERT_EQ(root["database"]["events"].size(), 2u);
    EXPECT_EQ(root["database"]["events"][0]["seq"].asInt64(), 5);
    EXPECT_EQ(root["database"]["events"][1]["payload"]["is_success"].asString(), "true");
    EXPECT_FALSE(root.isMember("ledger"));
}

TEST_F(InspectTest, RefusesMissingAndForeignFilesWithAClearMessageAndStatus) {
    const fs::path text = m_folder.Path() / "notes.txt";
    std::ofstream(text, std::ios::binary) << "just some words, no section\n";
    const fs::path binary = m_folder.Path() / "blob.ini";
    std::ofstream(binary, std::ios::binary) << std::string("[main]\0\x01\x02", 9);
    const fs::path otherDb = m_folder.Path() / "other.db";
    {
        TestDb other(otherDb, true);
        ASSERT_TRUE(other.Exec("CREATE TABLE notes(text)"));
    }
    const fs::path missing = m_folder.Path() / "missing.db";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--db", missing.u8string()}, 2, "no analytics database at "},
        {{"--ledger", missing.u8string()}, 2, "no ledger at "},
        {{"--db", text.u8string()}, 3, "is not an analytics database (not SQLite)"},
        {{"--db", otherDb.u8string()}, 3, "is not an analytics database (an SQLite file of"},
        {{"--db", m_folder.Path().u8string()}, 3, "is not a file"},
        {{"--ledger", text.u8string()}, 3, "is not a ledger (no section [main])"},
        {{"--ledger", binary.u8string()}, 3, "is not a ledger (binary content)"},
        {{"--ledger", m_db.u8string()}, 3, "is not a ledger"},
        {{}, 1, "name a database (--db) or a ledger (--ledger)"},
        {{"--db"}, 1, "--db needs a value"},
        {{"--db", m_db.u8string(), "--event", "x"}, 1, "--event needs a sequence number"},
        {{"--ledger", m_ledger.u8string(), "--event", "1"}, 1, "--event needs --db"},
        {{"--verbose"}, 1, "unknown argument \"--verbose\""},
        {{"--db", m_db.u8string(), "--event", "1"}, 4, "no stored event has sequence number 1"},
    };
    for (const Case& c : cases) {
        Result result = Inspect(c.arguments);
        SCOPED_TRACE(c.message);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    Result help = Inspect({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tally-inspect", 0), 0u);
}

TEST(InspectDecoding, ReadsLedgerNumbersAsTheServiceDoesAndDecodesThemByKey) {
    using inspect::DecodeLedgerValue;
    using inspect::LedgerNumber;
    EXPECT_EQ(LedgerNumber("20250222"), 20250222u);
    EXPECT_EQ(LedgerNumber("  20250222x"), 20250222u);
    EXPECT_EQ(LedgerNumber("+7"), 7u);
    EXPECT_EQ(LedgerNumber("abc"), 0u);
    EXPECT_EQ(LedgerNumber(""), 0u);
    EXPECT_EQ(LedgerNumber("-1"), UINT64_MAX);
    EXPECT_EQ(LedgerNumber("99999999999999999999"), static_cast<uint64_t>(INT64_MAX));
    EXPECT_EQ(LedgerNumber("-99999999999999999999"), static_cast<uint64_t>(INT64_MIN));

    const inspect::TimeFormatter utc = inspect::UtcTimeText;
    EXPECT_EQ(DecodeLedgerValue("device_report", 0, utc), "never");
    EXPECT_EQ(DecodeLedgerValue("sync_app_report", 20000229, utc), "2000-02-29");
    EXPECT_EQ(DecodeLedgerValue("device_report", 20251301, utc), "not a date (20251301)");
    EXPECT_EQ(DecodeLedgerValue("device_report", 20250431, utc), "not a date (20250431)");
    EXPECT_EQ(DecodeLedgerValue("hb_report_time", 0, utc), "never");
    EXPECT_EQ(DecodeLedgerValue("connect_report_time", 1740233000999, utc), "2025-02-22 14:03:20");
    EXPECT_EQ(DecodeLedgerValue("hb_report_time", UINT64_MAX, utc),
              "not a time (18446744073709551615)");
    EXPECT_EQ(DecodeLedgerValue("anything", 12, utc), "12");
    EXPECT_EQ(inspect::UtcTimeText(0), "1970-01-01 00:00:00");
    EXPECT_EQ(inspect::UtcTimeText(-1), "1969-12-31 23:59:59");
    EXPECT_EQ(inspect::UtcTimeText(951782400000), "2000-02-29 00:00:00");
}

}  // namespace
}  // namespace testing
}  // namespace tally
