// Building the fleet report from daily rollups, without the store: what the
// collector adds on top of Store::Rollups() for `report` and /dashboard.
//
//   Report/shape:S  the rows of 30 days (a month) in shape S; shape 0 (no
//                   rows) is the baseline: the page's fixed part, the inlined
//                   Chart.js, script and style
//
// The rows a fleet makes do not grow with its events, only with the keys it
// reports: a day of each app version has one row per event name, OS
// version, connect mode, duration level and device type seen. Shape 1,
// 15,900 rows, is a month of 5 app versions, 40 event names and 50 OS
// versions; shape 2, 124,800 rows, is 10 versions, 200 event names and 200
// OS versions: a large, diverse fleet.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "dashboard.h"

namespace {

using tally::server::RollupRow;

std::vector<RollupRow> MonthOfRows(int versions, int eventNames, int osVersions) {
    std::vector<RollupRow> rows;
    for (int d = 1; d <= 30; ++d) {
        const std::string day = std::string("2026-11-") + (d < 10 ? "0" : "") + std::to_string(d);
        for (int v = 0; v < versions; ++v) {
            const std::string version = "3." + std::to_string(v) + ".0";
            auto add = [&](const char* measure, const std::string& key, int64_t value) {
                rows.push_back({day, version, measure, key, value});
            };
            add("installations", "", 4000 + v);
            for (int e = 0; e < eventNames; ++e)
                add("events", "event_name_" + std::to_string(e), 500);
            for (int o = 0; o < osVersions; ++o) add("os", "Windows 10.0." + std::to_string(o), 40);
            add("connections", "success", 9000);
            add("connections", "failure", 300);
            for (int l = 1; l <= 5; ++l) add("duration_level", std::to_string(l), 1800);
            for (const char* mode : {"KCP_1", "KCP_2", "KCP_3", "KCP_4", "KCP_5", "KCP_FAIL"}) {
                add("heartbeat_reconnections", mode, 120);
            }
            add("device_type", "4", 3000);
            add("device_type", "7", 1000);
        }
    }
    return rows;
}

void Report(benchmark::State& state) {
    std::vector<RollupRow> rows;
    if (state.range(0) == 1) rows = MonthOfRows(5, 40, 50);
    if (state.range(0) == 2) rows = MonthOfRows(10, 200, 200);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string page = tally::report::RenderDashboard(rows, {});
        bytes = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
    state.counters["page_bytes"] = static_cast<double>(bytes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows.size()));
}
BENCHMARK(Report)->ArgName("shape")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
