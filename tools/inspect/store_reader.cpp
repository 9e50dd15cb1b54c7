#include "store_reader.h"

#include <sqlite3.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include "store_schema.h"

namespace tally {
namespace inspect {

namespace fs = std::filesystem;

namespace {

// Read-only connection, closed with the object.
class Connection {
  public:
    ~Connection() { sqlite3_close_v2(m_db); }
    int Open(const std::string& path) {
        return sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr);
    }
    sqlite3* Get() const { return m_db; }
    std::string Error() const { return m_db != nullptr ? sqlite3_errmsg(m_db) : "no connection"; }

  private:
    sqlite3* m_db = nullptr;
};

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

// Runs `sql`, calling `row` for each result row. False on an error.
template <typename RowFn>
bool ForEachRow(sqlite3* db, const char* sql, RowFn row) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE;
}

bool QueryInt(sqlite3* db, const char* sql, int64_t* value) {
    bool found = false;
    bool ok = ForEachRow(db, sql, [&](sqlite3_stmt* s) {
        *value = sqlite3_column_int64(s, 0);
        found = true;
    });
    return ok && found;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Ledger text as 8-bit text: UTF-16 (with its byte-order mark) is narrowed,
// which keeps the ASCII keys and digits the ledger holds.
std::string LedgerText(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::string narrow;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            narrow.push_back(bytes[i + 1] == 0 ? bytes[i] : '?');
        }
        return narrow;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
    return bytes;
}

// Missing, or not a regular file: answers the verdict, or Ok to go on.
ReadResult CheckFile(const std::string& path, const char* what, std::string* error) {
    std::error_code ec;
    fs::file_status status = fs::status(fs::u8path(path), ec);
    if (!fs::exists(status)) {
        *error = std::string("no ") + what + " at " + path;
        return ReadResult::Missing;
    }
    if (!fs::is_regular_file(status)) {
        *error = path + " is not a file";
        return ReadResult::Foreign;
    }
    return ReadResult::Ok;
}

}  // namespace

ReadResult ReadStore(const std::string& path, StoreSnapshot* snapshot, std::string* error) {
    ReadResult verdict = CheckFile(path, "analytics database", error);
    if (verdict != ReadResult::Ok) return verdict;
    Connection connection;
    if (connection.Open(path) != SQLITE_OK) {
        *error = "cannot open " + path + ": " + connection.Error();
        return ReadResult::Unreadable;
    }
    sqlite3* db = connection.Get();
    int64_t applicationId = 0;
    if (!QueryInt(db, "PRAGMA application_id", &applicationId)) {
        int code = sqlite3_errcode(db);
        *error = path + (code == SQLITE_NOTADB ? " is not an analytics database (not SQLite)"
                                               : " cannot be read: " + connection.Error());
        return code == SQLITE_NOTADB ? ReadResult::Foreign : ReadResult::Unreadable;
    }
    if (applicationId != kApplicationId) {
        *error = path + " is not an analytics database (an SQLite file of another application)";
        return ReadResult::Foreign;
    }
    StoreSnapshot result;
    result.path = path;
    if (!QueryInt(db, "PRAGMA user_version", &result.schemaVersion)) {
        *error = path + " cannot be read: " + connection.Error();
        return ReadResult::Unreadable;
    }
    if (result.schemaVersion != kSchemaVersion) {
        *error = path + " has schema version " + std::to_string(result.schemaVersion) +
                 "; this inspector reads version " + std::to_string(kSchemaVersion);
        return ReadResult::Unreadable;
    }
    bool ok = ForEachRow(db, "SELECT key, value FROM meta", [&](sqlite3_stmt* s) {
        result.meta[ColumnText(s, 0)] = ColumnText(s, 1);
    });
    ok = ok && ForEachRow(db,
                          "SELECT e.seq, e.received_ms, e.name, e.payload, e.size, "
                          "coalesce(e.batch, 0), b.state FROM events e "
                          "LEFT JOIN batches b ON b.id = e.batch ORDER BY e.seq",
                          [&](sqlite3_stmt* s) {
                              EventRow row;
                              row.seq = sqlite3_column_int64(s, 0);
                              row.receivedMs = sqlite3_column_int64(s, 1);
                              row.name = ColumnText(s, 2);
                              row.payload = ColumnText(s, 3);
                              row.size = sqlite3_column_int64(s, 4);
                              row.batch = sqlite3_column_int64(s, 5);
                              row.state = row.batch == 0 ? kEventPending : ColumnText(s, 6);
                              result.events.push_back(row);
                          });
    ok = ok && ForEachRow(db,
                          "SELECT b.id, b.created_ms, b.first_seq, b.last_seq, b.event_count, "
                          "(SELECT count(*) FROM events e WHERE e.batch = b.id), b.state, "
                          "b.attempts, coalesce(b.next_attempt_ms, 0), "
                          "coalesce(b.last_status, -1), coalesce(b.sent_ms, 0), b.uuid "
                          "FROM batches b ORDER BY b.id",
                          [&](sqlite3_stmt* s) {
                              BatchRow row;
                              row.id = sqlite3_column_int64(s, 0);
                              row.createdMs = sqlite3_column_int64(s, 1);
                              row.firstSeq = sqlite3_column_int64(s, 2);
                              row.lastSeq = sqlite3_column_int64(s, 3);
                              row.eventCount = sqlite3_column_int64(s, 4);
                              row.storedEvents = sqlite3_column_int64(s, 5);
                              row.state = ColumnText(s, 6);
                              row.attempts = sqlite3_column_int64(s, 7);
                              row.nextAttemptMs = sqlite3_column_int64(s, 8);
                              row.lastStatus = sqlite3_column_int64(s, 9);
                              row.sentMs = sqlite3_column_int64(s, 10);
                              row.uuid = ColumnText(s, 11);
                              result.batches.push_back(row);
                          });
    ok = ok && ForEachRow(db,
                          "SELECT id, install_id, requested_ms, state, attempts, "
                          "coalesce(next_attempt_ms, 0), coalesce(last_status, -1), "
                          "coalesce(finished_ms, 0) FROM deletions ORDER BY id",
                          [&](sqlite3_stmt* s) {
                              DeletionRow row;
                              row.id = sqlite3_column_int64(s, 0);
                              row.installId = ColumnText(s, 1);
                              row.requestedMs = sqlite3_column_int64(s, 2);
                              row.state = ColumnText(s, 3);
                              row.attempts = sqlite3_column_int64(s, 4);
                              row.nextAttemptMs = sqlite3_column_int64(s, 5);
                              row.lastStatus = sqlite3_column_int64(s, 6);
                              row.finishedMs = sqlite3_column_int64(s, 7);
                              result.deletions.push_back(row);
                          });
    ok = ok && ForEachRow(db, "SELECT name, value FROM counters", [&](sqlite3_stmt* s) {
             result.counters[ColumnText(s, 0)] = sqlite3_column_int64(s, 1);
         });
    if (!ok) {
        *error = path + " cannot be read: " + connection.Error();
        return ReadResult::Unreadable;
    }
    *snapshot = std::move(result);
    return ReadResult::Ok;
}

ReadResult ReadLedger(const std::string& path, LedgerSnapshot* snapshot, std::string* error) {
    ReadResult verdict = CheckFile(path, "ledger", error);
    if (verdict != ReadResult::Ok) return verdict;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    std::ostringstream bytes;
    if (!in || !(bytes << in.rdbuf())) {
        // An empty file also lands here: it has no section "main" either.
        if (in && fs::file_size(fs::u8path(path)) == 0) {
            *error = path + " is not a ledger (it is empty)";
            return ReadResult::Foreign;
        }
        *error = "cannot read " + path;
        return ReadResult::Unreadable;
    }
    std::string text = LedgerText(bytes.str());
    if (text.find('\0') != std::string::npos) {
        *error = path + " is not a ledger (binary content)";
        return ReadResult::Foreign;
    }
    LedgerSnapshot result;
    result.path = path;
    bool inMain = false;
    bool sawMain = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        line = Trim(line);
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            inMain =
                close != std::string::npos && EqualsIgnoringCase(line.substr(1, close - 1), "main");
            sawMain = sawMain || inMain;
            continue;
        }
        size_t equals = line.find('=');
        if (!inMain || equals == std::string::npos) continue;
        result.entries.emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
    if (!sawMain) {
        *error = path + " is not a ledger (no section [main])";
        return ReadResult::Foreign;
    }
    *snapshot = std::move(result);
    return ReadResult::Ok;
}

uint64_t LedgerNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate as a negative number so that the signed minimum fits; past
    // the range the value stays at the limit, as the C library's parser does.
    int64_t value = 0;
    bool clamped = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        int digit = text[i] - '0';
        if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) {
            clamped = true;
            break;
        }
        value = value * 10 - digit;
    }
    if (clamped) {
        value =
            negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    } else if (!negative) {
        value = value == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max()
                                                             : -value;
    }
    return static_cast<uint64_t>(value);
}

}  // namespace inspect
}  // namespace tally
