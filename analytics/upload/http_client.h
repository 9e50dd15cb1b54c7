// The one seam between the upload policy and the network. The policy decides
// what to send and when; an HttpClient only makes one HTTPS POST with a
// deadline and says how it ended. Linux: libcurl (multi interface, so Cancel
// ends a request within milliseconds). Windows: WinHTTP with our own check of
// the server's chain against the CA file, the body written only after it
// passes. Tests use a fake.
#ifndef TALLYSERVICE_ANALYTICS_UPLOAD_HTTP_CLIENT_H_
#define TALLYSERVICE_ANALYTICS_UPLOAD_HTTP_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tally {

// How the trust of the server is decided, fixed for one library session.
struct TlsSettings {
    // PEM file with the only trust anchor; empty: the system's trust store.
    std::string caFile;
    // PEM file with the public key the server's leaf must carry; empty: no pin.
    std::string pinnedKeyFile;
    // Plain http:// URLs are refused unless this is set (tests only).
    bool allowPlainHttp = false;
};

struct HttpRequest {
    std::string url;  // https://host[:port]/path
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;       // sent as is (already gzip-compressed)
    int64_t timeoutMs = 0;  // the whole request, connect included
    int64_t connectTimeoutMs = 0;
};

struct HttpResult {
    enum class Kind {
        Ok,         // the server answered; `status` holds its status code
        Network,    // no answer: refused, reset, DNS, dropped, empty reply
        Timeout,    // no answer within the deadline
        Tls,        // certificate not trusted, wrong name, pin mismatch
        TlsConfig,  // the CA or key file exists but cannot be used: nothing sent
        Cancelled,  // Cancel() was called
    };
    Kind kind = Kind::Network;
    int status = 0;          // with Ok
    std::string retryAfter;  // the Retry-After header as sent, or empty
    std::string body;        // the first 64 KiB of the answer
    int64_t errorCode = 0;   // curl or WinHTTP/Win32 code, for the log
    std::string errorText;   // one line for the log
};

class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // Blocks the calling thread (the uploader) until the request ends.
    virtual HttpResult Post(const HttpRequest& request) = 0;
    // From any thread: ends a Post in progress as soon as the platform allows
    // (and every later one at once).
    virtual void Cancel() = 0;
};

// The platform's client (http_client_curl.cpp or http_client_winhttp.cpp).
std::unique_ptr<HttpClient> MakeHttpClient(const TlsSettings& tls);

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_UPLOAD_HTTP_CLIENT_H_
