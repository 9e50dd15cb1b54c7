// The upload policy and the uploader over a real store, with a fake clock and
// a fake HttpClient: no socket, no sleeping. Each round is driven by hand
// (UploadStep), the clock moved to the time the round asked for.
#include <gtest/gtest.h>
#include <zlib.h>

#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "analytics_library.h"
#include "analytics_test_util.h"
#include "upload/upload_policy.h"

namespace tally {
namespace testing {
namespace {

namespace fs = std::filesystem;
using Kind = HttpResult::Kind;

HttpResult Answer(Kind kind, int status = 0, const std::string& retryAfter = "") {
    return {kind, status, retryAfter, "", 0, ""};
}

std::string Gunzip(const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
    std::string out(4 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// What the fake server saw and will answer; shared by every client the
// uploader makes.
struct Server {
    struct Seen {
        std::string url;
        std::string key;
        std::string attempt;
        std::string json;
        size_t batches = 0;
    };
    std::deque<HttpResult> answers;  // then 200
    size_t maxBatches = 0;           // > 0: 413 for more, as an older collector
    std::vector<Seen> seen;
    int cancels = 0;
};

class FakeClient : public HttpClient {
  public:
    explicit FakeClient(std::shared_ptr<Server> server) : m_server(std::move(server)) {}
    HttpResult Post(const HttpRequest& request) override {
        Server::Seen seen;
        seen.url = request.url;
        for (const auto& header : request.headers) {
            if (header.first == "Idempotency-Key") seen.key = header.second;
            if (header.first == "X-Tally-Attempt") seen.attempt = header.second;
        }
        seen.json = Gunzip(request.body);
        seen.batches = Count(seen.json, "\"batch_id\"");
        m_server->seen.push_back(seen);
        if (m_server->maxBatches > 0 && seen.batches > m_server->maxBatches) {
            return Answer(Kind::Ok, 413);
        }
        if (m_server->answers.empty()) return Answer(Kind::Ok, 200);
        HttpResult result = m_server->answers.front();
        m_server->answers.pop_front();
        return result;
    }
    void Cancel() override { ++m_server->cancels; }

  private:
    std::shared_ptr<Server> m_server;
};

class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* knob : {kEnvUpload, kEnvUploadBackoffMs, kEnvUploadTimeoutMs,
                                 kEnvUploadPaceMs, kEnvUploadAllowHttp}) {
            SetEnvironment(knob, "");
        }
        m_config = MakeConfig(m_folder.Path());
        PutField(m_config.domain, sizeof(m_config.domain), "https://collector.test/");
        Start();
    }
    void Start() {
        UploadEnvironment env;
        env.manual = true;
        env.steadyMs = [this] { return m_steady; };
        env.random = [this] { return m_random; };
        std::shared_ptr<Server> server = m_server;
        env.makeClient = [server](const TlsSettings&) {
            return std::unique_ptr<HttpClient>(new FakeClient(server));
        };
        m_library = std::make_unique<AnalyticsLibrary>([this] { return m_wall; }, env);
        ASSERT_EQ(m_library->Init(&m_config), 1);
    }
    void Events(int count, int submitEvery = 0) {
        for (int i = 1; i <= count; ++i) {
            ReportData record = EventRecord("e", "{\"i\":" + std::to_string(i) + "}");
            ASSERT_EQ(m_library->OnEvent(&record), 1);
            if (submitEvery > 0 && i % submitEvery == 0) m_library->OnSubmit();
        }
    }
    void Advance(int64_t ms) {
        m_steady += ms;
        m_wall += ms;
    }
    // Rounds until the uploader is idle or `requests` more were made; the
    // clock jumps to each round's due time.
    void Run(size_t requests = 1000) {
        size_t until = m_server->seen.size() + requests;
        for (int round = 0; round < 10000 && m_server->seen.size() < until; ++round) {
            int64_t next = m_library->UploadStep();
            if (next == Uploader::kIdle || m_server->seen.size() >= until) return;
            if (next > m_steady) Advance(next - m_steady);
        }
    }
    int64_t Db(const std::string& sql) { return TestDb(DatabasePath(m_folder.Path())).Int(sql); }
    std::vector<std::vector<std::string>> Rows(const std::string& sql) {
        return TestDb(DatabasePath(m_folder.Path())).Rows(sql);
    }
    std::string InstallId() {
        auto rows = Rows("SELECT value FROM meta WHERE key = 'install_id'");
        return rows.empty() ? std::string() : rows[0][0];
    }

    TempFolder m_folder;
    ReportConfig m_config;
    int64_t m_steady = 1000000;
    int64_t m_wall = 1764990000000;
    uint64_t m_random = 0;
    std::shared_ptr<Server> m_server = std::make_shared<Server>();
    std::unique_ptr<AnalyticsLibrary> m_library;
};

TEST(UploadPolicy, ClassifiesBacksOffParsesRetryAfterAndPaces) {
    UploadTuning tuning;
    // Answers: status, batches in the request, 5xx answers before, verdict.
    const std::tuple<int, size_t, int64_t, Verdict> answers[] = {
        {200, 3, 0, Verdict::Accepted},  {204, 1, 0, Verdict::Accepted},
        {400, 3, 0, Verdict::Split},     {413, 2, 0, Verdict::Split},
        {422, 1, 0, Verdict::Rejected},  {400, 1, 0, Verdict::Rejected},
        {408, 3, 0, Verdict::Retry},     {429, 3, 20, Verdict::Retry},
        {503, 3, 0, Verdict::Retry},     {500, 3, 9, Verdict::Split},  // the tenth 5xx: poison
        {500, 1, 9, Verdict::Retry},     {401, 3, 0, Verdict::Misconfig},
        {403, 3, 0, Verdict::Misconfig}, {404, 3, 0, Verdict::Misconfig},
        {301, 3, 0, Verdict::Misconfig}};
    for (const auto& [status, batches, attemptsBefore, verdict] : answers) {
        EXPECT_EQ(Classify(Answer(Kind::Ok, status), batches, attemptsBefore, tuning), verdict)
            << status << " for " << batches << " batches";
    }
    const std::pair<HttpResult, Verdict> failures[] = {
        {Answer(Kind::Network), Verdict::Retry},
        {{Kind::Timeout, 0, "", "", 10060, ""}, Verdict::Retry},  // WinHTTP under Wine
        {{Kind::Tls, 0, "", "", 12157, ""}, Verdict::TlsFailed},  // Wine's for Windows' 12175
        {Answer(Kind::TlsConfig), Verdict::TlsConfig},
        {Answer(Kind::Cancelled), Verdict::Cancelled}};
    for (const auto& [result, verdict] : failures) {
        EXPECT_EQ(Classify(result, 3, 0, tuning), verdict) << static_cast<int>(result.kind);
    }

    const std::pair<const char*, int64_t> retryAfter[] = {
        {"7", 7},   {" 7 ", 7}, {"0", 1},    {"99999999999", 86400},
        {"+7", -1}, {"-1", -1}, {"1e3", -1}, {"Wed, 21 Oct 2015 07:28:00 GMT", -1},
        {"", -1},   {"7s", -1},
    };
    for (const auto& [text, expected] : retryAfter) {
        int64_t seconds = -1;
        EXPECT_EQ(ParseRetryAfter(text, &seconds) ? seconds : -1, expected) << text;
    }

    // Equal jitter over ten failures: [d/2, d] with d doubling to the cap.
    const int64_t upper[] = {30, 60, 120, 240, 480, 960, 1800, 1800, 1800, 1800};
    for (int n = 1; n <= 10; ++n) {
        EXPECT_EQ(BackoffMs(n, tuning, 0), upper[n - 1] * 1000 / 2) << n;
        EXPECT_EQ(BackoffMs(n, tuning, upper[n - 1] * 500), upper[n - 1] * 1000) << n;
    }
    // A success resets the count; 429 without Retry-After waits >= 60 s.
    UploadSchedule schedule(tuning, [] { return uint64_t{0}; });
    std::string note;
    for (int n = 0; n < 5; ++n) schedule.Ended(Verdict::Retry, Answer(Kind::Network), 0, &note);
    EXPECT_EQ(schedule.Failures(), 5);
    schedule.Ended(Verdict::Accepted, Answer(Kind::Ok, 200), 0, &note);
    EXPECT_EQ(schedule.Failures(), 0);
    EXPECT_EQ(schedule.Ended(Verdict::Retry, Answer(Kind::Ok, 429), 0, &note), 60000);
    EXPECT_EQ(schedule.Ended(Verdict::Retry, Answer(Kind::Ok, 503, "2"), 0, &note), 2000);
    EXPECT_EQ(note, "Retry-After 2");

    // Pacing: >= 1 s apart and at most 15 in any minute.
    UploadSchedule paced(tuning, [] { return uint64_t{0}; });
    int64_t now = 0;
    std::vector<int64_t> starts;
    while (now < 120000) {
        now = std::max(now, paced.NextStart());
        paced.Started(now);
        starts.push_back(now);
        paced.Ended(Verdict::Accepted, Answer(Kind::Ok, 200), now, &note);
    }
    for (size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i] - starts[i - 1], 1000);
    for (size_t i = 15; i < starts.size(); ++i) EXPECT_GE(starts[i] - starts[i - 15], 60000);
}

TEST_F(UploadTest, DeliversKeepsRetriesWithTheSameKeyAndNeverSendsExtraDuringABackoff) {
    Events(30, 10);  // three batches of ten
    m_server->answers = {Answer(Kind::Ok, 503), Answer(Kind::Network)};
    Run(1);
    ASSERT_EQ(m_server->seen.size(), 1u);
    EXPECT_EQ(m_server->seen[0].batches, 3u);
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'sending' AND attempts = 1 AND "
                 "last_status = 503 AND next_attempt_ms > 0"),
              3);
    // A thousand submits during the backoff make no request.
    for (int i = 0; i < 1000; ++i) {
        Events(1);
        m_library->OnSubmit();
        EXPECT_NE(m_library->UploadStep(), Uploader::kIdle);
    }
    EXPECT_EQ(m_server->seen.size(), 1u);
    Run(2);  // the network failure, then 200
    ASSERT_EQ(m_server->seen.size(), 3u);
    EXPECT_EQ(m_server->seen[1].key, m_server->seen[0].key);
    EXPECT_EQ(m_server->seen[2].key, m_server->seen[0].key);
    EXPECT_EQ(m_server->seen[2].attempt, "3");
    EXPECT_EQ(Count(m_server->seen[2].json, "\"seq\""), 30u);
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'sent' AND sent_ms > 0"), 3);
    EXPECT_EQ(Db("SELECT count(*) FROM events WHERE seq <= 30"), 0);
    Run();  // the thousand one-event batches: 50 to a request
    EXPECT_EQ(m_server->seen.size(), 3u + 20u);
    EXPECT_EQ(Db("SELECT count(*) FROM events"), 0);
    TestDb db(DatabasePath(m_folder.Path()));
    EXPECT_EQ(db.Counter("upload.sent_events"), 1030);
    EXPECT_EQ(db.Counter("upload.failed_attempts"), 2);
    EXPECT_EQ(db.Counter("upload.requests"), 23);
}

TEST_F(UploadTest, MigratesAVersionOneStoreInPlaceAndSendsWhatItHeld) {
    m_library.reset();
    fs::remove_all(DatabasePath(m_folder.Path()).parent_path());
    fs::create_directories(DatabasePath(m_folder.Path()).parent_path());
    {
        TestDb v1(DatabasePath(m_folder.Path()), true);
        ASSERT_TRUE(v1.Exec(
            "PRAGMA application_id=1415670905; PRAGMA user_version=1;"
            "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
            "CREATE TABLE events(seq INTEGER PRIMARY KEY AUTOINCREMENT, received_ms INTEGER "
            "NOT NULL, name TEXT NOT NULL, payload TEXT NOT NULL, size INTEGER NOT NULL, batch "
            "INTEGER);"
            "CREATE TABLE batches(id INTEGER PRIMARY KEY AUTOINCREMENT, created_ms INTEGER NOT "
            "NULL, first_seq INTEGER NOT NULL, last_seq INTEGER NOT NULL, event_count INTEGER "
            "NOT NULL, state TEXT NOT NULL);"
            "CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;"
            "INSERT INTO events VALUES(1, 5, 'a', '{}', 3, 1), (2, 6, 'b', '{}', 3, 2);"
            "INSERT INTO batches VALUES(1, 7, 1, 1, 1, 'ready'), (2, 8, 2, 2, 1, 'ready');"));
    }
    Start();
    EXPECT_EQ(Db("PRAGMA user_version"), 3);
    EXPECT_EQ(Db("SELECT count(DISTINCT uuid) FROM batches WHERE length(uuid) = 36"), 2);
    EXPECT_EQ(Db("SELECT count(*) FROM deletions"), 0);
    const std::string installId = InstallId();
    EXPECT_TRUE(IsUuidV4(installId)) << installId;
    Run();
    ASSERT_EQ(m_server->seen.size(), 1u);
    EXPECT_EQ(m_server->seen[0].batches, 2u);
    EXPECT_NE(m_server->seen[0].json.find(",\"install_id\":\"" + installId + "\"},"),
              std::string::npos)
        << m_server->seen[0].json;
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'sent'"), 2);
}

TEST_F(UploadTest, SplitsRefusedRequestsRejectsOnlyTheBadBatchAndGetsPastAPoisonBatch) {
    Events(30, 10);
    // 413 for three batches: one request each; then the first alone is bad.
    m_server->answers = {Answer(Kind::Ok, 413), Answer(Kind::Ok, 400)};
    Run();
    ASSERT_EQ(m_server->seen.size(), 4u);
    EXPECT_EQ(m_server->seen[1].batches, 1u);
    EXPECT_NE(m_server->seen[1].key, m_server->seen[0].key);
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'rejected' AND last_status = 400"), 1);
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'sent'"), 2);
    EXPECT_EQ(TestDb(DatabasePath(m_folder.Path())).Counter("upload.rejected_events"), 10);
    EXPECT_EQ(Db("SELECT count(*) FROM events"), 0);

    // A batch the server answers 500 for every time: after ten refusals the
    // request is split, and the batches behind the bad one are delivered.
    Events(30, 10);
    m_server->seen.clear();
    for (int i = 0; i < 20; ++i) m_server->answers.push_back(Answer(Kind::Ok, 500));
    Run(22);
    EXPECT_EQ(m_server->seen[10].batches, 1u);
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'sent'"), 4);
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'sending' AND attempts = 10"), 1);
}

TEST_F(UploadTest, ACollectorWithTheOlderBatchCapGetsEveryBatchAndOnlyOneRefusal) {
    m_server->maxBatches = kOlderServerRequestBatches;
    Events(75, 1);  // 75 batches
    Run();
    // 50 refused and split, one request each; then the other 25 by 20.
    ASSERT_EQ(m_server->seen.size(), 1u + 50u + 2u);
    EXPECT_EQ(m_server->seen[0].batches, 50u);
    for (size_t i = 1; i <= 50; ++i) EXPECT_EQ(m_server->seen[i].batches, 1u) << i;
    EXPECT_EQ(m_server->seen[51].batches, 20u);
    EXPECT_EQ(Db("SELECT count(*) FROM batches WHERE state = 'sent'"), 75);
    EXPECT_EQ(Db("SELECT count(*) FROM events"), 0);
    EXPECT_EQ(TestDb(DatabasePath(m_folder.Path())).Counter("upload.sent_events"), 75);

    // A new session tries the larger cap again.
    m_library.reset();
    Start();
    m_server->seen.clear();
    m_server->maxBatches = 0;
    Events(60, 1);
    Run();
    ASSERT_EQ(m_server->seen.size(), 2u);
    EXPECT_EQ(m_server->seen[0].batches, 50u);
}

TEST_F(UploadTest, ResendsAfterARestartWithTheSameKeyAndConsentWithdrawalDeletesAndStops) {
    Events(5);
    m_library->OnSubmit();
    m_server->answers = {Answer(Kind::Timeout)};
    Run(1);
    std::string key = m_server->seen[0].key;
    // A new session during the backoff: not at once, but under the same key.
    m_library.reset();
    Start();
    m_server->answers = {Answer(Kind::Network)};
    int64_t due = m_library->UploadStep();
    EXPECT_EQ(m_server->seen.size(), 1u);
    EXPECT_GE(due - m_steady, 15000);
    Run(1);
    ASSERT_EQ(m_server->seen.size(), 2u);
    EXPECT_EQ(m_server->seen[1].key, key);
    EXPECT_EQ(m_server->seen[1].attempt, "2");
    // It failed again: the backoff goes on from the stored count, not from 0.
    EXPECT_EQ(m_library->UploadStep() - m_steady, 30000);

    // Opting out: every unaccepted event goes (batched, picked, waiting),
    // the client is cancelled, events that arrive meanwhile are dropped and
    // nothing is sent until consent returns.
    Events(5, 5);
    m_server->answers = {Answer(Kind::Network)};
    Run(1);
    Events(3, 3);
    Events(2);
    ASSERT_EQ(m_library->SetConsent(0), 1);
    EXPECT_GE(m_server->cancels, 1);
    EXPECT_TRUE(WaitUntil([&] {
        return Db("SELECT count(*) FROM events") == 0 &&
               Db("SELECT count(*) FROM batches WHERE state IN ('ready', 'sending')") == 0;
    }));
    ReportData late = EventRecord("e", "{\"late\":1}");
    EXPECT_EQ(m_library->OnEvent(&late), 0);
    EXPECT_EQ(m_library->OnSubmit(), 1);
    Advance(3600 * 1000);
    // The one thing sent while opted out: the request to delete what the
    // server holds of the id the uploads carried, which is retired.
    const std::string retired = Rows("SELECT install_id FROM deletions")[0][0];
    EXPECT_NE(m_server->seen[2].json.find("\"install_id\":\"" + retired + "\""), std::string::npos);
    EXPECT_EQ(InstallId(), "");
    Run();
    ASSERT_EQ(m_server->seen.size(), 4u);
    EXPECT_EQ(m_server->seen[3].url, "https://collector.test/v1/deletions");
    EXPECT_EQ(m_server->seen[3].json,
              "{\"schema\":1,\"install_id\":\"" + retired +
                  "\",\"requested_ms\":" + std::to_string(m_wall - 3600000) + "}");
    EXPECT_EQ(m_library->UploadStep(), Uploader::kIdle);
    EXPECT_EQ(m_server->seen.size(), 4u);
    // Opting in again: a new id, never the retired one.
    ASSERT_EQ(m_library->SetConsent(1), 1);
    Events(4, 4);
    Run();
    ASSERT_EQ(m_server->seen.size(), 5u);
    EXPECT_EQ(m_server->seen[4].url, "https://collector.test/v1/batches");
    const std::string next = InstallId();
    EXPECT_TRUE(IsUuidV4(next));
    EXPECT_NE(next, retired);
    EXPECT_NE(m_server->seen[4].json.find("\"install_id\":\"" + next + "\""), std::string::npos);
    EXPECT_EQ(Db("SELECT count(*) FROM events"), 0);

    // Before any initialisation there is nothing to change.
    AnalyticsLibrary fresh;
    EXPECT_EQ(fresh.SetConsent(0), 0);
}

TEST_F(UploadTest, DeletionRequestsOutliveAKillRetryOnTheirOwnScheduleAndEndAsAnswered) {
    Events(3, 3);
    Run();
    const std::string first = InstallId();
    // Killed right after an opt-out wrote its mark, before the library's
    // thread deleted: the next session deletes and asks for the deletion.
    Events(2, 2);
    m_library.reset();
    {
        std::ofstream mark(DatabasePath(m_folder.Path()).u8string() + "-optout",
                           std::ios::binary | std::ios::trunc);
        mark << '1';
    }
    Start();
    const std::string second = InstallId();
    EXPECT_TRUE(IsUuidV4(second));
    EXPECT_NE(second, first);
    EXPECT_EQ(Db("SELECT count(*) FROM events"), 0);
    EXPECT_EQ(Rows("SELECT install_id, state FROM deletions"),
              (std::vector<std::vector<std::string>>{{first, "pending"}}));

    // Each answer in turn to the same request. Its waits are its own: the
    // uploads of the new id go meanwhile.
    struct Case {
        HttpResult answer;
        const char* state;
        int64_t waitMs;  // until the next attempt
    };
    const Case cases[] = {
        {Answer(Kind::Network), "pending", 15000},  // backoff, the jitter drawn as 0
        {Answer(Kind::Ok, 503, "7"), "pending", 7000},
        {Answer(Kind::Ok, 404), "pending", 30 * 60 * 1000},  // no such endpoint: the longest
        {Answer(Kind::Ok, 200), "done", -1},
    };
    const size_t before = m_server->seen.size();
    int64_t previous = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        m_server->answers = {cases[i].answer};
        Run(1);
        const int64_t sentAt = m_steady;
        ASSERT_EQ(m_server->seen.size(), before + i * 2 + 1);
        const Server::Seen& seen = m_server->seen.back();
        EXPECT_EQ(seen.url, "https://collector.test/v1/deletions");
        EXPECT_EQ(seen.key, m_server->seen[before].key);
        EXPECT_EQ(seen.attempt, std::to_string(i + 1));
        EXPECT_NE(seen.json.find(first), std::string::npos);
        EXPECT_EQ(Rows("SELECT state FROM deletions")[0][0], cases[i].state);
        Events(1, 1);
        Run(1);
        EXPECT_EQ(m_server->seen.back().url, "https://collector.test/v1/batches");
        EXPECT_NE(m_server->seen.back().json.find(second), std::string::npos);
        if (i > 0) {
            EXPECT_EQ(sentAt - previous, cases[i - 1].waitMs);
        }
        if (cases[i].waitMs >= 0) {
            EXPECT_EQ(Db("SELECT next_attempt_ms FROM deletions") - m_wall, cases[i].waitMs);
        }
        previous = sentAt;
    }

    // Out, in, out again: both retired ids are asked for, in order, the one
    // refused as malformed dropped, and nothing else goes while opted out.
    ASSERT_EQ(m_library->SetConsent(0), 1);
    ASSERT_EQ(m_library->SetConsent(1), 1);
    Events(1);
    const std::string third = InstallId();
    ASSERT_EQ(m_library->SetConsent(0), 1);
    ASSERT_TRUE(WaitUntil([&] { return Db("SELECT count(*) FROM deletions") == 3; }));
    m_server->answers = {Answer(Kind::Ok, 422)};
    Run();
    EXPECT_EQ(Rows("SELECT install_id, state, last_status FROM deletions ORDER BY id"),
              (std::vector<std::vector<std::string>>{
                  {first, "done", "200"}, {second, "dropped", "422"}, {third, "done", "200"}}));
    EXPECT_EQ(m_server->seen.back().url, "https://collector.test/v1/deletions");
    TestDb db(DatabasePath(m_folder.Path()));
    EXPECT_EQ(db.Counter("deletion.requests_made"), 3);
    EXPECT_EQ(db.Counter("deletion.requests_sent"), 6);
    EXPECT_EQ(db.Counter("deletion.requests_done"), 2);
    EXPECT_EQ(db.Counter("deletion.requests_dropped"), 1);
    EXPECT_EQ(db.Counter("deletion.failed_attempts"), 3);
    // A new session in this process while opted out makes no id; consent does.
    ASSERT_EQ(m_library->Init(&m_config), 1);
    EXPECT_EQ(InstallId(), "");
    ASSERT_EQ(m_library->SetConsent(1), 1);
    ASSERT_TRUE(WaitUntil([&] { return IsUuidV4(InstallId()); }));
    EXPECT_EQ(db.Int("SELECT count(*) FROM deletions WHERE install_id = '" + InstallId() + "'"), 0);
}

}  // namespace
}  // namespace testing
}  // namespace tally
