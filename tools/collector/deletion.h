// POST /v1/deletions after its head and body were read: the decoded body
// and the headers in, the status and the JSON to answer out. Kept apart from
// the HTTP server so that any front can serve it with the same checks.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_DELETION_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_DELETION_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "collector_request.h"
#include "store.h"

namespace tally {
namespace collector {

constexpr const char* kDeletionPath = "/v1/deletions";

struct DeletionAnswer {
    int status = 200;
    std::string body;         // JSON: {"deleted":{...}} or {"error":"..."}
    std::string error;        // the reason, for the request log; empty on 200
    bool retryLater = false;  // 503: the caller adds Retry-After, as for uploads
    int64_t batches = 0;      // what the store removed
    int64_t events = 0;
};

// Validates the request (ParseDeletion) and has `store` delete every batch
// and event of the installation it names, with its share of the rollups.
// 200 with the counts (zeros when nothing was held, as for a repeat); 4xx for
// a malformed request; 503 when the database cannot take it now; 500 when
// it refused for good.
DeletionAnswer AnswerDeletion(server::Store& store, std::string_view body, int64_t nowMs);

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_DELETION_H_
