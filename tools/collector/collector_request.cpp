#include "collector_request.h"

#include <json/json.h>

#include <cctype>
#include <memory>

namespace tally {
namespace collector {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return std::string(text);
}

std::string Header(const HeaderMap& headers, const std::string& name) {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

Verdict Refuse(int status, std::string error) {
    Verdict verdict;
    verdict.status = status;
    verdict.error = std::move(error);
    return verdict;
}

// Batch ids are UUIDs; anything printable and short is kept so that a client
// with another id format still deduplicates, but nothing that could not be
// shown on one line.
bool UsableId(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    for (const char c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    }
    return true;
}

bool Integer(const Json::Value& value, int64_t* out) {
    if (!value.isIntegral() || !value.isInt64()) return false;
    *out = value.asInt64();
    return true;
}

// An app field is a string, or a number sent as a number (device_type).
bool AppField(const Json::Value& app, const char* name, std::string* out) {
    const Json::Value& value = app[name];
    if (value.isNull()) return true;
    if (value.isString()) {
        *out = value.asString();
    } else if (value.isIntegral()) {
        *out = value.asString();
    } else {
        return false;
    }
    return out->size() <= 256;
}

}  // namespace

int64_t HeaderInteger(const HeaderMap& headers, const std::string& name) {
    const std::string text = Trimmed(Header(headers, name));
    if (text.empty() || text.size() > 18) return -1;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

Verdict ParseUpload(std::string_view body, const HeaderMap& headers) {
    const std::string type = Lower(Trimmed(Header(headers, "content-type")));
    if (type.compare(0, 16, "application/json") != 0 ||
        (type.size() > 16 && type[16] != ';' && type[16] != ' ')) {
        return Refuse(415, "Content-Type must be application/json");
    }
    const std::string encoding = Lower(Trimmed(Header(headers, "content-encoding")));
    if (!encoding.empty() && encoding != "gzip" && encoding != "identity") {
        return Refuse(415, "Content-Encoding must be gzip");
    }
    if (body.size() > kMaxDecodedBytes) return Refuse(413, "body larger than 4 MiB");

    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = 200;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors) ||
        !root.isObject()) {
        return Refuse(400, "body is not a JSON object");
    }
    if (!root["schema"].isIntegral() || !root["schema"].isInt64() ||
        root["schema"].asInt64() != 1) {
        return Refuse(422, "unknown schema (expected 1)");
    }
    Verdict verdict;
    Upload& upload = verdict.upload;
    const Json::Value& app = root["app"];
    if (!app.isObject()) return Refuse(422, "app must be an object");
    if (!AppField(app, "appid", &upload.app.appid) ||
        !AppField(app, "appversion", &upload.app.appversion) ||
        !AppField(app, "device_type", &upload.app.deviceType) ||
        !AppField(app, "tag", &upload.app.tag)) {
        return Refuse(422, "app fields must be short strings");
    }
    const Json::Value& batches = root["batches"];
    if (!batches.isArray() || batches.empty()) {
        return Refuse(422, "batches must be a non-empty array");
    }
    if (batches.size() > kMaxBatches) return Refuse(413, "more than 20 batches");
    size_t eventCount = 0;
    for (const Json::Value& batch : batches) {
        if (!batch.isObject()) return Refuse(422, "a batch must be an object");
        UploadBatch parsed;
        if (!batch["batch_id"].isString() || !UsableId(batch["batch_id"].asString())) {
            return Refuse(422, "batch_id must be a UUID");
        }
        parsed.batchId = batch["batch_id"].asString();
        if (batch.isMember("created_ms") && !Integer(batch["created_ms"], &parsed.createdMs)) {
            return Refuse(422, "created_ms must be an integer");
        }
        const Json::Value& events = batch["events"];
        if (!events.isArray()) return Refuse(422, "events must be an array");
        eventCount += events.size();
        if (eventCount > kMaxEvents) return Refuse(413, "more than 500 events");
        for (const Json::Value& event : events) {
            UploadEvent parsedEvent;
            if (!event.isObject() || !Integer(event["seq"], &parsedEvent.seq) ||
                !Integer(event["received_ms"], &parsedEvent.receivedMs)) {
                return Refuse(422, "an event needs integer seq and received_ms");
            }
            const Json::Value& name = event["name"];
            if (!name.isString() || name.asString().empty()) {
                return Refuse(422, "an event needs a name");
            }
            parsedEvent.name = name.asString();
            const Json::Value& payload = event["payload"];
            if (!payload.isObject()) return Refuse(422, "an event's payload must be an object");
            // Kept as the client sent it: the reader's offsets bound the text.
            const ptrdiff_t start = payload.getOffsetStart();
            const ptrdiff_t limit = payload.getOffsetLimit();
            if (start < 0 || limit < start || static_cast<size_t>(limit) > body.size()) {
                return Refuse(422, "an event's payload must be an object");
            }
            parsedEvent.payload = std::string(body.substr(start, limit - start));
            parsed.events.push_back(std::move(parsedEvent));
        }
        upload.batches.push_back(std::move(parsed));
    }
    return verdict;
}

}  // namespace collector
}  // namespace tally
