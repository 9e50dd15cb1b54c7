// The analytics library's durable store: one SQLite database in WAL mode with
// the layout of store_schema.h. Every change is one short write transaction
// that appends to the write-ahead log without waiting for the disk (synchronous
// NORMAL): a process killed at any moment loses no committed change and leaves
// a database that opens cleanly; only a power loss can take back the last
// commits. Moving the log into the database (checkpointing), the one step that
// waits for the disk, is left to the caller through Checkpoint(), which uses a
// connection of its own so that it never holds up a writer.
//
// Not thread-safe: the owner serialises every call except Checkpoint().
#ifndef TALLYSERVICE_ANALYTICS_EVENT_STORE_H_
#define TALLYSERVICE_ANALYTICS_EVENT_STORE_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "store_limits.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tally {

// Who is reporting, as the configuration names it.
struct Identity {
    std::string appid;
    std::string appversion;
    std::string deviceType;
    std::string tag;
    std::string domain;
    int32_t certParam1 = 0;  // recorded only; no use is made of them
    int32_t certParam2 = 0;
    std::string uploadTls;  // which trust the upload uses, for the record
};

// One change waiting to be written, in arrival order.
struct PendingOp {
    // Forget: delete every stored event and every batch not yet accepted by
    // the server, retire the installation id and record a deletion request
    // for it (the user opted out). NewInstallId: make an installation id
    // when the store has none (consent given, or a session starts with it).
    enum class Kind { Event, Submit, Forget, NewInstallId };
    Kind kind = Kind::Event;
    int64_t timeMs = 0;   // when the event was received, the submit or opt-out asked for
    std::string name;     // Event only
    std::string payload;  // Event only
};

// A batch made by a submit.
struct BatchInfo {
    int64_t id = 0;
    int64_t firstSeq = 0;
    int64_t lastSeq = 0;
    int64_t eventCount = 0;
};

// What one Apply did besides storing the events.
struct ApplyOutcome {
    int64_t storedEvents = 0;
    int64_t evictedEvents = 0;
    int64_t evictedBytes = 0;
    std::vector<BatchInfo> batches;
    int64_t forgottenEvents = 0;
    std::vector<std::string> retiredInstallIds;  // one deletion request recorded for each
    std::string newInstallId;                    // made by a NewInstallId; empty when kept
};

// The batches of one request, as picked for sending.
struct PickedRequest {
    std::string requestId;          // the Idempotency-Key; stays the same on every retry
    std::vector<int64_t> batchIds;  // in order
    int64_t attempts = 0;           // attempts already made
    int64_t nextAttemptMs = 0;      // wall time before which not to send; 0: none
    std::string installId;          // the store's installation id; empty when it has none
};

// A deletion request waiting to be sent, the oldest first.
struct PendingDeletion {
    int64_t id = 0;
    std::string installId;
    std::string requestId;  // the Idempotency-Key; the same on every attempt
    int64_t requestedMs = 0;
    int64_t attempts = 0;
    int64_t nextAttemptMs = 0;  // wall time before which not to send; 0: none
};

// What an answer does to a deletion request.
struct DeletionEnd {
    enum class Action {
        Done,     // answered 2xx
        Dropped,  // refused as malformed: never sent again
        Keep,     // not done: kept for the next attempt
    };
    Action action = Action::Keep;
    int status = 0;  // the HTTP status; 0 without an answer
    std::string error;
    int64_t nowMs = 0;
    int64_t nextAttemptMs = 0;  // Keep: wall time of the next attempt
};

// What a request's answer does to its batches.
struct RequestEnd {
    enum class Action {
        Sent,      // accepted: batches "sent", their events deleted
        Rejected,  // refused as bad data: batches "rejected", events deleted
        Dissolve,  // refused as a whole: one new request per batch
        Keep,      // not accepted: kept as they are for the next attempt
    };
    Action action = Action::Keep;
    int status = 0;             // the HTTP status; 0 without an answer
    std::string error;          // for the record
    int64_t nowMs = 0;          // wall time
    int64_t nextAttemptMs = 0;  // Keep: wall time of the next attempt
    bool tlsFailure = false;    // counted apart
};

// What FinishRequest deleted.
struct RequestEndOutcome {
    int64_t events = 0;
    int64_t bytes = 0;
};

enum class WriteStatus {
    Ok,
    Busy,    // another connection holds the write lock; nothing was changed
    Failed,  // an error; nothing was changed
};

class EventStore {
  public:
    EventStore() = default;
    ~EventStore();
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    // Opens the database at `path` (UTF-8, the platform's separators),
    // creating every missing level of its folder and, for a new or empty
    // file, the schema. Refuses a file that is not an SQLite database, one
    // made by another application, one of a newer schema, and one that fails
    // SQLite's quick check. Answers false with `error` set; nothing stays open.
    bool Open(const std::string& path, std::string* error);
    void Close();
    bool IsOpen() const { return m_db != nullptr; }
    const std::string& Path() const { return m_path; }

    // Events and bytes stored now (as counted against the caps).
    int64_t EventCount() const { return m_count; }
    int64_t StoredBytes() const { return m_bytes; }

    // Records the identity and the caps in force, and the time of opening.
    WriteStatus WriteMeta(const Identity& identity, const StoreLimits& limits, int64_t nowMs,
                          std::string* error);

    // In one transaction: applies `ops` in order (an event is stored with the
    // next sequence number; a submit gathers every event not yet in a batch
    // into a new "ready" batch, and does nothing when there is none), evicts
    // the oldest events after each insert (and once at the end) until both
    // caps hold, together with any batch left empty, and adds `counterDeltas` plus the evictions to
    // the counters. When Busy or Failed nothing was changed.
    WriteStatus Apply(const std::deque<PendingOp>& ops,
                      const std::map<std::string, int64_t>& counterDeltas,
                      const StoreLimits& limits, ApplyOutcome* outcome, std::string* error);

    // In one transaction: answers the request to send next in `picked`
    // (`found` false when nothing waits). A request already picked (state
    // "sending", also from an earlier session) comes first, with its own
    // id, unless it was refused with 5xx `poisonAttempts` times or more:
    // such a one waits behind every ready batch. Otherwise the oldest ready
    // batches, up to the caps, become "sending" under a new random id.
    WriteStatus PickRequest(int64_t maxBatches, int64_t maxEvents, int64_t maxBytes,
                            int64_t poisonAttempts, PickedRequest* picked, bool* found,
                            std::string* error);
    // In one transaction: applies `end` to the batches of `requestId` that
    // are still "sending", counts the request and prunes finished batches
    // beyond kKeptFinishedBatches.
    WriteStatus FinishRequest(const std::string& requestId, const RequestEnd& end,
                              RequestEndOutcome* outcome, std::string* error);

    // The oldest pending deletion request (`found` false when none waits).
    WriteStatus PickDeletion(PendingDeletion* deletion, bool* found, std::string* error);
    // In one transaction: applies `end` to deletion request `id` (when still
    // pending), counts it and prunes finished rows beyond
    // kKeptFinishedDeletions.
    WriteStatus FinishDeletion(int64_t id, const DeletionEnd& end, std::string* error);

    // Called after each commit with the number of pages in the write-ahead
    // log, on the committing thread. Replaces SQLite's own checkpointing,
    // which would run inside the commit.
    void SetWalPagesCallback(std::function<void(int)> callback);

    // Moves the write-ahead log of the database at `path` into the database
    // without waiting for any other connection (a passive checkpoint), on a
    // connection of its own. Safe to call on any thread while the store is in
    // use.
    static WriteStatus Checkpoint(const std::string& path, std::string* error);

  private:
    bool Prepare(std::string* error);
    bool CreateOrCheckSchema(std::string* error);
    bool Migrate(int64_t fromVersion, std::string* error);
    bool Exec(const char* sql, std::string* error);
    bool InsertEvent(const PendingOp& op, int64_t* seq);
    bool MakeBatch(int64_t timeMs, ApplyOutcome* outcome);
    bool InsertBatch(int64_t timeMs, BatchInfo* batch, ApplyOutcome* outcome);
    bool ForgetUnsent(int64_t timeMs, ApplyOutcome* outcome);
    bool MakeInstallId(ApplyOutcome* outcome);
    WriteStatus Begin(std::string* error);
    WriteStatus EndTransaction(bool ok, std::string* error);
    bool EvictToLimits(const StoreLimits& limits, ApplyOutcome* outcome);
    bool AddCounter(const std::string& name, int64_t delta);
    std::string LastError() const;
    static int WalHook(void* self, sqlite3* db, const char* name, int pages);

    sqlite3* m_db = nullptr;
    std::string m_path;
    int64_t m_count = 0;
    int64_t m_bytes = 0;
    std::function<void(int)> m_walPages;

    // Prepared once per open; finalised by Close().
    sqlite3_stmt* m_begin = nullptr;
    sqlite3_stmt* m_commit = nullptr;
    sqlite3_stmt* m_rollback = nullptr;
    sqlite3_stmt* m_insertEvent = nullptr;
    sqlite3_stmt* m_oldestEvent = nullptr;
    sqlite3_stmt* m_deleteEvent = nullptr;
    sqlite3_stmt* m_unbatchedRange = nullptr;
    sqlite3_stmt* m_insertBatch = nullptr;
    sqlite3_stmt* m_assignBatch = nullptr;
    sqlite3_stmt* m_addCounter = nullptr;
    sqlite3_stmt* m_putMeta = nullptr;
    sqlite3_stmt* m_deleteEmptyBatch = nullptr;
    sqlite3_stmt* m_unbatchedSizes = nullptr;
};

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_EVENT_STORE_H_
