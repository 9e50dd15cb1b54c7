#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "scoped_env.h"
#include "support/fake_clock.h"
#include "support/recordings.h"
#include "support/test_peer.h"
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
        std::string text = ReadBytes(LedgerFile());
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
    WriteBytes(LedgerFile(),
               "[main]\n"
               "date=20250222\n"
               "trailing=20250222abc\n"
               "letters=abc\n"
               "empty=\n"
               "signed=  +42\n"
               "negative=-1\n"
               "huge=99999999999999999999\n"
               "hugeNegative=-99999999999999999999\n"
               "twoSigns=--5\n"
               "[other]\n"
               "elsewhere=5\n");
    EXPECT_EQ(20250222u, Peer::GetLastReportTime(L"date"));
    EXPECT_EQ(20250222u, Peer::GetLastReportTime(L"trailing"));
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"letters"));
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"empty"));
    EXPECT_EQ(42u, Peer::GetLastReportTime(L"signed"));
    EXPECT_EQ(std::numeric_limits<uint64_t>::max(), Peer::GetLastReportTime(L"negative"));
    EXPECT_EQ(static_cast<uint64_t>(std::numeric_limits<int64_t>::max()),
              Peer::GetLastReportTime(L"huge"));
    EXPECT_EQ(uint64_t{1} << 63, Peer::GetLastReportTime(L"hugeNegative"));
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"twoSigns"));
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"elsewhere"));
    EXPECT_EQ(20250222u, Peer::GetLastReportTime(L"DATE"));
}

TEST_F(LedgerTest, EmptyKeyNeitherReadsNorWrites) {
    Peer::SetLastReportTime(L"", 5);
    EXPECT_FALSE(std::filesystem::exists(LedgerFile()));
    WriteBytes(LedgerFile(), "[main]\n=7\n");
    EXPECT_EQ(0u, Peer::GetLastReportTime(L""));
    Peer::SetLastReportTime(L"", 5);
    EXPECT_EQ("[main]\n=7\n", LedgerText());
}

TEST_F(LedgerTest, WithoutTheLogFolderNothingIsWrittenOrLogged) {
    std::filesystem::remove_all(LogFolder());
    Peer::SetLastReportTime(L"device_report", 20250222);
    EXPECT_FALSE(std::filesystem::exists(LogFolder())) << "the writer created the folder";
    EXPECT_EQ(0u, Peer::GetLastReportTime(L"device_report"));
    EXPECT_TRUE(Journal().empty());
}

TEST_F(LedgerTest, CurrentDateIsTheLocalCalendarDate) {
    m_clock.SetLocalDate(2025, 2, 22);
    EXPECT_EQ(20250222u, Peer::GetCurrentDate());
    m_clock.SetLocalDate(2025, 2, 23);
    EXPECT_EQ(20250223u, Peer::GetCurrentDate());
    m_clock.SetLocalDate(30827, 12, 31);  // the last year a system time holds
    EXPECT_EQ(308271231u, Peer::GetCurrentDate());

    // A failed conversion formats as blanks and zeros: 0 without a message.
    m_clock.SetLocalDate(2025, 2, 22, false);
    EXPECT_EQ(0u, Peer::GetCurrentDate());
    EXPECT_TRUE(Journal().empty());
}

TEST_F(LedgerTest, CurrentDateThatDoesNotFitIsLogged) {
    m_clock.SetLocalDate(65535, 65535, 65535);
    EXPECT_EQ(0u, Peer::GetCurrentDate());
    const std::vector<JournalLine> lines = Journal();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("copy current date to array failed.", lines[0].message);
    EXPECT_EQ("TallyService::GetCurrentDate", lines[0].function);
    EXPECT_EQ(20, lines[0].module);
    EXPECT_EQ(5, lines[0].severity);
    EXPECT_TRUE(lines[0].flag);
}

TEST_F(LedgerTest, ExceptionsFromTheHostAreCaughtAndLogged) {
    Peer::SetLastReportTime(L"device_report", 20250222);
    struct Case {
        const char* failure;
        const char* readMessage;
        const char* writeMessage;
    };
    const Case cases[] = {
        {"exception", "get report time from ini file exception",
         "set report time to ini file exception"},
        {"unknown", "get report time from ini file unknown exception",
         "set report time to ini file unknown exception"},
    };
    size_t seen = 0;
    for (const Case& c : cases) {
        ScopedEnv failing("AMBIT_DATA_DIR_FAILURE", c.failure);
        EXPECT_EQ(0u, Peer::GetLastReportTime(L"device_report")) << c.failure;
        Peer::SetLastReportTime(L"device_report", 1);
        const std::vector<JournalLine> lines = Journal();
        ASSERT_EQ(seen + 2, lines.size()) << c.failure;
        EXPECT_EQ(c.readMessage, lines[seen].message);
        EXPECT_EQ("TallyService::GetLastReportTime", lines[seen].function);
        EXPECT_EQ(c.writeMessage, lines[seen + 1].message);
        EXPECT_EQ("TallyService::SetLastReportTime", lines[seen + 1].function);
        for (size_t i = seen; i < lines.size(); ++i) {
            EXPECT_EQ(20, lines[i].module);
            EXPECT_EQ(5, lines[i].severity);
        }
        seen = lines.size();
    }
    // Nothing was written while the host failed.
    EXPECT_EQ(20250222u, Peer::GetLastReportTime(L"device_report"));
}

}  // namespace
}  // namespace testing
}  // namespace tally
