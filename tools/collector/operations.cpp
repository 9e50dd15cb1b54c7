#include "operations.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "collector_request.h"
#include "dashboard.h"

#ifdef TALLY_WITH_POSTGRES
#include <libpq-fe.h>
#endif

namespace tally {
namespace collector {
namespace {

using server::RequestRecord;
using server::Store;
using server::StoreOutcome;
using server::StoreStatus;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Seconds, from a fast answer on loopback to the store's longest wait.
const std::vector<double> kDurationBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                             0.25,  0.5,    1,     2.5,  5,     10};

// Forwards every call and counts what it answered. The request log is
// written once per answered (or dropped) upload request, so it is also where
// requests are counted by status and timed from their arrival.
class MeteredStore : public Store {
  public:
    MeteredStore(std::unique_ptr<Store> inner, const StoreMetrics& metrics)
        : m_inner(std::move(inner)), m_metrics(metrics) {}

    StoreOutcome StoreUpload(const Upload& upload, const std::string& idempotencyKey,
                             int64_t nowMs) override {
        const auto started = std::chrono::steady_clock::now();
        StoreOutcome outcome = m_inner->StoreUpload(upload, idempotencyKey, nowMs);
        m_metrics.storeDuration->ObserveSeconds(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        if (outcome.status == StoreStatus::Stored) {
            m_metrics.batchesStored->Add(outcome.batchesNew);
            m_metrics.duplicates->Add(outcome.batchesDuplicate);
            m_metrics.expired->Add(outcome.batchesExpired);
            m_metrics.events->Add(outcome.eventsNew);
        } else if (outcome.status == StoreStatus::Unavailable) {
            m_metrics.unavailable->Add();
        }
        return outcome;
    }

    void LogRequest(const RequestRecord& record) override {
        m_metrics.requests->Add(record.status == 0 ? "dropped" : std::to_string(record.status));
        m_metrics.requestDuration->ObserveSeconds(
            static_cast<double>(WallClockMs() - record.receiveMs) / 1000.0);
        m_inner->LogRequest(record);
    }

    bool Maintain(int64_t nowMs, std::string* error) override {
        return m_inner->Maintain(nowMs, error);
    }
    bool Rollups(const server::RollupQuery& query, std::vector<server::RollupRow>* rows,
                 std::string* error) override {
        return m_inner->Rollups(query, rows, error);
    }
    server::DeletionOutcome DeleteInstallation(const std::string& installId,
                                               int64_t nowMs) override {
        server::DeletionOutcome outcome = m_inner->DeleteInstallation(installId, nowMs);
        m_metrics.deletions->Add(outcome.status == StoreStatus::Stored        ? "deleted"
                                 : outcome.status == StoreStatus::Unavailable ? "unavailable"
                                                                              : "failed");
        return outcome;
    }
    bool Show(std::ostream& out, int eventLimit, std::string* error) override {
        return m_inner->Show(out, eventLimit, error);
    }
    bool Totals(server::StoreTotals* totals, std::string* error) override {
        return m_inner->Totals(totals, error);
    }

  private:
    const std::unique_ptr<Store> m_inner;
    const StoreMetrics m_metrics;
};

bool ProbeSqlite(const std::string& path, std::chrono::milliseconds bound, std::string* error) {
    sqlite3* db = nullptr;
    // Read-only and never creating: a missing file is a failure, not a new database.
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, static_cast<int>(bound.count()));
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) *error = db ? sqlite3_errmsg(db) : "cannot open " + path;
    sqlite3_close(db);
    return rc == SQLITE_OK;
}

#ifdef TALLY_WITH_POSTGRES
bool ProbePostgres(const std::string& uri, std::chrono::milliseconds bound, std::string* error) {
    const std::string timeout = std::to_string(std::max<int64_t>(1, (bound.count() + 999) / 1000));
    const char* keys[] = {"dbname", "connect_timeout", nullptr};
    const char* values[] = {uri.c_str(), timeout.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        const std::string query =
            "SET statement_timeout = " + std::to_string(bound.count()) + "; SELECT 1";
        PGresult* result = PQexec(conn, query.c_str());
        ok = PQresultStatus(result) == PGRES_TUPLES_OK;
        PQclear(result);
    }
    if (!ok) *error = PQerrorMessage(conn);
    PQfinish(conn);
    return ok;
}
#endif

}  // namespace

bool ProbeStore(const std::string& location, std::chrono::milliseconds bound, std::string* error) {
    if (server::IsPostgresLocation(location)) {
#ifdef TALLY_WITH_POSTGRES
        return ProbePostgres(location, bound, error);
#else
        *error = "this build has no PostgreSQL client";
        return false;
#endif
    }
    return ProbeSqlite(location, bound, error);
}

Operations::Operations(OperationsOptions options) : m_options(std::move(options)) {
    metrics::Registry& r = m_registry;
    m_storeMetrics.requests = r.AddLabelledCounter(
        "tally_requests_total", "status",
        "Upload requests answered, by HTTP status (\"dropped\": closed unanswered on purpose)");
    m_storeMetrics.requestDuration =
        r.AddHistogram("tally_request_duration_seconds",
                       "Upload requests, from their headers read to the answer", kDurationBounds);
    m_storeMetrics.batchesStored =
        r.AddCounter("tally_batches_stored_total", "Batches committed for the first time");
    m_storeMetrics.duplicates = r.AddCounter("tally_batch_duplicates_total",
                                             "Batches acknowledged again without being stored");
    m_storeMetrics.expired = r.AddCounter("tally_batches_expired_total",
                                          "Batches older than the retention, acknowledged only");
    m_storeMetrics.events = r.AddCounter("tally_events_stored_total", "Events committed");
    m_storeMetrics.unavailable = r.AddCounter("tally_store_unavailable_total",
                                              "Upload requests the database could not take (503)");
    m_storeMetrics.deletions = r.AddLabelledCounter(
        "tally_deletions_total", "outcome",
        "Installation deletions the store was asked for: deleted, unavailable (503) or failed");
    m_storeMetrics.storeDuration = r.AddHistogram(
        "tally_store_commit_duration_seconds",
        "One request's store call: waiting for a connection and the group commit included",
        kDurationBounds);
    m_frontMetrics.open =
        r.AddGauge("tally_open_connections", "Upload connections accepted and not yet closed");
    m_frontMetrics.refusedAtCap =
        r.AddCounter("tally_connections_refused_total",
                     "Upload connections closed at accept: the open connections were at the cap");
    m_frontMetrics.rateLimited = r.AddCounter(
        "tally_rate_limited_total", "Upload requests answered 429 by the per-address rate limit");
    m_ready = r.AddGauge("tally_store_ready", "1 while the last database probe succeeded in time");
}

Operations::~Operations() {
    Stop();
}

std::unique_ptr<server::Store> Operations::Meter(std::unique_ptr<server::Store> store) {
    if (!store) return store;
    return std::make_unique<MeteredStore>(std::move(store), m_storeMetrics);
}

bool Operations::Ready() const {
    const int64_t last = m_lastGoodProbeMs.load();
    // The probe that should have followed has had its interval and its bound.
    return last >= 0 &&
           SteadyMs() - last <= (m_options.probeInterval + m_options.probeBound).count();
}

void Operations::ProbeUntilStopped() {
    bool wasGood = true;  // so that a database down from the start is reported
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        const int64_t started = SteadyMs();
        std::string error;
        const bool answered = ProbeStore(m_options.storeLocation, m_options.probeBound, &error);
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        const int64_t ended = SteadyMs();
        const bool good = answered && ended - started <= m_options.probeBound.count();
        // A failure counts at once; a probe that hangs, once the last good one is stale.
        m_lastGoodProbeMs = good ? ended : -1;
        m_ready->Set(good ? 1 : 0);
        if (good != wasGood) {
            // Once per change, not per probe.
            if (good) {
                std::fprintf(stderr, "tally-collector: database answering again\n");
            } else {
                std::fprintf(stderr, "tally-collector: not ready: %s\n",
                             answered ? "database answered too late" : error.c_str());
            }
            std::fflush(stderr);
            wasGood = good;
        }
        lock.lock();
        m_stopSignal.wait_for(lock, m_options.probeInterval, [this] { return m_stopping; });
    }
}

bool Operations::Start(std::string* error) {
    m_probeThread = std::thread([this] { ProbeUntilStopped(); });
    if (m_options.port < 0) return true;
    m_server.new_task_queue = [] { return new httplib::ThreadPool(2); };
    m_server.set_payload_max_length(4096);
    m_server.set_read_timeout(std::chrono::seconds(5));
    m_server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok\n", "text/plain");
    });
    m_server.Get("/readyz", [this](const httplib::Request&, httplib::Response& response) {
        const bool ready = Ready();
        response.status = ready ? 200 : 503;
        response.set_content(ready ? "ready\n" : "database not answering\n", "text/plain");
    });
    m_server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(m_registry.Render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (m_dashboardStore) {
        server::Store* store = m_dashboardStore;
        m_server.Get("/dashboard", [store](const httplib::Request& request,
                                           httplib::Response& response) {
            server::RollupQuery range;
            range.fromDay = request.get_param_value("from");
            range.toDay = request.get_param_value("to");
            const bool days = (range.fromDay.empty() || report::IsDay(range.fromDay)) &&
                              (range.toDay.empty() || report::IsDay(range.toDay));
            if (!days || (!range.toDay.empty() && range.fromDay > range.toDay)) {
                std::fprintf(
                    stderr, "tally-collector: /dashboard: refused the range from=%s to=%s\n",
                    Printable(range.fromDay, 40).c_str(), Printable(range.toDay, 40).c_str());
                std::fflush(stderr);
                response.status = 400;
                response.set_content("from and to are days (YYYY-MM-DD), from no later than to\n",
                                     "text/plain");
                return;
            }
            std::string page, error;
            // Built afresh from the rollups on every request: a report is
            // asked for rarely, and never shows a stale day.
            if (!report::BuildDashboard(*store, range, &page, &error)) {
                const std::string reason = Printable(error, 300);
                std::fprintf(stderr, "tally-collector: /dashboard: %s\n", reason.c_str());
                std::fflush(stderr);
                response.status = 503;
                response.set_content("the store cannot answer now: " + reason + "\n", "text/plain");
                return;
            }
            response.set_header("Cache-Control", "no-store");
            response.set_content(page, "text/html; charset=utf-8");
        });
    }
    const int port =
        m_options.port == 0
            ? m_server.bind_to_any_port(m_options.listen)
            : (m_server.bind_to_port(m_options.listen, m_options.port) ? m_options.port : -1);
    if (port <= 0) {
        *error = "cannot listen on " + m_options.listen + ":" + std::to_string(m_options.port) +
                 " for the operator port";
        return false;
    }
    m_serverThread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_port = port;
    return true;
}

void Operations::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_stopSignal.notify_all();
    }
    if (m_serverThread.joinable()) {
        m_server.stop();
        m_serverThread.join();
    }
    if (m_probeThread.joinable()) m_probeThread.join();
}

StopDeadline::StopDeadline(std::chrono::milliseconds limit, std::filesystem::path portsFile) {
    m_watch = std::thread([this, limit, portsFile] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_done.wait_for(lock, limit, [this] { return m_finished; })) return;
        std::error_code ec;
        std::filesystem::remove(portsFile, ec);
        std::fprintf(stderr,
                     "tally-collector: connections still open after %lld ms; exiting anyway\n",
                     static_cast<long long>(limit.count()));
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(0);
    });
}

StopDeadline::~StopDeadline() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_done.notify_all();
    }
    m_watch.join();
}

}  // namespace collector
}  // namespace tally
