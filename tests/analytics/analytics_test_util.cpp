#include "analytics_test_util.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace tally {
namespace testing {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    static std::atomic<unsigned> serial{0};
    std::random_device random;
    for (;;) {
        std::ostringstream name;
        name << "tally-test-" << std::hex << random() << "-" << serial++;
        m_path = fs::temp_directory_path() / name.str();
        std::error_code ec;
        if (fs::create_directory(m_path, ec)) break;
    }
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

void PutField(char* field, size_t width, const std::string& text) {
    ASSERT_LT(text.size(), width) << text;
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), text.size());
}

fs::path DatabasePath(const fs::path& folder) {
    return folder / "Nantel" / "Orvel" / "config" / "qx.db";
}

fs::path LogPath(const fs::path& folder) {
    return folder / "log" / "tally.log";
}

ReportConfig MakeConfig(const fs::path& folder) {
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

ReportData MakeRecord(const std::string& name, const std::string& payload) {
    ReportData record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(record.eventName, name.data(), std::min(name.size(), sizeof(record.eventName)));
    std::memcpy(record.data, payload.data(), std::min(payload.size(), sizeof(record.data)));
    return record;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TestDb::TestDb(const fs::path& path, bool create) {
    int rc = sqlite3_open_v2(path.u8string().c_str(), &m_db,
                             SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr);
    EXPECT_EQ(rc, SQLITE_OK) << path << ": " << sqlite3_errstr(rc);
    sqlite3_busy_timeout(m_db, 5000);
}

TestDb::~TestDb() {
    sqlite3_close_v2(m_db);
}

std::vector<std::vector<std::string>> TestDb::Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
        return rows;
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            const unsigned char* text = sqlite3_column_text(statement, i);
            row.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
        }
        rows.push_back(row);
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
    sqlite3_finalize(statement);
    return rows;
}

std::string TestDb::Text(const std::string& sql) {
    auto rows = Rows(sql);
    if (rows.empty() || rows[0].empty()) {
        ADD_FAILURE() << sql << ": no row";
        return std::string();
    }
    return rows[0][0];
}

int64_t TestDb::Int(const std::string& sql) {
    std::string text = Text(sql);
    return text.empty() ? -1 : std::stoll(text);
}

bool TestDb::Exec(const std::string& sql) {
    return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

int64_t TestDb::Counter(const std::string& name) {
    return Int("SELECT coalesce((SELECT value FROM counters WHERE name = '" + name + "'), 0)");
}

}  // namespace testing
}  // namespace tally
