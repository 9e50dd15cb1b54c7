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

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;

constexpr int kModuleAnalytics = 6;
constexpr int kModuleReport = 20;
constexpr int kSeverityInfo = 2;
constexpr int kSeverityError = 5;

void NoteServiceState() {
    WriteNote("initialized", Peer::Initialized() ? "1" : "0");
    WriteNote("module", Peer::Module() ? "loaded" : "none");
}

TALLY_SCENARIO(EnableOnce) {
    TallyService::GetInstance()->EnableImprovement(true);
    NoteServiceState();
}

// A service that is initialised binds nothing again, whether the host
// enables it again or initialisation is asked for directly.
TALLY_SCENARIO(EnableThenInitAgain) {
    ASSERT_NO_FATAL_FAILURE(EnableQuietly());
    const int threads = CountThreads();
    Peer::Init();
    TallyService::GetInstance()->EnableImprovement(true);
    EXPECT_EQ(threads, CountThreads()) << "enabling again started threads";
    NoteServiceState();
}

const std::string kSeparator(1, static_cast<char>(std::filesystem::path::preferred_separator));

// Checks that the service handed over, in `result`'s folder, the configuration
// with `domain` in its field and filled as far as its first `filled` fields (a
// failed copy leaves its field and every later one empty and the numbers 0):
// the fields' texts by name, then every byte of the record, NUL padding
// included.
void ExpectConfig(const ScenarioResult& result, const std::string& domain, int filled) {
    const ReportConfig* actual = nullptr;
    for (const StandinCall& call : result.calls) {
        if (call.kind == StandinCall::Kind::Init) actual = &call.config;
    }
    ASSERT_NE(nullptr, actual);
    const std::string config = kSeparator + "config" + kSeparator;
    const std::string analyticsData =
        result.localAppData + kSeparator + "Nantel" + kSeparator + "Orvel" + config;
    ReportConfig expected{};
    int index = 0;
    const auto fill = [&](char* field, const std::string& text) {
        if (index++ < filled) std::memcpy(field, text.data(), text.size());
    };
#define TALLY_FIELD(name, text)                                \
    fill(expected.name, text);                                 \
    EXPECT_EQ(FieldText(expected.name, sizeof(expected.name)), \
              FieldText(actual->name, sizeof(actual->name)))   \
        << #name;
    TALLY_FIELD(appid, "Orvel")
    TALLY_FIELD(appversion, kScenarioAppVersion)
    TALLY_FIELD(deviceType, "Orvel-PC00")
    TALLY_FIELD(tag, "Orvel")
    TALLY_FIELD(domain, domain)
    TALLY_FIELD(logDir, result.dataFolder.u8string() + kSeparator + "log" + kSeparator)
    TALLY_FIELD(logFileName, "tally.log")
    TALLY_FIELD(dbPath, analyticsData + "qx.db")
    TALLY_FIELD(pubkeyPath, analyticsData + "qx_pubkey.pem")
    TALLY_FIELD(cacertPath, result.folder.u8string() + config + "qx_cacert.pem")
#undef TALLY_FIELD
    expected.certParam1 = filled == 10 ? 4 : 0;
    expected.certParam2 = filled == 10 ? 1024 : 0;
    EXPECT_EQ(expected.certParam1, actual->certParam1);
    EXPECT_EQ(expected.certParam2, actual->certParam2);
    EXPECT_EQ(0, std::memcmp(&expected, actual, sizeof(ReportConfig)));
}

TEST(AnalyticsBinding, FailedBindingLogsWhyAndLeavesTheServiceUninitialised) {
    struct Case {
        AnalyticsLibrary library;
        std::string initResult;
        std::string failure;  // what the parameter library throws when asked for the data folder
        std::string error;    // the error line of TallyService::Init, if any
        size_t initCalls;
        bool loaded;  // the library stays loaded; then the attempt ends with its result line
    };
    const Case cases[] = {
        {AnalyticsLibrary::Missing, "", "", "Load tally library failed:126", 0, false},
        {AnalyticsLibrary::NotALibrary, "", "", "Load tally library failed:193", 0, false},
        // A library lacking an entry point is released without a line.
        {AnalyticsLibrary::WithoutSubmit, "", "", "", 0, false},
        {AnalyticsLibrary::Recording, "0", "", "", 1, true},
        {AnalyticsLibrary::Recording, "2", "", "", 1, true},
        {AnalyticsLibrary::Recording, "", "exception", "init fail exception", 0, true},
        {AnalyticsLibrary::Recording, "", "unknown", "init fail unknown", 0, true},
    };
    for (const Case& test : cases) {
        ScenarioOptions options;
        options.library = test.library;
        options.initResult = test.initResult;
        if (!test.failure.empty()) options.environment = {{"AMBIT_DATA_DIR_FAILURE", test.failure}};
        const ScenarioResult result = RunScenario("EnableOnce", options);
        SCOPED_TRACE("case " + std::to_string(&test - cases) + "\n" + result.journalText);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        ASSERT_EQ((test.error.empty() ? 0u : 1u) + (test.loaded ? 1u : 0u), result.journal.size());
        if (!test.error.empty()) {
            EXPECT_EQ(test.error, result.journal[0].message);
            EXPECT_TRUE(IsLogLine(&result.journal[0],
                                  test.failure.empty() ? kModuleReport : kModuleAnalytics,
                                  kSeverityError, "TallyService::Init"));
        }
        if (test.loaded) {
            EXPECT_EQ("tally init ret -> 0", result.journal.back().message);
            EXPECT_TRUE(IsLogLine(&result.journal.back(), kModuleAnalytics, kSeverityInfo,
                                  "TallyService::Init"));
        }
        EXPECT_EQ(test.initCalls, result.CountCalls(StandinCall::Kind::Init));
        EXPECT_TRUE(result.Events().empty());
        EXPECT_EQ("0", result.Note("initialized"));
        EXPECT_EQ(test.loaded ? "loaded" : "none", result.Note("module"));
    }
}

// Each case initialises the service, which hands the configuration over once
// and binds nothing again; the folder's name has spaces and non-ASCII
// characters, which reach the library as UTF-8.
TEST(AnalyticsBinding, ConfigurationIsFilledAsFarAsItsFieldsFitAndHandedOverOnce) {
    const std::string longest(55, 'd');  // "https://" and 55 bytes fill 63 of 64
    const std::string lastOfTwo =
        "; product settings\n[main]\ntally_domain=wrong.example.org\n"
        "[report]\nother=1\ntally_domain=" +
        longest + "\n";
    struct Case {
        int filled;              // the fields filled, in the order the service fills them
        std::string failedCopy;  // the line of the field that did not fit
        std::string domain;
        std::string ini;         // config/orvel.ini; none when empty
        std::string appVersion;  // what the parameter library answers, when set
        std::string dataFolder;  // the same
    };
    const Case cases[] = {
        // Without config/orvel.ini, or without the key in [report], the
        // domain is the bare scheme.
        {10, "", "https://", "", "", ""},
        {10, "", "https://t.example.org", "[report]\r\ntally_domain=t.example.org\r\n", "", ""},
        {10, "", "https://" + longest, lastOfTwo, "", ""},
        {10, "", "https://", "[main]\ntally_domain=wrong.example.org\n[report]\nother=1\n", "", ""},
        // A field that does not fit leaves it and every later one empty.
        {4, "copy domain failed.", "", "[report]\ntally_domain=" + std::string(56, 'd'), "", ""},
        {1, "copy appversion failed.", "", "", std::string(64, 'v'), ""},
        {5, "copy logDir failed.", "https://", "", "", kSeparator + std::string(1100, 'f')},
    };
    for (const Case& test : cases) {
        ScenarioOptions options;
        options.folderNameSuffix =
            " B\xC3\xBC"
            "cher \xE6\x95\xB0\xE6\x8D\xAE";
        options.writeIni = !test.ini.empty();
        options.iniText = test.ini;
        if (!test.appVersion.empty()) options.appVersion = test.appVersion;
        if (!test.dataFolder.empty()) options.environment = {{"AMBIT_DATA_DIR", test.dataFolder}};
        const ScenarioResult result = RunScenario("EnableThenInitAgain", options);
        SCOPED_TRACE("case " + std::to_string(&test - cases) + "\n" + result.journalText);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        EXPECT_EQ("1", result.Note("initialized"));
        ASSERT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
        ExpectConfig(result, test.domain, test.filled);
        const auto lines = result.JournalFrom("TallyService::Init");
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("tally init ret -> 1", lines[0]->message);
        EXPECT_TRUE(IsLogLine(lines[0], kModuleAnalytics, kSeverityInfo, "TallyService::Init"));
        const auto copyLines = result.JournalFrom("TallyService::InitConfigParams");
        ASSERT_EQ(test.failedCopy.empty() ? 0u : 1u, copyLines.size());
        if (!copyLines.empty()) {
            EXPECT_EQ(test.failedCopy, copyLines[0]->message);
            EXPECT_TRUE(IsLogLine(copyLines[0], kModuleAnalytics, kSeverityError,
                                  "TallyService::InitConfigParams"));
        }
    }
}

}  // namespace
}  // namespace testing
}  // namespace tally
