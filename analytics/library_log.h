// The analytics library's own log file (logDir + logFileName of the
// configuration). One line per call, with the local time and a level, flushed
// at once so that a killed process loses no line it wrote. The file is kept
// below kMaxLogBytes: when it grows past that it becomes "<name>.1" (one old
// file is kept) and a new one is started.
#ifndef TALLYSERVICE_ANALYTICS_LIBRARY_LOG_H_
#define TALLYSERVICE_ANALYTICS_LIBRARY_LOG_H_

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace tally {

constexpr int64_t kMaxLogBytes = 1024 * 1024;

enum class LogLevel { Info, Warning, Error };

class LibraryLog {
  public:
    LibraryLog() = default;
    LibraryLog(const LibraryLog&) = delete;
    LibraryLog& operator=(const LibraryLog&) = delete;

    // Opens `folder` + `fileName` (UTF-8, the platform's separators) for
    // appending, creating every missing level of `folder`. A file already
    // open is closed first. Answers false with `error` set when it cannot;
    // lines then go to the standard error stream.
    bool Open(const std::string& folder, const std::string& fileName, std::string* error);
    void Close();

    // Appends one line. Thread-safe; never throws.
    void Write(LogLevel level, const std::string& message);

    // The open file's path, empty when none is open.
    std::string Path();

  private:
    void RotateLocked();

    std::mutex m_mutex;
    std::ofstream m_file;  // guarded by m_mutex
    std::string m_path;    // guarded by m_mutex
    int64_t m_size = 0;    // guarded by m_mutex
};

// `ms` since 1970 UTC as local "YYYY-MM-DD HH:MM:SS.mmm".
std::string FormatLocalTimestamp(int64_t ms);

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_LIBRARY_LOG_H_
