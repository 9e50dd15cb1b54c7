// System facts of the Windows backend: raw version numbers, the raw SMBIOS
// table and GUID text. Naming the version and walking the table are portable
// code (src/host); this file only asks the system.

#include "platform/platform.h"

#include <windows.h>

#include <objbase.h>
#include <shlwapi.h>

#include <new>

namespace platform {

namespace {

// MAX_PATH, the buffer for the system directory.
constexpr UINT kPathBuffer = 260;

// The firmware table provider 'RSMB' (raw SMBIOS data).
constexpr DWORD kRawSmbiosProvider = 0x52534D42;

// Not in the SDK headers: ntdll's own version query, which, unlike
// GetVersionExW, does not depend on the executable's compatibility manifest.
// The build number comes with flag bits in its upper 16 bits.
using RtlGetNtVersionNumbersFn = void(WINAPI*)(DWORD* major, DWORD* minor, DWORD* build);

// The type of a run-time bound entry point. The detour through void(*)()
// keeps GCC's -Wcast-function-type quiet: FARPROC matches no real prototype.
template <typename Function>
Function GetProc(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the extended version record is 284 bytes");

// Overwrites the version numbers with ntdll's, whose build number is cut to
// its low 16 bits. Leaves them alone when ntdll or the function cannot be had.
void RefineWithNtVersion(OSVERSIONINFOEXW* info) {
    wchar_t path[kPathBuffer] = {};
    const UINT length = GetSystemDirectoryW(path, kPathBuffer);
    if (length == 0 || length >= kPathBuffer || !PathAppendW(path, L"ntdll.dll")) {
        return;
    }
    HMODULE ntdll = LoadLibraryW(path);
    if (ntdll == nullptr) {
        return;
    }
    auto query = GetProc<RtlGetNtVersionNumbersFn>(ntdll, "RtlGetNtVersionNumbers");
    if (query != nullptr) {
        query(&info->dwMajorVersion, &info->dwMinorVersion, &info->dwBuildNumber);
        info->dwBuildNumber &= 0xFFFFu;
    }
    FreeLibrary(ntdll);
}

}  // namespace

OsVersionFacts QueryOsVersion() {
    OsVersionFacts facts;
    OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
        return facts;
    }
    RefineWithNtVersion(&info);

    facts.isWindows = true;
    WindowsVersionInputs& inputs = facts.inputs;
    inputs.major = info.dwMajorVersion;
    inputs.minor = info.dwMinorVersion;
    inputs.build = info.dwBuildNumber;
    inputs.platformId = info.dwPlatformId;
    inputs.servicePackMajor = info.wServicePackMajor;
    inputs.productType = info.wProductType;
    // Only 5.2 (XP x64, Server 2003 and its R2) is told apart by these.
    if (inputs.major == 5 && inputs.minor == 2) {
        SYSTEM_INFO system;
        ZeroMemory(&system, sizeof(system));
        GetSystemInfo(&system);
        inputs.processorArchitecture = system.wProcessorArchitecture;
        inputs.serverR2 = GetSystemMetrics(SM_SERVERR2);
    }
    return facts;
}

bool FetchSmbiosTable(std::unique_ptr<uint8_t[]>* buffer, size_t* size) {
    if (buffer == nullptr || size == nullptr) {
        return false;
    }
    // Looked up at run time, not imported: older systems lack it.
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (kernel == nullptr) {
        return false;
    }
    auto getTable = GetProc<decltype(&GetSystemFirmwareTable)>(kernel, "GetSystemFirmwareTable");
    if (getTable == nullptr) {
        return false;
    }
    const UINT needed = getTable(kRawSmbiosProvider, 0, nullptr, 0);
    if (needed == 0) {
        return false;
    }
    std::unique_ptr<uint8_t[]> table(new (std::nothrow) uint8_t[needed]);
    if (!table) {
        return false;
    }
    // One attempt: an answer larger than the buffer means the table changed
    // size in between and nothing was copied.
    const UINT delivered = getTable(kRawSmbiosProvider, 0, table.get(), needed);
    if (delivered == 0 || delivered > needed) {
        return false;
    }
    *buffer = std::move(table);
    *size = delivered;
    return true;
}

std::wstring FormatGuid(const uint8_t bytes[16]) {
    GUID guid;
    guid.Data1 =
        static_cast<unsigned long>(bytes[0]) | (static_cast<unsigned long>(bytes[1]) << 8) |
        (static_cast<unsigned long>(bytes[2]) << 16) | (static_cast<unsigned long>(bytes[3]) << 24);
    guid.Data2 = static_cast<unsigned short>(bytes[4] | (bytes[5] << 8));
    guid.Data3 = static_cast<unsigned short>(bytes[6] | (bytes[7] << 8));
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = bytes[8 + i];
    }
    // 38 characters and the terminator, with room to spare.
    wchar_t text[40] = {};
    const int written = StringFromGUID2(guid, text, 40);
    if (written < 2) {
        return std::wstring();
    }
    // The count includes the terminator.
    return std::wstring(text, static_cast<size_t>(written - 1));
}

}  // namespace platform
