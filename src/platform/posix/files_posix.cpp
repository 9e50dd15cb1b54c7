// Folders and ini files on Linux.
//
// The ini functions reproduce what the Windows profile functions do for us,
// with the text rules of tally::IniDocument, on UTF-8 files:
// - a read opens the file read-only, so it never creates it, and needs no
//   lock: writers replace the file whole by rename, so a reader sees either
//   the old or the new text, never a torn one;
// - a write locks the file (flock), reads it, changes one line, writes the
//   new text to a temporary file in the same folder and renames it over the
//   old file. Writers in several threads or processes take the
//   lock in turn, so none loses another's keys. The file is created when
//   missing, the folder never.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "host/ini_document.h"
#include "platform/platform.h"

namespace platform {

const wchar_t kPathSeparator = L'/';

namespace {

// Larger files are not ours: reads answer empty and writes refuse, so such a
// file is never truncated or rewritten.
constexpr off_t kMaxIniFileSize = 16 * 1024 * 1024;
// A writer retries when the file it locked was replaced meanwhile; a bound
// keeps a pathological churn of other writers from holding it forever.
constexpr int kMaxLockAttempts = 1000;

std::string ToPath(const std::wstring& path) {
    std::string out;
    WideToUtf8(path, &out);
    return out;
}

class ScopedFd {
  public:
    explicit ScopedFd(int fd) : m_fd(fd) {}
    ~ScopedFd() {
        if (m_fd >= 0) close(m_fd);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

  private:
    int m_fd;
};

// Reads a whole open file; false on an error or when it is too large.
bool ReadAll(int fd, std::string* text) {
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_size > kMaxIniFileSize) return false;
    text->clear();
    char chunk[16384];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        text->append(chunk, static_cast<size_t>(got));
        if (text->size() > static_cast<size_t>(kMaxIniFileSize)) return false;
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

bool LockExclusive(int fd) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Opens and locks the file at `path`, creating it when missing. A writer
// that held the lock before us may have renamed a new file over the one we
// opened; then our lock guards a file nobody sees any more, so try again
// until the locked file is the one at the path.
int OpenLocked(const std::string& path) {
    for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
        const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return -1;
        struct stat locked;
        struct stat current;
        if (LockExclusive(fd) && fstat(fd, &locked) == 0) {
            if (stat(path.c_str(), &current) == 0 && current.st_dev == locked.st_dev &&
                current.st_ino == locked.st_ino) {
                return fd;
            }
        } else {
            close(fd);
            return -1;
        }
        close(fd);
    }
    return -1;
}

// Writes `text` to a new file beside `path` and renames it over `path`.
bool ReplaceFile(const std::string& path, mode_t mode, const std::string& text) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
    ScopedFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid()) return false;
    // The new file keeps the old one's permissions.
    bool ok = fchmod(fd.get(), mode & 07777) == 0;
    ok = ok && WriteAll(fd.get(), text);
    // Not flushed to the disk: a flush costs milliseconds, and the ledger is
    // written on the host's calling thread by every report that passes a
    // throttle. Readers still see the old text or the whole new one. After a
    // power loss the file may hold the previous text (ext4 and btrfs write a
    // file renamed over another out before the rename itself), which means a
    // throttled report is made once more, as after a failed write; the
    // Windows profile writer gives no more than that either.
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && path.back() == L'/') path.pop_back();
    return path;
}

std::wstring AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::wstring();
    return Utf8ToWide(value);
}

}  // namespace

std::wstring LocalAppDataFolder() {
    // The XDG base directory rules: a relative $XDG_DATA_HOME is ignored.
    std::wstring folder = AbsoluteFromEnvironment("XDG_DATA_HOME");
    if (folder.empty()) {
        folder = AbsoluteFromEnvironment("HOME");
        if (folder.empty()) return std::wstring();
        folder = WithoutTrailingSeparators(std::move(folder));
        if (folder != L"/") folder += L'/';
        folder += L".local/share";
    }
    return WithoutTrailingSeparators(std::move(folder));
}

bool PathExists(const std::wstring& path) {
    const std::string native = ToPath(path);
    return !native.empty() && access(native.c_str(), F_OK) == 0;
}

bool MakeDirectory(const std::wstring& path) {
    const std::string native = ToPath(path);
    return !native.empty() && mkdir(native.c_str(), 0777) == 0;
}

std::wstring ReadIniValue(const std::wstring& path, const std::wstring& section,
                          const std::wstring& key) {
    const std::string native = ToPath(path);
    if (native.empty()) return std::wstring();
    ScopedFd fd(open(native.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd.valid() || !ReadAll(fd.get(), &text)) return std::wstring();
    std::string sectionUtf8;
    std::string keyUtf8;
    WideToUtf8(section, &sectionUtf8);
    WideToUtf8(key, &keyUtf8);
    // The document cuts the value to 259 code points, one wchar_t each here.
    return Utf8ToWide(tally::IniDocument(std::move(text)).Get(sectionUtf8, keyUtf8));
}

bool WriteIniValue(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                   const std::wstring& value) {
    const std::string native = ToPath(path);
    if (native.empty()) return false;
    std::string sectionUtf8;
    std::string keyUtf8;
    std::string valueUtf8;
    WideToUtf8(section, &sectionUtf8);
    WideToUtf8(key, &keyUtf8);
    WideToUtf8(value, &valueUtf8);

    // open() creates the file in an existing folder only.
    ScopedFd fd(OpenLocked(native));
    if (!fd.valid()) return false;
    // Replacing by rename needs only a writable folder; keep a read-only
    // file read-only, as the Windows writer does.
    if (access(native.c_str(), W_OK) != 0) return false;
    std::string text;
    struct stat info;
    if (!ReadAll(fd.get(), &text) || fstat(fd.get(), &info) != 0) return false;
    tally::IniDocument document(text);
    if (!document.Set(sectionUtf8, keyUtf8, valueUtf8)) return false;
    if (document.Text() == text) return true;
    // The lock is released when `fd` closes, after the rename.
    return ReplaceFile(native, info.st_mode, document.Text());
}

}  // namespace platform
