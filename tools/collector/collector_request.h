// What the collector accepts as an upload: the decoded body of
// POST /v1/batches and its headers in, a verdict and the parsed batches out.
// A pure function, so the fuzzer and the tests reach it without a socket.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_REQUEST_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tally {
namespace collector {

// Limits of one request, as the uploader cuts them. The batch cap was 20 in
// the first clients; they still fit, and a client that meets a collector with
// that cap gets a 413, splits and sends 20 at a time. The events cap bounds
// what one request holds in memory, whatever the number of batches.
constexpr size_t kMaxDecodedBytes = 4u * 1024 * 1024;  // body after gzip inflation
constexpr size_t kMaxBatches = 50;
constexpr size_t kMaxEvents = 500;
// Limits of what arrives before the body: the request line and the header
// fields together, and how many fields.
constexpr size_t kMaxHeadBytes = 16u * 1024;
constexpr size_t kMaxHeaderFields = 100;
// A body on the wire (Content-Length, or the chunks read so far).
constexpr size_t kMaxWireBytes = kMaxDecodedBytes;

struct AppFields {
    std::string appid;
    std::string appversion;
    std::string deviceType;
    std::string tag;
    // The installation's random id (lower-case UUID v4); empty when an older
    // client sent none.
    std::string installId;
};

// The rollup measures an event counts in besides "events", as (measure, key)
// pairs: what the fleet view reads of its payload.
using RollupKeys = std::vector<std::pair<std::string, std::string>>;

struct UploadEvent {
    int64_t seq = 0;
    int64_t receivedMs = 0;
    std::string name;
    std::string payload;    // the object's text exactly as sent
    RollupKeys rollupKeys;  // read from the payload as it was parsed
};

struct UploadBatch {
    std::string batchId;
    int64_t createdMs = 0;
    std::vector<UploadEvent> events;
};

struct Upload {
    AppFields app;
    std::vector<UploadBatch> batches;
};

// Header names compare without case, as HTTP says; keys are given lower-case.
using HeaderMap = std::map<std::string, std::string>;

struct Verdict {
    int status = 200;   // 200, or the 4xx to answer
    std::string error;  // short reason for a 4xx; empty for 200
    Upload upload;      // filled only when status is 200
};

// Header fields in the order they arrived, names as sent.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HeadVerdict {
    int status = 0;     // 0: read the body; else the 4xx to answer before reading it
    std::string error;  // short reason for a 4xx
};

// What can be judged of an upload before its body is read: the size of the
// head (431), the route (404, 405), the framing (400 for anything a proxy in
// front could read differently: Transfer-Encoding with Content-Length, more
// than one of either, a transfer coding other than chunked, a Content-Length
// that is not plain digits; 411 without either; 413 past kMaxWireBytes) and
// the content type and coding (415 unless one application/json Content-Type,
// and gzip or identity compared without case).
// `requestLineBytes` is the request line's length without its CRLF;
// `maxHeadBytes` bounds the request line and fields together.
HeadVerdict CheckHead(const std::string& method, const std::string& path, size_t requestLineBytes,
                      const HeaderList& headers, size_t maxHeadBytes = kMaxHeadBytes);

// Inflates a gzip body up to `limit` bytes. False when it is not gzip, is
// truncated or has bytes after its end; `tooLarge` when it inflates past
// `limit`.
bool Gunzip(std::string_view compressed, size_t limit, std::string* out, bool* tooLarge);

// Milliseconds since 1970 by the system clock: the time base of the request
// log and of the stores' received times.
int64_t WallClockMs();

// Moves WallClockMs by `offsetMs` (test mode only): a test sees what the
// collector does days later, its partitions and retention included, without
// waiting for them.
void SetWallClockOffsetMs(int64_t offsetMs);

// `text` with ASCII letters in lower case, as header names and content
// types compare.
std::string Lower(std::string_view text);

// Whether a lower-case Content-Type names JSON: "application/json", alone
// or followed by parameters.
bool IsJsonType(std::string_view type);

// `text` for one line of a log or of `show`: control bytes, DEL and bytes
// that are not part of well-formed UTF-8 as \xNN, a backslash doubled;
// everything else as it is. At most `limit` bytes: the text ends before the
// first character or escape that would pass it, so it stays UTF-8.
std::string Printable(std::string_view text, size_t limit = std::string_view::npos);

// The length of the well-formed UTF-8 sequence (no overlong form, surrogate
// or code point past U+10FFFF) at the start of `text`; 0 when there is none.
size_t Utf8SequenceLength(std::string_view text);

// Whether `text` is text every store keeps as sent: well-formed UTF-8
// without NUL (PostgreSQL's text type refuses anything else).
bool IsStorableText(std::string_view text);

// Validates an upload whose head CheckHead passed: `body` is the body after
// any Content-Encoding was undone.
// 413: body past kMaxDecodedBytes, more than kMaxBatches or kMaxEvents;
// 400: not a JSON object (also one nested deeper than the reader allows);
// 422: a JSON object that is not a schema-1 upload, a negative seq, an event
// name with control characters.
Verdict ParseUpload(std::string_view body);

// The rollup keys of an event named `name` whose payload is the JSON text
// `payload`; what ParseUpload fills in, for events read back from a store.
RollupKeys RollupKeysOf(const std::string& name, std::string_view payload);

// Whether `text` is an installation id: a UUID v4 in lower case.
bool IsInstallId(std::string_view text);

// Limit of a deletion request's body after decoding: it holds one id.
constexpr size_t kMaxDeletionBytes = 4096;

struct DeletionVerdict {
    int status = 200;   // 200, or the 4xx to answer
    std::string error;  // short reason for a 4xx
    std::string installId;
    int64_t requestedMs = -1;  // the device's clock; -1 when not sent
};

// Validates the decoded body of POST /v1/deletions:
// {"schema":1,"install_id":"<uuid>","requested_ms":<ms>}, its head passed by
// CheckHead. 413 past kMaxDeletionBytes, 400 not a JSON object, 422 anything
// else that is not such a request.
DeletionVerdict ParseDeletion(std::string_view body);

// A header's value parsed as a non-negative integer (ms, attempt); -1 when
// absent or not such a number.
int64_t HeaderInteger(const HeaderMap& headers, const std::string& name);

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_REQUEST_H_
