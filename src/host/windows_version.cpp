#include "host/windows_version.h"

#include <memory>
#include <utility>

namespace tally {

// The spelling is what the payload consumers have always received.
const wchar_t kUnknownPlatform[] = L"Unknow Platform";

namespace {

constexpr uint32_t kPlatformWin32Windows = 1;  // VER_PLATFORM_WIN32_WINDOWS
constexpr uint32_t kPlatformWin32Nt = 2;       // VER_PLATFORM_WIN32_NT
constexpr uint8_t kWorkstation = 1;            // VER_NT_WORKSTATION
constexpr uint16_t kArchitectureAmd64 = 9;     // PROCESSOR_ARCHITECTURE_AMD64

// The product name of a version, or null when the table has no row for it.
const wchar_t* ProductName(const platform::WindowsVersionInputs& in) {
    const bool workstation = in.productType == kWorkstation;
    switch (in.major) {
        case 4:
            if (in.minor == 0) {
                if (in.platformId == kPlatformWin32Nt) return L"Microsoft Windows NT 4.0";
                if (in.platformId == kPlatformWin32Windows) return L"Microsoft Windows 95";
                return nullptr;
            }
            if (in.minor == 10) return L"Microsoft Windows 98";
            if (in.minor == 90) return L"Microsoft Windows Me";
            return nullptr;
        case 5:
            if (in.minor == 0) return L"Microsoft Windows 2000";
            if (in.minor == 1) return L"Microsoft Windows XP";
            if (in.minor == 2) {
                if (workstation && in.processorArchitecture == kArchitectureAmd64) {
                    return L"Microsoft Windows XP Professional x64 Edition";
                }
                return in.serverR2 == 0 ? L"Microsoft Windows Server 2003"
                                        : L"Microsoft Windows Server 2003 R2";
            }
            return nullptr;
        case 6:
            switch (in.minor) {
                case 0:
                    return workstation ? L"Microsoft Windows Vista"
                                       : L"Microsoft Windows Server 2008";
                case 1:
                    return workstation ? L"Microsoft Windows 7"
                                       : L"Microsoft Windows Server 2008 R2";
                case 2:
                    return workstation ? L"Microsoft Windows 8" : L"Microsoft Windows Server 2012";
                case 3:
                    return workstation ? L"Microsoft Windows 8.1"
                                       : L"Microsoft Windows Server 2012 R2";
                default:
                    return nullptr;
            }
        case 10:
            // Every later release also reports 10.0; only the build number,
            // appended below, tells them apart.
            if (in.minor == 0) {
                return workstation ? L"Microsoft Windows NT" : L"Microsoft Windows Server 2016";
            }
            return nullptr;
        default:
            return nullptr;
    }
}

}  // namespace

std::wstring NameWindowsVersion(const platform::WindowsVersionInputs& inputs) {
    const wchar_t* name = ProductName(inputs);
    if (name == nullptr) return kUnknownPlatform;
    std::wstring result(name);
    result += L' ';
    result += std::to_wstring(inputs.major);
    result += L'.';
    result += std::to_wstring(inputs.minor);
    result += L'.';
    result += std::to_wstring(inputs.build);
    result += L'.';
    result += std::to_wstring(inputs.servicePackMajor);
    return result;
}

bool NameSystem(const platform::OsVersionFacts& facts, std::wstring* name) {
    if (facts.isWindows) {
        *name = NameWindowsVersion(facts.inputs);
        return true;
    }
    if (!facts.otherName.empty()) {
        *name = facts.otherName;
        return true;
    }
    *name = kUnknownPlatform;
    return false;
}

SystemNameCache::~SystemNameCache() {
    delete m_name.load();
}

std::wstring SystemNameCache::Get() {
    if (const std::wstring* cached = m_name.load(std::memory_order_acquire)) return *cached;
    std::wstring name;
    if (!NameSystem(m_query(), &name)) return name;
    auto owned = std::make_unique<std::wstring>(std::move(name));
    const std::wstring* expected = nullptr;
    if (m_name.compare_exchange_strong(expected, owned.get(), std::memory_order_acq_rel)) {
        return *owned.release();
    }
    // Another thread's answer came first; it names the same system.
    return *expected;
}

std::wstring GetWindowsVersionName() {
    // The system does not change its version under a running process, and
    // every remote-connection report carries it, so a successful answer is
    // kept; a failed query is asked again by the next report. The cache is
    // never destroyed, because the service's detached threads may still
    // build a report while the process exits.
    static SystemNameCache* const cache = new SystemNameCache(platform::QueryOsVersion);
    return cache->Get();
}

}  // namespace tally
