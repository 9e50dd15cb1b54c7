#include "fleet_holders.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace tally {
namespace fleet {
namespace {

using Clock = std::chrono::steady_clock;

// Below the collector's 5 s read time-out, so a trickler is not cut off
// for being silent: it is the slow client a time-out per read cannot catch.
constexpr std::chrono::milliseconds kTrickleGap{1000};
// A closed connection is opened again after this, so a server that closes
// at once is not flooded with connects.
constexpr std::chrono::milliseconds kReopenGap{200};

const char kTrickleHead[] =
    "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
    "Content-Encoding: gzip\r\nUser-Agent: Tally/0 (trickle)\r\n";
const char kTricklePad[] = "X-Tally-Pad: 0\r\n";  // repeated for as long as the run lasts

}  // namespace

int ConnectTcp(const std::string& host, int port, bool nonBlocking) {
    const bool v6 = host.find(':') != std::string::npos;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET,
                            SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    int result = -1;
    if (v6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host.c_str(), &address.sin6_addr);
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (result != 0 && !(nonBlocking && errno == EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Holders::Held {
    enum class State { Closed, Connecting, Handshaking, Open };
    bool trickle = false;
    State state = State::Closed;
    int fd = -1;
    SSL* ssl = nullptr;
    short wants = POLLOUT;
    size_t sent = 0;  // bytes of the trickled head so far
    Clock::time_point next{};
};

Holders::Holders(std::string host, int port, int idle, int trickle)
    : m_host(std::move(host)), m_port(port), m_idle(idle), m_trickle(trickle) {}

Holders::~Holders() {
    Stop();
}

bool Holders::Start(SSL_CTX* context, std::string* error) {
    m_context = context;
    m_held.resize(static_cast<size_t>(m_idle + m_trickle));
    for (int i = 0; i < m_trickle; ++i) m_held[static_cast<size_t>(m_idle + i)].trickle = true;
    try {
        m_thread = std::thread(&Holders::Run, this);
    } catch (const std::exception& e) {
        *error = std::string("cannot start the connection holder: ") + e.what();
        return false;
    }
    return true;
}

HeldCounts Holders::WaitOpen(double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    HeldCounts counts = Counts();
    while ((counts.idleOpen < m_idle || counts.trickleOpen < m_trickle) &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        counts = Counts();
    }
    return counts;
}

HeldCounts Holders::Counts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

void Holders::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    for (Held& held : m_held) Close(held, false);
}

void Holders::Open(Held& held) {
    held.fd = ConnectTcp(m_host, m_port, true);
    held.sent = 0;
    if (held.fd < 0) {
        held.next = Clock::now() + kReopenGap;
        return;
    }
    held.state = Held::State::Connecting;
    held.wants = POLLOUT;
}

void Holders::Close(Held& held, bool reopen) {
    if (held.ssl != nullptr) SSL_free(held.ssl);
    if (held.fd >= 0) ::close(held.fd);
    held.ssl = nullptr;
    held.fd = -1;
    held.state = Held::State::Closed;
    held.next = Clock::now() + (reopen ? kReopenGap : std::chrono::milliseconds(0));
}

void Holders::Run() {
    std::vector<pollfd> fds;
    std::vector<Held*> polled;
    long reopened = 0;
    long trickleBytes = 0;
    while (!m_stop) {
        const auto now = Clock::now();
        fds.clear();
        polled.clear();
        int idleOpen = 0;
        int trickleOpen = 0;
        for (Held& held : m_held) {
            if (held.state == Held::State::Closed && now >= held.next) Open(held);
            if (held.state == Held::State::Open && held.trickle && now >= held.next) {
                // One byte of the head, then the next one a gap later.
                const std::string head = kTrickleHead;
                const size_t padLength = sizeof kTricklePad - 1;
                const char byte = held.sent < head.size()
                                      ? head[held.sent]
                                      : kTricklePad[(held.sent - head.size()) % padLength];
                if (SSL_write(held.ssl, &byte, 1) == 1) {
                    ++held.sent;
                    ++trickleBytes;
                }
                held.next = now + kTrickleGap;
            }
            if (held.state == Held::State::Open) (held.trickle ? trickleOpen : idleOpen)++;
            if (held.fd >= 0) {
                fds.push_back(pollfd{held.fd, held.wants, 0});
                polled.push_back(&held);
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_counts.idleOpen = idleOpen;
            m_counts.trickleOpen = trickleOpen;
            m_counts.reopened = reopened;
            m_counts.trickleBytes = trickleBytes;
        }
        if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Held& held = *polled[i];
            if (held.state == Held::State::Connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(held.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    Close(held, true);
                    continue;
                }
                if (!held.trickle) {
                    held.state = Held::State::Open;
                    held.wants = POLLIN;
                    continue;
                }
                held.ssl = SSL_new(m_context);
                if (held.ssl == nullptr || SSL_set_fd(held.ssl, held.fd) != 1) {
                    Close(held, true);
                    continue;
                }
                SSL_set_tlsext_host_name(held.ssl, "localhost");
                SSL_set1_host(held.ssl, "localhost");
                held.state = Held::State::Handshaking;
            }
            if (held.state == Held::State::Handshaking) {
                const int result = SSL_connect(held.ssl);
                if (result == 1) {
                    held.state = Held::State::Open;
                    held.wants = POLLIN;
                    held.next = Clock::now();
                    continue;
                }
                const int error = SSL_get_error(held.ssl, result);
                if (error == SSL_ERROR_WANT_READ) {
                    held.wants = POLLIN;
                } else if (error == SSL_ERROR_WANT_WRITE) {
                    held.wants = POLLOUT;
                } else {
                    ++reopened;
                    Close(held, true);
                }
                continue;
            }
            // Open: anything readable is the server's answer or its close;
            // either way this connection is done and a new one takes its place.
            char buffer[512];
            const int got = held.ssl ? SSL_read(held.ssl, buffer, sizeof buffer)
                                     : static_cast<int>(::recv(held.fd, buffer, sizeof buffer, 0));
            if (held.ssl && got <= 0 && SSL_get_error(held.ssl, got) == SSL_ERROR_WANT_READ)
                continue;
            ++reopened;
            Close(held, true);
        }
    }
}

FloodResult HeaderFlood(const std::string& host, int port, SSL_CTX* context, int mebibytes,
                        int parallel) {
    std::mutex mutex;
    std::mutex handshake;
    FloodResult total;
    std::atomic<int> remaining{mebibytes};
    const auto floodOne = [&]() {
        const std::string line = "X-Tally-Flood: " + std::string(4096 - 17, 'a') + "\r\n";
        while (remaining.fetch_sub(1) > 0) {
            FloodResult mine;
            const int fd = ConnectTcp(host, port, false);
            if (fd < 0) continue;
            const timeval bound{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
            SSL* ssl = SSL_new(context);
            bool connected = false;
            if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 &&
                SSL_set_tlsext_host_name(ssl, "localhost") == 1) {
                // One handshake at a time: verifying the chain from several
                // threads on one context meets OpenSSL's internal caching,
                // which ThreadSanitizer reports; the flood is the heads.
                std::lock_guard<std::mutex> lock(handshake);
                connected = SSL_connect(ssl) == 1;
            }
            if (connected) {
                mine.connections = 1;
                const std::string start = "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\n";
                bool ok = SSL_write(ssl, start.data(), static_cast<int>(start.size())) > 0;
                for (long long sent = 0; ok && sent < (1 << 20); sent += line.size()) {
                    ok = SSL_write(ssl, line.data(), static_cast<int>(line.size())) > 0;
                    if (ok) mine.bytes += static_cast<long long>(line.size());
                }
                char answer[256];
                if (ok && SSL_write(ssl, "\r\n", 2) > 0 &&
                    SSL_read(ssl, answer, sizeof answer) > 0) {
                    mine.answered = 1;
                }
                SSL_shutdown(ssl);
            }
            if (ssl != nullptr) SSL_free(ssl);
            ::close(fd);
            std::lock_guard<std::mutex> lock(mutex);
            total.connections += mine.connections;
            total.bytes += mine.bytes;
            total.answered += mine.answered;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < std::max(1, parallel); ++i) threads.emplace_back(floodOne);
    for (std::thread& thread : threads) thread.join();
    return total;
}

}  // namespace fleet
}  // namespace tally
