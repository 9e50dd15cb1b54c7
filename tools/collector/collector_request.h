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
#include <vector>

namespace tally {
namespace collector {

// Limits of one request, as the uploader cuts them.
constexpr size_t kMaxDecodedBytes = 4u * 1024 * 1024;  // body after gzip inflation
constexpr size_t kMaxBatches = 20;
constexpr size_t kMaxEvents = 500;

struct AppFields {
    std::string appid;
    std::string appversion;
    std::string deviceType;
    std::string tag;
};

struct UploadEvent {
    int64_t seq = 0;
    int64_t receivedMs = 0;
    std::string name;
    std::string payload;  // the object's text exactly as sent
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

// Validates a request: `body` is the body after any Content-Encoding was
// undone, `headers` the request's headers with lower-case names.
// 415: not JSON by Content-Type, or an encoding other than gzip/identity;
// 413: body past kMaxDecodedBytes, more than kMaxBatches or kMaxEvents;
// 400: not a JSON object; 422: a JSON object that is not a schema-1 upload.
Verdict ParseUpload(std::string_view body, const HeaderMap& headers);

// A header's value parsed as a non-negative integer (ms, attempt); -1 when
// absent or not such a number.
int64_t HeaderInteger(const HeaderMap& headers, const std::string& name);

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_REQUEST_H_
