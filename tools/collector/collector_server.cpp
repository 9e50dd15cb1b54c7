#include "collector_server.h"

#include <httplib.h>
#include <json/json.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "collector_request.h"
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

// A stop (SIGTERM) must end well inside the 5 s a supervisor commonly
// waits before it kills.
constexpr std::chrono::milliseconds kStopLimit{4000};

OperationsOptions OperationsFor(const ServerOptions& options) {
    OperationsOptions operations;
    operations.port = options.adminPort;
    operations.listen = options.adminListen;
    operations.storeLocation =
        options.store.empty() ? DatabaseFile(options.stateFolder).string() : options.store;
    return operations;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
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

    void HandleUpload(const httplib::Request& request, httplib::Response& response,
                      const httplib::ContentReader& reader);
    void HandleControl(const httplib::Request& request, httplib::Response& response);
    void HandleStats(httplib::Response& response);
    Injected TakeFailure();
    bool PickCertificate(SSL* ssl);
    void Answer(httplib::Response& response, int status, const std::string& error,
                RequestRecord* record);
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

void Collector::Answer(httplib::Response& response, int status, const std::string& error,
                       RequestRecord* record) {
    response.status = status;
    Json::Value body;
    if (error.empty()) {
        body["accepted"] = record->batchesNew;
        body["duplicates"] = record->batchesDuplicate;
        body["events"] = record->eventsNew;
        if (record->batchesExpired > 0) body["expired"] = record->batchesExpired;
    } else {
        body["error"] = error;
    }
    response.set_content(JsonText(body), "application/json");
    record->status = status;
    record->error = error;
}

void Collector::HandleUpload(const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader& reader) {
    const auto started = std::chrono::steady_clock::now();
    RequestRecord record;
    record.receiveMs = NowMs();
    ++m_requests;
    HeaderMap headers;
    for (const auto& header : request.headers) {
        std::string name = header.first;
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        headers.emplace(name, header.second);
    }
    record.idempotencyKey = request.get_header_value("Idempotency-Key").substr(0, 128);
    record.attempt = HeaderInteger(headers, "x-tally-attempt");
    record.uploadTimeMs = HeaderInteger(headers, "x-tally-upload-time");
    record.userAgent = request.get_header_value("User-Agent").substr(0, 256);
    record.wireBytes = HeaderInteger(headers, "content-length");

    // The body arrives decoded (cpp-httplib inflates gzip on its own), so the
    // decoded size is bounded here, chunk by chunk, and so is the time a
    // client may take to send it.
    const auto deadline = started + std::chrono::milliseconds(m_options.requestTimeoutMs);
    // A client that writes its headers and its body separately (the Windows
    // client does: it checks our certificate before the body goes out) has
    // the body held back by Nagle's algorithm until the headers are
    // acknowledged, and Linux delays that acknowledgement by up to 40 ms.
    // Acknowledging what has arrived now lets the body follow at once.
    if (request.ssl != nullptr) {
        int one = 1;
        ::setsockopt(SSL_get_fd(request.ssl), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    }
    std::string body;
    bool tooLarge = false;
    bool tooSlow = false;
    // A body counts once a byte of it has arrived, not when a header
    // announces one: a client may send its headers and then withhold the
    // body from a server it does not trust.
    bool bodyArrived = false;
    const bool read = reader([&](const char* data, size_t length) {
        bodyArrived = bodyArrived || length > 0;
        if (std::chrono::steady_clock::now() > deadline) {
            tooSlow = true;
            return false;
        }
        if (body.size() + length > kMaxDecodedBytes) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    });
    record.bodyBytes = static_cast<int64_t>(body.size());
    if (bodyArrived) ++m_bodies;

    auto finish = [&](int status, const std::string& error) {
        Answer(response, status, error, &record);
        if (status >= 400 && status < 500) ++m_refused;
        m_store->LogRequest(record);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
        std::printf(
            "POST /v1/batches key=%s attempt=%lld -> %d (%d new, %d duplicate, %d events, "
            "%lld bytes) %lld ms%s%s\n",
            record.idempotencyKey.c_str(), static_cast<long long>(record.attempt), status,
            record.batchesNew, record.batchesDuplicate, record.eventsNew,
            static_cast<long long>(record.bodyBytes), static_cast<long long>(ms),
            error.empty() ? "" : ": ", error.c_str());
        std::fflush(stdout);
    };

    if (!read) {
        // What is left of the body is unread: the connection cannot carry another request.
        response.set_header("Connection", "close");
        if (tooLarge) return finish(413, "body larger than 4 MiB after decoding");
        if (tooSlow) return finish(408, "body not received in time");
        if (response.status == 413) return finish(413, "body larger than 4 MiB");
        if (response.status == 415) return finish(415, "unsupported Content-Encoding");
        return finish(400, "truncated or undecodable body");
    }

    const Injected injected = TakeFailure();
    if (injected.status != 0) {
        ++m_injected;
        if (injected.retryAfterS >= 0) {
            response.set_header("Retry-After", std::to_string(injected.retryAfterS));
        }
        return finish(injected.status, "failure injected by the test");
    }

    const Verdict verdict = ParseUpload(body, headers);
    if (verdict.status != 200) return finish(verdict.status, verdict.error);

    const StoreOutcome stored =
        m_store->StoreUpload(verdict.upload, record.idempotencyKey, NowMs());
    if (stored.status == StoreStatus::Unavailable) {
        // Nothing was committed, so the client must keep its batches and
        // come back later; every collector would tell it the same now.
        ++m_unavailable;
        response.set_header("Retry-After", std::to_string(m_options.unavailableRetryAfterS));
        return finish(503, "database unavailable: " + stored.error);
    }
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
        if (request.ssl != nullptr) ::shutdown(SSL_get_fd(request.ssl), SHUT_RDWR);
        response.set_header("Connection", "close");
        record.status = 0;
        record.error = "connection dropped after storing";
        m_store->LogRequest(record);
        std::printf("POST /v1/batches key=%s -> dropped after storing %d new batches\n",
                    record.idempotencyKey.c_str(), record.batchesNew);
        std::fflush(stdout);
        return;
    }
    if (injected.delayMs > 0) {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        m_stopSignal.wait_for(lock, std::chrono::milliseconds(injected.delayMs),
                              [this] { return m_stopping; });
    }
    finish(200, "");
}

void Collector::HandleControl(const httplib::Request& request, httplib::Response& response) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    const std::string& body = request.body;
    if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors) ||
        !root.isObject()) {
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
        if (!m_store->Maintain(NowMs(), &error)) {
            // The next round tries again; uploads do not depend on it.
            std::fprintf(stderr, "tally-collector: maintenance failed: %s\n", error.c_str());
        }
        lock.lock();
    }
}

int Collector::Run() {
    std::string error;
    std::error_code ec;
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
    if (!m_store || !m_store->Maintain(NowMs(), &error) || !m_operations.Start(&error)) {
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

    httplib::SSLServer https([this](SSL_CTX& context) {
        SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
        // Chosen per handshake, so the control port can switch certificates
        // without a restart.
        SSL_CTX_set_cert_cb(
            &context,
            [](SSL* ssl, void* self) {
                return static_cast<Collector*>(self)->PickCertificate(ssl) ? 1 : 0;
            },
            this);
        return true;
    });
    if (!https.is_valid()) {
        std::fprintf(stderr, "tally-collector: cannot set up TLS\n");
        return 2;
    }
    const int threads = m_options.threads;
    https.new_task_queue = m_operations.CountConnections(threads);
    https.set_tcp_nodelay(true);
    https.set_payload_max_length(kMaxDecodedBytes);
    https.set_read_timeout(std::chrono::milliseconds(m_options.readTimeoutMs));
    https.set_write_timeout(std::chrono::seconds(5));
    https.set_keep_alive_timeout(5);
    https.set_keep_alive_max_count(100);
    // Only one route reads a body; anything else is answered before its
    // body is read (which cpp-httplib would otherwise buffer without a bound
    // when chunked) and the connection closed.
    https.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        if (request.path == "/v1/batches" && request.method == "POST") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const bool known = request.path == "/v1/batches";
        response.status = known ? 405 : 404;
        if (known) response.set_header("Allow", "POST");
        response.set_header("Connection", "close");
        response.set_content(known ? R"({"error":"use POST"})" : R"({"error":"no such endpoint"})",
                             "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });
    https.Post("/v1/batches", [this](const httplib::Request& request, httplib::Response& response,
                                     const httplib::ContentReader& reader) {
        HandleUpload(request, response, reader);
    });

    httplib::Server control;
    control.new_task_queue = [] { return new httplib::ThreadPool(2); };
    control.set_payload_max_length(64 * 1024);
    control.Get("/stats", [this](const httplib::Request&, httplib::Response& response) {
        HandleStats(response);
    });
    control.Post("/control", [this](const httplib::Request& request, httplib::Response& response) {
        HandleControl(request, response);
    });
    control.Post("/shutdown", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
        ::kill(::getpid(), SIGTERM);
    });

    const int httpsPort =
        m_options.port == 0
            ? https.bind_to_any_port(m_options.listen)
            : (https.bind_to_port(m_options.listen, m_options.port) ? m_options.port : -1);
    const int controlPort =
        m_options.controlPort == 0
            ? control.bind_to_any_port("127.0.0.1")
            : (control.bind_to_port("127.0.0.1", m_options.controlPort) ? m_options.controlPort
                                                                        : -1);
    if (httpsPort <= 0 || controlPort <= 0) {
        std::fprintf(stderr, "tally-collector: cannot listen on %s:%d or 127.0.0.1:%d\n",
                     m_options.listen.c_str(), m_options.port, m_options.controlPort);
        return 2;
    }
    std::thread httpsThread([&https] { https.listen_after_bind(); });
    std::thread controlThread([&control] { control.listen_after_bind(); });
    std::thread maintenanceThread([this] { MaintainUntilStopped(); });
    // stop() only reaches a server that runs, and the ports file promises one.
    while (!https.is_running() || !control.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool portsWritten = WritePorts(httpsPort, controlPort, &error);
    if (portsWritten) {
        std::printf(
            "tally-collector: https://%s:%d/v1/batches, control http://127.0.0.1:%d, "
            "state %s, CA %s\n",
            m_options.listen.c_str(), httpsPort, controlPort,
            m_options.stateFolder.string().c_str(), CaFile(m_options.stateFolder).string().c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&signals, &signal);
    } else {
        std::fprintf(stderr, "tally-collector: %s\n", error.c_str());
    }
    const StopDeadline deadline(kStopLimit, PortsFile(m_options.stateFolder));
    Stop();
    m_operations.Stop();
    https.stop();
    control.stop();
    httpsThread.join();
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
