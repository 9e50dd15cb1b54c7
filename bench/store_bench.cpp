// The collector's stores without HTTP: StoreUpload of new batches, from one
// thread and from sixteen at once (a collector's HTTP threads), on each store
// this build has, with the collector's default options:
//
//   Store/<store>/<shape>/threads:N
//     store  sqlite (the state folder's file: WAL, synchronous=NORMAL, so a
//            commit is not flushed) or postgresql (a server this program
//            starts in a temporary folder, fsync and synchronous_commit on:
//            every commit waits for the disk)
//     shape  small: 1 batch of 5 events, the fleet's usual request;
//            large: 20 batches of 25 events
//
// Items are events stored. With sixteen threads and four connections the
// PostgreSQL store puts the requests that arrive while every connection is
// in a transaction into the next one (group commit).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "store.h"
#ifdef TALLY_WITH_POSTGRES
#include "server/postgres_instance.h"
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

Upload MakeUpload(int batches, int events) {
    Upload upload;
    upload.app = {"orvel", "3.1.0", "desktop", "bench", ""};
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

void StoreUploads(benchmark::State& state, const std::string& kind, const Shape& shape) {
    if (state.thread_index() == 0) {
        std::string error;
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
    if (state.thread_index() == 0) state.counters["requests"] = state.iterations();
}

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
            benchmark::RegisterBenchmark(
                ("Store/" + kind + "/" + shape.name).c_str(),
                [kind, &shape](benchmark::State& state) { StoreUploads(state, kind, shape); })
                ->Threads(1)
                ->Threads(16)
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_store.reset();
    fs::remove_all(g_folder, ec);
    return 0;
}
