#include "front.h"

#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tally {
namespace collector {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Parser = http::request_parser<http::string_body>;
using Milliseconds = std::chrono::milliseconds;

// What a refused client may still send while it reads the answer: after a
// head that could not be read (it may be a flood), little; after a whole
// head, the body it announced, up to twice the largest we take.
constexpr size_t kLingerAfterBadHead = 64 * 1024;
constexpr size_t kLingerAfterHead = 2 * kMaxWireBytes;
// Accepting fails while the process is out of descriptors; accepting again
// at once would spin.
constexpr Milliseconds kAcceptBackoff{50};
// After many connections closed (a storm, a flood of idle connections) the
// allocator is asked to give their memory back: it keeps freed memory that
// sits below memory still in use otherwise. Checked this often; it takes
// this many fewer connections than the peak since the last time.
constexpr Milliseconds kTrimInterval{1000};
constexpr size_t kTrimAfterClosed = 256;

int64_t SteadyMs() {
    return std::chrono::duration_cast<Milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The parser as both the front and ParseFraming use it: the head bounded,
// the body bounded only once the head is judged (a declared length past it
// is then answered 413 by the head checks, with the head's fields logged).
// The largest value, not boost::none: this Beast compares a declared length
// with an empty limit as larger and refuses every body.
void ConfigureParser(Parser& parser, const FrontLimits& limits) {
    parser.header_limit(static_cast<std::uint32_t>(limits.headBytes));
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
}

void LimitBody(Parser& parser) {
    parser.body_limit(static_cast<std::uint64_t>(kMaxWireBytes));
}

struct Refusal {
    int status;
    const char* error;
};

// A read the parser failed, in the head or in the body.
Refusal ReadFailure(const beast::error_code& ec, bool head) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        return {431, "request line and headers past 16 KiB or 100 fields"};
    }
    if (ec == http::error::body_limit) return {413, "body larger than 4 MiB"};
    if (ec == http::error::bad_content_length || ec == http::error::bad_transfer_encoding) {
        return {400, "Transfer-Encoding or Content-Length conflicting, repeated or malformed"};
    }
    if (ec == http::error::bad_chunk || ec == http::error::bad_chunk_extension) {
        return {400, "bad chunk framing"};
    }
    if (ec == http::error::bad_method || ec == http::error::bad_target ||
        ec == http::error::bad_version) {
        return {400, "malformed request line"};
    }
    if (head) return {400, "malformed request head"};
    return {400, "truncated or unreadable body"};
}

// The request line and fields of a head the parser accepted, judged by the
// collector's head checks and the line limit.
void JudgeHead(const http::request_header<>& head, const FrontLimits& limits, FrontRequest* out) {
    out->method = std::string(head.method_string());
    const std::string target(head.target());
    out->path = target.substr(0, target.find('?'));
    out->requestLineBytes = out->method.size() + target.size() + 10;  // two spaces, HTTP/1.x
    bool longLine = out->requestLineBytes > limits.lineBytes;
    for (const auto& field : head) {
        out->headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        longLine =
            longLine || field.name_string().size() + field.value().size() + 2 > limits.lineBytes;
    }
    out->headersRead = true;
    if (longLine) {
        out->status = 431;
        out->error = "request line or a header line past " +
                     std::to_string(limits.lineBytes / 1024) + " KiB";
        return;
    }
    const HeadVerdict verdict =
        CheckHead(out->method, out->path, out->requestLineBytes, out->headers, limits.headBytes);
    out->status = verdict.status;
    out->error = verdict.error;
}

bool ConnectionGone(const beast::error_code& ec) {
    return ec == http::error::end_of_stream || ec == asio::error::eof ||
           ec == asio::ssl::error::stream_truncated || ec == asio::error::connection_reset ||
           ec == asio::error::broken_pipe;
}

// Requests per source address, a token bucket each; the least recently
// seen source is forgotten when the table is full, so the table is bounded
// whatever addresses clients come from.
class RateLimiter {
  public:
    RateLimiter(double rate, double burst, size_t sources)
        : m_rate(rate), m_burst(std::max(1.0, burst)), m_sources(std::max<size_t>(1, sources)) {}

    // Whether `source` may make a request now; when not, `retryAfterS` says
    // in how many seconds it may.
    bool Take(const std::string& source, int64_t nowMs, int* retryAfterS) {
        if (m_rate <= 0) return true;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_index.find(source);
        if (found == m_index.end()) {
            if (m_order.size() >= m_sources) {
                m_index.erase(m_order.back().source);
                m_order.pop_back();
            }
            m_order.push_front({source, m_burst, nowMs});
            found = m_index.emplace(source, m_order.begin()).first;
        } else {
            m_order.splice(m_order.begin(), m_order, found->second);
        }
        Bucket& bucket = *found->second;
        bucket.tokens = std::min(
            m_burst, bucket.tokens + static_cast<double>(nowMs - bucket.lastMs) * m_rate / 1000.0);
        bucket.lastMs = nowMs;
        if (bucket.tokens >= 1) {
            bucket.tokens -= 1;
            return true;
        }
        *retryAfterS = std::max(1, static_cast<int>(std::ceil((1 - bucket.tokens) / m_rate)));
        return false;
    }

  private:
    struct Bucket {
        std::string source;
        double tokens;
        int64_t lastMs;
    };
    const double m_rate;
    const double m_burst;
    const size_t m_sources;
    std::mutex m_mutex;
    std::list<Bucket> m_order;  // most recently seen first
    std::unordered_map<std::string, std::list<Bucket>::iterator> m_index;
};

// A fixed number of threads running queued tasks; Stop runs what is queued
// and joins them.
class WorkerPool {
  public:
    void Start(int threads) {
        for (int i = 0; i < threads; ++i) m_threads.emplace_back([this] { Work(); });
    }
    void Post(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
        m_wake.notify_one();
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            m_wake.notify_all();
        }
        for (std::thread& thread : m_threads) thread.join();
        m_threads.clear();
    }

  private:
    void Work() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty()) return;
            std::function<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // what it holds goes before the lock is taken again
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}  // namespace

class FrontSession;

class Front::Impl {
  public:
    Impl(const FrontLimits& limits, FrontHandler handler, FrontMetrics metrics)
        : m_limits(limits),
          m_handler(std::move(handler)),
          m_metrics(metrics),
          m_rate(limits.ratePerSecond, limits.rateBurst, limits.rateSources),
          m_acceptor(asio::make_strand(m_io)),
          m_acceptRetry(m_acceptor.get_executor()),
          m_trim(m_acceptor.get_executor()) {}
    ~Impl() { Stop(Milliseconds(0)); }

    int Listen(const std::string& address, int port, const FrontTlsSetup& setup,
               std::string* error);
    void Start();
    void Stop(Milliseconds grace);

    void Add(FrontSession* session, const std::shared_ptr<FrontSession>& shared);
    void Remove(FrontSession* session);

    const FrontLimits m_limits;
    const FrontHandler m_handler;
    const FrontMetrics m_metrics;
    RateLimiter m_rate;
    asio::ssl::context m_tls{asio::ssl::context::tls_server};
    std::mutex m_sessionsMutex;
    std::unordered_map<FrontSession*, std::weak_ptr<FrontSession>> m_sessions;
    WorkerPool m_workers;
    // After everything a session uses: the handlers it still holds when it
    // goes (sessions among them) find all of that alive.
    asio::io_context m_io;
    tcp::acceptor m_acceptor;
    asio::steady_timer m_acceptRetry;
    asio::steady_timer m_trim;

  private:
    void Accept();
    void TrimAfterStorms();

    size_t m_peak = 0;  // most sessions open since the last trim; under m_sessionsMutex

    std::vector<std::thread> m_threads;
    bool m_started = false;
    bool m_stopped = false;
};

// One connection, from accept to close; every handler runs on its strand.
class FrontSession : public std::enable_shared_from_this<FrontSession> {
  public:
    FrontSession(Front::Impl& front, tcp::socket socket)
        : m_front(front),
          m_executor(socket.get_executor()),
          m_socket(std::move(socket)),
          m_timer(m_executor),
          m_buffer(front.m_limits.headBytes + 4096) {
        if (m_front.m_metrics.open) m_front.m_metrics.open->Add(1);
    }
    ~FrontSession() {
        m_front.Remove(this);
        if (m_front.m_metrics.open) m_front.m_metrics.open->Add(-1);
    }
    FrontSession(const FrontSession&) = delete;
    FrontSession& operator=(const FrontSession&) = delete;

    asio::any_io_executor Executor() const { return m_executor; }

    // A TLS stream is made only once the client sends something: an idle
    // connection costs its socket and this object, not TLS buffers.
    void Begin() {
        beast::error_code ec;
        m_socket.set_option(tcp::no_delay(true), ec);
        const tcp::endpoint peer = m_socket.remote_endpoint(ec);
        if (ec) return Close();
        m_remote = peer.address().to_string();
        NewRequest();
        m_phase = Phase::Waiting;
        Arm(m_front.m_limits.headTimeoutMs);
        AwaitFirstByte();
    }

    // Shutting down: what has no request under way closes now; a request
    // being read or served is answered, then its connection closes.
    void StopGently() {
        m_stopping = true;
        if (m_phase == Phase::Waiting || m_phase == Phase::Handshake || m_phase == Phase::Idle ||
            m_phase == Phase::Head) {
            Close();
        }
    }

    void Close() {
        if (m_phase == Phase::Closed) return;
        m_phase = Phase::Closed;
        ++m_generation;
        beast::error_code ignored;
        m_timer.cancel();
        Socket().shutdown(tcp::socket::shutdown_both, ignored);
        Socket().close(ignored);
    }

  private:
    enum class Phase { Waiting, Handshake, Head, Body, Work, Writing, Idle, Linger, Closed };
    using TlsStream = asio::ssl::stream<tcp::socket>;

    tcp::socket& Socket() { return m_tls ? m_tls->next_layer() : m_socket; }
    const FrontLimits& Limits() const { return m_front.m_limits; }

    // One deadline at a time; arming another voids the one before, even
    // when its expiry is already queued.
    void Arm(int64_t ms) {
        const uint64_t generation = ++m_generation;
        m_expired = false;
        m_timer.expires_after(Milliseconds(ms));
        m_timer.async_wait([self = shared_from_this(), generation](const beast::error_code& ec) {
            if (ec || generation != self->m_generation) return;
            self->OnExpired();
        });
    }
    void Disarm() {
        ++m_generation;
        m_timer.cancel();
    }

    void OnExpired() {
        m_expired = true;
        if (m_phase == Phase::Head || m_phase == Phase::Body) {
            // The read ends aborted and answers 408.
            beast::error_code ignored;
            Socket().cancel(ignored);
            return;
        }
        Close();
    }

    void NewRequest() {
        m_request = FrontRequest();
        m_request.remote = m_remote;
        m_request.startedMs = SteadyMs();
        m_keepAlive = false;
        m_version = 11;
    }

    // The deadline armed at accept keeps running across the waits.
    void AwaitFirstByte() {
        m_socket.async_wait(tcp::socket::wait_read,
                            [self = shared_from_this()](const beast::error_code& error) {
                                self->OnReadable(error);
                            });
    }

    void OnReadable(const beast::error_code& ec) {
        if (m_phase == Phase::Closed) return;
        if (ec) return Close();
        char first = 0;
        const ssize_t peeked = ::recv(m_socket.native_handle(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
        // Readiness can be reported with nothing to read: the reactor reuses
        // a closed socket's state for the next one accepted on its
        // descriptor, and a readiness event still in flight for the old
        // socket then wakes this wait. Closing here would reset a client in
        // the middle of its handshake.
        if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return AwaitFirstByte();
        }
        // A client that connected and left (or reset) needs no TLS stream.
        if (peeked <= 0) return Close();
        m_tls = std::make_unique<TlsStream>(std::move(m_socket), m_front.m_tls);
        m_phase = Phase::Handshake;
        m_tls->async_handshake(asio::ssl::stream_base::server,
                               [self = shared_from_this()](const beast::error_code& error) {
                                   if (self->m_phase == Phase::Closed) return;
                                   if (error) return self->Close();
                                   self->ReadHead();
                               });
    }

    void ReadHead() {
        m_phase = Phase::Head;
        m_parser.emplace();
        ConfigureParser(*m_parser, Limits());
        http::async_read_header(
            *m_tls, m_buffer, *m_parser,
            [self = shared_from_this()](const beast::error_code& ec, size_t) { self->OnHead(ec); });
    }

    void OnHead(const beast::error_code& ec) {
        if (m_phase == Phase::Closed) return;
        if (m_expired) return Refuse(408, "request head not received in time", kLingerAfterBadHead);
        if (ec) {
            // A client that left can be told nothing.
            if (ConnectionGone(ec)) return Close();
            const Refusal refusal = ReadFailure(ec, true);
            return Refuse(refusal.status, refusal.error, kLingerAfterBadHead);
        }
        const auto& head = m_parser->get();
        m_keepAlive = head.keep_alive();
        m_version = head.version();
        JudgeHead(head, Limits(), &m_request);
        int retryAfterS = 0;
        if (!m_front.m_rate.Take(m_remote, SteadyMs(), &retryAfterS)) {
            if (m_front.m_metrics.rateLimited) m_front.m_metrics.rateLimited->Add();
            m_request.status = 429;
            m_request.error = "too many requests from this address";
            m_request.retryAfterS = retryAfterS;
        }
        if (m_request.status != 0)
            return Refuse(m_request.status, m_request.error, kLingerAfterHead);
        LimitBody(*m_parser);
        // The body often follows in a segment of its own; acknowledging the
        // head at once saves the client a delayed ACK before sending it.
        int one = 1;
        ::setsockopt(Socket().native_handle(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
        Arm(Limits().bodyTimeoutMs);
        m_phase = Phase::Body;
        const auto expect = head.find(http::field::expect);
        if (expect != head.end() && beast::iequals(expect->value(), "100-continue") &&
            !m_parser->is_done()) {
            // A client waiting for this sends its body only after it.
            m_continue.emplace(http::status::continue_, m_version);
            return http::async_write(
                *m_tls, *m_continue,
                [self = shared_from_this()](const beast::error_code& error, size_t) {
                    if (self->m_phase == Phase::Closed) return;
                    if (self->m_expired) {
                        return self->Refuse(408, "body not received in time", kLingerAfterHead);
                    }
                    if (error) return self->Close();
                    self->ReadBody();
                });
        }
        ReadBody();
    }

    void ReadBody() {
        http::async_read(
            *m_tls, m_buffer, *m_parser,
            [self = shared_from_this()](const beast::error_code& ec, size_t) { self->OnBody(ec); });
    }

    void OnBody(const beast::error_code& ec) {
        if (m_phase == Phase::Closed) return;
        if (m_expired) return Refuse(408, "body not received in time", kLingerAfterHead);
        if (ec) {
            const Refusal refusal = ReadFailure(ec, false);
            return Refuse(refusal.status, refusal.error, kLingerAfterHead);
        }
        m_request.body = std::move(m_parser->get().body());
        m_parser.reset();
        Serve();
    }

    void Refuse(int status, const std::string& error, size_t linger) {
        m_request.status = status;
        m_request.error = error;
        m_keepAlive = false;
        m_lingerBytes = linger;
        Serve();
    }

    // The handler (the store, the request log) blocks: it runs on a worker
    // and the answer comes back to this connection's strand.
    void Serve() {
        m_phase = Phase::Work;
        Disarm();
        m_parser.reset();
        auto request = std::make_shared<FrontRequest>(std::move(m_request));
        NewRequestKeepingFlags();
        m_front.m_workers.Post([self = shared_from_this(), request] {
            FrontAnswer answer = self->m_front.m_handler(*request);
            asio::post(self->Executor(), [self, answer = std::move(answer)]() mutable {
                self->Answer(std::move(answer));
            });
        });
    }

    void NewRequestKeepingFlags() {
        const bool keepAlive = m_keepAlive;
        const unsigned version = m_version;
        NewRequest();
        m_keepAlive = keepAlive;
        m_version = version;
    }

    void Answer(FrontAnswer answer) {
        if (m_phase == Phase::Closed) return;
        if (answer.drop) return Close();
        const bool keep = m_keepAlive && answer.status < 400 && !m_stopping;
        m_response.emplace(static_cast<http::status>(answer.status), m_version);
        m_response->set(http::field::content_type, "application/json");
        for (const auto& header : answer.headers) m_response->set(header.first, header.second);
        m_response->keep_alive(keep);
        if (!keep) m_response->set(http::field::connection, "close");
        m_response->body() = std::move(answer.body);
        m_response->prepare_payload();
        m_phase = Phase::Writing;
        Arm(Limits().bodyTimeoutMs);
        http::async_write(*m_tls, *m_response,
                          [self = shared_from_this(), keep](const beast::error_code& ec, size_t) {
                              if (self->m_phase == Phase::Closed) return;
                              self->m_response.reset();
                              if (ec) return self->Close();
                              if (keep) return self->AwaitNext();
                              self->Linger();
                          });
    }

    // Keep-alive: the next request's first byte within the idle timeout,
    // then its head within the head timeout.
    void AwaitNext() {
        NewRequest();
        if (m_buffer.size() > 0) {
            Arm(Limits().headTimeoutMs);
            return ReadHead();
        }
        m_phase = Phase::Idle;
        Arm(Limits().idleTimeoutMs);
        m_tls->async_read_some(m_buffer.prepare(4096),
                               [self = shared_from_this()](const beast::error_code& ec, size_t n) {
                                   if (self->m_phase == Phase::Closed) return;
                                   self->m_buffer.commit(n);
                                   if (ec) return self->Close();
                                   self->m_request.startedMs = SteadyMs();
                                   self->Arm(self->Limits().headTimeoutMs);
                                   self->ReadHead();
                               });
    }

    // After an answer that ends the connection: close_notify and FIN go out
    // at once, then what the client still sends is read and thrown away,
    // for lingerMs and m_lingerBytes at most. Closing with unread bytes
    // would reset the connection, and a client still sending its body
    // would then fail before it read the answer.
    void Linger() {
        m_phase = Phase::Linger;
        Arm(Limits().lingerMs);
        // Marked as received, the shutdown only sends ours, without waiting
        // for the client's (which one still sending never sends).
        SSL_set_shutdown(m_tls->native_handle(), SSL_RECEIVED_SHUTDOWN);
        m_tls->async_shutdown([self = shared_from_this()](const beast::error_code&) {
            if (self->m_phase == Phase::Closed) return;
            beast::error_code ignored;
            self->Socket().shutdown(tcp::socket::shutdown_send, ignored);
            self->m_buffer.clear();
            self->m_drained = 0;
            self->Drain();
        });
    }

    void Drain() {
        if (m_drained >= m_lingerBytes) return Close();
        Socket().async_read_some(
            m_buffer.prepare(std::min<size_t>(16384, m_buffer.max_size())),
            [self = shared_from_this()](const beast::error_code& ec, size_t n) {
                if (self->m_phase == Phase::Closed) return;
                if (ec) return self->Close();
                self->m_drained += n;
                self->Drain();
            });
    }

    Front::Impl& m_front;
    const asio::any_io_executor m_executor;
    tcp::socket m_socket;  // until the TLS stream takes it
    std::unique_ptr<TlsStream> m_tls;
    asio::steady_timer m_timer;
    uint64_t m_generation = 0;
    bool m_expired = false;
    bool m_stopping = false;
    Phase m_phase = Phase::Waiting;
    std::string m_remote;
    beast::flat_buffer m_buffer;
    std::optional<Parser> m_parser;
    std::optional<http::response<http::empty_body>> m_continue;
    std::optional<http::response<http::string_body>> m_response;
    FrontRequest m_request;
    bool m_keepAlive = false;
    unsigned m_version = 11;
    size_t m_lingerBytes = kLingerAfterHead;
    size_t m_drained = 0;
};

int Front::Impl::Listen(const std::string& address, int port, const FrontTlsSetup& setup,
                        std::string* error) {
    SSL_CTX* context = m_tls.native_handle();
    // Buffers of an idle TLS connection go back to the allocator.
    SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
    if (!setup(context)) {
        *error = "cannot set up TLS";
        return -1;
    }
    beast::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (!ec) {
        const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
        m_acceptor.open(endpoint.protocol(), ec);
        if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) m_acceptor.bind(endpoint, ec);
        if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
        return -1;
    }
    return m_acceptor.local_endpoint().port();
}

void Front::Impl::Start() {
    m_started = true;
    m_workers.Start(std::max(1, m_limits.workers));
    asio::dispatch(m_acceptor.get_executor(), [this] {
        Accept();
        TrimAfterStorms();
    });
    for (int i = 0; i < std::max(1, m_limits.ioThreads); ++i) {
        m_threads.emplace_back([this] { m_io.run(); });
    }
}

void Front::Impl::Accept() {
    m_acceptor.async_accept(
        asio::make_strand(m_io), [this](const beast::error_code& ec, tcp::socket socket) {
            if (!m_acceptor.is_open()) return;
            if (ec) {
                m_acceptRetry.expires_after(kAcceptBackoff);
                m_acceptRetry.async_wait([this](const beast::error_code& error) {
                    if (!error && m_acceptor.is_open()) Accept();
                });
                return;
            }
            size_t open;
            {
                std::lock_guard<std::mutex> lock(m_sessionsMutex);
                open = m_sessions.size();
            }
            if (open >= static_cast<size_t>(std::max(0, m_limits.maxConnections))) {
                if (m_metrics.refusedAtCap) m_metrics.refusedAtCap->Add();
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                auto session = std::make_shared<FrontSession>(*this, std::move(socket));
                Add(session.get(), session);
                asio::dispatch(session->Executor(), [session] { session->Begin(); });
            }
            Accept();
        });
}

void Front::Impl::Add(FrontSession* session, const std::shared_ptr<FrontSession>& shared) {
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    m_sessions.emplace(session, shared);
    m_peak = std::max(m_peak, m_sessions.size());
}

void Front::Impl::TrimAfterStorms() {
    m_trim.expires_after(kTrimInterval);
    m_trim.async_wait([this](const beast::error_code& ec) {
        if (ec || !m_acceptor.is_open()) return;
        bool trim = false;
        {
            std::lock_guard<std::mutex> lock(m_sessionsMutex);
            trim = m_peak >= m_sessions.size() + kTrimAfterClosed;
            if (trim) m_peak = m_sessions.size();
        }
        // Walking the heap takes a while: a worker does it, not an I/O thread.
        if (trim) m_workers.Post([] { malloc_trim(0); });
        TrimAfterStorms();
    });
}

void Front::Impl::Remove(FrontSession* session) {
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    m_sessions.erase(session);
}

void Front::Impl::Stop(Milliseconds grace) {
    if (m_stopped) return;
    m_stopped = true;
    if (!m_started) return;
    asio::post(m_acceptor.get_executor(), [this] {
        beast::error_code ignored;
        m_acceptor.close(ignored);
        m_acceptRetry.cancel();
        m_trim.cancel();
    });
    std::vector<std::shared_ptr<FrontSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_sessionsMutex);
        for (const auto& entry : m_sessions) {
            if (auto session = entry.second.lock()) sessions.push_back(std::move(session));
        }
    }
    for (const auto& session : sessions) {
        asio::post(session->Executor(), [session] { session->StopGently(); });
    }
    sessions.clear();
    const auto until = std::chrono::steady_clock::now() + grace;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_sessionsMutex);
            if (m_sessions.empty()) break;
        }
        if (std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(Milliseconds(10));
    }
    m_io.stop();
    for (std::thread& thread : m_threads) thread.join();
    m_threads.clear();
    m_workers.Stop();
}

Front::Front(const FrontLimits& limits, FrontHandler handler, FrontMetrics metrics)
    : m_impl(std::make_unique<Impl>(limits, std::move(handler), metrics)) {}

Front::~Front() = default;

int Front::Listen(const std::string& address, int port, const FrontTlsSetup& tls,
                  std::string* error) {
    return m_impl->Listen(address, port, tls, error);
}

void Front::Start() {
    m_impl->Start();
}

void Front::Stop(Milliseconds grace) {
    m_impl->Stop(grace);
}

FramingOutcome ParseFraming(std::string_view bytes, const FrontLimits& limits) {
    FramingOutcome outcome;
    Parser parser;
    ConfigureParser(parser, limits);
    beast::error_code ec;
    auto refuse = [&outcome](int status, std::string error) {
        outcome.status = status;
        outcome.error = std::move(error);
        outcome.complete = true;
        return outcome;
    };
    // As on a connection, whose buffer holds at most a little more than the head.
    const size_t window = limits.headBytes + 4096;
    while (!parser.is_header_done()) {
        const size_t n = parser.put(asio::buffer(bytes.data(), std::min(bytes.size(), window)), ec);
        bytes.remove_prefix(n);
        if (ec == http::error::need_more) {
            if (bytes.size() >= window) return refuse(431, "head past its buffer");
            return outcome;
        }
        if (ec) {
            const Refusal refusal = ReadFailure(ec, true);
            return refuse(refusal.status, refusal.error);
        }
    }
    FrontRequest request;
    JudgeHead(parser.get(), limits, &request);
    if (request.status != 0) return refuse(request.status, request.error);
    LimitBody(parser);
    while (!parser.is_done()) {
        const size_t n = parser.put(asio::buffer(bytes.data(), bytes.size()), ec);
        bytes.remove_prefix(n);
        if (ec == http::error::need_more) return outcome;
        if (ec) {
            const Refusal refusal = ReadFailure(ec, false);
            return refuse(refusal.status, refusal.error);
        }
        if (n == 0 && !parser.is_done()) return outcome;
    }
    outcome.complete = true;
    return outcome;
}

}  // namespace collector
}  // namespace tally
