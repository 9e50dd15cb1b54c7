#include "deletion.h"

#include <json/json.h>

namespace tally {
namespace collector {
namespace {

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

DeletionAnswer Refuse(int status, const std::string& error) {
    DeletionAnswer answer;
    answer.status = status;
    answer.error = error;
    Json::Value body;
    body["error"] = error;
    answer.body = Compact(body);
    return answer;
}

}  // namespace

DeletionAnswer AnswerDeletion(server::Store& store, std::string_view body, int64_t nowMs) {
    const DeletionVerdict verdict = ParseDeletion(body);
    if (verdict.status != 200) return Refuse(verdict.status, verdict.error);
    const server::DeletionOutcome outcome = store.DeleteInstallation(verdict.installId, nowMs);
    if (outcome.status == server::StoreStatus::Unavailable) {
        // Nothing was deleted: the client keeps its request and comes back.
        DeletionAnswer answer = Refuse(503, "database unavailable: " + outcome.error);
        answer.retryLater = true;
        return answer;
    }
    if (outcome.status != server::StoreStatus::Stored) {
        return Refuse(500, "deletion failed: " + outcome.error);
    }
    DeletionAnswer answer;
    answer.batches = outcome.batches;
    answer.events = outcome.events;
    Json::Value deleted;
    deleted["deleted"]["batches"] = static_cast<Json::Int64>(outcome.batches);
    deleted["deleted"]["events"] = static_cast<Json::Int64>(outcome.events);
    answer.body = Compact(deleted);
    return answer;
}

}  // namespace collector
}  // namespace tally
