// The service's benchmark program: the queue's hot path and the cost of each
// host call, in one run. It links the service's objects, binds a no-op
// analytics library to the real worker through the test peer, and keeps its
// ledger in a temporary folder. Google Benchmark's flags apply
// (--benchmark_out=FILE --benchmark_out_format=json, --benchmark_filter=...).
#include <cstdio>

#include <benchmark/benchmark.h>

#include "bench_platform.h"
#include "bench_support.h"
#include "benchmarks.h"

int main(int argc, char** argv) {
    // The environment first: the stand-in host libraries read it on every
    // call, and nothing may run before it is set.
    tally::bench::BenchEnvironment environment;
    if (!environment.Ok()) {
        std::fprintf(stderr, "tally_bench: cannot prepare a temporary data folder\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    tally::bench::StartServiceWithNoopAnalytics();
    tally::bench::RegisterQueueBenchmarks();
    tally::bench::RegisterCallBenchmarks();

    benchmark::AddCustomContext("platform", tally::bench::PlatformName());
    benchmark::AddCustomContext("analytics_library",
                                "no-op entry points bound through TallyServiceTestPeer");
    benchmark::AddCustomContext("journal", "stand-in, JOURNAL_QUIET=1 (discards every line)");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
