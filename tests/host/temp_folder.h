// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
#ifndef TALLYSERVICE_TESTS_HOST_TEMP_FOLDER_H_
#define TALLYSERVICE_TESTS_HOST_TEMP_FOLDER_H_

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "support/recordings.h"

namespace tally {
namespace testing {

class TempFolder {
  public:
    TempFolder() {
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path candidate =
                base / ("tally-host-" + std::to_string(random()) + std::to_string(attempt));
            if (std::filesystem::create_directory(candidate)) {
                m_path = candidate;
                return;
            }
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// The file's bytes; empty when it is missing or not a file.
inline std::string ReadBytes(const std::filesystem::path& path) {
    return ReadFileBytes(path);
}

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_HOST_TEMP_FOLDER_H_
