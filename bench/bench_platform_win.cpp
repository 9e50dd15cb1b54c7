#include "bench_platform.h"

#include <windows.h>

#include <string>

namespace tally {
namespace bench {

bool SetEnv(const char* name, const std::filesystem::path& value) {
    // Names are ASCII; widening them byte by byte is exact.
    const std::string narrow(name);
    const std::wstring wideName(narrow.begin(), narrow.end());
    return ::SetEnvironmentVariableW(wideName.c_str(), value.c_str()) != 0;
}

std::string PlatformName() {
    // Wine's ntdll exports its version; Windows' does not.
    using WineGetVersion = const char* (*)();
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto wineVersion = ntdll ? reinterpret_cast<WineGetVersion>(reinterpret_cast<void*>(
                                         ::GetProcAddress(ntdll, "wine_get_version")))
                                   : nullptr;
    if (wineVersion == nullptr) return "Windows";
    return std::string("Windows (Wine ") + wineVersion() + ")";
}

double ProcessCpuSeconds() {
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) return -1.0;
    // 100-nanosecond units.
    const auto seconds = [](const FILETIME& t) {
        const unsigned long long ticks =
            (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<double>(ticks) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

}  // namespace bench
}  // namespace tally
