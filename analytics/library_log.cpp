#include "library_log.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "library_platform.h"

namespace tally {

namespace fs = std::filesystem;

namespace {

const char* LevelText(LogLevel level) {
    switch (level) {
        case LogLevel::Info:
            return "INFO ";
        case LogLevel::Warning:
            return "WARN ";
        case LogLevel::Error:
            return "ERROR";
    }
    return "?    ";
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string FormatLocalTimestamp(int64_t ms) {
    std::tm local{};
    if (!LocalCalendar(ms, &local)) return "(time unknown)";
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

bool LibraryLog::Open(const std::string& folder, const std::string& fileName, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file.is_open()) m_file.close();
    m_path.clear();
    m_size = 0;
    if (folder.empty() || fileName.empty()) {
        *error = "no log folder or file name configured";
        return false;
    }
    std::error_code ec;
    fs::path dir = fs::u8path(folder);
    fs::create_directories(dir, ec);
    if (ec) {
        *error = "cannot create log folder " + folder + ": " + ec.message();
        return false;
    }
    fs::path path = dir / fs::u8path(fileName);
    m_file.open(path, std::ios::out | std::ios::app | std::ios::binary);
    if (!m_file.is_open()) {
        *error = "cannot open log file " + path.u8string();
        return false;
    }
    m_path = path.u8string();
    uintmax_t size = fs::file_size(path, ec);
    m_size = ec ? 0 : static_cast<int64_t>(size);
    return true;
}

void LibraryLog::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file.is_open()) m_file.close();
    m_path.clear();
    m_size = 0;
}

std::string LibraryLog::Path() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

void LibraryLog::Write(LogLevel level, const std::string& message) {
    try {
        std::string line =
            FormatLocalTimestamp(NowMs()) + " " + LevelText(level) + " " + message + "\n";
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_file.is_open()) {
            std::fputs(("tally: " + line).c_str(), stderr);
            return;
        }
        if (m_size + static_cast<int64_t>(line.size()) > kMaxLogBytes) RotateLocked();
        if (!m_file.is_open()) return;
        m_file.write(line.data(), static_cast<std::streamsize>(line.size()));
        m_file.flush();
        m_size += static_cast<int64_t>(line.size());
    } catch (...) {
        // A log line is never worth failing the caller for.
    }
}

void LibraryLog::RotateLocked() {
    m_file.close();
    std::error_code ec;
    fs::path current = fs::u8path(m_path);
    fs::path old = fs::u8path(m_path + ".1");
    fs::remove(old, ec);
    fs::rename(current, old, ec);
    m_file.open(current, std::ios::out | std::ios::app | std::ios::binary);
    uintmax_t size = fs::file_size(current, ec);
    m_size = ec ? 0 : static_cast<int64_t>(size);
}

}  // namespace tally
