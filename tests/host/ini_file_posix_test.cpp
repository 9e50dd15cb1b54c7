// The Linux ini reader and writer: file handling on top of IniDocument.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "temp_folder.h"

namespace tally {
namespace testing {
namespace {

std::wstring Wide(const std::filesystem::path& path) {
    return platform::Utf8ToWide(path.string());
}

std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(IniFilePosix, ReadingNeverCreatesTheFileAndWritingNeverTheFolder) {
    TempFolder folder;
    const std::filesystem::path file = folder.Path() / "orvel.ini";
    EXPECT_EQ(L"", platform::ReadIniValue(Wide(file), L"main", L"k"));
    EXPECT_FALSE(std::filesystem::exists(file));

    const std::filesystem::path nested = folder.Path() / "log" / "orvel.ini";
    EXPECT_FALSE(platform::WriteIniValue(Wide(nested), L"main", L"k", L"1"));
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "log"));

    ASSERT_TRUE(platform::WriteIniValue(Wide(file), L"main", L"k", L"1"));
    EXPECT_EQ("[main]\nk=1\n", ReadBytes(file));
    EXPECT_EQ(L"1", platform::ReadIniValue(Wide(file), L"MAIN", L"K"));
    // A value that cannot be one line is refused and the file kept.
    EXPECT_FALSE(platform::WriteIniValue(Wide(file), L"main", L"k", L"1\n[x]"));
    EXPECT_EQ("[main]\nk=1\n", ReadBytes(file));
}

TEST(IniFilePosix, WritesUtf8AndReadsBackCut) {
    TempFolder folder;
    const std::wstring file = Wide(folder.Path() / "f.ini");
    const std::wstring value = L"\u00e9\u20ac\U0001F600";
    ASSERT_TRUE(platform::WriteIniValue(file, L"s\u00e9ction", L"cl\u00e9", value));
    EXPECT_EQ(
        "[s\xC3\xA9"
        "ction]\ncl\xC3\xA9=\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n",
        ReadBytes(folder.Path() / "f.ini"));
    EXPECT_EQ(value, platform::ReadIniValue(file, L"S\u00c9CTION", L"CL\u00c9"));

    const std::wstring longValue(300, L'\u20ac');
    ASSERT_TRUE(platform::WriteIniValue(file, L"main", L"long", longValue));
    EXPECT_EQ(std::wstring(259, L'\u20ac'), platform::ReadIniValue(file, L"main", L"long"));
}

TEST(IniFilePosix, ReplacesTheFileWholeAndKeepsItsPermissions) {
    TempFolder folder;
    const std::filesystem::path file = folder.Path() / "orvel.ini";
    const std::string before = "; kept\n[main]\nk=1\n[other]\nx=y\n";
    WriteBytes(file, before);
    ASSERT_EQ(0, chmod(file.c_str(), 0640));
    struct stat old {};
    ASSERT_EQ(0, stat(file.c_str(), &old));

    // A reader that opened the old file keeps reading the old text whole:
    // the writer never rewrites a file in place.
    std::ifstream oldReader(file, std::ios::binary);
    ASSERT_TRUE(platform::WriteIniValue(Wide(file), L"main", L"k", L"22"));

    struct stat now {};
    ASSERT_EQ(0, stat(file.c_str(), &now));
    EXPECT_NE(old.st_ino, now.st_ino);
    EXPECT_EQ(0640u, now.st_mode & 07777);
    EXPECT_EQ("; kept\n[main]\nk=22\n[other]\nx=y\n", ReadBytes(file));
    std::string seen((std::istreambuf_iterator<char>(oldReader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(before, seen);
    // No temporary file is left behind.
    EXPECT_EQ(std::vector<std::string>{"orvel.ini"}, FolderEntries(folder.Path()));
}

TEST(IniFilePosix, LeavesFilesTooLargeToBeOursAlone) {
    TempFolder folder;
    const std::filesystem::path file = folder.Path() / "big.ini";
    const std::string big = "[main]\nk=1\n" + std::string(17 * 1024 * 1024, ';');
    WriteBytes(file, big);
    EXPECT_EQ(L"", platform::ReadIniValue(Wide(file), L"main", L"k"));
    EXPECT_FALSE(platform::WriteIniValue(Wide(file), L"main", L"k", L"2"));
    EXPECT_EQ(big.size(), std::filesystem::file_size(file));
}

TEST(IniFilePosix, ConcurrentWritersInSeveralProcessesLoseNoKey) {
    TempFolder folder;
    const std::filesystem::path file = folder.Path() / "orvel.ini";
    const std::wstring path = Wide(file);
    constexpr int kProcesses = 4;
    constexpr int kKeysEach = 40;

    // Every process writes its own keys, all into the one section, at once;
    // the first writes also race to create the file.
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int k = 0; k < kKeysEach; ++k) {
                const std::wstring key = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(k);
                if (!platform::WriteIniValue(path, L"main", key, std::to_wstring(k * 7))) {
                    ++failures;
                }
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed";
    }

    for (int p = 0; p < kProcesses; ++p) {
        for (int k = 0; k < kKeysEach; ++k) {
            const std::wstring key = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(k);
            EXPECT_EQ(std::to_wstring(k * 7), platform::ReadIniValue(path, L"main", key))
                << "lost p" << p << "_" << k;
        }
    }
    const std::string text = ReadBytes(file);
    EXPECT_EQ(1u + kProcesses * kKeysEach,
              static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
    EXPECT_EQ(std::vector<std::string>{"orvel.ini"}, FolderEntries(folder.Path()));
}

}  // namespace
}  // namespace testing
}  // namespace tally
