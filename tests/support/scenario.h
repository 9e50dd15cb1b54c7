// Scenarios: test code that needs a fresh service singleton runs in a process
// of its own, in a folder of its own laid out as the host product would be.
//
// A test (the parent) calls RunScenario. It makes a temporary folder holding a
// copy of the test program, the chosen analytics library under the name the
// service loads ("libTally.so" / "Tally.dll"), on Windows every other DLL of
// the build folder (the C++ runtime and the host libraries), and if asked
// config/orvel.ini. It runs the copy with --tally-scenario=NAME under a
// watchdog, with the stand-ins' settings pointing into the folder, and reads
// back what the scenario left: exit code, the analytics stand-in's calls, the
// journal lines, the ledger file and the scenario's notes.
//
// The child runs the body registered under NAME with TALLY_SCENARIO as a
// GoogleTest test, so the body may use EXPECT_* and ASSERT_*; a failure makes
// the child's exit code non-zero, which the parent reports with the child's
// output.
//
//   TALLY_SCENARIO(EnableOnce) {
//       TallyService::GetInstance()->EnableImprovement(true);
//       ASSERT_TRUE(tally::testing::WaitForStandinEvents(1, std::chrono::seconds(20)));
//   }
//
//   TEST(AnalyticsBinding, LoadsTheLibrary) {
//       const auto result = tally::testing::RunScenario("EnableOnce");
//       ASSERT_TRUE(result.Succeeded()) << result.Describe();
//       EXPECT_EQ(1u, result.CountCalls(tally::testing::StandinCall::Kind::Init));
//   }
#ifndef TALLYSERVICE_TESTS_SUPPORT_SCENARIO_H_
#define TALLYSERVICE_TESTS_SUPPORT_SCENARIO_H_

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/recordings.h"

namespace tally {
namespace testing {

// What the scenario's folder holds under the name the service loads.
enum class AnalyticsLibrary {
    Recording,      // the stand-in that records every call
    WithoutSubmit,  // the same, lacking the "ReportOnSubmit" entry point
    WithConsent,    // the same, exporting the optional "ReportSetConsent" too
    Reference,      // the reference analytics library itself (stores and uploads)
    NotALibrary,    // a text file
    Missing,        // nothing
};

// The values the host libraries answer in a scenario unless told otherwise.
extern const char kScenarioAppVersion[];
extern const char kScenarioUserId[];

struct ScenarioOptions {
    AnalyticsLibrary library = AnalyticsLibrary::Recording;
    // What ReportInit answers: one integer or a comma list answered in turn
    // (TALLY_STANDIN_INIT_RESULT). Empty: 1.
    std::string initResult;
    // The text of config/orvel.ini beside the program, written when set.
    bool writeIni = false;
    std::string iniText;
    // What the parameter library answers.
    std::string appVersion = kScenarioAppVersion;
    std::string userId = kScenarioUserId;
    // Whether the data folder's "log" folder exists (the ledger lives there).
    bool createLogFolder = true;
    // Values the scenario reads with ScenarioParam.
    std::vector<EnvVar> params;
    // Further environment variables; they replace the harness's own settings
    // of the same name.
    std::vector<EnvVar> environment;
    // Appended to the scenario folder's name (UTF-8), to run the program from
    // a path with spaces or non-ASCII characters.
    std::string folderNameSuffix;
    // Another program of the build folder to run instead of the test program
    // (a file name), with its arguments; it gets the same folder and settings.
    std::string program;
    std::vector<std::string> arguments;
    // The watchdog.
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
};

struct ScenarioResult {
    std::string name;
    std::filesystem::path folder;      // where the program ran
    std::filesystem::path dataFolder;  // what the parameter library answers as data folder
    std::string localAppData;          // the user's local application data folder (UTF-8)
    ProcessOutcome outcome;
    std::string output;  // the program's standard output and error
    std::vector<StandinCall> calls;
    std::string callsError;  // a malformed call log
    std::vector<JournalLine> journal;
    std::string journalText;
    std::string ledger;  // the ledger file's text; empty when missing
    std::map<std::string, std::string> notes;
    // Removes the folder when the last copy of the result goes, unless the
    // running test has failed by then or TALLY_TEST_KEEP_FOLDERS is set.
    std::shared_ptr<void> cleanup;

    // Started, ended on its own with exit code 0, and left a readable call log.
    bool Succeeded() const;
    // Everything a failure message needs: how it ended, its output, its journal
    // (the first 20,000 bytes).
    std::string Describe() const;

    size_t CountCalls(StandinCall::Kind kind) const;
    std::vector<const StandinCall*> Events() const { return EventCalls(calls); }
    std::vector<std::string> EventNames() const;
    // The journal lines logged by `function`.
    std::vector<const JournalLine*> JournalFrom(const std::string& function) const;
    // A note the scenario wrote; empty when it wrote none under `key`.
    std::string Note(const std::string& key) const;
};

// Runs the scenario registered as `name` (or options.program) in a fresh
// folder and process. Never throws; a failure to set up is in the outcome.
ScenarioResult RunScenario(const std::string& name, const ScenarioOptions& options = {});

// ---- Inside a scenario --------------------------------------------------------

using ScenarioBody = void (*)();

// Registers `body` under `name`; used by TALLY_SCENARIO. Answers true.
bool RegisterScenario(const char* name, ScenarioBody body);

// The folder the scenario runs in (the program's own folder).
std::filesystem::path ScenarioFolder();

// The value given in ScenarioOptions::params; empty when none.
std::string ScenarioParam(const std::string& name);

// Makes the analytics stand-in's ReportOnEvent wait until released (at most
// 60 s per call). Deliveries already inside the stand-in are held too.
void HoldDeliveries();
void ReleaseDeliveries();

// The program's main: runs a scenario when asked to, all tests otherwise.
int RunTestProgram(int argc, char** argv);

}  // namespace testing
}  // namespace tally

// Defines a scenario body that RunScenario(#name) runs in a child process.
#define TALLY_SCENARIO(name)                                                  \
    static void TallyScenarioBody_##name();                                   \
    [[maybe_unused]] static const bool tally_scenario_registered_##name =     \
        ::tally::testing::RegisterScenario(#name, &TallyScenarioBody_##name); \
    static void TallyScenarioBody_##name()

#endif  // TALLYSERVICE_TESTS_SUPPORT_SCENARIO_H_
