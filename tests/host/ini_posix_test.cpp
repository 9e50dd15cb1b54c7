// Ini files on Linux: IniDocument, the text rules (those of the Windows
// profile functions) that only the Linux backend uses, and the backend's file
// handling on top of it.
#include "host/ini_document.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "temp_folder.h"

namespace tally {
namespace testing {
namespace {

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
}

TEST(IniDocument, NamesCompareWithoutCaseBeyondAscii) {
    const IniDocument document("[\xC3\x89T\xC3\x89]\n\xD0\x9A\xD0\x9B\xD0\xAE\xD0\xA7=1\n");
    EXPECT_EQ("1", document.Get("\xC3\xA9t\xC3\xA9", "\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87"));
    // Different junk bytes are different names, although both are not UTF-8.
    const IniDocument junk("[s]\n\xFF=1\n");
    EXPECT_EQ("1", junk.Get("s", "\xFF"));
    EXPECT_EQ("", junk.Get("s", "\xFE"));
}

TEST(IniDocument, CutsLongValuesToTheReadBuffer) {
    const std::string letters(300, 'x');
    IniDocument document("[main]\nlong=" + letters + "\n");
    EXPECT_EQ(std::string(259, 'x'), document.Get("main", "long"));
    // The cut counts characters and never splits one.
    std::string euros;
    for (int i = 0; i < 300; ++i) euros += "\xE2\x82\xAC";
    document = IniDocument("[main]\nlong=" + euros + "\n");
    EXPECT_EQ(euros.substr(0, 259 * 3), document.Get("main", "long"));
}

TEST(IniDocument, SetKeepsEveryOtherLineByteForByte) {
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
}

TEST(IniDocument, SetCreatesWhatIsMissing) {
    IniDocument document;
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
    EXPECT_FALSE(document.Set("main", "k", "1\n[evil]"));
    EXPECT_FALSE(document.Set("main", "k", "a\rb"));
    EXPECT_FALSE(document.Set("main", "k", std::string("a\0b", 3)));
    EXPECT_FALSE(document.Set("main", "a=b", "1"));
    EXPECT_FALSE(document.Set("main", ";k", "1"));
    EXPECT_FALSE(document.Set("main", "[k", "1"));
    EXPECT_FALSE(document.Set("main", "  ", "1"));
    EXPECT_FALSE(document.Set("", "k", "1"));
    EXPECT_FALSE(document.Set("ma\nin", "k", "1"));
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

std::wstring Wide(const std::filesystem::path& path) {
    return platform::Utf8ToWide(path.string());
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
    EXPECT_EQ("[main]\nk=1\n", ReadBytes(file));
    EXPECT_EQ(L"1", platform::ReadIniValue(Wide(file), L"MAIN", L"K"));
    // A value that cannot be one line is refused and the file kept.
    EXPECT_FALSE(platform::WriteIniValue(Wide(file), L"main", L"k", L"1\n[x]"));
    EXPECT_EQ("[main]\nk=1\n", ReadBytes(file));

    const std::wstring utf8 = Wide(folder.Path() / "f.ini");
    const std::wstring value = L"\u00e9\u20ac\U0001F600";
    ASSERT_TRUE(platform::WriteIniValue(utf8, L"s\u00e9ction", L"cl\u00e9", value));
    EXPECT_EQ(
        "[s\xC3\xA9"
        "ction]\ncl\xC3\xA9=\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n",
        ReadBytes(folder.Path() / "f.ini"));
    EXPECT_EQ(value, platform::ReadIniValue(utf8, L"S\u00c9CTION", L"CL\u00c9"));
    // Long values are read back cut, as the Windows reader cuts them.
    ASSERT_TRUE(platform::WriteIniValue(utf8, L"main", L"long", std::wstring(300, L'\u20ac')));
    EXPECT_EQ(std::wstring(259, L'\u20ac'), platform::ReadIniValue(utf8, L"main", L"long"));
}

TEST(IniFilePosix, ReplacesTheFileWholeWithItsPermissionsAndLeavesBigFilesAlone) {
    namespace fs = std::filesystem;
    TempFolder folder;
    const fs::path file = folder.Path() / "orvel.ini";
    const std::string before = "; kept\n[main]\nk=1\n[other]\nx=y\n";
    WriteBytes(file, before);
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(file, mode);

    // A reader that opened the old file keeps reading the old text whole:
    // the writer never rewrites a file in place.
    std::ifstream oldReader(file, std::ios::binary);
    ASSERT_TRUE(platform::WriteIniValue(Wide(file), L"main", L"k", L"22"));
    EXPECT_EQ(mode, fs::status(file).permissions());
    EXPECT_EQ("; kept\n[main]\nk=22\n[other]\nx=y\n", ReadBytes(file));
    std::string seen((std::istreambuf_iterator<char>(oldReader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(before, seen);
    // No temporary file is left behind.
    EXPECT_EQ(1, std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()));

    // A file too large to be a ledger is neither read nor rewritten.
    const std::string big = "[main]\nk=1\n" + std::string(17 * 1024 * 1024, ';');
    WriteBytes(file, big);
    EXPECT_EQ(L"", platform::ReadIniValue(Wide(file), L"main", L"k"));
    EXPECT_FALSE(platform::WriteIniValue(Wide(file), L"main", L"k", L"2"));
    EXPECT_EQ(big.size(), fs::file_size(file));
}

}  // namespace
}  // namespace testing
}  // namespace tally
