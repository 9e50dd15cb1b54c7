// The uploads' HTTPS client: its own over OpenSSL, one event loop on one
// thread. A general-purpose client builds a TLS context (CA store, provider
// lookups) per connection; on a machine shared with the server that cost
// was the tool's and not the server's, so here one context serves the run.
#pragma once

#include <openssl/ssl.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fleet_load.h"

namespace tally {
namespace fleet {

// Reads one HTTP/1.x answer as it arrives: status line, header lines, and a
// body by Content-Length or chunked; anything else (no length, another
// transfer coding, a head or body past its bound) is refused with a reason.
class AnswerParser {
  public:
    enum class State { More, Done, Bad };
    static constexpr size_t kMaxHead = 16 * 1024;
    static constexpr size_t kMaxBody = 1024 * 1024;

    // Consumes `size` bytes; Done once the whole answer is in (bytes past
    // it, which a server must not send before a request, make it Bad).
    State Feed(const char* data, size_t size);
    State state() const { return m_state; }
    bool Started() const { return m_seen > 0; }
    int Status() const { return m_status; }
    const std::string& Body() const { return m_body; }
    // Whether the connection may carry another request after this answer.
    bool KeepAlive() const { return m_keepAlive; }
    const std::string& Error() const { return m_error; }

  private:
    enum class Part { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer };
    State Fail(const std::string& why);
    State ParseHead();
    State AfterHead();

    State m_state = State::More;
    Part m_part = Part::Head;
    std::string m_line;  // the head so far, or the current chunk-size or trailer line
    size_t m_seen = 0;
    int m_status = 0;
    bool m_keepAlive = true;
    bool m_chunked = false;
    uint64_t m_left = 0;  // body or chunk bytes still to come
    std::string m_body;
    std::string m_error;
};

// A client TLS context: the CA file as the only trust anchor, peer
// verification on, TLS 1.2 at least. Null with `error` set.
SSL_CTX* NewClientContext(const std::string& caFile, std::string* error);

// The uploads' one context of a run: a client context without session
// cache or tickets (every new connection a full handshake, as a fleet of
// distinct devices). Null with `error` set.
SSL_CTX* NewUploadContext(const std::string& caFile, std::string* error);

// The bytes of one upload as the analytics library's client sends them.
std::string RequestBytes(const std::string& hostHeader, const Upload& upload, int64_t nowMs);

// One upload's end: an HTTP status, or an error named by the code libcurl
// gives for the same failure ("curl_28" a time-out, "curl_7" refused,
// "curl_35" a failed handshake, "curl_60" a certificate refused, "curl_52"
// no answer, "curl_56" a reset, "curl_8" an answer refused), so that runs
// of the tool before and after its own client compare.
struct Finished {
    Upload upload;
    int status = 0;     // 0: no answer, see `error`
    std::string error;  // empty when answered
    std::string body;
    double ms = 0;                            // from Begin to the end
    bool opened = false;                      // a TCP connection of its own
    double connectMs = -1, handshakeMs = -1;  // when `opened`
};

class UploadClient {
  public:
    // `urls` as the options give them (loopback https); `context` outlives
    // the client.
    UploadClient(SSL_CTX* context, const std::vector<std::string>& urls, int concurrency,
                 bool newConnections, double timeoutSeconds);
    ~UploadClient();
    UploadClient(const UploadClient&) = delete;
    UploadClient& operator=(const UploadClient&) = delete;

    bool HasFreeSlot() const { return !m_free.empty(); }
    int InFlight() const { return static_cast<int>(m_slots.size() - m_free.size()); }
    // Sends `upload` to urls[urlIndex % urls.size()] in a free slot; an
    // upload that fails at once (a refused connect) is appended to `done`.
    void Begin(Upload upload, size_t urlIndex, int64_t nowMs, std::vector<Finished>* done);
    // Waits up to `waitMs` for progress and appends the uploads that ended.
    void Run(int waitMs, std::vector<Finished>* done);

  private:
    struct Target;
    struct Connection;
    struct Slot;
    void Connect(Slot& slot, std::vector<Finished>* done);
    void Step(Slot& slot, std::vector<Finished>* done);
    // Ends the upload without an answer; the first failure of each kind is
    // logged with `detail`, the others only counted.
    void End(Slot& slot, const std::string& error, const std::string& detail,
             std::vector<Finished>* done);
    void Release(Slot& slot, bool keep);
    // What an upload ending now took and carried; its outcome is the caller's.
    Finished Finish(Slot& slot);
    void Retry(Slot& slot, std::vector<Finished>* done);

    SSL_CTX* const m_context;
    const bool m_newConnections;
    const std::chrono::steady_clock::duration m_timeout;
    std::vector<Target> m_targets;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<Slot*> m_free;
    // Kept-alive connections waiting for their next upload, by target.
    std::vector<std::vector<std::unique_ptr<Connection>>> m_idle;
    std::vector<pollfd> m_fds;
    std::vector<Slot*> m_polled;
    std::set<std::string> m_reported;
};

}  // namespace fleet
}  // namespace tally
