#include "env.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace standin {
namespace {

// UTF-8 to UTF-32; a malformed sequence gives U+FFFD and resynchronises at
// the next byte.
std::wstring DecodeUtf8(const std::string& text) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t code = 0;
        size_t extra = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            code = lead & 0x07;
            extra = 3;
        } else {
            out.push_back(static_cast<wchar_t>(0xFFFD));
            ++i;
            continue;
        }
        if (i + extra >= text.size()) {
            // Truncated sequence at the end of the text.
            out.push_back(static_cast<wchar_t>(0xFFFD));
            break;
        }
        bool valid = true;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            out.push_back(static_cast<wchar_t>(0xFFFD));
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(code));
        i += extra + 1;
    }
    return out;
}

}  // namespace

std::string ReadEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::wstring ReadEnvWide(const char* name) {
    return DecodeUtf8(ReadEnv(name));
}

std::wstring LocalAppDataFolder() {
    const std::string xdg = ReadEnv("XDG_DATA_HOME");
    if (!xdg.empty() && xdg[0] == '/') return DecodeUtf8(xdg);
    const std::string home = ReadEnv("HOME");
    if (home.empty()) return std::wstring();
    return DecodeUtf8(home) + L"/.local/share";
}

wchar_t PathSeparator() {
    return L'/';
}

std::FILE* OpenForAppend(const std::string& path) {
    return std::fopen(path.c_str(), "ab");
}

bool PathExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

uint64_t CurrentThreadId() {
    return static_cast<uint64_t>(::syscall(SYS_gettid));
}

std::string LocalTimestamp() {
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    struct tm local;
    if (!::localtime_r(&now.tv_sec, &local)) return std::string();
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_usec / 1000));
    return text;
}

}  // namespace standin
