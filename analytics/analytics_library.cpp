#include "analytics_library.h"

#include <chrono>
#include <utility>
#include <vector>

#include "store_schema.h"

namespace tally {

namespace {

// How soon the library's thread tries again after a write that found the
// database locked by another process, and after one that failed outright.
constexpr std::chrono::milliseconds kBusyRetry(50);
constexpr std::chrono::milliseconds kFailureRetry(1000);

int64_t SystemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Quoted(const std::string& text) {
    return "\"" + Printable(text, 80) + "\"";
}

}  // namespace

AnalyticsLibrary::AnalyticsLibrary() : AnalyticsLibrary(&SystemNowMs) {}

AnalyticsLibrary::AnalyticsLibrary(Clock clock) : m_clock(std::move(clock)) {}

AnalyticsLibrary::~AnalyticsLibrary() {
    Shutdown();
}

int32_t AnalyticsLibrary::Init(const ReportConfig* config) {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    std::unique_lock<std::mutex> lock(m_mutex);
    ShutdownLocked(&lock);

    if (config == nullptr) {
        m_log.Write(LogLevel::Error, "init refused: no configuration record");
        return 0;
    }
    // The log comes first so that every later refusal lands in it; while its
    // own fields are unusable, lines go to the standard error stream.
    std::string logDir;
    std::string logFileName;
    if (FieldText(config->logDir, sizeof(config->logDir), &logDir) &&
        FieldText(config->logFileName, sizeof(config->logFileName), &logFileName)) {
        std::string error;
        if (!m_log.Open(logDir, logFileName, &error)) m_log.Write(LogLevel::Warning, error);
    }
    std::string unterminated = FindUnterminatedConfigField(*config);
    if (!unterminated.empty()) {
        m_log.Write(LogLevel::Error, "init refused: field " + unterminated +
                                         " is not NUL-terminated within its width");
        return 0;
    }
    Identity identity;
    std::string dbPath;
    FieldText(config->appid, sizeof(config->appid), &identity.appid);
    FieldText(config->appversion, sizeof(config->appversion), &identity.appversion);
    FieldText(config->deviceType, sizeof(config->deviceType), &identity.deviceType);
    FieldText(config->tag, sizeof(config->tag), &identity.tag);
    FieldText(config->domain, sizeof(config->domain), &identity.domain);
    FieldText(config->dbPath, sizeof(config->dbPath), &dbPath);

    std::vector<std::string> warnings;
    StoreLimits limits = LimitsFromEnvironment(&warnings);
    for (const std::string& warning : warnings) m_log.Write(LogLevel::Warning, warning);

    std::string error;
    if (!m_store.Open(dbPath, &error)) {
        m_log.Write(LogLevel::Error, "init refused: " + error);
        return 0;
    }
    WriteStatus status = m_store.WriteMeta(identity, limits, m_clock(), &error);
    if (status == WriteStatus::Failed) {
        m_log.Write(LogLevel::Error, "init refused: " + error);
        m_store.Close();
        return 0;
    }
    if (status == WriteStatus::Busy) {
        m_log.Write(LogLevel::Warning, "identity not recorded, the database is locked: " + error);
    }
    m_limits = limits;
    m_identity = identity;
    m_initialized = true;
    m_log.Write(LogLevel::Info,
                "initialised: database " + dbPath + " (" + std::to_string(m_store.EventCount()) +
                    " events, " + std::to_string(m_store.StoredBytes()) + " bytes stored; caps " +
                    std::to_string(limits.maxEvents) + " events, " +
                    std::to_string(limits.maxBytes) + " bytes); appid " + Quoted(identity.appid) +
                    ", appversion " + Quoted(identity.appversion) + ", deviceType " +
                    Quoted(identity.deviceType) + ", tag " + Quoted(identity.tag) + ", domain " +
                    Quoted(identity.domain));
    // Caps lowered since the last session take effect now.
    FlushLocked(true);
    m_store.SetWalPagesCallback([this](int pages) {
        // Runs inside a commit, with m_mutex held by the committing thread.
        m_walPages = pages;
        if (pages >= kCheckpointPages && !m_checkpointWanted) {
            m_checkpointWanted = true;
            m_wake.notify_one();
        }
    });
    m_stopWorker = false;
    m_worker = std::thread(&AnalyticsLibrary::WorkerMain, this);
    return 1;
}

int32_t AnalyticsLibrary::OnEvent(const ReportData* record) {
    PendingOp op;
    std::string detail;
    RecordProblem problem = record == nullptr
                                ? RecordProblem::NullRecord
                                : CopyAndCheckRecord(*record, &op.name, &op.payload, &detail);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_initialized) return 0;
    if (problem != RecordProblem::None) {
        std::string reason = RecordProblemName(problem);
        ++m_counterDelta[kCounterRejectedEvents];
        ++m_counterDelta[kCounterRejectedPrefix + reason];
        m_log.Write(LogLevel::Warning, "event rejected (" + reason + "): name " + Quoted(op.name) +
                                           (detail.empty() ? "" : ": " + Printable(detail, 160)));
        FlushLocked();
        return 0;
    }
    op.kind = PendingOp::Kind::Event;
    op.timeMs = m_clock();
    HoldLocked(std::move(op));
    FlushLocked();
    return 1;
}

int32_t AnalyticsLibrary::OnSubmit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_initialized) return 0;
    PendingOp op;
    op.kind = PendingOp::Kind::Submit;
    op.timeMs = m_clock();
    HoldLocked(std::move(op));
    FlushLocked();
    return 1;
}

size_t AnalyticsLibrary::HeldChanges() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.size();
}

void AnalyticsLibrary::Shutdown() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    std::unique_lock<std::mutex> lock(m_mutex);
    ShutdownLocked(&lock);
}

void AnalyticsLibrary::ShutdownLocked(std::unique_lock<std::mutex>* lock) {
    if (!m_initialized) return;
    m_initialized = false;
    if (!FlushLocked()) {
        m_log.Write(LogLevel::Error, "closing with " + std::to_string(m_heldEvents) +
                                         " events that could not be stored; they are lost");
    }
    m_held.clear();
    m_heldEvents = 0;
    m_counterDelta.clear();
    m_writeTrouble = false;
    m_stopWorker = true;
    m_wake.notify_one();
    // The thread needs the lock to see the request and to finish a round.
    lock->unlock();
    if (m_worker.joinable()) m_worker.join();
    lock->lock();
    m_checkpointWanted = false;
    m_checkpointTrouble = false;
    m_store.SetWalPagesCallback(nullptr);
    m_store.Close();
    m_log.Write(LogLevel::Info, "closed");
    m_log.Close();
}

void AnalyticsLibrary::HoldLocked(PendingOp op) {
    if (op.kind == PendingOp::Kind::Event) ++m_heldEvents;
    m_held.push_back(std::move(op));
    if (m_heldEvents <= kMaxHeldEvents) return;
    // Memory is bounded too: the oldest waiting event goes, as at the cap.
    for (auto it = m_held.begin(); it != m_held.end(); ++it) {
        if (it->kind != PendingOp::Kind::Event) continue;
        ++m_counterDelta[kCounterEvictedEvents];
        m_counterDelta[kCounterEvictedBytes] +=
            static_cast<int64_t>(it->name.size() + it->payload.size());
        m_log.Write(LogLevel::Warning, "more than " + std::to_string(kMaxHeldEvents) +
                                           " events wait for the database; evicted the oldest, " +
                                           Quoted(it->name));
        m_held.erase(it);
        --m_heldEvents;
        break;
    }
}

bool AnalyticsLibrary::FlushLocked(bool always) {
    if (!always && m_held.empty() && m_counterDelta.empty()) return true;
    ApplyOutcome outcome;
    std::string error;
    WriteStatus status = m_store.Apply(m_held, m_counterDelta, m_limits, &outcome, &error);
    if (status != WriteStatus::Ok) {
        bool busy = status == WriteStatus::Busy;
        if (!m_writeTrouble || busy != m_lastWriteBusy) {
            m_log.Write(busy ? LogLevel::Warning : LogLevel::Error,
                        std::string(busy ? "database locked by another process"
                                         : "cannot write to the database") +
                            " (" + error + "); " + std::to_string(m_heldEvents) +
                            " events wait in memory and will be retried");
        }
        m_writeTrouble = true;
        m_lastWriteBusy = busy;
        m_wake.notify_one();
        return false;
    }
    if (m_writeTrouble) {
        m_log.Write(LogLevel::Info, "database writable again; stored " +
                                        std::to_string(outcome.storedEvents) + " waiting events");
        m_writeTrouble = false;
    }
    m_held.clear();
    m_heldEvents = 0;
    m_counterDelta.clear();
    if (outcome.evictedEvents > 0) {
        m_log.Write(LogLevel::Info, "evicted " + std::to_string(outcome.evictedEvents) +
                                        " oldest events (" + std::to_string(outcome.evictedBytes) +
                                        " bytes) to stay within " +
                                        std::to_string(m_limits.maxEvents) + " events and " +
                                        std::to_string(m_limits.maxBytes) + " bytes");
    }
    for (const BatchInfo& batch : outcome.batches) {
        m_log.Write(LogLevel::Info, "batch " + std::to_string(batch.id) +
                                        " ready: " + std::to_string(batch.eventCount) +
                                        " events, sequence " + std::to_string(batch.firstSeq) +
                                        " to " + std::to_string(batch.lastSeq));
    }
    return true;
}

void AnalyticsLibrary::WorkerMain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        auto due = [this] { return m_stopWorker || m_checkpointWanted; };
        if (m_held.empty() && m_counterDelta.empty()) {
            m_wake.wait(lock, [&] { return due() || !m_held.empty() || !m_counterDelta.empty(); });
        } else {
            m_wake.wait_for(lock, m_lastWriteBusy ? kBusyRetry : kFailureRetry, due);
        }
        if (m_stopWorker) return;
        if (!m_held.empty() || !m_counterDelta.empty()) FlushLocked();
        if (!m_checkpointWanted) continue;
        m_checkpointWanted = false;
        std::string path = m_store.Path();
        // The checkpoint waits for the disk: never under the lock, so that
        // events keep being stored meanwhile.
        lock.unlock();
        std::string error;
        WriteStatus status = EventStore::Checkpoint(path, &error);
        lock.lock();
        if (status == WriteStatus::Ok && m_walPages >= kForcedCheckpointPages) {
            // Writers outpace the checkpoint. Under the lock no commit can
            // come in, so this one completes and the next commit restarts
            // the log. Only a flood of events ever gets here.
            status = EventStore::Checkpoint(path, &error);
            m_walPages = 0;
        }
        bool trouble = status == WriteStatus::Failed;
        if (trouble && !m_checkpointTrouble) {
            m_log.Write(LogLevel::Warning, "checkpoint of " + path + " failed: " + error);
        }
        m_checkpointTrouble = trouble;
    }
}

}  // namespace tally
