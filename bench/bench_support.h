// Shared pieces of the benchmark programs: the environment the service runs
// in, a no-op analytics library bound to the real worker, and per-call timing
// with percentiles.
#ifndef TALLYSERVICE_BENCH_BENCH_SUPPORT_H_
#define TALLYSERVICE_BENCH_BENCH_SUPPORT_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "TallyService.h"

namespace benchmark {
class State;
}  // namespace benchmark

namespace tally {
namespace bench {

// A private per-user data folder for the run: AMBIT_DATA_DIR points at a new
// temporary folder (with the "log" folder the ledger lives in) and the
// journal stand-in discards every line (JOURNAL_QUIET=1), so that the host's
// logging cost stays out of the figures. Removes the folder when destroyed.
// Construct it first thing in main, before any thread starts.
class BenchEnvironment {
  public:
    BenchEnvironment();
    ~BenchEnvironment();
    BenchEnvironment(const BenchEnvironment&) = delete;
    BenchEnvironment& operator=(const BenchEnvironment&) = delete;

    bool Ok() const { return m_ok; }
    const std::filesystem::path& DataFolder() const { return m_dataFolder; }

  private:
    std::filesystem::path m_dataFolder;
    bool m_ok = false;
};

// The analytics library of the benchmarks: entry points that do nothing but
// count the records they receive, bound to the service through the test peer
// instead of a loaded library. The count lets a benchmark wait until the
// worker has delivered what it queued; the gate lets it hold the worker
// inside one delivery while it builds a backlog behind it.
namespace noop_analytics {

int32_t OnEvent(ReportData* record);
int32_t OnSubmit();

// Records received so far.
uint64_t Delivered();

// Makes the next delivery wait (spinning, at most 60 s) until OpenGate.
void CloseGate();
void OpenGate();
// Waits (spinning, bounded) until the worker waits at the closed gate.
bool WaitUntilHeld(std::chrono::milliseconds timeout);

// Waits (spinning, bounded) until `count` records have been received.
bool WaitForDelivered(uint64_t count, std::chrono::milliseconds timeout);

}  // namespace noop_analytics

// Puts the service singleton in the state of an opted-in, initialised
// service whose analytics library is the no-op one, and starts its threads
// (the dispatch worker and the daily loop) as EnableImprovement would.
void StartServiceWithNoopAnalytics();

// Times single calls with the steady clock and publishes the median and the
// 99th percentile (nearest rank) as the counters "p50_ns" and "p99_ns".
// Every sample includes one pair of clock readings; the empty-function
// baseline shows what that pair costs.
class CallSampler {
  public:
    explicit CallSampler(benchmark::State& state);

    template <typename Fn>
    void Time(Fn&& fn) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        const auto stop = std::chrono::steady_clock::now();
        m_samples.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count());
    }

    // Sets the counters; call after the benchmark loop.
    void Publish();

  private:
    benchmark::State& m_state;
    std::vector<int64_t> m_samples;
};

// A record as the producers queue it: zero-filled, with an event name and a
// payload of typical size.
ReportData MakeTypicalRecord();

}  // namespace bench
}  // namespace tally

#endif  // TALLYSERVICE_BENCH_BENCH_SUPPORT_H_
