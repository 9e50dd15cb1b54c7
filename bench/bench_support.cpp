#include "bench_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include <benchmark/benchmark.h>

#include "bench_platform.h"
#include "support/test_peer.h"

namespace tally {
namespace bench {
namespace {

// Spins until `done()` answers true or `timeout` has passed; answers the last
// `done()`. Spinning rather than blocking keeps a thread's wake-up latency out
// of the measured spans. It yields now and then so that on a busy machine the
// thread it waits for still gets a processor.
template <typename Done>
bool SpinUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (uint32_t spins = 1;; ++spins) {
        if (done()) return true;
        if ((spins & 0x3FF) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return done();
            if ((spins & 0xFFFF) == 0) std::this_thread::yield();
        }
    }
}

std::atomic<uint64_t> g_delivered{0};
std::atomic<bool> g_gateClosed{false};
std::atomic<bool> g_held{false};

}  // namespace

BenchEnvironment::BenchEnvironment() {
    std::error_code error;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    if (error) return;
    std::random_device random;
    const std::string name =
        "tally-bench-" + std::to_string(random()) + "-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    m_dataFolder = temp / name;
    // The ledger is "<data folder>/log/orvel.ini"; its writer never creates
    // the folder.
    if (!std::filesystem::create_directories(m_dataFolder / "log", error) || error) return;
    m_ok = SetEnv("AMBIT_DATA_DIR", m_dataFolder) && SetEnv("JOURNAL_QUIET", "1");
}

BenchEnvironment::~BenchEnvironment() {
    if (m_dataFolder.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(m_dataFolder, error);
}

namespace noop_analytics {

int32_t OnEvent(ReportData*) {
    if (g_gateClosed.load(std::memory_order_acquire)) {
        g_held.store(true, std::memory_order_release);
        SpinUntil([] { return !g_gateClosed.load(std::memory_order_acquire); },
                  std::chrono::seconds(60));
        g_held.store(false, std::memory_order_release);
    }
    g_delivered.fetch_add(1, std::memory_order_release);
    return 0;
}

int32_t OnSubmit() {
    return 0;
}

uint64_t Delivered() {
    return g_delivered.load(std::memory_order_acquire);
}

void CloseGate() {
    g_gateClosed.store(true, std::memory_order_release);
}

void OpenGate() {
    g_gateClosed.store(false, std::memory_order_release);
}

bool WaitUntilHeld(std::chrono::milliseconds timeout) {
    return SpinUntil([] { return g_held.load(std::memory_order_acquire); }, timeout);
}

bool WaitForDelivered(uint64_t count, std::chrono::milliseconds timeout) {
    return SpinUntil([count] { return g_delivered.load(std::memory_order_acquire) >= count; },
                     timeout);
}

}  // namespace noop_analytics

void StartServiceWithNoopAnalytics() {
    TallyServiceTestPeer::SetEntryPoints(&noop_analytics::OnEvent, &noop_analytics::OnSubmit);
    TallyServiceTestPeer::SetInitialized(true);
    TallyServiceTestPeer::SetImprovementEnabled(true);
    TallyService::GetInstance()->StartReportThread();
}

CallSampler::CallSampler(benchmark::State& state) : m_state(state) {
    const auto planned = static_cast<size_t>(state.max_iterations);
    m_samples.reserve(std::min<size_t>(planned, size_t{1} << 24));
}

void CallSampler::Publish() {
    if (m_samples.empty()) return;
    // Nearest rank: the smallest sample with at least q of all samples at or
    // below it.
    const auto percentile = [this](size_t percent) {
        const size_t n = m_samples.size();
        const size_t rank = std::max<size_t>((n * percent + 99) / 100, 1);
        std::nth_element(m_samples.begin(), m_samples.begin() + (rank - 1), m_samples.end());
        return static_cast<double>(m_samples[rank - 1]);
    };
    m_state.counters["p50_ns"] = percentile(50);
    m_state.counters["p99_ns"] = percentile(99);
    m_state.counters["samples"] = static_cast<double>(m_samples.size());
}

ReportData MakeTypicalRecord() {
    ReportData record;
    std::memset(&record, 0, sizeof(record));
    const char name[] = "device_remote_connect";
    std::memcpy(record.eventName, name, sizeof(name));
    // About the size of a remote-connection payload.
    std::string payload = "{\"app_plugin_ver\":\"1.0.0\",\"connect_mode\":\"KCP\"";
    while (payload.size() < 600) payload += ",\"padding\":\"0123456789abcdef\"";
    payload += "}";
    std::memcpy(record.data, payload.data(), payload.size());
    return record;
}

}  // namespace bench
}  // namespace tally
