// Helpers of the analytics library's tests and of the tools' tests: a
// configuration record pointing into a scratch folder (host/temp_folder.h),
// environment changes, and queries of the database the library writes.
#ifndef TALLYSERVICE_TESTS_ANALYTICS_ANALYTICS_TEST_UTIL_H_
#define TALLYSERVICE_TESTS_ANALYTICS_ANALYTICS_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TallyApi.h"
#include "host/temp_folder.h"
#include "support/process.h"

namespace tally {
namespace testing {

// Copies `text` with its NUL into a fixed-width field. The text must fit.
inline void PutField(char* field, size_t width, const std::string& text) {
    ASSERT_LT(text.size(), width) << text;
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), text.size());
}

inline std::filesystem::path DatabasePath(const std::filesystem::path& folder) {
    return folder / "Nantel" / "Orvel" / "config" / "qx.db";
}

// A complete configuration as the service fills it, with the log at
// `folder`/log/tally.log and the database at DatabasePath(`folder`).
inline ReportConfig MakeConfig(const std::filesystem::path& folder) {
    ReportConfig config;
    std::memset(&config, 0, sizeof(config));
    PutField(config.appid, sizeof(config.appid), "Orvel");
    PutField(config.appversion, sizeof(config.appversion), "9.8.7");
    PutField(config.deviceType, sizeof(config.deviceType), "Orvel-PC00");
    PutField(config.tag, sizeof(config.tag), "Orvel");
    // No server: the tests that send say where to.
    PutField(config.domain, sizeof(config.domain), "https://");
    // The service hands the log folder over with a trailing separator.
    PutField(config.logDir, sizeof(config.logDir), (folder / "log" / "").u8string());
    PutField(config.logFileName, sizeof(config.logFileName), "tally.log");
    PutField(config.dbPath, sizeof(config.dbPath), DatabasePath(folder).u8string());
    PutField(config.pubkeyPath, sizeof(config.pubkeyPath),
             (folder / "Nantel" / "Orvel" / "config" / "qx_pubkey.pem").u8string());
    PutField(config.cacertPath, sizeof(config.cacertPath),
             (folder / "config" / "qx_cacert.pem").u8string());
    config.certParam1 = 4;
    config.certParam2 = 1024;
    return config;
}

// A random UUID as the library makes them: lower-case, version 4, variant 1.
inline bool IsUuidV4(const std::string& text) {
    const std::string shape = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        const bool fits = shape[i] == 'x'   ? hex
                          : shape[i] == 'y' ? std::string("89ab").find(c) != std::string::npos
                                            : c == shape[i];
        if (!fits) return false;
    }
    return true;
}

// A zero-filled record holding `name` and `payload` (cut to the fields' width).
inline ReportData EventRecord(const std::string& name, const std::string& payload) {
    ReportData record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(record.eventName, name.data(), std::min(name.size(), sizeof(record.eventName)));
    std::memcpy(record.data, payload.data(), std::min(payload.size(), sizeof(record.data)));
    return record;
}

// A connection to a database for checking what was stored. Every query
// failure fails the current test.
class TestDb {
  public:
    // `create`: make the file when it does not exist.
    explicit TestDb(const std::filesystem::path& path, bool create = false) {
        const int rc =
            sqlite3_open_v2(path.u8string().c_str(), &m_db,
                            SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr);
        EXPECT_EQ(rc, SQLITE_OK) << path << ": " << sqlite3_errstr(rc);
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~TestDb() { sqlite3_close_v2(m_db); }
    TestDb(const TestDb&) = delete;
    TestDb& operator=(const TestDb&) = delete;

    int64_t Int(const std::string& sql) {
        const std::string text = Text(sql);
        return text.empty() ? -1 : std::stoll(text);
    }
    std::string Text(const std::string& sql) {
        const auto rows = Rows(sql);
        if (rows.empty() || rows[0].empty()) ADD_FAILURE() << sql << ": no row";
        return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
    }
    // Every row, each column as text ("NULL" for a NULL).
    std::vector<std::vector<std::string>> Rows(const std::string& sql) {
        std::vector<std::vector<std::string>> rows;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
            return rows;
        }
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            rows.emplace_back();
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const unsigned char* text = sqlite3_column_text(statement, i);
                rows.back().push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
        }
        if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
        sqlite3_finalize(statement);
        return rows;
    }
    // Runs statements; answers false (without failing the test) on an error.
    bool Exec(const std::string& sql) {
        return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    int64_t Counter(const std::string& name) {
        return Int("SELECT coalesce((SELECT value FROM counters WHERE name = '" + name + "'), 0)");
    }

  private:
    sqlite3* m_db = nullptr;
};

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_ANALYTICS_ANALYTICS_TEST_UTIL_H_
