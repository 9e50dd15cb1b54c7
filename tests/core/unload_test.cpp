// The service as a host uses it: loaded at run time, enabled, unloaded while
// its detached threads still run, then the process exits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"
#include "support/scenario.h"

namespace {

using tally::testing::RunScenario;
using tally::testing::ScenarioOptions;
using tally::testing::ScenarioResult;
using tally::testing::StandinCall;

ScenarioOptions ProbeOptions(const std::vector<std::string>& extraArguments) {
    ScenarioOptions options;
    options.program = TALLY_TEST_UNLOAD_PROBE;
    options.arguments = {
        (tally::testing::CurrentExecutablePath().parent_path() / TALLY_TEST_SERVICE_LIBRARY)
            .u8string()};
    options.arguments.insert(options.arguments.end(), extraArguments.begin(), extraArguments.end());
    return options;
}

TEST(ServiceUnload, HostUnloadsWhileEventsAreInFlightAndExitsCleanly) {
    const ScenarioResult result = RunScenario("unload", ProbeOptions({}));
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
    ASSERT_FALSE(result.Events().empty());
    EXPECT_EQ("user_device_info", result.Events()[0]->EventName());
    for (const auto& line : result.journal) {
        EXPECT_EQ(std::string::npos, line.message.find("exception")) << line.message;
    }
}

TEST(ServiceUnload, HostThatNeverEnablesUnloadsAndExitsCleanly) {
    const ScenarioResult result = RunScenario("unload-idle", ProbeOptions({"--never-enable"}));
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_TRUE(result.calls.empty());
    EXPECT_TRUE(result.journal.empty()) << result.journalText;
}

}  // namespace
