// tally-collector as the uploader meets it: the real program on free ports,
// a libcurl client that trusts only the CA the collector exported, and the
// collector's own counters and database checked after each exchange.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sqlite3.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/temp_folder.h"
#include "support/process.h"

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;

std::string Gzip(const std::string& text) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY),
              Z_OK);
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// One schema-1 body with `events` events in one batch.
std::string Body(const std::string& batchId, int events, int schema = 1) {
    std::string body = "{\"schema\":" + std::to_string(schema) +
                       ",\"app\":{\"appid\":\"Orvel\",\"appversion\":\"3.1.0\",\"device_type\":"
                       "\"7\",\"tag\":\"t\"},\"batches\":[{\"batch_id\":\"" +
                       batchId + "\",\"created_ms\":1764990000000,\"events\":[";
    for (int i = 0; i < events; ++i) {
        if (i) body += ",";
        body += "{\"seq\":" + std::to_string(i + 1) +
                ",\"received_ms\":1764989990000,\"name\":\"device_remote_connect\","
                "\"payload\":{\"is_success\": \"true\" ,\"n\":" +
                std::to_string(i) + "}}";
    }
    return body + "]}]}";
}

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string headers;
};

size_t Append(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// The collector, started on free ports with `arguments`, stopped through its
// control port; the test fails if it does not end cleanly.
class CollectorTest : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.end(),
                         {"--state", (m_folder.Path() / "state").string(), "--port", "0",
                          "--control-port", "0", "--export-ca", CaCopy().string()});
        m_runner = std::thread([this, arguments] {
            m_outcome = RunProcess(TALLY_COLLECTOR, arguments, CurrentEnvironment(),
                                   m_folder.Path() / "collector.log", std::chrono::seconds(90));
        });
        const fs::path ports = m_folder.Path() / "state" / "ports.json";
        for (int i = 0; i < 1000 && !fs::exists(ports); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Json::Value json;
        ASSERT_TRUE(Json::Reader().parse(ReadBytes(ports), json))
            << ReadBytes(m_folder.Path() / "collector.log");
        m_url = "https://localhost:" + std::to_string(json["https"].asInt()) + "/v1/batches";
        m_control = "http://127.0.0.1:" + std::to_string(json["control"].asInt());
    }

    void TearDown() override {
        if (!m_runner.joinable()) return;
        Call(m_control + "/shutdown", "{}", {});
        m_runner.join();
        EXPECT_EQ(m_outcome.exitCode, 0) << ReadBytes(m_folder.Path() / "collector.log");
    }

    fs::path CaCopy() const { return m_folder.Path() / "config" / "qx_cacert.pem"; }

    Reply Call(const std::string& url, const std::string& body,
               const std::vector<std::string>& headers, const fs::path& ca = {}, bool get = false) {
        Reply reply;
        CURL* curl = curl_easy_init();
        curl_slist* list = nullptr;
        for (const std::string& header : headers) list = curl_slist_append(list, header.c_str());
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        if (!get) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(body.size()));
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
        // The CA file as the only trust anchor, as the uploader sets it.
        const std::string caText = (ca.empty() ? CaCopy() : ca).string();
        curl_easy_setopt(curl, CURLOPT_CAINFO, caText.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Append);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
        reply.code = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        curl_slist_free_all(list);
        curl_easy_cleanup(curl);
        return reply;
    }

    Reply Upload(const std::string& json, const std::string& key = "k-1", int attempt = 1) {
        return Call(m_url, Gzip(json),
                    {"Content-Type: application/json", "Content-Encoding: gzip",
                     "Idempotency-Key: " + key, "X-Tally-Attempt: " + std::to_string(attempt),
                     "X-Tally-Upload-Time: 1764990000000", "User-Agent: Tally/1.0 (Orvel 3.1.0)"});
    }

    Json::Value Control(const std::string& json) {
        Json::Value value;
        Json::Reader().parse(Call(m_control + "/control", json, {}).body, value);
        return value;
    }

    Json::Value Stats() {
        Json::Value value;
        Json::Reader().parse(Call(m_control + "/stats", "", {}, {}, true).body, value);
        return value;
    }

    // Rows of `table` in the collector's database.
    int64_t Rows(const std::string& table) {
        sqlite3* db = nullptr;
        int64_t rows = -1;
        const fs::path path = m_folder.Path() / "state" / "collector.db";
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            const std::string sql = "SELECT count(*) FROM " + table;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                rows = sqlite3_column_int64(statement, 0);
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return rows;
    }

    TempFolder m_folder;
    std::thread m_runner;
    ProcessOutcome m_outcome;
    std::string m_url;
    std::string m_control;
};

TEST_F(CollectorTest, StoresABatchOnceTrustedThroughTheExportedCaAndAcknowledgesItsResend) {
    Start();
    const std::string body = Body("6f1c2a9e-0000-4000-8000-000000000001", 3);
    Reply first = Upload(body);
    ASSERT_EQ(first.code, CURLE_OK) << curl_easy_strerror(first.code);
    EXPECT_EQ(first.status, 200) << first.body;
    Reply resent = Upload(body, "k-1", 2);
    EXPECT_EQ(resent.status, 200) << resent.body;
    EXPECT_NE(resent.body.find("\"duplicates\":1"), std::string::npos) << resent.body;

    Json::Value stats = Stats();
    EXPECT_EQ(stats["batches_stored"].asInt(), 1);
    EXPECT_EQ(stats["duplicates"].asInt(), 1);
    EXPECT_EQ(stats["events"].asInt(), 3);
    EXPECT_EQ(Rows("batches"), 1);
    EXPECT_EQ(Rows("events"), 3);
    // Payload text kept as sent, both clocks of every request kept.
    EXPECT_EQ(Rows("events WHERE payload = '{\"is_success\": \"true\" ,\"n\":2}'"), 1);
    EXPECT_EQ(Rows("requests WHERE upload_time_ms = 1764990000000 AND receive_ms > "
                   "upload_time_ms AND idempotency_key = 'k-1'"),
              2);

    // Certificates a client must refuse: no body may reach the collector.
    const fs::path otherCa = m_folder.Path() / "state" / "other-ca-root.pem";
    EXPECT_EQ(Call(m_url, "{}", {}, otherCa).code, CURLE_PEER_FAILED_VERIFICATION);
    for (const char* mode : {"other-ca", "self-signed", "wrong-name"}) {
        SCOPED_TRACE(mode);
        Control(std::string("{\"cert\":\"") + mode + "\"}");
        EXPECT_EQ(Upload(body).code, CURLE_PEER_FAILED_VERIFICATION);
    }
    Control("{\"cert\":\"good\"}");
    EXPECT_EQ(Upload(body).status, 200);
    EXPECT_EQ(Stats()["bodies_received"].asInt(), 3);
}

TEST_F(CollectorTest, RefusesBadInputWithAClearStatusStoresNothingAndStaysUp) {
    Start();
    const std::vector<std::string> json = {"Content-Type: application/json"};
    const std::vector<std::string> gzip = {"Content-Type: application/json",
                                           "Content-Encoding: gzip"};
    std::string manyEvents = Body("b-many", 501);
    std::string good = Gzip(Body("b-ok", 1));
    struct Case {
        const char* what;
        std::string body;
        std::vector<std::string> headers;
        long status;
    };
    const std::vector<Case> cases = {
        {"not JSON", "{\"schema\":1,", json, 400},
        {"an array", "[1,2]", json, 400},
        {"trailing bytes", Body("b-1", 1) + "x", json, 400},
        {"unknown schema", Body("b-1", 1, 2), json, 422},
        {"no batch id", "{\"schema\":1,\"app\":{},\"batches\":[{\"events\":[]}]}", json, 422},
        {"payload not an object",
         "{\"schema\":1,\"app\":{},\"batches\":[{\"batch_id\":\"b\",\"events\":[{\"seq\":1,"
         "\"received_ms\":1,\"name\":\"n\",\"payload\":\"{}\"}]}]}",
         json, 422},
        {"not JSON by type", Body("b-1", 1), {"Content-Type: text/plain"}, 415},
        {"over 500 events", Gzip(manyEvents), gzip, 413},
        {"inflates past 4 MiB", Gzip(std::string(5 << 20, ' ')), gzip, 413},
        {"plain body past 4 MiB", std::string((4 << 20) + 1, ' '), json, 413},
        {"truncated gzip", good.substr(0, good.size() / 2), gzip, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reply reply = Call(m_url, c.body, c.headers);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        EXPECT_NE(reply.body.find("\"error\":"), std::string::npos) << reply.body;
    }
    Json::Value stats = Stats();
    EXPECT_EQ(stats["refused"].asInt(), static_cast<int>(cases.size()));
    EXPECT_EQ(stats["batches_stored"].asInt(), 0);
    EXPECT_EQ(Rows("events"), 0);
    EXPECT_EQ(Rows("requests"), static_cast<int64_t>(cases.size()));
    EXPECT_EQ(Call(m_url, good, gzip).status, 200);
}

TEST_F(CollectorTest, InjectsServerErrorsRetryAfterDelaysAndDroppedConnections) {
    Start({"--fail", "503:2"});
    const std::string body = Body("b-fail", 2);
    EXPECT_EQ(Upload(body).status, 503);
    EXPECT_EQ(Upload(body).status, 503);
    EXPECT_EQ(Upload(body).status, 200);
    EXPECT_EQ(Stats()["bodies_received"].asInt(), 3);

    Control(R"({"fail":429,"count":1,"retry_after":7})");
    Reply limited = Upload(Body("b-429", 1));
    EXPECT_EQ(limited.status, 429);
    EXPECT_NE(limited.headers.find("Retry-After: 7\r\n"), std::string::npos) << limited.headers;

    Control(R"({"delay_ms":400})");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Upload(Body("b-429", 1)).status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(400));

    // Stored, then the connection closed unanswered: the resend is a duplicate.
    Control(R"({"reset":true,"drop":1})");
    EXPECT_EQ(Upload(Body("b-drop", 4)).code, CURLE_GOT_NOTHING);
    EXPECT_EQ(Upload(Body("b-drop", 4)).status, 200);
    Json::Value stats = Stats();
    EXPECT_EQ(stats["batches_stored"].asInt(), 3);
    EXPECT_EQ(stats["duplicates"].asInt(), 1);
    EXPECT_EQ(Rows("events WHERE batch_id = 'b-drop'"), 4);
}

}  // namespace
}  // namespace testing
}  // namespace tally
