// The reference analytics library's entry points, as the service's worker
// calls them: the cost of one ReportOnEvent (validation plus one short write
// transaction to the write-ahead log), with and without eviction at the cap,
// of a rejected record, and of the service's pattern of ten events and a
// submit; and what EnableImprovement(false) costs the host's thread with the
// library bound. Per-call p50, p99 and maximum are reported as counters, since
// a slow call holds up the worker (or the host).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "TallyApi.h"
#include "TallyService.h"
#include "bench_platform.h"
#include "support/test_peer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A device_remote_connect payload as the service builds it (about 650 bytes).
const char kPayload[] =
    "{\"app_plugin_ver\":\"3.1.0\",\"connect_fail_reason\":\"\",\"connect_mode\":\"KCP\","
    "\"connect_type\":\"none\",\"device_connect_duration\":4,\"duration_level\":\"2\","
    "\"fail_err_code\":\"\",\"fail_err_msg\":\"\",\"is_local_link\":\"false\","
    "\"is_success\":\"true\",\"key_app_ver\":\"3.1.0\",\"key_hdc_dev_unique_id\":\"\","
    "\"key_phone_manufacturer\":\"\",\"key_phone_os_ver\":\"Windows 10 Pro 22H2 19045\","
    "\"key_phone_type\":\"\",\"key_phone_unique_id\":\"4C4C4544-***************************\","
    "\"network_type\":\"None\",\"p2p_sdk_version\":0,\"login_duration\":2,"
    "\"scan_duration\":1,\"sync_duration\":17,\"upload_duration\":9}";

// A session of the library on a new folder, with the given event cap.
class Session {
  public:
    explicit Session(const char* maxEvents) {
        std::random_device random;
        m_folder = fs::temp_directory_path() / ("tally-bench-" + std::to_string(random()));
        fs::create_directories(m_folder);
        tally::bench::SetEnv("TALLY_MAX_EVENTS", maxEvents);
        std::memset(&m_config, 0, sizeof(m_config));
        Put(m_config.appid, "Orvel");
        Put(m_config.appversion, "3.1.0");
        Put(m_config.deviceType, "Orvel-PC00");
        Put(m_config.tag, "Orvel");
        Put(m_config.domain, "https://");
        Put(m_config.logDir, (m_folder / "log" / "").u8string());
        Put(m_config.logFileName, "tally.log");
        Put(m_config.dbPath, (m_folder / "config" / "qx.db").u8string());
        m_ok = ReportInit(&m_config) == 1;
    }
    ~Session() {
        // A refused configuration closes the open session first.
        ReportInit(nullptr);
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
    bool Ok() const { return m_ok; }
    fs::path Database() const { return m_folder / "config" / "qx.db"; }

  private:
    static void Put(char* field, const std::string& text) {
        std::memcpy(field, text.c_str(), text.size() + 1);
    }
    fs::path m_folder;
    ReportConfig m_config;
    bool m_ok = false;
};

ReportData Record(const char* name, const char* payload) {
    ReportData record;
    std::memset(&record, 0, sizeof(record));
    std::strcpy(record.eventName, name);
    std::strcpy(record.data, payload);
    return record;
}

void ReportPercentiles(benchmark::State& state, std::vector<double>* micros) {
    if (micros->empty()) return;
    std::sort(micros->begin(), micros->end());
    auto at = [&](double q) { return (*micros)[static_cast<size_t>(q * (micros->size() - 1))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros->back();
}

// One event per iteration; `maxEvents` decides whether each one evicts.
void EventCost(benchmark::State& state, const char* maxEvents, const char* payload) {
    Session session(maxEvents);
    if (!session.Ok()) {
        state.SkipWithError("ReportInit refused the configuration");
        return;
    }
    ReportData record = Record("device_remote_connect", payload);
    // Fill up to the cap first, so that the at-cap case evicts from the start.
    for (int i = 0; i < 1000; ++i) ReportOnEvent(&record);
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(ReportOnEvent(&record));
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ReportPercentiles(state, &micros);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(std::strlen(payload)));
}

void BM_ReportOnEvent_BelowCap(benchmark::State& state) {
    EventCost(state, "10000000", kPayload);
}

void BM_ReportOnEvent_AtCapEvicting(benchmark::State& state) {
    EventCost(state, "1000", kPayload);
}

void BM_ReportOnEvent_Rejected(benchmark::State& state) {
    EventCost(state, "10000000", "{\"is_success\":\"true\",");
}

// The service's own rhythm: ten events, then a submit.
void BM_TenEventsAndSubmit(benchmark::State& state) {
    Session session("10000000");
    if (!session.Ok()) {
        state.SkipWithError("ReportInit refused the configuration");
        return;
    }
    ReportData record = Record("device_remote_connect", kPayload);
    std::vector<double> micros;
    for (auto _ : state) {
        for (int i = 0; i < 10; ++i) ReportOnEvent(&record);
        auto start = Clock::now();
        benchmark::DoNotOptimize(ReportOnSubmit());
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    // The percentiles are of the submit alone.
    ReportPercentiles(state, &micros);
}

// What the host's thread pays for EnableImprovement(false) with the reference
// library bound (as after an opt-in; no worker runs, so the call is timed
// alone): the service empties its queue and the library, on the same
// thread, sets the one-byte opt-out mark beside its store and leaves the
// deletion to its own thread. Before each call the store is filled with state.range(0) events in
// batches, and the user opted in again.
void OptOutCost(benchmark::State& state, bool libraryHearsIt) {
    Session session("10000000");
    if (!session.Ok()) {
        state.SkipWithError("ReportInit refused the configuration");
        return;
    }
    TallyServiceTestPeer::SetEntryPoints(&ReportOnEvent, &ReportOnSubmit);
    TallyServiceTestPeer::SetConsentEntryPoint(libraryHearsIt ? &ReportSetConsent : nullptr);
    TallyServiceTestPeer::SetInitialized(true);
    TallyService* service = TallyService::GetInstance();
    ReportData record = Record("device_remote_connect", kPayload);
    // A short run (TALLY_BENCH_SMOKE=1, as the test command runs it) stores
    // at most 100 events per call: it shows only that the case runs.
    const char* smoke = std::getenv("TALLY_BENCH_SMOKE");
    const int64_t stored = smoke != nullptr && std::strcmp(smoke, "1") == 0
                               ? std::min<int64_t>(state.range(0), 100)
                               : state.range(0);
    std::vector<double> micros;
    for (auto _ : state) {
        state.PauseTiming();
        ReportSetConsent(1);
        for (int64_t i = 0; i < stored; ++i) {
            ReportOnEvent(&record);
            if (i % 10 == 9) ReportOnSubmit();
        }
        TallyServiceTestPeer::SetImprovementEnabled(true);
        // The library's thread has finished the last opt-out (its mark is
        // cleared), so each call sets the mark itself.
        const fs::path mark = session.Database().u8string() + "-optout";
        const auto marked = [&] {
            std::ifstream file(mark, std::ios::binary);
            return file.get() == '1';
        };
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (marked() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        state.ResumeTiming();
        auto start = Clock::now();
        service->EnableImprovement(false);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    TallyServiceTestPeer::SetInitialized(false);
    TallyServiceTestPeer::SetConsentEntryPoint(nullptr);
    ReportPercentiles(state, &micros);
}

void BM_EnableImprovementFalse(benchmark::State& state) {
    OptOutCost(state, true);
}

// Baseline: a library with only the three entry points, which hears of the
// opt-out on the worker's time; the host pays only for the queue.
void BM_EnableImprovementFalse_ThreeEntryPoints(benchmark::State& state) {
    OptOutCost(state, false);
}

BENCHMARK(BM_ReportOnEvent_BelowCap)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReportOnEvent_AtCapEvicting)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReportOnEvent_Rejected)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TenEventsAndSubmit)->Unit(benchmark::kMicrosecond);
// Filling 10,000 events takes about a second per call, so few calls.
BENCHMARK(BM_EnableImprovementFalse_ThreeEntryPoints)
    ->Arg(0)
    ->Arg(10000)
    ->Iterations(30)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnableImprovementFalse)->Arg(0)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnableImprovementFalse)->Arg(10000)->Iterations(30)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
