// Reading what the analytics library stored and what the service's ledger
// holds, for the inspector and the demo. Both readers only read: they never
// create, change or lock a file for writing.
#ifndef TALLYSERVICE_TOOLS_INSPECT_STORE_READER_H_
#define TALLYSERVICE_TOOLS_INSPECT_STORE_READER_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tally {
namespace inspect {

enum class ReadResult {
    Ok,
    Missing,     // nothing at the path
    Foreign,     // a file, but not one of ours
    Unreadable,  // ours (or a file at all), but it cannot be read
};

struct EventRow {
    int64_t seq = 0;
    int64_t receivedMs = 0;
    std::string name;
    std::string payload;
    int64_t size = 0;
    int64_t batch = 0;  // 0: in no batch yet
    std::string state;  // "pending", or the batch's state
};

struct BatchRow {
    int64_t id = 0;
    int64_t createdMs = 0;
    int64_t firstSeq = 0;
    int64_t lastSeq = 0;
    int64_t eventCount = 0;    // events the batch took
    int64_t storedEvents = 0;  // of those, still stored (the rest were evicted)
    std::string state;
    int64_t attempts = 0;       // upload attempts made
    int64_t nextAttemptMs = 0;  // 0: none planned
    int64_t lastStatus = -1;    // -1: never answered; 0: no HTTP answer
    int64_t sentMs = 0;         // 0: not sent (or rejected then)
    std::string uuid;           // the batch id the server sees
};

// A request to the server to delete a retired installation id's data.
struct DeletionRow {
    int64_t id = 0;
    std::string installId;
    int64_t requestedMs = 0;
    std::string state;  // "pending", "done" or "dropped"
    int64_t attempts = 0;
    int64_t nextAttemptMs = 0;  // 0: none planned
    int64_t lastStatus = -1;    // -1: never answered; 0: no HTTP answer
    int64_t finishedMs = 0;     // 0: still pending
};

// Everything in an analytics database, events in sequence order.
struct StoreSnapshot {
    std::string path;
    int64_t schemaVersion = 0;
    std::map<std::string, std::string> meta;
    std::vector<EventRow> events;
    std::vector<BatchRow> batches;
    std::vector<DeletionRow> deletions;
    std::map<std::string, int64_t> counters;
};

// Reads the analytics database at `path` (UTF-8). Anything but Ok comes with
// a one-line explanation in `error`.
ReadResult ReadStore(const std::string& path, StoreSnapshot* snapshot, std::string* error);

// The section "main" of the service's ledger file, entries in file order.
struct LedgerSnapshot {
    std::string path;
    std::vector<std::pair<std::string, std::string>> entries;  // key, value text
};

// Reads the ledger at `path` (UTF-8 path). A file with NUL bytes in its text,
// or without a section "main", is Foreign.
ReadResult ReadLedger(const std::string& path, LedgerSnapshot* snapshot, std::string* error);

// A ledger value as the service reads it: leading blanks, one optional sign
// and the digits up to the first other character, as a signed 64-bit number
// taken as unsigned; no digits read as 0.
uint64_t LedgerNumber(const std::string& text);

}  // namespace inspect
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_INSPECT_STORE_READER_H_
