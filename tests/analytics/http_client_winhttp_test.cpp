// The Windows HTTP client under Wine against a real HTTPS server on the Linux
// side (http_client_winhttp_test.sh starts it with a PKI made for the run).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "upload/http_client.h"

namespace tally {
namespace {

using Kind = HttpResult::Kind;
using Clock = std::chrono::steady_clock;

std::string Dir() {
    const char* dir = std::getenv("TALLY_TEST_TLS_DIR");
    return dir ? dir : "";
}

// The server's ports: 0 our CA's leaf, 1 a self-signed leaf, 2 a wrong name.
int Port(int index) {
    const char* ports = std::getenv("TALLY_TEST_PORTS");
    std::istringstream in(ports ? ports : "");
    int port = 0;
    for (int i = 0; i <= index; ++i) in >> port;
    return port;
}

std::string Url(int port, const std::string& path = "/v1/batches") {
    return "https://localhost:" + std::to_string(port) + path;
}

HttpRequest Request(const std::string& url, const std::string& body, int64_t timeoutMs = 10000) {
    HttpRequest request;
    request.url = url;
    request.headers = {{"Content-Type", "application/json"}, {"Idempotency-Key", body}};
    request.body = body;
    request.timeoutMs = timeoutMs;
    request.connectTimeoutMs = timeoutMs;
    return request;
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(WinHttpClient, BodyLeavesOnlyForATrustedServer) {
    ASSERT_FALSE(Dir().empty()) << "run through http_client_winhttp_test.sh";
    struct Case {
        const char* body;  // unique: the server logs what it received
        std::string url;
        const char* caFile;
        const char* pinFile;
        Kind kind;
    };
    const Case cases[] = {
        {"trusted", Url(Port(0)), "ca.pem", "", Kind::Ok},
        {"pinned", Url(Port(0)), "ca.pem", "leaf.pub", Kind::Ok},
        {"other-ca", Url(Port(0)), "other-ca.pem", "", Kind::Tls},
        {"self-signed", Url(Port(1)), "ca.pem", "", Kind::Tls},
        {"wrong-name", Url(Port(2)), "ca.pem", "", Kind::Tls},
        {"no-ca-file-so-system-trust", Url(Port(0)), "missing.pem", "", Kind::Tls},
        {"garbage-ca", Url(Port(0)), "garbage.pem", "", Kind::TlsConfig},
        {"pin-differs", Url(Port(0)), "ca.pem", "other.pub", Kind::Tls},
        {"garbage-pin", Url(Port(0)), "ca.pem", "garbage.pem", Kind::TlsConfig},
        {"plain-http", "http://localhost:" + std::to_string(Port(0)) + "/", "ca.pem", "",
         Kind::TlsConfig},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        TlsSettings tls;
        tls.caFile = Dir() + "/" + c.caFile;
        if (*c.pinFile) tls.pinnedKeyFile = Dir() + "/" + c.pinFile;
        HttpResult result = MakeHttpClient(tls)->Post(Request(c.url, c.body));
        EXPECT_EQ(result.kind, c.kind) << result.errorText;
        if (c.kind == Kind::Ok) {
            EXPECT_EQ(result.status, 200);
            EXPECT_EQ(result.retryAfter, "7");
            EXPECT_EQ(result.body, "ok");
        }
    }
    std::set<std::string> received;
    std::ifstream log(Dir() + "/received.log");
    for (std::string line; std::getline(log, line);) received.insert(line);
    for (const Case& c : cases)
        EXPECT_EQ(received.count(c.body), c.kind == Kind::Ok ? 1u : 0u) << c.body;
}

TEST(WinHttpClient, DeadlinesAndCancelEndACall) {
    ASSERT_FALSE(Dir().empty()) << "run through http_client_winhttp_test.sh";
    TlsSettings tls;
    tls.caFile = Dir() + "/ca.pem";

    HttpResult refused = MakeHttpClient(tls)->Post(Request(Url(1), "refused"));
    EXPECT_EQ(refused.kind, Kind::Network) << refused.errorText;

    Clock::time_point start = Clock::now();
    HttpResult slow = MakeHttpClient(tls)->Post(Request(Url(Port(0), "/?ms=4000"), "slow", 1000));
    EXPECT_EQ(slow.kind, Kind::Timeout) << slow.errorText;
    EXPECT_LT(MsSince(start), 3000);

    // Windows ends the call when its handle closes; Wine 8 only when the
    // server answers, so this server answers after 2 s.
    std::unique_ptr<HttpClient> client = MakeHttpClient(tls);
    HttpResult cancelled;
    std::thread uploader(
        [&] { cancelled = client->Post(Request(Url(Port(0), "/?ms=2000"), "cancelled")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    client->Cancel();
    uploader.join();
    EXPECT_EQ(cancelled.kind, Kind::Cancelled) << cancelled.errorText;
    start = Clock::now();
    EXPECT_EQ(client->Post(Request(Url(Port(0)), "after-cancel")).kind, Kind::Cancelled);
    EXPECT_LT(MsSince(start), 100);
}

}  // namespace
}  // namespace tally
