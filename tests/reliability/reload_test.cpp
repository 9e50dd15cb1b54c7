// The service as a host loads it: unloaded and loaded again, idle or with its
// threads running, and a process that ends while the worker is inside the
// analytics library.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/scenario.h"

namespace {

using tally::testing::RunScenario;
using tally::testing::ScenarioOptions;
using tally::testing::ScenarioResult;
using tally::testing::StandinCall;

const char kDevice[] = "user_device_info";
const char kConnect[] = "device_remote_connect";

ScenarioResult RunProbe(const std::string& mode) {
    ScenarioOptions options;
    options.program = TALLY_TEST_RELOAD_PROBE;
    options.arguments = {
        mode, (tally::testing::CurrentExecutablePath().parent_path() / TALLY_TEST_SERVICE_LIBRARY)
                  .u8string()};
    // The analytics library holds the worker for up to a minute in the exit
    // cases: a process that waited for it would be killed here.
    options.timeout = std::chrono::seconds(30);
    return RunScenario(mode, options);
}

void ExpectNoExceptionLogged(const ScenarioResult& result) {
    for (const auto& line : result.journal) {
        EXPECT_EQ(std::string::npos, line.message.find("exception")) << line.message;
    }
}

TEST(Reload, IdleServiceUnloadsAndLoadsAgainAfresh) {
    const ScenarioResult result = RunProbe("reload-idle");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
    if (result.Note("loaded_after_unload") == "0") {
        // Unloaded whole: the report made before opting in went with the
        // service that held it.
        EXPECT_EQ((std::vector<std::string>{kDevice, kConnect}), result.EventNames());
    } else {
        // The system kept the library (its own reasons, such as unique
        // symbols on Linux): the same service, with its buffered report.
        EXPECT_EQ((std::vector<std::string>{kConnect, kDevice, kConnect}), result.EventNames());
    }
    ExpectNoExceptionLogged(result);
}

TEST(Reload, RunningServiceStaysLoadedAndWorksOnAfterLoadingAgain) {
    const ScenarioResult result = RunProbe("reload-running");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    EXPECT_EQ("1", result.Note("loaded_after_unload")) << "unmapped beneath its threads";
    EXPECT_EQ("1", result.Note("same_instance"));
    // Initialised once, the day's device event once, and every connection
    // event through the one worker, in order.
    EXPECT_EQ(1u, result.CountCalls(StandinCall::Kind::Init));
    EXPECT_EQ((std::vector<std::string>{kDevice, kConnect, kConnect, kConnect, kConnect, kConnect}),
              result.EventNames());
    for (const StandinCall* event : result.Events()) {
        EXPECT_EQ(result.Events()[0]->thread, event->thread);
    }
    ExpectNoExceptionLogged(result);
}

TEST(Reload, ProcessEndsWhileTheWorkerIsInsideTheLibrary) {
    for (const std::string mode : {"exit-inside", "unload-inside"}) {
        SCOPED_TRACE(mode);
        const ScenarioResult result = RunProbe(mode);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        EXPECT_EQ("1", result.Note("inside"));
        if (mode == "unload-inside") {
            EXPECT_EQ("1", result.Note("loaded_after_unload"));
        }
        // The device event, then the connection event the worker was holding.
        EXPECT_EQ((std::vector<std::string>{kDevice, kConnect}), result.EventNames());
        ExpectNoExceptionLogged(result);
    }
}

}  // namespace
