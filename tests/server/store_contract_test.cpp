// What every store promises the collector (server/store/store.h), checked
// on each store this build has: the SQLite file, and PostgreSQL on a server
// this program starts for itself (once, for all its cases).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store.h"
#include "store_days.h"
#ifdef TALLY_WITH_POSTGRES
#include <libpq-fe.h>

#include "postgres_instance.h"
#endif

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;
using collector::Upload;
using collector::UploadBatch;
using collector::UploadEvent;
using server::Store;
using server::StoreOptions;
using server::StoreOutcome;
using server::StoreStatus;
using server::StoreTotals;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Batch ids as the client makes them (UUIDs), distinct per test and store.
std::string Id(const std::string& tag) {
    static std::atomic<int> counter{0};
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", ++counter);
    return std::string(id) + tag;
}

struct BatchPlan {
    std::string id;
    int64_t createdMs;
    int events;
};

Upload MakeUpload(const std::vector<BatchPlan>& batches) {
    Upload upload;
    upload.app = {"orvel", "3.1.0", "desktop", "contract", ""};
    for (const BatchPlan& plan : batches) {
        UploadBatch batch;
        batch.batchId = plan.id;
        batch.createdMs = plan.createdMs;
        for (int seq = 1; seq <= plan.events; ++seq) {
            // Every character COPY's text format gives a meaning, and more
            // than ASCII, so that escaping faults show as changed text.
            batch.events.push_back(
                {seq,
                 plan.createdMs - seq,
                 "name\twith tab",
                 "{\"k\":\"back\\\\slash \\\"q\\\" é\\n\",\"seq\":" + std::to_string(seq) + "}",
                 {}});
        }
        upload.batches.push_back(std::move(batch));
    }
    return upload;
}

// Where a store lives, and how to make it unreachable for a while.
class StoreKind {
  public:
    virtual ~StoreKind() = default;
    // A new empty store's location.
    virtual std::string Fresh() = 0;
    // Makes `location` unavailable until EndOutage.
    virtual void BeginOutage(const std::string& location) = 0;
    virtual void EndOutage() = 0;
};

class SqliteKind : public StoreKind {
  public:
    SqliteKind() {
        m_folder =
            fs::temp_directory_path() / ("tally-store-contract-" + std::to_string(::getpid()));
        fs::create_directories(m_folder);
    }
    ~SqliteKind() override {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
    std::string Fresh() override {
        return (m_folder / ("store-" + std::to_string(++s_count) + ".db")).string();
    }
    // Another process's writer holding the file for as long as it likes.
    void BeginOutage(const std::string& location) override {
        ASSERT_EQ(sqlite3_open(location.c_str(), &m_blocker), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(m_blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void EndOutage() override {
        sqlite3_exec(m_blocker, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(m_blocker);
        m_blocker = nullptr;
    }

  private:
    fs::path m_folder;
    static inline int s_count = 0;  // files of this folder so far
    sqlite3* m_blocker = nullptr;
};

#ifdef TALLY_WITH_POSTGRES
// One server for the whole program: starting one takes about a second.
PostgresInstance* g_postgres = nullptr;
std::string g_postgresError;

class PostgresKind : public StoreKind {
  public:
    std::string Fresh() override {
        std::string error;
        const std::string uri =
            g_postgres->CreateDatabase("contract_" + std::to_string(++s_count), &error);
        EXPECT_FALSE(uri.empty()) << error;
        return uri;
    }
    // The server stopped: the collector's open connections break, and new
    // ones are refused.
    void BeginOutage(const std::string&) override {
        std::string error;
        ASSERT_TRUE(g_postgres->Stop(&error)) << error;
    }
    void EndOutage() override {
        std::string error;
        ASSERT_TRUE(g_postgres->Start(&error)) << error;
    }

  private:
    static inline int s_count = 0;  // databases of this server so far
};
#endif

class StoreContract : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
#ifdef TALLY_WITH_POSTGRES
        if (GetParam() == "postgresql") {
            ASSERT_NE(g_postgres, nullptr) << g_postgresError;
            m_kind = std::make_unique<PostgresKind>();
            return;
        }
#endif
        m_kind = std::make_unique<SqliteKind>();
    }

    std::unique_ptr<Store> Open(const std::string& location, StoreOptions options = {}) {
        std::string error;
        std::unique_ptr<Store> store = server::OpenStore(location, options, &error);
        EXPECT_TRUE(store) << error;
        if (store) {
            EXPECT_TRUE(store->Maintain(NowMs(), &error)) << error;
        }
        return store;
    }

    static StoreTotals Totals(Store& store) {
        StoreTotals totals;
        std::string error;
        EXPECT_TRUE(store.Totals(&totals, &error)) << error;
        return totals;
    }

    std::unique_ptr<StoreKind> m_kind;
};

TEST_P(StoreContract, StoresEveryBatchOnceAndAcknowledgesEveryResend) {
    const std::string location = m_kind->Fresh();
    std::unique_ptr<Store> store = Open(location);
    ASSERT_TRUE(store);
    const int64_t now = NowMs();
    const int64_t day = server::kMsPerDay;
    const std::string a = Id("a"), b = Id("b"), c = Id("c"), d = Id("d"), e = Id("e"), f = Id("f"),
                      g = Id("g");
    const int64_t farFuture = std::numeric_limits<int64_t>::max();
    struct Step {
        const char* what;
        std::vector<BatchPlan> batches;
        int batchesNew, batchesDuplicate, eventsNew;
    };
    const Step steps[] = {
        {"two new batches", {{a, now, 3}, {b, now, 2}}, 2, 0, 5},
        {"one resent", {{a, now, 3}}, 0, 1, 0},
        {"a resend beside a new one", {{b, now, 2}, {c, now, 1}}, 1, 1, 1},
        {"one batch twice in a request", {{d, now, 4}, {d, now, 4}}, 1, 1, 4},
        {"a clock before 1970", {{e, -5, 1}}, 1, 0, 1},
        {"that one resent", {{e, -5, 1}}, 0, 1, 0},
        {"a clock past any calendar", {{f, farFuture, 1}}, 1, 0, 1},
        {"that one resent", {{f, farFuture, 1}}, 0, 1, 0},
        {"a backlog three weeks old", {{g, now - 21 * day, 2}}, 1, 0, 2},
        {"that one resent", {{g, now - 21 * day, 2}}, 0, 1, 0},
    };
    for (const Step& step : steps) {
        const StoreOutcome outcome = store->StoreUpload(MakeUpload(step.batches), "key", NowMs());
        ASSERT_TRUE(outcome.Stored()) << step.what << ": " << outcome.error;
        EXPECT_EQ(outcome.batchesNew, step.batchesNew) << step.what;
        EXPECT_EQ(outcome.batchesDuplicate, step.batchesDuplicate) << step.what;
        EXPECT_EQ(outcome.eventsNew, step.eventsNew) << step.what;
        EXPECT_EQ(outcome.batchesExpired, 0) << step.what;
    }
    StoreTotals totals = Totals(*store);
    EXPECT_EQ(totals.batches, 7);
    EXPECT_EQ(totals.events, 3 + 2 + 1 + 4 + 1 + 1 + 2);
    EXPECT_EQ(totals.duplicates, 6);

    // The text comes back as it was sent.
    std::ostringstream shown;
    std::string error;
    ASSERT_TRUE(store->Show(shown, 100, &error)) << error;
    EXPECT_NE(shown.str().find("name\twith tab {\"k\":\"back\\\\slash \\\"q\\\" é\\n\",\"seq\":3}"),
              std::string::npos)
        << shown.str();

    // What a store remembers survives a new process opening it.
    store.reset();
    store = Open(location);
    ASSERT_TRUE(store);
    const StoreOutcome resent = store->StoreUpload(MakeUpload({{a, now, 3}}), "key", NowMs());
    EXPECT_TRUE(resent.Stored());
    EXPECT_EQ(resent.batchesDuplicate, 1);
    EXPECT_EQ(Totals(*store).batches, 7);
}

TEST_P(StoreContract, StoresAllOfARequestOrNoneOfIt) {
    std::unique_ptr<Store> store = Open(m_kind->Fresh());
    ASSERT_TRUE(store);
    // A store may refuse text that is not UTF-8; if it does, the good batch
    // sent before it in the same request must not be stored either.
    Upload upload = MakeUpload({{Id("good"), NowMs(), 2}, {Id("bad"), NowMs(), 2}});
    upload.batches[1].events[1].name = "bad \xff\xfe bytes";
    const StoreOutcome outcome = store->StoreUpload(upload, "key", NowMs());
    const StoreTotals totals = Totals(*store);
    if (outcome.Stored()) {
        EXPECT_EQ(outcome.batchesNew, 2);
        EXPECT_EQ(totals.batches, 2);
        EXPECT_EQ(totals.events, 4);
    } else {
        EXPECT_EQ(outcome.status, StoreStatus::Failed) << outcome.error;
        EXPECT_EQ(totals.batches, 0);
        EXPECT_EQ(totals.events, 0);
    }
    // The store is usable after a refusal.
    EXPECT_TRUE(
        store->StoreUpload(MakeUpload({{Id("next"), NowMs(), 1}}), "key", NowMs()).Stored());
}

TEST_P(StoreContract, TwoCollectorsSendingTheSameBatchesAtOnceStoreEachOnce) {
    const std::string location = m_kind->Fresh();
    std::unique_ptr<Store> first = Open(location);
    std::unique_ptr<Store> second = Open(location);
    ASSERT_TRUE(first && second);
    constexpr int kRounds = 30;
    constexpr int kBatches = 3;
    constexpr int kEvents = 5;
    std::vector<std::vector<BatchPlan>> rounds;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<BatchPlan> batches;
        for (int i = 0; i < kBatches; ++i) batches.push_back({Id("x"), NowMs(), kEvents});
        rounds.push_back(batches);
    }
    struct Counts {
        int batchesNew = 0, batchesDuplicate = 0, unavailable = 0;
        std::string error;
    };
    std::vector<Counts> counts(2 * kRounds);
    std::atomic<int> started{0};
    auto send = [&](Store* store, int which) {
        ++started;
        while (started.load() < 2) std::this_thread::yield();
        for (int round = 0; round < kRounds; ++round) {
            std::vector<BatchPlan> batches = rounds[round];
            // The other collector gets them in another order.
            if (which == 1) std::reverse(batches.begin(), batches.end());
            Counts& mine = counts[2 * round + which];
            // As a client does: an unavailable store is asked again.
            for (int attempt = 0; attempt < 20; ++attempt) {
                const StoreOutcome outcome = store->StoreUpload(MakeUpload(batches), "k", NowMs());
                if (outcome.status == StoreStatus::Unavailable) {
                    ++mine.unavailable;
                    continue;
                }
                mine.batchesNew = outcome.batchesNew;
                mine.batchesDuplicate = outcome.batchesDuplicate;
                mine.error = outcome.error;
                break;
            }
        }
    };
    // Both collectors run their maintenance, which folds the rollup deltas
    // of a store that keeps them, while the uploads go on: each event is
    // counted once whether it was folded, by either, or not yet.
    std::atomic<bool> sent{false};
    std::atomic<int> folds{0};
    std::thread folder([&] {
        std::string error;
        while (!sent.load()) {
            if ((folds++ % 2 == 0 ? first : second)->Maintain(NowMs(), &error)) continue;
            ADD_FAILURE() << error;
            break;
        }
    });
    std::thread one(send, first.get(), 0);
    std::thread two(send, second.get(), 1);
    one.join();
    two.join();
    sent = true;
    folder.join();
    for (int round = 0; round < kRounds; ++round) {
        const Counts& a = counts[2 * round];
        const Counts& b = counts[2 * round + 1];
        EXPECT_EQ(a.batchesNew + b.batchesNew, kBatches) << round << a.error << b.error;
        EXPECT_EQ(a.batchesDuplicate + b.batchesDuplicate, kBatches) << round;
    }
    const StoreTotals totals = Totals(*first);
    EXPECT_EQ(totals.batches, kRounds * kBatches);
    EXPECT_EQ(totals.events, kRounds * kBatches * kEvents);
    auto counted = [](Store& store) {
        std::vector<server::RollupRow> rows;
        std::string error;
        EXPECT_TRUE(store.Rollups({}, &rows, &error)) << error;
        int64_t events = 0;
        for (const server::RollupRow& row : rows) events += row.measure == "events" ? row.value : 0;
        return events;
    };
    EXPECT_EQ(counted(*second), kRounds * kBatches * kEvents);
    std::string error;
    EXPECT_TRUE(first->Maintain(NowMs(), &error)) << error;
    EXPECT_EQ(counted(*second), kRounds * kBatches * kEvents);
}

TEST_P(StoreContract, RetentionDropsOldDaysAndExpiresTheirResends) {
    const std::string location = m_kind->Fresh();
    std::unique_ptr<Store> store = Open(location);
    ASSERT_TRUE(store);
    const int64_t now = NowMs();
    const int64_t day = server::kMsPerDay;
    // Days back by the client's clock; in PostgreSQL 5 days back has a
    // partition of its own and 40 days back is in the default one.
    struct Kept {
        int64_t daysBack;
        bool kept;
        std::string id;
    };
    std::vector<Kept> days = {
        {0, true, Id("d0")}, {2, true, Id("d2")}, {5, false, Id("d5")}, {40, false, Id("d40")}};
    for (const Kept& kept : days) {
        ASSERT_TRUE(
            store->StoreUpload(MakeUpload({{kept.id, now - kept.daysBack * day, 2}}), "key", now)
                .Stored());
    }
    EXPECT_EQ(Totals(*store).batches, 4);
    store.reset();

    StoreOptions options;
    options.retentionDays = 3;
    store = Open(location, options);
    ASSERT_TRUE(store);
    const StoreTotals totals = Totals(*store);
    EXPECT_EQ(totals.batches, 2);
    EXPECT_EQ(totals.events, 4);
    for (const Kept& kept : days) {
        const StoreOutcome outcome =
            store->StoreUpload(MakeUpload({{kept.id, now - kept.daysBack * day, 2}}), "key", now);
        ASSERT_TRUE(outcome.Stored()) << outcome.error;
        EXPECT_EQ(outcome.batchesDuplicate, kept.kept ? 1 : 0) << kept.daysBack;
        EXPECT_EQ(outcome.batchesExpired, kept.kept ? 0 : 1) << kept.daysBack;
        EXPECT_EQ(outcome.batchesNew, 0) << kept.daysBack;
    }
    EXPECT_EQ(Totals(*store).batches, 2);
}

// One event as the client sends it, with what the request parser reads of
// its payload.
UploadEvent Event(int64_t seq, int64_t receivedMs, const std::string& name,
                  const std::string& payload) {
    return {seq, receivedMs, name, payload, collector::RollupKeysOf(name, payload)};
}

Upload MakeAppUpload(const std::string& version, const std::string& installId,
                     const std::string& batchId, int64_t createdMs,
                     const std::vector<UploadEvent>& events) {
    Upload upload;
    upload.app = {"orvel", version, "desktop", "contract", installId};
    upload.batches.push_back({batchId, createdMs, events});
    return upload;
}

// Audit rows kept for `installId`, read the way an operator would.
int64_t AuditRows(const std::string& location, const std::string& installId) {
    const std::string count =
        "SELECT count(*) FROM deletions WHERE install_id = '" + installId + "'";
#ifdef TALLY_WITH_POSTGRES
    if (server::IsPostgresLocation(location)) {
        PGconn* conn = PQconnectdb(location.c_str());
        PGresult* result = PQexec(conn, count.c_str());
        const int64_t rows =
            PQresultStatus(result) == PGRES_TUPLES_OK ? std::atoll(PQgetvalue(result, 0, 0)) : -1;
        PQclear(result);
        PQfinish(conn);
        return rows;
    }
#endif
    sqlite3* db = nullptr;
    int64_t rows = -1;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open(location.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, count.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        rows = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::string RollupText(Store& store, const server::RollupQuery& query = {}) {
    std::vector<server::RollupRow> rows;
    std::string error;
    EXPECT_TRUE(store.Rollups(query, &rows, &error)) << error;
    std::string text;
    for (const server::RollupRow& row : rows) {
        text += row.day + " " + row.appVersion + " " + row.measure + " " + row.key + " " +
                std::to_string(row.value) + "\n";
    }
    return text;
}

TEST_P(StoreContract, RollupsCountEachNewEventOnItsOwnDayAndDeletionTakesOneShareBack) {
    const std::string location = m_kind->Fresh();
    std::unique_ptr<Store> store = Open(location);
    ASSERT_TRUE(store);
    const int64_t todayMs = server::DayOf(NowMs()) * server::kMsPerDay + 3600000;
    const int64_t yesterdayMs = todayMs - server::kMsPerDay;
    const std::string today = server::DayText(server::DayOf(todayMs)),
                      yesterday = server::DayText(server::DayOf(yesterdayMs));
    const std::string a = "1b4e28ba-2fa1-41d2-883f-0016d3cca427",
                      b = "6fa459ea-ee8a-4ca4-894e-db77e160355e";
    const std::string batchA = Id("ra"), batchB = Id("rb"), batchOld = Id("ro");
    const std::vector<UploadEvent> eventsA = {
        Event(1, todayMs, "user_device_info", R"({"os_version":"Windows 11","device_type":4})"),
        Event(2, todayMs, "device_remote_connect",
              R"({"is_success":"true","duration_level":"2","key_app_ver":"3.1.0"})"),
        // Values outside the documented ones count as events only.
        Event(3, todayMs, "device_remote_connect",
              R"({"is_success":"false","duration_level":"9"})"),
    };
    const std::vector<UploadEvent> eventsB = {
        Event(1, todayMs, "storage_heartbeat_fail_reconnect",
              R"({"is_success":"true","connect_mode":"KCP_3"})"),
        // Sent in today's batch, happened yesterday: counts yesterday.
        Event(2, yesterdayMs, "device_remote_connect",
              R"({"is_success":"true","duration_level":"5"})"),
    };
    const std::vector<UploadEvent> eventsOld = {
        Event(1, todayMs, "user_device_info", R"({"os_version":"Windows 10","device_type":7})"),
    };
    const Upload uploads[] = {
        MakeAppUpload("3.1.0", a, batchA, todayMs, eventsA),
        MakeAppUpload("3.1.0", b, batchB, todayMs, eventsB),
        // An older client names no installation.
        MakeAppUpload("3.0.0", "", batchOld, todayMs, eventsOld),
        // A resend changes nothing.
        MakeAppUpload("3.1.0", a, batchA, todayMs, eventsA),
    };
    for (const Upload& upload : uploads) {
        const StoreOutcome outcome = store->StoreUpload(upload, "key", NowMs());
        ASSERT_TRUE(outcome.Stored()) << outcome.error;
    }
    const std::string lateDay = yesterday + " 3.1.0 connections success 1\n" + yesterday +
                                " 3.1.0 duration_level 5 1\n" + yesterday +
                                " 3.1.0 events device_remote_connect 1\n" + yesterday +
                                " 3.1.0 installations  1\n";
    const std::string oldClient = today + " 3.0.0 device_type 7 1\n" + today +
                                  " 3.0.0 events user_device_info 1\n" + today +
                                  " 3.0.0 os Windows 10 1\n";
    const std::string heartbeatEvents =
        today + " 3.1.0 events storage_heartbeat_fail_reconnect 1\n";
    const std::string heartbeats = today + " 3.1.0 heartbeat_reconnections KCP_3 1\n";
    const std::string before = lateDay + oldClient + today + " 3.1.0 connections failure 1\n" +
                               today + " 3.1.0 connections success 1\n" + today +
                               " 3.1.0 device_type 4 1\n" + today + " 3.1.0 duration_level 2 1\n" +
                               today + " 3.1.0 events device_remote_connect 2\n" + heartbeatEvents +
                               today + " 3.1.0 events user_device_info 1\n" + heartbeats + today +
                               " 3.1.0 installations  2\n" + today + " 3.1.0 os Windows 11 1\n";
    EXPECT_EQ(RollupText(*store), before);
    EXPECT_EQ(RollupText(*store, {yesterday, yesterday}), lateDay);
    std::vector<server::RollupRow> rows;
    std::string error;
    EXPECT_FALSE(store->Rollups({"yesterday", ""}, &rows, &error));

    struct Step {
        const char* what;
        std::string installId;
        int64_t batches, events;
        std::string rollups;
        int64_t auditRows;
    };
    const std::string afterA =
        lateDay + oldClient + heartbeatEvents + heartbeats + today + " 3.1.0 installations  1\n";
    const Step steps[] = {
        {"delete a", a, 1, 3, afterA, 1},
        {"delete a again", a, 0, 0, afterA, 2},
        {"an installation never seen", "0f0e0d0c-0b0a-4908-8706-050403020100", 0, 0, afterA, 1},
    };
    for (const Step& step : steps) {
        const server::DeletionOutcome deleted = store->DeleteInstallation(step.installId, NowMs());
        ASSERT_TRUE(deleted.status == StoreStatus::Stored) << step.what << ": " << deleted.error;
        EXPECT_EQ(deleted.batches, step.batches) << step.what;
        EXPECT_EQ(deleted.events, step.events) << step.what;
        EXPECT_EQ(RollupText(*store), step.rollups) << step.what;
        EXPECT_EQ(AuditRows(location, step.installId), step.auditRows) << step.what;
    }
    // The other installations' batches and events stay, and a's batch, once
    // deleted, is new again if it is ever sent.
    const StoreTotals totals = Totals(*store);
    EXPECT_EQ(totals.batches, 2);
    EXPECT_EQ(totals.events, 3);
}

// The newest events deleted, before or after the rollups counted them: the
// rollups take back exactly their share, and what is stored next (where a
// store may hand out the deleted rows' places again) still counts.
TEST_P(StoreContract, RollupsCountWhatIsStoredAfterTheNewestEventsWereDeleted) {
    std::unique_ptr<Store> store = Open(m_kind->Fresh());
    ASSERT_TRUE(store);
    const int64_t now = NowMs();
    const std::string today = server::DayText(server::DayOf(now));
    const std::string kept = "1b4e28ba-2fa1-41d2-883f-0016d3cca427",
                      gone = "6fa459ea-ee8a-4ca4-894e-db77e160355e";
    auto store1 = [&](const std::string& installId, const std::string& batchId) {
        const StoreOutcome outcome = store->StoreUpload(
            MakeAppUpload("3.1.0", installId, batchId, now, {Event(1, now, "page_view", "{}")}),
            "key", now);
        EXPECT_TRUE(outcome.Stored()) << outcome.error;
    };
    auto counted = [&](int events, int installations) {
        return today + " 3.1.0 events page_view " + std::to_string(events) + "\n" + today +
               " 3.1.0 installations  " + std::to_string(installations) + "\n";
    };
    store1(kept, Id("k1"));
    EXPECT_EQ(RollupText(*store), counted(1, 1));
    store1(gone, Id("g1"));  // deleted before anything read the rollups
    EXPECT_EQ(store->DeleteInstallation(gone, now).events, 1);
    EXPECT_EQ(RollupText(*store), counted(1, 1));
    store1(kept, Id("k2"));
    store1(gone, Id("g2"));
    EXPECT_EQ(RollupText(*store), counted(3, 2));
    EXPECT_EQ(store->DeleteInstallation(gone, now).events, 1);  // after they counted
    store1(kept, Id("k3"));
    EXPECT_EQ(RollupText(*store), counted(3, 1));
}

// A file an older collector made has batches without an installation: it
// opens, keeps what it had, and takes new uploads with their rollups.
TEST(SqliteStore, AFileFromBeforeInstallIdsOpensAndCountsRollups) {
    SqliteKind kind;
    const std::string location = kind.Fresh();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db,
                     "CREATE TABLE batches(batch_id TEXT NOT NULL UNIQUE, created_ms INTEGER, "
                     "received_ms INTEGER NOT NULL, idempotency_key TEXT, events INTEGER NOT "
                     "NULL, duplicates INTEGER NOT NULL DEFAULT 0, appid TEXT, appversion "
                     "TEXT, device_type TEXT, tag TEXT);"
                     "INSERT INTO batches(batch_id, received_ms, events) VALUES('old', 1, 0);",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    std::unique_ptr<Store> store = server::OpenStore(location, StoreOptions(), &error);
    ASSERT_TRUE(store) << error;
    const int64_t now = NowMs();
    const std::string id = "6fa459ea-ee8a-4ca4-894e-db77e160355e";
    ASSERT_TRUE(store
                    ->StoreUpload(MakeAppUpload("3.1.0", id, Id("new"), now,
                                                {Event(1, now, "page_view", "{}")}),
                                  "key", now)
                    .Stored());
    const std::string today = server::DayText(server::DayOf(now));
    EXPECT_EQ(RollupText(*store),
              today + " 3.1.0 events page_view 1\n" + today + " 3.1.0 installations  1\n");
    EXPECT_EQ(store->DeleteInstallation(id, now).batches, 1);
    StoreTotals totals;
    ASSERT_TRUE(store->Totals(&totals, &error)) << error;
    EXPECT_EQ(totals.batches, 1);
}

TEST_P(StoreContract, AnUnavailableDatabaseIsReportedAndTheStoreComesBackByItself) {
    const std::string location = m_kind->Fresh();
    StoreOptions options;
    options.waitMs = 300;
    std::unique_ptr<Store> store = Open(location, options);
    ASSERT_TRUE(store);
    const std::string early = Id("early"), during = Id("during");
    ASSERT_TRUE(store->StoreUpload(MakeUpload({{early, NowMs(), 1}}), "key", NowMs()).Stored());

    // An outage while the store was idle: whatever it held open from before
    // is gone, and the first request after it must not notice.
    m_kind->BeginOutage(location);
    m_kind->EndOutage();
    const StoreOutcome after =
        store->StoreUpload(MakeUpload({{early, NowMs(), 1}}), "key", NowMs());
    EXPECT_TRUE(after.Stored()) << after.error;
    EXPECT_EQ(after.batchesDuplicate, 1);

    m_kind->BeginOutage(location);
    const auto started = std::chrono::steady_clock::now();
    const StoreOutcome refused =
        store->StoreUpload(MakeUpload({{during, NowMs(), 2}}), "key", NowMs());
    EXPECT_EQ(refused.status, StoreStatus::Unavailable) << refused.error;
    EXPECT_EQ(refused.batchesNew, 0);
    // The log is best effort and must not hang on a database that is gone.
    store->LogRequest(server::RequestRecord());
    const server::DeletionOutcome deletion =
        store->DeleteInstallation("0f0e0d0c-0b0a-4908-8706-050403020100", NowMs());
    EXPECT_EQ(deletion.status, StoreStatus::Unavailable) << deletion.error;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    m_kind->EndOutage();

    const StoreOutcome stored =
        store->StoreUpload(MakeUpload({{during, NowMs(), 2}, {early, NowMs(), 1}}), "key", NowMs());
    ASSERT_TRUE(stored.Stored()) << stored.error;
    EXPECT_EQ(stored.batchesNew, 1);
    EXPECT_EQ(stored.batchesDuplicate, 1);
    EXPECT_EQ(Totals(*store).events, 3);
}

#ifdef TALLY_WITH_POSTGRES
// PostgreSQL only: SQLite writes one request at a time and has no groups.
TEST(PostgresStore, RequestsArrivingTogetherShareOneTransactionAnsweredAfterItsCommit) {
    ASSERT_NE(g_postgres, nullptr) << g_postgresError;
    std::string error;
    const std::string uri = g_postgres->CreateDatabase("grouped", &error);
    ASSERT_FALSE(uri.empty()) << error;
    // One connection: the first request's transaction holds it, so all
    // that arrive meanwhile must wait for the next.
    StoreOptions options;
    options.connections = 1;
    std::unique_ptr<Store> store = server::OpenStore(uri, options, &error);
    ASSERT_TRUE(store) << error;

    // Another session holds the table, so the first request's transaction
    // waits inside the database while the others arrive behind it.
    PGconn* blocker = PQconnectdb(uri.c_str());
    ASSERT_EQ(PQstatus(blocker), CONNECTION_OK) << PQerrorMessage(blocker);
    PQclear(PQexec(blocker, "BEGIN; LOCK TABLE batches IN SHARE MODE"));

    constexpr int kRequests = 6;
    std::vector<StoreOutcome> outcomes(kRequests);
    std::vector<std::chrono::steady_clock::time_point> answered(kRequests);
    std::vector<std::thread> senders;
    for (int i = 0; i < kRequests; ++i) {
        senders.emplace_back([&, i] {
            outcomes[i] = store->StoreUpload(MakeUpload({{Id("g"), NowMs(), 2}}), "k", NowMs());
            answered[i] = std::chrono::steady_clock::now();
        });
        // The first leads; the rest queue behind it.
        if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto released = std::chrono::steady_clock::now();
    PQclear(PQexec(blocker, "COMMIT"));
    for (std::thread& sender : senders) sender.join();

    for (int i = 0; i < kRequests; ++i) {
        EXPECT_TRUE(outcomes[i].Stored()) << i << ": " << outcomes[i].error;
        EXPECT_EQ(outcomes[i].batchesNew, 1) << i;
        EXPECT_GE(answered[i], released) << i << " was answered before anything could commit";
    }
    // Rows one transaction wrote share its id (xmin): the first request's,
    // then one for all that queued behind it.
    PGresult* transactions = PQexec(blocker, "SELECT count(DISTINCT xmin::text) FROM batches");
    EXPECT_STREQ(PQgetvalue(transactions, 0, 0), "2");
    PQclear(transactions);
    PQfinish(blocker);
}
#endif

std::vector<std::string> Stores() {
    std::vector<std::string> stores = {"sqlite"};
    if (server::PostgresAvailable()) stores.push_back("postgresql");
    return stores;
}

INSTANTIATE_TEST_SUITE_P(EachStore, StoreContract, ::testing::ValuesIn(Stores()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace testing
}  // namespace tally

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef TALLY_WITH_POSTGRES
    tally::testing::PostgresInstance postgres;
    if (postgres.Start(&tally::testing::g_postgresError)) tally::testing::g_postgres = &postgres;
#endif
    return RUN_ALL_TESTS();
}
