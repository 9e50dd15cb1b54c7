#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "scoped_env.h"
#include "support/service_scenario.h"
#include "temp_folder.h"

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;

// The product's data folder (with its "log" folder) in a fresh temporary
// folder, the journal in a file beside it, and a clock the test sets.
class LedgerTest : public ::testing::Test {
  protected:
    LedgerTest()
        : m_dataEnv("AMBIT_DATA_DIR", (m_folder.Path() / "data").u8string()),
          m_journalEnv("JOURNAL_LOG_FILE", (m_folder.Path() / "journal.txt").u8string()),
          m_quietEnv("JOURNAL_QUIET", "") {
        std::filesystem::create_directories(LogFolder());
        m_clock.Install();
    }

    std::filesystem::path LogFolder() const { return m_folder.Path() / "data" / "log"; }
    std::filesystem::path LedgerFile() const { return LogFolder() / "orvel.ini"; }
    std::vector<JournalLine> Journal() const {
        return ReadJournal(m_folder.Path() / "journal.txt");
    }
    // The ledger's text with line endings as LF (the Windows writer uses CRLF).
    std::string LedgerText() const {
        std::string text = ReadFileBytes(LedgerFile());
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    }

    TempFolder m_folder;
    ScopedEnv m_dataEnv;
    ScopedEnv m_journalEnv;
    ScopedEnv m_quietEnv;
    FakeClock m_clock;
};

TEST_F(LedgerTest, MissingFileReadsZeroUntilTheFirstWriteCreatesIt) {
    for (const wchar_t* key :
         {L"device_report", L"sync_app_report", L"hb_report_time", L"connect_report_time"}) {
        EXPECT_EQ(0u, Peer::GetLastReportTime(key));
    }
    EXPECT_FALSE(std::filesystem::exists(LedgerFile())) << "reading created the ledger";

    Peer::SetLastReportTime(L"device_report", 20250222);
    EXPECT_EQ("[main]\ndevice_report=20250222\n", LedgerText());
    EXPECT_EQ(20250222u, Peer::GetLastReportTime(L"device_report"));

    // Other keys stay as they are; 0 is written as text and reads as never.
    Peer::SetLastReportTime(L"hb_report_time", 1750000000000ULL);
    Peer::SetLastReportTime(L"device_report", 0);
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"device_report"));
    EXPECT_EQ(1750000000000ULL, Peer::GetLastReportTime(L"hb_report_time"));
    EXPECT_EQ("[main]\ndevice_report=0\nhb_report_time=1750000000000\n", LedgerText());

    // Written as unsigned text but read by a signed parse: past the signed
    // range the value saturates.
    Peer::SetLastReportTime(L"connect_report_time", std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(static_cast<uint64_t>(std::numeric_limits<int64_t>::max()),
              Peer::GetLastReportTime(L"connect_report_time"));
    EXPECT_TRUE(Journal().empty());
}

TEST_F(LedgerTest, ParsesStoredTextAsASigned64BitNumber) {
    const struct {
        std::string key;
        std::string text;
        uint64_t value;
    } rows[] = {
        {"date", "20250222", 20250222u},
        {"trailing", "20250222abc", 20250222u},
        {"letters", "abc", 0},
        {"empty", "", 0},
        {"signed", "  +42", 42},
        {"negative", "-1", std::numeric_limits<uint64_t>::max()},
        {"huge", "99999999999999999999", std::numeric_limits<int64_t>::max()},
        {"hugeNegative", "-99999999999999999999", uint64_t{1} << 63},
        {"twoSigns", "--5", 0},
    };
    std::string ledger = "[main]\n";
    for (const auto& row : rows) ledger += row.key + "=" + row.text + "\n";
    WriteFileBytes(LedgerFile(), ledger + "[other]\nelsewhere=5\n");
    for (const auto& row : rows) {
        EXPECT_EQ(row.value, Peer::GetLastReportTime(std::wstring(row.key.begin(), row.key.end())))
            << row.key;
    }
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"elsewhere"));
    EXPECT_EQ(20250222u, Peer::GetLastReportTime(L"DATE"));
}

TEST_F(LedgerTest, NothingIsWrittenForAnEmptyKeyOrWithoutTheLogFolder) {
    Peer::SetLastReportTime(L"", 5);
    EXPECT_FALSE(std::filesystem::exists(LedgerFile()));
    WriteFileBytes(LedgerFile(), "[main]\n=7\n");
    EXPECT_EQ(0u, Peer::GetLastReportTime(L""));
    Peer::SetLastReportTime(L"", 5);
    EXPECT_EQ("[main]\n=7\n", LedgerText());

    std::filesystem::remove_all(LogFolder());
    Peer::SetLastReportTime(L"device_report", 20250222);
    EXPECT_FALSE(std::filesystem::exists(LogFolder())) << "the writer created the folder";
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"device_report"));
    EXPECT_TRUE(Journal().empty());
}

TEST_F(LedgerTest, CurrentDateIsTheLocalCalendarDate) {
    m_clock.SetLocalDate(2025, 2, 22);
    EXPECT_EQ(20250222u, Peer::GetCurrentDate());
    m_clock.SetLocalDate(2025, 3, 1);
    EXPECT_EQ(20250301u, Peer::GetCurrentDate());
    m_clock.SetLocalDate(30827, 12, 31);  // the last year a system time holds
    EXPECT_EQ(308271231u, Peer::GetCurrentDate());

    // A failed conversion formats as blanks and zeros: 0 without a message.
    m_clock.SetLocalDate(2025, 2, 22, false);
    EXPECT_EQ(0u, Peer::GetCurrentDate());
    EXPECT_TRUE(Journal().empty());

    // A date that does not fit its text is logged.
    m_clock.SetLocalDate(65535, 65535, 65535);
    EXPECT_EQ(0u, Peer::GetCurrentDate());
    const std::vector<JournalLine> lines = Journal();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("copy current date to array failed.", lines[0].message);
    EXPECT_TRUE(IsLogLine(&lines[0], 20, 5, "TallyService::GetCurrentDate"));
}

TEST_F(LedgerTest, ExceptionsFromTheHostAreCaughtAndLogged) {
    Peer::SetLastReportTime(L"device_report", 20250222);
    size_t seen = 0;
    for (const std::string failure : {"exception", "unknown"}) {
        ScopedEnv failing("AMBIT_DATA_DIR_FAILURE", failure);
        EXPECT_EQ(0u, Peer::GetLastReportTime(L"device_report")) << failure;
        Peer::SetLastReportTime(L"device_report", 1);
        const std::vector<JournalLine> lines = Journal();
        ASSERT_EQ(seen + 2, lines.size()) << failure;
        const std::string kind = failure == "unknown" ? " unknown exception" : " exception";
        EXPECT_EQ("get report time from ini file" + kind, lines[seen].message);
        EXPECT_TRUE(IsLogLine(&lines[seen], 20, 5, "TallyService::GetLastReportTime"));
        EXPECT_EQ("set report time to ini file" + kind, lines[seen + 1].message);
        EXPECT_TRUE(IsLogLine(&lines[seen + 1], 20, 5, "TallyService::SetLastReportTime"));
        seen = lines.size();
    }
    // Nothing was written while the host failed.
    EXPECT_EQ(20250222u, Peer::GetLastReportTime(L"device_report"));
}

}  // namespace
}  // namespace testing
}  // namespace tally
