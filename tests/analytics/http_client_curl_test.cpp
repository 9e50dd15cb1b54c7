// The libcurl client against a real HTTPS server in this process (cpp-httplib
// with OpenSSL), with a test PKI made by the openssl command at run time.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "analytics_library.h"
#include "analytics_test_util.h"
#include "upload/http_client.h"
#include "upload/uploader.h"

namespace tally {
namespace testing {
namespace {

using Kind = HttpResult::Kind;
using SteadyClock = std::chrono::steady_clock;

bool Sh(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Our CA, a leaf for localhost/127.0.0.1 it signs, an unrelated CA, and the
// public keys of the leaf and of another key.
bool MakePki(const std::string& dir) {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    std::ofstream(dir + "/san.cnf") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    return Sh("cd " + dir + " && openssl req -x509" + ec +
              " -keyout ca.key -out ca.pem -subj /CN=TallyTestCA") &&
           Sh("cd " + dir + " && openssl req -x509" + ec +
              " -keyout other.key -out other.pem -subj /CN=OtherCA") &&
           Sh("cd " + dir + " && openssl req" + ec +
              " -keyout leaf.key -out leaf.csr -subj /CN=localhost") &&
           Sh("cd " + dir +
              " && openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
              "-days 2 -extfile san.cnf -out leaf.pem") &&
           Sh("cd " + dir + " && openssl pkey -in leaf.key -pubout -out leaf.pub") &&
           Sh("cd " + dir + " && openssl pkey -in other.key -pubout -out other.pub");
}

TEST(CurlClient, TalksVerifiedHttpsOnlyToTheTrustedServerAndStopsOnTimeOrCancel) {
    ScratchFolder folder;
    const std::string dir = folder.Path().u8string();
    ASSERT_TRUE(MakePki(dir));
    httplib::SSLServer server((dir + "/leaf.pem").c_str(), (dir + "/leaf.key").c_str());
    ASSERT_TRUE(server.is_valid());
    server.set_tcp_nodelay(true);
    std::atomic<int> bodies{0};
    std::string lastBody;
    std::string lastEncoding;
    std::mutex mutex;
    server.Post("/v1/batches", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard<std::mutex> lock(mutex);
        ++bodies;
        lastBody = request.body;
        lastEncoding = request.get_header_value("Content-Encoding");
        response.status = 503;
        response.set_header("Retry-After", "7");
    });
    server.Post("/slow", [&](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        response.status = 200;
    });
    int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });

    HttpRequest request;
    request.url = "https://localhost:" + std::to_string(port) + "/v1/batches";
    request.headers = {{"Content-Type", "application/json"}, {"Content-Encoding", "gzip"}};
    ASSERT_TRUE(Gzip(R"({"schema":1})", &request.body));
    request.timeoutMs = 10000;
    request.connectTimeoutMs = 5000;
    std::ofstream(dir + "/garbage.pem") << "not a certificate\n";

    struct Row {
        const char* name;
        std::string ca;
        std::string pin;
        Kind kind;
        int bodiesAfter;
    };
    const Row rows[] = {
        {"our CA", dir + "/ca.pem", "", Kind::Ok, 1},
        {"our CA, pinned leaf key", dir + "/ca.pem", dir + "/leaf.pub", Kind::Ok, 2},
        {"another CA", dir + "/other.pem", "", Kind::Tls, 2},
        {"pin mismatch", dir + "/ca.pem", dir + "/other.pub", Kind::Tls, 2},
        {"CA file missing: system trust", dir + "/absent.pem", "", Kind::Tls, 2},
        {"CA file not PEM", dir + "/garbage.pem", "", Kind::TlsConfig, 2},
    };
    for (const Row& row : rows) {
        TlsSettings tls;
        tls.caFile = row.ca;
        tls.pinnedKeyFile = row.pin;
        HttpResult result = MakeHttpClient(tls)->Post(request);
        EXPECT_EQ(result.kind, row.kind) << row.name << ": " << result.errorText;
        EXPECT_EQ(bodies.load(), row.bodiesAfter) << row.name;
        if (row.kind == Kind::Ok) {
            EXPECT_EQ(result.status, 503) << row.name;
            EXPECT_EQ(result.retryAfter, " 7") << row.name;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(lastEncoding, "gzip");
        EXPECT_EQ(lastBody, R"({"schema":1})");  // inflated by the server
    }

    // A plain http:// URL is refused unless allowed.
    TlsSettings trusted;
    trusted.caFile = dir + "/ca.pem";
    HttpRequest plain = request;
    plain.url = "http://127.0.0.1:" + std::to_string(port) + "/v1/batches";
    EXPECT_EQ(MakeHttpClient(trusted)->Post(plain).kind, Kind::Network);

    // A server slower than the deadline, and a cancel from another thread.
    HttpRequest slow = request;
    slow.url = "https://localhost:" + std::to_string(port) + "/slow";
    slow.timeoutMs = 300;
    EXPECT_EQ(MakeHttpClient(trusted)->Post(slow).kind, Kind::Timeout);
    slow.timeoutMs = 10000;
    std::unique_ptr<HttpClient> client = MakeHttpClient(trusted);
    SteadyClock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancelledAt = SteadyClock::now();
        client->Cancel();
    });
    HttpResult cancelled = client->Post(slow);
    SteadyClock::time_point returned = SteadyClock::now();
    canceller.join();
    EXPECT_EQ(cancelled.kind, Kind::Cancelled);
    // Milliseconds, not the server's 1 s (a generous bound for sanitizers).
    EXPECT_LT(returned - cancelledAt, std::chrono::milliseconds(500));
    EXPECT_EQ(client->Post(request).kind, Kind::Cancelled);  // and every later one

    server.stop();
    serving.join();
}

// The whole library on its upload thread: a backlog drains, and a repeated
// initialisation does not wait for a server that does not answer; the request
// cut short is sent again under the same key.
TEST(CurlClient, UploadThreadDrainsAndStopsWithoutWaitingForTheServer) {
    ScratchFolder folder;
    const std::string dir = folder.Path().u8string();
    ASSERT_TRUE(MakePki(dir));
    httplib::SSLServer server((dir + "/leaf.pem").c_str(), (dir + "/leaf.key").c_str());
    server.set_tcp_nodelay(true);
    std::mutex mutex;
    std::vector<std::string> keys;
    size_t events = 0;
    std::atomic<bool> slow{false};
    server.Post("/v1/batches", [&](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            keys.push_back(request.get_header_value("Idempotency-Key"));
            if (slow) {
                response.status = 503;  // never seen: the client gives up first
            } else {
                for (size_t at = request.body.find("\"seq\""); at != std::string::npos;
                     at = request.body.find("\"seq\"", at + 1)) {
                    ++events;
                }
                response.status = 200;
            }
        }
        if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    });
    int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });

    SetEnv("TALLY_UPLOAD_PACE_MS", "0");
    SetEnv("TALLY_UPLOAD_BACKOFF_MS", "50,100");
    ReportConfig config = MakeConfig(folder.Path());
    PutField(config.domain, sizeof(config.domain), "https://localhost:" + std::to_string(port));
    std::filesystem::create_directories(folder.Path() / "config");
    std::filesystem::copy_file(dir + "/ca.pem", folder.Path() / "config" / "qx_cacert.pem");
    auto sent = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    };
    {
        AnalyticsLibrary library;
        ASSERT_EQ(library.Init(&config), 1);
        const int kEvents = 1000;
        for (int i = 1; i <= kEvents; ++i) {
            ReportData record = MakeRecord("e", "{\"i\":" + std::to_string(i) + "}");
            ASSERT_EQ(library.OnEvent(&record), 1);
            if (i % 10 == 0) library.OnSubmit();
        }
        EXPECT_TRUE(WaitUntil([&] { return sent() == kEvents; }));
        TestDb db(DatabasePath(folder.Path()));
        EXPECT_TRUE(WaitUntil([&] { return db.Int("SELECT count(*) FROM events") == 0; }));

        slow = true;
        size_t before = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = keys.size();
        }
        ReportData record = MakeRecord("late", "{}");
        library.OnEvent(&record);
        library.OnSubmit();
        EXPECT_TRUE(WaitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return keys.size() > before;
        }));
        SteadyClock::time_point start = SteadyClock::now();
        slow = false;
        ASSERT_EQ(library.Init(&config), 1);  // stops the session in flight
        EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(900));
        EXPECT_TRUE(WaitUntil([&] { return sent() == kEvents + 1; }));
        EXPECT_TRUE(WaitUntil([&] { return db.Counter("upload.sent_events") == kEvents + 1; }));
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(keys[before], keys.back());
    }
    TestDb db(DatabasePath(folder.Path()));
    EXPECT_EQ(db.Int("SELECT count(*) FROM events"), 0);
    UnsetEnv("TALLY_UPLOAD_PACE_MS");
    UnsetEnv("TALLY_UPLOAD_BACKOFF_MS");
    server.stop();
    serving.join();
}

}  // namespace
}  // namespace testing
}  // namespace tally
