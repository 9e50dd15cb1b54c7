#include "postgres_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "collector_request.h"
#include "rollup_share.h"
#include "store_days.h"

namespace tally {
namespace server {
namespace {

using collector::IsStorableText;
using collector::Upload;
using collector::UploadBatch;
using collector::UploadEvent;
using Clock = std::chrono::steady_clock;

// Schema changes, applied in order at start by whichever collector gets
// there first; schema_version says how far a database is. A released step
// is never edited: a change is a new step.
//
// Both data tables are partitioned by the batch's day by the client's
// clock, so the primary key can include it (PostgreSQL requires the
// partition key in every unique key) and a resend always meets its first
// copy in the same partition. Retention drops whole partitions. A DEFAULT
// partition takes the days no partition was made for (clocks far off), and
// still deduplicates them. Events were appended behind a batch that was just
// claimed and had no index until deletions needed one (migration 2).
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE batches(
  created_day date NOT NULL,
  batch_id text NOT NULL,
  created_ms bigint NOT NULL,
  received_ms bigint NOT NULL,
  idempotency_key text,
  events integer NOT NULL,
  duplicates integer NOT NULL DEFAULT 0,
  appid text, appversion text, device_type text, tag text,
  PRIMARY KEY (created_day, batch_id)
) PARTITION BY RANGE (created_day);
CREATE TABLE batches_default PARTITION OF batches DEFAULT;
CREATE TABLE events(
  created_day date NOT NULL,
  batch_id text NOT NULL,
  seq bigint NOT NULL,
  received_ms bigint NOT NULL,
  name text NOT NULL,
  payload text NOT NULL
) PARTITION BY RANGE (created_day);
CREATE TABLE events_default PARTITION OF events DEFAULT;
CREATE TABLE requests(
  id bigserial PRIMARY KEY,
  idempotency_key text,
  attempt bigint,
  upload_time_ms bigint,
  receive_ms bigint NOT NULL,
  user_agent text,
  status integer NOT NULL,
  batches_new integer NOT NULL,
  batches_duplicate integer NOT NULL,
  events_new integer NOT NULL,
  wire_bytes bigint,
  body_bytes bigint NOT NULL,
  error text);
CREATE INDEX requests_receive_ms ON requests(receive_ms);
)sql",
    // The fleet view: batches name their installation, and daily rollups
    // live in small tables of their own, outside the partitions, so that
    // dropping a day of raw data keeps its numbers. Every upload of a day
    // adds to the same few rollup cells, and a row updated stays locked until
    // its transaction's commit has reached the disk: so each cell is split
    // into shards, one per transaction in turn, and transactions running
    // side by side rarely wait for each other. A cell's value is the sum of
    // its shards. Deleting an installation finds its batches, and their
    // events, by index (without it, a deletion reads every stored event) and
    // leaves an audit row.
    R"sql(
ALTER TABLE batches ADD COLUMN install_id text;
CREATE INDEX batches_install_id ON batches(install_id);
CREATE INDEX events_batch_id ON events(batch_id);
CREATE TABLE rollups(
  day date NOT NULL,
  appversion text NOT NULL,
  measure text NOT NULL,
  key text NOT NULL,
  shard smallint NOT NULL,
  value bigint NOT NULL,
  PRIMARY KEY (day, appversion, measure, key, shard));
CREATE TABLE rollup_installations(
  day date NOT NULL,
  appversion text NOT NULL,
  install_id text NOT NULL,
  PRIMARY KEY (day, appversion, install_id));
CREATE INDEX rollup_installations_install ON rollup_installations(install_id);
CREATE TABLE deletions(
  id bigserial PRIMARY KEY,
  install_id text NOT NULL,
  deleted_ms bigint NOT NULL,
  batches bigint NOT NULL,
  events bigint NOT NULL);
)sql",
    // Rollups cost ingest almost nothing: a transaction appends one row
    // holding its sums, cell by cell in arrays, and its installations' days
    // to a table without an index or a key, which no other transaction
    // waits on and whose single-row insert is the cheapest statement to
    // plan; a fold (one transaction, under an advisory lock) moves them
    // into the rollups from time to time. Readers add what is not folded
    // yet, so they are exact at any instant. The shards are folded into one
    // row per cell: only the fold updates the rollups now, one at a time.
    R"sql(
CREATE TABLE rollup_deltas(
  days date[] NOT NULL,
  appversions text[] NOT NULL,
  measures text[] NOT NULL,
  keys text[] NOT NULL,
  vals bigint[] NOT NULL,
  install_days date[] NOT NULL,
  install_versions text[] NOT NULL,
  install_ids text[] NOT NULL);
CREATE TABLE rollup_cells(
  day date NOT NULL,
  appversion text NOT NULL,
  measure text NOT NULL,
  key text NOT NULL,
  value bigint NOT NULL,
  PRIMARY KEY (day, appversion, measure, key));
INSERT INTO rollup_cells SELECT day, appversion, measure, key, sum(value) FROM rollups
  GROUP BY day, appversion, measure, key HAVING sum(value) > 0;
DROP TABLE rollups;
ALTER TABLE rollup_cells RENAME TO rollups;
ALTER TABLE rollups RENAME CONSTRAINT rollup_cells_pkey TO rollups_pkey;
)sql",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

// Serialises schema changes and partition maintenance between collectors
// that share a database; any constant unlikely to be used by others.
constexpr const char* kMaintenanceLock = "SELECT pg_advisory_xact_lock(7311240519)";

// Days without retention for which partitions are made behind today: a
// client's backlog is mostly that young. Older days go to DEFAULT.
constexpr int64_t kDaysBehind = 7;
// Days made ahead, so that a partition exists before its first batch (one
// cannot be made for a day DEFAULT already holds rows of).
constexpr int64_t kDaysAhead = 3;

// Serialises folds of the rollup deltas between collectors.
constexpr const char* kFoldLock = "SELECT pg_advisory_xact_lock(7311240520)";
constexpr const char* kTryFoldLock = "SELECT pg_try_advisory_xact_lock(7311240520)";

// An upload folds the deltas once this many cells (and installations' days)
// were appended by this collector since its last fold, or once this long has
// passed with some appended: the deltas a reader adds stay few.
constexpr int64_t kFoldRows = 20000;
constexpr auto kFoldInterval = std::chrono::seconds(10);

// Requests one transaction takes at most: bounds its size (50 batches and
// 500 events each) and how long the last of them waits.
constexpr size_t kMaxGroup = 32;

// The claim of a group's batches, prepared once on each connection: under a
// fleet of small uploads its parsing and planning cost the database nearly
// as much as running it.
constexpr const char* kClaimStatement = "claim";
constexpr const char* kClaimSql =
    "INSERT INTO batches(created_day, batch_id, created_ms, received_ms, idempotency_key, "
    "events, appid, appversion, device_type, tag, install_id) "
    "SELECT d, b, c, r, k, n, a, v, t, g, nullif(i, '') FROM unnest($1::date[], $2::text[], "
    "$3::bigint[], $4::bigint[], $5::text[], $6::integer[], $7::text[], $8::text[], "
    "$9::text[], $10::text[], $11::text[]) "
    "AS u(d, b, c, r, k, n, a, v, t, g, i) ORDER BY d, b "
    "ON CONFLICT DO NOTHING RETURNING created_day::text, batch_id";

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Whether an error is one the database recovers from by itself (it is down,
// restarting, overloaded, a lock or statement waited too long, two
// transactions collided): the client is then told to retry, not that its
// data is bad.
StoreStatus StatusOf(PGconn* conn, const PGresult* result) {
    if (PQstatus(conn) != CONNECTION_OK) return StoreStatus::Unavailable;
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (state == nullptr) return StoreStatus::Unavailable;
    const std::string code = state;
    const std::string group = code.substr(0, 2);
    if (group == "08" || group == "40" || group == "53" || group == "57" || group == "58" ||
        code == "55P03" || code == "55006") {
        return StoreStatus::Unavailable;
    }
    return StoreStatus::Failed;
}

std::string ErrorOf(PGconn* conn) {
    std::string text = PQerrorMessage(conn);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "database error" : text;
}

// One line of COPY's text format: tabs between columns, and the four
// characters that format gives a meaning escaped.
void AppendCopyField(const std::string& text, std::string* out) {
    for (const char c : text) {
        switch (c) {
            case '\\':
                out->append("\\\\");
                break;
            case '\t':
                out->append("\\t");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            default:
                out->push_back(c);
        }
    }
}

// An array literal for a text[] parameter: every element quoted.
std::string ArrayLiteral(const std::vector<std::string>& items) {
    std::string out = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out.push_back(',');
        out.push_back('"');
        for (const char c : items[i]) {
            if (c == '"' || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        out.push_back('"');
    }
    out.push_back('}');
    return out;
}

class Connection {
  public:
    explicit Connection(PGconn* conn) : m_conn(conn) {}
    PGconn* Get() const { return m_conn; }

    Result Exec(const char* sql) { return Result(PQexec(m_conn, sql)); }
    Result Params(const char* sql, const std::vector<const char*>& values) {
        return Result(PQexecParams(m_conn, sql, static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0));
    }
    static bool Ok(const Result& result) {
        const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }

  private:
    PGconn* m_conn;
};

class PostgresStore : public Store {
  public:
    PostgresStore(std::string uri, const StoreOptions& options)
        : m_uri(std::move(uri)), m_options(options) {}
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    bool Migrate(std::string* error);

    StoreOutcome StoreUpload(const Upload& upload, const std::string& idempotencyKey,
                             int64_t nowMs) override;
    void LogRequest(const RequestRecord& record) override;
    bool Maintain(int64_t nowMs, std::string* error) override;
    bool Show(std::ostream& out, int eventLimit, std::string* error) override;
    bool Totals(StoreTotals* totals, std::string* error) override;
    bool Rollups(const RollupQuery& query, std::vector<RollupRow>* rows,
                 std::string* error) override;
    DeletionOutcome DeleteInstallation(const std::string& installId, int64_t nowMs) override;

  private:
    using Key = std::pair<std::string, std::string>;  // created_day, batch_id

    // One request waiting for (or in) a group's transaction.
    struct Pending {
        const Upload* upload = nullptr;
        const std::string* idempotencyKey = nullptr;
        std::string received;  // the collector's clock, ms
        // Its batches to claim, each once, and how often each was named again.
        std::map<Key, const UploadBatch*> candidates;
        std::map<Key, int> repeats;
        StoreOutcome outcome;
        bool done = false;
    };

    void StoreGroup(const std::vector<Pending*>& group);

    // A connection from the pool, handed back (or closed when broken) when
    // it goes.
    class Lease {
      public:
        Lease(PostgresStore* store, PGconn* conn, bool reused = false)
            : m_store(store), m_conn(conn), m_reused(reused) {}
        ~Lease() {
            if (m_conn) m_store->Release(m_conn);
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        explicit operator bool() const { return m_conn != nullptr; }
        Connection operator*() const { return Connection(m_conn); }
        PGconn* Get() const { return m_conn; }
        // Lent from the pool rather than connected for this call.
        bool Reused() const { return m_reused; }

      private:
        PostgresStore* m_store;
        PGconn* m_conn;
        bool m_reused;
    };

    Lease Acquire(std::string* error);
    void Release(PGconn* conn);
    PGconn* Connect(std::string* error) const;
    StoreOutcome Fail(PGconn* conn, const PGresult* result);
    void TryGroup(const std::vector<Pending*>& group, const Lease& lease);
    // Prepares the statements of an upload on `conn` unless done before;
    // false when the database refused (the connection's error says why).
    bool Prepare(PGconn* conn);
    static void FailGroup(const std::vector<Pending*>& group, StoreStatus status,
                          const std::string& error);
    // Folds the rollup deltas in a transaction of its own, unless another
    // fold (of any collector) is running, which does the same work.
    bool Fold(std::string* error);
    // Folds when enough deltas were appended, or enough time has passed;
    // at most one fold of this collector at a time.
    void FoldWhenDue();

    const std::string m_uri;
    const StoreOptions m_options;

    // Guards the pool only; no database call is made under it.
    std::mutex m_poolMutex;
    std::condition_variable m_poolFree;
    std::vector<PGconn*> m_idle;
    int m_open = 0;                // connections idle or lent out
    std::set<PGconn*> m_prepared;  // connections open with the statements prepared

    // Guards the queue of requests and who leads the next group; no
    // database call is made under it either.
    std::mutex m_groupMutex;
    std::condition_variable m_groupDone;
    std::deque<Pending*> m_queue;
    int m_leaders = 0;  // transactions of groups running

    // Delta cells this collector appended since its last fold, and when that
    // was (steady clock, ns); a fold of this collector running.
    std::atomic<int64_t> m_unfolded{0};
    std::atomic<int64_t> m_lastFoldNs{0};
    std::atomic<bool> m_folding{false};

    // The request log's rows waiting for the next INSERT, and who writes
    // it; no database call is made under this lock either.
    void WriteLogRows(const std::vector<const RequestRecord*>& rows);
    std::mutex m_logMutex;
    std::condition_variable m_logDone;
    std::vector<const RequestRecord*> m_logQueue;
    uint64_t m_logQueued = 0;   // rows queued since the start
    uint64_t m_logWritten = 0;  // of those, the rows whose INSERT is over
    bool m_logWriting = false;
};

PostgresStore::~PostgresStore() {
    for (PGconn* conn : m_idle) PQfinish(conn);
}

PGconn* PostgresStore::Connect(std::string* error) const {
    // libpq's connect_timeout is in whole seconds, at least 2.
    const std::string connectTimeout = std::to_string(std::max(2, (m_options.waitMs + 999) / 1000));
    // A statement or a lock that waits longer than a request may is cut off,
    // so that a slow database answers 503 instead of holding clients.
    const std::string settings = "-c statement_timeout=" + std::to_string(m_options.waitMs) +
                                 " -c lock_timeout=" + std::to_string(m_options.waitMs) +
                                 " -c idle_in_transaction_session_timeout=60000";
    const char* keywords[] = {"dbname",           "connect_timeout", "options",
                              "application_name", "client_encoding", nullptr};
    const char* values[] = {m_uri.c_str(),    connectTimeout.c_str(),
                            settings.c_str(), "tally-collector",
                            "UTF8",           nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (conn != nullptr && PQstatus(conn) == CONNECTION_OK) {
        // Notices ("already exists, skipping") are not for the collector's output.
        PQsetNoticeProcessor(
            conn, [](void*, const char*) {}, nullptr);
        return conn;
    }
    *error = conn ? ErrorOf(conn) : "out of memory";
    PQfinish(conn);
    return nullptr;
}

PostgresStore::Lease PostgresStore::Acquire(std::string* error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_options.waitMs);
    std::unique_lock<std::mutex> lock(m_poolMutex);
    for (;;) {
        if (!m_idle.empty()) {
            PGconn* conn = m_idle.back();
            m_idle.pop_back();
            return Lease(this, conn, true);
        }
        if (m_open < m_options.connections) break;
        if (!m_poolFree.wait_until(lock, deadline, [this] {
                return !m_idle.empty() || m_open < m_options.connections;
            })) {
            *error = "no database connection free in time";
            return Lease(this, nullptr);
        }
    }
    ++m_open;
    lock.unlock();
    PGconn* conn = Connect(error);
    if (conn == nullptr) {
        lock.lock();
        --m_open;
        m_poolFree.notify_one();
    }
    return Lease(this, conn);
}

void PostgresStore::Release(PGconn* conn) {
    // A connection the server closed, or left inside a transaction by an
    // error we could not roll back, is not lent again: the next request opens
    // a fresh one, which is how the store comes back after an outage.
    const bool reusable =
        PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE;
    if (!reusable) PQfinish(conn);
    std::lock_guard<std::mutex> lock(m_poolMutex);
    if (reusable) {
        m_idle.push_back(conn);
    } else {
        m_prepared.erase(conn);  // the address may come back for a new connection
        --m_open;
    }
    m_poolFree.notify_one();
}

bool PostgresStore::Prepare(PGconn* conn) {
    {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        if (m_prepared.count(conn) > 0) return true;
    }
    const Result prepared(PQprepare(conn, kClaimStatement, kClaimSql, 0, nullptr));
    if (!Connection::Ok(prepared)) return false;
    std::lock_guard<std::mutex> lock(m_poolMutex);
    m_prepared.insert(conn);
    return true;
}

StoreOutcome PostgresStore::Fail(PGconn* conn, const PGresult* result) {
    StoreOutcome outcome;
    outcome.status = StatusOf(conn, result);
    outcome.error = ErrorOf(conn);
    if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) != PQTRANS_IDLE) {
        Result rollback(PQexec(conn, "ROLLBACK"));
    }
    return outcome;
}

// Ends a failed schema or maintenance transaction: the database's reason,
// after `what`, in `*error`, and the transaction rolled back. Answers false.
bool Abandon(Connection& db, const char* what, std::string* error) {
    *error = what + ErrorOf(db.Get());
    Result rollback = db.Exec("ROLLBACK");
    return false;
}

// A text[]-style array literal as an SQL literal, cast to `type`.
std::string QuotedArray(PGconn* conn, const std::vector<std::string>& items, const char* type) {
    const std::string literal = ArrayLiteral(items);
    char* quoted = PQescapeLiteral(conn, literal.data(), literal.size());
    if (quoted == nullptr) return std::string();
    std::string sql = std::string(quoted) + "::" + type;
    PQfreemem(quoted);
    return sql;
}

// The statement that appends `deltas` and the installations' days as one
// row of the table the fold empties, ending in ';', with the values inlined
// so that the caller can send it in one round trip with its COMMIT; empty
// when there is nothing to add, or when the connection could not quote them
// (`*error` then). A single-row insert into a table without a key is planned
// and run in a fraction of what an upsert per cell cost (measured alone:
// about 25 µs against 170), and waits on no other transaction's rows.
std::string DeltaStatement(PGconn* conn, const RollupDeltas& deltas,
                           const InstallationDays& installations, bool* error) {
    *error = false;
    if (deltas.empty() && installations.empty()) return std::string();
    std::vector<std::string> days, versions, measures, keys, values;
    for (const auto& delta : deltas) {
        days.push_back(std::get<0>(delta.first));
        versions.push_back(std::get<1>(delta.first));
        measures.push_back(std::get<2>(delta.first));
        keys.push_back(std::get<3>(delta.first));
        values.push_back(std::to_string(delta.second));
    }
    std::vector<std::string> installDays, installVersions, installIds;
    for (const auto& day : installations) {
        installDays.push_back(std::get<0>(day));
        installVersions.push_back(std::get<1>(day));
        installIds.push_back(std::get<2>(day));
    }
    const std::string parts[] = {QuotedArray(conn, days, "date[]"),
                                 QuotedArray(conn, versions, "text[]"),
                                 QuotedArray(conn, measures, "text[]"),
                                 QuotedArray(conn, keys, "text[]"),
                                 QuotedArray(conn, values, "bigint[]"),
                                 QuotedArray(conn, installDays, "date[]"),
                                 QuotedArray(conn, installVersions, "text[]"),
                                 QuotedArray(conn, installIds, "text[]")};
    std::string sql = "INSERT INTO rollup_deltas VALUES(";
    for (const std::string& part : parts) {
        if (part.empty()) {
            *error = true;
            return std::string();
        }
        if (&part != parts) sql += ", ";
        sql += part;
    }
    return sql + ");";
}

// The cells and the installations' days of the delta rows `rows` (a table
// or a CTE with rollup_deltas' columns).
std::string DeltaCells(const char* rows) {
    return std::string("SELECT c.* FROM ") + rows +
           " t, unnest(t.days, t.appversions, t.measures, t.keys, t.vals) "
           "AS c(day, appversion, measure, key, value)";
}
std::string DeltaInstallations(const char* rows) {
    return std::string("SELECT c.* FROM ") + rows +
           " t, unnest(t.install_days, t.install_versions, t.install_ids) "
           "AS c(day, appversion, install_id)";
}

// Moves every committed delta into the rollups and the installations'
// days; inside the caller's transaction, which holds the fold lock. One
// statement, so a reader (one snapshot) sees a delta either still appended
// or folded, never both. The cells are written in key order, as every fold
// does. A cell that falls to zero or below (a deletion's share) is removed,
// so a deleted installation leaves no key of its own behind.
bool FoldDeltas(Connection& db) {
    const std::string sql =
        "WITH t AS (DELETE FROM rollup_deltas RETURNING *), d AS (" + DeltaCells("t") +
        "), u AS (INSERT INTO rollups AS r(day, appversion, measure, key, value) "
        "SELECT day, appversion, measure, key, sum(value) FROM d GROUP BY 1, 2, 3, 4 "
        "ORDER BY 1, 2, 3, 4 ON CONFLICT (day, appversion, measure, key) DO UPDATE "
        "SET value = r.value + excluded.value RETURNING r.value), "
        "i AS (" +
        DeltaInstallations("t") +
        "), j AS (INSERT INTO rollup_installations(day, appversion, install_id) "
        "SELECT DISTINCT day, appversion, install_id FROM i ORDER BY 1, 2, 3 "
        "ON CONFLICT DO NOTHING) "
        "SELECT count(*) FROM u WHERE value <= 0";
    const Result folded = db.Exec(sql.c_str());
    if (!Connection::Ok(folded)) return false;
    if (std::atoll(PQgetvalue(folded.get(), 0, 0)) == 0) return true;
    return Connection::Ok(db.Exec("DELETE FROM rollups WHERE value <= 0"));
}

bool PostgresStore::Migrate(std::string* error) {
    Lease lease = Acquire(error);
    if (!lease) return false;
    Connection db = *lease;
    auto failed = [&] { return Abandon(db, "schema migration: ", error); };
    if (!Connection::Ok(db.Exec("BEGIN")) || !Connection::Ok(db.Exec(kMaintenanceLock)) ||
        !Connection::Ok(db.Exec("CREATE TABLE IF NOT EXISTS schema_version("
                                "version integer PRIMARY KEY, "
                                "applied_at timestamptz NOT NULL DEFAULT now())"))) {
        return failed();
    }
    const Result current = db.Exec("SELECT coalesce(max(version), 0) FROM schema_version");
    if (!Connection::Ok(current)) return failed();
    const int version = std::atoi(PQgetvalue(current.get(), 0, 0));
    if (version > kSchemaVersion) {
        *error = "the database's schema is version " + std::to_string(version) +
                 ", newer than this collector's " + std::to_string(kSchemaVersion);
        Result rollback = db.Exec("ROLLBACK");
        return false;
    }
    for (int step = version + 1; step <= kSchemaVersion; ++step) {
        const std::string number = std::to_string(step);
        if (!Connection::Ok(db.Exec(kMigrations[step - 1])) ||
            !Connection::Ok(
                db.Params("INSERT INTO schema_version(version) VALUES($1)", {number.c_str()}))) {
            return failed();
        }
    }
    if (!Connection::Ok(db.Exec("COMMIT"))) return failed();
    return true;
}

StoreOutcome PostgresStore::StoreUpload(const Upload& upload, const std::string& idempotencyKey,
                                        int64_t nowMs) {
    Pending job;
    job.upload = &upload;
    job.idempotencyKey = &idempotencyKey;
    job.received = std::to_string(nowMs);
    const int64_t firstKeptDay = m_options.retentionDays > 0
                                     ? DayOf(nowMs) - m_options.retentionDays
                                     : std::numeric_limits<int64_t>::min();
    for (const UploadBatch& batch : upload.batches) {
        // Checked here, before the request joins others in a transaction:
        // text the database would refuse must not fail the whole group.
        if (!IsStorableText(batch.batchId)) {
            job.outcome.status = StoreStatus::Failed;
            job.outcome.error = "a batch_id is not UTF-8 or holds a NUL";
            return job.outcome;
        }
        for (const UploadEvent& event : batch.events) {
            if (!IsStorableText(event.name) || !IsStorableText(event.payload)) {
                job.outcome.status = StoreStatus::Failed;
                job.outcome.error = "an event's text is not UTF-8 or holds a NUL";
                return job.outcome;
            }
        }
        const int64_t day = DayOf(batch.createdMs);
        if (day < firstKeptDay) {
            ++job.outcome.batchesExpired;
            continue;
        }
        Key key{DayText(day), batch.batchId};
        // A batch named twice in one request is stored once, as a resend.
        if (!job.candidates.emplace(key, &batch).second) ++job.repeats[key];
    }
    if (!IsStorableText(idempotencyKey) || !IsStorableText(upload.app.appid) ||
        !IsStorableText(upload.app.appversion) || !IsStorableText(upload.app.deviceType) ||
        !IsStorableText(upload.app.tag)) {
        job.outcome.status = StoreStatus::Failed;
        job.outcome.error = "a request field is not UTF-8 or holds a NUL";
        return job.outcome;
    }
    if (job.candidates.empty()) {
        job.outcome.status = StoreStatus::Stored;
        return job.outcome;
    }

    // Group commit: a request leads a transaction of its own while fewer
    // than `transactions` are running; once they all are, requests arriving
    // wait and the next to end takes them all into one, so one claim, one
    // COPY and one commit (and its flush to disk) serve them all. A request
    // that finds room goes at once and waits on no timer.
    std::unique_lock<std::mutex> lock(m_groupMutex);
    m_queue.push_back(&job);
    while (!job.done) {
        // The queue may hold only requests another leader has not taken
        // yet; one of them, or this one, leads as soon as it may.
        if (m_leaders >= std::min(m_options.transactions, m_options.connections) ||
            m_queue.empty()) {
            m_groupDone.wait(lock);
            continue;
        }
        ++m_leaders;
        std::vector<Pending*> group;
        while (!m_queue.empty() && group.size() < kMaxGroup) {
            group.push_back(m_queue.front());
            m_queue.pop_front();
        }
        lock.unlock();
        StoreGroup(group);
        lock.lock();
        for (Pending* member : group) member->done = true;
        --m_leaders;
        m_groupDone.notify_all();
    }
    lock.unlock();
    FoldWhenDue();
    return job.outcome;
}

void PostgresStore::FoldWhenDue() {
    const int64_t unfolded = m_unfolded.load();
    if (unfolded == 0) return;
    const int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    const int64_t interval =
        std::chrono::duration_cast<std::chrono::nanoseconds>(kFoldInterval).count();
    if (unfolded < kFoldRows && now - m_lastFoldNs.load() < interval) return;
    if (m_folding.exchange(true)) return;
    m_unfolded -= unfolded;
    m_lastFoldNs = now;
    std::string error;
    // A fold that failed is tried again by a later upload; readers add what
    // is not folded, so nothing is lost or miscounted meanwhile.
    if (!Fold(&error)) m_unfolded += unfolded;
    m_folding = false;
}

bool PostgresStore::Fold(std::string* error) {
    Lease lease = Acquire(error);
    if (!lease) return false;
    Connection db = *lease;
    if (!Connection::Ok(db.Exec("BEGIN"))) return Abandon(db, "fold: ", error);
    const Result locked = db.Exec(kTryFoldLock);
    if (!Connection::Ok(locked)) return Abandon(db, "fold: ", error);
    if (PQgetvalue(locked.get(), 0, 0)[0] != 't') {
        Result rollback = db.Exec("ROLLBACK");
        return true;
    }
    if (!FoldDeltas(db) || !Connection::Ok(db.Exec("COMMIT"))) return Abandon(db, "fold: ", error);
    return true;
}

// Every request of a group gets the same verdict; what a request's own
// thread decided before (expired batches) stays.
void PostgresStore::FailGroup(const std::vector<Pending*>& group, StoreStatus status,
                              const std::string& error) {
    for (Pending* job : group) {
        const int expired = job->outcome.batchesExpired;
        job->outcome = StoreOutcome();
        job->outcome.status = status;
        job->outcome.error = error;
        job->outcome.batchesExpired = expired;
    }
}

void PostgresStore::StoreGroup(const std::vector<Pending*>& group) {
    for (int attempt = 0;; ++attempt) {
        std::string error;
        Lease lease = Acquire(&error);
        if (!lease) return FailGroup(group, StoreStatus::Unavailable, error);
        TryGroup(group, lease);
        // A pooled connection the server closed while it sat idle (a restart,
        // a fail-over) says nothing about the server now: the group goes
        // again on the next one, and on a fresh one at the latest. Safe even
        // after a COMMIT whose answer was lost: its batches are then found
        // claimed and answered as duplicates.
        const bool stale = lease.Reused() && PQstatus(lease.Get()) != CONNECTION_OK;
        if (!stale || attempt >= m_options.connections) return;
    }
}

void PostgresStore::TryGroup(const std::vector<Pending*>& group, const Lease& lease) {
    auto fail = [&group](StoreStatus status, const std::string& error) {
        FailGroup(group, status, error);
    };
    Connection db = *lease;
    auto failWith = [&](const PGresult* result) {
        const StoreOutcome outcome = Fail(lease.Get(), result);
        fail(outcome.status, outcome.error);
    };

    // Every batch of the group once, owned by the first request that names
    // it; claimed in key order (the map's), so that transactions sharing
    // batches wait for each other instead of deadlocking.
    std::map<Key, Pending*> owners;
    for (Pending* job : group) {
        for (const auto& candidate : job->candidates) owners.emplace(candidate.first, job);
    }
    std::vector<std::string> days, ids, createdMs, eventCounts, received, keys, appids, appversions,
        deviceTypes, tags, installIds;
    for (const auto& owner : owners) {
        const UploadBatch& batch = *owner.second->candidates.at(owner.first);
        const Upload& upload = *owner.second->upload;
        days.push_back(owner.first.first);
        ids.push_back(owner.first.second);
        createdMs.push_back(std::to_string(batch.createdMs));
        eventCounts.push_back(std::to_string(batch.events.size()));
        received.push_back(owner.second->received);
        keys.push_back(*owner.second->idempotencyKey);
        appids.push_back(upload.app.appid);
        appversions.push_back(upload.app.appversion);
        deviceTypes.push_back(upload.app.deviceType);
        tags.push_back(upload.app.tag);
        installIds.push_back(upload.app.installId);
    }
    const std::string arrays[] = {
        ArrayLiteral(days),        ArrayLiteral(ids),         ArrayLiteral(createdMs),
        ArrayLiteral(eventCounts), ArrayLiteral(received),    ArrayLiteral(keys),
        ArrayLiteral(appids),      ArrayLiteral(appversions), ArrayLiteral(deviceTypes),
        ArrayLiteral(tags),        ArrayLiteral(installIds)};
    // In the order of the claim's parameters.
    std::vector<const char*> values;
    for (const int i : {0, 1, 2, 4, 5, 3, 6, 7, 8, 9, 10}) values.push_back(arrays[i].c_str());

    if (!Prepare(lease.Get())) return failWith(nullptr);
    const Result begin = db.Exec("BEGIN");
    if (!Connection::Ok(begin)) return failWith(begin.get());
    // The claim: a row appears only for a batch no transaction committed
    // before; a concurrent claim of the same key waits for that transaction.
    const Result claimed(
        PQexecPrepared(lease.Get(), kClaimStatement, 11, values.data(), nullptr, nullptr, 0));
    if (!Connection::Ok(claimed)) return failWith(claimed.get());
    std::set<Key> ours;
    for (int row = 0; row < PQntuples(claimed.get()); ++row) {
        ours.emplace(PQgetvalue(claimed.get(), row, 0), PQgetvalue(claimed.get(), row, 1));
    }

    std::map<Key, int> resent;  // duplicates per batch, over the whole group
    std::string copy;
    // Only the batches this transaction claimed count, so a resend changes
    // no rollup.
    RollupDeltas deltas;
    InstallationDays installations;
    for (Pending* job : group) {
        StoreOutcome& outcome = job->outcome;
        for (const auto& candidate : job->candidates) {
            const Key& key = candidate.first;
            const auto repeated = job->repeats.find(key);
            int duplicates = repeated == job->repeats.end() ? 0 : repeated->second;
            if (ours.count(key) == 0 || owners.at(key) != job) {
                ++duplicates;
            } else {
                ++outcome.batchesNew;
                for (const UploadEvent& event : candidate.second->events) {
                    copy += key.first;
                    copy += '\t';
                    AppendCopyField(key.second, &copy);
                    copy += '\t' + std::to_string(event.seq) + '\t' +
                            std::to_string(event.receivedMs) + '\t';
                    AppendCopyField(event.name, &copy);
                    copy += '\t';
                    AppendCopyField(event.payload, &copy);
                    copy += '\n';
                    ++outcome.eventsNew;
                    AddEventShare(job->upload->app.appversion, job->upload->app.installId, event, 1,
                                  &deltas, &installations);
                }
            }
            outcome.batchesDuplicate += duplicates;
            if (duplicates > 0) resent[key] += duplicates;
        }
    }
    if (!resent.empty()) {
        std::vector<std::string> resentDays, resentIds, resentCounts;
        for (const auto& entry : resent) {
            resentDays.push_back(entry.first.first);
            resentIds.push_back(entry.first.second);
            resentCounts.push_back(std::to_string(entry.second));
        }
        const std::string dayArray = ArrayLiteral(resentDays), idArray = ArrayLiteral(resentIds),
                          countArray = ArrayLiteral(resentCounts);
        const Result counted = db.Params(
            "UPDATE batches SET duplicates = duplicates + u.n "
            "FROM unnest($1::date[], $2::text[], $3::integer[]) AS u(d, b, n) "
            "WHERE created_day = u.d AND batch_id = u.b",
            {dayArray.c_str(), idArray.c_str(), countArray.c_str()});
        if (!Connection::Ok(counted)) return failWith(counted.get());
    }
    if (!copy.empty()) {
        const Result started = db.Exec(
            "COPY events(created_day, batch_id, seq, received_ms, name, payload) FROM STDIN");
        if (!started || PQresultStatus(started.get()) != PGRES_COPY_IN) {
            return failWith(started.get());
        }
        if (PQputCopyData(lease.Get(), copy.data(), static_cast<int>(copy.size())) != 1 ||
            PQputCopyEnd(lease.Get(), nullptr) != 1) {
            return failWith(nullptr);
        }
        const Result copied(PQgetResult(lease.Get()));
        // Drain: COPY ends with one result, then a null.
        bool copiedOk = Connection::Ok(copied);
        while (PGresult* more = PQgetResult(lease.Get())) {
            copiedOk = false;
            PQclear(more);
        }
        if (!copiedOk) return failWith(copied.get());
    }
    // Sent with the commit: the rollup rows are the ones every transaction
    // of the day updates, so their locks are held briefly, and an upload's
    // transaction takes no round trip more for them. Should they fail, the
    // COMMIT behind them is not run and the transaction is rolled back.
    bool quotingFailed = false;
    const std::string rollups = DeltaStatement(lease.Get(), deltas, installations, &quotingFailed);
    if (quotingFailed) return failWith(nullptr);
    // Only a COMMIT that answered OK makes the group stored. A connection
    // lost during COMMIT leaves it unknown: that is answered as unavailable,
    // and the resend finds the batches claimed if the commit did happen.
    const Result committed = db.Exec((rollups + "COMMIT").c_str());
    if (!Connection::Ok(committed)) return failWith(committed.get());
    for (Pending* job : group) job->outcome.status = StoreStatus::Stored;
    m_unfolded += static_cast<int64_t>(deltas.size() + installations.size());
}

void PostgresStore::LogRequest(const RequestRecord& record) {
    // Log rows are written the way uploads are committed: while one INSERT
    // is on its way, the rows of the requests arriving meanwhile gather and
    // the next INSERT takes them all. Under a fleet of small uploads a
    // transaction per row was a good part of the database's work; and as
    // before, a request's row is in the table when LogRequest returns.
    std::unique_lock<std::mutex> lock(m_logMutex);
    m_logQueue.push_back(&record);
    const uint64_t mine = ++m_logQueued;
    while (m_logWritten < mine) {
        if (m_logWriting) {
            m_logDone.wait(lock);
            continue;
        }
        m_logWriting = true;
        std::vector<const RequestRecord*> rows;
        rows.swap(m_logQueue);
        const uint64_t upTo = m_logQueued;
        lock.unlock();
        WriteLogRows(rows);
        lock.lock();
        m_logWriting = false;
        m_logWritten = upTo;
        m_logDone.notify_all();
    }
}

void PostgresStore::WriteLogRows(const std::vector<const RequestRecord*>& rows) {
    std::string error;
    Lease lease = Acquire(&error);
    if (!lease) return;
    Connection db = *lease;
    // The log is diagnostics: it does not wait for its own flush to disk, so
    // a request costs one synchronous commit, the upload's.
    auto literal = [&db](const std::string& text) {
        char* escaped = PQescapeLiteral(db.Get(), text.data(), text.size());
        if (escaped == nullptr) return std::string("NULL");  // not text the database takes
        std::string quoted(escaped);
        PQfreemem(escaped);
        return quoted;
    };
    auto number = [](int64_t value) {
        return value < 0 ? std::string("NULL") : std::to_string(value);
    };
    std::string sql =
        "BEGIN; SET LOCAL synchronous_commit = off; "
        "INSERT INTO requests(idempotency_key, attempt, upload_time_ms, receive_ms, user_agent, "
        "status, batches_new, batches_duplicate, events_new, wire_bytes, body_bytes, error) "
        "VALUES";
    for (size_t i = 0; i < rows.size(); ++i) {
        const RequestRecord& record = *rows[i];
        sql += i == 0 ? "(" : ", (";
        sql += literal(record.idempotencyKey) + ", " + number(record.attempt) + ", " +
               number(record.uploadTimeMs) + ", " + std::to_string(record.receiveMs) + ", " +
               literal(record.userAgent) + ", " + std::to_string(record.status) + ", " +
               std::to_string(record.batchesNew) + ", " + std::to_string(record.batchesDuplicate) +
               ", " + std::to_string(record.eventsNew) + ", " + number(record.wireBytes) + ", " +
               std::to_string(record.bodyBytes) + ", " + literal(record.error) + ")";
    }
    sql += "; COMMIT";
    const Result logged = db.Exec(sql.c_str());
    // A statement that failed skips the rest of the string, COMMIT included:
    // the connection goes back to the pool outside any transaction.
    if (!Connection::Ok(logged) || PQtransactionStatus(db.Get()) != PQTRANS_IDLE) {
        Result rollback = db.Exec("ROLLBACK");
    }
}

bool PostgresStore::Maintain(int64_t nowMs, std::string* error) {
    Lease lease = Acquire(error);
    if (!lease) return false;
    Connection db = *lease;
    auto failed = [&] { return Abandon(db, "maintenance: ", error); };
    const int64_t today = DayOf(nowMs);
    const int64_t behind = m_options.retentionDays > 0 ? m_options.retentionDays : kDaysBehind;
    if (!Connection::Ok(db.Exec("BEGIN")) || !Connection::Ok(db.Exec(kMaintenanceLock))) {
        return failed();
    }
    for (int64_t day = today - behind; day <= today + kDaysAhead; ++day) {
        std::string suffix = DayText(day);
        suffix.erase(std::remove(suffix.begin(), suffix.end(), '-'), suffix.end());
        const std::string from = DayText(day), to = DayText(day + 1);
        for (const char* table : {"batches", "events"}) {
            const std::string name = std::string(table) + "_p" + suffix;
            const Result exists = db.Params("SELECT to_regclass($1) IS NOT NULL", {name.c_str()});
            if (!Connection::Ok(exists)) return failed();
            if (PQgetvalue(exists.get(), 0, 0)[0] == 't') continue;
            // A day DEFAULT already holds rows of cannot get a partition;
            // it stays in DEFAULT, where it is still deduplicated.
            const std::string create = "CREATE TABLE " + name + " PARTITION OF " + table +
                                       " FOR VALUES FROM ('" + from + "') TO ('" + to + "')";
            if (!Connection::Ok(db.Exec("SAVEPOINT day")) ||
                (!Connection::Ok(db.Exec(create.c_str())) &&
                 !Connection::Ok(db.Exec("ROLLBACK TO SAVEPOINT day"))) ||
                !Connection::Ok(db.Exec("RELEASE SAVEPOINT day"))) {
                return failed();
            }
        }
    }
    if (m_options.retentionDays > 0) {
        const int64_t firstKept = today - m_options.retentionDays;
        const Result partitions = db.Exec(
            "SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
            "JOIN pg_class p ON p.oid = i.inhparent "
            "WHERE p.relname IN ('batches', 'events') AND c.relname ~ '_p[0-9]{8}$'");
        if (!Connection::Ok(partitions)) return failed();
        const std::string firstKeptText = DayText(firstKept);
        std::string firstKeptDigits = firstKeptText;
        firstKeptDigits.erase(std::remove(firstKeptDigits.begin(), firstKeptDigits.end(), '-'),
                              firstKeptDigits.end());
        for (int row = 0; row < PQntuples(partitions.get()); ++row) {
            const std::string name = PQgetvalue(partitions.get(), row, 0);
            // Names end in the day's digits, which sort as the days do.
            if (name.substr(name.size() - 8) >= firstKeptDigits) continue;
            if (!Connection::Ok(db.Exec(("DROP TABLE " + name).c_str()))) return failed();
        }
        // What strayed into DEFAULT is deleted row by row; there is little of it.
        const std::string firstKeptMs = std::to_string(firstKept * kMsPerDay);
        if (!Connection::Ok(db.Params("DELETE FROM events_default WHERE created_day < $1::date",
                                      {firstKeptText.c_str()})) ||
            !Connection::Ok(db.Params("DELETE FROM batches_default WHERE created_day < $1::date",
                                      {firstKeptText.c_str()})) ||
            !Connection::Ok(
                db.Params("DELETE FROM requests WHERE receive_ms < $1", {firstKeptMs.c_str()}))) {
            return failed();
        }
    }
    if (!Connection::Ok(db.Exec("COMMIT"))) return failed();
    return Fold(error);
}

bool PostgresStore::Show(std::ostream& out, int eventLimit, std::string* error) {
    Lease lease = Acquire(error);
    if (!lease) return false;
    Connection db = *lease;
    const std::string limit = std::to_string(eventLimit);
    const Result batches = db.Exec(
        "SELECT batch_id, events, duplicates, received_ms, idempotency_key, appid, "
        "appversion, device_type, tag, created_day FROM batches "
        "ORDER BY received_ms, batch_id");
    const Result events = db.Params(
        "SELECT batch_id, seq, received_ms, name, payload FROM events "
        "ORDER BY created_day, batch_id, seq LIMIT $1",
        {limit.c_str()});
    const Result requests = db.Exec(
        "SELECT id, idempotency_key, attempt, upload_time_ms, receive_ms, "
        "receive_ms - upload_time_ms, status, batches_new, batches_duplicate, "
        "events_new, wire_bytes, body_bytes, error FROM requests ORDER BY id");
    if (!Connection::Ok(batches) || !Connection::Ok(events) || !Connection::Ok(requests)) {
        *error = ErrorOf(lease.Get());
        return false;
    }
    auto text = [](const Result& result, int row, int column) -> std::string {
        return PQgetisnull(result.get(), row, column) ? "-" : PQgetvalue(result.get(), row, column);
    };
    out << "Batches (batch_id, events, duplicates, received_ms, request key, app, day):\n";
    for (int row = 0; row < PQntuples(batches.get()); ++row) {
        out << "  " << text(batches, row, 0) << "  events=" << text(batches, row, 1)
            << "  duplicates=" << text(batches, row, 2) << "  received_ms=" << text(batches, row, 3)
            << "  key=" << text(batches, row, 4) << "  app=" << text(batches, row, 5) << " "
            << text(batches, row, 6) << " device_type=" << text(batches, row, 7)
            << " tag=" << text(batches, row, 8) << "  day=" << text(batches, row, 9) << "\n";
    }
    out << "Events (first " << eventLimit << "):\n";
    for (int row = 0; row < PQntuples(events.get()); ++row) {
        out << "  " << text(events, row, 0) << " #" << text(events, row, 1) << " "
            << text(events, row, 2) << " " << text(events, row, 3) << " " << text(events, row, 4)
            << "\n";
    }
    out << "Requests (id, key, attempt, upload time, receive time, skew ms, status, "
           "new/duplicate batches, events, bytes on the wire/decoded, error):\n";
    for (int row = 0; row < PQntuples(requests.get()); ++row) {
        out << "  " << text(requests, row, 0) << " " << text(requests, row, 1)
            << " attempt=" << text(requests, row, 2) << " upload=" << text(requests, row, 3)
            << " receive=" << text(requests, row, 4) << " skew=" << text(requests, row, 5)
            << " status=" << text(requests, row, 6) << " batches=" << text(requests, row, 7) << "/"
            << text(requests, row, 8) << " events=" << text(requests, row, 9)
            << " bytes=" << text(requests, row, 10) << "/" << text(requests, row, 11);
        const std::string problem = text(requests, row, 12);
        if (!problem.empty() && problem != "-") out << " error=" << problem;
        out << "\n";
    }
    return true;
}

bool PostgresStore::Totals(StoreTotals* totals, std::string* error) {
    Lease lease = Acquire(error);
    if (!lease) return false;
    const Result result = (*lease).Exec(
        "SELECT (SELECT count(*) FROM batches), (SELECT count(*) FROM events), "
        "(SELECT coalesce(sum(duplicates), 0) FROM batches), (SELECT count(*) FROM requests)");
    if (!Connection::Ok(result)) {
        *error = ErrorOf(lease.Get());
        return false;
    }
    totals->batches = std::atoll(PQgetvalue(result.get(), 0, 0));
    totals->events = std::atoll(PQgetvalue(result.get(), 0, 1));
    totals->duplicates = std::atoll(PQgetvalue(result.get(), 0, 2));
    totals->requests = std::atoll(PQgetvalue(result.get(), 0, 3));
    return true;
}

bool PostgresStore::Rollups(const RollupQuery& query, std::vector<RollupRow>* rows,
                            std::string* error) {
    rows->clear();
    std::string from, to;
    if (!RollupBounds(query, &from, &to, error)) return false;
    Lease lease = Acquire(error);
    if (!lease) return false;
    // Byte order ("C"), as the SQLite file sorts: both stores list the same
    // rows in the same order whatever the database's collation.
    // The deltas not folded yet are added: exact at any instant.
    const std::string sql =
        "SELECT * FROM (SELECT to_char(day, 'YYYY-MM-DD') AS d, appversion AS v, measure AS m, "
        "key AS k, sum(value) FROM (SELECT day, appversion, measure, key, value FROM rollups "
        "UNION ALL " +
        DeltaCells("rollup_deltas") +
        ") c WHERE day BETWEEN $1::date AND $2::date "
        "GROUP BY day, appversion, measure, key HAVING sum(value) > 0 "
        "UNION ALL SELECT to_char(day, 'YYYY-MM-DD'), appversion, 'installations', '', "
        "count(DISTINCT install_id) FROM (SELECT day, appversion, install_id "
        "FROM rollup_installations UNION ALL " +
        DeltaInstallations("rollup_deltas") +
        ") i WHERE day BETWEEN $1::date AND $2::date GROUP BY day, appversion) r "
        "ORDER BY d, v COLLATE \"C\", m COLLATE \"C\", k COLLATE \"C\"";
    const Result result = (*lease).Params(sql.c_str(), {from.c_str(), to.c_str()});
    if (!Connection::Ok(result)) {
        *error = ErrorOf(lease.Get());
        return false;
    }
    const int count = PQntuples(result.get());
    rows->reserve(static_cast<size_t>(count));
    for (int row = 0; row < count; ++row) {
        rows->push_back({PQgetvalue(result.get(), row, 0), PQgetvalue(result.get(), row, 1),
                         PQgetvalue(result.get(), row, 2), PQgetvalue(result.get(), row, 3),
                         std::atoll(PQgetvalue(result.get(), row, 4))});
    }
    return true;
}

DeletionOutcome PostgresStore::DeleteInstallation(const std::string& installId, int64_t nowMs) {
    DeletionOutcome outcome;
    auto fail = [&outcome](const StoreOutcome& failed) {
        outcome = DeletionOutcome();
        outcome.status = failed.status;
        outcome.error = failed.error;
        return outcome;
    };
    if (!IsStorableText(installId)) {
        outcome.error = "the installation id is not UTF-8 or holds a NUL";
        return outcome;
    }
    StoreOutcome unavailable;
    Lease lease = Acquire(&unavailable.error);
    if (!lease) {
        unavailable.status = StoreStatus::Unavailable;
        return fail(unavailable);
    }
    Connection db = *lease;
    const Result begin = db.Exec("BEGIN");
    if (!Connection::Ok(begin)) return fail(Fail(lease.Get(), begin.get()));
    // The events go first and come back as they go: their share of the
    // rollups is computed from them, in one pass over the events.
    const Result events = db.Params(
        "DELETE FROM events e USING batches b WHERE b.install_id = $1 "
        "AND e.created_day = b.created_day AND e.batch_id = b.batch_id "
        "RETURNING coalesce(b.appversion, ''), e.name, e.received_ms, e.payload",
        {installId.c_str()});
    if (!Connection::Ok(events)) return fail(Fail(lease.Get(), events.get()));
    RollupDeltas deltas;
    for (int row = 0; row < PQntuples(events.get()); ++row) {
        AddStoredEventShare(PQgetvalue(events.get(), row, 0), installId,
                            PQgetvalue(events.get(), row, 1),
                            std::atoll(PQgetvalue(events.get(), row, 2)),
                            PQgetvalue(events.get(), row, 3), -1, &deltas, nullptr);
        ++outcome.events;
    }
    const Result batches =
        db.Params("DELETE FROM batches WHERE install_id = $1", {installId.c_str()});
    if (!Connection::Ok(batches)) return fail(Fail(lease.Get(), batches.get()));
    outcome.batches = std::atoll(PQcmdTuples(batches.get()));
    // Its share is taken back through the deltas and folded at once, under
    // the fold lock, taken only now: a fold touches none of the rows locked
    // above, so this transaction and a fold never wait for each other
    // crosswise. Folding leaves nothing of the installation in the rollups,
    // not even a cell at zero.
    const Result locked = db.Exec(kFoldLock);
    if (!Connection::Ok(locked)) return fail(Fail(lease.Get(), locked.get()));
    bool quotingFailed = false;
    const std::string rollups =
        DeltaStatement(lease.Get(), deltas, InstallationDays(), &quotingFailed);
    if (quotingFailed) return fail(Fail(lease.Get(), nullptr));
    if (!rollups.empty()) {
        const Result rolled = db.Exec(rollups.c_str());
        if (!Connection::Ok(rolled)) return fail(Fail(lease.Get(), rolled.get()));
    }
    // The fold also moves its days not folded yet into the table they are
    // removed from next.
    if (!FoldDeltas(db)) return fail(Fail(lease.Get(), nullptr));
    const std::string now = std::to_string(nowMs), batchCount = std::to_string(outcome.batches),
                      eventCount = std::to_string(outcome.events);
    const Result days =
        db.Params("DELETE FROM rollup_installations WHERE install_id = $1", {installId.c_str()});
    if (!Connection::Ok(days)) return fail(Fail(lease.Get(), days.get()));
    const Result audit = db.Params(
        "INSERT INTO deletions(install_id, deleted_ms, batches, events) VALUES($1, $2, $3, $4)",
        {installId.c_str(), now.c_str(), batchCount.c_str(), eventCount.c_str()});
    if (!Connection::Ok(audit)) return fail(Fail(lease.Get(), audit.get()));
    const Result committed = db.Exec("COMMIT");
    if (!Connection::Ok(committed)) return fail(Fail(lease.Get(), committed.get()));
    outcome.status = StoreStatus::Stored;
    return outcome;
}

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, const StoreOptions& options,
                                         std::string* error) {
    auto store = std::make_unique<PostgresStore>(uri, options);
    if (!store->Migrate(error)) return nullptr;
    return store;
}

}  // namespace server
}  // namespace tally
