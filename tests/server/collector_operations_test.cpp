// The collector as an operator runs it, started as a real process: the
// operator port (/healthz, /readyz, /metrics), readiness following the
// database down and back, the config file, and a stop bounded in time while
// a client trickles a request. Plus the metrics' text format on its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#ifdef TALLY_WITH_POSTGRES
#include "postgres_instance.h"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TempFolder {
  public:
    TempFolder() {
        char name[] = "/tmp/tally-ops-XXXXXX";
        m_path = ::mkdtemp(name);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const fs::path& Path() const { return m_path; }

  private:
    fs::path m_path;
};

// The collector as a child process, its output in a file; killed if a test
// leaves it running.
class CollectorProcess {
  public:
    CollectorProcess(const fs::path& folder, std::vector<std::string> arguments)
        : m_state(folder / "state"), m_log(folder / "collector.log") {
        std::vector<std::string> all = {TALLY_COLLECTOR, "--state", m_state.string()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        m_pid = ::fork();
        if (m_pid == 0) {
            const int log = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(log, 1);
            ::dup2(log, 2);
            std::vector<char*> argv;
            for (std::string& argument : all) argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~CollectorProcess() {
        if (m_pid > 0 && Wait(std::chrono::milliseconds(0)) < 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // ports.json once the collector wrote it; null when it did not in time.
    Json::Value Ports() {
        const fs::path file = m_state / "ports.json";
        Json::Value ports;
        WaitUntil(
            [&] {
                if (Wait(std::chrono::milliseconds(0)) >= 0) return true;  // it ended
                Json::CharReaderBuilder builder;
                std::istringstream text(ReadFile(file));
                std::string errors;
                return Json::parseFromStream(builder, text, &ports, &errors) &&
                       ports.isMember("https");
            },
            std::chrono::seconds(20));
        return ports;
    }

    // The exit status once it ended within `limit`; -1 while it runs.
    int Wait(std::chrono::milliseconds limit) {
        if (m_status >= 0) return m_status;
        const auto end = Clock::now() + limit;
        do {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return m_status;
            }
            if (limit.count() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (Clock::now() < end);
        return -1;
    }

    void Signal(int signal) { ::kill(m_pid, signal); }
    std::string Log() const { return ReadFile(m_log); }
    const fs::path& State() const { return m_state; }

  private:
    fs::path m_state;
    fs::path m_log;
    pid_t m_pid = -1;
    int m_status = -1;
};

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Response {
    int status = 0;  // 0: no answer
    std::string body;
};

Response Parse(const std::string& text) {
    Response response;
    if (text.compare(0, 9, "HTTP/1.1 ") == 0 || text.compare(0, 9, "HTTP/1.0 ") == 0) {
        response.status = std::atoi(text.c_str() + 9);
    }
    const size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) response.body = text.substr(end + 4);
    return response;
}

Response Get(int port, const std::string& path) {
    const int fd = Connect(port);
    if (fd < 0) return {};
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string text;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) text.append(buffer, got);
    }
    ::close(fd);
    return Parse(text);
}

// A TLS connection that trusts any certificate: these tests are about the
// operator's side, the certificates are tested elsewhere.
class TlsConnection {
  public:
    explicit TlsConnection(int port) {
        m_context = SSL_CTX_new(TLS_client_method());
        m_fd = Connect(port);
        if (m_fd < 0) return;
        m_ssl = SSL_new(m_context);
        SSL_set_fd(m_ssl, m_fd);
        m_ok = SSL_connect(m_ssl) == 1;
    }
    ~TlsConnection() {
        if (m_ssl) SSL_free(m_ssl);
        if (m_fd >= 0) ::close(m_fd);
        SSL_CTX_free(m_context);
    }
    bool Ok() const { return m_ok; }
    // The common name of the certificate the server presented.
    std::string PeerName() const {
        X509* cert = m_ok ? SSL_get_peer_certificate(m_ssl) : nullptr;
        char name[256] = "";
        if (cert) {
            X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name,
                                      sizeof(name));
            X509_free(cert);
        }
        return name;
    }
    bool Write(const std::string& data) {
        return m_ok && SSL_write(m_ssl, data.data(), static_cast<int>(data.size())) ==
                           static_cast<int>(data.size());
    }
    std::string ReadAll() {
        std::string text;
        char buffer[4096];
        int got = 0;
        while (m_ok && (got = SSL_read(m_ssl, buffer, sizeof(buffer))) > 0)
            text.append(buffer, got);
        return text;
    }

  private:
    SSL_CTX* m_context = nullptr;
    SSL* m_ssl = nullptr;
    int m_fd = -1;
    bool m_ok = false;
};

Response Upload(int port, const std::string& body) {
    TlsConnection connection(port);
    const std::string request =
        "POST /v1/batches HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Connection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    if (!connection.Write(request)) return {};
    return Parse(connection.ReadAll());
}

std::string Batch(const std::string& id) {
    return "{\"schema\":1,\"app\":{},\"batches\":[{\"batch_id\":\"" + id +
           "\",\"created_ms\":1764990000000,\"events\":[{\"seq\":1,\"received_ms\":1764989990000,"
           "\"name\":\"n\",\"payload\":{}}]}]}";
}

// The value of the sample `name` (with its labels) in an exposition; -1 when absent.
double Sample(const std::string& exposition, const std::string& name) {
    std::istringstream lines(exposition);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size() + 1, name + " ") == 0) {
            return std::strtod(line.c_str() + name.size() + 1, nullptr);
        }
    }
    return -1;
}

bool ReadyIs(int adminPort, int status) {
    return WaitUntil([&] { return Get(adminPort, "/readyz").status == status; },
                     std::chrono::seconds(15));
}

TEST(CollectorOperations, HealthReadinessAndMetricsOnSqlite) {
    TempFolder folder;
    CollectorProcess collector(folder.Path(),
                               {"--port", "0", "--control-port", "0", "--admin-port", "0"});
    const Json::Value ports = collector.Ports();
    ASSERT_TRUE(ports.isMember("admin")) << collector.Log();
    const int admin = ports["admin"].asInt();
    const int https = ports["https"].asInt();

    EXPECT_EQ(Get(admin, "/healthz").status, 200);
    EXPECT_TRUE(ReadyIs(admin, 200));
    EXPECT_EQ(Get(admin, "/nothing").status, 404);

    EXPECT_EQ(Upload(https, Batch("b-1")).status, 200);
    EXPECT_EQ(Upload(https, Batch("b-1")).status, 200);  // a resend
    EXPECT_EQ(Upload(https, Batch("b-2")).status, 200);
    EXPECT_EQ(Upload(https, "{not json").status, 400);

    // A connection ends on the server's side a moment after its client read
    // the answer (after a refusal, once the client's end has closed too).
    Response metrics;
    EXPECT_TRUE(WaitUntil(
        [&] {
            metrics = Get(admin, "/metrics");
            return Sample(metrics.body, "tally_open_connections") == 0;
        },
        std::chrono::seconds(5)))
        << metrics.body;
    ASSERT_EQ(metrics.status, 200);
    const struct {
        const char* sample;
        double value;
    } expected[] = {
        {"tally_batches_stored_total", 2},
        {"tally_batch_duplicates_total", 1},
        {"tally_events_stored_total", 2},
        {"tally_requests_total{status=\"200\"}", 3},
        {"tally_requests_total{status=\"400\"}", 1},
        {"tally_request_duration_seconds_count", 4},
        {"tally_request_duration_seconds_bucket{le=\"+Inf\"}", 4},
        // The refused body never reached the store.
        {"tally_store_commit_duration_seconds_count", 3},
        {"tally_store_unavailable_total", 0},
        {"tally_open_connections", 0},
        {"tally_store_ready", 1},
    };
    for (const auto& row : expected) {
        EXPECT_EQ(Sample(metrics.body, row.sample), row.value) << row.sample << "\n"
                                                               << metrics.body;
    }

    // A database file that cannot be opened is reported, and its return is
    // noticed without a restart.
    const fs::path database = collector.State() / "collector.db";
    const fs::path aside = collector.State() / "collector.db.aside";
    fs::rename(database, aside);
    EXPECT_TRUE(ReadyIs(admin, 503));
    EXPECT_EQ(Get(admin, "/healthz").status, 200);                 // alive all the same
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // more probes fail meanwhile
    EXPECT_EQ(Get(admin, "/readyz").status, 503);
    fs::rename(aside, database);
    EXPECT_TRUE(ReadyIs(admin, 200));
    // Said once each way in the log, not once a probe.
    const std::string log = collector.Log();
    const size_t down = log.find("tally-collector: not ready: ");
    EXPECT_NE(down, std::string::npos) << log;
    EXPECT_EQ(log.find("tally-collector: not ready: ", down + 1), std::string::npos) << log;
    EXPECT_NE(log.find("tally-collector: database answering again"), std::string::npos) << log;
}

#ifdef TALLY_WITH_POSTGRES
TEST(CollectorOperations, ReadinessFollowsPostgresDownAndBack) {
    tally::testing::PostgresInstance postgres;
    std::string error;
    ASSERT_TRUE(postgres.Start(&error)) << error;
    const std::string uri = postgres.CreateDatabase("ops", &error);
    ASSERT_FALSE(uri.empty()) << error;
    TempFolder folder;
    CollectorProcess collector(folder.Path(), {"--store", uri, "--store-wait-ms", "1000", "--port",
                                               "0", "--control-port", "0", "--admin-port", "0"});
    const Json::Value ports = collector.Ports();
    ASSERT_TRUE(ports.isMember("admin")) << collector.Log();
    const int admin = ports["admin"].asInt();
    const int https = ports["https"].asInt();
    EXPECT_TRUE(ReadyIs(admin, 200));

    ASSERT_TRUE(postgres.Stop(&error)) << error;
    EXPECT_TRUE(ReadyIs(admin, 503));
    EXPECT_EQ(Upload(https, Batch("b-down")).status, 503);
    EXPECT_EQ(Get(admin, "/healthz").status, 200);

    ASSERT_TRUE(postgres.Start(&error)) << error;
    EXPECT_TRUE(ReadyIs(admin, 200));
    EXPECT_TRUE(WaitUntil([&] { return Upload(https, Batch("b-back")).status == 200; },
                          std::chrono::seconds(15)));
    const std::string metrics = Get(admin, "/metrics").body;
    EXPECT_GE(Sample(metrics, "tally_store_unavailable_total"), 1) << metrics;
    EXPECT_GE(Sample(metrics, "tally_requests_total{status=\"503\"}"), 1) << metrics;
}
#endif

TEST(CollectorOperations, ConfigFileIsOverriddenByFlagsAndRefusesWhatItCannotRead) {
    TempFolder folder;
    const fs::path config = folder.Path() / "collector.conf";
    const struct {
        const char* name;
        const char* text;
        std::vector<std::string> flags;
        int exitCode;        // 0: it serves
        const char* output;  // in the log when it refuses; the listen address when it serves
        bool admin;          // when it serves: whether ports.json names an operator port
    } cases[] = {
        {"the file's settings",
         "# comment\n; another\n\nport = 0\ncontrol-port=0\n"
         "admin-port = 0\nlisten = 127.0.0.2\n",
         {},
         0,
         "127.0.0.2",
         true},
        {"a flag overrides the file",
         "port = 0\ncontrol-port = 0\nlisten = 127.0.0.2\n",
         {"--listen", "127.0.0.1"},
         0,
         "127.0.0.1",
         false},
        {"an unknown name", "port = 0\n\nfrobnicate = 1\n", {}, 1, "collector.conf:3: ", false},
        {"a bad value", "port = 0\nthreads = many\n", {}, 1, "collector.conf:2: ", false},
        {"not name = value", "port 0\n", {}, 1, "collector.conf:1: ", false},
        {"a name twice",
         "port = 0\nport = 1\n",
         {},
         1,
         "collector.conf:2: port is set twice",
         false},
        {"no value", "port =\n", {}, 1, "collector.conf:1: port has no value", false},
        {"config from config", "config = other.conf\n", {}, 1, "collector.conf:1: ", false},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(config) << c.text;
        std::vector<std::string> flags = {"--config", config.string()};
        flags.insert(flags.end(), c.flags.begin(), c.flags.end());
        const fs::path runFolder = folder.Path() / std::to_string(run++);
        fs::create_directories(runFolder);
        CollectorProcess collector(runFolder, flags);
        if (c.exitCode != 0) {
            EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), c.exitCode);
            EXPECT_NE(collector.Log().find(c.output), std::string::npos) << collector.Log();
            continue;
        }
        const Json::Value ports = collector.Ports();
        EXPECT_EQ(ports["listen"].asString(), c.output) << collector.Log();
        EXPECT_EQ(ports.isMember("admin"), c.admin) << collector.Log();
        collector.Signal(SIGTERM);
        EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), 0);
    }
}

TEST(CollectorOperations, SigtermEndsWithinFiveSecondsWhileClientsTrickle) {
    TempFolder folder;
    CollectorProcess collector(folder.Path(),
                               {"--port", "0", "--control-port", "0", "--admin-port", "0"});
    const Json::Value ports = collector.Ports();
    ASSERT_TRUE(ports.isMember("admin")) << collector.Log();

    // One client on each port sends its request's header a byte a second, so
    // each holds a worker that no read time-out frees (the control and
    // operator ports), or a connection the stop closes at once (the HTTPS
    // port): writing on after that must not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    TlsConnection upload(ports["https"].asInt());
    ASSERT_TRUE(upload.Ok());
    std::vector<int> plain = {Connect(ports["control"].asInt()), Connect(ports["admin"].asInt())};
    const std::string header = "POST /v1/batches HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    size_t sent = 0;
    auto trickle = [&] {
        const std::string byte = header.substr(sent++ % header.size(), 1);
        upload.Write(byte);
        for (const int fd : plain) ::send(fd, byte.data(), 1, MSG_NOSIGNAL);
    };
    for (int i = 0; i < 2; ++i) {
        trickle();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    collector.Signal(SIGTERM);
    const auto signalled = Clock::now();
    int status = -1;
    while (status < 0 && Clock::now() - signalled < std::chrono::seconds(8)) {
        trickle();
        status = collector.Wait(std::chrono::seconds(1));
    }
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count();
    EXPECT_EQ(status, 0) << collector.Log();
    EXPECT_LT(tookMs, 5000) << collector.Log();
    EXPECT_FALSE(fs::exists(collector.State() / "ports.json"));
    for (const int fd : plain) ::close(fd);
}

TEST(CollectorOperations, ServesAGivenCertificateAndRefusesAKeyThatIsNotItsOwn) {
    TempFolder folder;
    // A first run makes the own certificates; one of them stands in for an
    // operator's.
    fs::path pki;
    {
        fs::create_directories(folder.Path() / "first");
        CollectorProcess first(folder.Path() / "first", {"--port", "0", "--control-port", "0"});
        ASSERT_TRUE(first.Ports().isMember("https")) << first.Log();
        pki = first.State();
        first.Signal(SIGTERM);
        ASSERT_EQ(first.Wait(std::chrono::seconds(10)), 0);
    }
    const std::string leaf = (pki / "wrong-name-leaf.pem").string();
    const std::string key = (pki / "wrong-name-leaf.key").string();
    const struct {
        const char* name;
        std::vector<std::string> flags;
        int exitCode;        // 0: it serves
        const char* output;  // in the log when it refuses; the name served otherwise
    } cases[] = {
        {"the given pair", {"--cert-file", leaf, "--key-file", key}, 0, "wrong.invalid"},
        {"another certificate's key",
         {"--cert-file", (pki / "server.pem").string(), "--key-file", key},
         2,
         "is not the one of the certificate"},
        {"no such file",
         {"--cert-file", (pki / "missing.pem").string(), "--key-file", key},
         2,
         "cannot open the certificate file"},
        {"a key file that is no key",
         {"--cert-file", leaf, "--key-file", leaf},
         2,
         "no PEM private key"},
        {"a certificate without its key", {"--cert-file", leaf}, 1, "go together"},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path runFolder = folder.Path() / std::to_string(run++);
        fs::create_directories(runFolder);
        std::vector<std::string> flags = {"--port", "0", "--control-port", "0"};
        flags.insert(flags.end(), c.flags.begin(), c.flags.end());
        CollectorProcess collector(runFolder, flags);
        if (c.exitCode != 0) {
            EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), c.exitCode);
            EXPECT_NE(collector.Log().find(c.output), std::string::npos) << collector.Log();
            continue;
        }
        const Json::Value ports = collector.Ports();
        ASSERT_TRUE(ports.isMember("https")) << collector.Log();
        EXPECT_EQ(TlsConnection(ports["https"].asInt()).PeerName(), c.output);
        collector.Signal(SIGTERM);
        EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), 0);
    }
}

TEST(Metrics, RendersTheTextFormat) {
    tally::metrics::Registry registry;
    tally::metrics::Counter* counter = registry.AddCounter("c_total", "A counter");
    tally::metrics::Gauge* gauge = registry.AddGauge("g", "A gauge\nwith two lines");
    tally::metrics::LabelledCounter* labelled =
        registry.AddLabelledCounter("l_total", "status", "By status");
    tally::metrics::Histogram* histogram =
        registry.AddHistogram("h_seconds", "A histogram", {0.0025, 0.1, 1});
    counter->Add(3);
    gauge->Add(2);
    gauge->Add(-1);
    labelled->Add("200");
    labelled->Add("200");
    labelled->Add("a\"b\\c\nd");
    for (const double seconds : {0.001, 0.0025, 0.05, 0.5, 7.0, -1.0}) {
        histogram->ObserveSeconds(seconds);
    }
    EXPECT_EQ(registry.Render(),
              "# HELP c_total A counter\n# TYPE c_total counter\nc_total 3\n"
              "# HELP g A gauge\\nwith two lines\n# TYPE g gauge\ng 1\n"
              "# HELP l_total By status\n# TYPE l_total counter\n"
              "l_total{status=\"200\"} 2\nl_total{status=\"a\\\"b\\\\c\\nd\"} 1\n"
              "# HELP h_seconds A histogram\n# TYPE h_seconds histogram\n"
              // A bound holds what equals it; a negative duration counts as 0.
              "h_seconds_bucket{le=\"0.0025\"} 3\nh_seconds_bucket{le=\"0.1\"} 4\n"
              "h_seconds_bucket{le=\"1\"} 5\nh_seconds_bucket{le=\"+Inf\"} 6\n"
              "h_seconds_sum 7.5535\nh_seconds_count 6\n");
}

}  // namespace
