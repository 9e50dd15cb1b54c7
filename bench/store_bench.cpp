// The collector's stores without HTTP, on each store this build has, with
// the collector's default options.
//
//   Store/<store>/<shape>/threads:N
//     StoreUpload of new batches, from one thread and from sixteen at once
//     (a collector's HTTP threads), the daily rollups counted as always.
//     store  sqlite (the state folder's file: WAL, synchronous=NORMAL, so a
//            commit is not flushed) or postgresql (a server this program
//            starts in a temporary folder, fsync and synchronous_commit on:
//            every commit waits for the disk)
//     shape  small: 1 batch of 5 events, the fleet's usual request;
//            large: 20 batches of 25 events
//     Items are events stored. With sixteen threads and four connections the
//     PostgreSQL store puts the requests that arrive while every connection
//     is in a transaction into the next one (group commit).
//   StoreWithoutRollups/<store>/<shape>/threads:N
//     The same with the rollups switched off inside this program: the
//     baseline the cost of counting them is read against.
//   Fleet/postgresql/Rollups
//     Rollups() over the whole range of a store holding 30 days of 100,000
//     events each (3 M events, 2,000 installations, three app versions):
//     what the fleet view asks for.
//   Fleet/postgresql/Dashboard
//     The fleet report built from that store as /dashboard builds it:
//     Rollups() and the page; read against Fleet/postgresql/Rollups.
//   Fleet/postgresql/ReportCommand
//     `tally-collector report --store URI --out FILE.html` over that store as
//     a person runs it: wall clock from spawning the process to its exit,
//     which must be 0 with the file written and not empty.
//   Fleet/postgresql/DashboardRequest
//     GET /dashboard on the operator port of a `tally-collector serve` over
//     that store, started once (untimed) and stopped by SIGTERM at the end:
//     wall clock of the whole loopback request, connect to last byte.
//     Read both against Fleet/postgresql/Dashboard: the difference is the
//     process start, the connections to the database and the HTTP.
//   Fleet/postgresql/DeleteInstallation
//     DeleteInstallation of one installation holding 10,000 events spread
//     over those 30 days, among the 3 M; its events are stored again
//     (untimed) before each iteration.
//
// TALLY_BENCH_SMOKE=1 (the test command) makes the fleet 30 days of 1,000
// events and the installation 100 events, and runs the report command and
// the request once each.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dashboard.h"
#include "rollup_share.h"
#include "store.h"
#include "store_days.h"
#ifdef TALLY_WITH_POSTGRES
#include "server/postgres_instance.h"
#endif
#ifdef TALLY_COLLECTOR_PROGRAM
#include "bench_platform.h"
#endif

namespace {

namespace fs = std::filesystem;
using tally::collector::Upload;
using tally::collector::UploadBatch;
using tally::server::Store;

const char kPayload[] =
    "{\"app_plugin_ver\":\"3.1.0\",\"connect_fail_reason\":\"\",\"connect_mode\":\"KCP\","
    "\"connect_type\":\"none\",\"device_connect_duration\":4,\"duration_level\":\"2\","
    "\"fail_err_code\":\"\",\"fail_err_msg\":\"\",\"is_local_link\":\"false\","
    "\"is_success\":\"true\",\"key_app_ver\":\"3.1.0\",\"key_phone_os_ver\":\"Windows 10 Pro\","
    "\"network_type\":\"None\",\"login_duration\":2,\"scan_duration\":1,\"sync_duration\":17}";

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::atomic<int64_t> g_nextBatch{0};

// The id of installation `n`, in the form the library makes them.
std::string InstallId(int n) {
    char id[40];
    std::snprintf(id, sizeof id, "%08x-0000-4000-8000-000000000000", static_cast<unsigned>(n));
    return id;
}

Upload MakeUpload(int batches, int events) {
    Upload upload;
    upload.app = {"orvel", "3.1.0", "desktop", "bench", InstallId(g_nextBatch % 1000)};
    // What the request parser reads of each payload as it parses it.
    static const tally::collector::RollupKeys keys =
        tally::collector::RollupKeysOf("device_remote_connect", kPayload);
    for (int b = 0; b < batches; ++b) {
        UploadBatch batch;
        char id[40];
        std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012lld",
                      static_cast<long long>(++g_nextBatch));
        batch.batchId = id;
        batch.createdMs = NowMs();
        for (int e = 1; e <= events; ++e) {
            batch.events.push_back({e, batch.createdMs, "device_remote_connect", kPayload, keys});
        }
        upload.batches.push_back(std::move(batch));
    }
    return upload;
}

struct Shape {
    const char* name;
    int batches;
    int events;  // per batch
};
const Shape kShapes[] = {{"small", 1, 5}, {"large", 20, 25}};

fs::path g_folder;
int g_stores = 0;
#ifdef TALLY_WITH_POSTGRES
tally::testing::PostgresInstance* g_postgres = nullptr;
#endif
std::unique_ptr<Store> g_store;  // of the case running; made by its first thread

// A fresh empty store of `kind`; null (and the case skipped) without one.
std::unique_ptr<Store> FreshStore(const std::string& kind, std::string* error) {
    (void)kind;  // without PostgreSQL in this build, always SQLite
    const std::string name = "bench_" + std::to_string(++g_stores);
    std::string location = (g_folder / (name + ".db")).string();
#ifdef TALLY_WITH_POSTGRES
    if (kind == "postgresql") {
        if (g_postgres == nullptr) {
            *error = "no PostgreSQL server";
            return nullptr;
        }
        location = g_postgres->CreateDatabase(name, error);
        if (location.empty()) return nullptr;
    }
#endif
    // The collector's defaults: 4 PostgreSQL connections.
    const tally::server::StoreOptions options;
    std::unique_ptr<Store> store = tally::server::OpenStore(location, options, error);
    if (store && !store->Maintain(NowMs(), error)) store.reset();
    return store;
}

void StoreUploads(benchmark::State& state, const std::string& kind, const Shape& shape,
                  bool rollups) {
    if (state.thread_index() == 0) {
        std::string error;
        tally::server::CountRollupsForBenchmark(rollups);
        g_store = FreshStore(kind, &error);
        if (!g_store) state.SkipWithError(error.c_str());
    }
    // Google Benchmark starts every thread's loop together, after the setup.
    for (auto _ : state) {
        if (!g_store) break;
        state.PauseTiming();
        const Upload upload = MakeUpload(shape.batches, shape.events);
        state.ResumeTiming();
        const tally::server::StoreOutcome outcome = g_store->StoreUpload(upload, "key", NowMs());
        if (!outcome.Stored() || outcome.batchesNew != shape.batches) {
            state.SkipWithError(("not stored: " + outcome.error).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * shape.batches * shape.events);
    if (state.thread_index() == 0) {
        state.counters["requests"] = state.iterations();
        tally::server::CountRollupsForBenchmark(true);
    }
}

#ifdef TALLY_WITH_POSTGRES
// The fleet: days of events from many installations, as the rollups see it.
struct Fleet {
    int days;
    int eventsPerDay;
    int installations;
    int deletedEvents;  // of the installation deleted
};

const char* const kVersions[] = {"3.0.0", "3.1.0", "3.2.0"};
const char* const kOs[] = {"Windows 10 Pro", "Windows 11 Pro", "Windows 11 Home", "macOS 14",
                           "Ubuntu 24.04"};
const char* const kModes[] = {"KCP_1", "KCP_2", "KCP_3", "KCP_4", "KCP_5", "KCP_FAIL"};

// Event `n` of a day: a mix of the names and payload values the rollups
// count, and names they count only as events.
tally::collector::UploadEvent FleetEvent(int64_t n, int64_t receivedMs) {
    std::string name, payload;
    switch (n % 6) {
        case 0:
            name = "user_device_info";
            payload = std::string(R"({"os_version":")") + kOs[n / 6 % 5] + R"(","device_type":)" +
                      (n % 4 == 0 ? "4" : "7") + R"(,"key_app_ver":"3.1.0"})";
            break;
        case 1:
        case 2:
            name = "device_remote_connect";
            payload = std::string(R"({"is_success":")") + (n % 5 == 1 ? "false" : "true") +
                      R"(","duration_level":")" + std::to_string(n / 6 % 5 + 1) +
                      R"(","device_connect_duration":4,"key_phone_os_ver":"Windows 10 Pro"})";
            break;
        case 3:
            name = "storage_heartbeat_fail_reconnect";
            payload = std::string(R"({"is_success":"true","connect_mode":")") + kModes[n / 6 % 6] +
                      R"("})";
            break;
        default:
            name = n % 6 == 4 ? "page_view" : "settings_open";
            payload = R"({"page":"devices","duration":3})";
    }
    tally::collector::UploadEvent event{n, receivedMs, name, payload, {}};
    event.rollupKeys = tally::collector::RollupKeysOf(name, payload);
    return event;
}

// Stores `events` events of `installation` on `day` (days since 1970), in
// requests of 20 batches of up to 25 events. False, with `error`, on a refusal.
bool StoreDay(Store& store, int installation, int64_t day, int events, std::string* error) {
    int64_t n = 0;
    while (n < events) {
        Upload upload;
        upload.app = {"orvel", kVersions[installation % 3], "desktop", "bench",
                      InstallId(installation)};
        for (int b = 0; b < 20 && n < events; ++b) {
            UploadBatch batch;
            char id[40];
            std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012lld",
                          static_cast<long long>(++g_nextBatch));
            batch.batchId = id;
            batch.createdMs = day * tally::server::kMsPerDay + 43200000;
            for (int e = 0; e < 25 && n < events; ++e, ++n) {
                batch.events.push_back(FleetEvent(n, batch.createdMs + n));
            }
            upload.batches.push_back(std::move(batch));
        }
        const tally::server::StoreOutcome outcome = store.StoreUpload(upload, "fleet", NowMs());
        if (!outcome.Stored()) {
            *error = outcome.error;
            return false;
        }
    }
    return true;
}

std::unique_ptr<Store> g_fleet;
std::string g_fleetUri;  // the fleet's database, for the collector processes
Fleet g_fleetSize;
constexpr int kDeleted = 1 << 20;  // the installation deleted: none of the others

// The fleet's store, loaded by four threads on first use.
Store* FleetStore(std::string* error) {
    if (g_fleet) return g_fleet.get();
    if (g_postgres == nullptr) {
        *error = "no PostgreSQL server";
        return nullptr;
    }
    const std::string location = g_postgres->CreateDatabase("fleet", error);
    if (location.empty()) return nullptr;
    tally::server::StoreOptions options;
    // A partition for each day, as an operator keeping them has.
    options.retentionDays = g_fleetSize.days + 10;
    std::unique_ptr<Store> store = tally::server::OpenStore(location, options, error);
    if (!store || !store->Maintain(NowMs(), error)) return nullptr;
    const int64_t today = tally::server::DayOf(NowMs());
    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> failed{false};
    std::vector<std::thread> loaders;
    std::string loadError;
    for (int t = 0; t < 4; ++t) {
        loaders.emplace_back([&, t] {
            std::string threadError;
            for (int d = t; d < g_fleetSize.days && !failed; d += 4) {
                // Each installation reports on each day a share of the day's events.
                const int share = g_fleetSize.eventsPerDay / g_fleetSize.installations;
                for (int i = 0; i < g_fleetSize.installations && !failed; ++i) {
                    if (!StoreDay(*store, i, today - d, share, &threadError)) {
                        failed = true;
                        loadError = threadError;
                    }
                }
            }
        });
    }
    for (std::thread& loader : loaders) loader.join();
    if (failed) {
        *error = "loading the fleet: " + loadError;
        return nullptr;
    }
    std::fprintf(stderr, "store_bench: fleet of %d days x %d events loaded in %.1f s\n",
                 g_fleetSize.days, g_fleetSize.eventsPerDay,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    g_fleet = std::move(store);
    g_fleetUri = location;
    return g_fleet.get();
}

void FleetRollups(benchmark::State& state) {
    std::string error;
    Store* store = FleetStore(&error);
    if (store == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t rows = 0;
    for (auto _ : state) {
        std::vector<tally::server::RollupRow> result;
        if (!store->Rollups({}, &result, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        rows = result.size();
    }
    state.counters["rows"] = static_cast<double>(rows);
}

void FleetDashboard(benchmark::State& state) {
    std::string error;
    Store* store = FleetStore(&error);
    if (store == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        std::string page;
        if (!tally::report::BuildDashboard(*store, {}, &page, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        bytes = page.size();
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
}

void FleetDeletion(benchmark::State& state) {
    std::string error;
    Store* store = FleetStore(&error);
    if (store == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    const int64_t today = tally::server::DayOf(NowMs());
    for (auto _ : state) {
        state.PauseTiming();
        bool stored = true;
        const int perDay = g_fleetSize.deletedEvents / g_fleetSize.days;
        for (int d = 0; d < g_fleetSize.days && stored; ++d) {
            const int events =
                d == 0 ? g_fleetSize.deletedEvents - perDay * (g_fleetSize.days - 1) : perDay;
            stored = StoreDay(*store, kDeleted, today - d, events, &error);
        }
        if (!stored) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.ResumeTiming();
        const tally::server::DeletionOutcome outcome =
            store->DeleteInstallation(InstallId(kDeleted), NowMs());
        if (outcome.status != tally::server::StoreStatus::Stored ||
            outcome.events != g_fleetSize.deletedEvents) {
            state.SkipWithError(("not deleted: " + outcome.error).c_str());
            break;
        }
    }
}

#ifdef TALLY_COLLECTOR_PROGRAM
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Ends a child the way a service manager does: SIGTERM, then a bounded wait
// (SIGKILL after it).
void StopProgram(long pid) {
    if (pid <= 0) return;
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    tally::bench::EndProgram(pid, 10000);
}

void FleetReportCommand(benchmark::State& state) {
    std::string error;
    if (FleetStore(&error) == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    const fs::path out = g_folder / "fleet-report.html";
    uintmax_t bytes = 0;
    for (auto _ : state) {
        std::error_code ec;
        fs::remove(out, ec);  // a file left by the last iteration proves nothing
        const Clock::time_point started = Clock::now();
        const long pid = tally::bench::StartProgram(
            TALLY_COLLECTOR_PROGRAM, {"report", "--store", g_fleetUri, "--out", out.string()});
        const int exitCode = tally::bench::EndProgram(pid, 300000);
        const double seconds = SecondsSince(started);
        bytes = fs::file_size(out, ec);
        if (exitCode != 0 || ec || bytes == 0) {
            state.SkipWithError(("report exited " + std::to_string(exitCode) + ", " +
                                 std::to_string(ec ? 0 : bytes) + " bytes written")
                                    .c_str());
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
}

// `tally-collector serve` over the fleet's database, with its operator port
// on loopback; stopped by SIGTERM when destroyed, whatever the benchmarks did.
class ServingCollector {
  public:
    ServingCollector() : m_state(g_folder / "collector") {}
    ~ServingCollector() {
        StopProgram(m_pid);
        std::error_code ec;
        fs::remove_all(m_state, ec);
    }
    ServingCollector(const ServingCollector&) = delete;
    ServingCollector& operator=(const ServingCollector&) = delete;

    // Starts it and waits until it is ready (its database probe answered);
    // false, with `error`, when it ended or did not get there in time.
    bool Start(std::string* error) {
        m_pid = tally::bench::StartProgram(
            TALLY_COLLECTOR_PROGRAM,
            {"serve", "--state", m_state.string(), "--store", g_fleetUri, "--retention-days",
             std::to_string(g_fleetSize.days + 10), "--port", "0", "--admin-port", "0"});
        if (m_pid <= 0) {
            *error = "cannot start " TALLY_COLLECTOR_PROGRAM;
            return false;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG) == m_pid) {
                m_pid = -1;
                *error = "the collector ended at its start (status " + std::to_string(status) + ")";
                return false;
            }
            std::ifstream in(m_state / "ports.json");
            const std::string ports((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            const long long admin = tally::bench::JsonNumber(ports, "admin");
            if (admin > 0 && tally::bench::LocalHttp(static_cast<int>(admin), "GET", "/readyz",
                                                     "") == "ready\n") {
                m_admin = static_cast<int>(admin);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        *error = "the collector was not ready within 60 s";
        return false;
    }
    int AdminPort() const { return m_admin; }

  private:
    fs::path m_state;
    long m_pid = -1;
    int m_admin = 0;
};

// Started by the first DashboardRequest run and kept for the repetitions;
// reset by main before the PostgreSQL server stops.
std::unique_ptr<ServingCollector> g_serving;

void FleetDashboardRequest(benchmark::State& state) {
    std::string error;
    if (FleetStore(&error) == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    if (!g_serving) {
        auto serving = std::make_unique<ServingCollector>();
        if (!serving->Start(&error)) {
            state.SkipWithError(error.c_str());
            return;  // `serving` stops what it started
        }
        g_serving = std::move(serving);
    }
    size_t bytes = 0;
    for (auto _ : state) {
        const Clock::time_point started = Clock::now();
        const std::string page =
            tally::bench::LocalHttp(g_serving->AdminPort(), "GET", "/dashboard", "");
        const double seconds = SecondsSince(started);
        // Only a whole page ends so; a refusal (503) is a line of text.
        if (page.find("</html>") == std::string::npos) {
            state.SkipWithError(("not the page: " + page.substr(0, 200)).c_str());
            break;
        }
        bytes = page.size();
        state.SetIterationTime(seconds);
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
}
#endif  // TALLY_COLLECTOR_PROGRAM

#endif  // TALLY_WITH_POSTGRES

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    g_folder = fs::temp_directory_path() / "tally-store-bench";
    std::error_code ec;
    fs::remove_all(g_folder, ec);
    fs::create_directories(g_folder);

    std::vector<std::string> kinds = {"sqlite"};
#ifdef TALLY_WITH_POSTGRES
    tally::testing::PostgresInstance postgres(true);
    std::string error;
    if (postgres.Start(&error)) {
        g_postgres = &postgres;
    } else {
        std::fprintf(stderr, "store_bench: %s\n", error.c_str());
    }
    kinds.push_back("postgresql");
#endif
    for (const std::string& kind : kinds) {
        for (const Shape& shape : kShapes) {
            for (const bool rollups : {true, false}) {
                benchmark::RegisterBenchmark(
                    ((rollups ? "Store/" : "StoreWithoutRollups/") + kind + "/" + shape.name)
                        .c_str(),
                    [kind, &shape, rollups](benchmark::State& state) {
                        StoreUploads(state, kind, shape, rollups);
                    })
                    ->Threads(1)
                    ->Threads(16)
                    ->UseRealTime()
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
#ifdef TALLY_WITH_POSTGRES
    const bool smoke = std::getenv("TALLY_BENCH_SMOKE") != nullptr;
    g_fleetSize = smoke ? Fleet{30, 1000, 20, 100} : Fleet{30, 100000, 2000, 10000};
    benchmark::RegisterBenchmark("Fleet/postgresql/Rollups", FleetRollups)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(smoke ? 0.001 : 2.0);
    benchmark::RegisterBenchmark("Fleet/postgresql/Dashboard", FleetDashboard)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(smoke ? 0.001 : 2.0);
#ifdef TALLY_COLLECTOR_PROGRAM
    benchmark::RegisterBenchmark("Fleet/postgresql/ReportCommand", FleetReportCommand)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(smoke ? 1 : 5);
    benchmark::RegisterBenchmark("Fleet/postgresql/DashboardRequest", FleetDashboardRequest)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(smoke ? 1 : 10);
#endif
    benchmark::RegisterBenchmark("Fleet/postgresql/DeleteInstallation", FleetDeletion)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(smoke ? 1 : 5);
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_store.reset();
#ifdef TALLY_WITH_POSTGRES
#ifdef TALLY_COLLECTOR_PROGRAM
    g_serving.reset();
#endif
    g_fleet.reset();
#endif
    fs::remove_all(g_folder, ec);
    return 0;
}
