#include "support/scenario.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace tally {
namespace testing {

const char kScenarioAppVersion[] = "7.4.1-test";
const char kScenarioUserId[] = "user-0042";

namespace {

namespace fs = std::filesystem;

constexpr char kScenarioFlag[] = "--tally-scenario=";
constexpr char kParamPrefix[] = "TALLY_TEST_PARAM_";

// Files and folders of a scenario folder.
constexpr char kCallLog[] = "standin-calls.bin";
constexpr char kJournal[] = "journal.log";
constexpr char kOutput[] = "output.txt";
constexpr char kHoldFile[] = "hold-deliveries";

// Variables the harness may leave unset: inherited values are dropped so that
// the parent's own settings never leak into a scenario.
const char* const kOwnedVariables[] = {"JOURNAL_QUIET", "TALLY_STANDIN_INIT_RESULT",
                                       "AMBIT_DATA_DIR_FAILURE"};

std::map<std::string, ScenarioBody>& Registry() {
    static std::map<std::string, ScenarioBody> registry;
    return registry;
}

bool IsOwned(const std::string& name) {
    if (name.compare(0, sizeof(kParamPrefix) - 1, kParamPrefix) == 0) return true;
    for (const char* owned : kOwnedVariables) {
        if (name == owned) return true;
    }
    return false;
}

// Lays out the folder; answers false with `*error` set when it cannot.
bool PrepareFolder(const fs::path& folder, const fs::path& program, const ScenarioOptions& options,
                   const fs::path& dataFolder, std::string* error) {
    const fs::path buildFolder = CurrentExecutablePath().parent_path();
    std::error_code code;
    fs::copy_file(buildFolder / program, folder / program, code);
    if (code) {
        *error = "copy " + (buildFolder / program).string() + ": " + code.message();
        return false;
    }
    // A Windows program finds its DLLs only beside itself; a Linux one keeps
    // finding the host libraries through its build RUNPATH.
    const std::string siblingSuffix = TALLY_TEST_SIBLING_SUFFIX;
    if (!siblingSuffix.empty()) {
        for (const fs::directory_entry& entry : fs::directory_iterator(buildFolder, code)) {
            std::string type = entry.path().extension().string();
            for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (entry.is_regular_file() && type == siblingSuffix) {
                fs::copy_file(entry.path(), folder / entry.path().filename(), code);
                if (code) {
                    *error = "copy " + entry.path().string() + ": " + code.message();
                    return false;
                }
            }
        }
    }
    // The libraries among the choices, in the order of AnalyticsLibrary.
    static_assert(static_cast<int>(AnalyticsLibrary::Reference) == 3, "libraries come first");
    const char* const libraries[] = {TALLY_TEST_STANDIN, TALLY_TEST_STANDIN_NO_SUBMIT,
                                     TALLY_TEST_STANDIN_CONSENT, TALLY_TEST_REFERENCE};
    const fs::path loaded = folder / TALLY_TEST_LOADED_NAME;
    if (options.library == AnalyticsLibrary::NotALibrary) {
        if (!WriteFileBytes(loaded, "This file is not a library.\n"))
            code = std::make_error_code(std::errc::io_error);
    } else if (options.library == AnalyticsLibrary::Missing) {
        fs::remove(loaded, code);
    } else {
        fs::copy_file(buildFolder / libraries[static_cast<int>(options.library)], loaded,
                      fs::copy_options::overwrite_existing, code);
    }
    if (code) {
        *error = "place the analytics library: " + code.message();
        return false;
    }
    if (options.writeIni) {
        fs::create_directories(folder / "config", code);
        if (code || !WriteFileBytes(folder / "config" / "orvel.ini", options.iniText)) {
            *error = "write config/orvel.ini";
            return false;
        }
    }
    fs::create_directories(options.createLogFolder ? dataFolder / "log" : dataFolder, code);
    fs::create_directories(folder / "xdg", code);
    if (code) {
        *error = "create the data folders: " + code.message();
        return false;
    }
    return true;
}

std::map<std::string, std::string> ReadNotes(const fs::path& path) {
    std::map<std::string, std::string> notes;
    std::istringstream text(ReadFileBytes(path));
    std::string line;
    while (std::getline(text, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) notes[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return notes;
}

class ScenarioTest : public ::testing::Test {
  public:
    explicit ScenarioTest(ScenarioBody body) : m_body(body) {}
    void TestBody() override { m_body(); }

  private:
    ScenarioBody m_body;
};

}  // namespace

bool ScenarioResult::Succeeded() const {
    return outcome.started && !outcome.timedOut && outcome.exitCode == 0 && callsError.empty();
}

std::string ScenarioResult::Describe() const {
    std::ostringstream text;
    text << "scenario " << name << " in " << folder.string() << ": ";
    if (!outcome.started) {
        text << "not started (" << outcome.error << ")";
    } else if (outcome.timedOut) {
        text << "killed by the watchdog";
    } else {
        text << "exit code " << outcome.exitCode;
    }
    if (!callsError.empty()) text << "; call log: " << callsError;
    text << "\n--- output ---\n" << output << "\n--- journal ---\n" << journalText;
    // Long runs (the stress test's) would bury the failure.
    return text.str().size() > 20000 ? text.str().substr(0, 20000) + "\n[... cut]" : text.str();
}

size_t ScenarioResult::CountCalls(StandinCall::Kind kind) const {
    size_t count = 0;
    for (const StandinCall& call : calls) count += call.kind == kind ? 1 : 0;
    return count;
}

std::vector<std::string> ScenarioResult::EventNames() const {
    std::vector<std::string> names;
    for (const StandinCall* call : Events()) names.push_back(call->EventName());
    return names;
}

std::vector<const JournalLine*> ScenarioResult::JournalFrom(const std::string& function) const {
    std::vector<const JournalLine*> lines;
    for (const JournalLine& line : journal) {
        if (line.function == function) lines.push_back(&line);
    }
    return lines;
}

std::string ScenarioResult::Note(const std::string& key) const {
    const auto it = notes.find(key);
    return it == notes.end() ? std::string() : it->second;
}

ScenarioResult RunScenario(const std::string& name, const ScenarioOptions& options) {
    ScenarioResult result;
    result.name = name;
    std::string error;
    result.folder = MakeFreshFolder("tally-" + name + "-", options.folderNameSuffix, &error);
    if (result.folder.empty()) {
        result.outcome.error = error;
        return result;
    }
    const fs::path folder = result.folder;
    result.cleanup = std::shared_ptr<void>(nullptr, [folder](void*) {
        if (::testing::Test::HasFailure() || !ReadEnvironment("TALLY_TEST_KEEP_FOLDERS").empty()) {
            std::cerr << "scenario folder kept: " << folder.string() << "\n";
            return;
        }
        std::error_code code;
        fs::remove_all(folder, code);
    });
    result.dataFolder = folder / "data";

    const fs::path program =
        options.program.empty() ? CurrentExecutablePath().filename() : fs::u8path(options.program);
    if (!PrepareFolder(folder, program, options, result.dataFolder, &error)) {
        result.outcome.error = error;
        return result;
    }

    // The harness's settings replace inherited ones, and the options' replace
    // the harness's.
    std::map<std::string, std::string> variables;
    for (const EnvVar& variable : CurrentEnvironment()) {
        if (!IsOwned(variable.name)) variables[variable.name] = variable.value;
    }
    variables["JOURNAL_LOG_FILE"] = (folder / kJournal).u8string();
    variables["TALLY_STANDIN_LOG"] = (folder / kCallLog).u8string();
    variables["TALLY_STANDIN_BLOCK_FILE"] = (folder / kHoldFile).u8string();
    if (!options.initResult.empty()) variables["TALLY_STANDIN_INIT_RESULT"] = options.initResult;
    variables["AMBIT_APP_VERSION"] = options.appVersion;
    variables["AMBIT_USER_ID"] = options.userId;
    variables["AMBIT_DATA_DIR"] = result.dataFolder.u8string();
    variables["XDG_DATA_HOME"] = (folder / "xdg").u8string();
    for (const EnvVar& param : options.params) variables[kParamPrefix + param.name] = param.value;
    for (const EnvVar& extra : options.environment) variables[extra.name] = extra.value;
    std::vector<EnvVar> environment;
    for (const auto& [variable, value] : variables) environment.push_back({variable, value});

    result.localAppData = LocalAppDataFolderFor(environment);

    std::vector<std::string> arguments = options.arguments;
    if (options.program.empty()) {
        arguments = {std::string(kScenarioFlag) + name, "--gtest_color=no"};
    }
    result.outcome =
        RunProcess(folder / program, arguments, environment, folder / kOutput, options.timeout);

    result.output = ReadFileBytes(folder / kOutput);
    result.calls = ReadStandinCalls(folder / kCallLog, &result.callsError);
    result.journalText = ReadFileBytes(folder / kJournal);
    result.journal = ReadJournal(folder / kJournal);
    result.ledger = ReadFileBytes(result.dataFolder / "log" / "orvel.ini");
    result.notes = ReadNotes(folder / "notes.txt");
    return result;
}

bool RegisterScenario(const char* name, ScenarioBody body) {
    if (!Registry().emplace(name, body).second) {
        std::fprintf(stderr, "scenario %s is defined twice\n", name);
        std::abort();
    }
    return true;
}

fs::path ScenarioFolder() {
    return CurrentExecutablePath().parent_path();
}

std::string ScenarioParam(const std::string& name) {
    return ReadEnvironment((kParamPrefix + name).c_str());
}

void HoldDeliveries() {
    const std::string path = ReadEnvironment("TALLY_STANDIN_BLOCK_FILE");
    ASSERT_FALSE(path.empty()) << "not in a scenario";
    ASSERT_TRUE(WriteFileBytes(fs::u8path(path), "held\n"));
}

void ReleaseDeliveries() {
    const std::string path = ReadEnvironment("TALLY_STANDIN_BLOCK_FILE");
    std::error_code code;
    fs::remove(fs::u8path(path), code);
    ASSERT_FALSE(code) << code.message();
}

int RunTestProgram(int argc, char** argv) {
    std::string scenario;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.compare(0, sizeof(kScenarioFlag) - 1, kScenarioFlag) == 0) {
            scenario = argument.substr(sizeof(kScenarioFlag) - 1);
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (scenario.empty()) return RUN_ALL_TESTS();

    const auto found = Registry().find(scenario);
    if (found == Registry().end()) {
        std::fprintf(stderr, "no scenario named %s in this program\n", scenario.c_str());
        return 2;
    }
    const ScenarioBody body = found->second;
    ::testing::RegisterTest("TallyScenario", scenario.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                            [body]() -> ::testing::Test* { return new ScenarioTest(body); });
    GTEST_FLAG_SET(filter, "TallyScenario." + scenario);
    return RUN_ALL_TESTS();
}

}  // namespace testing
}  // namespace tally
