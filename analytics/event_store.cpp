#include "event_store.h"

#include <sqlite3.h>

#include <filesystem>
#include <system_error>

#include "store_schema.h"

namespace tally {

namespace fs = std::filesystem;

namespace {

// How long opening waits for another process that holds the database (for
// example one recovering it after a crash). Opening runs on the host's thread
// during initialisation, never on the event path, which waits for nobody.
constexpr int kOpenBusyTimeoutMs = 2000;

// The write-ahead log shrinks back to this size when it is restarted.
constexpr const char kJournalSizeLimitSql[] = "PRAGMA journal_size_limit=4194304";

// Resets a statement when the scope ends, whatever path leaves it.
class StatementScope {
  public:
    explicit StatementScope(sqlite3_stmt* statement) : m_statement(statement) {}
    ~StatementScope() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    StatementScope(const StatementScope&) = delete;
    StatementScope& operator=(const StatementScope&) = delete;

  private:
    sqlite3_stmt* m_statement;
};

bool IsBusy(int rc) {
    int primary = rc & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Runs a one-row query answering one integer. False on an error.
bool QueryInt(sqlite3* db, const char* sql, int64_t* value) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
    bool ok = sqlite3_step(statement) == SQLITE_ROW;
    if (ok) *value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return ok;
}

// Runs a one-row query answering one text. False on an error.
bool QueryText(sqlite3* db, const char* sql, std::string* value) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
    bool ok = sqlite3_step(statement) == SQLITE_ROW;
    if (ok) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        value->assign(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
    sqlite3_finalize(statement);
    return ok;
}

// One ad-hoc statement with its bindings, finalised when the scope ends. The
// upload's statements run about once a second, so they are not kept prepared.
class Query {
  public:
    Query(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK) {
            m_statement = nullptr;
        }
    }
    ~Query() { sqlite3_finalize(m_statement); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    bool Ok() const { return m_statement != nullptr; }
    Query& Bind(int index, int64_t value) {
        if (m_statement != nullptr) sqlite3_bind_int64(m_statement, index, value);
        return *this;
    }
    Query& Bind(int index, const std::string& value) {
        if (m_statement != nullptr) {
            sqlite3_bind_text(m_statement, index, value.data(), static_cast<int>(value.size()),
                              SQLITE_TRANSIENT);
        }
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return m_statement != nullptr ? sqlite3_step(m_statement) : SQLITE_ERROR; }
    bool Run() { return Step() == SQLITE_DONE; }
    int64_t Int(int column) { return sqlite3_column_int64(m_statement, column); }
    std::string Text(int column) {
        const unsigned char* text = sqlite3_column_text(m_statement, column);
        return text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }

  private:
    sqlite3_stmt* m_statement = nullptr;
};

}  // namespace

EventStore::~EventStore() {
    Close();
}

bool EventStore::Open(const std::string& path, std::string* error) {
    Close();
    if (path.empty()) {
        *error = "no database path configured";
        return false;
    }
    std::error_code ec;
    fs::path folder = fs::u8path(path).parent_path();
    if (!folder.empty()) {
        fs::create_directories(folder, ec);
        if (ec) {
            *error = "cannot create database folder " + folder.u8string() + ": " + ec.message();
            return false;
        }
    }
    int rc =
        sqlite3_open_v2(path.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *error = "cannot open database " + path + ": " +
                 (m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc));
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    m_path = path;
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, kOpenBusyTimeoutMs);
    if (!CreateOrCheckSchema(error) || !Prepare(error) ||
        !QueryInt(m_db, "SELECT count(*) FROM events", &m_count) ||
        !QueryInt(m_db, "SELECT coalesce(sum(size), 0) FROM events", &m_bytes)) {
        if (error->empty()) *error = "cannot read database " + path + ": " + LastError();
        Close();
        return false;
    }
    // From here on a locked database is reported at once, never waited for.
    sqlite3_busy_timeout(m_db, 0);
    sqlite3_wal_hook(m_db, &EventStore::WalHook, this);
    return true;
}

bool EventStore::CreateOrCheckSchema(std::string* error) {
    int64_t applicationId = 0;
    int64_t version = 0;
    if (!QueryInt(m_db, "PRAGMA application_id", &applicationId) ||
        !QueryInt(m_db, "PRAGMA user_version", &version)) {
        *error = "cannot read database " + m_path + ": " + LastError();
        return false;
    }
    bool fresh = false;
    if (applicationId == 0 && version == 0) {
        int64_t objects = 0;
        if (!QueryInt(m_db, "SELECT count(*) FROM sqlite_master", &objects)) {
            *error = "cannot read database " + m_path + ": " + LastError();
            return false;
        }
        if (objects != 0) {
            *error = "database " + m_path + " belongs to another application (it has tables " +
                     "but no analytics schema)";
            return false;
        }
        fresh = true;
    } else if (applicationId != kApplicationId) {
        *error = "database " + m_path + " belongs to another application (application_id " +
                 std::to_string(applicationId) + ")";
        return false;
    } else if (version > kSchemaVersion) {
        *error = "database " + m_path + " has schema version " + std::to_string(version) +
                 ", newer than this library's " + std::to_string(kSchemaVersion);
        return false;
    } else if (version >= 1 && version < kSchemaVersion) {
        if (!Migrate(version, error)) return false;
    } else if (version != kSchemaVersion) {
        *error = "database " + m_path + " has unknown schema version " + std::to_string(version);
        return false;
    }
    if (!fresh) {
        std::string verdict;
        if (!QueryText(m_db, "PRAGMA quick_check(1)", &verdict)) {
            *error = "cannot check database " + m_path + ": " + LastError();
            return false;
        }
        if (verdict != "ok") {
            *error = "database " + m_path + " is damaged: " + verdict;
            return false;
        }
    }
    std::string mode;
    if (!QueryText(m_db, "PRAGMA journal_mode=WAL", &mode) || mode != "wal") {
        *error = "cannot switch database " + m_path + " to write-ahead logging: " +
                 (mode.empty() ? LastError() : "journal mode stays " + mode);
        return false;
    }
    if (!Exec("PRAGMA synchronous=NORMAL", error) || !Exec(kJournalSizeLimitSql, error)) {
        return false;
    }
    if (!fresh) return true;
    // Another process may be creating the same file: decide inside the write
    // transaction whether the schema is still missing.
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    if (!QueryInt(m_db, "PRAGMA user_version", &version)) {
        *error = "cannot read database " + m_path + ": " + LastError();
        Exec("ROLLBACK", error);
        return false;
    }
    if (version == 0) {
        std::string setIds = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                             ";PRAGMA user_version=" + std::to_string(kSchemaVersion);
        if (!Exec(kCreateSchemaSql, error) || !Exec(setIds.c_str(), error)) {
            std::string ignored;
            Exec("ROLLBACK", &ignored);
            return false;
        }
    }
    return Exec("COMMIT", error);
}

bool EventStore::Prepare(std::string* error) {
    struct Item {
        sqlite3_stmt** statement;
        const char* sql;
    };
    const Item items[] = {
        {&m_begin, "BEGIN IMMEDIATE"},
        {&m_commit, "COMMIT"},
        {&m_rollback, "ROLLBACK"},
        {&m_insertEvent,
         "INSERT INTO events(received_ms, name, payload, size) VALUES(?1, ?2, ?3, ?4)"},
        {&m_oldestEvent, "SELECT seq, size, batch FROM events ORDER BY seq LIMIT 1"},
        // Events go oldest first and a batch holds a contiguous range, so a
        // batch whose last event goes is empty.
        {&m_deleteEmptyBatch, "DELETE FROM batches WHERE id = ?1 AND last_seq <= ?2"},
        {&m_deleteEvent, "DELETE FROM events WHERE seq = ?1"},
        // Only events after the last batch can be waiting: a rowid range.
        {&m_unbatchedRange,
         "SELECT min(seq), max(seq), count(*), coalesce(sum(size), 0) FROM events WHERE "
         "batch IS NULL AND "
         "seq > coalesce((SELECT last_seq FROM batches ORDER BY id DESC LIMIT 1), 0)"},
        {&m_unbatchedSizes,
         "SELECT seq, size FROM events WHERE batch IS NULL AND seq >= ?1 ORDER BY seq"},
        {&m_insertBatch,
         "INSERT INTO batches(created_ms, first_seq, last_seq, event_count, state, uuid) "
         "VALUES(?1, ?2, ?3, ?4, ?5, " TALLY_UUID_SQL ")"},
        {&m_assignBatch,
         "UPDATE events SET batch = ?1 WHERE seq BETWEEN ?2 AND ?3 AND batch IS NULL"},
        {&m_addCounter,
         "INSERT INTO counters(name, value) VALUES(?1, ?2) "
         "ON CONFLICT(name) DO UPDATE SET value = value + excluded.value"},
        {&m_putMeta, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)"},
    };
    for (const Item& item : items) {
        if (sqlite3_prepare_v3(m_db, item.sql, -1, SQLITE_PREPARE_PERSISTENT, item.statement,
                               nullptr) != SQLITE_OK) {
            *error = "cannot prepare \"" + std::string(item.sql) + "\": " + LastError();
            return false;
        }
    }
    return true;
}

void EventStore::Close() {
    sqlite3_stmt** statements[] = {
        &m_begin,       &m_commit,           &m_rollback,      &m_insertEvent, &m_oldestEvent,
        &m_deleteEvent, &m_unbatchedRange,   &m_insertBatch,   &m_assignBatch, &m_addCounter,
        &m_putMeta,     &m_deleteEmptyBatch, &m_unbatchedSizes};
    for (sqlite3_stmt** statement : statements) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    if (m_db != nullptr) {
        sqlite3_wal_hook(m_db, nullptr, nullptr);
        // As the last connection, this also checkpoints and removes the log.
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    m_path.clear();
    m_count = 0;
    m_bytes = 0;
}

bool EventStore::Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return true;
    *error = "\"" + std::string(sql).substr(0, 40) + "\" failed on " + m_path + ": " +
             (message != nullptr ? message : sqlite3_errstr(rc));
    sqlite3_free(message);
    return false;
}

std::string EventStore::LastError() const {
    return m_db != nullptr ? sqlite3_errmsg(m_db) : "no database";
}

WriteStatus EventStore::WriteMeta(const Identity& identity, const StoreLimits& limits,
                                  int64_t nowMs, std::string* error) {
    const std::pair<const char*, std::string> entries[] = {
        {kMetaAppId, identity.appid},
        {kMetaAppVersion, identity.appversion},
        {kMetaDeviceType, identity.deviceType},
        {kMetaTag, identity.tag},
        {kMetaDomain, identity.domain},
        {kMetaMaxEvents, std::to_string(limits.maxEvents)},
        {kMetaMaxBytes, std::to_string(limits.maxBytes)},
        {kMetaOpenedMs, std::to_string(nowMs)},
        {kMetaCertParam1, std::to_string(identity.certParam1)},
        {kMetaCertParam2, std::to_string(identity.certParam2)},
        {kMetaUploadTls, identity.uploadTls},
    };
    int rc = sqlite3_step(m_begin);
    sqlite3_reset(m_begin);
    if (rc != SQLITE_DONE) {
        *error = "cannot write identity to " + m_path + ": " + LastError();
        return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
    }
    for (const auto& entry : entries) {
        StatementScope scope(m_putMeta);
        sqlite3_bind_text(m_putMeta, 1, entry.first, -1, SQLITE_STATIC);
        sqlite3_bind_text(m_putMeta, 2, entry.second.data(), static_cast<int>(entry.second.size()),
                          SQLITE_STATIC);
        rc = sqlite3_step(m_putMeta);
        if (rc != SQLITE_DONE) break;
    }
    if (rc == SQLITE_DONE) {
        rc = sqlite3_step(m_commit);
        sqlite3_reset(m_commit);
    }
    if (rc != SQLITE_DONE) {
        *error = "cannot write identity to " + m_path + ": " + LastError();
        sqlite3_step(m_rollback);
        sqlite3_reset(m_rollback);
        return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
    }
    return WriteStatus::Ok;
}

bool EventStore::InsertEvent(const PendingOp& op, int64_t* seq) {
    StatementScope scope(m_insertEvent);
    int64_t size = static_cast<int64_t>(op.name.size() + op.payload.size());
    sqlite3_bind_int64(m_insertEvent, 1, op.timeMs);
    sqlite3_bind_text(m_insertEvent, 2, op.name.data(), static_cast<int>(op.name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(m_insertEvent, 3, op.payload.data(), static_cast<int>(op.payload.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(m_insertEvent, 4, size);
    if (sqlite3_step(m_insertEvent) != SQLITE_DONE) return false;
    *seq = sqlite3_last_insert_rowid(m_db);
    ++m_count;
    m_bytes += size;
    return true;
}

bool EventStore::EvictToLimits(const StoreLimits& limits, ApplyOutcome* outcome) {
    while (m_count > 0 && (m_count > limits.maxEvents || m_bytes > limits.maxBytes)) {
        int64_t seq = 0;
        int64_t size = 0;
        int64_t batch = 0;
        {
            StatementScope scope(m_oldestEvent);
            if (sqlite3_step(m_oldestEvent) != SQLITE_ROW) return false;
            seq = sqlite3_column_int64(m_oldestEvent, 0);
            size = sqlite3_column_int64(m_oldestEvent, 1);
            batch = sqlite3_column_int64(m_oldestEvent, 2);
        }
        {
            StatementScope scope(m_deleteEvent);
            sqlite3_bind_int64(m_deleteEvent, 1, seq);
            if (sqlite3_step(m_deleteEvent) != SQLITE_DONE) return false;
        }
        if (batch != 0) {
            StatementScope scope(m_deleteEmptyBatch);
            sqlite3_bind_int64(m_deleteEmptyBatch, 1, batch);
            sqlite3_bind_int64(m_deleteEmptyBatch, 2, seq);
            if (sqlite3_step(m_deleteEmptyBatch) != SQLITE_DONE) return false;
        }
        --m_count;
        m_bytes -= size;
        ++outcome->evictedEvents;
        outcome->evictedBytes += size;
    }
    return true;
}

bool EventStore::InsertBatch(int64_t timeMs, BatchInfo* batch, ApplyOutcome* outcome) {
    {
        StatementScope scope(m_insertBatch);
        sqlite3_bind_int64(m_insertBatch, 1, timeMs);
        sqlite3_bind_int64(m_insertBatch, 2, batch->firstSeq);
        sqlite3_bind_int64(m_insertBatch, 3, batch->lastSeq);
        sqlite3_bind_int64(m_insertBatch, 4, batch->eventCount);
        sqlite3_bind_text(m_insertBatch, 5, kBatchReady, -1, SQLITE_STATIC);
        if (sqlite3_step(m_insertBatch) != SQLITE_DONE) return false;
        batch->id = sqlite3_last_insert_rowid(m_db);
    }
    StatementScope scope(m_assignBatch);
    sqlite3_bind_int64(m_assignBatch, 1, batch->id);
    sqlite3_bind_int64(m_assignBatch, 2, batch->firstSeq);
    sqlite3_bind_int64(m_assignBatch, 3, batch->lastSeq);
    if (sqlite3_step(m_assignBatch) != SQLITE_DONE) return false;
    outcome->batches.push_back(*batch);
    return true;
}

bool EventStore::MakeBatch(int64_t timeMs, ApplyOutcome* outcome) {
    BatchInfo whole;
    int64_t bytes = 0;
    {
        StatementScope scope(m_unbatchedRange);
        if (sqlite3_step(m_unbatchedRange) != SQLITE_ROW) return false;
        whole.eventCount = sqlite3_column_int64(m_unbatchedRange, 2);
        if (whole.eventCount == 0) return true;
        whole.firstSeq = sqlite3_column_int64(m_unbatchedRange, 0);
        whole.lastSeq = sqlite3_column_int64(m_unbatchedRange, 1);
        bytes = sqlite3_column_int64(m_unbatchedRange, 3);
    }
    if (whole.eventCount <= kMaxBatchEvents && bytes <= kMaxBatchBytes) {
        return InsertBatch(timeMs, &whole, outcome);
    }
    // More than one request's worth waits: cut it, in order, so that every
    // batch fits one request.
    std::vector<BatchInfo> cuts;
    {
        StatementScope scope(m_unbatchedSizes);
        sqlite3_bind_int64(m_unbatchedSizes, 1, whole.firstSeq);
        BatchInfo current;
        int64_t currentBytes = 0;
        int rc;
        while ((rc = sqlite3_step(m_unbatchedSizes)) == SQLITE_ROW) {
            int64_t seq = sqlite3_column_int64(m_unbatchedSizes, 0);
            int64_t size = sqlite3_column_int64(m_unbatchedSizes, 1);
            if (current.eventCount > 0 && (current.eventCount + 1 > kMaxBatchEvents ||
                                           currentBytes + size > kMaxBatchBytes)) {
                cuts.push_back(current);
                current = BatchInfo();
                currentBytes = 0;
            }
            if (current.eventCount == 0) current.firstSeq = seq;
            current.lastSeq = seq;
            ++current.eventCount;
            currentBytes += size;
        }
        if (rc != SQLITE_DONE) return false;
        if (current.eventCount > 0) cuts.push_back(current);
    }
    for (BatchInfo& cut : cuts) {
        if (!InsertBatch(timeMs, &cut, outcome)) return false;
    }
    return true;
}

bool EventStore::AddCounter(const std::string& name, int64_t delta) {
    if (delta == 0) return true;
    StatementScope scope(m_addCounter);
    sqlite3_bind_text(m_addCounter, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(m_addCounter, 2, delta);
    return sqlite3_step(m_addCounter) == SQLITE_DONE;
}

WriteStatus EventStore::Apply(const std::deque<PendingOp>& ops,
                              const std::map<std::string, int64_t>& counterDeltas,
                              const StoreLimits& limits, ApplyOutcome* outcome,
                              std::string* error) {
    if (m_db == nullptr) {
        *error = "no database open";
        return WriteStatus::Failed;
    }
    int rc = sqlite3_step(m_begin);
    sqlite3_reset(m_begin);
    if (rc != SQLITE_DONE) {
        *error = LastError();
        return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
    }
    const int64_t committedCount = m_count;
    const int64_t committedBytes = m_bytes;
    ApplyOutcome done;
    bool ok = true;
    for (const PendingOp& op : ops) {
        if (op.kind == PendingOp::Kind::Event) {
            int64_t seq = 0;
            ok = InsertEvent(op, &seq) && EvictToLimits(limits, &done);
            if (ok) ++done.storedEvents;
        } else if (op.kind == PendingOp::Kind::Submit) {
            ok = MakeBatch(op.timeMs, &done);
        } else if (op.kind == PendingOp::Kind::Forget) {
            ok = ForgetUnsent(op.timeMs, &done);
        } else {
            ok = MakeInstallId(&done);
        }
        if (!ok) break;
    }
    ok = ok && EvictToLimits(limits, &done);
    for (auto it = counterDeltas.begin(); ok && it != counterDeltas.end(); ++it) {
        ok = AddCounter(it->first, it->second);
    }
    ok = ok && AddCounter(kCounterEvictedEvents, done.evictedEvents) &&
         AddCounter(kCounterEvictedBytes, done.evictedBytes);
    if (ok) {
        rc = sqlite3_step(m_commit);
        sqlite3_reset(m_commit);
        ok = rc == SQLITE_DONE;
    } else {
        rc = sqlite3_errcode(m_db);
    }
    if (!ok) {
        *error = LastError();
        sqlite3_step(m_rollback);
        sqlite3_reset(m_rollback);
        m_count = committedCount;
        m_bytes = committedBytes;
        return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
    }
    *outcome = std::move(done);
    return WriteStatus::Ok;
}

bool EventStore::Migrate(int64_t fromVersion, std::string* error) {
    // Another process may be migrating the same file: decide inside the
    // write transaction, from the version found there.
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    int64_t version = fromVersion;
    std::string ignored;
    if (!QueryInt(m_db, "PRAGMA user_version", &version)) {
        *error = "cannot read database " + m_path + ": " + LastError();
        Exec("ROLLBACK", &ignored);
        return false;
    }
    bool ok = true;
    if (version == 1) {
        ok = Exec(kMigrateFrom1Sql, error) &&
             Exec("UPDATE batches SET uuid = " TALLY_UUID_SQL " WHERE uuid = ''", error);
        version = 2;
    }
    if (ok && version == 2) {
        ok = Exec(kMigrateFrom2Sql, error);
        version = 3;
    }
    std::string setVersion = "PRAGMA user_version=" + std::to_string(version);
    if (!ok || !Exec(setVersion.c_str(), error)) {
        Exec("ROLLBACK", &ignored);
        return false;
    }
    return Exec("COMMIT", error);
}

bool EventStore::ForgetUnsent(int64_t timeMs, ApplyOutcome* outcome) {
    if (!Query(m_db, "DELETE FROM events").Run()) return false;
    if (!Query(m_db, "DELETE FROM batches WHERE state IN ('ready', 'sending')").Run()) {
        return false;
    }
    outcome->forgottenEvents += m_count;
    if (!AddCounter(kCounterConsentDeletedEvents, m_count)) return false;
    m_count = 0;
    m_bytes = 0;
    // The id goes with the events, in the same commit: whatever the server
    // holds under it is asked to be deleted, and nothing sent later can be
    // joined to it. No id (already retired by an opt-out whose mark was not
    // cleared before a kill): nothing to ask for.
    std::string installId;
    {
        Query q(m_db, "SELECT value FROM meta WHERE key = ?1");
        q.Bind(1, std::string(kMetaInstallId));
        int rc = q.Step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
        if (rc == SQLITE_ROW) installId = q.Text(0);
    }
    if (installId.empty()) return true;
    bool ok =
        Query(m_db,
              "INSERT INTO deletions(install_id, request_id, requested_ms, state) "
              "VALUES(?1, " TALLY_UUID_SQL ", ?2, ?3)")
            .Bind(1, installId)
            .Bind(2, timeMs)
            .Bind(3, std::string(kDeletionPending))
            .Run() &&
        Query(m_db, "DELETE FROM meta WHERE key = ?1").Bind(1, std::string(kMetaInstallId)).Run() &&
        AddCounter(kCounterDeletionRequestsMade, 1);
    if (ok) outcome->retiredInstallIds.push_back(installId);
    return ok;
}

bool EventStore::MakeInstallId(ApplyOutcome* outcome) {
    const std::string key = kMetaInstallId;
    if (!Query(m_db, "INSERT OR IGNORE INTO meta(key, value) VALUES(?1, " TALLY_UUID_SQL ")")
             .Bind(1, key)
             .Run()) {
        return false;
    }
    if (sqlite3_changes(m_db) == 0) return true;
    Query q(m_db, "SELECT value FROM meta WHERE key = ?1");
    q.Bind(1, key);
    if (q.Step() != SQLITE_ROW) return false;
    outcome->newInstallId = q.Text(0);
    return true;
}

WriteStatus EventStore::Begin(std::string* error) {
    if (m_db == nullptr) {
        *error = "no database open";
        return WriteStatus::Failed;
    }
    int rc = sqlite3_step(m_begin);
    sqlite3_reset(m_begin);
    if (rc == SQLITE_DONE) return WriteStatus::Ok;
    *error = LastError();
    return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
}

WriteStatus EventStore::EndTransaction(bool ok, std::string* error) {
    int rc = SQLITE_DONE;
    if (ok) {
        rc = sqlite3_step(m_commit);
        sqlite3_reset(m_commit);
        ok = rc == SQLITE_DONE;
    } else {
        rc = sqlite3_errcode(m_db);
    }
    if (ok) return WriteStatus::Ok;
    *error = LastError();
    sqlite3_step(m_rollback);
    sqlite3_reset(m_rollback);
    return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
}

WriteStatus EventStore::PickRequest(int64_t maxBatches, int64_t maxEvents, int64_t maxBytes,
                                    int64_t poisonAttempts, PickedRequest* picked, bool* found,
                                    std::string* error) {
    *found = false;
    WriteStatus status = Begin(error);
    if (status != WriteStatus::Ok) return status;
    bool ok = true;
    PickedRequest result;
    bool poisoned = false;
    {
        Query q(m_db,
                "SELECT request_id, max(attempts), max(coalesce(next_attempt_ms, 0)), "
                "max(attempts >= ?1 AND last_status BETWEEN 500 AND 599) AS poisoned "
                "FROM batches WHERE state = 'sending' GROUP BY request_id "
                "ORDER BY poisoned, min(id) LIMIT 1");
        q.Bind(1, poisonAttempts);
        int rc = q.Step();
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (rc == SQLITE_ROW) {
            result.requestId = q.Text(0);
            result.attempts = q.Int(1);
            result.nextAttemptMs = q.Int(2);
            poisoned = q.Int(3) != 0;
            *found = true;
        }
    }
    if (ok && (!*found || poisoned)) {
        // New batches go before a request the server keeps refusing.
        std::vector<int64_t> ids;
        {
            Query q(
                m_db,
                "SELECT id, event_count, (SELECT coalesce(sum(size), 0) FROM events "
                "WHERE " TALLY_EVENTS_OF_BATCH_SQL("b") ") FROM batches b "
                "WHERE state = 'ready' ORDER BY id LIMIT ?1");
            q.Bind(1, maxBatches);
            int64_t events = 0;
            int64_t bytes = 0;
            int rc;
            while ((rc = q.Step()) == SQLITE_ROW) {
                int64_t count = q.Int(1);
                int64_t size = q.Int(2);
                if (!ids.empty() && (events + count > maxEvents || bytes + size > maxBytes)) break;
                ids.push_back(q.Int(0));
                events += count;
                bytes += size;
            }
            ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        }
        if (ok && !ids.empty()) {
            Query uuid(m_db, "SELECT " TALLY_UUID_SQL);
            ok = uuid.Step() == SQLITE_ROW;
            if (ok) {
                result = PickedRequest();
                result.requestId = uuid.Text(0);
                *found = true;
            }
            for (size_t i = 0; ok && i < ids.size(); ++i) {
                ok = Query(m_db,
                           "UPDATE batches SET state = 'sending', request_id = ?1 WHERE id = ?2")
                         .Bind(1, result.requestId)
                         .Bind(2, ids[i])
                         .Run();
            }
        }
    }
    if (ok && *found) {
        Query q(m_db, "SELECT value FROM meta WHERE key = ?1");
        q.Bind(1, std::string(kMetaInstallId));
        int rc = q.Step();
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (rc == SQLITE_ROW) result.installId = q.Text(0);
    }
    if (ok && *found) {
        Query q(m_db,
                "SELECT id FROM batches WHERE request_id = ?1 AND state = 'sending' "
                "ORDER BY id");
        q.Bind(1, result.requestId);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) result.batchIds.push_back(q.Int(0));
        ok = rc == SQLITE_DONE;
    }
    status = EndTransaction(ok, error);
    if (status != WriteStatus::Ok) {
        *found = false;
        return status;
    }
    if (*found) *picked = std::move(result);
    return WriteStatus::Ok;
}

WriteStatus EventStore::FinishRequest(const std::string& requestId, const RequestEnd& end,
                                      RequestEndOutcome* outcome, std::string* error) {
    WriteStatus status = Begin(error);
    if (status != WriteStatus::Ok) return status;
    RequestEndOutcome done;
    bool ok = AddCounter(kCounterUploadRequests, 1);
    using Action = RequestEnd::Action;
    if (ok && (end.action == Action::Sent || end.action == Action::Rejected)) {
        const char* inRequest =
            "seq IN (SELECT seq FROM batches b JOIN events ON " TALLY_EVENTS_OF_BATCH_SQL(
                "b") " WHERE b.request_id = ?1 AND b.state = 'sending')";
        {
            Query q(m_db, (std::string("SELECT count(*), coalesce(sum(size), 0) FROM events "
                                       "WHERE ") +
                           inRequest)
                              .c_str());
            q.Bind(1, requestId);
            ok = q.Step() == SQLITE_ROW;
            if (ok) {
                done.events = q.Int(0);
                done.bytes = q.Int(1);
            }
        }
        ok = ok && Query(m_db, (std::string("DELETE FROM events WHERE ") + inRequest).c_str())
                       .Bind(1, requestId)
                       .Run();
        ok = ok &&
             Query(m_db,
                   "UPDATE batches SET state = ?2, sent_ms = ?3, last_status = ?4, "
                   "last_error = ?5, attempts = attempts + 1, next_attempt_ms = NULL "
                   "WHERE request_id = ?1 AND state = 'sending'")
                 .Bind(1, requestId)
                 .Bind(2, std::string(end.action == Action::Sent ? kBatchSent : kBatchRejected))
                 .Bind(3, end.nowMs)
                 .Bind(4, end.status)
                 .Bind(5, end.error)
                 .Run();
        ok = ok && AddCounter(end.action == Action::Sent ? kCounterUploadSentEvents
                                                         : kCounterUploadRejectedEvents,
                              done.events);
        ok = ok && Query(m_db,
                         "DELETE FROM batches WHERE state IN ('sent', 'rejected') AND id <= "
                         "(SELECT id FROM batches WHERE state IN ('sent', 'rejected') "
                         "ORDER BY id DESC LIMIT 1 OFFSET ?1)")
                       .Bind(1, kKeptFinishedBatches)
                       .Run();
    } else if (ok && end.action == Action::Dissolve) {
        // Each batch gets a request of its own, with a fresh count.
        ok = Query(m_db, "UPDATE batches SET request_id = " TALLY_UUID_SQL
                         ", attempts = 0, last_status = ?2, last_error = ?3 "
                         "WHERE request_id = ?1 AND state = 'sending'")
                 .Bind(1, requestId)
                 .Bind(2, end.status)
                 .Bind(3, end.error)
                 .Run();
        ok = ok && AddCounter(kCounterUploadFailedAttempts, 1);
    } else if (ok) {
        ok = Query(m_db,
                   "UPDATE batches SET attempts = attempts + 1, last_status = ?2, "
                   "last_error = ?3, next_attempt_ms = ?4 "
                   "WHERE request_id = ?1 AND state = 'sending'")
                 .Bind(1, requestId)
                 .Bind(2, end.status)
                 .Bind(3, end.error)
                 .Bind(4, end.nextAttemptMs)
                 .Run();
        ok = ok && AddCounter(kCounterUploadFailedAttempts, 1);
        if (end.tlsFailure) ok = ok && AddCounter(kCounterUploadTlsFailures, 1);
    }
    status = EndTransaction(ok, error);
    if (status != WriteStatus::Ok) return status;
    m_count -= done.events;
    m_bytes -= done.bytes;
    *outcome = done;
    return WriteStatus::Ok;
}

WriteStatus EventStore::PickDeletion(PendingDeletion* deletion, bool* found, std::string* error) {
    *found = false;
    if (m_db == nullptr) {
        *error = "no database open";
        return WriteStatus::Failed;
    }
    Query q(m_db,
            "SELECT id, install_id, request_id, requested_ms, attempts, "
            "coalesce(next_attempt_ms, 0) FROM deletions WHERE state = ?1 ORDER BY id LIMIT 1");
    q.Bind(1, std::string(kDeletionPending));
    int rc = q.Step();
    if (rc == SQLITE_ROW) {
        deletion->id = q.Int(0);
        deletion->installId = q.Text(1);
        deletion->requestId = q.Text(2);
        deletion->requestedMs = q.Int(3);
        deletion->attempts = q.Int(4);
        deletion->nextAttemptMs = q.Int(5);
        *found = true;
        return WriteStatus::Ok;
    }
    if (rc == SQLITE_DONE) return WriteStatus::Ok;
    *error = LastError();
    return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
}

WriteStatus EventStore::FinishDeletion(int64_t id, const DeletionEnd& end, std::string* error) {
    WriteStatus status = Begin(error);
    if (status != WriteStatus::Ok) return status;
    using Action = DeletionEnd::Action;
    bool ok = AddCounter(kCounterDeletionRequestsSent, 1);
    if (ok && end.action == Action::Keep) {
        ok = Query(m_db,
                   "UPDATE deletions SET attempts = attempts + 1, last_status = ?2, "
                   "last_error = ?3, next_attempt_ms = ?4 WHERE id = ?1 AND state = ?5")
                 .Bind(1, id)
                 .Bind(2, end.status)
                 .Bind(3, end.error)
                 .Bind(4, end.nextAttemptMs)
                 .Bind(5, std::string(kDeletionPending))
                 .Run() &&
             AddCounter(kCounterDeletionFailedAttempts, 1);
    } else if (ok) {
        bool done = end.action == Action::Done;
        ok = Query(m_db,
                   "UPDATE deletions SET state = ?2, attempts = attempts + 1, last_status = ?3, "
                   "last_error = ?4, next_attempt_ms = NULL, finished_ms = ?5 "
                   "WHERE id = ?1 AND state = ?6")
                 .Bind(1, id)
                 .Bind(2, std::string(done ? kDeletionDone : kDeletionDropped))
                 .Bind(3, end.status)
                 .Bind(4, end.error)
                 .Bind(5, end.nowMs)
                 .Bind(6, std::string(kDeletionPending))
                 .Run() &&
             AddCounter(done ? kCounterDeletionRequestsDone : kCounterDeletionRequestsDropped, 1) &&
             Query(m_db,
                   "DELETE FROM deletions WHERE state <> ?2 AND id <= "
                   "(SELECT id FROM deletions WHERE state <> ?2 "
                   "ORDER BY id DESC LIMIT 1 OFFSET ?1)")
                 .Bind(1, kKeptFinishedDeletions)
                 .Bind(2, std::string(kDeletionPending))
                 .Run();
    }
    return EndTransaction(ok, error);
}

void EventStore::SetWalPagesCallback(std::function<void(int)> callback) {
    m_walPages = std::move(callback);
}

int EventStore::WalHook(void* self, sqlite3*, const char*, int pages) {
    EventStore* store = static_cast<EventStore*>(self);
    if (store->m_walPages) store->m_walPages(pages);
    return SQLITE_OK;
}

WriteStatus EventStore::Checkpoint(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    // A new connection learns that the database is in WAL mode only from its
    // first read; before that a checkpoint silently does nothing.
    int64_t ignored = 0;
    if (rc == SQLITE_OK && !QueryInt(db, "PRAGMA schema_version", &ignored)) {
        rc = sqlite3_errcode(db);
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        *error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    }
    sqlite3_close_v2(db);
    if (rc == SQLITE_OK) return WriteStatus::Ok;
    return IsBusy(rc) ? WriteStatus::Busy : WriteStatus::Failed;
}

}  // namespace tally
