// The whole road of an event: a host process loads the service, which loads
// the reference analytics library (through the scenario harness); the library
// stores the events and uploads them over HTTPS to a running tally-collector,
// trusting only the CA the collector exported. The collector is told to
// misbehave through its control port, and its counters say what arrived.
//
// The platform's HTTP client and the collector itself are tested here too,
// against the same collector.
//
// On Linux each test starts its own collector, storing in SQLite or, with
// TALLY_E2E_STORE=postgresql, in a database of its own on one PostgreSQL
// server the program starts once: the same scenarios prove both stores.
// Under Wine (the collector cannot be built for Windows) a script starts the
// Linux one and names its state folder in TALLY_E2E_COLLECTOR_STATE; without
// it the test fails.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "analytics_test_util.h"
#include "plain_http.h"
#include "support/scenario.h"
#include "support/service_scenario.h"
#include "upload/uploader.h"
#ifndef _WIN32
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef TALLY_WITH_POSTGRES
#include <libpq-fe.h>

#include "server/postgres_instance.h"
#endif

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Kind = HttpResult::Kind;
using Headers = decltype(HttpRequest::headers);

// Set by CMake: Wine ends a WinHTTP call only when the server answers
// (Windows itself when the call's handle closes), and the WinHTTP client calls
// a refused http:// URL an unusable trust setting, the curl one a network failure.
constexpr milliseconds kCancelBound{TALLY_CANCEL_BOUND_MS};
constexpr Kind kPlainHttpRefusal = Kind::TALLY_PLAIN_HTTP_REFUSAL;

std::string Gzipped(const std::string& text) {
    std::string body;
    EXPECT_TRUE(Gzip(text, &body));
    return body;
}

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

Json::Value Stats(int controlPort) {
    return ParseJson(PlainHttp(controlPort, "GET", "/stats", ""));
}

void Control(int controlPort, const std::string& json) {
    ASSERT_FALSE(PlainHttp(controlPort, "POST", "/control", json).empty()) << json;
}

#ifdef TALLY_WITH_POSTGRES
// The program's one PostgreSQL server, started at the first use.
PostgresInstance& SharedPostgres() {
    static PostgresInstance instance;
    static const bool started = [] {
        std::string error;
        const bool ok = instance.Start(&error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }();
    (void)started;
    return instance;
}

// A number `sql` answers in the database at `uri`; -1 when it cannot.
int64_t PostgresInt(const std::string& uri, const std::string& sql) {
    PGconn* db = PQconnectdb(uri.c_str());
    PGresult* result = PQexec(db, sql.c_str());
    const int64_t value = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1
                              ? std::atoll(PQgetvalue(result, 0, 0))
                              : -1;
    EXPECT_NE(value, -1) << sql << ": " << PQerrorMessage(db);
    PQclear(result);
    PQfinish(db);
    return value;
}
#endif

// Whether this run's collectors store in PostgreSQL (TALLY_E2E_STORE).
bool IntoPostgres() {
    return ReadEnvironment("TALLY_E2E_STORE") == "postgresql";
}

// The collector the tests talk to: started here on Linux (with `arguments`
// besides the ports), or the one a script started (TALLY_E2E_COLLECTOR_STATE).
class Collector {
  public:
    explicit Collector(std::vector<std::string> arguments = {})
        : m_arguments(std::move(arguments)) {
        const std::string given = ReadEnvironment("TALLY_E2E_COLLECTOR_STATE");
        if (given.empty() && IntoPostgres()) {
#ifdef TALLY_WITH_POSTGRES
            static int databases = 0;
            std::string error;
            m_uri = SharedPostgres().CreateDatabase("e2e" + std::to_string(++databases), &error);
            EXPECT_FALSE(m_uri.empty()) << error;
            m_arguments.insert(m_arguments.end(),
                               {"--store", m_uri, "--unavailable-retry-after", "1"});
#else
            ADD_FAILURE() << "TALLY_E2E_STORE=postgresql: this build has no PostgreSQL";
#endif
        }
        m_state = given.empty() ? m_folder.Path() / "state" : fs::u8path(given);
        m_ca = given.empty() ? m_folder.Path() / "exported-ca.pem" : m_state / "ca.pem";
        if (given.empty()) Start(0);
        ReadPorts();
    }
    ~Collector() {
        Stop();
    }

    // Starts our collector (again) on `port` (0: a free one), same state.
    void Start(int port) {
        ASSERT_FALSE(std::string(TALLY_COLLECTOR).empty())
            << "no collector: set TALLY_E2E_COLLECTOR_STATE to a running collector's state folder";
        fs::remove(m_state / "ports.json");
        std::vector<std::string> arguments = m_arguments;
        arguments.insert(arguments.end(),
                         {"--state", m_state.string(), "--port", std::to_string(port),
                          "--test-mode", "--control-port", "0", "--export-ca", m_ca.string()});
        m_runner = std::thread([this, arguments] {
            m_outcome = RunProcess(TALLY_COLLECTOR, arguments, CurrentEnvironment(),
                                   m_folder.Path() / "collector.log", std::chrono::seconds(110));
        });
        ReadPorts();
    }
    // Stops a collector this object started.
    void Stop() {
        if (!m_runner.joinable()) return;
        PlainHttp(m_control, "POST", "/shutdown", "{}");
        m_runner.join();
        EXPECT_EQ(m_outcome.exitCode, 0) << ReadFileBytes(m_folder.Path() / "collector.log");
    }

    // Out of the library's reach: stopped when this object started it (and
    // started again on the same port), else answering 503 to every request.
    void GoDown() {
        if (!m_runner.joinable()) return Control("{\"fail\":503,\"count\":1000000}");
        m_downPort = m_https;
        Stop();
    }
    void ComeBack() {
        if (m_downPort == 0) return Control("{\"reset\":true}");
        Start(m_downPort);
        m_downPort = 0;
    }

    Json::Value Stats() const {
        return testing::Stats(m_control);
    }
    int HttpsPort() const {
        return m_https;
    }
    std::string Log() const {
        return ReadFileBytes(m_folder.Path() / "collector.log");
    }
    void Control(const std::string& json) const {
        testing::Control(m_control, json);
    }
    fs::path State() const {
        return m_state;
    }
    int ControlPort() const {
        return m_control;
    }
    std::string Url() const {
        return "https://localhost:" + std::to_string(m_https) + "/v1/batches";
    }
    // The collector's CA as the only trust anchor.
    TlsSettings Trust() const {
        return {m_ca.u8string(), "", false};
    }
    // Rows of `table` (and a condition) in the collector's database.
    int64_t Rows(const std::string& table) const {
        return Int("SELECT count(*) FROM " + table);
    }
    // Whether this program can read the collector's database: not a
    // script's PostgreSQL under Wine, which has no libpq.
    bool Readable() const {
        return ReadEnvironment("TALLY_E2E_COLLECTOR_STATE").empty() || !IntoPostgres();
    }
    // A number the collector's database answers, whichever store it is.
    int64_t Int(const std::string& sql) const {
#ifdef TALLY_WITH_POSTGRES
        if (!m_uri.empty()) return PostgresInt(m_uri, sql);
#endif
        return TestDb(m_state / "collector.db").Int(sql);
    }

    // An upload of `json` as the library makes it, through the platform's client.
    HttpRequest Request(const std::string& json, int64_t timeoutMs = 20000, int attempt = 1) const {
        return {Url(),
                {{"Content-Type", "application/json"},
                 {"Content-Encoding", "gzip"},
                 {"Idempotency-Key", "k-1"},
                 {"X-Tally-Attempt", std::to_string(attempt)},
                 {"X-Tally-Upload-Time", "1764990000000"},
                 {"User-Agent", "Tally/1.0 (Orvel 3.1.0)"}},
                Gzipped(json),
                timeoutMs,
                timeoutMs};
    }
    HttpResult Upload(const std::string& json, int attempt = 1) const {
        return MakeHttpClient(Trust())->Post(Request(json, 20000, attempt));
    }

    // What a scenario needs to reach this collector.
    std::vector<EnvVar> Params(const std::string& trust = "ca") const {
        return {{"https_port", std::to_string(m_https)},
                {"control_port", std::to_string(m_control)},
                {"ca", m_ca.u8string()},
                {"trust", trust}};
    }

  private:
    void ReadPorts() {
        const fs::path ports = m_state / "ports.json";
        Json::Value json;
        for (int i = 0; i < 1000; ++i) {
            json = ParseJson(ReadFileBytes(ports));
            if (json["control"].asInt() > 0) break;
            std::this_thread::sleep_for(milliseconds(10));
        }
        ASSERT_GT(json["control"].asInt(), 0) << ReadFileBytes(m_folder.Path() / "collector.log");
        m_https = json["https"].asInt();
        m_control = json["control"].asInt();
    }

    TempFolder m_folder;
    std::vector<std::string> m_arguments;
    std::string m_uri;  // the PostgreSQL database it stores in, or empty: SQLite
    fs::path m_state;
    fs::path m_ca;
    std::thread m_runner;
    ProcessOutcome m_outcome;
    int m_https = 0;
    int m_control = 0;
    int m_downPort = 0;
};

// Compressed schedule: the tests wait tenths of seconds, not minutes.
ScenarioOptions UploadOptions(const Collector& collector, const std::string& trust = "ca") {
    ScenarioOptions options;
    options.library = AnalyticsLibrary::Reference;
    options.writeIni = true;
    options.params = collector.Params(trust);
    options.iniText = "[report]\ntally_domain=localhost:" + options.params[0].value + "\n";
    options.environment = {{"TALLY_UPLOAD_BACKOFF_MS", "100,1600"},
                           {"TALLY_UPLOAD_TIMEOUT_MS", "1000"},
                           {"TALLY_UPLOAD_PACE_MS", "0"}};
    options.timeout = std::chrono::seconds(60);
    return options;
}

// ---- Inside the host process -------------------------------------------------

int ControlPort() {
    return std::stoi(ScenarioParam("control_port"));
}

fs::path StorePath() {
    return fs::u8path(LocalAppDataFolderFor(CurrentEnvironment())) / "Nantel" / "Orvel" / "config" /
           "qx.db";
}

fs::path LibraryLog() {
    return fs::u8path(ReadEnvironment("AMBIT_DATA_DIR")) / "log" / "tally.log";
}

// The CA file beside the program as the trust case asks, and no store left
// by an earlier scenario (under Wine they share the user's folder).
void PrepareHost() {
    const fs::path ca = ScenarioFolder() / "config" / "qx_cacert.pem";
    const std::string trust = ScenarioParam("trust");
    if (trust == "ca") {
        fs::copy_file(fs::u8path(ScenarioParam("ca")), ca, fs::copy_options::overwrite_existing);
    } else if (trust == "garbage") {
        std::ofstream(ca) << "not a certificate\n";
    } else if (trust == "folder") {
        fs::create_directories(ca);
    }
    if (ScenarioParam("keep_store").empty()) {
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            fs::remove(StorePath().u8string() + suffix, ignored);
        }
    }
    MarkDeviceReportedToday();
    TallyService::GetInstance()->EnableImprovement(true);
}

// Ten records: the service submits after every tenth, so they make a batch.
void QueueTen(const std::string& tag) {
    for (int i = 0; i < 10; ++i) {
        QueueRecord("device_remote_connect",
                    "{\"tag\":\"" + tag + "\",\"n\":" + std::to_string(i) + "}");
    }
}

// A number from the library's store; -1 until the library has made it.
int64_t StoreInt(const std::string& sql, const fs::path& store = StorePath()) {
    if (!fs::exists(store)) return -1;
    TestDb db(store);
    if (db.Int("SELECT count(*) FROM sqlite_master WHERE name = 'counters'") == 0) return -1;
    return db.Int(sql);
}

int64_t SentBatches() {
    return StoreInt("SELECT count(*) FROM batches WHERE state = 'sent'");
}

// Every event sent and deleted, no batch waiting, and more than `sentBefore`
// batches sent (the records may still be on their way to the store).
bool WaitDrained(int64_t sentBefore, std::chrono::seconds limit = std::chrono::seconds(20)) {
    return WaitUntil(
        [&] {
            return SentBatches() > sentBefore &&
                   StoreInt(
                       "SELECT (SELECT count(*) FROM events) + (SELECT count(*) FROM "
                       "batches WHERE state IN ('ready','sending'))") == 0;
        },
        limit);
}

struct Delta {
    int64_t bodies, stored, duplicates, events, injected;
};

Delta StatsSince(const Json::Value& before) {
    const Json::Value now = Stats(ControlPort());
    auto diff = [&](const char* name) { return now[name].asInt64() - before[name].asInt64(); };
    return {diff("bodies_received"), diff("batches_stored"), diff("duplicates"), diff("events"),
            diff("injected_failures")};
}

// One batch through each kind of trouble the server can make, in turn; each
// arrives once, and the store is emptied.
TALLY_SCENARIO(UploadThroughTrouble) {
    PrepareHost();
    struct Case {
        const char* what;
        const char* mode;
        int64_t bodies;      // requests that reached the collector
        int64_t duplicates;  // of them, resends of a stored batch
    };
    const Case cases[] = {
        {"happy path", "{\"reset\":true}", 1, 0},
        {"5xx storm", "{\"fail\":500,\"count\":3}", 4, 0},
        {"429 with Retry-After", "{\"fail\":429,\"count\":1,\"retry_after\":1}", 2, 0},
        {"connection dropped after storing", "{\"drop\":1}", 2, 1},
        // Slower than the time-out: stored, then resent once it is fast again.
        {"slow server", "{\"delay_ms\":3000}", 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Json::Value before = Stats(ControlPort());
        Control(ControlPort(), c.mode);
        const int64_t sent = SentBatches();
        const auto start = Clock::now();
        QueueTen(c.what);
        if (std::string(c.what) == "slow server") {
            ASSERT_TRUE(
                WaitUntil([&] { return StatsSince(before).events > 0; }, std::chrono::seconds(10)));
            Control(ControlPort(), "{\"reset\":true}");
        }
        ASSERT_TRUE(WaitDrained(sent)) << ReadFileBytes(LibraryLog());
        const auto took = Clock::now() - start;
        const Delta delta = StatsSince(before);
        EXPECT_EQ(delta.events, 10);
        EXPECT_EQ(delta.stored, 1);
        EXPECT_EQ(delta.bodies, c.bodies);
        EXPECT_EQ(delta.duplicates, c.duplicates);
        if (c.bodies == 2 && c.duplicates == 0) {
            EXPECT_GE(took, milliseconds(950));  // not before Retry-After
        }
        if (c.bodies == 4) {
            // Three backoffs drawn from [50,100], [100,200], [200,400] ms.
            EXPECT_GE(took, milliseconds(350));
        }
    }

    // Opting out during a backlog: none of it ever arrives, new events after
    // opting in again do.
    const Json::Value before = Stats(ControlPort());
    Control(ControlPort(), "{\"fail\":503,\"count\":1000}");
    QueueTen("backlog");
    QueueTen("backlog");
    ASSERT_TRUE(WaitUntil([&] { return StatsSince(before).bodies >= 2; }));
    TallyService::GetInstance()->EnableImprovement(false);
    ASSERT_TRUE(WaitUntil([] { return StoreInt("SELECT count(*) FROM events") == 0; }));
    Control(ControlPort(), "{\"reset\":true}");
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(StatsSince(before).events, 0);
    // What did go: the request to delete everything of the retired id, the
    // batches delivered above included.
    EXPECT_TRUE(WaitUntil([] {
        return StoreInt("SELECT count(*) FROM deletions WHERE state = 'done'") == 1;
    })) << ReadFileBytes(LibraryLog());
    TallyService::GetInstance()->EnableImprovement(true);
    const int64_t sent = SentBatches();
    QueueTen("after opting in");
    ASSERT_TRUE(WaitDrained(sent)) << ReadFileBytes(LibraryLog());
    EXPECT_EQ(StatsSince(before).events, 10);
    EXPECT_GE(StoreInt("SELECT value FROM counters WHERE name = 'consent.deleted_events'"), 10);
}

// One batch against a server it must not trust: it waits for the verdict in
// the library's log and leaves it as a note.
TALLY_SCENARIO(UploadUntrusted) {
    PrepareHost();
    QueueTen("untrusted");
    std::string log;
    ASSERT_TRUE(WaitUntil(
        [&] {
            log = ReadFileBytes(LibraryLog());
            return log.find("server not trusted") != std::string::npos ||
                   log.find("trust settings cannot be used") != std::string::npos;
        },
        std::chrono::seconds(20)))
        << log;
    WriteNote("verdict", log.find("server not trusted") != std::string::npos ? "not trusted"
                                                                             : "cannot be used");
    EXPECT_EQ(StoreInt("SELECT count(*) FROM events"), 10) << "events must be kept";
    // Under Wine the store outlives the scenario (the user's folder): opting
    // out deletes what it kept, so no later program sends it.
    TallyService::GetInstance()->EnableImprovement(false);
    EXPECT_TRUE(WaitUntil([] { return StoreInt("SELECT count(*) FROM events") == 0; }));
}

// Ten events (none when it resumes a store), then waits until everything is
// delivered (the test stops and starts the collector meanwhile).
TALLY_SCENARIO(UploadAcrossOutage) {
    PrepareHost();
    if (ScenarioParam("keep_store").empty()) QueueTen("outage");
    ASSERT_TRUE(WaitDrained(0, std::chrono::seconds(40))) << ReadFileBytes(LibraryLog());
    WriteNote("failed_attempts",
              std::to_string(
                  StoreInt("SELECT value FROM counters WHERE name = 'upload.failed_attempts'")));
}

// Against a stuck server: a repeated initialisation must not wait for it;
// then the process waits to be killed by the harness's watchdog (SIGKILL)
// while its resend hangs.
TALLY_SCENARIO(UploadStuckUntilKilled) {
    PrepareHost();
    const Json::Value before = Stats(ControlPort());
    QueueTen("stuck");
    ASSERT_TRUE(WaitUntil([&] { return StatsSince(before).bodies >= 1; }));
    using InitFn = int32_t (*)(ReportConfig*);
    auto init =
        reinterpret_cast<InitFn>(LibrarySymbol(TallyServiceTestPeer::Module(), "ReportInit"));
    ASSERT_NE(init, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(init(TallyServiceTestPeer::Config()), 1);
    WriteNote(
        "reinit_ms",
        std::to_string(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count()));
    WriteNote("waiting", "1");
    std::this_thread::sleep_for(std::chrono::seconds(60));
}

// Ten events stored and kept (uploads are off in this run), then an opt-out
// and, the moment it returns, the end the test asks for: a normal exit or a
// kill -9 of this process. Nothing after the opt-out runs in this process.
TALLY_SCENARIO(OptOutThenEnd) {
    PrepareHost();
    QueueTen("before the opt-out");
    ASSERT_TRUE(WaitUntil([] {
        return StoreInt("SELECT count(*) FROM events") == 10 &&
               StoreInt("SELECT count(*) FROM batches WHERE state = 'ready'") == 1;
    })) << ReadFileBytes(LibraryLog());
    const std::string end = ScenarioParam("end");
    TallyService::GetInstance()->EnableImprovement(false);
    if (end == "kill") KillThisProcess();
    std::exit(0);
}

// The next run on the same store: opted in, ten new events, all uploaded.
TALLY_SCENARIO(OptInAndUpload) {
    PrepareHost();
    // Counted before the events go in: their batch may be sent before
    // QueueTen returns.
    const int64_t sent = std::max<int64_t>(SentBatches(), 0);
    QueueTen("after the opt-out");
    ASSERT_TRUE(WaitDrained(sent)) << ReadFileBytes(LibraryLog());
}

// Ten events uploaded (with `await_deletion`, once the deletion request left
// by the run before was answered); notes the installation id they went under.
TALLY_SCENARIO(UploadTenUnderTheInstallId) {
    PrepareHost();
    if (!ScenarioParam("await_deletion").empty()) {
        ASSERT_TRUE(WaitUntil([] {
            return StoreInt("SELECT count(*) FROM deletions WHERE state = 'pending'") == 0 &&
                   StoreInt("SELECT count(*) FROM deletions WHERE state = 'done'") > 0;
        })) << ReadFileBytes(LibraryLog());
    }
    const int64_t sent = std::max<int64_t>(SentBatches(), 0);  // before: see OptInAndUpload
    QueueTen(ScenarioParam("tag"));
    ASSERT_TRUE(WaitDrained(sent)) << ReadFileBytes(LibraryLog());
    WriteNote("install_id", TestDb(StorePath())
                                .Text("SELECT value FROM meta WHERE key = "
                                      "'install_id'"));
}

// Opts out with the collector out of reach, then ends: killed at once, or
// after the deletion request failed once.
TALLY_SCENARIO(OptOutWhileTheCollectorIsDown) {
    PrepareHost();
    TallyService::GetInstance()->EnableImprovement(false);
    if (ScenarioParam("end") == "kill") KillThisProcess();
    ASSERT_TRUE(WaitUntil([] {
        return StoreInt("SELECT count(*) FROM deletions WHERE attempts > 0") > 0;
    })) << ReadFileBytes(LibraryLog());
    EXPECT_EQ(StoreInt("SELECT count(*) FROM meta WHERE key = 'install_id'"), 0);
}

// ---- The tests ---------------------------------------------------------------

TEST(UploadEndToEnd, EveryEventArrivesOnceThroughServerTroubleAndOptOutDropsTheBacklog) {
    Collector collector;
    const ScenarioResult result = RunScenario("UploadThroughTrouble", UploadOptions(collector));
    EXPECT_TRUE(result.Succeeded()) << result.Describe();
    // In the database itself: the five batches of ten that arrived before
    // the opt-out (the dropped and the slow answer's among them) were deleted
    // at its request and audited; the opted-out backlog never arrives; the
    // batch after opting in again stays.
    if (!collector.Readable()) return;  // the Wine script reads it instead
    EXPECT_EQ(collector.Rows("batches WHERE events = 10"), 1);
    EXPECT_EQ(collector.Rows("events"), 10);
    EXPECT_EQ(collector.Int("SELECT sum(batches) * 1000 + sum(events) FROM deletions"), 5050);
}

TEST(UploadEndToEnd, NoBodyReachesAServerWhereTrustFails) {
    Collector collector;
    struct Case {
        const char* cert;   // what the collector presents
        const char* trust;  // the CA file beside the program
        const char* verdict;
    };
    const Case cases[] = {
        {"other-ca", "ca", "not trusted"},     {"self-signed", "ca", "not trusted"},
        {"wrong-name", "ca", "not trusted"},   {"good", "missing", "not trusted"},
        {"good", "garbage", "cannot be used"}, {"good", "folder", "cannot be used"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " certificate, CA file " + c.trust);
        collector.Control(std::string("{\"cert\":\"") + c.cert + "\"}");
        const int64_t bodies = collector.Stats()["bodies_received"].asInt64();
        const ScenarioResult result =
            RunScenario("UploadUntrusted", UploadOptions(collector, c.trust));
        EXPECT_TRUE(result.Succeeded()) << result.Describe();
        EXPECT_EQ(result.Note("verdict"), c.verdict);
        EXPECT_EQ(collector.Stats()["bodies_received"].asInt64(), bodies);
    }
    collector.Control("{\"reset\":true}");
}

// An opt-out is final when EnableImprovement(false) returns: neither an
// exit nor a kill -9 right after it lets a later opted-in run send what was
// stored before it.
TEST(UploadEndToEnd, NothingStoredBeforeAnOptOutArrivesAfterAnExitOrAKillAndAnOptIn) {
    Collector collector;
    TempFolder shared;
    // Linux keeps the store in a folder of this test's; under Wine it is the
    // Wine user's, shared by the two runs all the same.
    const std::vector<EnvVar> sharedStore = {{"XDG_DATA_HOME", (shared.Path() / "xdg").u8string()}};
    struct Case {
        const char* end;
        int exitCode;
    };
    const Case cases[] = {{"exit", 0}, {"kill", kKilledExitCode}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.end);
        ScenarioOptions first = UploadOptions(collector);
        first.environment.insert(first.environment.end(), sharedStore.begin(), sharedStore.end());
        first.environment.push_back({"TALLY_UPLOAD", "0"});
        first.params.push_back({"end", c.end});
        const ScenarioResult before = RunScenario("OptOutThenEnd", first);
        ASSERT_TRUE(before.outcome.started && !before.outcome.timedOut) << before.Describe();
        ASSERT_EQ(before.outcome.exitCode, c.exitCode) << before.Describe();

        ScenarioOptions next = UploadOptions(collector);
        next.environment.insert(next.environment.end(), sharedStore.begin(), sharedStore.end());
        next.params.push_back({"keep_store", "1"});
        const int64_t events = collector.Stats()["events"].asInt64();
        const ScenarioResult after = RunScenario("OptInAndUpload", next);
        ASSERT_TRUE(after.Succeeded()) << after.Describe();
        EXPECT_EQ(collector.Stats()["events"].asInt64() - events, 10);
    }
    collector.Control("{\"reset\":true}");
    // Under Wine the collector is the script's; its database is read there.
    EXPECT_EQ(collector.Rows("events WHERE payload LIKE '%before the opt-out%'"), 0);
    EXPECT_EQ(collector.Rows("events WHERE payload LIKE '%after the opt-out%'"), 20);
}

// An opt-out asks the collector to delete everything of the installation
// id the uploads carried, also when the collector was out of reach meanwhile
// and the host ended (or was killed) before it came back; opted in again,
// the uploads carry a new id.
TEST(UploadEndToEnd, AnOptOutDeletesTheInstallationAtTheCollectorAfterAnOutageAndARestart) {
    Collector collector;
    TempFolder shared;
    auto options = [&](std::vector<EnvVar> params) {
        ScenarioOptions o = UploadOptions(collector);
        o.environment.push_back({"XDG_DATA_HOME", (shared.Path() / "xdg").u8string()});
        o.params.insert(o.params.end(), params.begin(), params.end());
        return o;
    };
    struct Case {
        const char* end;
        int exitCode;
    };
    const Case cases[] = {{"exit", 0}, {"kill", kKilledExitCode}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.end);
        const std::string tag = std::string("deleted after ") + c.end;
        const ScenarioResult first =
            RunScenario("UploadTenUnderTheInstallId", options({{"tag", tag}}));
        ASSERT_TRUE(first.Succeeded()) << first.Describe();
        const std::string retired = first.Note("install_id");
        ASSERT_TRUE(IsUuidV4(retired)) << retired;
        EXPECT_EQ(collector.Rows("batches WHERE install_id = '" + retired + "'"), 1);

        collector.GoDown();
        const ScenarioResult optOut = RunScenario("OptOutWhileTheCollectorIsDown",
                                                  options({{"keep_store", "1"}, {"end", c.end}}));
        collector.ComeBack();
        ASSERT_TRUE(optOut.outcome.started && !optOut.outcome.timedOut) << optOut.Describe();
        ASSERT_EQ(optOut.outcome.exitCode, c.exitCode) << optOut.Describe();

        const ScenarioResult next =
            RunScenario("UploadTenUnderTheInstallId",
                        options({{"keep_store", "1"}, {"await_deletion", "1"}, {"tag", "kept"}}));
        ASSERT_TRUE(next.Succeeded()) << next.Describe();
        const std::string fresh = next.Note("install_id");
        EXPECT_TRUE(IsUuidV4(fresh)) << fresh;
        EXPECT_NE(fresh, retired);
        EXPECT_EQ(collector.Rows("batches WHERE install_id = '" + retired + "'"), 0);
        EXPECT_EQ(collector.Rows("events WHERE payload LIKE '%" + tag + "%'"), 0);
        EXPECT_EQ(collector.Rows("deletions WHERE install_id = '" + retired +
                                 "' AND batches = 1 AND events = 10"),
                  1);
        EXPECT_EQ(collector.Rows("batches WHERE install_id = '" + fresh + "'"), 1);
    }
}

// Linux only (the test starts, stops and kills processes of its own).
TEST(UploadEndToEnd, OutageKillAndStuckServerLoseNothingAndStoreNothingTwice) {
    Collector collector;
    TempFolder shared;
    auto options = [&] {
        ScenarioOptions o = UploadOptions(collector);
        o.environment.push_back({"XDG_DATA_HOME", (shared.Path() / "xdg").u8string()});
        return o;
    };
    const fs::path store = shared.Path() / "xdg" / "Nantel" / "Orvel" / "config" / "qx.db";

    // Down while the events wait, up four seconds after the first attempt:
    // the collector; with PostgreSQL also the database behind a running
    // collector, which answers 503 with Retry-After until it is back.
    const int port = std::stoi(collector.Params()[0].value);
    struct Outage {
        const char* what;
        std::function<void()> down, up;
        int minFailed, maxFailed;  // attempts the client made meanwhile
    };
    std::vector<Outage> outages = {{"collector down", [&] { collector.Stop(); },
                                    [&] { collector.Start(port); },
                                    // About 4.3 s of backoff from [50,100] … [800,1600] ms.
                                    4, 11}};
#ifdef TALLY_WITH_POSTGRES
    std::string error;
    if (IntoPostgres()) {
        // Retry-After 1 s: four or five attempts in four seconds.
        outages.push_back({"database down",
                           [&] { ASSERT_TRUE(SharedPostgres().Stop(&error)) << error; },
                           [&] { ASSERT_TRUE(SharedPostgres().Start(&error)) << error; }, 2, 6});
    }
#endif
    for (size_t i = 0; i < outages.size(); ++i) {
        const Outage& o = outages[i];
        SCOPED_TRACE(o.what);
        const int unavailable = collector.Stats()["unavailable"].asInt();
        o.down();
        ScenarioResult outage;
        std::thread host([&] { outage = RunScenario("UploadAcrossOutage", options()); });
        const bool attempted = WaitUntil(
            [&] { return StoreInt("SELECT count(*) FROM batches WHERE attempts > 0", store) > 0; },
            std::chrono::seconds(20));
        std::this_thread::sleep_for(std::chrono::seconds(attempted ? 4 : 0));
        o.up();
        host.join();
        ASSERT_TRUE(attempted);
        ASSERT_TRUE(outage.Succeeded()) << outage.Describe();
        EXPECT_EQ(collector.Stats()["events"].asInt(), 10 * static_cast<int>(i + 1));
        EXPECT_EQ(collector.Stats()["batches_stored"].asInt(), static_cast<int>(i + 1));
        const int failed = std::stoi("0" + outage.Note("failed_attempts"));
        EXPECT_GE(failed, o.minFailed);
        EXPECT_LE(failed, o.maxFailed);
        if (i > 0) {
            EXPECT_GE(collector.Stats()["unavailable"].asInt() - unavailable, o.minFailed);
        }
    }
    const int64_t before = 10 * static_cast<int64_t>(outages.size());

    // Stuck server: a repeated ReportInit returns at once; kill -9 while the
    // resend hangs; after a restart the batch arrives under the same key, once.
    collector.Control("{\"delay_ms\":10000}");
    ScenarioOptions stuck = options();
    stuck.timeout = std::chrono::seconds(6);
    const ScenarioResult killed = RunScenario("UploadStuckUntilKilled", stuck);
    EXPECT_TRUE(killed.outcome.timedOut) << killed.Describe();
    EXPECT_EQ(killed.Note("waiting"), "1") << killed.Describe();
    EXPECT_LT(std::stoi("0" + killed.Note("reinit_ms")), 2000);
    collector.Control("{\"reset\":true}");
    const std::string key = TestDb(store).Text("SELECT request_id FROM batches");
    const std::string batch = TestDb(store).Text("SELECT uuid FROM batches");

    ScenarioOptions restart = options();
    restart.params.push_back({"keep_store", "1"});
    const ScenarioResult resumed = RunScenario("UploadAcrossOutage", restart);
    EXPECT_TRUE(resumed.Succeeded()) << resumed.Describe();
    collector.Stop();
    EXPECT_EQ(collector.Rows("batches WHERE batch_id = '" + batch + "' AND idempotency_key = '" +
                             key + "'"),
              1);
    EXPECT_EQ(collector.Rows("events WHERE batch_id = '" + batch + "'"), 10);
    EXPECT_GE(collector.Rows("requests WHERE idempotency_key = '" + key + "'"), 3);
    EXPECT_EQ(collector.Rows("events"), before + 10);
}

// ---- The platform's HTTP client and the collector --------------------------

// A body with `batches` batches of `events` events each.
std::string Body(const std::string& batchId, int events, int schema = 1, int batches = 1) {
    std::string body = "{\"schema\":" + std::to_string(schema) +
                       ",\"app\":{\"appid\":\"Orvel\",\"appversion\":\"3.1.0\",\"device_type\":"
                       "\"7\",\"tag\":\"t\"},\"batches\":[";
    for (int b = 0; b < batches; ++b) {
        body += std::string(b ? "," : "") + "{\"batch_id\":\"" + batchId +
                (b ? std::to_string(b) : "") + "\",\"created_ms\":1764990000000,\"events\":[";
        for (int i = 0; i < events; ++i) {
            body += std::string(i ? "," : "") + "{\"seq\":" + std::to_string(i + 1) +
                    ",\"received_ms\":1764989990000,\"name\":\"device_remote_connect\","
                    "\"payload\":{\"is_success\": \"true\" ,\"n\":" +
                    std::to_string(i) + "}}";
        }
        body += "]}";
    }
    return body + "]}";
}

TEST(HttpClient, SendsOnlyToATrustedServerAndEndsACallOnDeadlineOrCancel) {
    Collector collector;
    TempFolder folder;
    const fs::path state = collector.State();
    // The keys to pin: the serving leaf's and another (the Wine script makes them).
    for (const char* key : {"server", "other-ca-root"}) {
        const std::string base = (state / key).string();
        if (!fs::exists(base + ".pub")) {
            std::system(
                ("openssl pkey -in '" + base + ".key' -pubout -out '" + base + ".pub'").c_str());
        }
    }
    const std::string garbage = (folder.Path() / "garbage.pem").u8string();
    ASSERT_TRUE(WriteFileBytes(garbage, "not a certificate\n"));
    const std::string ca = collector.Trust().caFile;
    struct Case {
        const char* what;
        const char* cert;  // what the collector presents
        std::string ca;
        std::string pin;
        Kind kind;
    };
    const Case cases[] = {
        {"trusted", "good", ca, "", Kind::Ok},
        {"pinned leaf key", "good", ca, (state / "server.pub").u8string(), Kind::Ok},
        {"another key pinned", "good", ca, (state / "other-ca-root.pub").u8string(), Kind::Tls},
        {"pin file not PEM", "good", ca, garbage, Kind::TlsConfig},
        {"another CA trusted", "good", (state / "other-ca-root.pem").u8string(), "", Kind::Tls},
        {"CA file missing: system trust", "good", garbage + ".missing", "", Kind::Tls},
        {"CA file not PEM", "good", garbage, "", Kind::TlsConfig},
        {"server from another CA", "other-ca", ca, "", Kind::Tls},
        {"self-signed server", "self-signed", ca, "", Kind::Tls},
        {"server of another name", "wrong-name", ca, "", Kind::Tls},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        collector.Control(std::string("{\"cert\":\"") + c.cert + "\"}");
        const int64_t bodies = collector.Stats()["bodies_received"].asInt64();
        const HttpResult result =
            MakeHttpClient({c.ca, c.pin, false})->Post(collector.Request(Body("b-trust", 1)));
        EXPECT_EQ(result.kind, c.kind) << result.errorText;
        EXPECT_EQ(result.status, c.kind == Kind::Ok ? 200 : 0) << result.body;
        EXPECT_EQ(collector.Stats()["bodies_received"].asInt64(), bodies + (c.kind == Kind::Ok));
    }

    // One client while its CA file changes: each request trusts the file as
    // it is then, whatever chain engine the client made of an earlier text,
    // also on a connection kept from a request the old text trusted. (libcurl
    // keeps a CA file it loaded, by path, and reuses verified connections.)
    const fs::path changing = folder.Path() / "changing-ca.pem";
    const std::string other = ReadFileBytes(state / "other-ca-root.pem");
    const std::pair<std::string, Kind> texts[] = {{other, Kind::Tls},
                                                  {ReadFileBytes(ca), Kind::Ok},
                                                  {"not a certificate\n", Kind::TlsConfig},
                                                  {ReadFileBytes(ca), Kind::Ok},
                                                  {other, Kind::Tls}};
    collector.Control(R"({"cert":"good"})");
    const std::unique_ptr<HttpClient> kept = MakeHttpClient({changing.u8string(), "", false});
    for (const auto& [text, kind] : texts) {
        ASSERT_TRUE(WriteFileBytes(changing, text));
        const int64_t bodies = collector.Stats()["bodies_received"].asInt64();
        const HttpResult result = kept->Post(collector.Request(Body("b-change", 1)));
        EXPECT_EQ(result.kind, kind) << result.errorText;
        EXPECT_EQ(collector.Stats()["bodies_received"].asInt64(), bodies + (kind == Kind::Ok));
    }

    // The status, Retry-After and body of an answer reach the caller.
    collector.Control(R"({"reset":true,"fail":429,"count":1,"retry_after":7})");
    const HttpResult limited = collector.Upload(Body("b-429", 1));
    int64_t seconds = 0;
    EXPECT_EQ(limited.status, 429);
    EXPECT_TRUE(ParseRetryAfter(limited.retryAfter, &seconds) && seconds == 7)
        << limited.retryAfter;
    EXPECT_NE(limited.body.find("\"error\""), std::string::npos) << limited.body;

    // No plain http:// (here to the collector's plain control port), no one
    // listening, a server slower than the deadline.
    HttpRequest request = collector.Request(Body("b-slow", 1), 1000);
    request.url = "http://127.0.0.1:" + std::to_string(collector.ControlPort()) + "/v1/batches";
    EXPECT_EQ(MakeHttpClient(collector.Trust())->Post(request).kind, kPlainHttpRefusal);
    request.url = "https://localhost:1/v1/batches";
    EXPECT_EQ(MakeHttpClient(collector.Trust())->Post(request).kind, Kind::Network);
    request.url = collector.Url();
    collector.Control(R"({"delay_ms":4000})");
    auto start = Clock::now();
    EXPECT_EQ(MakeHttpClient(collector.Trust())->Post(request).kind, Kind::Timeout);
    EXPECT_LT(Clock::now() - start, milliseconds(3000));

    // A cancel from another thread ends the call in flight and every later one.
    collector.Control(R"({"delay_ms":2000})");
    request.timeoutMs = request.connectTimeoutMs = 20000;
    std::unique_ptr<HttpClient> client = MakeHttpClient(collector.Trust());
    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(milliseconds(300));
        cancelledAt = Clock::now();
        client->Cancel();
    });
    const HttpResult cancelled = client->Post(request);
    const Clock::time_point returned = Clock::now();
    canceller.join();
    EXPECT_EQ(cancelled.kind, Kind::Cancelled) << cancelled.errorText;
    EXPECT_LT(returned - cancelledAt, kCancelBound);
    start = Clock::now();
    EXPECT_EQ(client->Post(request).kind, Kind::Cancelled);
    EXPECT_LT(Clock::now() - start, milliseconds(100));
    collector.Control(R"({"reset":true})");
}

// Linux only, as the rest (each starts a collector of its own). A dropped
// connection is one of the troubles of UploadEndToEnd.EveryEventArrivesOnce...
TEST(Collector, InjectsErrorsAsToldThenStoresABatchOnceAndAcknowledgesItsResend) {
    Collector collector({"--fail", "503:2"});
    const std::string body = Body("6f1c2a9e-0000-4000-8000-000000000001", 3);
    for (int status : {503, 503, 200}) EXPECT_EQ(collector.Upload(body).status, status);
    const HttpResult resent = collector.Upload(body, 2);
    EXPECT_EQ(resent.status, 200) << resent.body;
    EXPECT_NE(resent.body.find("\"duplicates\":1"), std::string::npos) << resent.body;

    const Json::Value stats = collector.Stats();
    EXPECT_EQ(stats["bodies_received"].asInt(), 4);
    EXPECT_EQ(stats["batches_stored"].asInt(), 1);
    EXPECT_EQ(stats["duplicates"].asInt(), 1);
    EXPECT_EQ(stats["events"].asInt(), 3);
    EXPECT_EQ(collector.Rows("batches"), 1);
    EXPECT_EQ(collector.Rows("events"), 3);
    // Payload text kept as sent, both clocks of every request kept.
    EXPECT_EQ(collector.Rows("events WHERE payload = '{\"is_success\": \"true\" ,\"n\":2}'"), 1);
    EXPECT_EQ(collector.Rows("requests WHERE upload_time_ms = 1764990000000 AND receive_ms > "
                             "upload_time_ms AND idempotency_key = 'k-1'"),
              4);
}

TEST(Collector, RefusesBadInputWithAClearStatusStoresNothingAndStaysUp) {
    Collector collector;
    const Headers json = {{"Content-Type", "application/json"}};
    const Headers gzip = {{"Content-Type", "application/json"}, {"Content-Encoding", "gzip"}};
    const std::string good = Gzipped(Body("b-ok", 1));
    struct Case {
        const char* what;
        Headers headers;
        std::string body;
        int status;
    };
    const std::vector<Case> cases = {
        {"not JSON", json, "{\"schema\":1,", 400},
        {"an array", json, "[1,2]", 400},
        {"trailing bytes", json, Body("b-1", 1) + "x", 400},
        {"unknown schema", json, Body("b-1", 1, 2), 422},
        {"no batch id", json, "{\"schema\":1,\"app\":{},\"batches\":[{\"events\":[]}]}", 422},
        {"payload not an object", json,
         "{\"schema\":1,\"app\":{},\"batches\":[{\"batch_id\":\"b\",\"events\":[{\"seq\":1,"
         "\"received_ms\":1,\"name\":\"n\",\"payload\":\"{}\"}]}]}",
         422},
        // Text no store can keep as sent would fail every resend.
        {"event name not UTF-8", json,
         "{\"schema\":1,\"app\":{},\"batches\":[{\"batch_id\":\"b-utf\",\"events\":[{\"seq\":1,"
         "\"received_ms\":1,\"name\":\"n\xff\",\"payload\":{}}]}]}",
         422},
        {"payload not UTF-8", json,
         "{\"schema\":1,\"app\":{},\"batches\":[{\"batch_id\":\"b-utf\",\"events\":[{\"seq\":1,"
         "\"received_ms\":1,\"name\":\"n\",\"payload\":{\"k\":\"\xc0\xaf\"}}]}]}",
         422},
        {"not JSON by type", {{"Content-Type", "text/plain"}}, Body("b-1", 1), 415},
        {"over 500 events", gzip, Gzipped(Body("b-many", 501)), 413},
        {"over 50 batches", gzip, Gzipped(Body("b-many", 1, 1, 51)), 413},
        {"inflates past 4 MiB", gzip, Gzipped(std::string(5 << 20, ' ')), 413},
        {"plain body past 4 MiB", json, std::string((4 << 20) + 1, ' '), 413},
        {"truncated gzip", gzip, good.substr(0, good.size() / 2), 400},
    };
    HttpRequest request = collector.Request("");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        request.headers = c.headers;
        request.body = c.body;
        const HttpResult reply = MakeHttpClient(collector.Trust())->Post(request);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        EXPECT_NE(reply.body.find("\"error\":"), std::string::npos) << reply.body;
    }
    const Json::Value stats = collector.Stats();
    EXPECT_EQ(stats["refused"].asInt(), static_cast<int>(cases.size()));
    EXPECT_EQ(stats["batches_stored"].asInt(), 0);
    EXPECT_EQ(collector.Rows("events"), 0);
    EXPECT_EQ(collector.Rows("requests"), static_cast<int64_t>(cases.size()));
    // Both caps at once, and the shape the first clients sent.
    EXPECT_EQ(collector.Upload(Body("b-ok", 10, 1, 50)).status, 200);
    EXPECT_EQ(collector.Upload(Body("b-old", 25, 1, 20)).status, 200);
}

#ifndef _WIN32
// Requests as an attacker would write them, byte for byte over TLS: each is
// refused with a 4xx and an {"error"} body, before anything is stored, and
// the connection is closed after the refusal, so that nothing sent behind it
// (a body left unread, an upload smuggled in it) is taken for a request.
// The few that are well-formed after all are stored and keep the connection.
TEST(Collector, AnswersHostileRequestsWithA4xxClosesTheConnectionAndStoresNothingOfThem) {
    Collector collector;
    auto upload = [](const std::string& extraHeaders, const std::string& body) {
        return "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
               "application/json\r\n" +
               extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    // An upload hidden where a server or a proxy in front may take it for a
    // request of its own; its batch id says so.
    const std::string smuggled = upload("", Body("smuggled", 1));
    const std::string smuggledLength =
        "Content-Length: " + std::to_string(smuggled.size()) + "\r\n";
    const std::string bomb = Gzipped(std::string(5 << 20, ' '));
    auto event = [](const std::string& fields) {
        return "{\"schema\":1,\"app\":{},\"batches\":[{\"batch_id\":\"b-row\",\"created_ms\":-5,"
               "\"events\":[{" +
               fields + ",\"payload\":{}}]}]}";
    };
    auto deletion = [](const std::string& body) {
        return "POST /v1/deletions HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
               "application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string installId = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
    std::string withInstall = Body("b-installed", 2);
    withInstall.replace(withInstall.find("\"tag\""), 0, "\"install_id\":\"" + installId + "\",");
    std::string deep =
        "{\"schema\":1,\"app\":{},\"batches\":[{\"batch_id\":\"b-deep\",\"events\":[{"
        "\"seq\":1,\"received_ms\":1,\"name\":\"n\",\"payload\":{\"a\":";
    deep += std::string(1000, '[') + std::string(1000, ']') + "}}]}]}";
    struct Case {
        const char* what;
        std::string bytes;
        int status;
        int64_t events;  // stored by it
    };
    const std::vector<Case> cases = {
        {"GET /nowhere with a body",
         "GET /nowhere HTTP/1.1\r\nHost: localhost\r\n" + smuggledLength + "\r\n" + smuggled, 404,
         0},
        {"GET on the upload path with a body",
         "GET /v1/batches HTTP/1.1\r\nHost: localhost\r\n" + smuggledLength + "\r\n" + smuggled,
         405, 0},
        {"Content-Length past 4 MiB, body withheld",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
         "application/json\r\nContent-Length: 5000000\r\n\r\n" +
             smuggled,
         413, 0},
        {"waits for 100 Continue with a Content-Length past 4 MiB",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\n"
         "Content-Length: 5000000\r\n\r\n",
         413, 0},
        {"inflates past 4 MiB", upload("Content-Encoding: gzip\r\n", bomb) + smuggled, 413, 0},
        {"chunked and Content-Length",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
         "application/json\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n" +
             smuggled,
         400, 0},
        {"two different Content-Lengths",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
         "application/json\r\nContent-Length: 0\r\n" +
             smuggledLength + "\r\n" + smuggled,
         400, 0},
        {"a transfer coding besides chunked",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: gzip, "
         "chunked\r\n\r\n0\r\n\r\n" +
             smuggled,
         400, 0},
        {"no length at all",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n\r\n" +
             smuggled,
         411, 0},
        {"Content-Encoding br", upload("Content-Encoding: br\r\n", Body("b-br", 1)), 415, 0},
        {"request line past 8 KiB", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 431, 0},
        {"header line past 8 KiB",
         "POST /v1/batches HTTP/1.1\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n" + smuggled,
         431, 0},
        {"120 header fields",
         upload(
             [] {
                 std::string many;
                 for (int i = 0; i < 120; ++i) many += "X-F" + std::to_string(i) + ": 1\r\n";
                 return many;
             }(),
             Body("b-fields", 1)),
         431, 0},
        {"not HTTP", "HELLO\r\n\r\n" + smuggled, 400, 0},
        {"payload nested 1000 deep", upload("", deep), 400, 0},
        {"negative seq, key not UTF-8",
         upload("Idempotency-Key: k\xff\xfe\r\n",
                event("\"seq\":-1,\"received_ms\":1,\"name\":\"n\"")),
         422, 0},
        // HTTP allows no control character in a field value.
        {"key with control characters",
         upload("Idempotency-Key: k\x1b[31m\r\n", Body("b-escape", 1)), 400, 0},
        {"chunked after Content-Length",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
         "application/json\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
             smuggled,
         400, 0},
        {"the same Content-Length twice",
         upload("Content-Length: " + std::to_string(Body("b-twice", 1).size()) + "\r\n",
                Body("b-twice", 1)),
         400, 0},
        {"a chunk size that is not hex",
         "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
         "application/json\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" +
             smuggled,
         400, 0},
        {"head past 16 KiB in short lines",
         upload(
             [] {
                 std::string many;
                 for (int i = 0; i < 60; ++i)
                     many += "X-F" + std::to_string(i) + ": " + std::string(300, 'v') + "\r\n";
                 return many;
             }(),
             Body("b-long-head", 1)),
         431, 0},
        {"event name with control characters",
         upload("", event("\"seq\":1,\"received_ms\":1,\"name\":\"n\\u001b[2J\"")), 422, 0},
        {"install_id not a UUID",
         upload("",
                "{\"schema\":1,\"app\":{\"install_id\":\"1B4E28BA-2FA1-41D2-883F-"
                "0016D3CCA427\"},\"batches\":[{\"batch_id\":\"b-upper\",\"events\":[]}]}"),
         422, 0},
        {"deletion of an id that is no UUID",
         deletion(R"({"schema":1,"install_id":"'; DROP TABLE batches; --","requested_ms":1})"), 422,
         0},
        {"deletion past 4 KiB, body withheld",
         "POST /v1/deletions HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
         "application/json\r\nContent-Length: 5000\r\n\r\n" +
             smuggled,
         413, 0},
        {"Content-Encoding: GZIP",
         upload("Content-Encoding: GZIP\r\n", Gzipped(Body("b-upper-gzip", 1))), 200, 1},
        {"chunked",
         [](const std::string& body) {
             char size[16];
             std::snprintf(size, sizeof(size), "%zx", body.size());
             return "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
                    "application/json\r\nTransfer-Encoding: Chunked\r\n\r\n" +
                    std::string(size) + "\r\n" + body + "\r\n0\r\n\r\n";
         }(Body("b-chunked", 1)),
         200, 1},
        {"created_ms before 1970", upload("", event("\"seq\":1,\"received_ms\":1,\"name\":\"n\"")),
         200, 1},
    };
    int64_t events = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool refused = c.status >= 400;
        const RawReply reply = RawExchange(collector.HttpsPort(), collector.Trust().caFile, c.bytes,
                                           refused ? 3000 : 300);
        EXPECT_EQ(reply.status, c.status) << reply.head << "\n" << reply.body;
        EXPECT_EQ(reply.body.find(refused ? "{\"error\":\"" : "{\"accepted\":1,"), 0u)
            << reply.body;
        EXPECT_EQ(reply.closed, refused);
        EXPECT_EQ(reply.after, "");
        EXPECT_EQ(reply.head.find("\r\nConnection: close") != std::string::npos, refused)
            << reply.head;
        events += c.events;
        EXPECT_EQ(collector.Rows("events"), events);
    }
    EXPECT_EQ(collector.Rows("batches WHERE batch_id = 'smuggled'"), 0);
    EXPECT_EQ(collector.Rows("batches WHERE batch_id = 'b-row' AND created_ms = -5"), 1);
    // One log row for each, what the client sent printed escaped.
    EXPECT_GE(collector.Rows("requests"), static_cast<int64_t>(cases.size()));
    EXPECT_EQ(collector.Rows("requests WHERE idempotency_key = 'k\\xff\\xfe' AND status = 422"), 1);
    EXPECT_EQ(collector.Log().find('\x1b'), std::string::npos);
    EXPECT_NE(collector.Log().find("key=k\\xff\\xfe"), std::string::npos) << collector.Log();

    // The control port takes JSON from a test, nothing a browser page could send.
    auto control = [](const std::string& headers, const std::string& body) {
        return "POST /control HTTP/1.1\r\n" + headers +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string fail = R"({"fail":500,"count":100})";
    const std::vector<std::pair<std::string, int>> controlCases = {
        {control("Host: 127.0.0.1\r\nContent-Type: text/plain\r\n", fail), 415},
        {control(
             "Host: 127.0.0.1\r\nContent-Type: application/json\r\nOrigin: http://example.com\r\n",
             fail),
         403},
        {control("Host: rebound.example:80\r\nContent-Type: application/json\r\n", fail), 403},
        {"POST /control HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
         "application/json\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n" +
             std::string(65536, ' '),
         411},
        {control("Host: 127.0.0.1\r\nContent-Type: application/json\r\n", std::string(65537, ' ')),
         413},
        {control("Host: 127.0.0.1\r\nContent-Type: application/json\r\n",
                 std::string(5000, '[') + std::string(5000, ']')),
         400},
    };
    for (const auto& c : controlCases) {
        SCOPED_TRACE(c.first.substr(0, 80));
        const RawReply reply = RawExchange(collector.ControlPort(), "", c.first, 3000);
        EXPECT_EQ(reply.status, c.second) << reply.head;
        EXPECT_EQ(reply.body.find("{\"error\":\""), 0u) << reply.body;
        EXPECT_TRUE(reply.closed);
    }
    EXPECT_EQ(collector.Stats()["modes"]["fail"].asInt(), 0);

    // Still serving: a normal upload on a fresh connection.
    const HttpResult after = collector.Upload(Body("b-after", 2));
    EXPECT_EQ(after.status, 200) << after.body;
    EXPECT_EQ(collector.Rows("events"), events + 2);

    // A deletion takes exactly the named installation's data; a repeat finds nothing.
    const std::string key = collector.Trust().caFile;
    EXPECT_EQ(RawExchange(collector.HttpsPort(), key, upload("", withInstall), 300).status, 200);
    const std::string request =
        R"({"schema":1,"install_id":")" + installId + R"(","requested_ms":1764990000000})";
    for (const char* expected :
         {R"({"deleted":{"batches":1,"events":2}})", R"({"deleted":{"batches":0,"events":0}})"}) {
        const RawReply reply = RawExchange(collector.HttpsPort(), key, deletion(request), 300);
        EXPECT_EQ(reply.status, 200) << reply.head;
        EXPECT_EQ(reply.body, expected);
        EXPECT_EQ(collector.Rows("events"), events + 2);
    }
    EXPECT_EQ(collector.Rows("deletions WHERE install_id = '" + installId + "'"), 2);
}

// The collector process serving `state` (its command line names the folder).
int CollectorPid(const fs::path& state) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string line = ReadFileBytes(entry.path() / "cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        if (line.find("tally-collector") != std::string::npos &&
            line.find(" " + state.string() + " ") != std::string::npos) {
            return std::stoi(name);
        }
    }
    return -1;
}

// Resident memory of process `pid`, in bytes.
int64_t ResidentBytes(int pid) {
    const std::string status = ReadFileBytes("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + 6) * 1024;
}

// Connections that each send `head` and then one byte of `rest` every
// 100 ms from a thread of their own, until stopped or the server closes.
class Tricklers {
  public:
    Tricklers(int port, const std::string& ca, int count, const std::string& head,
              const std::string& rest) {
        for (int i = 0; i < count; ++i) {
            m_connections.push_back(std::make_unique<RawConnection>(port, ca));
            m_connections.back()->Send(head);
        }
        m_thread = std::thread([this, rest] {
            for (size_t at = 0; !m_stop.load() && at < rest.size(); ++at) {
                for (auto& connection : m_connections) connection->Send(rest.substr(at, 1));
                std::this_thread::sleep_for(milliseconds(100));
            }
        });
    }
    ~Tricklers() {
        m_stop = true;
        m_thread.join();
    }
    int Open() const {
        int open = 0;
        for (const auto& connection : m_connections) open += connection->Ok() ? 1 : 0;
        return open;
    }

  private:
    std::vector<std::unique_ptr<RawConnection>> m_connections;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// What the collector's resident memory may grow by and keep. A sanitizer
// holds freed memory back on purpose, so under one the figures are only
// printed.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int64_t kMemoryBound = std::numeric_limits<int64_t>::max();
#else
constexpr int64_t kMemoryBound = 16 << 20;
#endif

// A head that never ends, and a body that never does either.
const std::string kTrickledHead = "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\n";
const std::string kTrickledBodyHead =
    "POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
    "Content-Length: 100000\r\n\r\n{";

// What a hostile client can make the public port hold: a 64 MiB header line
// is cut off after the head limit, thousands of idle connections and a
// hundred trickling ones do not delay an upload, a body sent too slowly is
// answered 408, and the memory they took is given back.
TEST(Collector, AnswersAnUploadInTimeWhileHostileClientsHoldOnlyTheirBound) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &files);
    ASSERT_GE(files.rlim_cur, 4500u) << "raise the open-files limit";
    Collector collector({"--rate-limit", "0", "--body-timeout-ms", "3000"});
    const int port = collector.HttpsPort();
    const std::string ca = collector.Trust().caFile;
    ASSERT_EQ(collector.Upload(Body("b-warm", 1)).status, 200);
    const int pid = CollectorPid(collector.State());
    ASSERT_GT(pid, 0);
    const int64_t idle = ResidentBytes(pid);

    {
        RawConnection flood(port, ca);
        ASSERT_TRUE(flood.Ok());
        flood.Send("POST /v1/batches HTTP/1.1\r\nHost: localhost\r\nX-Flood: ");
        const std::string chunk(64 * 1024, 'a');
        size_t sent = 0;
        std::string reply;
        while (sent < (64u << 20)) {
            const size_t n = flood.Send(chunk);
            sent += n;
            pollfd readable{flood.Fd(), POLLIN, 0};
            if (n < chunk.size() || poll(&readable, 1, 0) > 0) break;
        }
        const auto by = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < by && flood.Receive(&reply, by)) {
        }
        EXPECT_EQ(reply.rfind("HTTP/1.1 431 ", 0), 0u) << reply.substr(0, 200);
        // The server read the head limit and a little more; the rest is what
        // the kernels' socket buffers took.
        EXPECT_LT(sent, 16u << 20);
        std::printf("header flood: cut off after %zu bytes sent\n", sent);
    }
    const int64_t afterFlood = ResidentBytes(pid);
    EXPECT_LT(afterFlood - idle, kMemoryBound) << idle << " -> " << afterFlood;

    {
        std::vector<int> idleConnections;
        for (int i = 0; i < 2000; ++i) {
            const int fd = ConnectLoopback(port);
            ASSERT_GE(fd, 0) << i;
            idleConnections.push_back(fd);
        }
        Tricklers heads(port, ca, 50, kTrickledHead, std::string(1000, 'x'));
        Tricklers bodies(port, ca, 50, kTrickledBodyHead, std::string(1000, ' '));
        EXPECT_EQ(heads.Open() + bodies.Open(), 100);
        const auto started = Clock::now();
        const HttpResult upload = collector.Upload(Body("b-storm", 2));
        const auto took = Clock::now() - started;
        EXPECT_EQ(upload.status, 200) << upload.body;
        EXPECT_LT(took, milliseconds(1000));
        std::printf("upload beside 2000 idle and 100 trickling connections: %lld ms\n",
                    static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
        for (const int fd : idleConnections) close(fd);
    }

    // A body that does not arrive in time is answered 408, and the connection closed.
    RawConnection slow(port, ca);
    slow.Send(kTrickledBodyHead);
    std::string reply;
    const auto by = Clock::now() + std::chrono::seconds(6);
    while (Clock::now() < by && slow.Receive(&reply, by)) {
    }
    EXPECT_EQ(reply.rfind("HTTP/1.1 408 ", 0), 0u) << reply;
    EXPECT_NE(reply.find("{\"error\":\"body not received in time\"}"), std::string::npos);

    // The collector gives memory back within a second or two of a storm.
    std::this_thread::sleep_for(milliseconds(2500));
    const int64_t afterStorm = ResidentBytes(pid);
    EXPECT_LT(afterStorm - idle, kMemoryBound) << idle << " -> " << afterStorm;
    std::printf(
        "resident memory: idle %lld KiB, after the flood %lld KiB, after the storm %lld KiB\n",
        static_cast<long long>(idle / 1024), static_cast<long long>(afterFlood / 1024),
        static_cast<long long>(afterStorm / 1024));
    EXPECT_EQ(collector.Rows("events"), 3);
}

// Each address gets its burst and then its rate (429 with Retry-After), and
// a SIGTERM ends the collector within 5 s though clients keep trickling.
TEST(Collector, RateLimitsEachAddressAndStopsInTimeWhileClientsTrickle) {
    Collector collector({"--rate-limit", "1", "--rate-burst", "3"});
    const std::string ca = collector.Trust().caFile;
    const std::string request = "GET /nowhere HTTP/1.1\r\nHost: localhost\r\n\r\n";
    std::vector<int> statuses;
    RawReply limited;
    for (int i = 0; i < 5; ++i) {
        limited = RawExchange(collector.HttpsPort(), ca, request, 100);
        statuses.push_back(limited.status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{404, 404, 404, 429, 429}));
    EXPECT_NE(limited.head.find("\r\nRetry-After: 1"), std::string::npos) << limited.head;
    EXPECT_EQ(limited.body.find("{\"error\":\""), 0u) << limited.body;
    std::this_thread::sleep_for(milliseconds(1100));
    EXPECT_EQ(RawExchange(collector.HttpsPort(), ca, request, 100).status, 404);

    const int pid = CollectorPid(collector.State());
    ASSERT_GT(pid, 0);
    // The bucket refills, so the trickled bodies are read (under way at the
    // stop) rather than refused.
    std::this_thread::sleep_for(milliseconds(3000));
    Tricklers heads(collector.HttpsPort(), ca, 20, kTrickledHead, std::string(1000, 'x'));
    Tricklers bodies(collector.HttpsPort(), ca, 2, kTrickledBodyHead, std::string(1000, ' '));
    const auto stopped = Clock::now();
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    while (fs::exists("/proc/" + std::to_string(pid) + "/status") &&
           Clock::now() - stopped < std::chrono::seconds(10)) {
        if (ReadFileBytes("/proc/" + std::to_string(pid) + "/status").find("State:\tZ") !=
            std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    const auto took = Clock::now() - stopped;
    EXPECT_LT(took, std::chrono::seconds(5));
    std::printf("stopped %lld ms after SIGTERM beside 22 trickling connections\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
}

// Failure modes are for tests only, and the keys it makes are its owner's alone.
TEST(Collector, FailureModesNeedTestModeAndPrivateKeysAreMadeOwnerOnly) {
    TempFolder folder;
    const fs::path state = folder.Path() / "state";
    const std::vector<std::vector<std::string>> modes = {
        {"--fail", "503"}, {"--drop", "1"}, {"--cert", "self-signed"}, {"--delay", "1"}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode[0]);
        const ProcessOutcome refused = RunProcess(
            TALLY_COLLECTOR, {"--state", state.string(), mode[0], mode[1]}, CurrentEnvironment(),
            folder.Path() / "refused.log", std::chrono::seconds(20));
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(ReadFileBytes(folder.Path() / "refused.log").find("needs --test-mode"),
                  std::string::npos);
    }
    // A key file is a new file, owner-only from its creation: a link planted
    // in its place (or a file an earlier run left readable) is replaced, not
    // written through.
    fs::create_directories(state);
    const fs::path planted = folder.Path() / "planted";
    ASSERT_TRUE(WriteFileBytes(planted, "old"));
    fs::permissions(planted, fs::perms::all);
    fs::create_symlink(planted, state / "server.key");
    const ProcessOutcome made =
        RunProcess(TALLY_COLLECTOR,
                   {"export-ca", "--state", state.string(), (folder.Path() / "ca.pem").string()},
                   CurrentEnvironment(), folder.Path() / "export.log", std::chrono::seconds(20));
    ASSERT_EQ(made.exitCode, 0) << ReadFileBytes(folder.Path() / "export.log");
    int keys = 0;
    for (const auto& entry : fs::directory_iterator(state)) {
        if (entry.path().extension() != ".key") continue;
        ++keys;
        EXPECT_EQ(entry.status().permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    }
    EXPECT_EQ(keys, 6);
    EXPECT_EQ(ReadFileBytes(planted), "old");
}
#endif

}  // namespace
}  // namespace testing
}  // namespace tally
