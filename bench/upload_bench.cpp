// The reference analytics library's uploader against the reference collector
// over loopback HTTPS:
//
//   Upload/DrainFullStore   a full store (10,000 events in batches of ten)
//                           from the start of a session with pacing off until
//                           every event is gone from the client; the
//                           collector must hold each exactly once
//   Upload/ReportOnEvent/0  the host's ReportOnEvent with nothing sent
//                           (the baseline), and /1 with an upload running
//                           at full speed beside it
//   Upload/OfflineHour      a server that refuses every connection for one
//                           hour, the backoff compressed 1,000 times: the
//                           connection attempts, and the processor time of
//                           the library's threads while they wait
//
// On Linux the program starts the collector it was built with (a fresh state
// folder, free ports) unless TALLY_BENCH_COLLECTOR names the state folder of
// a collector that runs already; the Windows build always needs that (under
// Wine, scripts/bench starts the Linux collector). TALLY_BENCH_SMOKE=1 makes
// every case short, for the test command's smoke run; TALLY_BENCH_LOG=1
// prints the library's log of each drain (one line per request, with its
// time) to stderr.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "TallyApi.h"
#include "bench_platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kPayload[] =
    "{\"app_plugin_ver\":\"3.1.0\",\"connect_fail_reason\":\"\",\"connect_mode\":\"KCP\","
    "\"connect_type\":\"none\",\"device_connect_duration\":4,\"duration_level\":\"2\","
    "\"fail_err_code\":\"\",\"fail_err_msg\":\"\",\"is_local_link\":\"false\","
    "\"is_success\":\"true\",\"key_app_ver\":\"3.1.0\",\"key_hdc_dev_unique_id\":\"\","
    "\"key_phone_manufacturer\":\"\",\"key_phone_os_ver\":\"Windows 10 Pro 22H2 19045\","
    "\"key_phone_type\":\"\",\"key_phone_unique_id\":\"4C4C4544-***************************\","
    "\"network_type\":\"None\",\"p2p_sdk_version\":0,\"login_duration\":2,"
    "\"scan_duration\":1,\"sync_duration\":17,\"upload_duration\":9}";

bool Smoke() {
    const char* smoke = std::getenv("TALLY_BENCH_SMOKE");
    return smoke != nullptr && std::strcmp(smoke, "1") == 0;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The whole number after "key": in a flat JSON object; -1 when absent.
// The collector the uploads go to: started here once, or one that runs.
class Collector {
  public:
    static Collector& Get() {
        static Collector collector;
        return collector;
    }
    bool Ok() const { return m_https > 0 && m_control > 0; }
    int HttpsPort() const { return m_https; }
    const fs::path& CaFile() const { return m_ca; }
    // Counters since the collector started: "events", "duplicates", ...
    long long Stat(const std::string& key) const {
        return tally::bench::JsonNumber(tally::bench::LocalHttp(m_control, "GET", "/stats", ""),
                                        key);
    }

  private:
    Collector() {
        const char* running = std::getenv("TALLY_BENCH_COLLECTOR");
        fs::path state;
        if (running != nullptr && *running != '\0') {
            state = fs::u8path(running);
        } else {
#ifdef TALLY_COLLECTOR_PROGRAM
            std::random_device random;
            state =
                fs::temp_directory_path() / ("tally-bench-collector-" + std::to_string(random()));
            m_ownState = state;
            m_pid = tally::bench::StartProgram(
                TALLY_COLLECTOR_PROGRAM,
                // Every upload comes from loopback, faster than one client's rate limit.
                {"--state", state.string(), "--port", "0", "--test-mode", "--control-port", "0",
                 "--rate-limit", "0"});
#endif
        }
        if (state.empty()) return;
        // The collector writes its ports once it listens.
        for (int i = 0; i < 1000 && !Ok(); ++i) {
            std::string ports = ReadFile(state / "ports.json");
            long long https = tally::bench::JsonNumber(ports, "https");
            long long control = tally::bench::JsonNumber(ports, "control");
            if (https > 0 && control > 0 &&
                !tally::bench::LocalHttp(static_cast<int>(control), "GET", "/stats", "").empty()) {
                m_https = static_cast<int>(https);
                m_control = static_cast<int>(control);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        m_ca = state / "ca.pem";
    }
    ~Collector() {
        if (m_pid > 0) {
            tally::bench::LocalHttp(m_control, "POST", "/shutdown", "{}");
            tally::bench::EndProgram(m_pid, 5000);
        }
        std::error_code ec;
        if (!m_ownState.empty()) fs::remove_all(m_ownState, ec);
    }

    long m_pid = -1;
    fs::path m_ownState;
    fs::path m_ca;
    int m_https = 0;
    int m_control = 0;
};

// What the library's log says about the requests of a session.
struct Requests {
    int attempts = 0;    // every request that ended, whatever its outcome
    long long sent = 0;  // events in requests answered 200
};

// A library session on a folder of its own; Init may be called again with
// other knobs on the same store.
class Session {
  public:
    Session() {
        std::random_device random;
        m_folder = fs::temp_directory_path() / ("tally-upbench-" + std::to_string(random()));
        fs::create_directories(m_folder);
        std::memset(&m_config, 0, sizeof(m_config));
        Put(m_config.appid, "Orvel");
        Put(m_config.appversion, "3.1.0");
        Put(m_config.deviceType, "Orvel-PC00");
        Put(m_config.tag, "Orvel");
        Put(m_config.logDir, (m_folder / "log" / "").u8string());
        Put(m_config.logFileName, "tally.log");
        Put(m_config.dbPath, (m_folder / "config" / "qx.db").u8string());
    }
    ~Session() {
        ReportInit(nullptr);
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
    // `domain` "https://" alone sends nothing.
    bool Init(const std::string& domain, const fs::path& caFile) {
        Put(m_config.domain, domain);
        Put(m_config.cacertPath, caFile.u8string());
        return ReportInit(&m_config) == 1;
    }
    fs::path LogFile() const { return m_folder / "log" / "tally.log"; }
    Requests Log() const {
        Requests requests;
        std::istringstream lines(ReadFile(LogFile()));
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("upload: request ") == std::string::npos) continue;
            ++requests.attempts;
            size_t at = line.find(" batches, ");
            if (line.find(") -> 200 ") != std::string::npos && at != std::string::npos) {
                requests.sent += std::atoll(line.c_str() + at + 10);
            }
        }
        return requests;
    }

  private:
    static void Put(char* field, const std::string& text) {
        std::memcpy(field, text.c_str(), text.size() + 1);
    }
    fs::path m_folder;
    ReportConfig m_config;
};

ReportData Record() {
    ReportData record;
    std::memset(&record, 0, sizeof(record));
    std::strcpy(record.eventName, "device_remote_connect");
    std::strcpy(record.data, kPayload);
    return record;
}

void SetKnobs(const char* upload, const char* paceMs, const char* backoffMs) {
    tally::bench::SetEnv("TALLY_UPLOAD", upload);
    tally::bench::SetEnv("TALLY_UPLOAD_PACE_MS", paceMs);
    tally::bench::SetEnv("TALLY_UPLOAD_BACKOFF_MS", backoffMs);
}

std::string CollectorDomain() {
    // Wine matches DNS names only, so the certificate's name, not its IP.
    return "https://localhost:" + std::to_string(Collector::Get().HttpsPort());
}

// Seconds from the start of a session with a full store (pacing off) until
// the log says every event was accepted; the collector is checked to hold
// each event once.
void BM_DrainFullStore(benchmark::State& state) {
    Collector& collector = Collector::Get();
    if (!collector.Ok()) {
        state.SkipWithError("no collector (TALLY_BENCH_COLLECTOR names its state folder)");
        return;
    }
    const long long events = Smoke() ? 1000 : 10000;
    tally::bench::SetEnv("TALLY_MAX_EVENTS", "10000");
    int requests = 0;
    for (auto _ : state) {
        Session session;
        SetKnobs("0", "0", "30000,1800000");
        if (!session.Init("https://", "")) {
            state.SkipWithError("ReportInit refused the configuration");
            return;
        }
        ReportData record = Record();
        for (long long i = 1; i <= events; ++i) {
            ReportOnEvent(&record);
            if (i % 10 == 0) ReportOnSubmit();
        }
        long long before = collector.Stat("events");
        long long duplicatesBefore = collector.Stat("duplicates");
        SetKnobs("1", "0", "30000,1800000");
        auto start = Clock::now();
        if (!session.Init(CollectorDomain(), collector.CaFile())) {
            state.SkipWithError("ReportInit refused the configuration");
            return;
        }
        Requests seen;
        while ((seen = session.Log()).sent < events &&
               Clock::now() - start < std::chrono::seconds(60)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        auto end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        requests += seen.attempts;
        if (std::getenv("TALLY_BENCH_LOG") != nullptr) {
            std::fputs(ReadFile(session.LogFile()).c_str(), stderr);
        }
        if (seen.sent != events || collector.Stat("events") - before != events ||
            collector.Stat("duplicates") != duplicatesBefore) {
            state.SkipWithError("the collector does not hold every event exactly once");
            return;
        }
    }
    state.counters["events"] = static_cast<double>(events);
    state.counters["requests"] = benchmark::Counter(requests, benchmark::Counter::kAvgIterations);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(events), benchmark::Counter::kIsIterationInvariantRate);
}

// The host's ReportOnEvent in the service's rhythm (ten events, a submit),
// per-call p50 and p99; range(0) = 1 with an upload at full speed beside it.
void BM_ReportOnEvent(benchmark::State& state) {
    const bool upload = state.range(0) == 1;
    Collector& collector = Collector::Get();
    if (upload && !collector.Ok()) {
        state.SkipWithError("no collector (TALLY_BENCH_COLLECTOR names its state folder)");
        return;
    }
    // No eviction in either case, so both measure the same write.
    tally::bench::SetEnv("TALLY_MAX_EVENTS", "10000000");
    SetKnobs(upload ? "1" : "0", "0", "30000,1800000");
    Session session;
    if (!session.Init(upload ? CollectorDomain() : "https://", collector.CaFile())) {
        state.SkipWithError("ReportInit refused the configuration");
        return;
    }
    ReportData record = Record();
    std::vector<double> micros;
    micros.reserve(1 << 20);
    long long calls = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(ReportOnEvent(&record));
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (++calls % 10 == 0) {
            state.PauseTiming();
            ReportOnSubmit();
            state.ResumeTiming();
        }
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    Requests seen = session.Log();
    state.counters["requests"] = seen.attempts;
    state.counters["uploaded"] = static_cast<double>(seen.sent);
}

// One hour of a server that refuses connections, every wait of the backoff
// 1,000 times shorter (10,000 in the smoke run). Counts the connection
// attempts and the processor time of the library's threads in the stretches
// between them (every 10 ms sample with no attempt ending on either side).
void BM_OfflineHour(benchmark::State& state) {
    const int compression = Smoke() ? 10000 : 1000;
    const int64_t hourMs = 3600 * 1000 / compression;
    const std::string backoff = std::to_string(30 * 1000 / compression) + "," +
                                std::to_string(30 * 60 * 1000 / compression);
    // The pacing gap (1 s) is compressed too; it never binds behind a backoff.
    const std::string pace = std::to_string(std::max(1, 1000 / compression));
    tally::bench::SetEnv("TALLY_MAX_EVENTS", "10000");
    int attempts = 0;
    double cpuTotal = 0;
    double cpuWaiting = 0;
    double waitingSeconds = 0;
    for (auto _ : state) {
        Session session;
        SetKnobs("0", pace.c_str(), backoff.c_str());
        if (!session.Init("https://", "")) {
            state.SkipWithError("ReportInit refused the configuration");
            return;
        }
        ReportData record = Record();
        for (int i = 0; i < 10; ++i) ReportOnEvent(&record);
        ReportOnSubmit();
        SetKnobs("1", pace.c_str(), backoff.c_str());
        struct Sample {
            double at;
            double cpu;
            int attempts;
        };
        std::vector<Sample> samples;
        auto start = Clock::now();
        // Port 9 (discard) on loopback: nothing listens, the connection is refused.
        if (!session.Init("https://localhost:9", "")) {
            state.SkipWithError("ReportInit refused the configuration");
            return;
        }
        for (;;) {
            double at = std::chrono::duration<double>(Clock::now() - start).count();
            samples.push_back({at, tally::bench::OtherThreadsCpuSeconds(), session.Log().attempts});
            if (at * 1000 >= static_cast<double>(hourMs)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        attempts += samples.back().attempts;
        cpuTotal += samples.back().cpu - samples.front().cpu;
        for (size_t i = 1; i + 2 < samples.size(); ++i) {
            if (samples[i - 1].attempts == samples[i + 2].attempts) {
                cpuWaiting += samples[i + 1].cpu - samples[i].cpu;
                waitingSeconds += samples[i + 1].at - samples[i].at;
            }
        }
    }
    state.counters["attempts"] = benchmark::Counter(attempts, benchmark::Counter::kAvgIterations);
    state.counters["cpu_total_ms"] =
        benchmark::Counter(cpuTotal * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["cpu_waiting_us"] =
        benchmark::Counter(cpuWaiting * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["waiting_s"] =
        benchmark::Counter(waitingSeconds, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_DrainFullStore)
    ->Name("Upload/DrainFullStore")
    ->UseManualTime()
    ->Iterations(Smoke() ? 1 : 3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReportOnEvent)
    ->Name("Upload/ReportOnEvent")
    ->ArgName("upload")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OfflineHour)->Name("Upload/OfflineHour")->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
