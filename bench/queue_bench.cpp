// The queue's hot path against its baseline: a record appended by a producer
// and delivered by the real dispatch worker to the no-op analytics library,
// and the drain of a backlog, beside a plain copy of one record.
#include <chrono>
#include <cstdint>
#include <cstring>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "benchmarks.h"
#include "support/test_peer.h"

namespace tally {
namespace bench {
namespace {

using Seconds = std::chrono::duration<double>;

constexpr auto kDeliveryTimeout = std::chrono::seconds(60);

// Records appended per iteration of the append-and-deliver benchmark: enough
// that waking the worker at the start and seeing the last delivery at the end
// weigh nothing per record.
constexpr uint64_t kStreamRecords = 10000;

// Earlier benchmarks may have left records in the queue; each queue benchmark
// counts deliveries from an empty queue.
bool WaitForEmptyQueue() {
    const auto deadline = std::chrono::steady_clock::now() + kDeliveryTimeout;
    while (TallyServiceTestPeer::QueueSize() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    return true;
}

// Holds the worker inside the delivery of `record` (the no-op library's gate
// is closed), so that whatever is appended next waits in the queue. False, with
// the gate open again, when the worker did not take the record in time.
bool HoldWorkerWith(ReportData* record) {
    noop_analytics::CloseGate();
    TallyServiceTestPeer::OnEventReport(record);
    if (!noop_analytics::WaitUntilHeld(kDeliveryTimeout)) {
        noop_analytics::OpenGate();
        return false;
    }
    return true;
}

// The baseline: one 2112-byte record copied, as the queue copies it in and out.
void Memcpy2112(benchmark::State& state) {
    ReportData source = MakeTypicalRecord();
    ReportData target;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&source);
        std::memcpy(&target, &source, sizeof(ReportData));
        benchmark::DoNotOptimize(&target);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(ReportData)));
}

// Gives the time per record of `records` records per iteration.
void PublishPerRecord(benchmark::State& state, double totalSeconds, uint64_t records) {
    const double all = static_cast<double>(state.iterations()) * static_cast<double>(records);
    state.counters["per_record_ns"] = totalSeconds * 1e9 / all;
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(records));
}

// Producer appends (OnEventReport: lock, copy in, signal) while the worker
// takes each record (lock, copy out, unlock) and hands it to the library.
// Both run at once, as they do in the service; the time per record is the
// stream's wall time divided by its records, up to the last delivery.
void AppendAndDeliver(benchmark::State& state) {
    ReportData record = MakeTypicalRecord();
    if (!WaitForEmptyQueue()) {
        state.SkipWithError("the queue did not empty");
        return;
    }
    double totalSeconds = 0;
    double appendSeconds = 0;
    for (auto _ : state) {
        const uint64_t target = noop_analytics::Delivered() + kStreamRecords;
        const auto start = std::chrono::steady_clock::now();
        for (uint64_t i = 0; i < kStreamRecords; ++i) {
            TallyServiceTestPeer::OnEventReport(&record);
        }
        const auto appended = std::chrono::steady_clock::now();
        if (!noop_analytics::WaitForDelivered(target, kDeliveryTimeout)) {
            state.SkipWithError("the worker did not deliver every record");
            return;
        }
        const auto stop = std::chrono::steady_clock::now();
        const double seconds = Seconds(stop - start).count();
        state.SetIterationTime(seconds);
        totalSeconds += seconds;
        appendSeconds += Seconds(appended - start).count();
    }
    PublishPerRecord(state, totalSeconds, kStreamRecords);
    state.counters["append_ns"] = appendSeconds * 1e9 / (state.iterations() * kStreamRecords);
}

// Which part of a backlog round is timed.
enum class Span { Appends, Drain };

// Each iteration holds the worker inside one delivery, appends `backlog`
// records behind it, releases it and waits for the last delivery; the span
// timed is either the appends or the drain after the release.
void BacklogRounds(benchmark::State& state, uint64_t backlog, Span span) {
    ReportData record = MakeTypicalRecord();
    if (!WaitForEmptyQueue()) {
        state.SkipWithError("the queue did not empty");
        return;
    }
    double totalSeconds = 0;
    for (auto _ : state) {
        const uint64_t target = noop_analytics::Delivered() + 1 + backlog;
        if (!HoldWorkerWith(&record)) {
            state.SkipWithError("the worker did not take the first record");
            return;
        }
        const auto appendStart = std::chrono::steady_clock::now();
        for (uint64_t i = 0; i < backlog; ++i) {
            TallyServiceTestPeer::OnEventReport(&record);
        }
        const auto released = std::chrono::steady_clock::now();
        noop_analytics::OpenGate();
        if (!noop_analytics::WaitForDelivered(target, kDeliveryTimeout)) {
            state.SkipWithError("the worker did not drain the backlog");
            return;
        }
        const auto drained = std::chrono::steady_clock::now();
        const double seconds = span == Span::Appends ? Seconds(released - appendStart).count()
                                                     : Seconds(drained - released).count();
        state.SetIterationTime(seconds);
        totalSeconds += seconds;
    }
    PublishPerRecord(state, totalSeconds, backlog);
}

// A backlog of state.range(0) records builds up behind a delivery that the
// no-op library holds; the measured span runs from releasing it to the last
// delivery, so it is the worker's cost per record with the backlog's size.
void Drain(benchmark::State& state) {
    BacklogRounds(state, static_cast<uint64_t>(state.range(0)), Span::Drain);
}

// The producer's side alone while the worker is busy (held inside a delivery),
// so that no append has a sleeping worker to wake: the lock, the copy in and
// a signal nobody waits for.
void AppendWhileWorkerBusy(benchmark::State& state) {
    BacklogRounds(state, kStreamRecords, Span::Appends);
}

}  // namespace

void RegisterQueueBenchmarks() {
    benchmark::RegisterBenchmark("Queue/Memcpy2112", Memcpy2112)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("Queue/AppendAndDeliver", AppendAndDeliver)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Queue/AppendWhileWorkerBusy", AppendWhileWorkerBusy)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Queue/Drain", Drain)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace bench
}  // namespace tally
