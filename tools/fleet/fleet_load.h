// What tally-fleet sends: its options and the uploads of its installations,
// built as the analytics library builds them (docs/upload.md).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tally {
namespace fleet {

struct Options {
    std::vector<std::string> urls;  // https://<loopback>:PORT, round robin
    std::string ca;
    int installations = 100;
    int eventsPerUpload = 5;
    long uploads = 0;     // 0: bounded by seconds only
    double seconds = 0;   // 0: bounded by uploads only
    int concurrency = 8;  // uploads in flight at once
    bool newConnections = false;
    bool installIds = false;
    int idle = 0;
    int trickle = 0;
    double resendFraction = 0;
    int headerFloodMiB = 0;
    double timeoutSeconds = 30;  // per upload, so a stalled server cannot hold the run
    uint64_t seed = 0;           // 0: from the clock
};

constexpr double kMaxSeconds = 600;
constexpr long kMaxUploads = 10000000;
constexpr int kMaxEventsPerUpload = 500;  // the collector's bound for one request

// Parses the command line into `options`; false with `error` set (the text
// to print) for anything unknown, out of range or not on loopback.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

// The host and port of a loopback https URL ("https://127.0.0.1:8443",
// "https://localhost:8443/", "https://[::1]:8443"); false for anything else,
// so the tool cannot be pointed at another machine.
bool LoopbackTarget(const std::string& url, std::string* host, int* port);

// A random version 4 UUID as text.
std::string RandomUuid(std::mt19937_64& random);

struct Installation {
    std::string installId;
    int64_t nextSeq = 1;
};

struct Upload {
    std::string idempotencyKey;
    std::string body;  // gzip
    int events = 0;
    int attempt = 1;
};

// One upload of `installation`: a new batch of `events` events with fresh
// ids, the installation's next sequence numbers and payloads like the
// service's own reports.
Upload MakeUpload(Installation& installation, bool withInstallId, int events,
                  std::mt19937_64& random, int64_t nowMs);

// gzip (window bits 31) as the client compresses; empty on failure.
std::string Gzip(const std::string& text);

}  // namespace fleet
}  // namespace tally
