#include "analytics_library.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
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

int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Beside the database, one byte: '1' while an opt-out waits for its deletion
// to be committed, '0' otherwise. A '1' makes the next session delete every
// unsent event before anything else, so that an opt-out survives a kill of
// the process that came before the library's thread deleted. The file is
// made at initialisation; afterwards only its byte is rewritten in place, as
// creating or removing a file on the host's thread costs milliseconds when
// the disk is busy.
std::filesystem::path OptOutMarkPath(const std::string& dbPath) {
    return std::filesystem::u8path(dbPath + "-optout");
}

// The mark's byte; 0 when the file is missing or empty.
char ReadMark(const std::filesystem::path& mark) {
    std::ifstream file(mark, std::ios::binary);
    char value = 0;
    return file.get(value) ? value : 0;
}

// Rewrites the byte of an existing mark, or makes the file when `create`.
// Closed, the byte is the system's: a kill of this process cannot take it
// back. Nothing is flushed to the disk, as for the store's own commits.
bool WriteMark(const std::filesystem::path& mark, char value, bool create) {
    std::fstream file(mark, std::ios::in | std::ios::out | std::ios::binary);
    if (!file.is_open() && create) {
        file.open(mark, std::ios::out | std::ios::binary | std::ios::trunc);
    }
    if (!file.is_open()) return false;
    file.put(value);
    file.close();
    return !file.fail();
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::status(std::filesystem::u8path(path), ec).type() !=
                                std::filesystem::file_type::not_found;
}

}  // namespace

// The uploader's way into the store: the library's connection, under its
// lock, and only for the session that started the uploader.
class AnalyticsLibrary::StoreAccess : public UploadStoreAccess {
  public:
    StoreAccess(AnalyticsLibrary* library, uint64_t session)
        : m_library(library), m_session(session) {}

    WriteStatus Pick(const UploadTuning& tuning, PickedRequest* picked, bool* found,
                     std::string* error) override {
        std::lock_guard<std::mutex> lock(m_library->m_mutex);
        *found = false;
        if (!Current(error)) return WriteStatus::Failed;
        // An opt-out still waiting for the database: what is stored there is
        // not the user's to send any more. A new id waiting: nothing goes out
        // under the retired one, or without one.
        if (m_library->m_consentChangeHeld || !m_library->m_consent) return WriteStatus::Ok;
        return m_library->m_store.PickRequest(tuning.requestBatches, kMaxBatchEvents,
                                              kMaxBatchBytes, tuning.poisonAttempts, picked, found,
                                              error);
    }
    WriteStatus Finish(const std::string& requestId, const RequestEnd& end,
                       RequestEndOutcome* outcome, std::string* error) override {
        std::lock_guard<std::mutex> lock(m_library->m_mutex);
        if (!Current(error)) return WriteStatus::Failed;
        return m_library->m_store.FinishRequest(requestId, end, outcome, error);
    }
    bool Consented() override { return m_library->m_consent; }
    // Deletion requests are durable rows already: no held change stops them.
    WriteStatus PickDeletion(PendingDeletion* deletion, bool* found, std::string* error) override {
        std::lock_guard<std::mutex> lock(m_library->m_mutex);
        *found = false;
        if (!Current(error)) return WriteStatus::Failed;
        return m_library->m_store.PickDeletion(deletion, found, error);
    }
    WriteStatus FinishDeletion(int64_t id, const DeletionEnd& end, std::string* error) override {
        std::lock_guard<std::mutex> lock(m_library->m_mutex);
        if (!Current(error)) return WriteStatus::Failed;
        return m_library->m_store.FinishDeletion(id, end, error);
    }

  private:
    // Needs m_library->m_mutex.
    bool Current(std::string* error) {
        if (m_library->m_initialized && m_library->m_session == m_session) return true;
        *error = "the session ended";
        return false;
    }
    AnalyticsLibrary* const m_library;
    const uint64_t m_session;
};

AnalyticsLibrary::AnalyticsLibrary() : AnalyticsLibrary(&SystemNowMs) {}

AnalyticsLibrary::AnalyticsLibrary(Clock clock)
    : AnalyticsLibrary(std::move(clock), UploadEnvironment()) {}

AnalyticsLibrary::AnalyticsLibrary(Clock clock, UploadEnvironment upload)
    : m_clock(std::move(clock)), m_uploadEnv(std::move(upload)) {
    if (!m_uploadEnv.steadyMs) m_uploadEnv.steadyMs = &SteadyNowMs;
    if (!m_uploadEnv.makeClient) m_uploadEnv.makeClient = &MakeHttpClient;
    if (!m_uploadEnv.random) {
        struct Engine {
            std::mutex mutex;
            std::mt19937_64 engine{std::random_device()()};
        };
        auto shared = std::make_shared<Engine>();
        // A stopped session's thread may still draw while the next one runs.
        m_uploadEnv.random = [shared] {
            std::lock_guard<std::mutex> lock(shared->mutex);
            return shared->engine();
        };
    }
}

AnalyticsLibrary::~AnalyticsLibrary() {
    // The object goes: the upload thread must be gone first, however long.
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    StopUpload(-1);
    std::unique_lock<std::mutex> lock(m_mutex);
    ShutdownLocked(&lock);
}

void AnalyticsLibrary::StopUpload(int64_t limitMs) {
    std::shared_ptr<UploadThread> thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        thread = std::move(m_uploadThread);
        m_manualUploader.reset();
        // From here on the stopped uploader's writes are refused.
        ++m_session;
    }
    if (thread && !thread->Stop(limitMs)) {
        m_log.Write(LogLevel::Warning, "upload: the upload thread did not stop within " +
                                           std::to_string(limitMs) +
                                           " ms; it ends on its own, its request is resent later");
    }
}

std::unique_ptr<Uploader> AnalyticsLibrary::PrepareUploadLocked(const ReportConfig& config,
                                                                Identity* identity) {
    identity->certParam1 = config.certParam1;
    identity->certParam2 = config.certParam2;
    std::vector<std::string> warnings;
    UploadKnobs knobs = UploadKnobsFromEnvironment(&warnings);
    for (const std::string& warning : warnings) m_log.Write(LogLevel::Warning, warning);
    UploadSettings settings;
    FieldText(config.cacertPath, sizeof(config.cacertPath), &settings.tls.caFile);
    FieldText(config.pubkeyPath, sizeof(config.pubkeyPath), &settings.tls.pinnedKeyFile);
    settings.tls.allowPlainHttp = knobs.allowPlainHttp;
    identity->uploadTls =
        (FileExists(settings.tls.caFile) ? "ca file " + settings.tls.caFile : "system trust") +
        (FileExists(settings.tls.pinnedKeyFile) ? ", pinned key " + settings.tls.pinnedKeyFile
                                                : "");
    std::string why;
    settings.url = UploadUrl(identity->domain, knobs.allowPlainHttp, &why);
    std::string params = "certParam1 " + std::to_string(config.certParam1) + ", certParam2 " +
                         std::to_string(config.certParam2) + " (recorded, unused)";
    if (!knobs.enabled || settings.url.empty()) {
        m_log.Write(LogLevel::Info, "upload: off (" +
                                        (knobs.enabled ? why : std::string(kEnvUpload) + "=0") +
                                        "); events are stored only; " + params);
        return nullptr;
    }
    settings.dbPath = m_store.Path();
    settings.identity = *identity;
    settings.tuning = knobs.tuning;
    settings.makeClient = m_uploadEnv.makeClient;
    UploadClocks clocks{m_clock, m_uploadEnv.steadyMs, m_uploadEnv.random};
    m_log.Write(LogLevel::Info,
                "upload: to " + settings.url + ", trust " + identity->uploadTls + "; " + params);
    return std::make_unique<Uploader>(std::move(settings), std::move(clocks),
                                      std::make_shared<StoreAccess>(this, m_session), &m_log);
}

int32_t AnalyticsLibrary::SetConsent(int32_t optedIn) {
    std::shared_ptr<UploadThread> thread;
    std::shared_ptr<Uploader> manual;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized) return 0;
        bool consent = optedIn != 0;
        if (consent == m_consent) return 1;
        m_consent = consent;
        thread = m_uploadThread;
        manual = m_manualUploader;
        if (!consent) {
            // What waits in memory goes too; the submits and counts stay.
            for (auto it = m_held.begin(); it != m_held.end();) {
                it = it->kind == PendingOp::Kind::Event ? m_held.erase(it) : std::next(it);
            }
            m_counterDelta[kCounterConsentDeletedEvents] += static_cast<int64_t>(m_heldEvents);
            m_heldEvents = 0;
            // Deleting a full store takes tens of milliseconds, too long for
            // the host's thread that calls this. The mark's byte makes the
            // opt-out survive a kill instead, and the library's thread
            // deletes; a session that finds the mark set deletes first.
            // Where the mark cannot be written the deletion is committed here.
            HoldForgetLocked();
            if (WriteOptOutMarkLocked()) {
                m_wake.notify_one();
            } else {
                FlushLocked();
            }
            m_log.Write(LogLevel::Info,
                        "consent withdrawn: the stored events are deleted and the server is "
                        "asked to delete what it holds; nothing else is sent until consent "
                        "is given again");
        } else {
            // In order behind an opt-out that may still wait: the new id is
            // made after the old one was retired.
            HoldNewInstallIdLocked();
            m_wake.notify_one();
            m_log.Write(LogLevel::Info, "consent given: uploading resumes");
        }
    }
    // Outside the lock: the client's cancel and the thread's wake.
    if (!optedIn) {
        if (thread) thread->Cancel();
        if (manual) manual->Cancel();
    } else if (thread) {
        thread->Wake();
    }
    return 1;
}

void AnalyticsLibrary::HoldForgetLocked() {
    PendingOp forget;
    forget.kind = PendingOp::Kind::Forget;
    forget.timeMs = m_clock();
    HoldLocked(std::move(forget));
    m_consentChangeHeld = true;
}

void AnalyticsLibrary::HoldNewInstallIdLocked() {
    PendingOp make;
    make.kind = PendingOp::Kind::NewInstallId;
    make.timeMs = m_clock();
    HoldLocked(std::move(make));
    m_consentChangeHeld = true;
}

bool AnalyticsLibrary::WriteOptOutMarkLocked() {
    if (m_optOutMarked) return true;
    const std::filesystem::path mark = OptOutMarkPath(m_store.Path());
    if (!WriteMark(mark, '1', true)) {
        m_log.Write(LogLevel::Warning,
                    "cannot write " + mark.u8string() + "; deleting the stored events at once");
        return false;
    }
    m_optOutMarked = true;
    return true;
}

void AnalyticsLibrary::RemoveOptOutMarkLocked() {
    WriteMark(OptOutMarkPath(m_store.Path()), '0', false);
    m_optOutMarked = false;
}

int64_t AnalyticsLibrary::UploadStep() {
    std::shared_ptr<Uploader> uploader;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        uploader = m_manualUploader;
    }
    return uploader ? uploader->Step() : Uploader::kIdle;
}

int32_t AnalyticsLibrary::Init(const ReportConfig* config) {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    StopUpload(kUploadStopWaitMs);
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
    std::unique_ptr<Uploader> uploader = PrepareUploadLocked(*config, &identity);
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
    // An opt-out that an earlier session did not get to delete: it goes
    // first, in the flush below, before the upload thread can pick anything.
    const std::filesystem::path mark = OptOutMarkPath(dbPath);
    const char marked = ReadMark(mark);
    m_optOutMarked = marked == '1';
    if (marked == 0) WriteMark(mark, '0', true);
    if (m_optOutMarked) {
        m_log.Write(LogLevel::Info,
                    "an earlier opt-out was not yet carried out; deleting the stored events first");
        HoldForgetLocked();
    }
    // A new store, one migrated from before installation ids, or one whose id
    // an opt-out retired gets its id now; with consent withdrawn earlier in
    // this process, only when it is given again.
    if (m_consent) HoldNewInstallIdLocked();
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
    if (uploader && m_uploadEnv.manual) {
        m_manualUploader = std::move(uploader);
    } else if (uploader) {
        // Its first round looks for what earlier sessions left.
        m_uploadThread = std::make_shared<UploadThread>(std::move(uploader));
    }
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
    if (!m_consent) {
        // The user opted out: an event that reaches the library now (one
        // handed over just before the opt-out) is not kept, or a later
        // opt-in would send it.
        ++m_counterDelta[kCounterConsentDeletedEvents];
        FlushLocked();
        return 0;
    }
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
    // Only a wake: the uploader's schedule decides whether it sends now.
    if (m_uploadThread) m_uploadThread->Wake();
    return 1;
}

size_t AnalyticsLibrary::HeldChanges() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.size();
}

void AnalyticsLibrary::StopUploadForExit() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    StopUpload(kUploadStopWaitMs);
}

void AnalyticsLibrary::Shutdown() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    StopUpload(kUploadStopWaitMs);
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
    // An unwritten opt-out stays in its mark file for the next session.
    m_consentChangeHeld = false;
    m_optOutMarked = false;
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
    m_consentChangeHeld = false;
    if (m_optOutMarked) RemoveOptOutMarkLocked();
    for (const std::string& retired : outcome.retiredInstallIds) {
        m_log.Write(LogLevel::Info, "installation id " + retired +
                                        " retired; a request to delete what the server holds "
                                        "of it waits to be sent");
    }
    if (!outcome.newInstallId.empty()) {
        m_log.Write(LogLevel::Info, "installation id " + outcome.newInstallId + " made");
    }
    // A deletion request to send, or batches no longer held back by a
    // waiting consent change.
    if ((!outcome.retiredInstallIds.empty() || !outcome.newInstallId.empty()) && m_uploadThread) {
        m_uploadThread->Wake();
    }
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
