// A minimal plain-HTTP/1.0 client for the collector's control port
// (loopback, no TLS): the end-to-end tests run on Linux and under Wine,
// where no libcurl exists. One file per platform (plain_http_posix.cpp,
// plain_http_win.cpp), picked by CMake.
#ifndef TALLYSERVICE_TESTS_TOOLS_PLAIN_HTTP_H_
#define TALLYSERVICE_TESTS_TOOLS_PLAIN_HTTP_H_

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

// The body of a whole response text; empty without a header end.
inline std::string PlainHttpBody(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_TOOLS_PLAIN_HTTP_H_
