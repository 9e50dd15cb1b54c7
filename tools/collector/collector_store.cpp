#include "collector_store.h"

#include <sqlite3.h>

namespace tally {
namespace collector {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS batches(
  batch_id TEXT NOT NULL UNIQUE,
  created_ms INTEGER,
  received_ms INTEGER NOT NULL,
  idempotency_key TEXT,
  events INTEGER NOT NULL,
  duplicates INTEGER NOT NULL DEFAULT 0,
  appid TEXT, appversion TEXT, device_type TEXT, tag TEXT);
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
)sql";

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

  private:
    sqlite3_stmt* m_stmt = nullptr;
};

}  // namespace

CollectorStore::~CollectorStore() {
    sqlite3_close(m_db);
}

bool CollectorStore::Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error) *error = message ? message : sqlite3_errmsg(m_db);
    sqlite3_free(message);
    return false;
}

bool CollectorStore::Open(const std::string& path, std::string* error) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        *error = "cannot open " + path + ": " + sqlite3_errmsg(m_db);
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    // WAL: `show` can read while a server writes.
    return Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error) &&
           Exec(kSchema, error);
}

StoreOutcome CollectorStore::Store(const Upload& upload, const std::string& idempotencyKey,
                                   int64_t nowMs) {
    StoreOutcome outcome;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Exec("BEGIN IMMEDIATE", &outcome.error)) return outcome;
    Statement insertBatch(m_db,
                          "INSERT INTO batches(batch_id, created_ms, received_ms, "
                          "idempotency_key, events, appid, appversion, device_type, tag) "
                          "VALUES(?,?,?,?,?,?,?,?,?) ON CONFLICT(batch_id) DO NOTHING");
    Statement countDuplicate(m_db,
                             "UPDATE batches SET duplicates = duplicates + 1 WHERE batch_id = ?");
    Statement insertEvent(m_db,
                          "INSERT INTO events(batch_id, seq, received_ms, name, payload) "
                          "VALUES(?,?,?,?,?)");
    bool ok = insertBatch.Valid() && countDuplicate.Valid() && insertEvent.Valid();
    for (size_t i = 0; ok && i < upload.batches.size(); ++i) {
        const UploadBatch& batch = upload.batches[i];
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
        }
    }
    if (!ok) {
        outcome = StoreOutcome();
        outcome.error = sqlite3_errmsg(m_db);
        Exec("ROLLBACK", nullptr);
        return outcome;
    }
    outcome.ok = Exec("COMMIT", &outcome.error);
    if (!outcome.ok) Exec("ROLLBACK", nullptr);
    return outcome;
}

void CollectorStore::LogRequest(const RequestRecord& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement insert(m_db,
                     "INSERT INTO requests(idempotency_key, attempt, upload_time_ms, receive_ms, "
                     "user_agent, status, batches_new, batches_duplicate, events_new, "
                     "wire_bytes, body_bytes, error) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!insert.Valid()) return;
    insert.Bind(1, record.idempotencyKey)
        .Bind(2, record.attempt)
        .Bind(3, record.uploadTimeMs)
        .Bind(4, record.receiveMs)
        .Bind(5, record.userAgent)
        .Bind(6, static_cast<int64_t>(record.status))
        .Bind(7, static_cast<int64_t>(record.batchesNew))
        .Bind(8, static_cast<int64_t>(record.batchesDuplicate))
        .Bind(9, static_cast<int64_t>(record.eventsNew))
        .Bind(10, record.wireBytes)
        .Bind(11, record.bodyBytes)
        .Bind(12, record.error);
    insert.Step();
}

bool CollectorStore::Show(std::ostream& out, int eventLimit, std::string* error) {
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

}  // namespace collector
}  // namespace tally
