#include "collector_request.h"

#include <json/json.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>

namespace tally {
namespace collector {
namespace {
// Set once at start, before any thread that reads the clock.
std::atomic<int64_t> g_wallClockOffsetMs{0};
}  // namespace

int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count() +
           g_wallClockOffsetMs.load(std::memory_order_relaxed);
}

void SetWallClockOffsetMs(int64_t offsetMs) {
    g_wallClockOffsetMs.store(offsetMs, std::memory_order_relaxed);
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool IsJsonType(std::string_view type) {
    return type.compare(0, 16, "application/json") == 0 &&
           (type.size() == 16 || type[16] == ';' || type[16] == ' ');
}

namespace {

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
    return out->size() <= 256 && IsStorableText(*out);
}

bool ControlFree(const std::string& text) {
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return false;
    }
    return true;
}

HeadVerdict RefuseHead(int status, std::string error) {
    HeadVerdict verdict;
    verdict.status = status;
    verdict.error = std::move(error);
    return verdict;
}

bool Digits(const std::string& text) {
    if (text.empty() || text.size() > 18) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// A JSON reader as strict as the uploads need; jsoncpp throws past its stack
// limit instead of reporting an error, which the callers catch.
std::unique_ptr<Json::CharReader> StrictReader() {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = 200;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

// A payload member the rollups key on: a short string, or an integer where
// the client sends a number.
std::string Member(const Json::Value& payload, const char* name) {
    const Json::Value& value = payload[name];
    if (value.isString()) {
        std::string text = value.asString();
        return text.size() <= 128 && IsStorableText(text) ? text : std::string();
    }
    if (value.isIntegral() && value.isInt64()) return value.asString();
    return std::string();
}

// What the fleet view counts of one event. Values outside the documented
// ones count under no key: a misbehaving client cannot grow the rollups
// with keys of its own making, except an OS name, which is open-ended.
RollupKeys RollupKeysOfValue(const std::string& name, const Json::Value& payload) {
    RollupKeys keys;
    if (!payload.isObject()) return keys;
    if (name == "user_device_info") {
        const std::string os = Member(payload, "os_version");
        if (!os.empty()) keys.emplace_back("os", os);
        const Json::Value& type = payload["device_type"];
        if (type.isIntegral() && type.isInt64()) keys.emplace_back("device_type", type.asString());
    } else if (name == "device_remote_connect") {
        const std::string success = Member(payload, "is_success");
        if (success == "true") keys.emplace_back("connections", "success");
        if (success == "false") keys.emplace_back("connections", "failure");
        const std::string level = Member(payload, "duration_level");
        if (level.size() == 1 && level[0] >= '1' && level[0] <= '5') {
            keys.emplace_back("duration_level", level);
        }
    } else if (name == "storage_heartbeat_fail_reconnect") {
        const std::string mode = Member(payload, "connect_mode");
        if (mode == "KCP_FAIL" || (mode.size() == 5 && mode.compare(0, 4, "KCP_") == 0 &&
                                   mode[4] >= '1' && mode[4] <= '5')) {
            keys.emplace_back("heartbeat_reconnections", mode);
        }
    }
    return keys;
}

}  // namespace

HeadVerdict CheckHead(const std::string& method, const std::string& path, size_t requestLineBytes,
                      const HeaderList& headers, size_t maxHeadBytes) {
    // Counted as they came over the wire: "name: value" and a CRLF each.
    size_t headBytes = requestLineBytes + 2;
    for (const auto& header : headers) headBytes += header.first.size() + header.second.size() + 4;
    if (headBytes > maxHeadBytes || headers.size() > kMaxHeaderFields) {
        return RefuseHead(431, "request line and headers past 16 KiB or 100 fields");
    }
    const bool deletion = path == "/v1/deletions";
    if (path != "/v1/batches" && !deletion) return RefuseHead(404, "no such endpoint");
    if (method != "POST") return RefuseHead(405, "use POST");

    std::vector<std::string> lengths;
    std::vector<std::string> transfers;
    std::vector<std::string> encodings;
    std::vector<std::string> types;
    for (const auto& header : headers) {
        const std::string name = Lower(header.first);
        if (name == "content-length") lengths.push_back(Trimmed(header.second));
        if (name == "transfer-encoding") transfers.push_back(Lower(Trimmed(header.second)));
        if (name == "content-encoding") encodings.push_back(header.second);
        if (name == "content-type") types.push_back(Lower(Trimmed(header.second)));
    }
    // A proxy in front may pick the other header, or the other copy, than
    // this server does, and then reads a different body: the bytes one of
    // them takes for the next request are the other's body.
    if (!transfers.empty() && !lengths.empty()) {
        return RefuseHead(400, "both Transfer-Encoding and Content-Length");
    }
    if (transfers.size() > 1 || lengths.size() > 1) {
        return RefuseHead(400, "Transfer-Encoding or Content-Length more than once");
    }
    if (!transfers.empty() && transfers[0] != "chunked") {
        return RefuseHead(400, "Transfer-Encoding other than chunked");
    }
    if (transfers.empty() && lengths.empty()) {
        return RefuseHead(411, "Content-Length or chunked Transfer-Encoding needed");
    }
    if (!lengths.empty()) {
        if (!Digits(lengths[0])) return RefuseHead(400, "Content-Length is not a number");
        if (std::stoull(lengths[0]) > kMaxWireBytes)
            return RefuseHead(413, "body larger than 4 MiB");
        if (deletion && std::stoull(lengths[0]) > kMaxDeletionBytes)
            return RefuseHead(413, "body larger than 4 KiB");
    }

    // Judged here, before the body is read: a body the server would refuse
    // whatever it holds is not worth reading.
    if (types.size() != 1 || !IsJsonType(types[0])) {
        return RefuseHead(415, "Content-Type must be application/json");
    }
    if (encodings.size() > 1) return RefuseHead(415, "Content-Encoding more than once");
    if (!encodings.empty()) {
        // Content codings compare without case.
        const std::string encoding = Lower(Trimmed(encodings[0]));
        if (!encoding.empty() && encoding != "gzip" && encoding != "identity") {
            return RefuseHead(415, "Content-Encoding must be gzip or identity");
        }
    }
    return HeadVerdict();
}

bool Gunzip(std::string_view compressed, size_t limit, std::string* out, bool* tooLarge) {
    *tooLarge = false;
    out->clear();
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    char buffer[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof(buffer);
        result = inflate(&stream, Z_NO_FLUSH);
        const size_t produced = sizeof(buffer) - stream.avail_out;
        if (out->size() + produced > limit) {
            *tooLarge = true;
            break;
        }
        out->append(buffer, produced);
        if (result == Z_OK && produced == 0 && stream.avail_in == 0) break;  // truncated
    }
    const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return whole && !*tooLarge;
}

size_t Utf8SequenceLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto c = static_cast<unsigned char>(text[0]);
    if (c < 0x80) return 1;
    size_t length;
    uint32_t code;
    if ((c & 0xe0) == 0xc0) {
        length = 2;
        code = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
        length = 3;
        code = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
        length = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xc0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3f);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        return 0;
    }
    return length;
}

bool IsStorableText(std::string_view text) {
    while (!text.empty()) {
        const size_t length = Utf8SequenceLength(text);
        if (length == 0 || text[0] == '\0') return false;
        text.remove_prefix(length);
    }
    return true;
}

std::string Printable(std::string_view text, size_t limit) {
    static const char kHex[] = "0123456789abcdef";
    std::string printable;
    printable.reserve(std::min(text.size(), limit));
    while (!text.empty()) {
        const size_t length = Utf8SequenceLength(text);
        const auto u = static_cast<unsigned char>(text[0]);
        char escape[4] = {'\\', 'x', kHex[u >> 4], kHex[u & 15]};
        std::string_view piece(text.data(), length);
        if (length == 0 || u < 0x20 || u == 0x7f) {
            piece = std::string_view(escape, 4);
        } else if (u == '\\') {
            escape[1] = '\\';
            piece = std::string_view(escape, 2);
        }
        if (piece.size() > limit - printable.size()) break;
        printable.append(piece.data(), piece.size());
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return printable;
}

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

namespace {

// What every decoded JSON body of the public port must be, uploads and
// deletions alike: at most `limit` bytes, one object of schema 1. A Verdict
// of 200 (and `root` filled) when it is.
Verdict ReadSchemaOneObject(std::string_view body, size_t limit, const char* tooLarge,
                            Json::Value* root) {
    if (body.size() > limit) return Refuse(413, tooLarge);

    const std::unique_ptr<Json::CharReader> reader = StrictReader();
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(body.data(), body.data() + body.size(), root, &errors);
    } catch (const std::exception&) {
        // jsoncpp throws past its stack limit instead of reporting an error.
        return Refuse(400, "body nested deeper than 200 levels");
    }
    if (!parsed || !root->isObject()) return Refuse(400, "body is not a JSON object");
    const Json::Value& schema = (*root)["schema"];
    if (!schema.isIntegral() || !schema.isInt64() || schema.asInt64() != 1) {
        return Refuse(422, "unknown schema (expected 1)");
    }
    return Refuse(200, "");
}

}  // namespace

Verdict ParseUpload(std::string_view body) {
    Json::Value root;
    const Verdict read =
        ReadSchemaOneObject(body, kMaxDecodedBytes, "body larger than 4 MiB", &root);
    if (read.status != 200) return read;
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
    if (app.isMember("install_id")) {
        const Json::Value& installId = app["install_id"];
        if (!installId.isString() || !IsInstallId(installId.asString())) {
            return Refuse(422, "app.install_id is not a UUID");
        }
        upload.app.installId = installId.asString();
    }
    const Json::Value& batches = root["batches"];
    if (!batches.isArray() || batches.empty()) {
        return Refuse(422, "batches must be a non-empty array");
    }
    if (batches.size() > kMaxBatches) return Refuse(413, "more than 50 batches");
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
            if (parsedEvent.seq < 0) return Refuse(422, "an event's seq must not be negative");
            const Json::Value& name = event["name"];
            if (!name.isString() || name.asString().empty()) {
                return Refuse(422, "an event needs a name");
            }
            parsedEvent.name = name.asString();
            if (parsedEvent.name.size() > 256 || !ControlFree(parsedEvent.name)) {
                return Refuse(422, "an event name must be short and free of control characters");
            }
            const Json::Value& payload = event["payload"];
            if (!payload.isObject()) return Refuse(422, "an event's payload must be an object");
            // Kept as the client sent it: the reader's offsets bound the text.
            const ptrdiff_t start = payload.getOffsetStart();
            const ptrdiff_t limit = payload.getOffsetLimit();
            if (start < 0 || limit < start || static_cast<size_t>(limit) > body.size()) {
                return Refuse(422, "an event's payload must be an object");
            }
            parsedEvent.payload = std::string(body.substr(start, limit - start));
            // A store could not keep text that is not UTF-8 and would fail
            // the request on every resend; the client drops it on a 422.
            if (!IsStorableText(parsedEvent.name) || !IsStorableText(parsedEvent.payload)) {
                return Refuse(422, "an event's name and payload must be UTF-8 text");
            }
            parsedEvent.rollupKeys = RollupKeysOfValue(parsedEvent.name, payload);
            parsed.events.push_back(std::move(parsedEvent));
        }
        upload.batches.push_back(std::move(parsed));
    }
    return verdict;
}

RollupKeys RollupKeysOf(const std::string& name, std::string_view payload) {
    if (name != "user_device_info" && name != "device_remote_connect" &&
        name != "storage_heartbeat_fail_reconnect") {
        return RollupKeys();
    }
    const std::unique_ptr<Json::CharReader> reader = StrictReader();
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(payload.data(), payload.data() + payload.size(), &root, &errors)) {
            return RollupKeys();
        }
    } catch (const std::exception&) {
        return RollupKeys();
    }
    return RollupKeysOfValue(name, root);
}

bool IsInstallId(std::string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    // Version 4, variant 10xx.
    return text[14] == '4' &&
           (text[19] == '8' || text[19] == '9' || text[19] == 'a' || text[19] == 'b');
}

DeletionVerdict ParseDeletion(std::string_view body) {
    DeletionVerdict verdict;
    auto refuse = [&verdict](int status, const char* error) {
        verdict.status = status;
        verdict.error = error;
        verdict.installId.clear();
        return verdict;
    };
    Json::Value root;
    const Verdict read =
        ReadSchemaOneObject(body, kMaxDeletionBytes, "body larger than 4 KiB", &root);
    if (read.status != 200) return refuse(read.status, read.error.c_str());
    const Json::Value& installId = root["install_id"];
    if (!installId.isString() || !IsInstallId(installId.asString())) {
        return refuse(422, "install_id is not a UUID");
    }
    if (root.isMember("requested_ms") && !Integer(root["requested_ms"], &verdict.requestedMs)) {
        return refuse(422, "requested_ms must be an integer");
    }
    verdict.installId = installId.asString();
    return verdict;
}

}  // namespace collector
}  // namespace tally
