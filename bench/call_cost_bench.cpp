// What a host thread pays per call of the service, timed call by call so that
// the median and the 99th percentile can be given, beside two baselines: a
// 2112-byte copy and a call of an empty function. The analytics library is
// the no-op one and the journal discards every line, so only the service's
// own work is measured; the worker delivers on its own thread meanwhile.
//
// Calls that pass a throttle find their ledger stamp reset to 0 before each
// call, outside the timed span; calls inside a throttle find a fresh stamp.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>
#include <json/value.h>

#include "bench_support.h"
#include "benchmarks.h"
#include "host/device_uuid.h"
#include "host/json_writer.h"
#include "support/test_peer.h"

namespace tally {
namespace bench {
namespace {

using Peer = TallyServiceTestPeer;

const wchar_t kHeartBeatKey[] = L"hb_report_time";
const wchar_t kConnectKey[] = L"connect_report_time";
const wchar_t kSyncAppKey[] = L"sync_app_report";

constexpr auto kDeliveryTimeout = std::chrono::seconds(60);

void EmptyFunction() {}
// Called through a volatile pointer so that the call is never inlined.
void (*volatile g_emptyFunction)() = &EmptyFunction;

TallyService* Service() {
    return TallyService::GetInstance();
}

// Checks, after a benchmark's loop, that its calls queued exactly `expected`
// events after `before` deliveries: the benchmark measured the path it names.
void ExpectEvents(benchmark::State& state, uint64_t before, uint64_t expected) {
    const uint64_t target = before + expected;
    if (!noop_analytics::WaitForDelivered(target, kDeliveryTimeout) || Peer::QueueSize() != 0 ||
        noop_analytics::Delivered() != target) {
        state.SkipWithError("the calls did not queue the expected events");
    }
}

void CallMemcpy2112(benchmark::State& state) {
    ReportData source = MakeTypicalRecord();
    ReportData target;
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([&] {
            benchmark::DoNotOptimize(&source);
            std::memcpy(&target, &source, sizeof(ReportData));
            benchmark::DoNotOptimize(&target);
            benchmark::ClobberMemory();
        });
    }
    sampler.Publish();
}

void CallEmptyFunction(benchmark::State& state) {
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] { g_emptyFunction(); });
    }
    sampler.Publish();
}

// A read of the running connection timer, as the connection reports make it.
void CallTimeCount(benchmark::State& state) {
    Service()->TimeCount("device_connect_duration", true, false);
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] {
            benchmark::DoNotOptimize(Service()->TimeCount("device_connect_duration", false, false));
        });
    }
    sampler.Publish();
    // The reads hold heartbeat reports back until the next report.
    Peer::SetDeviceConnectTimed(false);
}

void CallReportP2PSuccess(benchmark::State& state) {
    const uint64_t before = noop_analytics::Delivered();
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] { Service()->ReportP2P(true, false); });
    }
    sampler.Publish();
    ExpectEvents(state, before, state.iterations());
}

// The third baseline: the payload of ReportP2P(true) built as a Json::Value
// and written by the service's compact writer, with nothing else of the call
// (no clock, ledger, masking or queue). Payloads must be made this way, so
// this is the least a report call can cost on this machine.
void CallJsonP2PPayload(benchmark::State& state) {
    const std::string version = "1.0.0.1";
    const std::string osName = "Linux 6.1";
    const std::string masked = "0123****89AB";
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([&] {
            Json::Value report;
            report[Literal("is_success")] = Literal("true");
            report[Literal("duration_level")] = "1";
            report[Literal("key_phone_manufacturer")] = Literal("");
            report[Literal("key_phone_type")] = Literal("");
            report[Literal("key_phone_os_ver")] = osName;
            report[Literal("key_app_ver")] = version;
            report[Literal("app_plugin_ver")] = version;
            report[Literal("is_local_link")] = Literal("false");
            report[Literal("device_connect_duration")] = Json::Int64(0);
            report[Literal("p2p_sdk_version")] = 0;
            report[Literal("key_phone_unique_id")] = masked;
            report[Literal("key_hdc_dev_unique_id")] = Literal("");
            report[Literal("connect_type")] = Literal("none");
            report[Literal("network_type")] = Literal("None");
            report[Literal("connect_mode")] = Literal("KCP");
            report[Literal("connect_fail_reason")] = Literal("");
            report[Literal("fail_err_code")] = Literal("");
            report[Literal("fail_err_msg")] = Literal("");
            benchmark::DoNotOptimize(WriteCompactJson(report));
        });
    }
    sampler.Publish();
}

// Failure inside the twelve-hour throttle: ledger read, no event.
void CallReportP2PFailureThrottled(benchmark::State& state) {
    Service()->SetSystemSuspend(false);
    Peer::SetLastReportTime(kConnectKey, 0);
    const uint64_t stamped = noop_analytics::Delivered() + 1;
    Service()->ReportP2P(false, false);  // stamps the ledger with now
    if (!noop_analytics::WaitForDelivered(stamped, kDeliveryTimeout)) {
        state.SkipWithError("the stamping report was not delivered");
        return;
    }
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] { Service()->ReportP2P(false, false); });
    }
    sampler.Publish();
    ExpectEvents(state, stamped, 0);
}

// Failure past the throttle: ledger read and write, payload, event.
void CallReportP2PFailureReported(benchmark::State& state) {
    Service()->SetSystemSuspend(false);
    const uint64_t before = noop_analytics::Delivered();
    CallSampler sampler(state);
    for (auto _ : state) {
        Peer::SetLastReportTime(kConnectKey, 0);
        sampler.Time([] { Service()->ReportP2P(false, false); });
    }
    sampler.Publish();
    ExpectEvents(state, before, state.iterations());
}

// Past both gates (no connection being timed, throttle passed): ledger read
// and write, payload, event.
void CallReportHeartBeatReported(benchmark::State& state) {
    const uint64_t before = noop_analytics::Delivered();
    CallSampler sampler(state);
    for (auto _ : state) {
        Peer::SetLastReportTime(kHeartBeatKey, 0);
        Peer::SetDeviceConnectTimed(false);
        sampler.Time([] { Service()->ReportHeartBeat(true, false); });
    }
    sampler.Publish();
    ExpectEvents(state, before, state.iterations());
}

// Inside the throttle: ledger read, no event.
void CallReportHeartBeatThrottled(benchmark::State& state) {
    Peer::SetDeviceConnectTimed(false);
    Peer::SetLastReportTime(kHeartBeatKey, 0);
    const uint64_t stamped = noop_analytics::Delivered() + 1;
    Service()->ReportHeartBeat(true, false);  // stamps the ledger with now
    if (!noop_analytics::WaitForDelivered(stamped, kDeliveryTimeout)) {
        state.SkipWithError("the stamping report was not delivered");
        return;
    }
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] { Service()->ReportHeartBeat(true, false); });
    }
    sampler.Publish();
    ExpectEvents(state, stamped, 0);
}

// The day's sync-app report already made: today's date and one ledger read.
void CallReportSyncAppUsingDone(benchmark::State& state) {
    Peer::SetLastReportTime(kSyncAppKey, Peer::GetCurrentDate());
    const uint64_t before = noop_analytics::Delivered();
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] { benchmark::DoNotOptimize(Service()->ReportSyncAppUsing()); });
    }
    sampler.Publish();
    ExpectEvents(state, before, 0);
}

void CallGetReportDeviceInfo(benchmark::State& state) {
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] {
            benchmark::DoNotOptimize(Peer::GetReportDeviceInfo(ReportDeviceType::DesktopClient));
        });
    }
    sampler.Publish();
}

void CallGetDeviceUuid(benchmark::State& state) {
    benchmark::DoNotOptimize(GetDeviceUuid());  // the first call reads the firmware
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] { benchmark::DoNotOptimize(GetDeviceUuid()); });
    }
    sampler.Publish();
}

// The ledger on its own: the share of the throttled calls that is file work.
void CallLedgerRead(benchmark::State& state) {
    Peer::SetLastReportTime(kHeartBeatKey, 1750000000000ULL);
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([] { benchmark::DoNotOptimize(Peer::GetLastReportTime(kHeartBeatKey)); });
    }
    sampler.Publish();
}

void CallLedgerWrite(benchmark::State& state) {
    uint64_t value = 1750000000000ULL;
    CallSampler sampler(state);
    for (auto _ : state) {
        sampler.Time([&] { Peer::SetLastReportTime(kHeartBeatKey, ++value); });
    }
    sampler.Publish();
}

}  // namespace

void RegisterCallBenchmarks() {
    const auto add = [](const char* name, void (*fn)(benchmark::State&)) {
        return benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMicrosecond);
    };
    // Calls that write the ledger are slow where the profile writer is
    // (milliseconds under Wine): a longer run keeps the 99th percentile from
    // resting on a handful of samples.
    const auto addWriter = [&](const char* name, void (*fn)(benchmark::State&)) {
        add(name, fn)->MinTime(2.0);
    };
    add("Call/Memcpy2112", CallMemcpy2112);
    add("Call/EmptyFunction", CallEmptyFunction);
    add("Call/JsonP2PPayload", CallJsonP2PPayload);
    add("Call/TimeCount", CallTimeCount);
    add("Call/ReportP2P_true", CallReportP2PSuccess);
    add("Call/ReportP2P_false_throttled", CallReportP2PFailureThrottled);
    addWriter("Call/ReportP2P_false_reported", CallReportP2PFailureReported);
    addWriter("Call/ReportHeartBeat_reported", CallReportHeartBeatReported);
    add("Call/ReportHeartBeat_throttled", CallReportHeartBeatThrottled);
    add("Call/ReportSyncAppUsing_done_today", CallReportSyncAppUsingDone);
    add("Call/GetReportDeviceInfo", CallGetReportDeviceInfo);
    add("Call/GetDeviceUuid", CallGetDeviceUuid);
    add("Call/LedgerRead", CallLedgerRead);
    addWriter("Call/LedgerWrite", CallLedgerWrite);
}

}  // namespace bench
}  // namespace tally
