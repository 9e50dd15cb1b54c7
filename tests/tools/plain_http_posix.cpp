#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "plain_http.h"

namespace tally {
namespace testing {

std::string PlainHttp(int port, const std::string& method, const std::string& path,
                      const std::string& body) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::string();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        const std::string request = PlainHttpRequest(method, path, body);
        size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
            response.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return PlainHttpBody(response);
}

int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct RawConnection::Tls {
    struct ContextFree {
        void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    };
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };
    std::unique_ptr<SSL_CTX, ContextFree> context;
    std::unique_ptr<SSL, SslFree> ssl;
};

RawConnection::RawConnection(int port, const std::string& caFile) : m_fd(ConnectLoopback(port)) {
    signal(SIGPIPE, SIG_IGN);  // a server that closes early must not end the test
    if (m_fd < 0 || caFile.empty()) return;
    m_tls = std::make_unique<Tls>();
    m_tls->context.reset(SSL_CTX_new(TLS_client_method()));
    if (!m_tls->context ||
        SSL_CTX_load_verify_locations(m_tls->context.get(), caFile.c_str(), nullptr) != 1) {
        Close();
        return;
    }
    SSL_CTX_set_verify(m_tls->context.get(), SSL_VERIFY_PEER, nullptr);
    m_tls->ssl.reset(SSL_new(m_tls->context.get()));
    SSL* ssl = m_tls->ssl.get();
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    SSL_set_fd(ssl, m_fd);
    if (SSL_connect(ssl) != 1) Close();
}

RawConnection::~RawConnection() {
    Close();
}

void RawConnection::Close() {
    m_tls.reset();
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

// The server may close before it took everything: what it answered counts.
size_t RawConnection::Send(const std::string& bytes) {
    size_t sent = 0;
    SSL* ssl = m_tls ? m_tls->ssl.get() : nullptr;
    while (m_fd >= 0 && sent < bytes.size()) {
        const size_t chunk = bytes.size() - sent;
        const int n = ssl ? SSL_write(ssl, bytes.data() + sent, static_cast<int>(chunk))
                          : static_cast<int>(send(m_fd, bytes.data() + sent, chunk, MSG_NOSIGNAL));
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    return sent;
}

bool RawConnection::Receive(std::string* into, std::chrono::steady_clock::time_point deadline) {
    char buffer[16384];
    SSL* ssl = m_tls ? m_tls->ssl.get() : nullptr;
    if (m_fd < 0) return false;
    for (;;) {
        if (!ssl || SSL_pending(ssl) == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return true;
            pollfd wait{m_fd, POLLIN, 0};
            if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) return true;
        }
        const int n = ssl ? SSL_read(ssl, buffer, sizeof(buffer))
                          : static_cast<int>(recv(m_fd, buffer, sizeof(buffer), 0));
        if (n <= 0) {
            if (ssl && SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) continue;
            return false;
        }
        into->append(buffer, static_cast<size_t>(n));
        return true;
    }
}

RawReply RawExchange(int port, const std::string& caFile, const std::string& bytes,
                     int closeWaitMs) {
    using Clock = std::chrono::steady_clock;
    RawReply reply;
    RawConnection connection(port, caFile);
    if (!connection.Ok()) return reply;
    connection.Send(bytes);
    // The first response: headers, then its Content-Length of body.
    std::string received;
    const auto responseBy = Clock::now() + std::chrono::seconds(5);
    size_t headEnd = std::string::npos;
    size_t wanted = 0;
    bool open = true;
    while (open && Clock::now() < responseBy) {
        open = connection.Receive(&received, responseBy);
        if (headEnd == std::string::npos &&
            (headEnd = received.find("\r\n\r\n")) != std::string::npos) {
            reply.head = received.substr(0, headEnd);
            const size_t length = reply.head.find("\r\nContent-Length: ");
            wanted = length == std::string::npos
                         ? 0
                         : std::strtoul(reply.head.c_str() + length + 18, nullptr, 10);
            reply.status = std::atoi(reply.head.c_str() + reply.head.find(' ') + 1);
        }
        if (headEnd != std::string::npos && received.size() >= headEnd + 4 + wanted) break;
    }
    if (headEnd == std::string::npos) {
        reply.after = received;
        reply.closed = !open;
        return reply;
    }
    reply.body = received.substr(headEnd + 4, wanted);
    reply.after = received.substr(std::min(received.size(), headEnd + 4 + wanted));
    const auto closeBy = Clock::now() + std::chrono::milliseconds(closeWaitMs);
    while (open && Clock::now() < closeBy) open = connection.Receive(&reply.after, closeBy);
    reply.closed = !open;
    return reply;
}

}  // namespace testing
}  // namespace tally
