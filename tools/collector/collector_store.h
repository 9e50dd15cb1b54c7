// The collector's SQLite file: batches (batch_id unique, so a resent batch is
// acknowledged but never stored twice), their events, and one row per
// request with both clocks so that a client's clock skew is visible.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_STORE_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_STORE_H_

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

#include "collector_request.h"

struct sqlite3;

namespace tally {
namespace collector {

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
    int eventsNew = 0;
    int64_t wireBytes = -1;  // Content-Length; -1 when chunked or absent
    int64_t bodyBytes = 0;   // bytes after decoding
    std::string error;
};

struct StoreOutcome {
    bool ok = false;
    int batchesNew = 0;
    int batchesDuplicate = 0;
    int eventsNew = 0;
    std::string error;
};

class CollectorStore {
  public:
    CollectorStore() = default;
    ~CollectorStore();
    CollectorStore(const CollectorStore&) = delete;
    CollectorStore& operator=(const CollectorStore&) = delete;

    bool Open(const std::string& path, std::string* error);

    // Stores the batches not seen before, all in one transaction; the others
    // are counted as duplicates.
    StoreOutcome Store(const Upload& upload, const std::string& idempotencyKey, int64_t nowMs);

    void LogRequest(const RequestRecord& record);

    // What arrived, for a person: batches, events (up to `eventLimit`),
    // requests.
    bool Show(std::ostream& out, int eventLimit, std::string* error);

  private:
    bool Exec(const char* sql, std::string* error);

    std::mutex m_mutex;  // one connection, used by the server's threads in turn
    sqlite3* m_db = nullptr;
};

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_STORE_H_
