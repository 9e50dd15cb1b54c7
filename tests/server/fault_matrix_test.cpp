// Exactly once across edges under faults: two collectors ("edges") on
// loopback over one PostgreSQL the program starts once, uploads in the
// reference client's own request format through its HTTP client, and every
// case ends by counting batches and events in the database itself, not in
// what the edges say they did. The collectors are black boxes: processes,
// ports.json, HTTP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <libpq-fe.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plain_http.h"
#include "postgres_instance.h"
#include "upload/http_client.h"
#include "upload/uploader.h"

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
constexpr int64_t kDayMs = 24LL * 60 * 60 * 1000;

// The one server of this program, started before the first test.
PostgresInstance* g_postgres = nullptr;

class PostgresEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        g_postgres = new PostgresInstance();
        std::string error;
        ASSERT_TRUE(g_postgres->Start(&error)) << error;
    }
    void TearDown() override { delete g_postgres; }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

bool WaitUntil(const std::function<bool()>& condition, milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return condition();
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int64_t NowMs() {
    return std::chrono::duration_cast<milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A number the database answers for `sql`; -1 when it cannot.
int64_t Count(const std::string& uri, const std::string& sql) {
    PGconn* db = PQconnectdb(uri.c_str());
    int64_t value = -1;
    if (PQstatus(db) == CONNECTION_OK) {
        PGresult* result = PQexec(db, sql.c_str());
        if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1 &&
            !PQgetisnull(result, 0, 0)) {
            value = std::atoll(PQgetvalue(result, 0, 0));
        }
        PQclear(result);
    }
    PQfinish(db);
    return value;
}

// The UTC day of `ms` as partitions are named: YYYYMMDD.
std::string DayDigits(int64_t ms) {
    const time_t time = static_cast<time_t>(ms / 1000);
    tm day{};
    gmtime_r(&time, &day);
    char text[16];
    std::strftime(text, sizeof(text), "%Y%m%d", &day);
    return text;
}

// A database of the case's own on the program's server.
std::string FreshDatabase() {
    static int number = 0;
    std::string error;
    const std::string uri = g_postgres->CreateDatabase("faults" + std::to_string(++number), &error);
    EXPECT_FALSE(uri.empty()) << error;
    return uri;
}

// One batch as the client makes it: `events` events, its clock at `createdMs`.
struct Batch {
    std::string id;
    int64_t createdMs;
    int events;
};

// A request body (the client's schema 1 upload) of `batches`.
std::string Body(const std::vector<Batch>& batches) {
    std::string body =
        "{\"schema\":1,\"app\":{\"appid\":\"Orvel\",\"appversion\":\"3.1.0\",\"device_type\":"
        "\"7\",\"tag\":\"faults\"},\"batches\":[";
    for (size_t b = 0; b < batches.size(); ++b) {
        const Batch& batch = batches[b];
        body += std::string(b ? "," : "") + "{\"batch_id\":\"" + batch.id +
                "\",\"created_ms\":" + std::to_string(batch.createdMs) + ",\"events\":[";
        for (int i = 0; i < batch.events; ++i) {
            body += std::string(i ? "," : "") + "{\"seq\":" + std::to_string(i + 1) +
                    ",\"received_ms\":" + std::to_string(batch.createdMs - 1000) +
                    ",\"name\":\"device_remote_connect\",\"payload\":{\"n\":" + std::to_string(i) +
                    "}}";
        }
        body += "]}";
    }
    return body + "]}";
}

// A collector started as a process over `uri`, sharing `certificate` (the
// first edge's server.pem and key) as edges behind one load balancer do.
class Edge {
  public:
    Edge(const fs::path& folder, const std::string& uri, std::vector<std::string> extra = {},
         const fs::path& certificate = {})
        : m_state(folder / "state"), m_log(folder / "collector.log") {
        // Retry-After 1 s and a 2 s wait for the database keep the cases short.
        std::vector<std::string> arguments = {TALLY_COLLECTOR, "--state", m_state.string(),
                                              "--store", uri};
        for (const char* argument :
             {"--port", "0", "--admin-port", "0", "--test-mode", "--control-port", "0",
              "--unavailable-retry-after", "1", "--store-wait-ms", "2000"}) {
            arguments.push_back(argument);
        }
        if (!certificate.empty()) {
            arguments.insert(arguments.end(),
                             {"--cert-file", (certificate / "server.pem").string(), "--key-file",
                              (certificate / "server.key").string()});
        }
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        fs::create_directories(folder);
        fs::remove(m_state / "ports.json");
        m_pid = ::fork();
        if (m_pid == 0) {
            const int log = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, 1);
            ::dup2(log, 2);
            std::vector<char*> argv;
            for (std::string& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        Json::Value ports;
        WaitUntil(
            [&] {
                Json::CharReaderBuilder builder;
                std::istringstream text(ReadFile(m_state / "ports.json"));
                std::string errors;
                return Json::parseFromStream(builder, text, &ports, &errors) &&
                       ports["admin"].asInt() > 0;
            },
            seconds(20));
        m_https = ports["https"].asInt();
        m_control = ports["control"].asInt();
        m_admin = ports["admin"].asInt();
        EXPECT_GT(m_https, 0) << ReadFile(m_log);
    }
    ~Edge() {
        if (m_pid > 0) Kill();
    }

    // kill -9: no clean-up of any kind, as a crash or an OOM kill.
    void Kill() {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    // A clean stop, as the control port asks for it; its exit status (a
    // sanitizer's report at exit fails it), or -1 when it had to be killed.
    int Stop() {
        PlainHttp(m_control, "POST", "/shutdown", "{}");
        int status = 0;
        const bool ended =
            WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, seconds(30));
        if (!ended) Kill();
        m_pid = -1;
        if (!ended) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool Running() const { return m_pid > 0; }

    std::string Url() const {
        return "https://localhost:" + std::to_string(m_https) + "/v1/batches";
    }
    int ReadyStatus() const {
        return RawExchange(m_admin, "", "GET /readyz HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", 0)
            .status;
    }
    void Control(const std::string& json) const {
        EXPECT_FALSE(PlainHttp(m_control, "POST", "/control", json).empty()) << json;
    }
    std::string Log() const { return ReadFile(m_log); }
    const fs::path& State() const { return m_state; }

  private:
    fs::path m_state;
    fs::path m_log;
    pid_t m_pid = -1;
    int m_https = 0;
    int m_control = 0;
    int m_admin = 0;
};

// Two edges over one database, one temporary folder, one trust anchor.
class Edges {
  public:
    explicit Edges(const std::string& uri, const std::vector<std::string>& extra = {})
        : m_uri(uri) {
        char name[] = "/tmp/tally-faults-XXXXXX";
        m_folder = ::mkdtemp(name);
        Start(extra);
    }
    ~Edges() {
        for (auto& edge : m_edges) {
            if (!edge->Running()) continue;
            EXPECT_EQ(edge->Stop(), 0) << edge->Log();
        }
        m_edges.clear();
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
    // Starts both (again: a restart runs the start-up maintenance again).
    void Start(const std::vector<std::string>& extra = {}) {
        m_edges.clear();
        m_edges.emplace_back(new Edge(m_folder / "a", m_uri, extra));
        m_edges.emplace_back(new Edge(m_folder / "b", m_uri, extra, m_edges[0]->State()));
    }
    // Stops both cleanly: each exits 0.
    void Stop() {
        for (auto& edge : m_edges) EXPECT_EQ(edge->Stop(), 0) << edge->Log();
        m_edges.clear();
    }
    Edge& operator[](size_t i) { return *m_edges[i]; }
    TlsSettings Trust() const {
        return {(m_folder / "a" / "state" / "ca.pem").string(), "", false};
    }

  private:
    std::string m_uri;
    fs::path m_folder;
    std::vector<std::unique_ptr<Edge>> m_edges;
};

// The request the reference client makes for `body` (its headers, gzip),
// under the key it keeps for every resend of it.
HttpRequest Request(const std::string& url, const std::string& body, const std::string& key,
                    int attempt = 1, int64_t timeoutMs = 10000) {
    std::string gzipped;
    EXPECT_TRUE(Gzip(body, &gzipped));
    return {url,
            {{"Content-Type", "application/json"},
             {"Content-Encoding", "gzip"},
             {"Idempotency-Key", key},
             {"User-Agent", "Tally/1.0 (Orvel 3.1.0)"},
             {"X-Tally-Upload-Time", std::to_string(NowMs())},
             {"X-Tally-Attempt", std::to_string(attempt)}},
            gzipped,
            timeoutMs,
            timeoutMs};
}

Json::Value Answer(const HttpResult& result) {
    Json::Value json;
    Json::CharReaderBuilder builder;
    std::istringstream text(result.body);
    std::string errors;
    Json::parseFromStream(builder, text, &json, &errors);
    return json;
}

// One answer a sender got (status 0: none: refused, reset, timed out).
struct Answered {
    Clock::time_point at;
    int status;
    bool retryAfter;
};

// Sends `body` as the client does until a 2xx or `deadline`: on 503, another
// 5xx or no answer it sends again (the next attempt, same key) to the next
// edge, after Retry-After (bounded to a second here) or a short pause.
std::vector<Answered> SendUntilAcknowledged(const std::vector<std::string>& urls,
                                            const TlsSettings& trust, const std::string& body,
                                            const std::string& key, Clock::time_point deadline) {
    std::vector<Answered> answers;
    const std::unique_ptr<HttpClient> client = MakeHttpClient(trust);
    for (int attempt = 1; Clock::now() < deadline; ++attempt) {
        const HttpResult result =
            client->Post(Request(urls[(attempt - 1) % urls.size()], body, key, attempt, 5000));
        const int status = result.kind == HttpResult::Kind::Ok ? result.status : 0;
        answers.push_back({Clock::now(), status, !result.retryAfter.empty()});
        if ((status >= 200 && status < 300) || (status != 0 && status < 500)) break;
        const int retryAfter = std::atoi(result.retryAfter.c_str());
        std::this_thread::sleep_for(retryAfter > 0 ? milliseconds(std::min(retryAfter, 1) * 1000)
                                                   : milliseconds(200));
    }
    return answers;
}

// Every batch of `batches` in the database once, with all its events, and
// nothing else there.
void ExpectStoredOnce(const std::string& uri, const std::vector<Batch>& batches) {
    int64_t events = 0;
    for (const Batch& batch : batches) {
        SCOPED_TRACE(batch.id);
        EXPECT_EQ(Count(uri, "SELECT count(*) FROM batches WHERE batch_id = '" + batch.id + "'"),
                  1);
        EXPECT_EQ(Count(uri, "SELECT count(*) FROM events WHERE batch_id = '" + batch.id + "'"),
                  batch.events);
        events += batch.events;
    }
    EXPECT_EQ(Count(uri, "SELECT count(*) FROM batches"), static_cast<int64_t>(batches.size()));
    EXPECT_EQ(Count(uri, "SELECT count(*) FROM events"), events);
}

// ---- The cases ---------------------------------------------------------------

// An edge dies (kill -9) after committing a batch and before answering; the
// client, left without an answer, sends the identical request to the other
// edge, which acknowledges it as a duplicate.
TEST(FaultMatrix, AnEdgeKilledBetweenCommitAndAnswerLeavesTheResendToTheOtherEdgeADuplicate) {
    const std::string uri = FreshDatabase();
    Edges edges(uri);
    edges[0].Control("{\"delay_ms\":60000}");
    const std::vector<Batch> batches = {{"kill-1", NowMs(), 5}, {"kill-2", NowMs(), 3}};
    const std::string body = Body(batches);
    HttpResult first;
    std::thread client([&] {
        first = MakeHttpClient(edges.Trust())->Post(Request(edges[0].Url(), body, "k-kill", 1));
    });
    const bool committed =
        WaitUntil([&] { return Count(uri, "SELECT count(*) FROM batches") == 2; }, seconds(20));
    edges[0].Kill();
    client.join();
    ASSERT_TRUE(committed) << edges[0].Log();
    EXPECT_NE(first.kind, HttpResult::Kind::Ok) << first.status;

    const HttpResult resend =
        MakeHttpClient(edges.Trust())->Post(Request(edges[1].Url(), body, "k-kill", 2));
    ASSERT_EQ(resend.kind, HttpResult::Kind::Ok) << resend.errorText;
    EXPECT_EQ(resend.status, 200) << resend.body;
    EXPECT_EQ(Answer(resend)["accepted"].asInt(), 0) << resend.body;
    EXPECT_EQ(Answer(resend)["duplicates"].asInt(), 2) << resend.body;
    ExpectStoredOnce(uri, batches);
}

// The same request reaches both edges at the same instant (a client that
// timed out on one while the other still worked on it): one claims each
// batch, the other waits for that commit and answers a duplicate; both 2xx
// on the first try. Batches in opposite order must not deadlock.
TEST(FaultMatrix, TheSameBatchesAtBothEdgesAtOnceAreStoredOnceAndBothAcknowledged) {
    const std::string uri = FreshDatabase();
    Edges edges(uri);
    struct Case {
        const char* what;
        bool reversed;  // the second edge gets the batches in the opposite order
    };
    const Case cases[] = {{"same order", false}, {"opposite order", true}};
    std::vector<Batch> all;
    int round = 0;
    for (const Case& c : cases) {
        for (int repeat = 0; repeat < 5; ++repeat, ++round) {
            SCOPED_TRACE(std::string(c.what) + " #" + std::to_string(repeat));
            std::vector<Batch> batches;
            for (int b = 0; b < 4; ++b) {
                batches.push_back(
                    {"race-" + std::to_string(round) + "-" + std::to_string(b), NowMs(), 1 + b});
            }
            std::vector<Batch> other = batches;
            if (c.reversed) std::reverse(other.begin(), other.end());
            const std::string key = "k-race-" + std::to_string(round);
            const HttpRequest requests[] = {Request(edges[0].Url(), Body(batches), key),
                                            Request(edges[1].Url(), Body(other), key)};
            HttpResult results[2];
            std::mutex mutex;
            std::condition_variable go;
            int ready = 0;
            std::vector<std::thread> clients;
            for (int e = 0; e < 2; ++e) {
                clients.emplace_back([&, e] {
                    const std::unique_ptr<HttpClient> client = MakeHttpClient(edges.Trust());
                    {
                        std::unique_lock<std::mutex> lock(mutex);
                        ++ready;
                        go.notify_all();
                        go.wait(lock, [&] { return ready == 2; });
                    }
                    results[e] = client->Post(requests[e]);
                });
            }
            for (std::thread& client : clients) client.join();
            int accepted = 0, duplicates = 0;
            for (const HttpResult& result : results) {
                EXPECT_EQ(result.status, 200) << result.errorText << result.body;
                accepted += Answer(result)["accepted"].asInt();
                duplicates += Answer(result)["duplicates"].asInt();
            }
            EXPECT_EQ(accepted, 4);
            EXPECT_EQ(duplicates, 4);
            all.insert(all.end(), batches.begin(), batches.end());
        }
    }
    ExpectStoredOnce(uri, all);
}

// A batch stored, then resent days later (a backlog that waited, an answer
// lost long ago) after the edges restarted with their clock moved on, so
// that the start-up maintenance ran on another day: still one copy, the
// resend acknowledged as a duplicate. Partitions are by the client's day, so
// this holds only if maintenance neither loses nor moves a stored day.
TEST(FaultMatrix, AResendDaysLaterAfterTheEdgesRestartedIsADuplicate) {
    struct Case {
        const char* what;
        int createdDays;  // the batch's day, from today
        int laterDays;    // the edges' clock at the resend, from today
    };
    const Case cases[] = {
        // In a day partition made at the first start; days later outside
        // the days maintenance makes, kept without a retention.
        {"five days old, resent five days later", -5, 5},
        // No partition at the first start (a client clock ahead): DEFAULT;
        // days later maintenance reaches that day and must leave it there.
        {"ten days ahead of the edges, resent eight days later", 10, 8},
        // Before any partition: DEFAULT, and later still far behind.
        {"a month old, resent three days later", -30, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string uri = FreshDatabase();
        const std::vector<Batch> batches = {{"late-1", NowMs() + c.createdDays * kDayMs, 4}};
        const std::string body = Body(batches);
        Edges edges(uri);
        const HttpResult first =
            MakeHttpClient(edges.Trust())->Post(Request(edges[0].Url(), body, "k-late", 1));
        EXPECT_EQ(first.status, 200) << first.errorText << first.body;
        EXPECT_EQ(Answer(first)["accepted"].asInt(), 1) << first.body;
        edges.Stop();
        edges.Start({"--clock-offset-days", std::to_string(c.laterDays)});
        // Maintenance ran on the moved clock: it made the days ahead of then.
        EXPECT_EQ(Count(uri, "SELECT count(*) FROM pg_class WHERE relname = 'batches_p" +
                                 DayDigits(NowMs() + (c.laterDays + 3) * kDayMs) + "'"),
                  1);
        for (int e = 0; e < 2; ++e) {
            const HttpResult resend =
                MakeHttpClient(edges.Trust())->Post(Request(edges[e].Url(), body, "k-late", 2 + e));
            EXPECT_EQ(resend.status, 200) << resend.errorText << resend.body;
            EXPECT_EQ(Answer(resend)["duplicates"].asInt(), 1) << resend.body;
        }
        edges.Stop();
        ExpectStoredOnce(uri, batches);
        EXPECT_EQ(Count(uri, "SELECT duplicates FROM batches"), 2);
    }
}

// Senders through both edges, each request sent until acknowledged as the
// client does, `pauseMs` between one sender's requests, while `fault` runs
// on this thread. Answers what each request got.
struct Traffic {
    std::vector<Batch> batches;
    std::vector<std::vector<Answered>> answers;  // per request
    int unfinishedAfterFault = 0;                // requests not yet acknowledged then
};

Traffic SendThrough(Edges& edges, int senders, int perSender, int pauseMs, seconds bound,
                    const std::function<void()>& fault) {
    Traffic traffic;
    std::vector<std::vector<Batch>> requests;
    for (int s = 0; s < senders; ++s) {
        for (int r = 0; r < perSender; ++r) {
            const std::string id = "s" + std::to_string(s) + "-r" + std::to_string(r);
            requests.push_back({{id + "-a", NowMs(), 3}, {id + "-b", NowMs(), 2}});
            traffic.batches.insert(traffic.batches.end(), requests.back().begin(),
                                   requests.back().end());
        }
    }
    traffic.answers.resize(requests.size());
    const auto deadline = Clock::now() + bound;
    std::atomic<int> acknowledged{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            for (int r = 0; r < perSender; ++r) {
                const size_t i = static_cast<size_t>(s * perSender + r);
                std::vector<std::string> urls = {edges[0].Url(), edges[1].Url()};
                if ((s + r) % 2) std::swap(urls[0], urls[1]);
                traffic.answers[i] = SendUntilAcknowledged(urls, edges.Trust(), Body(requests[i]),
                                                           "k-" + requests[i][0].id, deadline);
                ++acknowledged;
                std::this_thread::sleep_for(milliseconds(pauseMs));
            }
        });
    }
    fault();
    traffic.unfinishedAfterFault = static_cast<int>(requests.size()) - acknowledged.load();
    for (std::thread& thread : threads) thread.join();
    return traffic;
}

// Every request ended acknowledged, and every batch is in the database once.
void ExpectAllAcknowledgedAndStoredOnce(const std::string& uri, const Traffic& traffic) {
    for (size_t i = 0; i < traffic.answers.size(); ++i) {
        const auto& answers = traffic.answers[i];
        ASSERT_FALSE(answers.empty());
        EXPECT_EQ(answers.back().status, 200)
            << "request " << i << " after " << answers.size() << " attempts";
    }
    ExpectStoredOnce(uri, traffic.batches);
}

// A fast restart of PostgreSQL (sessions ended, the server back within a
// second or so) while four senders upload through both edges: the edges
// drop their dead connections and go on, every batch once.
TEST(FaultMatrix, ADatabaseRestartUnderLoadLosesNoBatchAndStoresNoneTwice) {
    const std::string uri = FreshDatabase();
    Edges edges(uri);
    const Traffic traffic = SendThrough(edges, 4, 8, 150, seconds(60), [&] {
        EXPECT_TRUE(WaitUntil([&] { return Count(uri, "SELECT count(*) FROM batches") >= 8; },
                              seconds(20)));
        std::string error;
        EXPECT_TRUE(g_postgres->Stop(&error)) << error;
        EXPECT_TRUE(g_postgres->Start(&error)) << error;
    });
    // The restart met requests under way. Each of them either waited for
    // the edge's new connection and was answered 200 after its commit, or
    // was refused and sent again; which one depends on timing, and both
    // must end with every batch once.
    EXPECT_GT(traffic.unfinishedAfterFault, 0) << "the restart came after the traffic";
    ExpectAllAcknowledgedAndStoredOnce(uri, traffic);
}

// The database down for a while (TALLY_FAULT_OUTAGE_S, default 60 s) under
// uploads through both edges: until it is back every answer is 503 with
// Retry-After, never 200, and /readyz takes both edges out of the pool; once
// it is back they recover by themselves and every batch is stored once.
TEST(FaultMatrix, ADatabaseDownForAMinuteIsAnswered503UntilBackThenEveryBatchIsStoredOnce) {
    const char* knob = std::getenv("TALLY_FAULT_OUTAGE_S");
    const seconds outage(knob && std::atoi(knob) > 0 ? std::atoi(knob) : 60);
    const std::string uri = FreshDatabase();
    Edges edges(uri);
    std::string error;
    ASSERT_TRUE(g_postgres->Stop(&error)) << error;
    ASSERT_TRUE(
        WaitUntil([&] { return edges[0].ReadyStatus() == 503 && edges[1].ReadyStatus() == 503; },
                  seconds(20)));
    Clock::time_point back;
    std::vector<int> readiness;
    const Traffic traffic = SendThrough(edges, 3, 3, 0, outage + seconds(60), [&] {
        const auto end = Clock::now() + outage;
        while (Clock::now() < end) {
            readiness.push_back(edges[0].ReadyStatus());
            readiness.push_back(edges[1].ReadyStatus());
            std::this_thread::sleep_for(milliseconds(500));
        }
        EXPECT_TRUE(g_postgres->Start(&error)) << error;
        back = Clock::now();
    });
    for (int status : readiness) EXPECT_EQ(status, 503);
    int refused = 0;
    for (const auto& answers : traffic.answers) {
        for (const Answered& answer : answers) {
            if (answer.at >= back) continue;
            ++refused;
            EXPECT_EQ(answer.status, 503);
            EXPECT_TRUE(answer.retryAfter);
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_EQ(traffic.unfinishedAfterFault, 9);
    ExpectAllAcknowledgedAndStoredOnce(uri, traffic);
    EXPECT_TRUE(
        WaitUntil([&] { return edges[0].ReadyStatus() == 200 && edges[1].ReadyStatus() == 200; },
                  seconds(20)));
}

}  // namespace
}  // namespace testing
}  // namespace tally
