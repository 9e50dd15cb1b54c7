// The benchmark groups of the service's benchmark program, registered by main
// in a fixed order: the queue first, while nothing else has queued records,
// then the cost of each host call.
#ifndef TALLYSERVICE_BENCH_BENCHMARKS_H_
#define TALLYSERVICE_BENCH_BENCHMARKS_H_

namespace tally {
namespace bench {

void RegisterQueueBenchmarks();
void RegisterCallBenchmarks();

}  // namespace bench
}  // namespace tally

#endif  // TALLYSERVICE_BENCH_BENCHMARKS_H_
