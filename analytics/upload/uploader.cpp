#include "upload/uploader.h"

#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "record_check.h"
#include "store_schema.h"

namespace tally {

namespace {

// Waits a round after the store could not be read or written.
constexpr int64_t kStoreRetryMs = 1000;
// Stored next-attempt times further ahead than this are from a clock that
// went back, and are ignored.
constexpr int64_t kMaxStoredWaitMs = 24 * 60 * 60 * 1000;

void AppendJsonString(const std::string& text, std::string* out) {
    static const char kHex[] = "0123456789abcdef";
    out->push_back('"');
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(ch);
        } else if (c < 0x20 || c == 0x7F) {
            out->append("\\u00");
            out->push_back(kHex[c >> 4]);
            out->push_back(kHex[c & 15]);
        } else {
            out->push_back(ch);
        }
    }
    out->push_back('"');
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

}  // namespace

std::string UploadUrl(const std::string& domain, bool allowPlainHttp, std::string* why) {
    std::string base = domain;
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::string host;
    if (base.rfind("https://", 0) == 0) {
        host = base.substr(8);
    } else if (allowPlainHttp && base.rfind("http://", 0) == 0) {
        host = base.substr(7);
    } else {
        *why = "domain \"" + Printable(domain, 80) + "\" is not an https:// address";
        return std::string();
    }
    if (host.empty()) {
        *why = "no server configured (empty domain)";
        return std::string();
    }
    for (char c : host) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '?' || c == '#') {
            *why = "domain \"" + Printable(domain, 80) + "\" is not a plain host name";
            return std::string();
        }
    }
    return base + kBatchesPath;
}

bool Gzip(const std::string& data, std::string* out) {
    z_stream stream{};
    // Window bits 15 + 16: a gzip wrapper rather than zlib's own.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return false;
    }
    out->resize(deflateBound(&stream, static_cast<uLong>(data.size())) + 32);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
    stream.avail_out = static_cast<uInt>(out->size());
    int rc = deflate(&stream, Z_FINISH);
    out->resize(stream.total_out);
    deflateEnd(&stream);
    return rc == Z_STREAM_END;
}

Uploader::Uploader(UploadSettings settings, UploadClocks clocks,
                   std::shared_ptr<UploadStoreAccess> access, LibraryLog* log)
    : m_settings(std::move(settings)),
      m_clocks(std::move(clocks)),
      m_access(std::move(access)),
      m_log(log),
      m_schedule(m_settings.tuning, m_clocks.random),
      m_deletionSchedule(m_settings.tuning, m_clocks.random) {
    const std::string batches = kBatchesPath;
    const std::string& url = m_settings.url;
    if (url.size() >= batches.size() &&
        url.compare(url.size() - batches.size(), batches.size(), batches) == 0) {
        m_deletionUrl = url.substr(0, url.size() - batches.size()) + kDeletionsPath;
    }
    m_client = m_settings.makeClient(m_settings.tls);
}

Uploader::~Uploader() {
    sqlite3_close_v2(m_readDb);
}

std::shared_ptr<HttpClient> Uploader::Client() {
    std::lock_guard<std::mutex> lock(m_clientMutex);
    return m_client;
}

void Uploader::Cancel() {
    std::shared_ptr<HttpClient> client = Client();
    if (client) client->Cancel();
}

bool Uploader::BuildBody(const PickedRequest& picked, std::string* json, int64_t* events,
                         std::string* error) {
    const std::string& requestId = picked.requestId;
    if (m_readDb == nullptr) {
        if (sqlite3_open_v2(m_settings.dbPath.c_str(), &m_readDb,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            *error = m_readDb != nullptr ? sqlite3_errmsg(m_readDb) : "cannot open";
            sqlite3_close_v2(m_readDb);
            m_readDb = nullptr;
            return false;
        }
        sqlite3_busy_timeout(m_readDb, 1000);
    }
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(
            m_readDb,
            "SELECT b.id, b.uuid, b.created_ms, e.seq, e.received_ms, e.name, "
            "e.payload FROM batches b LEFT JOIN events e ON " TALLY_EVENTS_OF_BATCH_SQL(
                "b") " "
                     "WHERE b.request_id = ?1 AND b.state = 'sending' ORDER BY b.id, e.seq",
            -1, &q, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(m_readDb);
        return false;
    }
    sqlite3_bind_text(q, 1, requestId.data(), static_cast<int>(requestId.size()), SQLITE_TRANSIENT);
    const Identity& id = m_settings.identity;
    std::string out = "{\"schema\":1,\"app\":{\"appid\":";
    AppendJsonString(id.appid, &out);
    out += ",\"appversion\":";
    AppendJsonString(id.appversion, &out);
    out += ",\"device_type\":";
    AppendJsonString(id.deviceType, &out);
    out += ",\"tag\":";
    AppendJsonString(id.tag, &out);
    if (!picked.installId.empty()) {
        out += ",\"install_id\":";
        AppendJsonString(picked.installId, &out);
    }
    out += "},\"batches\":[";
    int64_t batch = 0;
    bool firstEvent = true;
    *events = 0;
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
        int64_t thisBatch = sqlite3_column_int64(q, 0);
        if (thisBatch != batch) {
            if (batch != 0) out += "]},";
            batch = thisBatch;
            out += "{\"batch_id\":";
            AppendJsonString(ColumnText(q, 1), &out);
            out +=
                ",\"created_ms\":" + std::to_string(sqlite3_column_int64(q, 2)) + ",\"events\":[";
            firstEvent = true;
        }
        if (sqlite3_column_type(q, 3) == SQLITE_NULL) continue;
        if (!firstEvent) out += ",";
        firstEvent = false;
        out += "{\"seq\":" + std::to_string(sqlite3_column_int64(q, 3)) +
               ",\"received_ms\":" + std::to_string(sqlite3_column_int64(q, 4)) + ",\"name\":";
        AppendJsonString(ColumnText(q, 5), &out);
        // Stored payloads passed strict validation as JSON objects.
        out += ",\"payload\":" + ColumnText(q, 6) + "}";
        ++*events;
    }
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(m_readDb);
    sqlite3_finalize(q);
    if (rc != SQLITE_DONE) return false;
    if (batch != 0) out += "]}";
    out += "]}";
    *json = std::move(out);
    return true;
}

HttpRequest Uploader::MakeRequest(const std::string& url, const std::string& key, int64_t attempts,
                                  int64_t wallMs) const {
    HttpRequest request;
    request.url = url;
    request.timeoutMs = m_settings.tuning.timeoutMs;
    request.connectTimeoutMs = m_settings.tuning.connectTimeoutMs;
    const Identity& id = m_settings.identity;
    request.headers = {
        {"Content-Type", "application/json"},
        {"Content-Encoding", "gzip"},
        {"Accept", "application/json"},
        {"Idempotency-Key", key},
        {"User-Agent", std::string("Tally/") + kLibraryVersion + " (" + Printable(id.appid, 63) +
                           " " + Printable(id.appversion, 63) + ")"},
        {"X-Tally-Upload-Time", std::to_string(wallMs)},
        {"X-Tally-Attempt", std::to_string(attempts + 1)},
    };
    return request;
}

bool Uploader::Send(const HttpRequest& request, HttpResult* result) {
    std::shared_ptr<HttpClient> client = Client();
    *result = client->Post(request);
    if (result->kind != HttpResult::Kind::Cancelled) return true;
    std::lock_guard<std::mutex> lock(m_clientMutex);
    m_client = m_settings.makeClient(m_settings.tls);
    return false;
}

int64_t Uploader::Step() {
    if (m_blocked) return kIdle;
    int64_t now = m_clocks.steadyMs();
    int64_t deletionDue = kIdle;
    if (!SendDeletion(now, &deletionDue)) return deletionDue;
    if (m_blocked || !m_access->Consented()) return deletionDue;
    return std::min(deletionDue, SendBatches(now));
}

bool Uploader::SendDeletion(int64_t now, int64_t* next) {
    *next = kIdle;
    PendingDeletion deletion;
    bool found = false;
    std::string error;
    if (m_access->PickDeletion(&deletion, &found, &error) != WriteStatus::Ok) {
        m_log->Write(LogLevel::Warning, "deletion: cannot read the waiting requests: " + error);
        *next = now + kStoreRetryMs;
        return true;
    }
    if (!found) return true;
    if (m_deletionUrl.empty()) return true;
    if (!m_deletionResumed) {
        m_deletionResumed = true;
        m_deletionSchedule.Resume(deletion.attempts);
    }
    int64_t wall = m_clocks.wallMs();
    if (deletion.nextAttemptMs > wall && deletion.nextAttemptMs - wall <= kMaxStoredWaitMs) {
        m_deletionSchedule.Postpone(now + (deletion.nextAttemptMs - wall));
    }
    if (now < m_deletionSchedule.NextStart()) {
        *next = m_deletionSchedule.NextStart();
        return true;
    }
    std::string json = "{\"schema\":1,\"install_id\":";
    AppendJsonString(deletion.installId, &json);
    json += ",\"requested_ms\":" + std::to_string(deletion.requestedMs) + "}";
    HttpRequest request = MakeRequest(m_deletionUrl, deletion.requestId, deletion.attempts, wall);
    if (!Gzip(json, &request.body)) {
        m_log->Write(LogLevel::Error, "deletion: compression failed");
        *next = now + kStoreRetryMs;
        return false;
    }
    m_deletionSchedule.Started(now);
    HttpResult result;
    const std::string what = "deletion: request " + deletion.requestId + " for installation " +
                             deletion.installId + " -> ";
    if (!Send(request, &result)) {
        m_log->Write(LogLevel::Info, what + "cancelled; resent later under the same key");
        *next = m_deletionSchedule.NextStart();
        return false;
    }
    int64_t end = m_clocks.steadyMs();
    // One item, so a malformed answer drops it and a 5xx is never a split.
    Verdict verdict = Classify(result, 1, deletion.attempts, m_settings.tuning);
    std::string outcome =
        result.kind == HttpResult::Kind::Ok
            ? std::to_string(result.status)
            : Printable(result.errorText, 160) + " (" + std::to_string(result.errorCode) + ")";
    if (verdict == Verdict::TlsConfig) {
        m_blocked = true;
        m_log->Write(LogLevel::Error,
                     what + outcome +
                         "; the trust settings cannot be used, nothing is sent until the next "
                         "initialisation");
        return false;
    }
    std::string note;
    int64_t wait = m_deletionSchedule.Ended(verdict, result, end, &note);
    DeletionEnd deletionEnd;
    deletionEnd.status = result.kind == HttpResult::Kind::Ok ? result.status : 0;
    deletionEnd.nowMs = m_clocks.wallMs();
    deletionEnd.nextAttemptMs = deletionEnd.nowMs + wait;
    deletionEnd.error = result.kind == HttpResult::Kind::Ok
                            ? Printable(result.body.substr(0, 200), 200)
                            : Printable(result.errorText, 200);
    deletionEnd.action = verdict == Verdict::Accepted   ? DeletionEnd::Action::Done
                         : verdict == Verdict::Rejected ? DeletionEnd::Action::Dropped
                                                        : DeletionEnd::Action::Keep;
    if (m_access->FinishDeletion(deletion.id, deletionEnd, &error) != WriteStatus::Ok) {
        m_log->Write(LogLevel::Warning, "deletion: cannot record the answer to request " +
                                            deletion.requestId + ": " + error +
                                            "; it will be sent again under the same key");
    }
    std::string line = what + outcome + " in " + std::to_string(end - now) + " ms";
    if (verdict == Verdict::Accepted) {
        m_lastLoggedDeletionStatus = -1;
        m_log->Write(LogLevel::Info, line + ": " + deletionEnd.error);
    } else if (verdict == Verdict::Rejected) {
        m_log->Write(LogLevel::Warning,
                     line + "; refused as malformed, dropped: " + deletionEnd.error);
    } else if (verdict == Verdict::Retry) {
        m_log->Write(LogLevel::Info, line + ", next try in " + std::to_string(wait / 1000) + " s" +
                                         (note.empty() ? "" : " (" + note + ")"));
    } else {
        // A server without the endpoint, or not trusted: logged once per change.
        int key = verdict == Verdict::TlsFailed ? 1000 + static_cast<int>(result.errorCode)
                                                : result.status;
        if (key != m_lastLoggedDeletionStatus) {
            m_log->Write(LogLevel::Warning,
                         line + "; kept, next try in " + std::to_string(wait / 1000) + " s");
        }
        m_lastLoggedDeletionStatus = key;
    }
    // Come back at once for the batches; their own schedule decides.
    *next = std::min(m_deletionSchedule.NextStart(), m_schedule.NextStart());
    return false;
}

int64_t Uploader::SendBatches(int64_t now) {
    if (now < m_schedule.NextStart()) return m_schedule.NextStart();

    PickedRequest picked;
    bool found = false;
    std::string error;
    WriteStatus status = m_access->Pick(m_settings.tuning, &picked, &found, &error);
    if (status != WriteStatus::Ok) {
        m_log->Write(LogLevel::Warning, "upload: cannot pick a request: " + error);
        return now + kStoreRetryMs;
    }
    if (!found) return kIdle;
    if (!m_resumed) {
        // A server that was failing before a restart is not hit at once again.
        m_resumed = true;
        m_schedule.Resume(picked.attempts);
    }
    int64_t wall = m_clocks.wallMs();
    if (picked.nextAttemptMs > wall && picked.nextAttemptMs - wall <= kMaxStoredWaitMs) {
        // A backoff from an earlier session still runs.
        m_schedule.Postpone(now + (picked.nextAttemptMs - wall));
        return m_schedule.NextStart();
    }
    std::string json;
    int64_t events = 0;
    if (!BuildBody(picked, &json, &events, &error)) {
        m_log->Write(LogLevel::Warning,
                     "upload: cannot read request " + picked.requestId + ": " + error);
        return now + kStoreRetryMs;
    }
    if (json.find("\"batch_id\"") == std::string::npos) {
        // Its batches went meanwhile (consent withdrawn, or evicted).
        return m_schedule.NextStart();
    }
    std::string body;
    if (!Gzip(json, &body)) {
        m_log->Write(LogLevel::Error, "upload: compression failed");
        return now + kStoreRetryMs;
    }
    HttpRequest request = MakeRequest(m_settings.url, picked.requestId, picked.attempts, wall);
    request.body = std::move(body);
    size_t gzBytes = request.body.size();

    m_schedule.Started(now);
    HttpResult result;
    bool answered = Send(request, &result);
    int64_t end = m_clocks.steadyMs();
    Verdict verdict = Classify(result, picked.batchIds.size(), picked.attempts, m_settings.tuning);
    std::string what = "upload: request " + picked.requestId + " (" +
                       std::to_string(picked.batchIds.size()) + " batches, " +
                       std::to_string(events) + " events, " + std::to_string(gzBytes) +
                       " bytes gzip) -> ";
    std::string outcome =
        result.kind == HttpResult::Kind::Ok
            ? std::to_string(result.status)
            : Printable(result.errorText, 160) + " (" + std::to_string(result.errorCode) + ")";
    if (!answered) {
        // Stopped or opted out: the batches stay "sending" under this key.
        m_log->Write(LogLevel::Info, what + "cancelled; resent later under the same key");
        return m_schedule.NextStart();
    }
    if (verdict == Verdict::TlsConfig) {
        m_blocked = true;
        m_log->Write(LogLevel::Error,
                     "upload: the trust settings cannot be used (" + outcome +
                         "); nothing is sent until the next initialisation, events are kept");
        return kIdle;
    }
    std::string note;
    int64_t wait = m_schedule.Ended(verdict, result, end, &note);
    RequestEnd requestEnd;
    requestEnd.status = result.kind == HttpResult::Kind::Ok ? result.status : 0;
    requestEnd.nowMs = m_clocks.wallMs();
    requestEnd.nextAttemptMs = requestEnd.nowMs + wait;
    requestEnd.tlsFailure = verdict == Verdict::TlsFailed;
    switch (verdict) {
        case Verdict::Accepted:
            requestEnd.action = RequestEnd::Action::Sent;
            break;
        case Verdict::Rejected:
            requestEnd.action = RequestEnd::Action::Rejected;
            requestEnd.error = Printable(result.body.substr(0, 200), 200);
            break;
        case Verdict::Split:
            requestEnd.action = RequestEnd::Action::Dissolve;
            break;
        default:
            requestEnd.action = RequestEnd::Action::Keep;
            requestEnd.error = result.kind == HttpResult::Kind::Ok
                                   ? Printable(result.body.substr(0, 200), 200)
                                   : Printable(result.errorText, 200);
            break;
    }
    RequestEndOutcome done;
    status = m_access->Finish(picked.requestId, requestEnd, &done, &error);
    if (status != WriteStatus::Ok) {
        m_log->Write(LogLevel::Warning, "upload: cannot record the answer to request " +
                                            picked.requestId + ": " + error +
                                            "; it will be sent again under the same key");
    }
    std::string line = what + outcome + " in " + std::to_string(end - now) + " ms";
    switch (verdict) {
        case Verdict::Accepted:
            m_lastLoggedStatus = -1;
            m_log->Write(LogLevel::Info, line);
            break;
        case Verdict::Split:
            m_log->Write(LogLevel::Warning, line + "; split into one request per batch");
            if (result.status == 413 &&
                static_cast<int64_t>(picked.batchIds.size()) > kOlderServerRequestBatches &&
                m_settings.tuning.requestBatches > kOlderServerRequestBatches) {
                // A collector with the first clients' cap: without this every
                // later request would be refused and split as well.
                m_settings.tuning.requestBatches = kOlderServerRequestBatches;
                m_log->Write(LogLevel::Warning, "upload: the server refuses requests of " +
                                                    std::to_string(picked.batchIds.size()) +
                                                    " batches; at most " +
                                                    std::to_string(kOlderServerRequestBatches) +
                                                    " a request for this session");
            }
            break;
        case Verdict::Rejected:
            m_log->Write(LogLevel::Warning, line + "; batch rejected, " +
                                                std::to_string(done.events) +
                                                " events dropped: " + requestEnd.error);
            break;
        case Verdict::TlsFailed:
        case Verdict::Misconfig: {
            int key = verdict == Verdict::TlsFailed ? 1000 + static_cast<int>(result.errorCode)
                                                    : result.status;
            // Logged once per change: it repeats every half hour otherwise.
            if (key != m_lastLoggedStatus) {
                m_log->Write(
                    LogLevel::Warning,
                    line +
                        (verdict == Verdict::TlsFailed ? "; server not trusted, events kept"
                                                       : "; events kept") +
                        ", next try in " + std::to_string(wait / 1000) + " s");
            }
            m_lastLoggedStatus = key;
            break;
        }
        default:
            m_log->Write(LogLevel::Info, line + ", next try in " + std::to_string(wait / 1000) +
                                             " s" + (note.empty() ? "" : " (" + note + ")"));
            break;
    }
    return m_schedule.NextStart();
}

UploadThread::UploadThread(std::unique_ptr<Uploader> uploader)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->uploader = std::move(uploader);
    m_thread = std::thread(&UploadThread::Main, m_shared);
}

UploadThread::~UploadThread() {
    Stop(-1);
}

void UploadThread::Main(std::shared_ptr<Shared> shared) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            if (shared->stop) break;
            shared->woken = false;
        }
        int64_t next = shared->uploader->Step();
        std::unique_lock<std::mutex> lock(shared->mutex);
        auto due = [&] { return shared->stop || shared->woken; };
        if (next == Uploader::kIdle) {
            shared->wake.wait(lock, due);
        } else {
            auto at = Clock::time_point(std::chrono::milliseconds(next));
            shared->wake.wait_until(lock, at, due);
        }
        if (shared->stop) break;
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->done = true;
    shared->wake.notify_all();
}

void UploadThread::Wake() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->woken = true;
    m_shared->wake.notify_all();
}

void UploadThread::Cancel() {
    m_shared->uploader->Cancel();
}

bool UploadThread::Stop(int64_t limitMs) {
    if (!m_thread.joinable()) return true;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->stop = true;
        m_shared->wake.notify_all();
    }
    m_shared->uploader->Cancel();
    bool ended = true;
    if (limitMs >= 0) {
        std::unique_lock<std::mutex> lock(m_shared->mutex);
        ended = m_shared->wake.wait_for(lock, std::chrono::milliseconds(limitMs),
                                        [&] { return m_shared->done; });
    }
    if (ended) {
        m_thread.join();
    } else {
        // The thread owns what it uses through `m_shared` and writes nothing
        // once stopped; the module stays mapped (it is pinned).
        m_thread.detach();
    }
    return ended;
}

}  // namespace tally
