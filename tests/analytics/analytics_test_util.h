// Helpers of the analytics library's tests and of the inspector's tests: a
// scratch folder, a configuration record pointing into it, environment
// changes, and read-only queries of the database the library writes.
#ifndef TALLYSERVICE_TESTS_ANALYTICS_ANALYTICS_TEST_UTIL_H_
#define TALLYSERVICE_TESTS_ANALYTICS_ANALYTICS_TEST_UTIL_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "TallyApi.h"

struct sqlite3;

namespace tally {
namespace testing {

// A fresh, empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// Sets or removes an environment variable of this process. One file per
// platform (test_env_posix.cpp, test_env_win.cpp).
void SetEnv(const char* name, const std::string& value);
void UnsetEnv(const char* name);

// Copies `text` with its NUL into a fixed-width field. The text must fit.
void PutField(char* field, size_t width, const std::string& text);

// A complete configuration as the service fills it, with the log under
// `folder`/log/ and the database at `folder`/Nantel/Orvel/config/qx.db.
ReportConfig MakeConfig(const std::filesystem::path& folder);
std::filesystem::path DatabasePath(const std::filesystem::path& folder);
std::filesystem::path LogPath(const std::filesystem::path& folder);

// A zero-filled record holding `name` and `payload`.
ReportData MakeRecord(const std::string& name, const std::string& payload);

// The whole file as text; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Polls `condition` until it holds or `limit` passes; answers the last result.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// A connection to a database for checking what was stored. Every query
// failure fails the current test.
class TestDb {
  public:
    // `create`: make the file when it does not exist.
    explicit TestDb(const std::filesystem::path& path, bool create = false);
    ~TestDb();
    TestDb(const TestDb&) = delete;
    TestDb& operator=(const TestDb&) = delete;

    int64_t Int(const std::string& sql);
    std::string Text(const std::string& sql);
    // Every row, each column as text ("NULL" for a NULL).
    std::vector<std::vector<std::string>> Rows(const std::string& sql);
    // Runs statements; answers false (without failing the test) on an error.
    bool Exec(const std::string& sql);
    int64_t Counter(const std::string& name);

  private:
    sqlite3* m_db = nullptr;
};

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_ANALYTICS_ANALYTICS_TEST_UTIL_H_
