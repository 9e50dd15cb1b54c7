// The collector's public port: an event-driven HTTPS front. A few I/O threads
// carry every connection (TLS handshake, request head, body, answer) without
// ever blocking; the store calls, which block, run on a small worker pool and
// post their answer back. Memory and time per connection are bounded by the
// limits below, never by what a client sends or how slowly it sends it.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_FRONT_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_FRONT_H_

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "collector_request.h"
#include "metrics.h"

namespace tally {
namespace collector {

struct FrontLimits {
    size_t headBytes = kMaxHeadBytes;  // request line and header fields together: 431
    size_t lineBytes = 8 * 1024;       // the request line, or one header line: 431
    int64_t headTimeoutMs = 10000;     // from accept: TLS handshake and the whole head; 408
    int64_t bodyTimeoutMs = 15000;     // the whole body, whatever its length; 408
    int64_t idleTimeoutMs = 5000;      // a kept-alive connection's wait for its next request
    int maxConnections = 10000;        // past it a new connection is closed at once
    double ratePerSecond = 20;         // requests per source address; 0: no limit
    double rateBurst = 40;
    size_t rateSources = 10000;  // addresses remembered; the least recent is forgotten
    int ioThreads = 2;
    int workers = 8;  // store calls at once
    // After a refusal: how long, and how much, a client may go on sending
    // while it reads the answer, before the connection is closed.
    int64_t lingerMs = 2000;
};

// One request as the front read it, or the reason it could not be read.
struct FrontRequest {
    std::string remote;  // the peer's address
    std::string method;
    std::string path;  // the target without its query
    size_t requestLineBytes = 0;
    HeaderList headers;  // as sent, names as spelt
    std::string body;    // as it arrived: chunked framing undone, content coding not
    // 0: a request to serve. Else the front refused it (framing, size, time,
    // rate): the handler logs it and answers this status with `error`.
    int status = 0;
    std::string error;
    int retryAfterS = -1;      // with status 429
    bool headersRead = false;  // `headers` hold the request's fields
    int64_t startedMs = 0;     // steady clock, when the request's first byte was awaited
};

struct FrontAnswer {
    int status = 200;
    std::string body;    // JSON
    HeaderList headers;  // besides Content-Type, Content-Length and Connection
    bool drop = false;   // close the connection without answering
};

// What the front counts; each lives in the operator's registry.
struct FrontMetrics {
    metrics::Gauge* open = nullptr;            // connections accepted and not yet closed
    metrics::Counter* refusedAtCap = nullptr;  // closed at accept: past maxConnections
    metrics::Counter* rateLimited = nullptr;   // requests answered 429 by the rate limit
};

// Runs on a worker thread and may block (the store). Answers every request,
// refused ones included.
using FrontHandler = std::function<FrontAnswer(const FrontRequest&)>;
// Sets up the server's TLS context (certificate selection, versions).
using FrontTlsSetup = std::function<bool(SSL_CTX*)>;

class Front {
  public:
    Front(const FrontLimits& limits, FrontHandler handler, FrontMetrics metrics);
    ~Front();
    Front(const Front&) = delete;
    Front& operator=(const Front&) = delete;

    // Binds `address`:`port` (0: any free port); answers the port, or -1 with `error`.
    int Listen(const std::string& address, int port, const FrontTlsSetup& tls, std::string* error);
    // Starts the I/O threads and the workers.
    void Start();
    // Stops accepting, closes connections that have no request under way,
    // lets the others finish for up to `grace`, then closes everything and
    // joins every thread.
    void Stop(std::chrono::milliseconds grace);

    class Impl;

  private:
    std::unique_ptr<Impl> m_impl;
};

// What the front's parser and head checks make of raw request bytes, as
// they would arrive on a connection (TLS aside): the fuzzer's way in.
struct FramingOutcome {
    int status = 0;  // 0: a whole request to hand to the handler; else the refusal
    std::string error;
    bool complete = false;  // the bytes hold a whole request (or a refusal is decided)
};
FramingOutcome ParseFraming(std::string_view bytes, const FrontLimits& limits);

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_FRONT_H_
