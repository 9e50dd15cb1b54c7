// A minimal plain-HTTP/1.0 client for the collector's control port
// (loopback, no TLS): the end-to-end tests run on Linux and under Wine,
// where no libcurl exists. One file per platform (plain_http_posix.cpp,
// plain_http_win.cpp), picked by CMake.
#ifndef TALLYSERVICE_TESTS_TOOLS_PLAIN_HTTP_H_
#define TALLYSERVICE_TESTS_TOOLS_PLAIN_HTTP_H_

#include <chrono>
#include <memory>
#include <string>

namespace tally {
namespace testing {

// Sends `method` `path` with `body` to 127.0.0.1:`port` and answers the
// response body; empty when the exchange failed.
std::string PlainHttp(int port, const std::string& method, const std::string& path,
                      const std::string& body);

// The request text both implementations send.
inline std::string PlainHttpRequest(const std::string& method, const std::string& path,
                                    const std::string& body) {
    return method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: application/json" +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

#ifndef _WIN32
// A TCP connection to 127.0.0.1:`port`; -1 when refused.
int ConnectLoopback(int port);

// One connection to 127.0.0.1:`port`, over TLS trusting only `caFile` (as
// localhost) unless it is empty: bytes go out as they are.
class RawConnection {
  public:
    RawConnection(int port, const std::string& caFile);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Ok() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    // How many of `bytes` the server took before it closed.
    size_t Send(const std::string& bytes);
    // Appends what arrives until `deadline`; false once the server closed.
    bool Receive(std::string* into, std::chrono::steady_clock::time_point deadline);
    void Close();

  private:
    struct Tls;
    int m_fd;
    std::unique_ptr<Tls> m_tls;
};

// What came back for raw request bytes, sent as they are (the collector's
// answers to malformed requests; Linux only, like the collector).
struct RawReply {
    int status = 0;       // of the first response; 0 when none arrived
    std::string head;     // its status line and headers
    std::string body;     // its body, by its Content-Length
    std::string after;    // anything the server sent after it
    bool closed = false;  // the server ended the connection within `closeWaitMs`
};

// Sends `bytes` to 127.0.0.1:`port` (over TLS trusting only `caFile`, as
// localhost, unless it is empty), reads the first response, then waits up to
// `closeWaitMs` for the server to close.
RawReply RawExchange(int port, const std::string& caFile, const std::string& bytes,
                     int closeWaitMs);
#endif

// The body of a whole response text; empty without a header end.
inline std::string PlainHttpBody(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_TOOLS_PLAIN_HTTP_H_
