// Kills a host process that is storing events at random moments, again and
// again on one database, and checks after each kill that the database is
// intact and holds every event whose ReportOnEvent had returned. The program
// is its own host process: with --store-until-killed it stores events.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>

#include "TallyApi.h"
#include "analytics_test_util.h"
#include "support/process.h"

namespace tally {
namespace testing {
namespace {

// Initialises the library on `folder`, then stores events until killed,
// printing "ack N" once ReportOnEvent has returned for event N. Returns only
// on a failure, which the test sees as a run that was not killed.
int StoreUntilKilled(const char* folder, const char* round) {
    ReportConfig config = MakeConfig(std::filesystem::u8path(folder));
    if (ReportInit(&config) != 1) return 2;
    // Padding makes the write-ahead log grow fast enough that kills also land
    // inside checkpoints.
    const std::string pad(400, 'p');
    for (int n = 0;; ++n) {
        ReportData record = EventRecord("kill_test", std::string("{\"round\":") + round +
                                                         ",\"n\":" + std::to_string(n) +
                                                         ",\"pad\":\"" + pad + "\"}");
        if (ReportOnEvent(&record) != 1) return 3;
        if (n % 10 == 9) ReportOnSubmit();
        std::printf("ack %d\n", n);
        std::fflush(stdout);
    }
}

TEST(AnalyticsCrashSafety, SigkillAtAnyMomentNeverLosesAcknowledgedEventsNorDamagesTheDatabase) {
    TempFolder folder;
    // Thirty rounds can store more than the default cap; evicting the oldest
    // events would look like lost ones here.
    SetEnvironment("TALLY_MAX_EVENTS", "1000000");
    SetEnvironment("TALLY_MAX_BYTES", "1073741824");
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int64_t expectedAtLeast = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // A third of the kills land anywhere, initialisation and schema
        // creation included; the rest while events are being stored.
        const int killAfterMs = round % 3 == 0
                                    ? std::uniform_int_distribution<int>(0, 30)(random)
                                    : std::uniform_int_distribution<int>(30, 1000)(random);
        const std::filesystem::path log = folder.Path() / "host.log";
        const ProcessOutcome outcome =
            RunProcess(CurrentExecutablePath(),
                       {"--store-until-killed", folder.Path().u8string(), std::to_string(round)},
                       CurrentEnvironment(), log, std::chrono::milliseconds(killAfterMs));
        const std::string output = ReadFileBytes(log);
        ASSERT_TRUE(outcome.timedOut)  // killed, not ended
            << outcome.error << " exit code " << outcome.exitCode << "\n"
            << output;

        int lastAck = -1;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("ack ", 0) == 0) lastAck = std::stoi(line.substr(4));
        }
        if (!std::filesystem::exists(DatabasePath(folder.Path()))) {
            ASSERT_EQ(lastAck, -1);
            continue;
        }
        TestDb db(DatabasePath(folder.Path()));
        ASSERT_EQ(db.Text("PRAGMA integrity_check"), "ok");
        if (db.Int("SELECT count(*) FROM sqlite_master WHERE name = 'events'") == 0) {
            // Killed before the schema was committed: an empty database.
            ASSERT_EQ(lastAck, -1);
            continue;
        }
        auto rows = db.Rows(
            "SELECT json_extract(payload, '$.n') FROM events WHERE "
            "json_extract(payload, '$.round') = " +
            std::to_string(round) + " ORDER BY seq");
        // Every acknowledged event, in order, and at most the one in flight.
        ASSERT_GE(static_cast<int>(rows.size()), lastAck + 1);
        ASSERT_LE(static_cast<int>(rows.size()), lastAck + 2);
        for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i][0], std::to_string(i));
        EXPECT_EQ(db.Int("SELECT count(*) FROM events e LEFT JOIN batches b ON e.batch = b.id "
                         "WHERE e.batch IS NOT NULL AND b.id IS NULL"),
                  0);
        expectedAtLeast += lastAck + 1;
    }
    EXPECT_GT(expectedAtLeast, 0) << "no round got to store an event";
    // A last, orderly session opens what the killed ones left.
    ReportConfig config = MakeConfig(folder.Path());
    ASSERT_EQ(ReportInit(&config), 1);
    ReportData record = EventRecord("after_kills", "{}");
    EXPECT_EQ(ReportOnEvent(&record), 1);
    std::memset(config.appid, 'x', sizeof(config.appid));
    EXPECT_EQ(ReportInit(&config), 0);
    TestDb db(DatabasePath(folder.Path()));
    EXPECT_EQ(db.Text("PRAGMA integrity_check"), "ok");
    EXPECT_GE(db.Int("SELECT count(*) FROM events"), expectedAtLeast + 1);
}

}  // namespace
}  // namespace testing
}  // namespace tally

// Its own main (so gtest_main's is not linked): the test runs the program
// again as the host process it kills.
int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--store-until-killed") == 0) {
        return tally::testing::StoreUntilKilled(argv[2], argv[3]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
