#include "env.h"

#include <windows.h>

#include <wchar.h>

namespace standin {
namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length < 1) return std::wstring();
    std::wstring out(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
    if (length < 1) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length,
                          nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring ReadEnvWide(const char* name) {
    const std::wstring wideName = Widen(name);
    // The process environment block, not the C runtime's copy, so that a
    // variable set by any module of the process is seen.
    DWORD size = ::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    while (size > 0) {
        std::wstring value(size, L'\0');
        const DWORD written = ::GetEnvironmentVariableW(wideName.c_str(), &value[0], size);
        if (written < size) {
            value.resize(written);
            return value;
        }
        // The variable grew between the two calls.
        size = written;
    }
    return std::wstring();
}

std::string ReadEnv(const char* name) {
    return Narrow(ReadEnvWide(name));
}

std::wstring LocalAppDataFolder() {
    return ReadEnvWide("LOCALAPPDATA");
}

wchar_t PathSeparator() {
    return L'\\';
}

std::FILE* OpenForAppend(const std::string& path) {
    return ::_wfopen(Widen(path).c_str(), L"ab");
}

bool PathExists(const std::string& path) {
    return ::GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t CurrentThreadId() {
    return ::GetCurrentThreadId();
}

std::string LocalTimestamp() {
    SYSTEMTIME local;
    ::GetLocalTime(&local);
    char text[96];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u", local.wYear,
                  local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                  local.wMilliseconds);
    return text;
}

}  // namespace standin
