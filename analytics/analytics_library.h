// The reference analytics library behind the three C entry points: checks
// what the service hands over, stores events durably and bounded, and marks
// them in batches, and sends the batches to the configured server on an
// upload thread of its own (upload/uploader.h).
//
// Threads. Every public member is thread-safe. OnEvent and OnSubmit do their
// work on the calling thread in one short write transaction that never waits
// for the disk or for another process; whatever cannot be written at once
// (another process holds the database) waits in memory, in order, and the
// library's own thread retries it. That thread also moves the write-ahead log
// into the database (the one step that waits for the disk), on a connection
// of its own.
#ifndef TALLYSERVICE_ANALYTICS_ANALYTICS_LIBRARY_H_
#define TALLYSERVICE_ANALYTICS_ANALYTICS_LIBRARY_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "TallyApi.h"
#include "event_store.h"
#include "library_log.h"
#include "record_check.h"
#include "store_limits.h"
#include "upload/uploader.h"

namespace tally {

// After a commit leaves this many pages in the write-ahead log, the library's
// thread checkpoints it (SQLite's own default threshold).
constexpr int kCheckpointPages = 1000;
// A checkpoint that runs beside the writers completes only if no commit comes
// in meanwhile, and the log restarts from its beginning only after a complete
// one. When a flood of events keeps the log growing past this many pages, the
// library's thread finishes the checkpoint while writers wait for it.
constexpr int kForcedCheckpointPages = 4 * kCheckpointPages;

// How the uploader meets the world; tests replace every part.
struct UploadEnvironment {
    std::function<int64_t()> steadyMs;  // default: the steady clock
    std::function<uint64_t()> random;   // default: seeded from the system
    // default: MakeHttpClient, the platform's client
    std::function<std::unique_ptr<HttpClient>(const TlsSettings&)> makeClient;
    // No upload thread: the rounds run only through UploadStep().
    bool manual = false;
};

// How long Shutdown (and a repeated Init) waits for the upload thread before
// it lets the thread end on its own.
constexpr int64_t kUploadStopWaitMs = 2000;

class AnalyticsLibrary {
  public:
    // Milliseconds since 1970-01-01 UTC.
    using Clock = std::function<int64_t()>;

    AnalyticsLibrary();
    explicit AnalyticsLibrary(Clock clock);
    AnalyticsLibrary(Clock clock, UploadEnvironment upload);
    // Shuts down (see Shutdown).
    ~AnalyticsLibrary();
    AnalyticsLibrary(const AnalyticsLibrary&) = delete;
    AnalyticsLibrary& operator=(const AnalyticsLibrary&) = delete;

    // Checks that every text field of `config` is NUL-terminated within its
    // width, opens the log (logDir + logFileName), opens or creates the
    // database at dbPath with its folder, reads the caps from the
    // environment, evicts down to them, records the identity, and starts the
    // library's thread. Answers 1, or 0 with the reason in the log. Calling
    // it again shuts the current session down first.
    int32_t Init(const ReportConfig* config);

    // Validates and stores one event with the next sequence number and the
    // time of receipt. The record is copied before this returns. Answers 1
    // when the event is stored (or waits in memory to be), 0 when it was
    // rejected (counted and logged) or the library is not initialised.
    int32_t OnEvent(const ReportData* record);

    // Marks every event received so far that is not yet in a batch as one
    // batch ready to send. Answers 1, or 0 when not initialised.
    int32_t OnSubmit();

    // The user's consent to sending. 0: every stored event the server has not
    // accepted is deleted, the request in flight is abandoned, events that
    // arrive are dropped (counted) and nothing is sent until 1. Before this
    // returns, the mark file `<dbPath>-optout` beside the database records
    // the opt-out (one byte rewritten in place, no wait for the disk); the
    // library's thread then deletes the events, retires the installation id
    // with a deletion request for the server (sent by the upload thread, the
    // only thing sent while opted out) and clears the mark, and the
    // next Init deletes first if the mark is still set, so a kill of the
    // process right after cannot undo it. Where the mark cannot be written
    // the deletion is committed here instead. Until it is done nothing is
    // picked for sending. A repeated 0 changes nothing. Never waits for the
    // network. 1 after 0: a new installation id is made. Answers 1, or 0
    // (and does nothing) when not initialised.
    int32_t SetConsent(int32_t optedIn);

    // With UploadEnvironment::manual: one round of the uploader on the
    // calling thread. Answers when the next round is due (steady ms), or
    // Uploader::kIdle (also when no uploader runs).
    int64_t UploadStep();

    // At process exit: cancels the request in flight and waits (at most
    // kUploadStopWaitMs) for the upload thread to stop; nothing else.
    void StopUploadForExit();

    // Writes what still waits in memory, stops the library's thread and
    // closes the database and the log. Later calls answer 0 until Init.
    void Shutdown();

    // Changes that wait in memory for the database (events and submits).
    size_t HeldChanges();

  private:
    class StoreAccess;
    friend class StoreAccess;

    // Stops the upload thread of the current session, waiting at most
    // `limitMs` (negative: until it ended). Takes m_mutex briefly.
    void StopUpload(int64_t limitMs);
    // Fills the upload fields of `identity`; answers the session's uploader,
    // or null when nothing is to be sent.
    std::unique_ptr<Uploader> PrepareUploadLocked(const ReportConfig& config, Identity* identity);
    void ShutdownLocked(std::unique_lock<std::mutex>* lock);
    // Writes what waits in memory; with `always`, also when nothing waits
    // (to evict down to caps that were lowered).
    bool FlushLocked(bool always = false);
    void HoldLocked(PendingOp op);
    void HoldForgetLocked();
    void HoldNewInstallIdLocked();
    // Answers false when the mark could not be written.
    bool WriteOptOutMarkLocked();
    void RemoveOptOutMarkLocked();
    void WorkerMain();

    const Clock m_clock;
    UploadEnvironment m_uploadEnv;
    std::atomic<bool> m_consent{true};
    LibraryLog m_log;  // thread-safe on its own

    // Serialises Init and Shutdown, which stop and start the thread.
    std::mutex m_lifecycleMutex;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Everything below is guarded by m_mutex.
    bool m_initialized = false;
    EventStore m_store;
    StoreLimits m_limits;
    Identity m_identity;
    std::deque<PendingOp> m_held;                   // not yet written, in arrival order
    size_t m_heldEvents = 0;                        // events among m_held
    std::map<std::string, int64_t> m_counterDelta;  // counts not yet written
    // An opt-out or a new installation id waits in m_held: nothing is picked
    // to send, as the store's events and id are about to change.
    bool m_consentChangeHeld = false;
    bool m_optOutMarked = false;   // the mark beside the database is set
    bool m_writeTrouble = false;   // the last write failed; logged once
    bool m_lastWriteBusy = false;  // ... because the database was locked
    bool m_checkpointWanted = false;
    int m_walPages = 0;  // pages in the write-ahead log after the last commit
    bool m_checkpointTrouble = false;
    bool m_stopWorker = false;
    std::thread m_worker;
    uint64_t m_session = 0;  // counts Init calls; a stopped uploader's writes are refused
    std::shared_ptr<UploadThread> m_uploadThread;
    std::shared_ptr<Uploader> m_manualUploader;
};

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_ANALYTICS_LIBRARY_H_
