#include "host/windows_version.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tally {
namespace {

platform::WindowsVersionInputs Version(uint32_t major, uint32_t minor, uint8_t productType = 1,
                                       uint32_t build = 100, uint16_t servicePack = 0) {
    platform::WindowsVersionInputs inputs;
    inputs.major = major;
    inputs.minor = minor;
    inputs.build = build;
    inputs.platformId = 2;
    inputs.servicePackMajor = servicePack;
    inputs.productType = productType;
    return inputs;
}

std::wstring NameOnly(const platform::WindowsVersionInputs& inputs) {
    const std::wstring text = NameWindowsVersion(inputs);
    const size_t blank = text.rfind(L' ');
    return blank == std::wstring::npos ? text : text.substr(0, blank);
}

TEST(WindowsVersion, NamesEveryRowOfTheTable) {
    struct Row {
        uint32_t major;
        uint32_t minor;
        uint8_t productType;
        const wchar_t* name;
    };
    const Row rows[] = {
        {4, 10, 1, L"Microsoft Windows 98"},
        {4, 90, 1, L"Microsoft Windows Me"},
        {5, 0, 1, L"Microsoft Windows 2000"},
        {5, 1, 1, L"Microsoft Windows XP"},
        {6, 0, 1, L"Microsoft Windows Vista"},
        {6, 0, 3, L"Microsoft Windows Server 2008"},
        {6, 1, 1, L"Microsoft Windows 7"},
        {6, 1, 2, L"Microsoft Windows Server 2008 R2"},  // a domain controller
        {6, 2, 1, L"Microsoft Windows 8"},
        {6, 2, 3, L"Microsoft Windows Server 2012"},
        {6, 3, 1, L"Microsoft Windows 8.1"},
        {6, 3, 3, L"Microsoft Windows Server 2012 R2"},
        {10, 0, 1, L"Microsoft Windows NT"},
        {10, 0, 3, L"Microsoft Windows Server 2016"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.name, NameOnly(Version(row.major, row.minor, row.productType)))
            << row.major << "." << row.minor << " type " << int{row.productType};
    }

    // 4.0 is told apart by the platform id alone.
    platform::WindowsVersionInputs nt4 = Version(4, 0);
    EXPECT_EQ(L"Microsoft Windows NT 4.0", NameOnly(nt4));
    nt4.platformId = 1;
    EXPECT_EQ(L"Microsoft Windows 95", NameOnly(nt4));
    nt4.platformId = 0;
    EXPECT_EQ(L"Unknow Platform", NameWindowsVersion(nt4));

    // 5.2: x64 workstations by architecture, the rest by the R2 flag.
    platform::WindowsVersionInputs v52 = Version(5, 2);
    v52.processorArchitecture = 9;
    EXPECT_EQ(L"Microsoft Windows XP Professional x64 Edition", NameOnly(v52));
    v52.processorArchitecture = 0;  // a workstation on another architecture
    EXPECT_EQ(L"Microsoft Windows Server 2003", NameOnly(v52));
    v52.serverR2 = 1;
    EXPECT_EQ(L"Microsoft Windows Server 2003 R2", NameOnly(v52));
    v52.productType = 3;
    v52.processorArchitecture = 9;
    EXPECT_EQ(L"Microsoft Windows Server 2003 R2", NameOnly(v52));
}

TEST(WindowsVersion, AppendsMajorMinorBuildAndServicePack) {
    EXPECT_EQ(L"Microsoft Windows 7 6.1.7601.1", NameWindowsVersion(Version(6, 1, 1, 7601, 1)));
    EXPECT_EQ(L"Microsoft Windows NT 10.0.22000.0", NameWindowsVersion(Version(10, 0, 1, 22000)));
    EXPECT_EQ(L"Microsoft Windows Server 2016 10.0.26100.0",
              NameWindowsVersion(Version(10, 0, 3, 26100)));
    // The numbers go out as reported, the whole 32-bit build included.
    EXPECT_EQ(L"Microsoft Windows 8.1 6.3.4294967295.65535",
              NameWindowsVersion(Version(6, 3, 1, 0xFFFFFFFF, 0xFFFF)));
}

TEST(WindowsVersion, VersionsOutsideTheTableAreUnknown) {
    const std::pair<uint32_t, uint32_t> pairs[] = {{6, 4}, {10, 1}, {11, 0}, {4, 1},
                                                   {5, 3}, {3, 51}, {0, 0}};
    for (const auto& pair : pairs) {
        EXPECT_EQ(L"Unknow Platform", NameWindowsVersion(Version(pair.first, pair.second)))
            << pair.first << "." << pair.second;
    }
}

TEST(WindowsVersion, NamesTheRunningSystem) {
    const platform::OsVersionFacts facts = platform::QueryOsVersion();
    const std::wstring name = GetWindowsVersionName();
    if (facts.isWindows) {
        EXPECT_EQ(NameWindowsVersion(facts.inputs), name);
    } else {
        ASSERT_FALSE(facts.otherName.empty()) << "the system did not name itself";
        EXPECT_EQ(facts.otherName, name);
        EXPECT_NE(std::wstring::npos, name.find(L' '));
    }
}

}  // namespace
}  // namespace tally
