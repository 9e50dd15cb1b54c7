#include "reliability_support.h"

#include <windows.h>

#include "support/wide_text_win.h"

namespace tally {
namespace testing {

const bool kLedgerWriterIsAtomicAcrossProcesses = false;

bool SetProcessEnvironment(const std::string& name, const std::string& value) {
    return SetEnvironmentVariableW(Widen(name).c_str(), Widen(value).c_str()) != FALSE;
}

bool IsLibraryLoaded(const std::string& fileName) {
    return GetModuleHandleW(Widen(fileName).c_str()) != nullptr;
}

bool SetFileReadOnly(const std::filesystem::path& path, bool readOnly, std::string* why) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const DWORD changed = readOnly ? attributes | FILE_ATTRIBUTE_READONLY
                                   : attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (attributes == INVALID_FILE_ATTRIBUTES || !SetFileAttributesW(path.c_str(), changed)) {
        *why = "SetFileAttributesW failed with error " + std::to_string(GetLastError());
        return false;
    }
    if (!readOnly) return true;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        SetFileAttributesW(path.c_str(), attributes);
        *why = "the read-only attribute does not stop this process (Wine run by root)";
        return false;
    }
    return true;
}

}  // namespace testing
}  // namespace tally
