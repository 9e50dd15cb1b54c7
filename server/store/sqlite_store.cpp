#include "sqlite_store.h"

#include <sqlite3.h>

#include <chrono>
#include <limits>
#include <mutex>
#include <utility>

#include "rollup_share.h"
#include "store_days.h"

namespace tally {
namespace server {
namespace {

using collector::Upload;
using collector::UploadBatch;
using collector::UploadEvent;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS batches(
  batch_id TEXT NOT NULL UNIQUE,
  created_ms INTEGER,
  received_ms INTEGER NOT NULL,
  idempotency_key TEXT,
  events INTEGER NOT NULL,
  duplicates INTEGER NOT NULL DEFAULT 0,
  appid TEXT, appversion TEXT, device_type TEXT, tag TEXT, install_id TEXT);
CREATE TABLE IF NOT EXISTS events(
  batch_id TEXT NOT NULL REFERENCES batches(batch_id),
  seq INTEGER NOT NULL,
  received_ms INTEGER NOT NULL,
  name TEXT NOT NULL,
  payload TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS requests(
  id INTEGER PRIMARY KEY,
  idempotency_key TEXT,
  attempt INTEGER,
  upload_time_ms INTEGER,
  receive_ms INTEGER NOT NULL,
  user_agent TEXT,
  status INTEGER NOT NULL,
  batches_new INTEGER NOT NULL,
  batches_duplicate INTEGER NOT NULL,
  events_new INTEGER NOT NULL,
  wire_bytes INTEGER,
  body_bytes INTEGER NOT NULL,
  error TEXT);
CREATE TABLE IF NOT EXISTS rollups(
  day TEXT NOT NULL,
  appversion TEXT NOT NULL,
  measure TEXT NOT NULL,
  key TEXT NOT NULL,
  value INTEGER NOT NULL,
  PRIMARY KEY (day, appversion, measure, key)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS rollup_installations(
  day TEXT NOT NULL,
  appversion TEXT NOT NULL,
  install_id TEXT NOT NULL,
  PRIMARY KEY (day, appversion, install_id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS rollup_installations_install ON rollup_installations(install_id);
CREATE TABLE IF NOT EXISTS deletions(
  id INTEGER PRIMARY KEY,
  install_id TEXT NOT NULL,
  deleted_ms INTEGER NOT NULL,
  batches INTEGER NOT NULL,
  events INTEGER NOT NULL);
)sql";

// Files made before batches named their installation get the column; the
// index needs it, so it comes after.
constexpr const char* kInstallIndex =
    "CREATE INDEX IF NOT EXISTS batches_install ON batches(install_id)";

// Version 1: the rollups are folded from the stored events past a watermark
// (`rollup_fold`) instead of being updated by every upload. Files of version
// 0 counted every event they hold at ingest, so their watermark starts after
// the last one.
constexpr int kSchemaVersion = 1;
constexpr const char* kFoldTable = R"sql(
CREATE TABLE rollup_fold(events_folded INTEGER NOT NULL);
INSERT INTO rollup_fold(events_folded) SELECT coalesce(max(rowid), 0) FROM events;
PRAGMA user_version = 1;
)sql";

// An upload folds after its commit once this many events arrived, or this
// long passed, since the last fold: the rollups are then written once per
// cell for thousands of events, and the fold (which a query or a deletion
// runs anyway) stays short.
constexpr int64_t kFoldEvents = 10000;
constexpr auto kFoldInterval = std::chrono::seconds(10);

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Valid() const { return m_stmt != nullptr; }
    Statement& Bind(int index, const std::string& text) {
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int index, int64_t value) {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    // The request log's "absent" (-1) is NULL. Data is bound as it is: a
    // client's clock before 1970 is a negative time, not a missing one.
    Statement& BindOptional(int index, int64_t value) {
        if (value < 0) {
            sqlite3_bind_null(m_stmt, index);
        } else {
            sqlite3_bind_int64(m_stmt, index, value);
        }
        return *this;
    }
    int Step() { return sqlite3_step(m_stmt); }
    void Reset() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(m_stmt, column);
        return text ? reinterpret_cast<const char*>(text) : "-";
    }
    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    sqlite3_stmt* Get() const { return m_stmt; }

  private:
    sqlite3_stmt* m_stmt = nullptr;
};

// A busy or locked file clears by itself: the client is told to retry.
StoreStatus StatusOf(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED ? StoreStatus::Unavailable
                                                              : StoreStatus::Failed;
}

class SqliteStore : public Store {
  public:
    explicit SqliteStore(const StoreOptions& options) : m_options(options) {}
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    bool Open(const std::string& path, std::string* error);

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
    bool Exec(const char* sql, std::string* error);
    // Ends the transaction: commits when `ok`, else (or when the commit
    // fails) rolls back and answers in `Outcome`'s terms why.
    template <typename Outcome>
    Outcome Finish(bool ok, Outcome outcome);
    bool AddInstallColumn(std::string* error);
    bool Migrate(std::string* error);
    bool ApplyRollups(const RollupDeltas& deltas, const InstallationDays& installations);
    // Adds the events stored past the watermark to the rollups and moves the
    // watermark after them; inside the caller's transaction. Their sums come
    // from memory when this process stored every one of them (below), else
    // from the rows.
    bool Fold();
    bool SumStoredEvents(int64_t after, RollupDeltas* deltas, InstallationDays* installations,
                         int64_t* last);
    // After deleting events, inside the same transaction and after a Fold:
    // every event left is folded, and the watermark comes down to the last
    // of them, since SQLite gives the next event the rowid after the largest
    // left, which may be one the watermark already passed.
    bool LowerWatermark();
    // Folds in a transaction of its own when enough arrived since the last.
    void FoldWhenDue(int64_t eventsNew);

    const StoreOptions m_options;
    // One connection, used by the server's threads in turn: SQLite takes one
    // writer at a time anyway.
    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    // Prepared once: every upload runs them, a few times each.
    std::unique_ptr<Statement> m_addRollup;
    std::unique_ptr<Statement> m_addInstallation;
    // Since the last fold of this process; under m_mutex.
    int64_t m_eventsUnfolded = 0;
    // The sums of the events with rowids in (m_pendingFrom, m_pendingLast],
    // added up as this process stored them, so that a fold need not read
    // and parse them again. Trusted only while the watermark is still
    // m_pendingFrom and no event lies past m_pendingLast: another process
    // storing, deleting or folding, a rolled-back fold or a restart (memory
    // lost) each break that, and the fold then reads the rows.
    bool m_pendingValid = false;
    int64_t m_pendingFrom = 0;
    int64_t m_pendingLast = 0;
    RollupDeltas m_pendingDeltas;
    InstallationDays m_pendingInstallations;
    std::chrono::steady_clock::time_point m_lastFold = std::chrono::steady_clock::now();
};

}  // namespace

SqliteStore::~SqliteStore() {
    m_addRollup.reset();
    m_addInstallation.reset();
    sqlite3_close(m_db);
}

bool SqliteStore::Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error) *error = message ? message : sqlite3_errmsg(m_db);
    sqlite3_free(message);
    return false;
}

template <typename Outcome>
Outcome SqliteStore::Finish(bool ok, Outcome outcome) {
    if (ok && Exec("COMMIT", &outcome.error)) {
        outcome.status = StoreStatus::Stored;
        return outcome;
    }
    const int code = sqlite3_extended_errcode(m_db);
    const std::string error = sqlite3_errmsg(m_db);
    Exec("ROLLBACK", nullptr);
    // A fold in the transaction may have taken the pending sums.
    m_pendingValid = false;
    outcome = Outcome();
    outcome.status = StatusOf(code);
    outcome.error = error;
    return outcome;
}

bool SqliteStore::Open(const std::string& path, std::string* error) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        *error = "cannot open " + path + ": " + sqlite3_errmsg(m_db);
        return false;
    }
    sqlite3_busy_timeout(m_db, m_options.waitMs);
    // WAL: `show` can read while a server writes.
    if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error) ||
        !Exec(kSchema, error) || !AddInstallColumn(error) || !Exec(kInstallIndex, error) ||
        !Migrate(error)) {
        return false;
    }
    m_addRollup = std::make_unique<Statement>(
        m_db,
        "INSERT INTO rollups(day, appversion, measure, key, value) VALUES(?,?,?,?,?) "
        "ON CONFLICT(day, appversion, measure, key) DO UPDATE SET value = value + excluded.value");
    m_addInstallation = std::make_unique<Statement>(
        m_db,
        "INSERT INTO rollup_installations(day, appversion, install_id) VALUES(?,?,?) "
        "ON CONFLICT DO NOTHING");
    if (!m_addRollup->Valid() || !m_addInstallation->Valid()) {
        *error = sqlite3_errmsg(m_db);
        return false;
    }
    // What a stopped collector stored after its last fold is counted now,
    // and the uploads from here on can keep their sums for the next fold. A
    // busy file is folded later.
    if (Exec("BEGIN IMMEDIATE", nullptr)) {
        if (!Fold() || !Exec("COMMIT", nullptr)) {
            Exec("ROLLBACK", nullptr);
            m_pendingValid = false;
        }
    }
    return true;
}

bool SqliteStore::AddInstallColumn(std::string* error) {
    Statement columns(m_db, "SELECT 1 FROM pragma_table_info('batches') WHERE name = 'install_id'");
    if (!columns.Valid()) {
        *error = sqlite3_errmsg(m_db);
        return false;
    }
    const int step = columns.Step();
    if (step == SQLITE_ROW) return true;
    if (step != SQLITE_DONE) {
        *error = sqlite3_errmsg(m_db);
        return false;
    }
    return Exec("ALTER TABLE batches ADD COLUMN install_id TEXT", error);
}

bool SqliteStore::Migrate(std::string* error) {
    // Read first, so a file that is up to date opens without a write lock;
    // read again in the transaction, as another collector may have migrated
    // it meanwhile.
    auto version = [this](int64_t* current) {
        Statement pragma(m_db, "PRAGMA user_version");
        if (!pragma.Valid() || pragma.Step() != SQLITE_ROW) return false;
        *current = pragma.Int(0);
        return true;
    };
    int64_t current = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1 && !Exec("BEGIN IMMEDIATE", error)) return false;
        bool ok = version(&current);
        if (ok && current == kSchemaVersion) {
            if (attempt == 1) Exec("COMMIT", nullptr);
            return true;
        }
        if (!ok || current > kSchemaVersion) {
            // A newer collector may count the rollups differently: counting
            // here as well could count events twice.
            *error = ok ? "the store has schema version " + std::to_string(current) +
                              "; this collector knows up to " + std::to_string(kSchemaVersion)
                        : sqlite3_errmsg(m_db);
            if (attempt == 1) Exec("ROLLBACK", nullptr);
            return false;
        }
    }
    if (Exec(kFoldTable, error) && Exec("COMMIT", error)) return true;
    Exec("ROLLBACK", nullptr);
    return false;
}

// Adds `deltas` to the rollups and notes the installations; inside the
// caller's transaction. Cells that fall to zero or below are removed, so a
// deleted installation leaves no key of its own behind.
bool SqliteStore::ApplyRollups(const RollupDeltas& deltas, const InstallationDays& installations) {
    Statement& add = *m_addRollup;
    Statement& installed = *m_addInstallation;
    bool negative = false;
    for (const auto& delta : deltas) {
        add.Reset();
        add.Bind(1, std::get<0>(delta.first))
            .Bind(2, std::get<1>(delta.first))
            .Bind(3, std::get<2>(delta.first))
            .Bind(4, std::get<3>(delta.first))
            .Bind(5, delta.second);
        if (add.Step() != SQLITE_DONE) return false;
        negative = negative || delta.second < 0;
    }
    for (const auto& day : installations) {
        installed.Reset();
        installed.Bind(1, std::get<0>(day)).Bind(2, std::get<1>(day)).Bind(3, std::get<2>(day));
        if (installed.Step() != SQLITE_DONE) return false;
    }
    add.Reset();
    installed.Reset();
    return !negative || Exec("DELETE FROM rollups WHERE value <= 0", nullptr);
}

bool SqliteStore::Fold() {
    Statement watermark(m_db, "SELECT events_folded FROM rollup_fold");
    Statement newest(m_db, "SELECT coalesce(max(rowid), 0) FROM events");
    if (!watermark.Valid() || watermark.Step() != SQLITE_ROW || !newest.Valid() ||
        newest.Step() != SQLITE_ROW) {
        return false;
    }
    const int64_t from = watermark.Int(0), newestRowid = newest.Int(0);
    watermark.Reset();
    newest.Reset();
    RollupDeltas deltas;
    InstallationDays installations;
    int64_t last = from;
    if (m_pendingValid && from == m_pendingFrom && newestRowid == m_pendingLast) {
        deltas.swap(m_pendingDeltas);
        installations.swap(m_pendingInstallations);
        last = m_pendingLast;
    } else if (!SumStoredEvents(from, &deltas, &installations, &last)) {
        return false;
    }
    m_pendingDeltas.clear();
    m_pendingInstallations.clear();
    m_pendingValid = false;
    m_eventsUnfolded = 0;
    m_lastFold = std::chrono::steady_clock::now();
    if (last != from) {
        Statement move(m_db, "UPDATE rollup_fold SET events_folded = ?");
        if (!move.Valid() || !ApplyRollups(deltas, installations) ||
            move.Bind(1, last).Step() != SQLITE_DONE) {
            return false;
        }
    }
    m_pendingValid = true;
    m_pendingFrom = m_pendingLast = last;
    return true;
}

bool SqliteStore::SumStoredEvents(int64_t after, RollupDeltas* deltas,
                                  InstallationDays* installations, int64_t* last) {
    // Writers take the file one at a time, so the rowids of events follow
    // the commits: what is past the watermark has never been folded.
    Statement events(m_db,
                     "SELECT e.rowid, b.appversion, b.install_id, e.name, e.received_ms, "
                     "e.payload FROM events e JOIN batches b ON b.batch_id = e.batch_id "
                     "WHERE e.rowid > ? ORDER BY e.rowid");
    if (!events.Valid()) return false;
    events.Bind(1, after);
    int step;
    while ((step = events.Step()) == SQLITE_ROW) {
        *last = events.Int(0);
        const bool noVersion = sqlite3_column_type(events.Get(), 1) == SQLITE_NULL;
        const bool noInstall = sqlite3_column_type(events.Get(), 2) == SQLITE_NULL;
        AddStoredEventShare(noVersion ? "" : events.Text(1), noInstall ? "" : events.Text(2),
                            events.Text(3), events.Int(4), events.Text(5), 1, deltas,
                            installations);
    }
    return step == SQLITE_DONE;
}

bool SqliteStore::LowerWatermark() {
    Statement lower(m_db,
                    "UPDATE rollup_fold SET events_folded = min(events_folded, "
                    "(SELECT coalesce(max(rowid), 0) FROM events)) RETURNING events_folded");
    if (!lower.Valid() || lower.Step() != SQLITE_ROW) return false;
    // Folded just before: nothing is pending.
    m_pendingFrom = m_pendingLast = lower.Int(0);
    return true;
}

void SqliteStore::FoldWhenDue(int64_t eventsNew) {
    m_eventsUnfolded += eventsNew;
    // The store benchmark's baseline stores without any rollup work.
    if (!RollupsCounted() || m_eventsUnfolded == 0) return;
    if (m_eventsUnfolded < kFoldEvents &&
        std::chrono::steady_clock::now() - m_lastFold < kFoldInterval) {
        return;
    }
    // Best effort: what is not folded now is folded by the next query,
    // deletion, maintenance or upload.
    if (!Exec("BEGIN IMMEDIATE", nullptr)) return;
    if (Fold() && Exec("COMMIT", nullptr)) return;
    Exec("ROLLBACK", nullptr);
    m_pendingValid = false;
}

StoreOutcome SqliteStore::StoreUpload(const Upload& upload, const std::string& idempotencyKey,
                                      int64_t nowMs) {
    StoreOutcome outcome;
    const int64_t firstKeptDay = m_options.retentionDays > 0
                                     ? DayOf(nowMs) - m_options.retentionDays
                                     : std::numeric_limits<int64_t>::min();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Exec("BEGIN IMMEDIATE", &outcome.error)) {
        outcome.status = StatusOf(sqlite3_extended_errcode(m_db));
        return outcome;
    }
    Statement insertBatch(
        m_db,
        "INSERT INTO batches(batch_id, created_ms, received_ms, "
        "idempotency_key, events, appid, appversion, device_type, tag, "
        "install_id) VALUES(?,?,?,?,?,?,?,?,?,?) ON CONFLICT(batch_id) DO NOTHING");
    Statement countDuplicate(m_db,
                             "UPDATE batches SET duplicates = duplicates + 1 WHERE batch_id = ?");
    Statement insertEvent(m_db,
                          "INSERT INTO events(batch_id, seq, received_ms, name, payload) "
                          "VALUES(?,?,?,?,?)");
    bool ok = insertBatch.Valid() && countDuplicate.Valid() && insertEvent.Valid();
    // The rollups are not written here: only newly claimed batches store
    // events, and the fold counts each stored event once, so a resend
    // changes no rollup. Their shares are added to the pending sums while
    // the events take the rowids right after the pending ones; a rollback
    // (Finish) stops trusting the sums, so the next fold reads the rows.
    int64_t expectedRowid = m_pendingLast;
    for (size_t i = 0; ok && i < upload.batches.size(); ++i) {
        const UploadBatch& batch = upload.batches[i];
        if (DayOf(batch.createdMs) < firstKeptDay) {
            ++outcome.batchesExpired;
            continue;
        }
        insertBatch.Reset();
        insertBatch.Bind(1, batch.batchId)
            .Bind(2, batch.createdMs)
            .Bind(3, nowMs)
            .Bind(4, idempotencyKey)
            .Bind(5, static_cast<int64_t>(batch.events.size()))
            .Bind(6, upload.app.appid)
            .Bind(7, upload.app.appversion)
            .Bind(8, upload.app.deviceType)
            .Bind(9, upload.app.tag);
        if (upload.app.installId.empty()) {
            sqlite3_bind_null(insertBatch.Get(), 10);
        } else {
            insertBatch.Bind(10, upload.app.installId);
        }
        ok = insertBatch.Step() == SQLITE_DONE;
        if (!ok) break;
        if (sqlite3_changes(m_db) == 0) {
            countDuplicate.Reset();
            countDuplicate.Bind(1, batch.batchId);
            ok = countDuplicate.Step() == SQLITE_DONE;
            ++outcome.batchesDuplicate;
            continue;
        }
        ++outcome.batchesNew;
        for (const UploadEvent& event : batch.events) {
            insertEvent.Reset();
            insertEvent.Bind(1, batch.batchId)
                .Bind(2, event.seq)
                .Bind(3, event.receivedMs)
                .Bind(4, event.name)
                .Bind(5, event.payload);
            ok = insertEvent.Step() == SQLITE_DONE;
            if (!ok) break;
            ++outcome.eventsNew;
            m_pendingValid = m_pendingValid && sqlite3_last_insert_rowid(m_db) == ++expectedRowid;
            if (m_pendingValid) {
                AddEventShare(upload.app.appversion, upload.app.installId, event, 1,
                              &m_pendingDeltas, &m_pendingInstallations);
            }
        }
    }
    outcome = Finish(ok, std::move(outcome));
    if (!outcome.Stored()) return outcome;
    m_pendingLast = expectedRowid;
    FoldWhenDue(outcome.eventsNew);
    return outcome;
}

bool SqliteStore::Maintain(int64_t nowMs, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    // Rollups outlive retention: what is dropped is folded first.
    bool ok = Fold();
    if (ok && m_options.retentionDays > 0) {
        // The file has no partitions: what is older than the window is
        // deleted row by row, the events first as they name their batch.
        const int64_t firstKeptMs = (DayOf(nowMs) - m_options.retentionDays) * kMsPerDay;
        Statement events(m_db,
                         "DELETE FROM events WHERE batch_id IN "
                         "(SELECT batch_id FROM batches WHERE created_ms < ?)");
        Statement batches(m_db, "DELETE FROM batches WHERE created_ms < ?");
        ok = events.Valid() && batches.Valid();
        ok = ok && events.Bind(1, firstKeptMs).Step() == SQLITE_DONE;
        ok = ok && batches.Bind(1, firstKeptMs).Step() == SQLITE_DONE;
        ok = ok && LowerWatermark();
    }
    if (ok && Exec("COMMIT", error)) return true;
    if (error && ok) *error = sqlite3_errmsg(m_db);
    Exec("ROLLBACK", nullptr);
    m_pendingValid = false;
    return false;
}

bool SqliteStore::Totals(StoreTotals* totals, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement query(m_db,
                    "SELECT (SELECT count(*) FROM batches), (SELECT count(*) FROM events), "
                    "(SELECT coalesce(sum(duplicates), 0) FROM batches), "
                    "(SELECT count(*) FROM requests)");
    if (!query.Valid() || query.Step() != SQLITE_ROW) {
        *error = sqlite3_errmsg(m_db);
        return false;
    }
    totals->batches = query.Int(0);
    totals->events = query.Int(1);
    totals->duplicates = query.Int(2);
    totals->requests = query.Int(3);
    return true;
}

bool SqliteStore::Rollups(const RollupQuery& query, std::vector<RollupRow>* rows,
                          std::string* error) {
    rows->clear();
    std::string from, to;
    if (!RollupBounds(query, &from, &to, error)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Folded first, so the numbers are exact at any instant. A file that is
    // busy or read-only is read as it is, folded up to its last fold.
    if (Exec("BEGIN IMMEDIATE", nullptr)) {
        if (!Fold() || !Exec("COMMIT", nullptr)) {
            Exec("ROLLBACK", nullptr);
            m_pendingValid = false;
        }
    }
    Statement select(m_db,
                     "SELECT day, appversion, measure, key, value FROM rollups "
                     "WHERE day >= ?1 AND day <= ?2 "
                     "UNION ALL SELECT day, appversion, 'installations', '', count(*) "
                     "FROM rollup_installations WHERE day >= ?1 AND day <= ?2 "
                     "GROUP BY day, appversion ORDER BY 1, 2, 3, 4");
    if (!select.Valid()) {
        *error = sqlite3_errmsg(m_db);
        return false;
    }
    select.Bind(1, from).Bind(2, to);
    int step;
    while ((step = select.Step()) == SQLITE_ROW) {
        rows->push_back(
            {select.Text(0), select.Text(1), select.Text(2), select.Text(3), select.Int(4)});
    }
    if (step != SQLITE_DONE) {
        *error = sqlite3_errmsg(m_db);
        rows->clear();
        return false;
    }
    return true;
}

DeletionOutcome SqliteStore::DeleteInstallation(const std::string& installId, int64_t nowMs) {
    DeletionOutcome outcome;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Exec("BEGIN IMMEDIATE", &outcome.error)) {
        outcome.status = StatusOf(sqlite3_extended_errcode(m_db));
        return outcome;
    }
    // Everything stored is folded first, so that its share, read from its
    // events before they go, is in the rollups to be taken back.
    Statement events(m_db,
                     "SELECT b.appversion, e.name, e.received_ms, e.payload FROM events e "
                     "JOIN batches b ON b.batch_id = e.batch_id WHERE b.install_id = ?");
    Statement batches(m_db, "SELECT count(*) FROM batches WHERE install_id = ?");
    Statement dropEvents(m_db,
                         "DELETE FROM events WHERE batch_id IN "
                         "(SELECT batch_id FROM batches WHERE install_id = ?)");
    Statement dropBatches(m_db, "DELETE FROM batches WHERE install_id = ?");
    Statement dropDays(m_db, "DELETE FROM rollup_installations WHERE install_id = ?");
    Statement audit(m_db,
                    "INSERT INTO deletions(install_id, deleted_ms, batches, events) "
                    "VALUES(?,?,?,?)");
    bool ok = Fold() && events.Valid() && batches.Valid() && dropEvents.Valid() &&
              dropBatches.Valid() && dropDays.Valid() && audit.Valid();
    RollupDeltas deltas;
    if (ok) {
        events.Bind(1, installId);
        int step;
        while ((step = events.Step()) == SQLITE_ROW) {
            const std::string appVersion =
                sqlite3_column_type(events.Get(), 0) == SQLITE_NULL ? "" : events.Text(0);
            AddStoredEventShare(appVersion, installId, events.Text(1), events.Int(2),
                                events.Text(3), -1, &deltas, nullptr);
            ++outcome.events;
        }
        ok = step == SQLITE_DONE;
    }
    ok = ok && batches.Bind(1, installId).Step() == SQLITE_ROW;
    if (ok) outcome.batches = batches.Int(0);
    ok = ok && ApplyRollups(deltas, InstallationDays()) &&
         dropEvents.Bind(1, installId).Step() == SQLITE_DONE &&
         dropBatches.Bind(1, installId).Step() == SQLITE_DONE &&
         dropDays.Bind(1, installId).Step() == SQLITE_DONE && LowerWatermark() &&
         audit.Bind(1, installId)
                 .Bind(2, nowMs)
                 .Bind(3, outcome.batches)
                 .Bind(4, outcome.events)
                 .Step() == SQLITE_DONE;
    return Finish(ok, std::move(outcome));
}

void SqliteStore::LogRequest(const RequestRecord& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement insert(m_db,
                     "INSERT INTO requests(idempotency_key, attempt, upload_time_ms, receive_ms, "
                     "user_agent, status, batches_new, batches_duplicate, events_new, "
                     "wire_bytes, body_bytes, error) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!insert.Valid()) return;
    insert.Bind(1, record.idempotencyKey)
        .BindOptional(2, record.attempt)
        .BindOptional(3, record.uploadTimeMs)
        .Bind(4, record.receiveMs)
        .Bind(5, record.userAgent)
        .Bind(6, static_cast<int64_t>(record.status))
        .Bind(7, static_cast<int64_t>(record.batchesNew))
        .Bind(8, static_cast<int64_t>(record.batchesDuplicate))
        .Bind(9, static_cast<int64_t>(record.eventsNew))
        .BindOptional(10, record.wireBytes)
        .Bind(11, record.bodyBytes)
        .Bind(12, record.error);
    insert.Step();
}

bool SqliteStore::Show(std::ostream& out, int eventLimit, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement batches(m_db,
                      "SELECT batch_id, events, duplicates, received_ms, idempotency_key, appid, "
                      "appversion, device_type, tag FROM batches ORDER BY rowid");
    Statement events(m_db,
                     "SELECT batch_id, seq, received_ms, name, payload FROM events "
                     "ORDER BY rowid LIMIT ?");
    Statement requests(m_db,
                       "SELECT id, idempotency_key, attempt, upload_time_ms, receive_ms, "
                       "receive_ms - upload_time_ms, status, batches_new, batches_duplicate, "
                       "events_new, wire_bytes, body_bytes, error FROM requests ORDER BY id");
    if (!batches.Valid() || !events.Valid() || !requests.Valid()) {
        *error = sqlite3_errmsg(m_db);
        return false;
    }
    out << "Batches (batch_id, events, duplicates, received_ms, request key, app):\n";
    while (batches.Step() == SQLITE_ROW) {
        out << "  " << batches.Text(0) << "  events=" << batches.Int(1)
            << "  duplicates=" << batches.Int(2) << "  received_ms=" << batches.Int(3)
            << "  key=" << batches.Text(4) << "  app=" << batches.Text(5) << " " << batches.Text(6)
            << " device_type=" << batches.Text(7) << " tag=" << batches.Text(8) << "\n";
    }
    out << "Events (first " << eventLimit << "):\n";
    events.Bind(1, static_cast<int64_t>(eventLimit));
    while (events.Step() == SQLITE_ROW) {
        out << "  " << events.Text(0) << " #" << events.Int(1) << " " << events.Int(2) << " "
            << events.Text(3) << " " << events.Text(4) << "\n";
    }
    out << "Requests (id, key, attempt, upload time, receive time, skew ms, status, "
           "new/duplicate batches, events, bytes on the wire/decoded, error):\n";
    while (requests.Step() == SQLITE_ROW) {
        out << "  " << requests.Int(0) << " " << requests.Text(1) << " attempt=" << requests.Text(2)
            << " upload=" << requests.Text(3) << " receive=" << requests.Int(4)
            << " skew=" << requests.Text(5) << " status=" << requests.Int(6)
            << " batches=" << requests.Int(7) << "/" << requests.Int(8)
            << " events=" << requests.Int(9) << " bytes=" << requests.Text(10) << "/"
            << requests.Int(11);
        const std::string problem = requests.Text(12);
        if (!problem.empty() && problem != "-") out << " error=" << problem;
        out << "\n";
    }
    return true;
}

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, const StoreOptions& options,
                                       std::string* error) {
    auto store = std::make_unique<SqliteStore>(options);
    if (!store->Open(path, error)) return nullptr;
    return store;
}

}  // namespace server
}  // namespace tally
