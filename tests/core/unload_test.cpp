// The service as a host uses it: loaded at run time, enabled, unloaded while
// its detached threads still run, then the process exits.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/scenario.h"

namespace {

using tally::testing::RunScenario;
using tally::testing::ScenarioOptions;
using tally::testing::ScenarioResult;
using tally::testing::StandinCall;

TEST(ServiceUnload, HostUnloadsWhileEventsAreInFlightAndExitsCleanly) {
    ScenarioOptions options;
    options.program = TALLY_TEST_UNLOAD_PROBE;
    options.arguments = {
        (tally::testing::CurrentExecutablePath().parent_path() / TALLY_TEST_SERVICE_LIBRARY)
            .u8string()};
    const ScenarioResult result = RunScenario("unload", options);
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
    ASSERT_FALSE(result.Events().empty());
    EXPECT_EQ("user_device_info", result.Events()[0]->EventName());
    for (const auto& line : result.journal) {
        EXPECT_EQ(std::string::npos, line.message.find("exception")) << line.message;
    }
}

}  // namespace
