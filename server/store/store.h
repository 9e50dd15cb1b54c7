// Where the collector keeps what arrives. The server talks to this interface
// only, so the embedded SQLite file and a PostgreSQL database shared by many
// collectors are interchangeable, and one contract test holds both to the
// same promises:
//   - a batch_id is stored once for as long as it is kept; a resend is
//     acknowledged as a duplicate, never stored again and never refused;
//   - one request is one transaction: all its new batches or none;
//   - "stored" is said only after the commit; a database that cannot take
//     the request now says "unavailable", so the client is told to retry.
#ifndef TALLYSERVICE_SERVER_STORE_STORE_H_
#define TALLYSERVICE_SERVER_STORE_STORE_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "collector_request.h"

namespace tally {
namespace server {

// One row of the request log.
struct RequestRecord {
    std::string idempotencyKey;
    int64_t attempt = -1;       // X-Tally-Attempt; -1 when absent
    int64_t uploadTimeMs = -1;  // X-Tally-Upload-Time; -1 when absent
    int64_t receiveMs = 0;      // the collector's clock when the request arrived
    std::string userAgent;
    int status = 0;  // the status answered; 0 when the connection was dropped
    int batchesNew = 0;
    int batchesDuplicate = 0;
    int batchesExpired = 0;  // answered, not kept in the log
    int eventsNew = 0;
    int64_t wireBytes = -1;  // Content-Length; -1 when chunked or absent
    int64_t bodyBytes = 0;   // bytes after decoding
    std::string error;
};

enum class StoreStatus {
    Stored,       // committed; the counts below say what was new
    Unavailable,  // the database cannot take it now (down, busy, slow): retry later
    Failed,       // the database refused it for good
};

struct StoreOutcome {
    StoreStatus status = StoreStatus::Failed;
    int batchesNew = 0;
    int batchesDuplicate = 0;
    // Batches older than the retention window: acknowledged, not stored,
    // because they would be dropped at once and their ids are no longer
    // remembered.
    int batchesExpired = 0;
    int eventsNew = 0;
    std::string error;

    bool Stored() const { return status == StoreStatus::Stored; }
};

struct StoreTotals {
    int64_t batches = 0;
    int64_t events = 0;
    int64_t duplicates = 0;  // resends acknowledged, summed over batches
    int64_t requests = 0;
};

struct StoreOptions {
    // Days of the client's clock kept; 0 keeps everything.
    int retentionDays = 0;
    // How long one request may wait for the database (a lock, a connection,
    // a statement) before it is answered "unavailable".
    int waitMs = 5000;
    // PostgreSQL connections one collector opens at most.
    int connections = 4;
    // Upload transactions one collector runs at once (within `connections`):
    // the fewer, the more requests arriving meanwhile share each one.
    int transactions = 2;
};

// One number of the daily rollups: for a day by the client's clock and an
// app version, the value of one measure under one key. The fleet view reads
// these and never raw events.
//   measure                    key                        value
//   "installations"            ""                         installations reporting
//   "events"                   event name                 events
//   "connections"              "success" or "failure"     remote connections
//   "duration_level"           "1" … "5"                  remote connections
//   "heartbeat_reconnections"  "KCP_1" … "KCP_5", "KCP_FAIL"  heartbeat events
//   "os"                       OS version name            device events
//   "device_type"              device type number         device events
struct RollupRow {
    std::string day;         // YYYY-MM-DD
    std::string appVersion;  // the upload's app version; "" when it named none
    std::string measure;
    std::string key;
    int64_t value = 0;
};

// Inclusive days, YYYY-MM-DD; an empty bound is open.
struct RollupQuery {
    std::string fromDay;
    std::string toDay;
};

// What a deletion request for one installation removed.
struct DeletionOutcome {
    StoreStatus status = StoreStatus::Failed;
    int64_t events = 0;
    int64_t batches = 0;
    std::string error;
};

class Store {
  public:
    virtual ~Store() = default;

    // Stores the batches not seen before, all in one transaction; the others
    // are counted as duplicates. `nowMs` is the collector's clock.
    virtual StoreOutcome StoreUpload(const collector::Upload& upload,
                                     const std::string& idempotencyKey, int64_t nowMs) = 0;

    // Best effort: a lost log row loses no data.
    virtual void LogRequest(const RequestRecord& record) = 0;

    // Prepares the days ahead of `nowMs` and drops what the retention no
    // longer keeps. Called at start and then periodically.
    virtual bool Maintain(int64_t nowMs, std::string* error) = 0;

    // What arrived, for a person: batches, events (up to `eventLimit`),
    // requests.
    virtual bool Show(std::ostream& out, int eventLimit, std::string* error) = 0;

    virtual bool Totals(StoreTotals* totals, std::string* error) = 0;

    // The daily rollups within `query`, ordered by day, app version,
    // measure and key.
    virtual bool Rollups(const RollupQuery& query, std::vector<RollupRow>* rows,
                         std::string* error) {
        (void)query;
        rows->clear();
        *error = "this store keeps no rollups";
        return false;
    }

    // Deletes every batch and event of `installId` and its share of the
    // rollups in one transaction, and keeps an audit row (id, time, counts).
    // Deleting an installation that holds nothing stores the audit row and
    // counts zeros.
    virtual DeletionOutcome DeleteInstallation(const std::string& installId, int64_t nowMs) {
        (void)installId;
        (void)nowMs;
        DeletionOutcome outcome;
        outcome.error = "this store cannot delete installations";
        return outcome;
    }
};

// `location` is a postgresql:// (or postgres://) connection URI, or the
// path of a SQLite file. Applies any schema migration before it returns.
std::unique_ptr<Store> OpenStore(const std::string& location, const StoreOptions& options,
                                 std::string* error);

bool IsPostgresLocation(const std::string& location);

// Whether this build can open a PostgreSQL store.
bool PostgresAvailable();

}  // namespace server
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_STORE_STORE_H_
