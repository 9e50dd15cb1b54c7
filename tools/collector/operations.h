// What an operator needs from a running collector, kept apart from the
// upload path: metrics fed by the store calls and the connection queue, a
// readiness probe of the database, the plain-HTTP operator port serving
// /healthz, /readyz, /metrics and the fleet report (/dashboard), and a bound
// on how long a stop may take.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_OPERATIONS_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_OPERATIONS_H_

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "front.h"
#include "metrics.h"
#include "store.h"

namespace tally {
namespace collector {

struct OperationsOptions {
    int port = -1;  // the operator port; -1: none, 0: any free port
    std::string listen = "127.0.0.1";
    // Where the store is (a postgresql:// URI or a SQLite file), probed for readiness.
    std::string storeLocation;
    // A probe answered later than this counts as a failure.
    std::chrono::milliseconds probeBound{2000};
    std::chrono::milliseconds probeInterval{1000};
};

// Whether the database answers a trivial query now, within `bound`; on its
// own connection, so a pool kept busy by uploads does not read as "down".
bool ProbeStore(const std::string& location, std::chrono::milliseconds bound, std::string* error);

// What the measured store feeds; all live in the registry.
struct StoreMetrics {
    metrics::LabelledCounter* requests = nullptr;  // by the status answered; "dropped"
    metrics::Histogram* requestDuration = nullptr;
    metrics::Counter* batchesStored = nullptr;
    metrics::Counter* duplicates = nullptr;
    metrics::Counter* expired = nullptr;
    metrics::Counter* events = nullptr;
    metrics::Counter* unavailable = nullptr;
    metrics::LabelledCounter* deletions = nullptr;  // by outcome
    metrics::Histogram* storeDuration = nullptr;
};

class Operations {
  public:
    explicit Operations(OperationsOptions options);
    ~Operations();
    Operations(const Operations&) = delete;
    Operations& operator=(const Operations&) = delete;

    // The store with every call measured; the upload path uses this one.
    std::unique_ptr<server::Store> Meter(std::unique_ptr<server::Store> store);
    // What the public port's front counts: open connections, connections
    // refused at the cap, requests refused by the rate limit.
    FrontMetrics ForFront() const { return m_frontMetrics; }

    // Serves the fleet report from `store`'s rollups as /dashboard. Called
    // before Start; `store` outlives this object's Stop.
    void ServeDashboard(server::Store* store) { m_dashboardStore = store; }

    // Starts the probe and the operator port when one is asked for. Answers
    // false (with `error`) when the port cannot be bound.
    bool Start(std::string* error);
    // The operator port in use; 0 when there is none.
    int Port() const { return m_port; }
    void Stop();

    metrics::Registry& Registry() { return m_registry; }

  private:
    void ProbeUntilStopped();
    bool Ready() const;

    const OperationsOptions m_options;
    metrics::Registry m_registry;
    FrontMetrics m_frontMetrics;
    metrics::Gauge* m_ready;
    StoreMetrics m_storeMetrics;
    server::Store* m_dashboardStore = nullptr;

    httplib::Server m_server;
    std::thread m_serverThread;
    std::thread m_probeThread;
    int m_port = 0;

    std::mutex m_mutex;
    std::condition_variable m_stopSignal;
    bool m_stopping = false;
    // The steady clock (ms) when the last probe ended if it succeeded in
    // time; -1 after one that failed.
    std::atomic<int64_t> m_lastGoodProbeMs{-1};
};

// Ends the process if it has not finished stopping within `limit`: a store
// call may hang on a database that stopped answering. Exiting then loses
// nothing: a request not
// yet answered was not acknowledged, so its client sends it again, and the
// stores commit whole transactions or nothing.
class StopDeadline {
  public:
    StopDeadline(std::chrono::milliseconds limit, std::filesystem::path portsFile);
    ~StopDeadline();
    StopDeadline(const StopDeadline&) = delete;
    StopDeadline& operator=(const StopDeadline&) = delete;

  private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_watch;
};

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_OPERATIONS_H_
