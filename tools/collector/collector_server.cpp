#include "collector_server.h"

#include <httplib.h>
#include <json/json.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <numeric>
#include <thread>

#include "collector_request.h"
#include "deletion.h"
#include "given_certificate.h"
#include "operations.h"
#include "store.h"

namespace tally {
namespace collector {
namespace {

namespace fs = std::filesystem;
using server::RequestRecord;
using server::StoreOutcome;
using server::StoreStatus;

// Partitions for the coming days are made and expired ones dropped this
// often; hourly is far ahead of any day boundary.
constexpr std::chrono::minutes kMaintenanceInterval{60};
// A control request's body: a few keys of JSON.
constexpr size_t kMaxControlBytes = 64 * 1024;

// A stop (SIGTERM) must end well inside the 5 s a supervisor commonly
// waits before it kills. Requests under way get most of it; the store and
// the rest of the shutdown the remainder.
constexpr std::chrono::milliseconds kStopLimit{4000};
constexpr std::chrono::milliseconds kFrontGrace{3000};

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

OperationsOptions OperationsFor(const ServerOptions& options) {
    OperationsOptions operations;
    operations.port = options.adminPort;
    operations.listen = options.adminListen;
    operations.storeLocation =
        options.store.empty() ? DatabaseFile(options.stateFolder).string() : options.store;
    return operations;
}

std::string JsonText(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

Json::Value ModesJson(const FailureModes& modes) {
    Json::Value json;
    json["fail"] = modes.failStatus;
    json["count"] = modes.failCount;
    json["retry_after"] = modes.retryAfterS;
    json["delay_ms"] = static_cast<Json::Int64>(modes.delayMs);
    json["drop"] = modes.dropCount;
    json["cert"] = CertModeName(modes.cert);
    return json;
}

void SetError(httplib::Response& response, int status, const std::string& error) {
    response.status = status;
    Json::Value body;
    body["error"] = error;
    response.set_content(JsonText(body), "application/json");
}

// The header fields a client sent the control port: cpp-httplib adds the peer's and our
// address among them, once each, after the client's.
HeaderList ClientHeaders(const httplib::Request& request) {
    HeaderList headers;
    int added[4] = {0, 0, 0, 0};
    static const char* const kAdded[4] = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"};
    std::vector<const std::pair<const std::string, std::string>*> fields;
    for (const auto& header : request.headers) fields.push_back(&header);
    // The library's own come last within their name: drop from the back.
    for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
        bool library = false;
        for (int i = 0; i < 4 && request.remote_port >= 0; ++i) {
            if (added[i] == 0 && (*it)->first == kAdded[i]) {
                added[i] = 1;
                library = true;
            }
        }
        if (!library) headers.emplace_back((*it)->first, (*it)->second);
    }
    std::reverse(headers.begin(), headers.end());
    return headers;
}

// The request's header fields by lower-case name, as the request checks
// look them up; the first of a name counts.
HeaderMap HeadersByLowerName(const HeaderList& list) {
    HeaderMap headers;
    for (const auto& header : list) headers.emplace(Lower(header.first), header.second);
    return headers;
}

size_t RequestLineBytes(const httplib::Request& request) {
    return request.method.size() + request.target.size() + request.version.size() + 2;
}

bool Loopback(const std::string& address) {
    return address == "127.0.0.1" || address == "::1" || address == "::ffff:127.0.0.1";
}

class Collector {
  public:
    explicit Collector(const ServerOptions& options)
        : m_options(options), m_modes(options.modes), m_operations(OperationsFor(options)) {}

    int Run();

  private:
    // What one upload request is to get, decided under the mode lock.
    struct Injected {
        int status = 0;
        int retryAfterS = -1;
        bool drop = false;
        int64_t delayMs = 0;
    };

    httplib::Server::HandlerResponse ScreenControl(const httplib::Request& request,
                                                   httplib::Response& response);
    void AnswerControlRefusal(httplib::Response& response);
    RequestRecord Record(const HeaderMap& headers);
    void Log(const FrontRequest& request, RequestRecord& record);
    FrontAnswer Serve(const FrontRequest& request);
    FrontAnswer ServeUpload(const FrontRequest& request, const HeaderMap& headers,
                            RequestRecord& record);
    void HandleControl(const httplib::Request& request, httplib::Response& response);
    void HandleStats(httplib::Response& response);
    Injected TakeFailure();
    bool PickCertificate(SSL* ssl);
    void Answer(FrontAnswer* answer, int status, const std::string& error, RequestRecord* record);
    bool WritePorts(int httpsPort, int controlPort, std::string* error);
    void Stop();
    void MaintainUntilStopped();

    const ServerOptions m_options;
    std::unique_ptr<server::Store> m_store;
    std::array<Leaf, kCertModes> m_leaves;
    GivenCertificate m_given;

    std::mutex m_modeMutex;
    FailureModes m_modes;
    std::atomic<int> m_certMode{0};

    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;  // cuts delays short at shutdown
    bool m_stopping = false;

    std::atomic<int64_t> m_requests{0};
    std::atomic<int64_t> m_bodies{0};
    std::atomic<int64_t> m_batchesStored{0};
    std::atomic<int64_t> m_duplicates{0};
    std::atomic<int64_t> m_events{0};
    std::atomic<int64_t> m_refused{0};
    std::atomic<int64_t> m_injected{0};
    std::atomic<int64_t> m_dropped{0};
    std::atomic<int64_t> m_unavailable{0};
    std::atomic<int64_t> m_expiredBatches{0};

    Operations m_operations;
};

Collector::Injected Collector::TakeFailure() {
    Injected injected;
    std::lock_guard<std::mutex> lock(m_modeMutex);
    if (m_modes.failCount > 0) {
        --m_modes.failCount;
        injected.status = m_modes.failStatus;
        injected.retryAfterS = m_modes.retryAfterS;
        return injected;
    }
    if (m_modes.dropCount > 0) {
        --m_modes.dropCount;
        injected.drop = true;
    }
    injected.delayMs = m_modes.delayMs;
    return injected;
}

bool Collector::PickCertificate(SSL* ssl) {
    if (m_given.leaf) return UseGivenCertificate(ssl, m_given);
    const Leaf& leaf = m_leaves[m_certMode.load()];
    return SSL_use_certificate(ssl, leaf.cert.get()) == 1 &&
           SSL_use_PrivateKey(ssl, leaf.key.get()) == 1;
}

void Collector::Answer(FrontAnswer* answer, int status, const std::string& error,
                       RequestRecord* record) {
    answer->status = status;
    Json::Value body;
    if (error.empty()) {
        body["accepted"] = record->batchesNew;
        body["duplicates"] = record->batchesDuplicate;
        body["events"] = record->eventsNew;
        if (record->batchesExpired > 0) body["expired"] = record->batchesExpired;
    } else {
        body["error"] = error;
    }
    answer->body = JsonText(body);
    record->status = status;
    record->error = error;
}

RequestRecord Collector::Record(const HeaderMap& headers) {
    RequestRecord record;
    record.receiveMs = WallClockMs();
    auto header = [&headers](const char* name) {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    };
    // Whatever the client put in them, the log and `show` print one line.
    record.idempotencyKey = Printable(header("idempotency-key"), 128);
    record.attempt = HeaderInteger(headers, "x-tally-attempt");
    record.uploadTimeMs = HeaderInteger(headers, "x-tally-upload-time");
    record.userAgent = Printable(header("user-agent"), 256);
    record.wireBytes = HeaderInteger(headers, "content-length");
    return record;
}

// One row in the store's request log and one line on stdout per request.
void Collector::Log(const FrontRequest& request, RequestRecord& record) {
    const int64_t ms = SteadyMs() - request.startedMs;
    if (record.status >= 400 && record.status < 500) ++m_refused;
    m_store->LogRequest(record);
    std::printf(
        "%s %s key=%s attempt=%lld -> %d (%d new, %d duplicate, %d events, %lld bytes) "
        "%lld ms%s%s\n",
        Printable(request.method.substr(0, 16)).c_str(),
        Printable(request.path.substr(0, 128)).c_str(), record.idempotencyKey.c_str(),
        static_cast<long long>(record.attempt), record.status, record.batchesNew,
        record.batchesDuplicate, record.eventsNew, static_cast<long long>(record.bodyBytes),
        static_cast<long long>(ms), record.error.empty() ? "" : ": ",
        Printable(record.error).c_str());
    std::fflush(stdout);
}

// The control port takes only what a test sends it: from loopback, no
// browser (a page could post to it cross-origin, or reach it through DNS
// rebinding under another host name), JSON with a Content-Length bound.
httplib::Server::HandlerResponse Collector::ScreenControl(const httplib::Request& request,
                                                          httplib::Response& response) {
    auto refuse = [&](int status, const char* error) {
        SetError(response, status, error);
        std::printf("control %s %s -> %d: %s\n", Printable(request.method.substr(0, 16)).c_str(),
                    Printable(request.path.substr(0, 128)).c_str(), status, error);
        std::fflush(stdout);
        return httplib::Server::HandlerResponse::Handled;
    };
    const HeaderList headers = ClientHeaders(request);
    std::string host;
    int hosts = 0;
    for (const auto& header : headers) {
        const std::string name = Lower(header.first);
        if (name == "origin") return refuse(403, "no requests from a browser page");
        if (name == "transfer-encoding") return refuse(411, "Content-Length needed, not chunked");
        if (name == "host") {
            ++hosts;
            host = Lower(header.second);
        }
    }
    const std::string hostName =
        host.substr(0, host.rfind(':') == std::string::npos || host.rfind(']') != std::string::npos
                           ? host.size()
                           : host.rfind(':'));
    if (!Loopback(request.remote_addr) || hosts > 1 ||
        (hosts == 1 && hostName != "127.0.0.1" && hostName != "localhost")) {
        return refuse(403, "only from loopback, as 127.0.0.1 or localhost");
    }
    const size_t headBytes =
        RequestLineBytes(request) +
        std::accumulate(headers.begin(), headers.end(), size_t{0}, [](size_t sum, const auto& h) {
            return sum + h.first.size() + h.second.size() + 4;
        });
    if (headBytes > kMaxHeadBytes || headers.size() > kMaxHeaderFields) {
        return refuse(431, "request line and headers past 16 KiB or 100 fields");
    }
    const bool known =
        request.path == "/stats" || request.path == "/control" || request.path == "/shutdown";
    const bool post = request.path != "/stats";
    if (!known) return refuse(404, "no such endpoint");
    if (request.method != (post ? "POST" : "GET")) {
        response.set_header("Allow", post ? "POST" : "GET");
        return refuse(405, post ? "use POST" : "use GET");
    }
    if (!post) return httplib::Server::HandlerResponse::Unhandled;
    const std::string length = request.get_header_value("Content-Length");
    if (request.get_header_value_count("Content-Length") != 1 || length.empty() ||
        length.size() > 6 || length.find_first_not_of("0123456789") != std::string::npos) {
        return refuse(411, "one Content-Length needed");
    }
    if (std::stoul(length) > kMaxControlBytes) return refuse(413, "body larger than 64 KiB");
    if (!IsJsonType(Lower(request.get_header_value("Content-Type")))) {
        return refuse(415, "Content-Type must be application/json");
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

// cpp-httplib answers some control requests itself before our handlers
// see them (a request line it cannot parse, a line past its 8 KiB): each
// gets our error body and a log line. Our own refusals (with a body) only
// get the Connection: close they need.
void Collector::AnswerControlRefusal(httplib::Response& response) {
    if (!response.has_header("Connection")) response.set_header("Connection", "close");
    if (!response.body.empty()) return;
    const int status = response.status == 414 ? 431 : response.status;
    const std::string error =
        status == 431 ? "request line or a header line past 8 KiB" : "malformed request";
    SetError(response, status, error);
    std::printf("control -> %d: %s\n", status, error.c_str());
    std::fflush(stdout);
}

// Every request the public port read, or refused while reading it: one
// answer, one request-log row and one log line each.
FrontAnswer Collector::Serve(const FrontRequest& request) {
    ++m_requests;
    const HeaderMap headers = HeadersByLowerName(request.headers);
    RequestRecord record = Record(headers);
    if (request.status == 0) return ServeUpload(request, headers, record);
    FrontAnswer answer;
    if (request.status == 405) answer.headers.emplace_back("Allow", "POST");
    if (request.retryAfterS >= 0) {
        answer.headers.emplace_back("Retry-After", std::to_string(request.retryAfterS));
    }
    Answer(&answer, request.status, request.error, &record);
    Log(request, record);
    return answer;
}

// A request whose head passed the checks and whose body arrived whole:
// decoded, parsed, stored.
FrontAnswer Collector::ServeUpload(const FrontRequest& request, const HeaderMap& headers,
                                   RequestRecord& record) {
    FrontAnswer answer;
    auto finish = [&](int status, const std::string& error) {
        Answer(&answer, status, error, &record);
        Log(request, record);
        return answer;
    };
    // A body counts once a byte of it has arrived, not when a header
    // announces one: a client may send its headers and then withhold the
    // body from a server it does not trust.
    if (!request.body.empty()) ++m_bodies;
    record.bodyBytes = static_cast<int64_t>(request.body.size());
    std::string decoded;
    std::string_view body = request.body;
    const auto encoding = headers.find("content-encoding");
    // The head checks let only gzip and identity through, in any case.
    if (encoding != headers.end() && Lower(encoding->second) == "gzip") {
        bool inflatesTooFar = false;
        if (!Gunzip(body, kMaxDecodedBytes, &decoded, &inflatesTooFar)) {
            return finish(inflatesTooFar ? 413 : 400, inflatesTooFar
                                                          ? "body larger than 4 MiB after decoding"
                                                          : "truncated or undecodable body");
        }
        body = decoded;
        record.bodyBytes = static_cast<int64_t>(body.size());
    }

    const Injected injected = TakeFailure();
    if (injected.status != 0) {
        ++m_injected;
        if (injected.retryAfterS >= 0) {
            answer.headers.emplace_back("Retry-After", std::to_string(injected.retryAfterS));
        }
        return finish(injected.status, "failure injected by the test");
    }

    if (request.path == kDeletionPath) {
        const DeletionAnswer deletion = AnswerDeletion(*m_store, body, WallClockMs());
        if (deletion.retryLater) {
            ++m_unavailable;
            answer.headers.emplace_back("Retry-After",
                                        std::to_string(m_options.unavailableRetryAfterS));
        }
        answer.status = record.status = deletion.status;
        answer.body = deletion.body;
        record.error = deletion.error;
        Log(request, record);
        return answer;
    }
    const Verdict verdict = ParseUpload(body);
    if (verdict.status != 200) return finish(verdict.status, verdict.error);

    const StoreOutcome stored =
        m_store->StoreUpload(verdict.upload, record.idempotencyKey, WallClockMs());
    if (stored.status == StoreStatus::Unavailable) {
        // Nothing was committed, so the client must keep its batches and
        // come back later; every collector would tell it the same now.
        ++m_unavailable;
        answer.headers.emplace_back("Retry-After",
                                    std::to_string(m_options.unavailableRetryAfterS));
        return finish(503, "database unavailable: " + stored.error);
    }
    // Input that passed the checks above and still failed is the store's
    // fault, not the client's: 500, and the client keeps its batches.
    if (stored.status != StoreStatus::Stored) return finish(500, "storage failed: " + stored.error);
    record.batchesNew = stored.batchesNew;
    record.batchesDuplicate = stored.batchesDuplicate;
    record.eventsNew = stored.eventsNew;
    record.batchesExpired = stored.batchesExpired;
    m_expiredBatches += stored.batchesExpired;
    m_batchesStored += stored.batchesNew;
    m_duplicates += stored.batchesDuplicate;
    m_events += stored.eventsNew;

    if (injected.drop) {
        // Stored but never answered: the client cannot tell whether it
        // arrived and must resend, which the batch ids then deduplicate.
        ++m_dropped;
        answer.drop = true;
        record.status = 0;
        record.error = "connection dropped after storing";
        Log(request, record);
        return answer;
    }
    if (injected.delayMs > 0) {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        m_stopSignal.wait_for(lock, std::chrono::milliseconds(injected.delayMs),
                              [this] { return m_stopping; });
    }
    return finish(200, "");
}

void Collector::HandleControl(const httplib::Request& request, httplib::Response& response) {
    Json::CharReaderBuilder builder;
    builder.settings_["stackLimit"] = 20;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    const std::string& body = request.body;
    bool parsed = false;
    try {
        parsed = reader->parse(body.data(), body.data() + body.size(), &root, &errors);
    } catch (const std::exception&) {
        // Past the stack limit jsoncpp throws; a few flat keys are all we take.
    }
    if (!parsed || !root.isObject()) {
        response.status = 400;
        response.set_content(R"({"error":"body is not a JSON object"})", "application/json");
        return;
    }
    auto refuse = [&response](const char* error) {
        response.status = 400;
        Json::Value body;
        body["error"] = error;
        response.set_content(JsonText(body), "application/json");
    };
    // Typed reads: jsoncpp throws on a string read as a number.
    auto integer = [&root](const char* name, int64_t low, int64_t high, int64_t* out) {
        if (!root.isMember(name)) return true;
        const Json::Value& value = root[name];
        if (!value.isIntegral() || !value.isInt64() || value.asInt64() < low ||
            value.asInt64() > high) {
            return false;
        }
        *out = value.asInt64();
        return true;
    };
    int64_t fail = -1;
    int64_t count = 1;
    int64_t retryAfter = -1;
    int64_t delay = -1;
    int64_t drop = -1;
    if (!integer("fail", 400, 599, &fail) || !integer("count", 0, 1000000, &count) ||
        !integer("retry_after", -1, 864000, &retryAfter) ||
        !integer("delay_ms", 0, 3600000, &delay) || !integer("drop", 0, 1000000, &drop)) {
        return refuse(
            "fail: 400-599, count: 0-1000000, retry_after: -1-864000, "
            "delay_ms: 0-3600000, drop: 0-1000000");
    }
    const Json::Value& reset = root["reset"];
    const Json::Value& cert = root["cert"];
    if ((!reset.isNull() && !reset.isBool()) || (!cert.isNull() && !cert.isString())) {
        return refuse("reset is a boolean, cert a string");
    }
    std::lock_guard<std::mutex> lock(m_modeMutex);
    FailureModes modes = reset.asBool() ? FailureModes() : m_modes;
    if (fail >= 0) {
        modes.failStatus = static_cast<int>(fail);
        modes.failCount = static_cast<int>(count);
        modes.retryAfterS = static_cast<int>(retryAfter);
    }
    if (delay >= 0) modes.delayMs = delay;
    if (drop >= 0) modes.dropCount = static_cast<int>(drop);
    if (cert.isString() && !ParseCertMode(cert.asString(), &modes.cert)) {
        return refuse("cert must be good, other-ca, self-signed or wrong-name");
    }
    m_modes = modes;
    m_certMode = static_cast<int>(modes.cert);
    response.set_content(JsonText(ModesJson(modes)), "application/json");
}

void Collector::HandleStats(httplib::Response& response) {
    Json::Value stats;
    stats["requests"] = static_cast<Json::Int64>(m_requests.load());
    stats["bodies_received"] = static_cast<Json::Int64>(m_bodies.load());
    stats["batches_stored"] = static_cast<Json::Int64>(m_batchesStored.load());
    stats["duplicates"] = static_cast<Json::Int64>(m_duplicates.load());
    stats["events"] = static_cast<Json::Int64>(m_events.load());
    stats["refused"] = static_cast<Json::Int64>(m_refused.load());
    stats["injected_failures"] = static_cast<Json::Int64>(m_injected.load());
    stats["dropped"] = static_cast<Json::Int64>(m_dropped.load());
    stats["unavailable"] = static_cast<Json::Int64>(m_unavailable.load());
    stats["expired"] = static_cast<Json::Int64>(m_expiredBatches.load());
    {
        std::lock_guard<std::mutex> lock(m_modeMutex);
        stats["modes"] = ModesJson(m_modes);
    }
    response.set_content(JsonText(stats), "application/json");
}

bool Collector::WritePorts(int httpsPort, int controlPort, std::string* error) {
    Json::Value ports;
    ports["https"] = httpsPort;
    ports["control"] = controlPort;
    if (m_operations.Port() > 0) ports["admin"] = m_operations.Port();
    ports["listen"] = m_options.listen;
    const fs::path target = PortsFile(m_options.stateFolder);
    fs::path temporary = target;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << JsonText(ports) << "\n";
        if (!out) {
            *error = "cannot write " + temporary.string();
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (ec) *error = "cannot write " + target.string() + ": " + ec.message();
    return !ec;
}

void Collector::Stop() {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_stopping = true;
    m_stopSignal.notify_all();
}

void Collector::MaintainUntilStopped() {
    std::unique_lock<std::mutex> lock(m_stopMutex);
    while (!m_stopSignal.wait_for(lock, kMaintenanceInterval, [this] { return m_stopping; })) {
        lock.unlock();
        std::string error;
        if (!m_store->Maintain(WallClockMs(), &error)) {
            // The next round tries again; uploads do not depend on it.
            std::fprintf(stderr, "tally-collector: maintenance failed: %s\n", error.c_str());
        }
        lock.lock();
    }
}

// Every open connection is a descriptor: the soft limit (1024 in a shell)
// goes up to the hard one, and a cap the process cannot reach is reported.
void RaiseDescriptorLimit(int connections) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t wanted = static_cast<rlim_t>(connections) + 256;
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
        std::fprintf(stderr,
                     "tally-collector: open files limited to %llu: fewer than %d connections "
                     "will be served (raise LimitNOFILE or ulimit -n)\n",
                     static_cast<unsigned long long>(files.rlim_cur), connections);
    }
}

int Collector::Run() {
    std::string error;
    std::error_code ec;
    RaiseDescriptorLimit(m_options.front.maxConnections);
    fs::create_directories(m_options.stateFolder, ec);
    if (!LoadOrCreatePki(m_options.stateFolder, &m_leaves, &error) ||
        (!m_options.certFile.empty() &&
         !LoadGivenCertificate(m_options.certFile, m_options.keyFile, &m_given, &error))) {
        std::fprintf(stderr, "tally-collector: %s\n", error.c_str());
        return 2;
    }
    const std::string location =
        m_options.store.empty() ? DatabaseFile(m_options.stateFolder).string() : m_options.store;
    m_store = m_operations.Meter(server::OpenStore(location, m_options.storeOptions, &error));
    m_operations.ServeDashboard(m_store.get());
    if (!m_store || !m_store->Maintain(WallClockMs(), &error) || !m_operations.Start(&error)) {
        std::fprintf(stderr, "tally-collector: %s\n", error.c_str());
        return 2;
    }
    m_certMode = static_cast<int>(m_modes.cert);

    // Signals are taken by sigwait below; every thread started from here on
    // inherits the block.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    FrontLimits limits = m_options.front;
    limits.workers = m_options.threads;
    Front front(
        limits, [this](const FrontRequest& request) { return Serve(request); },
        m_operations.ForFront());
    const int httpsPort = front.Listen(
        m_options.listen, m_options.port,
        [this](SSL_CTX* context) {
            SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
            // Chosen per handshake, so the control port can switch
            // certificates without a restart.
            SSL_CTX_set_cert_cb(
                context,
                [](SSL* ssl, void* self) {
                    return static_cast<Collector*>(self)->PickCertificate(ssl) ? 1 : 0;
                },
                this);
            return true;
        },
        &error);
    if (httpsPort <= 0) {
        std::fprintf(stderr, "tally-collector: %s\n", error.c_str());
        return 2;
    }
    // A fault of ours: a 500 with our body and a log line, not cpp-httplib's
    // default, which puts the exception's text in a header.
    auto internal = [](const httplib::Request& request, httplib::Response& response,
                       std::exception_ptr) {
        SetError(response, 500, "internal error");
        std::printf("%s %s -> 500: internal error\n",
                    Printable(request.method.substr(0, 16)).c_str(),
                    Printable(request.path.substr(0, 128)).c_str());
        std::fflush(stdout);
    };

    httplib::Server control;
    if (m_options.testMode) {
        control.new_task_queue = [] { return new httplib::ThreadPool(2); };
        control.set_payload_max_length(kMaxControlBytes);
        control.set_read_timeout(std::chrono::milliseconds(m_options.readTimeoutMs));
        // One request per connection: nothing after a refused request, or
        // after its body, is ever read as another.
        control.set_keep_alive_max_count(1);
        control.set_pre_routing_handler(
            [this](const httplib::Request& request, httplib::Response& response) {
                return ScreenControl(request, response);
            });
        control.set_exception_handler(internal);
        control.set_error_handler(
            httplib::Server::Handler([this](const httplib::Request&, httplib::Response& response) {
                AnswerControlRefusal(response);
            }));
        control.Get("/stats", [this](const httplib::Request&, httplib::Response& response) {
            HandleStats(response);
        });
        control.Post("/control",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         HandleControl(request, response);
                     });
        control.Post("/shutdown", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("{}", "application/json");
            ::kill(::getpid(), SIGTERM);
        });
    }

    const int controlPort =
        !m_options.testMode ? 0
        : m_options.controlPort == 0
            ? control.bind_to_any_port("127.0.0.1")
            : (control.bind_to_port("127.0.0.1", m_options.controlPort) ? m_options.controlPort
                                                                        : -1);
    if (controlPort < 0 || (m_options.testMode && controlPort == 0)) {
        std::fprintf(stderr, "tally-collector: cannot listen on 127.0.0.1:%d\n",
                     m_options.controlPort);
        return 2;
    }
    front.Start();
    std::thread controlThread([&control, this] {
        if (m_options.testMode) control.listen_after_bind();
    });
    std::thread maintenanceThread([this] { MaintainUntilStopped(); });
    // stop() only reaches a server that runs, and the ports file promises one.
    while (m_options.testMode && !control.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool portsWritten = WritePorts(httpsPort, controlPort, &error);
    if (portsWritten) {
        const std::string controlText =
            m_options.testMode ? "control http://127.0.0.1:" + std::to_string(controlPort)
                               : std::string("no control port (--test-mode opens it)");
        std::printf("tally-collector: https://%s:%d/v1/batches, %s, state %s, CA %s\n",
                    m_options.listen.c_str(), httpsPort, controlText.c_str(),
                    m_options.stateFolder.string().c_str(),
                    CaFile(m_options.stateFolder).string().c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&signals, &signal);
    } else {
        std::fprintf(stderr, "tally-collector: %s\n", error.c_str());
    }
    const StopDeadline deadline(kStopLimit, PortsFile(m_options.stateFolder));
    // No new connections; requests under way are answered, then the rest closed.
    Stop();
    front.Stop(kFrontGrace);
    m_operations.Stop();
    if (m_options.testMode) control.stop();
    controlThread.join();
    maintenanceThread.join();
    fs::remove(PortsFile(m_options.stateFolder), ec);
    std::printf("tally-collector: stopped\n");
    return portsWritten ? 0 : 2;
}

}  // namespace

fs::path PortsFile(const fs::path& folder) {
    return folder / "ports.json";
}
fs::path DatabaseFile(const fs::path& folder) {
    return folder / "collector.db";
}

int RunServer(const ServerOptions& options) {
    Collector collector(options);
    return collector.Run();
}

}  // namespace collector
}  // namespace tally
