// Paths, folders and ini files of the Windows backend: the wide Win32 and
// CRT functions, with the fixed 260-character (MAX_PATH) buffers the host
// product has always used.

#include "platform/platform.h"

#include <windows.h>

#include <direct.h>
#include <io.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwchar>

namespace platform {

namespace {

// MAX_PATH, spelled out because the buffer sizes are part of the behaviour.
constexpr DWORD kPathBuffer = 260;

}  // namespace

const wchar_t kPathSeparator = L'\\';

std::wstring ExecutableFolder() {
    wchar_t buffer[kPathBuffer] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, kPathBuffer);
    if (length == 0) {
        return std::wstring();
    }
    // A path that fills the buffer comes back cut, and not always
    // NUL-terminated (Wine leaves the terminator out): never read past it.
    std::wstring path(buffer, wcsnlen(buffer, length));
    const size_t lastSeparator = path.rfind(L'\\');
    if (lastSeparator == std::wstring::npos) {
        return path;
    }
    path.resize(lastSeparator + 1);
    return path;
}

std::wstring LocalAppDataFolder() {
    LPITEMIDLIST folder = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_LOCAL_APPDATA, &folder)) ||
        folder == nullptr) {
        return std::wstring();
    }
    wchar_t longPath[kPathBuffer] = {};
    const BOOL resolved = SHGetPathFromIDListW(folder, longPath);
    // The shell allocates the item list with the COM allocator.
    CoTaskMemFree(folder);
    if (!resolved) {
        return std::wstring();
    }
    wchar_t shortPath[kPathBuffer] = {};
    const DWORD length = GetShortPathNameW(longPath, shortPath, kPathBuffer);
    // 0 is failure; a value of the buffer size or more is the size it would
    // need, with nothing written.
    if (length == 0 || length >= kPathBuffer) {
        return std::wstring();
    }
    return std::wstring(shortPath, length);
}

bool PathExists(const std::wstring& path) {
    return _waccess(path.c_str(), 0) == 0;
}

bool MakeDirectory(const std::wstring& path) {
    return _wmkdir(path.c_str()) == 0;
}

std::wstring ReadIniValue(const std::wstring& path, const std::wstring& section,
                          const std::wstring& key) {
    wchar_t buffer[kPathBuffer] = {};
    const DWORD length = GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer,
                                                  kPathBuffer, path.c_str());
    return std::wstring(buffer, wcsnlen(buffer, length));
}

bool WriteIniValue(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                   const std::wstring& value) {
    return WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str()) !=
           FALSE;
}

}  // namespace platform
