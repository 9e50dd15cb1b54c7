// Kills a host process that is storing events with SIGKILL at random moments,
// again and again on one database, and checks after each kill that the
// database is intact and holds every event whose ReportOnEvent had returned.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TallyApi.h"
#include "analytics_test_util.h"

extern char** environ;

namespace tally {
namespace testing {
namespace {

struct Child {
    pid_t pid = -1;
    int output = -1;  // read end of the child's standard output
};

Child Spawn(const std::string& folder, int round) {
    Child child;
    int fds[2];
    if (pipe(fds) != 0) return child;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string program = TALLY_KILL_CHILD;
    std::string roundText = std::to_string(round);
    char* argv[] = {&program[0], const_cast<char*>(folder.c_str()), &roundText[0], nullptr};
    if (posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
        child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    child.output = fds[0];
    return child;
}

// Reads what is available within `timeoutMs`; false at end of output.
bool ReadSome(int fd, std::string* text, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) return false;
    text->append(buffer, static_cast<size_t>(n));
    return true;
}

int CountAcks(const std::string& text) {
    int acks = 0;
    for (size_t at = text.find("ack "); at != std::string::npos; at = text.find("ack ", at + 1)) {
        if (text.find('\n', at) != std::string::npos) ++acks;
    }
    return acks;
}

TEST(AnalyticsCrashSafety, SigkillAtAnyMomentNeverLosesAcknowledgedEventsNorDamagesTheDatabase) {
    ScratchFolder folder;
    // Thirty rounds can store more than the default cap; evicting the oldest
    // events would look like lost ones here.
    SetEnv("TALLY_MAX_EVENTS", "1000000");
    SetEnv("TALLY_MAX_BYTES", "1073741824");
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const int kRounds = 30;
    int64_t expectedAtLeast = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Child child = Spawn(folder.Path().string(), round);
        ASSERT_GT(child.pid, 0);
        std::string output;
        if (round % 3 == 0) {
            // Anywhere, initialisation and schema creation included.
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(random)));
        } else {
            const int target = std::uniform_int_distribution<int>(1, 600)(random);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (CountAcks(output) < target && std::chrono::steady_clock::now() < deadline &&
                   output.find("fail") == std::string::npos &&
                   output.find("refused") == std::string::npos) {
                if (!ReadSome(child.output, &output, 100)) break;
            }
        }
        kill(child.pid, SIGKILL);
        int status = 0;
        waitpid(child.pid, &status, 0);
        while (ReadSome(child.output, &output, 1000)) {
        }
        close(child.output);
        ASSERT_EQ(output.find("fail"), std::string::npos) << output;
        ASSERT_EQ(output.find("refused"), std::string::npos) << output;
        ASSERT_TRUE(WIFSIGNALED(status)) << output;

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
    // A last, orderly session opens what the killed ones left.
    ReportConfig config = MakeConfig(folder.Path());
    ASSERT_EQ(ReportInit(&config), 1);
    ReportData record = MakeRecord("after_kills", "{}");
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
