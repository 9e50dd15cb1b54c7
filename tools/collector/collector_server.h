// The collector's two listeners: HTTPS for uploads (POST /v1/batches) and,
// in test mode only, a plain-HTTP control port on loopback (GET /stats,
// POST /control, POST /shutdown). Failure modes set from the command line
// or the control port apply to the upload port.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_SERVER_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_SERVER_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "collector_pki.h"
#include "front.h"
#include "store.h"

namespace tally {
namespace collector {

// Failure modes; each applies to upload requests whose body was read.
struct FailureModes {
    int failStatus = 0;    // answer this status (5xx, 429, 4xx) ...
    int failCount = 0;     // ... to the next failCount requests
    int retryAfterS = -1;  // Retry-After on those answers; -1: none
    int64_t delayMs = 0;   // wait this long before every answer (after storing)
    int dropCount = 0;     // close the next dropCount connections after storing, unanswered
    CertMode cert = CertMode::Good;
};

struct ServerOptions {
    std::filesystem::path stateFolder;
    std::string listen = "127.0.0.1";
    int port = 18443;  // 0: any free port (ports.json says which)
    // The control port and failure modes exist only in test mode: a
    // collector run as a backend cannot be told to misbehave.
    bool testMode = false;
    int controlPort = 18444;   // always on 127.0.0.1; 0: any free port
    int threads = 8;           // store calls at once (the front's workers)
    int readTimeoutMs = 5000;  // per read on the control port
    // The public port's limits; its workers are `threads`.
    FrontLimits front;
    FailureModes modes;
    // Where uploads go: a postgresql:// URI, or empty for the state
    // folder's SQLite file.
    std::string store;
    server::StoreOptions storeOptions;
    int unavailableRetryAfterS = 60;  // Retry-After of a 503 while the database is unavailable
    // Serve this certificate (PEM, chain after it) and key instead of the own CA's.
    std::filesystem::path certFile;
    std::filesystem::path keyFile;
    int adminPort = -1;  // operator port (/healthz, /readyz, /metrics); -1: none, 0: any free
    std::string adminListen = "127.0.0.1";
};

// Runs until SIGINT, SIGTERM or POST /shutdown; answers the exit status.
int RunServer(const ServerOptions& options);

// The state folder's file that names the ports in use: {"https":N,"control":M}, and "admin" when
// there is one.
std::filesystem::path PortsFile(const std::filesystem::path& folder);
std::filesystem::path DatabaseFile(const std::filesystem::path& folder);

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_SERVER_H_
