#include "host/windows_version.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tally {
namespace {

// The inputs as a Windows NT system reports them.
platform::WindowsVersionInputs Version(uint32_t major, uint32_t minor, uint8_t productType = 1,
                                       uint32_t build = 100, uint16_t servicePack = 0) {
    return {major, minor, build, 2, servicePack, productType};
}

TEST(WindowsVersion, NamesEveryRowOfTheTableWithItsNumbers) {
    const std::pair<platform::WindowsVersionInputs, const wchar_t*> rows[] = {
        {Version(4, 10), L"Microsoft Windows 98 4.10.100.0"},
        {Version(4, 90), L"Microsoft Windows Me 4.90.100.0"},
        {Version(5, 0), L"Microsoft Windows 2000 5.0.100.0"},
        {Version(5, 1), L"Microsoft Windows XP 5.1.100.0"},
        {Version(6, 0), L"Microsoft Windows Vista 6.0.100.0"},
        {Version(6, 0, 3), L"Microsoft Windows Server 2008 6.0.100.0"},
        {Version(6, 1, 1, 7601, 1), L"Microsoft Windows 7 6.1.7601.1"},
        {Version(6, 1, 2), L"Microsoft Windows Server 2008 R2 6.1.100.0"},  // a domain controller
        {Version(6, 2), L"Microsoft Windows 8 6.2.100.0"},
        {Version(6, 2, 3), L"Microsoft Windows Server 2012 6.2.100.0"},
        {Version(6, 3), L"Microsoft Windows 8.1 6.3.100.0"},
        {Version(6, 3, 3), L"Microsoft Windows Server 2012 R2 6.3.100.0"},
        {Version(10, 0, 1, 22000), L"Microsoft Windows NT 10.0.22000.0"},
        {Version(10, 0, 3, 26100), L"Microsoft Windows Server 2016 10.0.26100.0"},
        // The numbers go out as reported, the whole 32-bit build included.
        {Version(6, 3, 1, 0xFFFFFFFF, 0xFFFF), L"Microsoft Windows 8.1 6.3.4294967295.65535"},
    };
    for (const auto& [inputs, name] : rows) EXPECT_EQ(name, NameWindowsVersion(inputs));
    const std::pair<uint32_t, uint32_t> outsideTheTable[] = {{6, 4}, {10, 1}, {11, 0}, {4, 1},
                                                             {5, 3}, {3, 51}, {0, 0}};
    for (const auto& [major, minor] : outsideTheTable) {
        EXPECT_EQ(L"Unknow Platform", NameWindowsVersion(Version(major, minor))) << major << minor;
    }

    // 4.0 is told apart by the platform id alone.
    platform::WindowsVersionInputs nt4 = Version(4, 0);
    EXPECT_EQ(L"Microsoft Windows NT 4.0 4.0.100.0", NameWindowsVersion(nt4));
    nt4.platformId = 1;
    EXPECT_EQ(L"Microsoft Windows 95 4.0.100.0", NameWindowsVersion(nt4));
    nt4.platformId = 0;
    EXPECT_EQ(L"Unknow Platform", NameWindowsVersion(nt4));

    // 5.2: x64 workstations by architecture, the rest by the R2 flag.
    platform::WindowsVersionInputs v52 = Version(5, 2);
    v52.processorArchitecture = 9;
    EXPECT_EQ(L"Microsoft Windows XP Professional x64 Edition 5.2.100.0", NameWindowsVersion(v52));
    v52.processorArchitecture = 0;  // a workstation on another architecture
    EXPECT_EQ(L"Microsoft Windows Server 2003 5.2.100.0", NameWindowsVersion(v52));
    v52.serverR2 = 1;
    EXPECT_EQ(L"Microsoft Windows Server 2003 R2 5.2.100.0", NameWindowsVersion(v52));
    v52.productType = 3;
    v52.processorArchitecture = 9;
    EXPECT_EQ(L"Microsoft Windows Server 2003 R2 5.2.100.0", NameWindowsVersion(v52));
}

TEST(WindowsVersion, NamesTheRunningSystem) {
    const platform::OsVersionFacts facts = platform::QueryOsVersion();
    const std::wstring name = GetWindowsVersionName();
    // Windows gives its numbers, Linux its own name: "Linux" and the release.
    EXPECT_EQ(facts.isWindows, facts.otherName.empty());
    if (facts.isWindows) {
        EXPECT_EQ(NameWindowsVersion(facts.inputs), name);
    } else {
        EXPECT_EQ(facts.otherName, name);
        EXPECT_EQ(0u, name.rfind(L"Linux ", 0));
        EXPECT_GT(name.size(), 6u);
    }
}

// A system query that fails the first `g_failures` times it is asked.
int g_failures = 0;
int g_queries = 0;
platform::OsVersionFacts FlakyQuery() {
    ++g_queries;
    platform::OsVersionFacts facts;
    if (g_queries > g_failures) facts.otherName = L"Linux " + std::to_wstring(g_queries);
    return facts;
}

TEST(WindowsVersion, AFailedQueryIsAskedAgainAndTheFirstAnswerIsKept) {
    g_failures = 2;
    g_queries = 0;
    SystemNameCache cache(FlakyQuery);
    EXPECT_EQ(L"Unknow Platform", cache.Get());
    EXPECT_EQ(L"Unknow Platform", cache.Get());
    EXPECT_EQ(L"Linux 3", cache.Get());
    EXPECT_EQ(L"Linux 3", cache.Get());
    EXPECT_EQ(3, g_queries) << "asked until one query succeeded, then never again";

    // A Windows version outside the table is an answer, and is kept.
    SystemNameCache windows([] {
        platform::OsVersionFacts facts;
        facts.isWindows = true;
        facts.inputs = Version(11, 0);
        ++g_queries;
        return facts;
    });
    g_queries = 0;
    EXPECT_EQ(L"Unknow Platform", windows.Get());
    EXPECT_EQ(L"Unknow Platform", windows.Get());
    EXPECT_EQ(1, g_queries);
}

}  // namespace
}  // namespace tally
