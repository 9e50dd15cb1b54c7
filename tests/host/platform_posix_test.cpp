// The Linux backend of the platform seam: text, folders, modules and time as
// the C library gives them, ini files with IniDocument's text rules (those of
// the Windows profile functions, used by this backend alone), and the device
// UUID read while the process exits.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "host/device_uuid.h"
#include "host/ini_document.h"
#include "platform/platform.h"
#include "scoped_env.h"
#include "support/process.h"
#include "temp_folder.h"

namespace tally {
namespace testing {
namespace {

std::wstring Wide(const std::filesystem::path& path) {
    return platform::Utf8ToWide(path.string());
}

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
    // $XDG_DATA_HOME when absolute, else $HOME/.local/share, without trailing
    // separators.
    const std::tuple<const char*, const char*, const wchar_t*> folders[] = {
        {"/data/home//", "/home/someone", L"/data/home"},
        {"relative/ignored", "/home/someone/", L"/home/someone/.local/share"},
        {"", "", L""}};
    for (const auto& [xdg, home, folder] : folders) {
        ScopedEnv xdgEnv("XDG_DATA_HOME", xdg);
        ScopedEnv homeEnv("HOME", home);
        EXPECT_EQ(folder, platform::LocalAppDataFolder()) << xdg << " " << home;
    }

    const std::wstring exeFolder = platform::ExecutableFolder();
    ASSERT_FALSE(exeFolder.empty());
    EXPECT_EQ(L'/', exeFolder.back());
    EXPECT_EQ(Wide(CurrentExecutablePath().parent_path()) + L"/", exeFolder);

    TempFolder folder;
    const std::wstring made = Wide(folder.Path() / "made");
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
    WriteFileBytes(folder.Path() / "text.so", "not a library");
    const std::pair<const char*, uint32_t> cases[] = {
        {"missing.so", 126}, {"", 126} /* the folder itself */, {"text.so", 193}};
    for (const auto& [name, code] : cases) {
        uint32_t error = 0;
        EXPECT_EQ(nullptr, platform::LoadModule(Wide(folder.Path() / name), &error)) << name;
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
    // Sunday, 2025-06-15 17:06:40.123.
    EXPECT_EQ(std::make_tuple(0, 2025, 6, 15, 17, 6, 40, 123),
              std::make_tuple(local.dayOfWeek, local.year, local.month, local.day, local.hour,
                              local.minute, local.second, local.milliseconds));
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

// ---- Ini files ---------------------------------------------------------------

TEST(IniDocument, ReadsLikeTheWindowsProfileReader) {
    const IniDocument document(
        "; leading comment\n"
        "orphan=before any section\n"
        "[Other]\n"
        "device_report=1\n"
        "[ MAIN ]\n"
        "  Device_Report =  20250222  \n"
        ";hb_report_time=5\n"
        "no equals sign here\n"
        "quoted=\"a b\"\n"
        "single='x'\n"
        "unbalanced=\"x\n"
        "empty=\n"
        "device_report=99\n"
        "[main]\n"
        "sync_app_report=7\n");
    EXPECT_EQ("20250222", document.Get("main", "device_report"));
    EXPECT_EQ("20250222", document.Get(" Main\t", " DEVICE_REPORT "));
    EXPECT_EQ("1", document.Get("other", "device_report"));
    // Comments carry no key; neither does a line before the first section.
    EXPECT_EQ("", document.Get("main", "hb_report_time"));
    EXPECT_EQ("", document.Get("main", "orphan"));
    EXPECT_EQ("a b", document.Get("main", "quoted"));
    EXPECT_EQ("x", document.Get("main", "single"));
    EXPECT_EQ("\"x", document.Get("main", "unbalanced"));
    EXPECT_EQ("", document.Get("main", "empty"));
    // Only the first section of a name is read.
    EXPECT_EQ("", document.Get("main", "sync_app_report"));
    EXPECT_EQ("", document.Get("missing", "device_report"));
    EXPECT_EQ("", document.Get("", "device_report"));
    EXPECT_EQ("", document.Get("main", ""));

    // Names compare without case beyond ASCII too.
    const IniDocument accents("[\xC3\x89T\xC3\x89]\n\xD0\x9A\xD0\x9B\xD0\xAE\xD0\xA7=1\n");
    EXPECT_EQ("1", accents.Get("\xC3\xA9t\xC3\xA9", "\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87"));
    // Different junk bytes are different names, although both are not UTF-8.
    const IniDocument junk("[s]\n\xFF=1\n");
    EXPECT_EQ("1", junk.Get("s", "\xFF"));
    EXPECT_EQ("", junk.Get("s", "\xFE"));

    // Long values are cut to the reader's buffer, counting characters and
    // never splitting one.
    EXPECT_EQ(std::string(259, 'x'),
              IniDocument("[main]\nlong=" + std::string(300, 'x') + "\n").Get("main", "long"));
    std::string euros;
    for (int i = 0; i < 300; ++i) euros += "\xE2\x82\xAC";
    EXPECT_EQ(euros.substr(0, 259 * 3),
              IniDocument("[main]\nlong=" + euros + "\n").Get("main", "long"));
}

TEST(IniDocument, SetKeepsEveryOtherLineByteForByteAndCreatesWhatIsMissing) {
    const std::string before =
        "; comment = kept\r\n"
        "[other]\r\n"
        "k=1\r\n"
        "\r\n"
        "[main]\r\n"
        "  Device_Report = 1  \r\n"
        "junk \x01\xFF\xFE line\r\n"
        "sync_app_report=2\r\n"
        "\r\n"
        "[tail]\r\n"
        "z=3";
    IniDocument document(before);
    ASSERT_TRUE(document.Set("MAIN", "device_report", "20250222"));
    // The key keeps its spelling, the line its CRLF; nothing else moves.
    std::string expected = before;
    expected.replace(expected.find("  Device_Report = 1  "), 21, "Device_Report=20250222");
    EXPECT_EQ(expected, document.Text());

    // A new key goes behind the section's last non-blank line.
    ASSERT_TRUE(document.Set("main", "hb_report_time", "5"));
    expected.insert(expected.find("\r\n[tail]"), "hb_report_time=5\r\n");
    EXPECT_EQ(expected, document.Text());

    // A new section goes at the end, after the missing final line break.
    ASSERT_TRUE(document.Set("new", "a", "b"));
    expected += "\r\n[new]\r\na=b\r\n";
    EXPECT_EQ(expected, document.Text());
    EXPECT_EQ("3", document.Get("tail", "z"));
    EXPECT_EQ("1", document.Get("other", "k"));
    EXPECT_EQ("2", document.Get("main", "sync_app_report"));

    // What is missing is created.
    document = IniDocument();
    ASSERT_TRUE(document.Set("main", "device_report", "0"));
    EXPECT_EQ("[main]\ndevice_report=0\n", document.Text());

    // A section header on the last line without a line break.
    document = IniDocument("[main]");
    ASSERT_TRUE(document.Set("main", "k", "v"));
    EXPECT_EQ("[main]\nk=v\n", document.Text());

    // Duplicates: the first section and its first key are the ones written.
    document = IniDocument("[main]\nk=1\nk=2\n[main]\nj=3\n");
    ASSERT_TRUE(document.Set("main", "k", "9"));
    ASSERT_TRUE(document.Set("main", "j", "8"));
    EXPECT_EQ("[main]\nk=9\nk=2\nj=8\n[main]\nj=3\n", document.Text());
    EXPECT_EQ("8", document.Get("main", "j"));
}

TEST(IniDocument, SetRefusesWhatOneLineCannotHold) {
    IniDocument document("[main]\nk=1\n");
    const std::string before = document.Text();
    const std::tuple<std::string, std::string, std::string> refused[] = {
        {"main", "k", "1\n[evil]"}, {"main", "k", "a\rb"}, {"main", "k", std::string("a\0b", 3)},
        {"main", "a=b", "1"},       {"main", ";k", "1"},   {"main", "[k", "1"},
        {"main", "  ", "1"},        {"", "k", "1"},        {"ma\nin", "k", "1"}};
    for (const auto& [section, key, value] : refused) {
        EXPECT_FALSE(document.Set(section, key, value)) << section << " " << key << " " << value;
    }
    EXPECT_EQ(before, document.Text());
    // Values holding '=', ';' or brackets are fine.
    ASSERT_TRUE(document.Set("main", "k", "a=b;[c]"));
    EXPECT_EQ("a=b;[c]", document.Get("main", "k"));
}

TEST(IniDocument, ToleratesJunk) {
    // NULs, lone CRs, unclosed brackets and no line break at all.
    static const char kJunk[] = "[main\n\0\0=\0\r\r\n[\n]\n[main]\n\xFF\xFF\xFF\n=v\nk=1";
    const std::string junk(kJunk, sizeof(kJunk) - 1);
    IniDocument document(junk);
    EXPECT_EQ("1", document.Get("main", "k"));
    ASSERT_TRUE(document.Set("main", "k", "2"));
    EXPECT_EQ("2", document.Get("main", "k"));
    EXPECT_EQ(junk.substr(0, junk.size() - 1), document.Text().substr(0, junk.size() - 1));
}

TEST(IniFilePosix, ReadsAndWritesUtf8ButCreatesNeitherTheFileOnReadingNorTheFolder) {
    TempFolder folder;
    const std::filesystem::path file = folder.Path() / "orvel.ini";
    EXPECT_EQ(L"", platform::ReadIniValue(Wide(file), L"main", L"k"));
    EXPECT_FALSE(std::filesystem::exists(file));

    const std::filesystem::path nested = folder.Path() / "log" / "orvel.ini";
    EXPECT_FALSE(platform::WriteIniValue(Wide(nested), L"main", L"k", L"1"));
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "log"));

    ASSERT_TRUE(platform::WriteIniValue(Wide(file), L"main", L"k", L"1"));
    EXPECT_EQ("[main]\nk=1\n", ReadFileBytes(file));
    EXPECT_EQ(L"1", platform::ReadIniValue(Wide(file), L"MAIN", L"K"));
    // A value that cannot be one line is refused and the file kept.
    EXPECT_FALSE(platform::WriteIniValue(Wide(file), L"main", L"k", L"1\n[x]"));
    EXPECT_EQ("[main]\nk=1\n", ReadFileBytes(file));

    const std::wstring utf8 = Wide(folder.Path() / "f.ini");
    const std::wstring value = L"\u00e9\u20ac\U0001F600";
    ASSERT_TRUE(platform::WriteIniValue(utf8, L"s\u00e9ction", L"cl\u00e9", value));
    EXPECT_EQ(
        "[s\xC3\xA9"
        "ction]\ncl\xC3\xA9=\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n",
        ReadFileBytes(folder.Path() / "f.ini"));
    EXPECT_EQ(value, platform::ReadIniValue(utf8, L"S\u00c9CTION", L"CL\u00c9"));
}

TEST(IniFilePosix, ReplacesTheFileWholeWithItsPermissionsAndLeavesBigFilesAlone) {
    namespace fs = std::filesystem;
    TempFolder folder;
    const fs::path file = folder.Path() / "orvel.ini";
    const std::string before = "; kept\n[main]\nk=1\n[other]\nx=y\n";
    WriteFileBytes(file, before);
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(file, mode);

    // A reader that opened the old file keeps reading the old text whole:
    // the writer never rewrites a file in place.
    std::ifstream oldReader(file, std::ios::binary);
    ASSERT_TRUE(platform::WriteIniValue(Wide(file), L"main", L"k", L"22"));
    EXPECT_EQ(mode, fs::status(file).permissions());
    EXPECT_EQ("; kept\n[main]\nk=22\n[other]\nx=y\n", ReadFileBytes(file));
    std::string seen((std::istreambuf_iterator<char>(oldReader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(before, seen);
    // No temporary file is left behind.
    EXPECT_EQ(1, std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()));

    // A file too large to be a ledger is neither read nor rewritten.
    const std::string big = "[main]\nk=1\n" + std::string(17 * 1024 * 1024, ';');
    WriteFileBytes(file, big);
    EXPECT_EQ(L"", platform::ReadIniValue(Wide(file), L"main", L"k"));
    EXPECT_FALSE(platform::WriteIniValue(Wide(file), L"main", L"k", L"2"));
    EXPECT_EQ(big.size(), fs::file_size(file));
}

// ---- The device UUID at exit --------------------------------------------------

// The service's detached threads may build a report while static destructors
// run. In a child process: a detached thread asks for the UUID without pause
// and checks every answer; once it is going, the main thread exits, which
// runs the clean-up that releases the SMBIOS reader. Under AddressSanitizer a
// read of the released reader ends the child with an error.
[[noreturn]] void ExitWhileReading() {
    static std::atomic<int> calls{0};
    std::thread([] {
        const std::wstring first = GetDeviceUuid();
        for (;;) {
            if (GetDeviceUuid() != first) _exit(3);
            calls.fetch_add(1);
        }
    }).detach();
    while (calls.load() < 200) std::this_thread::yield();
    std::exit(0);
}

TEST(DeviceUuidAtExit, ReadersDuringExitGetTheSameText) {
    // The clean-up and a reader meet at a different point in every run.
    for (int run = 0; run < 20; ++run) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ExitWhileReading();
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status)) << "run " << run << " ended by signal " << WTERMSIG(status);
        ASSERT_EQ(0, WEXITSTATUS(status)) << "run " << run;
    }
}

}  // namespace
}  // namespace testing
}  // namespace tally
