#include "fleet_client.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <utility>

#include "fleet_holders.h"

namespace tally {
namespace fleet {
namespace {

using Clock = std::chrono::steady_clock;

bool SameName(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

// Digits only, at most `maxDigits` of them, in base 10 or 16.
bool ParseNumber(const std::string& text, int base, size_t maxDigits, uint64_t* out) {
    if (text.empty() || text.size() > maxDigits) return false;
    uint64_t value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return false;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    *out = value;
    return true;
}

double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// OpenSSL's reason for the last failure on this thread, for the log.
std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    if (code == 0) return errno != 0 ? std::string(std::strerror(errno)) : "connection closed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

AnswerParser::State AnswerParser::Fail(const std::string& why) {
    m_error = why;
    m_state = State::Bad;
    return m_state;
}

AnswerParser::State AnswerParser::Feed(const char* data, size_t size) {
    if (m_state == State::Bad) return m_state;
    if (m_state == State::Done) return size > 0 ? Fail("bytes after the answer") : m_state;
    m_seen += size;
    size_t i = 0;
    while (i < size && m_state == State::More) {
        const size_t left = size - i;
        switch (m_part) {
            case Part::Head: {
                const size_t before = m_line.size();
                m_line.append(data + i, std::min(left, kMaxHead + 4 - before));
                const size_t end = m_line.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
                if (end == std::string::npos) {
                    if (m_line.size() > kMaxHead) return Fail("answer head over 16 KiB");
                    i = size;
                    break;
                }
                i += end + 4 - before;
                m_line.resize(end + 2);  // every line ends in CRLF
                ParseHead();
                break;
            }
            case Part::Body:
            case Part::ChunkData: {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(m_left, left));
                m_body.append(data + i, take);
                i += take;
                m_left -= take;
                if (m_left == 0) {
                    if (m_part == Part::Body) {
                        m_state = State::Done;
                    } else {
                        m_part = Part::ChunkEnd;
                        m_line.clear();
                    }
                }
                break;
            }
            case Part::ChunkEnd:
                m_line += data[i++];
                if (m_line.size() == 2) {
                    if (m_line != "\r\n") return Fail("chunk not followed by CRLF");
                    m_line.clear();
                    m_part = Part::ChunkSize;
                }
                break;
            case Part::ChunkSize:
            case Part::Trailer: {
                m_line += data[i++];
                if (m_line.size() > (m_part == Part::ChunkSize ? 256 : kMaxHead))
                    return Fail(m_part == Part::ChunkSize ? "chunk-size line too long"
                                                          : "trailer too long");
                if (m_line.size() < 2 || m_line.compare(m_line.size() - 2, 2, "\r\n") != 0) break;
                if (m_part == Part::Trailer) {
                    // The empty line that ends the trailer (fields in it are ignored).
                    if (m_line.size() >= 4 && m_line.compare(m_line.size() - 4, 4, "\r\n\r\n") == 0)
                        m_state = State::Done;
                    if (m_line == "\r\n") m_state = State::Done;
                    break;
                }
                std::string sizeText = m_line.substr(0, m_line.size() - 2);
                sizeText = Trim(sizeText.substr(0, sizeText.find(';')));  // extensions ignored
                uint64_t chunk = 0;
                if (!ParseNumber(sizeText, 16, 8, &chunk)) return Fail("bad chunk size");
                m_line.clear();
                if (chunk == 0) {
                    m_part = Part::Trailer;
                } else if (m_body.size() + chunk > kMaxBody) {
                    return Fail("answer body over 1 MiB");
                } else {
                    m_left = chunk;
                    m_part = Part::ChunkData;
                }
                break;
            }
        }
    }
    if (m_state == State::Done && i < size) return Fail("bytes after the answer");
    return m_state;
}

AnswerParser::State AnswerParser::ParseHead() {
    const std::string head = std::move(m_line);
    m_line.clear();
    size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    // "HTTP/1.x NNN reason": the reason may be empty.
    if (statusLine.size() < 12 || statusLine.compare(0, 7, "HTTP/1.") != 0 ||
        (statusLine[7] != '0' && statusLine[7] != '1') || statusLine[8] != ' ' ||
        !std::isdigit(static_cast<unsigned char>(statusLine[9])) ||
        !std::isdigit(static_cast<unsigned char>(statusLine[10])) ||
        !std::isdigit(static_cast<unsigned char>(statusLine[11])) ||
        (statusLine.size() > 12 && statusLine[12] != ' ')) {
        return Fail("bad status line: " + statusLine.substr(0, 80));
    }
    m_status = std::stoi(statusLine.substr(9, 3));
    m_keepAlive = statusLine[7] == '1';
    bool haveLength = false;
    uint64_t length = 0;
    m_chunked = false;
    for (size_t start = lineEnd + 2; start < head.size(); start = lineEnd + 2) {
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || line[0] == ' ' || line[0] == '\t' ||
            line.find_first_of(" \t") < colon) {
            return Fail("bad header line: " + line.substr(0, 80));
        }
        const std::string name = line.substr(0, colon);
        const std::string value = Trim(line.substr(colon + 1));
        if (SameName(name, "content-length")) {
            uint64_t parsed = 0;
            if (!ParseNumber(value, 10, 12, &parsed) || (haveLength && parsed != length))
                return Fail("bad Content-Length: " + value.substr(0, 40));
            haveLength = true;
            length = parsed;
        } else if (SameName(name, "transfer-encoding")) {
            if (Lower(value) != "chunked" || m_chunked)
                return Fail("transfer coding not supported: " + value.substr(0, 40));
            m_chunked = true;
        } else if (SameName(name, "connection")) {
            if (Lower(value).find("close") != std::string::npos) m_keepAlive = false;
        }
    }
    if (m_status >= 100 && m_status < 200) {
        // An interim answer (100 Continue): the real one follows.
        if (m_status == 101) return Fail("switching protocols");
        m_status = 0;
        m_keepAlive = true;
        return m_state;
    }
    if (m_chunked && haveLength) return Fail("both Content-Length and chunked");
    if (m_chunked) {
        m_part = Part::ChunkSize;
    } else if (haveLength) {
        if (length > kMaxBody) return Fail("answer body over 1 MiB");
        m_left = length;
        m_part = Part::Body;
        if (length == 0) m_state = State::Done;
    } else if (m_status == 204 || m_status == 304) {
        m_state = State::Done;
    } else {
        // A body ended by closing the connection cannot be told from a
        // connection cut short; the collector always gives a length.
        return Fail("answer without Content-Length or chunked body");
    }
    return m_state;
}

SSL_CTX* NewClientContext(const std::string& caFile, std::string* error) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr ||
        SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        *error = "the CA file " + caFile + " holds no PEM certificate";
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    return context;
}

SSL_CTX* NewUploadContext(const std::string& caFile, std::string* error) {
    SSL_CTX* context = NewClientContext(caFile, error);
    if (context == nullptr) return nullptr;
    // No resumption: every device of the fleet is a stranger to the server.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);
    return context;
}

std::string RequestBytes(const std::string& hostHeader, const Upload& upload, int64_t nowMs) {
    // Header order as the library's client (libcurl) writes them: Host,
    // the headers it is given in their order, then Content-Length.
    std::string request = "POST /v1/batches HTTP/1.1\r\nHost: " + hostHeader +
                          "\r\nContent-Type: application/json\r\n"
                          "Content-Encoding: gzip\r\n"
                          "Accept: application/json\r\n"
                          "Idempotency-Key: " +
                          upload.idempotencyKey +
                          "\r\n"
                          "User-Agent: Tally/" TALLY_VERSION
                          " (Orvel 3.1.0)\r\n"
                          "X-Tally-Upload-Time: " +
                          std::to_string(nowMs) +
                          "\r\n"
                          "X-Tally-Attempt: " +
                          std::to_string(upload.attempt) +
                          "\r\n"
                          "Content-Length: " +
                          std::to_string(upload.body.size()) + "\r\n\r\n";
    request += upload.body;
    return request;
}

struct UploadClient::Target {
    std::string host;  // the address to connect to
    int port = 0;
    std::string hostHeader;  // host[:port] as the URL gives it
    bool byName = false;     // localhost: check that name; otherwise the address
};

struct UploadClient::Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    ~Connection() {
        if (ssl != nullptr) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
    }
};

struct UploadClient::Slot {
    enum class State { Free, Connecting, Handshaking, Writing, Reading };
    State state = State::Free;
    Upload upload;
    size_t target = 0;
    std::unique_ptr<Connection> connection;
    std::string request;
    size_t written = 0;
    AnswerParser parser;
    Clock::time_point started, deadline, connectStarted, connected;
    bool opened = false;
    bool reused = false;   // on a kept-alive connection
    bool retried = false;  // a kept-alive connection the server had closed, replaced once
    double connectMs = -1, handshakeMs = -1;
    short events = 0;
};

UploadClient::UploadClient(SSL_CTX* context, const std::vector<std::string>& urls, int concurrency,
                           bool newConnections, double timeoutSeconds)
    : m_context(context),
      m_newConnections(newConnections),
      m_timeout(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(timeoutSeconds))) {
    for (const std::string& url : urls) {
        Target target;
        LoopbackTarget(url, &target.host, &target.port);
        std::string authority = url.substr(url.find("://") + 3);
        if (!authority.empty() && authority.back() == '/') authority.pop_back();
        target.hostHeader = authority;
        target.byName = authority.compare(0, 10, "localhost:") == 0;
        m_targets.push_back(target);
    }
    m_idle.resize(m_targets.size());
    for (int i = 0; i < concurrency; ++i) m_slots.push_back(std::make_unique<Slot>());
    for (auto it = m_slots.rbegin(); it != m_slots.rend(); ++it) m_free.push_back(it->get());
}

UploadClient::~UploadClient() = default;

void UploadClient::Begin(Upload upload, size_t urlIndex, int64_t nowMs,
                         std::vector<Finished>* done) {
    Slot& slot = *m_free.back();
    m_free.pop_back();
    slot.upload = std::move(upload);
    slot.target = urlIndex % m_targets.size();
    slot.request = RequestBytes(m_targets[slot.target].hostHeader, slot.upload, nowMs);
    slot.written = 0;
    slot.parser = AnswerParser();
    slot.started = Clock::now();
    slot.deadline = slot.started + m_timeout;
    slot.opened = slot.reused = slot.retried = false;
    slot.connectMs = slot.handshakeMs = -1;
    auto& idle = m_idle[slot.target];
    while (!idle.empty()) {
        std::unique_ptr<Connection> connection = std::move(idle.back());
        idle.pop_back();
        // A kept connection the server has closed (or that has bytes no
        // request asked for) reads as ready: not one to send on.
        pollfd probe{connection->fd, POLLIN, 0};
        if (::poll(&probe, 1, 0) != 0) continue;
        slot.connection = std::move(connection);
        slot.reused = true;
        slot.state = Slot::State::Writing;
        slot.events = POLLOUT;
        return;
    }
    Connect(slot, done);
}

void UploadClient::Connect(Slot& slot, std::vector<Finished>* done) {
    const Target& target = m_targets[slot.target];
    slot.connection = std::make_unique<Connection>();
    slot.connectStarted = Clock::now();
    slot.connection->fd = ConnectTcp(target.host, target.port, true);
    if (slot.connection->fd < 0) {
        End(slot, "curl_7", std::string("connect: ") + std::strerror(errno), done);
        return;
    }
    slot.state = Slot::State::Connecting;
    slot.events = POLLOUT;
}

void UploadClient::Retry(Slot& slot, std::vector<Finished>* done) {
    slot.connection.reset();
    slot.retried = true;
    slot.reused = false;
    slot.written = 0;
    slot.parser = AnswerParser();
    Connect(slot, done);
}

void UploadClient::Release(Slot& slot, bool keep) {
    if (keep && slot.connection) {
        auto& idle = m_idle[slot.target];
        if (idle.size() < m_slots.size()) idle.push_back(std::move(slot.connection));
    }
    slot.connection.reset();
    slot.state = Slot::State::Free;
    m_free.push_back(&slot);
}

void UploadClient::End(Slot& slot, const std::string& error, const std::string& detail,
                       std::vector<Finished>* done) {
    if (m_reported.insert(error).second) {
        std::cerr << "tally-fleet: an upload failed (" << error << "): " << detail
                  << " (further ones are counted, not logged)\n";
    }
    Finished finished = Finish(slot);
    finished.error = error;
    done->push_back(std::move(finished));
    Release(slot, false);
}

Finished UploadClient::Finish(Slot& slot) {
    Finished finished;
    finished.ms = MsBetween(slot.started, Clock::now());
    finished.opened = slot.opened;
    finished.connectMs = slot.connectMs;
    finished.handshakeMs = slot.handshakeMs;
    finished.upload = std::move(slot.upload);
    return finished;
}

void UploadClient::Step(Slot& slot, std::vector<Finished>* done) {
    for (;;) {
        if (slot.state == Slot::State::Free || !slot.connection) return;
        Connection& connection = *slot.connection;
        ERR_clear_error();
        errno = 0;
        switch (slot.state) {
            case Slot::State::Free:
                return;
            case Slot::State::Connecting: {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == EINPROGRESS || error == EALREADY) return;
                if (error != 0) {
                    End(slot, "curl_7", std::string("connect: ") + std::strerror(error), done);
                    return;
                }
                slot.connected = Clock::now();
                slot.opened = true;
                slot.connectMs = MsBetween(slot.connectStarted, slot.connected);
                const Target& target = m_targets[slot.target];
                connection.ssl = SSL_new(m_context);
                bool ready =
                    connection.ssl != nullptr && SSL_set_fd(connection.ssl, connection.fd) == 1;
                // The name or address of the URL is what the certificate
                // must carry, and a name goes in the handshake (SNI).
                if (ready && target.byName) {
                    ready = SSL_set_tlsext_host_name(connection.ssl, "localhost") == 1 &&
                            SSL_set1_host(connection.ssl, "localhost") == 1;
                } else if (ready) {
                    ready = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(connection.ssl),
                                                          target.host.c_str()) == 1;
                }
                if (!ready) {
                    End(slot, "curl_35", "cannot set up TLS: " + OpenSslReason(), done);
                    return;
                }
                slot.state = Slot::State::Handshaking;
                break;
            }
            case Slot::State::Handshaking: {
                const int result = SSL_connect(connection.ssl);
                if (result == 1) {
                    slot.handshakeMs = MsBetween(slot.connected, Clock::now());
                    slot.state = Slot::State::Writing;
                    break;
                }
                const int error = SSL_get_error(connection.ssl, result);
                if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                    slot.events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                    return;
                }
                const long verified = SSL_get_verify_result(connection.ssl);
                if (verified != X509_V_OK) {
                    End(slot, "curl_60",
                        std::string("server certificate refused: ") +
                            X509_verify_cert_error_string(verified),
                        done);
                } else {
                    End(slot, "curl_35", "TLS handshake: " + OpenSslReason(), done);
                }
                return;
            }
            case Slot::State::Writing: {
                const int result = SSL_write(connection.ssl, slot.request.data() + slot.written,
                                             static_cast<int>(slot.request.size() - slot.written));
                if (result > 0) {
                    slot.written += static_cast<size_t>(result);
                    if (slot.written == slot.request.size()) slot.state = Slot::State::Reading;
                    break;
                }
                const int error = SSL_get_error(connection.ssl, result);
                if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                    slot.events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                    return;
                }
                if (slot.reused && !slot.retried) {
                    Retry(slot, done);
                    return;
                }
                End(slot, "curl_55", "send: " + OpenSslReason(), done);
                return;
            }
            case Slot::State::Reading: {
                char buffer[16384];
                const int result = SSL_read(connection.ssl, buffer, sizeof buffer);
                if (result > 0) {
                    const AnswerParser::State state =
                        slot.parser.Feed(buffer, static_cast<size_t>(result));
                    if (state == AnswerParser::State::Bad) {
                        End(slot, "curl_8", "answer refused: " + slot.parser.Error(), done);
                        return;
                    }
                    if (state == AnswerParser::State::Done) {
                        Finished finished = Finish(slot);
                        finished.status = slot.parser.Status();
                        finished.body = slot.parser.Body();
                        done->push_back(std::move(finished));
                        const bool keep = !m_newConnections && slot.parser.KeepAlive();
                        // A connection that ends here says so (close_notify),
                        // as a client closing after its answer does.
                        if (!keep) SSL_shutdown(connection.ssl);
                        Release(slot, keep);
                        return;
                    }
                    break;
                }
                const int error = SSL_get_error(connection.ssl, result);
                if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                    slot.events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                    return;
                }
                // The server closed a kept connection as this upload went out.
                if (!slot.parser.Started() && slot.reused && !slot.retried) {
                    Retry(slot, done);
                    return;
                }
                // A close with or without close_notify (OpenSSL 3 reports a
                // bare TCP close as an unexpected EOF), as against a reset.
                const unsigned long reason = ERR_peek_error();
                const bool closed = error == SSL_ERROR_ZERO_RETURN ||
                                    (error == SSL_ERROR_SYSCALL && errno == 0 && reason == 0) ||
                                    (error == SSL_ERROR_SSL && ERR_GET_LIB(reason) == ERR_LIB_SSL &&
                                     ERR_GET_REASON(reason) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
                if (closed && !slot.parser.Started()) {
                    End(slot, "curl_52", "the server closed without answering", done);
                } else if (closed) {
                    End(slot, "curl_18", "the server closed within its answer", done);
                } else {
                    End(slot, "curl_56", "receive: " + OpenSslReason(), done);
                }
                return;
            }
        }
    }
}

void UploadClient::Run(int waitMs, std::vector<Finished>* done) {
    Clock::time_point now = Clock::now();
    Clock::time_point nearest = now + std::chrono::milliseconds(waitMs);
    m_fds.clear();
    m_polled.clear();
    for (const auto& owned : m_slots) {
        Slot& slot = *owned;
        if (slot.state == Slot::State::Free) continue;
        if (now >= slot.deadline) {
            End(slot, "curl_28", "no answer within --timeout", done);
            continue;
        }
        nearest = std::min(nearest, slot.deadline);
        m_fds.push_back(pollfd{slot.connection->fd, slot.events, 0});
        m_polled.push_back(&slot);
    }
    if (m_fds.empty()) return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
    if (::poll(m_fds.data(), m_fds.size(), static_cast<int>(std::max<int64_t>(0, wait))) <= 0)
        return;
    for (size_t i = 0; i < m_fds.size(); ++i) {
        if (m_fds[i].revents != 0) Step(*m_polled[i], done);
    }
}

}  // namespace fleet
}  // namespace tally
