// The reference analytics library, driven through its three C entry points
// as the service drives it, and checked through the database and log it
// writes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TallyApi.h"
#include "analytics_test_util.h"
#include "store_limits.h"

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;
using Table = std::vector<std::vector<std::string>>;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Each test starts from the default caps and a library initialised on a
// fresh folder, and leaves the library pointing at nothing it removed.
class AnalyticsLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* knob : {kEnvMaxEvents, kEnvMaxBytes}) SetEnvironment(knob, "");
        m_config = MakeConfig(m_folder.Path());
    }
    void TearDown() override {
        // Re-initialising with a refused record closes the current session,
        // so the scratch folder can go.
        ReportConfig broken = m_config;
        std::memset(broken.appid, 'x', sizeof(broken.appid));
        ReportInit(&broken);
        for (const char* knob : {kEnvMaxEvents, kEnvMaxBytes}) SetEnvironment(knob, "");
    }

    int32_t Event(const std::string& name, const std::string& payload) {
        ReportData record = EventRecord(name, payload);
        return ReportOnEvent(&record);
    }
    fs::path Db() const { return DatabasePath(m_folder.Path()); }
    std::string Log() const { return ReadFileBytes(m_folder.Path() / "log" / "tally.log"); }

    TempFolder m_folder;
    ReportConfig m_config;
};

TEST_F(AnalyticsLibraryTest, RefusesAnyUnterminatedTextFieldAndStoresNothingAfterwards) {
    struct Field {
        const char* name;
        char* data;
        size_t width;
    };
    const Field fields[] = {
        {"appid", m_config.appid, sizeof(m_config.appid)},
        {"appversion", m_config.appversion, sizeof(m_config.appversion)},
        {"deviceType", m_config.deviceType, sizeof(m_config.deviceType)},
        {"tag", m_config.tag, sizeof(m_config.tag)},
        {"domain", m_config.domain, sizeof(m_config.domain)},
        {"dbPath", m_config.dbPath, sizeof(m_config.dbPath)},
        {"pubkeyPath", m_config.pubkeyPath, sizeof(m_config.pubkeyPath)},
        {"cacertPath", m_config.cacertPath, sizeof(m_config.cacertPath)},
        // Without a usable log location the reason goes to standard error.
        {"logDir", m_config.logDir, sizeof(m_config.logDir)},
        {"logFileName", m_config.logFileName, sizeof(m_config.logFileName)},
    };
    for (const Field& field : fields) {
        SCOPED_TRACE(field.name);
        ReportConfig config = m_config;
        char* data =
            reinterpret_cast<char*>(&config) + (field.data - reinterpret_cast<char*>(&m_config));
        std::memset(data, 'x', field.width);
        EXPECT_EQ(ReportInit(&config), 0);
        EXPECT_EQ(Event("app_start", "{}"), 0);
        EXPECT_EQ(ReportOnSubmit(), 0);
        if (std::strcmp(field.name, "logDir") != 0 && std::strcmp(field.name, "logFileName") != 0) {
            EXPECT_NE(Log().find("field " + std::string(field.name) + " is not NUL-terminated"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(ReportInit(nullptr), 0);
    EXPECT_FALSE(fs::exists(Db()));
}

TEST_F(AnalyticsLibraryTest, CreatesNestedFolderAndVersionedWalDatabaseThatOutlivesReinit) {
    ASSERT_EQ(ReportInit(&m_config), 1);
    ASSERT_TRUE(fs::exists(Db()));
    {
        TestDb db(Db());
        EXPECT_EQ(db.Int("PRAGMA user_version"), 3);
        EXPECT_EQ(db.Int("PRAGMA application_id"), 0x54616C79);
        EXPECT_EQ(db.Text("PRAGMA journal_mode"), "wal");
        EXPECT_TRUE(IsUuidV4(db.Text("SELECT value FROM meta WHERE key = 'install_id'")));
        EXPECT_EQ(db.Text("SELECT group_concat(key || '=' || value, ' ') FROM (SELECT * FROM meta "
                          "WHERE key NOT IN ('opened_ms', 'install_id') ORDER BY key)"),
                  "appid=Orvel appversion=9.8.7 cert_param1=4 cert_param2=1024 "
                  "device_type=Orvel-PC00 domain=https:// max_bytes=8388608 max_events=10000 "
                  "tag=Orvel upload_tls=system trust");
    }
    EXPECT_NE(Log().find("initialised: database"), std::string::npos);
    const std::string installId =
        TestDb(Db()).Text("SELECT value FROM meta WHERE key = 'install_id'");
    ASSERT_EQ(Event("app_start", R"({"n":1})"), 1);
    ASSERT_EQ(Event("app_start", R"({"n":2})"), 1);

    // A second initialisation (the service retries after a refusal) keeps
    // what was stored and continues the sequence.
    PutField(m_config.appversion, sizeof(m_config.appversion), "9.9.0");
    ASSERT_EQ(ReportInit(&m_config), 1);
    ASSERT_EQ(Event("app_start", R"({"n":3})"), 1);
    TestDb db(Db());
    EXPECT_EQ(db.Rows("SELECT seq, payload FROM events ORDER BY seq"),
              (Table{{"1", R"({"n":1})"}, {"2", R"({"n":2})"}, {"3", R"({"n":3})"}}));
    EXPECT_EQ(db.Text("SELECT value FROM meta WHERE key = 'appversion'"), "9.9.0");
    EXPECT_EQ(db.Text("SELECT value FROM meta WHERE key = 'install_id'"), installId);
}

TEST_F(AnalyticsLibraryTest, RefusesDatabasesItCannotOpenOrDoesNotOwnAndLeavesThemAlone) {
    fs::create_directories(Db().parent_path());

    // A folder where the file should be.
    fs::create_directory(Db());
    EXPECT_EQ(ReportInit(&m_config), 0);
    fs::remove(Db());

    // A text file.
    { std::ofstream(Db(), std::ios::binary) << "not a database, just some words\n"; }
    EXPECT_EQ(ReportInit(&m_config), 0);
    EXPECT_EQ(ReadFileBytes(Db()), "not a database, just some words\n");
    fs::remove(Db());

    // Another application's database.
    {
        TestDb other(Db(), true);
        ASSERT_TRUE(other.Exec("CREATE TABLE notes(text); INSERT INTO notes VALUES('keep me')"));
    }
    EXPECT_EQ(ReportInit(&m_config), 0);
    EXPECT_NE(Log().find("belongs to another application"), std::string::npos);
    {
        TestDb other(Db());
        EXPECT_EQ(other.Text("SELECT text FROM notes"), "keep me");
        EXPECT_EQ(other.Int("SELECT count(*) FROM sqlite_master WHERE name = 'events'"), 0);
    }
    fs::remove(Db());

    // Ours, but from a newer library.
    ASSERT_EQ(ReportInit(&m_config), 1);
    ReportInit(nullptr);
    {
        TestDb newer(Db());
        ASSERT_TRUE(newer.Exec("PRAGMA user_version = 7"));
    }
    EXPECT_EQ(ReportInit(&m_config), 0);
    EXPECT_NE(Log().find("schema version 7, newer than this library's 3"), std::string::npos);
    EXPECT_EQ(Event("app_start", "{}"), 0);
}

TEST_F(AnalyticsLibraryTest, StoresEventsInOrderWithTimeOfReceiptAndKeepsNoPointerToTheRecord) {
    ASSERT_EQ(ReportInit(&m_config), 1);
    const int64_t before = NowMs();
    // The service reuses one buffer for every record: overwrite it after
    // each call, as the next record would.
    ReportData buffer;
    const std::vector<std::pair<std::string, std::string>> events = {
        {"user_device_info", R"({"device_type":7,"key_app_ver":"9.8.7"})"},
        {"device_remote_connect", R"({"is_success":"true","duration_level":"1"})"},
        {"storage_heartbeat_fail_reconnect",
         std::string(R"({"pad":")") + std::string(2030, 'p') + "\"}"},
    };
    for (const auto& event : events) {
        buffer = EventRecord(event.first, event.second);
        ASSERT_EQ(ReportOnEvent(&buffer), 1);
        std::memset(&buffer, 'z', sizeof(buffer));
    }
    const int64_t after = NowMs();
    Table expected;
    for (const auto& [name, payload] : events) {
        expected.push_back({std::to_string(expected.size() + 1), name, payload,
                            std::to_string(name.size() + payload.size()), "NULL"});
    }
    TestDb db(Db());
    EXPECT_EQ(db.Rows("SELECT seq, name, payload, size, batch FROM events ORDER BY seq"), expected);
    EXPECT_EQ(db.Int("SELECT count(*) FROM events WHERE received_ms BETWEEN " +
                     std::to_string(before) + " AND " + std::to_string(after)),
              3);
}

TEST_F(AnalyticsLibraryTest, RejectsBadRecordsWithCountsPerReasonAndStoresNone) {
    ASSERT_EQ(ReportInit(&m_config), 1);
    EXPECT_EQ(ReportOnEvent(nullptr), 0);

    ReportData unterminatedName = EventRecord("x", "{}");
    std::memset(unterminatedName.eventName, 'n', sizeof(unterminatedName.eventName));
    EXPECT_EQ(ReportOnEvent(&unterminatedName), 0);
    ReportData unterminatedPayload = EventRecord("x", "{}");
    std::memset(unterminatedPayload.data, ' ', sizeof(unterminatedPayload.data));
    EXPECT_EQ(ReportOnEvent(&unterminatedPayload), 0);

    EXPECT_EQ(Event("", "{}"), 0);
    EXPECT_EQ(Event("line\nbreak", "{}"), 0);
    EXPECT_EQ(Event("x", std::string(100, '[') + std::string(100, ']')), 0);
    for (const char* payload : {"", "not json", R"({"a":1} {"b":2})", R"({"a":1,"a":2})",
                                R"({"a":1,})", R"([1,2])", R"("text")"}) {
        EXPECT_EQ(Event("x", payload), 0) << payload;
    }

    // A valid event after all that is the first one stored.
    EXPECT_EQ(Event("x", R"({"ok":"true"})"), 1);

    TestDb db(Db());
    EXPECT_EQ(db.Rows("SELECT seq, payload FROM events"), (Table{{"1", R"({"ok":"true"})"}}));
    const std::pair<const char*, int64_t> counters[] = {
        {"rejected_events", 13},           {"rejected.null_record", 1},
        {"rejected.unterminated_name", 1}, {"rejected.unterminated_payload", 1},
        {"rejected.empty_name", 1},        {"rejected.bad_name_character", 1},
        {"rejected.empty_payload", 1},     {"rejected.payload_not_json", 5},
        {"rejected.payload_not_object", 2}};
    for (const auto& [name, count] : counters) EXPECT_EQ(db.Counter(name), count) << name;
    const std::string log = Log();
    EXPECT_NE(log.find("event rejected (bad_name_character): name \"line?break\""),
              std::string::npos);
    EXPECT_NE(log.find("event rejected (payload_not_json)"), std::string::npos);
}

TEST_F(AnalyticsLibraryTest, EvictsTheOldestEventsBeyondEitherCapAndCountsThem) {
    SetEnvironment(kEnvMaxEvents, "5");
    ASSERT_EQ(ReportInit(&m_config), 1);
    for (int i = 1; i <= 8; ++i) {
        ASSERT_EQ(Event("tick", "{\"n\":" + std::to_string(i) + "}"), 1);
        if (i % 2 == 0) {
            ASSERT_EQ(ReportOnSubmit(), 1);
        }
    }
    {
        TestDb db(Db());
        EXPECT_EQ(db.Rows("SELECT seq FROM events ORDER BY seq"),
                  (Table{{"4"}, {"5"}, {"6"}, {"7"}, {"8"}}));
        EXPECT_EQ(db.Counter("evicted_events"), 3);
        EXPECT_EQ(db.Counter("evicted_bytes"), 3 * 11);
        // The batch of events 1 and 2 went with them; the one of 3 and 4
        // stays while event 4 does.
        EXPECT_EQ(db.Rows("SELECT id, first_seq FROM batches ORDER BY id"),
                  (Table{{"2", "3"}, {"3", "5"}, {"4", "7"}}));
        EXPECT_EQ(db.Text("SELECT value FROM meta WHERE key = 'max_events'"), "5");
    }
    EXPECT_NE(Log().find("evicted 1 oldest events (11 bytes) to stay within 5 events"),
              std::string::npos);

    // A cap lowered between sessions applies at initialisation; an unusable
    // knob keeps its default and says so.
    SetEnvironment(kEnvMaxEvents, "3");
    SetEnvironment(kEnvMaxBytes, "lots");
    ASSERT_EQ(ReportInit(&m_config), 1);
    {
        TestDb db(Db());
        EXPECT_EQ(db.Int("SELECT min(seq) FROM events"), 6);
        EXPECT_EQ(db.Counter("evicted_events"), 5);
    }
    EXPECT_NE(Log().find("ignoring TALLY_MAX_BYTES=\"lots\""), std::string::npos);

    // The byte cap: each of these takes 1014 bytes with its name.
    SetEnvironment(kEnvMaxEvents, "");
    SetEnvironment(kEnvMaxBytes, "4096");
    ASSERT_EQ(ReportInit(&m_config), 1);
    const std::string big = "{\"pad\":\"" + std::string(1000, 'b') + "\"}";
    for (int i = 0; i < 6; ++i) ASSERT_EQ(Event("blob", big), 1);
    TestDb db(Db());
    EXPECT_EQ(db.Int("SELECT count(*) FROM events"), 4);
    EXPECT_EQ(db.Int("SELECT sum(size) FROM events"), 4 * 1014);
    EXPECT_EQ(db.Int("SELECT min(seq) FROM events"), 11);
    EXPECT_EQ(db.Counter("evicted_events"), 10);
}

TEST_F(AnalyticsLibraryTest, SubmitMarksEverythingStoredSoFarAsOneReadyBatch) {
    ASSERT_EQ(ReportInit(&m_config), 1);
    EXPECT_EQ(ReportOnSubmit(), 1);  // nothing waiting: no batch
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Event("a", "{}"), 1);
    ASSERT_EQ(ReportOnSubmit(), 1);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Event("b", "{}"), 1);
    {
        TestDb db(Db());
        EXPECT_EQ(db.Rows("SELECT id, first_seq, last_seq, event_count, state FROM batches"),
                  (Table{{"1", "1", "3", "3", "ready"}}));
        EXPECT_EQ(db.Rows("SELECT seq, batch FROM events ORDER BY seq"),
                  (Table{{"1", "1"}, {"2", "1"}, {"3", "1"}, {"4", "NULL"}, {"5", "NULL"}}));
    }
    ASSERT_EQ(ReportOnSubmit(), 1);
    ASSERT_EQ(ReportOnSubmit(), 1);
    TestDb db(Db());
    EXPECT_EQ(db.Rows("SELECT id, first_seq, last_seq, event_count FROM batches ORDER BY id"),
              (Table{{"1", "1", "3", "3"}, {"2", "4", "5", "2"}}));
    EXPECT_EQ(db.Int("SELECT count(*) FROM events WHERE batch IS NULL"), 0);
    EXPECT_NE(Log().find("batch 2 ready: 2 events, sequence 4 to 5"), std::string::npos);
}

TEST_F(AnalyticsLibraryTest, HoldsEventsInOrderWithoutWaitingWhileAnotherProcessLocksTheDatabase) {
    ASSERT_EQ(ReportInit(&m_config), 1);
    ASSERT_EQ(Event("first", "{}"), 1);
    TestDb other(Db());
    ASSERT_TRUE(other.Exec("BEGIN IMMEDIATE"));
    // Each call returns at once although the write lock is taken.
    ASSERT_EQ(Event("second", "{}"), 1);
    ASSERT_EQ(ReportOnSubmit(), 1);
    ASSERT_EQ(Event("third", "{}"), 1);
    EXPECT_EQ(other.Int("SELECT count(*) FROM events"), 1);
    ASSERT_TRUE(other.Exec("COMMIT"));

    // The library's thread stores them once the lock is gone.
    EXPECT_TRUE(WaitUntil([&] { return other.Int("SELECT count(*) FROM events") == 3; },
                          std::chrono::seconds(10)));
    EXPECT_EQ(other.Rows("SELECT seq, name, batch FROM events ORDER BY seq"),
              (Table{{"1", "first", "1"}, {"2", "second", "1"}, {"3", "third", "NULL"}}));
    const std::string log = Log();
    EXPECT_NE(log.find("database locked by another process"), std::string::npos);
    EXPECT_NE(log.find("database writable again"), std::string::npos);
}

// An opt-out must hold once ReportSetConsent(0) returns, even if the process
// then loses everything in memory (here: the session closes while another
// process still locks the database, as a kill would leave it); events that
// reach the library while opted out are not kept for a later opt-in.
TEST_F(AnalyticsLibraryTest, AnOptOutHoldsWhenItReturnsAndDropsEventsThatArriveAfterIt) {
    // The mark beside the database: its one byte is '1' while an opt-out
    // waits for its deletion.
    const auto marked = [&] {
        return ReadFileBytes(fs::u8path(Db().u8string() + "-optout")) == "1";
    };
    for (const bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "database locked by another process" : "database free");
        ASSERT_EQ(ReportInit(&m_config), 1);
        ASSERT_EQ(ReportSetConsent(1), 1);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(Event("before", "{}"), 1);
        ASSERT_EQ(ReportOnSubmit(), 1);
        TestDb other(Db());
        ASSERT_TRUE(WaitUntil([&] { return other.Int("SELECT count(*) FROM events") == 10; }));
        if (locked) {
            ASSERT_TRUE(other.Exec("BEGIN IMMEDIATE"));
        }

        ASSERT_EQ(ReportSetConsent(0), 1);
        // Marked at once; the library's thread deletes and removes the mark
        // unless the database is locked.
        EXPECT_TRUE(marked() || other.Int("SELECT count(*) FROM events") == 0);
        EXPECT_EQ(Event("while opted out", "{}"), 0);
        if (!locked) {
            EXPECT_TRUE(WaitUntil(
                [&] { return !marked() && other.Int("SELECT count(*) FROM events") == 0; }));
        }
        EXPECT_EQ(marked(), locked);

        // What was in memory is gone; the lock goes after the session.
        ReportConfig broken = m_config;
        std::memset(broken.appid, 'x', sizeof(broken.appid));
        ReportInit(&broken);
        if (locked) {
            ASSERT_TRUE(other.Exec("ROLLBACK"));
        }
        ASSERT_EQ(ReportInit(&m_config), 1);
        EXPECT_EQ(other.Int("SELECT count(*) FROM events"), 0);
        EXPECT_EQ(other.Int("SELECT count(*) FROM batches WHERE state IN ('ready','sending')"), 0);
        EXPECT_FALSE(marked());
        ASSERT_EQ(ReportSetConsent(1), 1);
        ASSERT_EQ(Event("after", "{}"), 1);
        EXPECT_TRUE(WaitUntil([&] {
            return other.Rows("SELECT name FROM events") == Table{{"after"}};
        })) << Log();
        EXPECT_GE(other.Int("SELECT value FROM counters WHERE name = 'consent.deleted_events'"),
                  11);
        // Empty for the next case, and opted in as the other tests expect.
        ASSERT_EQ(ReportSetConsent(0), 1);
        ASSERT_EQ(ReportSetConsent(1), 1);
    }
}

TEST_F(AnalyticsLibraryTest, ConcurrentCallersGetUniqueSequenceNumbersAndConsistentBatches) {
    ASSERT_EQ(ReportInit(&m_config), 1);
    constexpr int kPerThread = 200;
    auto produce = [this](const std::string& name) {
        for (int i = 0; i < kPerThread; ++i) {
            EXPECT_EQ(Event(name, "{\"i\":" + std::to_string(i) + "}"), 1);
            if (i % 10 == 9) {
                EXPECT_EQ(ReportOnSubmit(), 1);
            }
        }
    };
    std::thread a(produce, "a");
    std::thread b(produce, "b");
    a.join();
    b.join();
    TestDb db(Db());
    EXPECT_EQ(db.Int("SELECT count(*) FROM events"), 2 * kPerThread);
    EXPECT_EQ(db.Int("SELECT max(seq) - min(seq) + 1 FROM events"), 2 * kPerThread);
    // Each thread's events keep their order.
    for (const char* name : {"a", "b"}) {
        auto rows = db.Rows(std::string("SELECT payload FROM events WHERE name = '") + name +
                            "' ORDER BY seq");
        ASSERT_EQ(rows.size(), static_cast<size_t>(kPerThread));
        for (int i = 0; i < kPerThread; ++i) {
            EXPECT_EQ(rows[i][0], "{\"i\":" + std::to_string(i) + "}");
        }
    }
    // The last submit came after both threads' last events.
    EXPECT_EQ(db.Int("SELECT count(*) FROM events WHERE batch IS NULL"), 0);
    EXPECT_EQ(db.Int("SELECT sum(event_count) FROM batches"), 2 * kPerThread);
    EXPECT_EQ(db.Int("SELECT count(*) FROM events e JOIN batches b ON e.batch = b.id "
                     "WHERE e.seq < b.first_seq OR e.seq > b.last_seq"),
              0);
}

TEST(StoreLimitsTest, ParsesOnlyWholeNumbersInRange) {
    int64_t value = 42;
    EXPECT_TRUE(ParseLimit(" 17 ", 1, 100, &value));
    EXPECT_EQ(value, 17);
    for (const char* bad : {"", "0", "101", "-5", "+5", "12x", "1.5", "99999999999999999999999"}) {
        EXPECT_FALSE(ParseLimit(bad, 1, 100, &value)) << bad;
    }
    EXPECT_EQ(value, 17);
    EXPECT_TRUE(ParseLimit("1099511627776", kMinMaxBytes, kMaxMaxBytes, &value));
    EXPECT_EQ(value, kMaxMaxBytes);
}

}  // namespace
}  // namespace testing
}  // namespace tally
