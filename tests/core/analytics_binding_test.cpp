// Binding the analytics library: every way the load can fail, with its log
// line, and the configuration record exactly as the library receives it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TallyApi.h"
#include "TallyService.h"
#include "support/process.h"
#include "support/scenario.h"
#include "support/service_scenario.h"

namespace {

using tally::testing::AnalyticsLibrary;
using tally::testing::IsLogLine;
using tally::testing::RunScenario;
using tally::testing::ScenarioOptions;
using tally::testing::ScenarioResult;
using tally::testing::StandinCall;
using Peer = TallyServiceTestPeer;

constexpr int kModuleAnalytics = 6;
constexpr int kModuleReport = 20;
constexpr int kSeverityInfo = 2;
constexpr int kSeverityError = 5;

void NoteServiceState() {
    tally::testing::WriteNote("initialized", Peer::Initialized() ? "1" : "0");
    tally::testing::WriteNote("module", Peer::Module() ? "loaded" : "none");
}

TALLY_SCENARIO(EnableOnce) {
    TallyService::GetInstance()->EnableImprovement(true);
    NoteServiceState();
}

// A service that is initialised binds nothing again, whether the host
// enables it again or initialisation is asked for directly.
TALLY_SCENARIO(EnableThenInitAgain) {
    tally::testing::InstallProcessFakeClock();
    tally::testing::MarkDeviceReportedToday();
    TallyService::GetInstance()->EnableImprovement(true);
    const int threads = tally::testing::CountThreads();
    Peer::Init();
    TallyService::GetInstance()->EnableImprovement(true);
    EXPECT_EQ(threads, tally::testing::CountThreads()) << "enabling again started threads";
    NoteServiceState();
}

const std::string kSeparator(1, static_cast<char>(std::filesystem::path::preferred_separator));

std::string Field(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

// The fields of the configuration in the order the service fills them.
enum class Filled { UpToTag = 4, UpToDomain = 5, All = 10 };

// The configuration the service should hand over in `result`'s folder, with
// `domain` in its field, as far as `filled` (a failed copy leaves its field
// and every later one empty and the numbers 0).
ReportConfig ExpectedConfig(const ScenarioResult& result, const std::string& domain,
                            Filled filled = Filled::All) {
    const std::string analyticsData =
        result.localAppData + kSeparator + "Nantel" + kSeparator + "Orvel" + kSeparator;
    ReportConfig config{};
    const std::vector<std::pair<char*, std::string>> fields = {
        {config.appid, "Orvel"},
        {config.appversion, tally::testing::kScenarioAppVersion},
        {config.deviceType, "Orvel-PC00"},
        {config.tag, "Orvel"},
        {config.domain, domain},
        {config.logDir, result.dataFolder.u8string() + kSeparator + "log" + kSeparator},
        {config.logFileName, "tally.log"},
        {config.dbPath, analyticsData + "config" + kSeparator + "qx.db"},
        {config.pubkeyPath, analyticsData + "config" + kSeparator + "qx_pubkey.pem"},
        {config.cacertPath,
         result.folder.u8string() + kSeparator + "config" + kSeparator + "qx_cacert.pem"},
    };
    for (size_t i = 0; i < fields.size() && i < static_cast<size_t>(filled); ++i) {
        std::memcpy(fields[i].first, fields[i].second.data(), fields[i].second.size());
    }
    if (filled == Filled::All) {
        config.certParam1 = 4;
        config.certParam2 = 1024;
    }
    return config;
}

// Compares every byte of the record, NUL padding included, naming the fields
// that differ.
void ExpectConfig(const ReportConfig& expected, const ReportConfig& actual) {
#define TALLY_EXPECT_FIELD(name)                                                        \
    EXPECT_EQ(0, std::memcmp(expected.name, actual.name, sizeof(actual.name)))          \
        << #name ": \"" << Field(actual.name, sizeof(actual.name)) << "\", expected \"" \
        << Field(expected.name, sizeof(expected.name)) << "\"";
    TALLY_EXPECT_FIELD(appid)
    TALLY_EXPECT_FIELD(appversion)
    TALLY_EXPECT_FIELD(deviceType)
    TALLY_EXPECT_FIELD(tag)
    TALLY_EXPECT_FIELD(domain)
    TALLY_EXPECT_FIELD(logDir)
    TALLY_EXPECT_FIELD(logFileName)
    TALLY_EXPECT_FIELD(dbPath)
    TALLY_EXPECT_FIELD(pubkeyPath)
    TALLY_EXPECT_FIELD(cacertPath)
#undef TALLY_EXPECT_FIELD
    EXPECT_EQ(expected.certParam1, actual.certParam1);
    EXPECT_EQ(expected.certParam2, actual.certParam2);
    EXPECT_EQ(0, std::memcmp(&expected, &actual, sizeof(ReportConfig)));
}

const ReportConfig* ReceivedConfig(const ScenarioResult& result) {
    for (const StandinCall& call : result.calls) {
        if (call.kind == StandinCall::Kind::Init) return &call.config;
    }
    return nullptr;
}

ScenarioOptions WithLibrary(AnalyticsLibrary library, const std::string& initResult = "") {
    ScenarioOptions options;
    options.library = library;
    options.initResult = initResult;
    return options;
}

ScenarioOptions WithIni(const std::string& text) {
    ScenarioOptions options;
    options.writeIni = true;
    options.iniText = text;
    return options;
}

TEST(AnalyticsBinding, LoadFailureLogsTheSystemCodeAndNothingElse) {
    const std::vector<std::pair<AnalyticsLibrary, std::string>> cases = {
        {AnalyticsLibrary::Missing, "Load tally library failed:126"},
        {AnalyticsLibrary::NotALibrary, "Load tally library failed:193"},
    };
    for (const auto& [library, message] : cases) {
        SCOPED_TRACE(message);
        const ScenarioResult result = RunScenario("EnableOnce", WithLibrary(library));
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        ASSERT_EQ(1u, result.journal.size()) << result.journalText;
        EXPECT_EQ(message, result.journal[0].message);
        EXPECT_TRUE(
            IsLogLine(&result.journal[0], kModuleReport, kSeverityError, "TallyService::Init"));
        EXPECT_TRUE(result.calls.empty());
        EXPECT_EQ("0", result.Note("initialized"));
        EXPECT_EQ("none", result.Note("module"));
    }
}

TEST(AnalyticsBinding, LibraryLackingAnEntryPointIsReleasedWithoutALine) {
    const ScenarioResult result =
        RunScenario("EnableOnce", WithLibrary(AnalyticsLibrary::WithoutSubmit));
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_TRUE(result.journal.empty()) << result.journalText;
    EXPECT_EQ(0u, result.CountCalls(StandinCall::Kind::Init));
    EXPECT_EQ("0", result.Note("initialized"));
    EXPECT_EQ("none", result.Note("module"));
}

TEST(AnalyticsBinding, InitAnswerOtherThanOneLeavesTheServiceUninitialised) {
    for (const std::string answer : {"0", "2"}) {
        SCOPED_TRACE("ReportInit answers " + answer);
        const ScenarioResult result =
            RunScenario("EnableOnce", WithLibrary(AnalyticsLibrary::Recording, answer));
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        ASSERT_EQ(1u, result.journal.size()) << result.journalText;
        EXPECT_EQ("tally init ret -> 0", result.journal[0].message);
        EXPECT_TRUE(
            IsLogLine(&result.journal[0], kModuleAnalytics, kSeverityInfo, "TallyService::Init"));
        EXPECT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
        EXPECT_TRUE(result.Events().empty());
        EXPECT_EQ("0", result.Note("initialized"));
        EXPECT_EQ("loaded", result.Note("module")) << "the library stays loaded";
    }
}

TEST(AnalyticsBinding, SuccessHandsOverTheWholeConfigurationOnce) {
    // Paths with spaces and non-ASCII characters reach the library as UTF-8.
    ScenarioOptions options;
    options.folderNameSuffix =
        " B\xC3\xBC"
        "cher \xE6\x95\xB0\xE6\x8D\xAE";
    const ScenarioResult result = RunScenario("EnableThenInitAgain", options);
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ("1", result.Note("initialized"));
    ASSERT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
    const auto lines = result.JournalFrom("TallyService::Init");
    ASSERT_EQ(1u, lines.size()) << result.journalText;
    EXPECT_EQ("tally init ret -> 1", lines[0]->message);
    EXPECT_TRUE(IsLogLine(lines[0], kModuleAnalytics, kSeverityInfo, "TallyService::Init"));
    // Without config/orvel.ini the domain is the bare scheme.
    ExpectConfig(ExpectedConfig(result, "https://"), *ReceivedConfig(result));
}

TEST(AnalyticsBinding, DomainComesFromTheReportSectionOfTheIniFile) {
    const std::string longest(55, 'd');  // "https://" and 55 bytes fill 63 of 64
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[report]\r\ntally_domain=tally.example.org\r\n", "https://tally.example.org"},
        {"; product settings\n[main]\ntally_domain=wrong.example.org\n[report]\n"
         "other=1\ntally_domain=" +
             longest + "\n",
         "https://" + longest},
        {"[main]\ntally_domain=wrong.example.org\n[report]\nother=1\n", "https://"},
    };
    for (const auto& [ini, domain] : cases) {
        SCOPED_TRACE(ini);
        const ScenarioResult result = RunScenario("EnableOnce", WithIni(ini));
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        const ReportConfig* config = ReceivedConfig(result);
        ASSERT_NE(nullptr, config);
        ExpectConfig(ExpectedConfig(result, domain), *config);
        EXPECT_TRUE(result.JournalFrom("TallyService::InitConfigParams").empty())
            << result.journalText;
    }
}

TEST(AnalyticsBinding, DomainTooLongLeavesItAndEveryLaterFieldEmpty) {
    const ScenarioResult result =
        RunScenario("EnableOnce", WithIni("[report]\ntally_domain=" + std::string(56, 'd') + "\n"));
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    const auto lines = result.JournalWith("copy domain failed.");
    ASSERT_EQ(1u, lines.size()) << result.journalText;
    EXPECT_TRUE(
        IsLogLine(lines[0], kModuleAnalytics, kSeverityError, "TallyService::InitConfigParams"));
    // The library is initialised all the same, with what was filled.
    const ReportConfig* config = ReceivedConfig(result);
    ASSERT_NE(nullptr, config);
    ExpectConfig(ExpectedConfig(result, "", Filled::UpToTag), *config);
    EXPECT_EQ(1u, result.JournalWith("tally init ret -> 1").size()) << result.journalText;
    EXPECT_EQ("1", result.Note("initialized"));
}

TEST(AnalyticsBinding, ExceptionDuringInitIsLoggedAndEndsTheAttempt) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"exception", "init fail exception"},
        {"unknown", "init fail unknown"},
    };
    for (const auto& [failure, message] : cases) {
        SCOPED_TRACE(message);
        ScenarioOptions options;
        // The parameter library throws when asked for the data folder.
        options.environment = {{"AMBIT_DATA_DIR_FAILURE", failure}};
        const ScenarioResult result = RunScenario("EnableOnce", options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        ASSERT_EQ(2u, result.journal.size()) << result.journalText;
        EXPECT_EQ(message, result.journal[0].message);
        EXPECT_TRUE(
            IsLogLine(&result.journal[0], kModuleAnalytics, kSeverityError, "TallyService::Init"));
        EXPECT_EQ("tally init ret -> 0", result.journal[1].message);
        EXPECT_TRUE(
            IsLogLine(&result.journal[1], kModuleAnalytics, kSeverityInfo, "TallyService::Init"));
        EXPECT_EQ(0u, result.CountCalls(StandinCall::Kind::Init));
        EXPECT_EQ("0", result.Note("initialized"));
    }
}

TEST(AnalyticsBinding, FieldThatDoesNotFitIsLoggedByNameAndEndsTheCopies) {
    {
        SCOPED_TRACE("application version of 64 bytes");
        ScenarioOptions options;
        options.appVersion = std::string(64, 'v');
        const ScenarioResult result = RunScenario("EnableOnce", options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        const auto lines = result.JournalWith("copy appversion failed.");
        ASSERT_EQ(1u, lines.size()) << result.journalText;
        EXPECT_TRUE(IsLogLine(lines[0], kModuleAnalytics, kSeverityError,
                              "TallyService::InitConfigParams"));
        ASSERT_NE(nullptr, ReceivedConfig(result));
        ReportConfig expected{};
        std::memcpy(expected.appid, "Orvel", 5);
        ExpectConfig(expected, *ReceivedConfig(result));
    }
    {
        SCOPED_TRACE("data folder of 1100 bytes");
        ScenarioOptions options;
        options.environment = {{"AMBIT_DATA_DIR", kSeparator + std::string(1100, 'f')}};
        const ScenarioResult result = RunScenario("EnableOnce", options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        const auto lines = result.JournalWith("copy logDir failed.");
        ASSERT_EQ(1u, lines.size()) << result.journalText;
        EXPECT_TRUE(IsLogLine(lines[0], kModuleAnalytics, kSeverityError,
                              "TallyService::InitConfigParams"));
        ASSERT_NE(nullptr, ReceivedConfig(result));
        ExpectConfig(ExpectedConfig(result, "https://", Filled::UpToDomain),
                     *ReceivedConfig(result));
        EXPECT_EQ("1", result.Note("initialized"));
    }
}

}  // namespace
