// The Linux backend's mapping of the platform facts.
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "scoped_env.h"
#include "temp_folder.h"

namespace tally {
namespace testing {
namespace {

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;

TEST(PlatformPosix, WideTextIsUtf32) {
    std::string out = "untouched";
    EXPECT_FALSE(platform::WideToUtf8(L"", &out));
    EXPECT_EQ("untouched", out);
    EXPECT_TRUE(platform::WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800)), &out));
    EXPECT_EQ("\xEF\xBF\xBD", out);
    EXPECT_TRUE(platform::WideToUtf8(L"a\U0001F600", &out));
    EXPECT_EQ("a\xF0\x9F\x98\x80", out);
    EXPECT_EQ(L"a\uFFFD\uFFFD", platform::Utf8ToWide("a\xC0\xAF"));
}

TEST(PlatformPosix, FoldersFollowTheXdgRules) {
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/data/home//");
        EXPECT_EQ(L"/data/home", platform::LocalAppDataFolder());
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "relative/ignored");
        ScopedEnv home("HOME", "/home/someone/");
        EXPECT_EQ(L"/home/someone/.local/share", platform::LocalAppDataFolder());
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "");
        ScopedEnv home("HOME", "");
        EXPECT_EQ(L"", platform::LocalAppDataFolder());
    }

    const std::wstring exeFolder = platform::ExecutableFolder();
    ASSERT_FALSE(exeFolder.empty());
    EXPECT_EQ(L'/', exeFolder.back());
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    EXPECT_EQ(platform::Utf8ToWide(std::filesystem::path(self).parent_path().string()) + L"/",
              exeFolder);

    TempFolder folder;
    const std::wstring made = platform::Utf8ToWide((folder.Path() / "made").string());
    EXPECT_FALSE(platform::PathExists(made));
    EXPECT_TRUE(platform::MakeDirectory(made));
    EXPECT_TRUE(platform::PathExists(made));
    EXPECT_FALSE(platform::MakeDirectory(made));
    EXPECT_FALSE(platform::MakeDirectory(made + L"/a/b"));
}

// Loading real libraries and binding their symbols is what every scenario
// does; here only how a failure is told.
TEST(PlatformPosix, LoadFailuresMapToWindowsCodes) {
    TempFolder folder;
    WriteBytes(folder.Path() / "text.so", "not a library");
    const std::pair<const char*, uint32_t> cases[] = {
        {"missing.so", 126}, {"", 126} /* the folder itself */, {"text.so", 193}};
    for (const auto& [name, code] : cases) {
        uint32_t error = 0;
        const std::wstring path = platform::Utf8ToWide((folder.Path() / name).string());
        EXPECT_EQ(nullptr, platform::LoadModule(path, &error)) << name;
        EXPECT_EQ(code, error) << name;
    }
    platform::UnloadModule(nullptr);
    // Here the service's code is part of the test program, which is never
    // unloaded.
    EXPECT_TRUE(platform::PinServiceModule());
}

TEST(PlatformPosix, FileTimesUseTheCLibrarysLocalTime) {
    ScopedEnv tz("TZ", "XXX-2");  // two hours east of UTC, no daylight saving
    tzset();
    const uint64_t instant =
        kUnixEpochFileTime + 1750000000123ULL * 10000;  // 2025-06-15 15:06:40.123 UTC
    platform::CalendarTime local;
    ASSERT_TRUE(platform::FileTimeToLocalCalendar(instant, &local));
    EXPECT_EQ(2025, local.year);
    EXPECT_EQ(6, local.month);
    EXPECT_EQ(15, local.day);
    EXPECT_EQ(0, local.dayOfWeek);  // Sunday
    EXPECT_EQ(17, local.hour);
    EXPECT_EQ(6, local.minute);
    EXPECT_EQ(40, local.second);
    EXPECT_EQ(123, local.milliseconds);
    EXPECT_FALSE(platform::FileTimeToLocalCalendar(uint64_t{1} << 63, &local));

    // The system time and the local wall clock differ by the zone's offset.
    const int64_t before = static_cast<int64_t>(platform::SystemTimeAsFileTime());
    const int64_t localNow = platform::LocalTimeAsFileTime();
    const int64_t after = static_cast<int64_t>(platform::SystemTimeAsFileTime());
    const int64_t twoHours = 7200LL * 10000000;
    EXPECT_GE(localNow, before + twoHours - 10000);  // GetLocalTime keeps milliseconds
    EXPECT_LE(localNow, after + twoHours);
    EXPECT_EQ(0, localNow % 10000);
    const uint64_t unixNow = static_cast<uint64_t>(time(nullptr));
    EXPECT_NEAR(static_cast<double>(unixNow),
                static_cast<double>((static_cast<uint64_t>(after) - kUnixEpochFileTime) / 10000000),
                2.0);

    const uint64_t tick = platform::TickCountMs();
    platform::SleepMs(2);
    EXPECT_GE(platform::TickCountMs(), tick + 2);
}

TEST(PlatformPosix, OsNameIsTheKernelsNameAndRelease) {
    const platform::OsVersionFacts facts = platform::QueryOsVersion();
    EXPECT_FALSE(facts.isWindows);
    EXPECT_EQ(0u, facts.otherName.rfind(L"Linux ", 0));
    EXPECT_GT(facts.otherName.size(), 6u);
}

}  // namespace
}  // namespace testing
}  // namespace tally
