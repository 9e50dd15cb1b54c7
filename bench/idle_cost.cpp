// Idle cost of the service: with improvement enabled, the analytics library
// initialised and nothing to report, the process should use no measurable
// processor time (the worker blocks on its condition variable, the daily
// thread wakes once a minute to read two flags and a tick counter).
//
//   tally_idle_cost [SECONDS]     default 60
//
// Prints one line of JSON with the wall time, the processor time the whole
// process used meanwhile, and their ratio.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_platform.h"
#include "bench_support.h"
#include "support/test_peer.h"

int main(int argc, char** argv) {
    tally::bench::BenchEnvironment environment;
    if (!environment.Ok()) {
        std::fprintf(stderr, "tally_idle_cost: cannot prepare a temporary data folder\n");
        return 1;
    }
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 60;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: tally_idle_cost [SECONDS]\n");
        return 2;
    }

    // Opted in and initialised; the day's device report is made at once, so
    // afterwards there is nothing left to report.
    tally::bench::StartServiceWithNoopAnalytics();
    TallyService::GetInstance()->EnableImprovement(true);
    if (!tally::bench::noop_analytics::WaitForDelivered(1, std::chrono::seconds(30)) ||
        TallyServiceTestPeer::QueueSize() != 0) {
        std::fprintf(stderr, "tally_idle_cost: the device report was not delivered\n");
        return 1;
    }

    const double cpuBefore = tally::bench::ProcessCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    // This thread's own wait is the measurement: it blocks for the whole span.
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpuAfter = tally::bench::ProcessCpuSeconds();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    if (cpuBefore < 0 || cpuAfter < 0) {
        std::fprintf(stderr, "tally_idle_cost: the process's processor time cannot be read\n");
        return 1;
    }
    const double cpu = cpuAfter - cpuBefore;
    std::printf(
        "{\"platform\": \"%s\", \"wall_seconds\": %.3f, \"cpu_seconds\": %.6f, "
        "\"cpu_percent\": %.5f, \"events_delivered\": %llu}\n",
        tally::bench::PlatformName().c_str(), wall, cpu, 100.0 * cpu / wall,
        static_cast<unsigned long long>(tally::bench::noop_analytics::Delivered()));
    return 0;
}
