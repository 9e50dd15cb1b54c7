// The queue and its worker as the analytics library sees them: what arrives,
// in which order, on which thread, and when submits follow.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TallyService.h"
#include "support/process.h"
#include "support/scenario.h"
#include "support/service_scenario.h"

namespace tally {
namespace testing {
namespace {

using Peer = TallyServiceTestPeer;

constexpr auto kDeliveryTimeout = std::chrono::seconds(20);
const char kSentinel[] = "sentinel";

std::string Numbered(int number) {
    return (number < 10 ? "record_0" : "record_") + std::to_string(number);
}

// Checks that after the ReportInit calls (the failed ones and the last) come
// the records named `expected`, then `numbered` numbered records and the
// sentinel, in this order, each tenth followed at once by one submit and no
// submit anywhere else, all on one thread other than the initialising one.
void ExpectDeliveries(const ScenarioResult& result, std::vector<std::string> expected,
                      int numbered) {
    for (int i = 0; i < numbered; ++i) expected.push_back(Numbered(i));
    expected.push_back(kSentinel);
    ASSERT_EQ(StandinCall::Kind::Init, result.calls.at(0).kind) << "no ReportInit first";
    const uint64_t worker = result.Events().at(0)->thread;
    EXPECT_NE(result.calls[0].thread, worker) << "delivered on the host's thread";
    size_t elsewhere = 0;
    for (const StandinCall& call : result.calls) {
        elsewhere += call.kind != StandinCall::Kind::Init && call.thread != worker ? 1 : 0;
    }
    EXPECT_EQ(0u, elsewhere) << "calls made by a second worker";
    EXPECT_EQ(expected, result.EventNames());
    EXPECT_EQ("", SubmitRhythmFault(result.calls));
}

TALLY_SCENARIO(DisableWhileRecordsWait) {
    ASSERT_NO_FATAL_FAILURE(EnableQuietly());
    TallyService* service = TallyService::GetInstance();
    // The worker takes the first record and is held inside the library.
    HoldDeliveries();
    QueueRecord("taken");
    ASSERT_TRUE(WaitForStandinEvents(1, kDeliveryTimeout));
    for (int i = 0; i < 5; ++i) QueueRecord("cleared_" + std::to_string(i));
    EXPECT_EQ(5u, Peer::QueueSize());

    service->EnableImprovement(false);
    EXPECT_EQ(0u, Peer::QueueSize());
    // Disabled: records are refused without a word.
    QueueRecord("refused");
    EXPECT_EQ(0u, Peer::QueueSize());
    ReleaseDeliveries();

    // Enabled again, the same worker delivers what comes next.
    service->EnableImprovement(true);
    QueueRecord(kSentinel);
    ASSERT_TRUE(WaitForStandinEvents(2, kDeliveryTimeout));
}

// An opt-out with the worker waiting for records: nothing but the opt-out
// itself wakes it to tell a library that asks.
TALLY_SCENARIO(OptOutWhileIdle) {
    ASSERT_NO_FATAL_FAILURE(EnableQuietly());
    TallyService* service = TallyService::GetInstance();
    QueueRecord("taken");
    ASSERT_TRUE(WaitForStandinEvents(1, kDeliveryTimeout));
    service->EnableImprovement(false);
    const auto told = [] {
        const auto calls = ReadOwnStandinCalls();
        return !calls.empty() && calls.back().kind == StandinCall::Kind::Consent;
    };
    ASSERT_TRUE(WaitUntil(told));
    service->EnableImprovement(true);
    QueueRecord(kSentinel);
    ASSERT_TRUE(WaitForStandinEvents(2, kDeliveryTimeout));
}

TEST(DispatchWorker, OptingOutDropsQueuedRecordsAndALibraryThatAsksHearsItBetweenDeliveries) {
    // A library that asks hears the opt-out at once on the host's thread,
    // even while the worker is inside it with an earlier record; the worker
    // tells it again once the delivery under way has returned, and nothing
    // queued before it follows; the opt-in is told before the next.
    const std::vector<std::string> toldLines = {"tally init ret -> 1", "tally consent 0 ret -> 1",
                                                "tally consent 1 ret -> 1"};
    const std::pair<const char*, AnalyticsLibrary> cases[] = {
        {"DisableWhileRecordsWait", AnalyticsLibrary::Recording},
        {"DisableWhileRecordsWait", AnalyticsLibrary::WithConsent},
        {"OptOutWhileIdle", AnalyticsLibrary::WithConsent}};
    for (const auto& [scenario, library] : cases) {
        const bool asks = library == AnalyticsLibrary::WithConsent;
        SCOPED_TRACE(std::string(scenario) + (asks ? ", asking" : ""));
        ScenarioOptions options;
        options.library = library;
        const ScenarioResult result = RunScenario(scenario, options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        std::vector<std::string> calls;
        for (const StandinCall& call : result.calls) {
            if (call.kind == StandinCall::Kind::Consent) {
                const bool host = call.thread == result.calls.at(0).thread;
                EXPECT_TRUE(host || call.thread == result.Events().at(0)->thread)
                    << "told by a thread neither the host's nor the worker";
                calls.push_back("consent " + std::to_string(call.consent) +
                                (host ? " on the host's thread" : ""));
            } else {
                calls.push_back(call.kind == StandinCall::Kind::Init     ? "init"
                                : call.kind == StandinCall::Kind::Submit ? "submit"
                                                                         : call.EventName());
            }
        }
        std::vector<std::string> expected = {
            "init", "taken", "consent 0 on the host's thread", "consent 0", "consent 1", kSentinel};
        if (!asks) expected = {"init", "taken", kSentinel};
        EXPECT_EQ(expected, calls);
        // Dropping and refusing records are silent.
        const size_t lines = asks ? toldLines.size() : 1;
        ASSERT_EQ(lines, result.journal.size()) << result.journalText;
        for (size_t i = 0; i < lines; ++i) {
            EXPECT_EQ(toldLines[i], result.journal[i].message);
            if (i > 0) {
                EXPECT_TRUE(IsLogLine(&result.journal[i], 6, 2, "TallyService::DispatchLoop"));
            }
        }
    }
}

// Connection reports made before the library is ready wait in the queue; a
// failed initialisation keeps them, and the worker of the successful retry
// delivers them first. The threads of the failed attempt end on their own.
TALLY_SCENARIO(RetryInitialisationWithBacklog) {
    InstallProcessFakeClock();
    TallyService* service = TallyService::GetInstance();
    // A sanitizer starts a thread of its own with the first thread; have it
    // running before counting.
    std::thread([] {}).join();
    const int threadsBefore = CountThreads();
    ASSERT_GT(threadsBefore, 0);

    EXPECT_TRUE(Peer::Report(ReportSource::HeartBeat, "{\"n\":1}"));
    EXPECT_TRUE(Peer::Report(ReportSource::P2P, "{\"n\":2}"));
    service->EnableImprovement(true);  // the library answers 0
    EXPECT_FALSE(Peer::Initialized());
    const ReportConfig* config = Peer::Config();
    EXPECT_EQ(2u, Peer::QueueSize());
    ASSERT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }))
        << CountThreads() << " threads, " << threadsBefore << " before";

    EXPECT_TRUE(Peer::Report(ReportSource::HeartBeat, "{\"n\":3}"));
    EXPECT_EQ(3u, Peer::QueueSize());
    service->EnableImprovement(true);  // the library answers 1
    ASSERT_TRUE(Peer::Initialized());
    EXPECT_EQ(config, Peer::Config()) << "the configuration record is not reused";
    EXPECT_EQ(threadsBefore + 2, CountThreads());

    // Three buffered records and the day's device report make four; six more
    // make ten, and the submit must follow the tenth.
    for (int i = 0; i < 6; ++i) QueueRecord(Numbered(i));
    QueueRecord(kSentinel);
    ASSERT_TRUE(WaitForStandinEvents(11, kDeliveryTimeout));
}

TEST(DispatchWorker, RetriedInitialisationDeliversTheBacklogFirstThroughOneWorker) {
    ScenarioOptions options;
    options.initResult = "0,1";
    const ScenarioResult result = RunScenario("RetryInitialisationWithBacklog", options);
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    ASSERT_EQ(2u, result.CountCalls(StandinCall::Kind::Init));
    EXPECT_EQ(0,
              std::memcmp(&result.calls[0].config, &result.calls[1].config, sizeof(ReportConfig)));
    const auto initLines = result.JournalFrom("TallyService::Init");
    ASSERT_EQ(2u, initLines.size()) << result.journalText;
    EXPECT_EQ("tally init ret -> 0", initLines[0]->message);
    EXPECT_EQ("tally init ret -> 1", initLines[1]->message);

    ExpectDeliveries(result,
                     {"storage_heartbeat_fail_reconnect", "device_remote_connect",
                      "storage_heartbeat_fail_reconnect", "user_device_info"},
                     6);
    const auto events = result.Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ("{\"n\":1}", events[0]->EventData());
    EXPECT_EQ("{\"n\":2}", events[1]->EventData());
    EXPECT_EQ("{\"n\":3}", events[2]->EventData());
}

// The same without waiting: the threads of the failed attempt may not have
// run yet when the retry succeeds, and still they must not deliver.
TALLY_SCENARIO(RetryInitialisationAtOnce) {
    InstallProcessFakeClock();
    MarkDeviceReportedToday();
    TallyService::GetInstance()->EnableImprovement(true);  // the library answers 0
    TallyService::GetInstance()->EnableImprovement(true);  // the library answers 1
    ASSERT_TRUE(Peer::Initialized());
    for (int i = 0; i < 30; ++i) QueueRecord(Numbered(i));
    QueueRecord(kSentinel);
    ASSERT_TRUE(WaitForStandinEvents(31, kDeliveryTimeout));
}

TEST(DispatchWorker, ImmediateRetryLeavesOneWorker) {
    // A late thread of the failed attempt shows only now and then; several
    // runs make it likely to show if the service lets it through.
    for (int run = 0; run < 8; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ScenarioOptions options;
        options.initResult = "0,1";
        const ScenarioResult result = RunScenario("RetryInitialisationAtOnce", options);
        ASSERT_TRUE(result.Succeeded()) << result.Describe();
        ExpectDeliveries(result, {}, 30);
        if (HasFailure()) break;
    }
}

// A direct StartReportThread on a running service adds a worker; both take
// from the one queue and each submits after its own tenth delivery.
TALLY_SCENARIO(TwoWorkers) {
    ASSERT_NO_FATAL_FAILURE(EnableQuietly());
    const int threads = CountThreads();
    TallyService::GetInstance()->StartReportThread();
    EXPECT_EQ(threads + 2, CountThreads());
    constexpr int kRecords = 60;
    for (int i = 0; i < kRecords; ++i) QueueRecord(Numbered(i));
    ASSERT_TRUE(WaitForStandinEvents(kRecords, kDeliveryTimeout));
    // Wait for the submits that the deliveries of each worker call for.
    const auto submitsDue = [] {
        std::map<uint64_t, size_t> events;
        size_t submits = 0;
        for (const StandinCall& call : ReadOwnStandinCalls()) {
            if (call.kind == StandinCall::Kind::Event) ++events[call.thread];
            if (call.kind == StandinCall::Kind::Submit) ++submits;
        }
        size_t due = 0;
        for (const auto& entry : events) due += entry.second / 10;
        return submits == due;
    };
    ASSERT_TRUE(WaitUntil(submitsDue));
}

TEST(DispatchWorker, FurtherWorkerSharesTheQueueAndKeepsItsOwnCount) {
    const ScenarioResult result = RunScenario("TwoWorkers");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    // Every record once, whichever worker took it.
    std::multiset<std::string> names;
    for (const StandinCall* call : result.Events()) names.insert(call->EventName());
    std::multiset<std::string> expected;
    for (int i = 0; i < 60; ++i) expected.insert(Numbered(i));
    EXPECT_EQ(expected, names);
    // Per worker, a submit right after each tenth of its own deliveries.
    EXPECT_EQ("", SubmitRhythmFault(result.calls));
}

// Names and payloads at and over their fields' limits, through the routing
// path that reports use.
TALLY_SCENARIO(CopyAtTheLimits) {
    ASSERT_NO_FATAL_FAILURE(EnableQuietly());
    EXPECT_TRUE(Peer::OnOtherReport(std::string(63, 'n'), "{\"fits\":1}"));
    EXPECT_FALSE(Peer::OnOtherReport(std::string(64, 'n'), "{\"fits\":0}"));
    EXPECT_TRUE(Peer::OnOtherReport("payload_2047", std::string(2047, 'p')));
    EXPECT_FALSE(Peer::OnOtherReport("payload_2048", std::string(2048, 'p')));
    EXPECT_FALSE(Peer::OnOtherReport("", "{}"));
    EXPECT_FALSE(Peer::OnOtherReport("no_payload", ""));
    QueueRecord(kSentinel);
    ASSERT_TRUE(WaitForStandinEvents(3, kDeliveryTimeout));
}

TEST(RecordCopy, TextsThatFitArriveWholeAndTheOthersAreLoggedAndDropped) {
    const ScenarioResult result = RunScenario("CopyAtTheLimits");
    ASSERT_TRUE(result.Succeeded()) << result.Describe();
    const auto events = result.Events();
    ASSERT_EQ(3u, events.size());
    // Each text whole, its NUL, and zeros to the end of its field.
    const ReportData fits[] = {MakeRecord(std::string(63, 'n'), "{\"fits\":1}"),
                               MakeRecord("payload_2047", std::string(2047, 'p'))};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, std::memcmp(&fits[i], &events[i]->event, sizeof(ReportData))) << i;
    }
    EXPECT_EQ(kSentinel, events[2]->EventName());

    const auto lines = result.JournalFrom("CopyReportData");
    const std::vector<std::string> expected = {"copy event name failed.", "copy data failed.",
                                               "copy param is incorrect.",
                                               "copy param is incorrect."};
    ASSERT_EQ(expected.size(), lines.size()) << result.journalText;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(expected[i], lines[i]->message);
        EXPECT_TRUE(IsLogLine(lines[i], 20, 5, "CopyReportData"));
    }
}

}  // namespace
}  // namespace testing
}  // namespace tally
