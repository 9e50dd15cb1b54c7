// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
#ifndef TALLYSERVICE_TESTS_HOST_TEMP_FOLDER_H_
#define TALLYSERVICE_TESTS_HOST_TEMP_FOLDER_H_

#include <filesystem>
#include <string>
#include <system_error>

#include "support/recordings.h"

namespace tally {
namespace testing {

class TempFolder {
  public:
    TempFolder() : m_path(MakeFreshFolder("tally-host-", "", &m_error)) {}
    ~TempFolder() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::string m_error;
    std::filesystem::path m_path;
};

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_HOST_TEMP_FOLDER_H_
