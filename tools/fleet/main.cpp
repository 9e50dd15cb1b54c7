// tally-fleet: plays a fleet of installations uploading to a collector on
// this machine, and prints what it measured as one line of JSON. It is a
// black-box client sending the analytics library's requests byte for byte,
// so it measures whichever server answers on the port. See docs/fleet.md.
#include <json/json.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fleet_client.h"
#include "fleet_holders.h"
#include "fleet_load.h"

namespace {

using tally::fleet::Installation;
using tally::fleet::Options;
using tally::fleet::Upload;
using Clock = std::chrono::steady_clock;

const char* const kUsage = R"(Usage: tally-fleet --url https://127.0.0.1:PORT --ca FILE [options]

Plays installations uploading batches to a collector on this machine
(loopback only) and prints one line of JSON: uploads, events, answers by
status, uploads/s, events/s and latency percentiles.
  --url URL              https://HOST:PORT, HOST a loopback address or localhost;
                         give it twice or more to spread uploads over several edges
  --ca FILE              CA certificate the server's certificate chains to
  --installations N      installations played (default 100)
  --events-per-upload K  events in each upload's batch, 1..500 (default 5)
  --uploads M            stop after M uploads
  --seconds S            stop after S seconds (at most 600)
  --concurrency C        uploads in flight at once (default 8, one thread)
  --new-connections      a new TCP and TLS connection (no session resumption) per
                         upload, as a fleet of distinct devices; default keep-alive
  --install-ids          send each installation's id in app.install_id
  --resend-fraction F    resend that fraction of uploads (same key and body,
                         attempt 2): duplicates the server must recognise
  --idle N               hold N TCP connections open that never send a byte
  --trickle N            hold N TLS connections trickling a request head, a byte a second
  --header-flood-mib N   before the uploads, send N MiB of request heads (1 MiB each)
  --timeout S            give up on one upload after S seconds (default 30)
  --seed N               random seed (default from the clock)
)";

struct Tally {
    long uploads = 0;  // finished, whatever the outcome
    long resends = 0;
    long okUploads = 0;
    long long okEvents = 0;
    long long accepted = 0;    // batches the answers called new
    long long duplicates = 0;  // batches the answers called duplicates
    long long connects = 0;    // TCP connections opened
    std::map<std::string, long> status;
    std::map<std::string, long> errors;
    std::vector<double> latencyMs;
    // Of uploads on a connection of their own: TCP connect, then the TLS
    // handshake; where a slow upload's time went.
    std::vector<double> connectMs;
    std::vector<double> handshakeMs;
};

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double Percentile(std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    const size_t index = std::min(
        sorted.size() - 1, static_cast<size_t>(fraction * static_cast<double>(sorted.size())));
    return sorted[index];
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string a, b, c;
    file >> a >> b >> c;
    return a + " " + b + " " + c;
}

// The answer's counts of new and duplicate batches ({"accepted":n,"duplicates":d}).
void CountAnswer(const std::string& answer, Tally& tally) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(answer.data(), answer.data() + answer.size(), &root, &errors) ||
        !root.isObject()) {
        ++tally.errors["answer_not_json"];
        return;
    }
    tally.accepted += root.get("accepted", 0).asInt64();
    tally.duplicates += root.get("duplicates", 0).asInt64();
}

Json::Value Report(const Options& options, Tally& tally, double seconds,
                   const tally::fleet::HeldCounts* atStart, const tally::fleet::HeldCounts* atEnd,
                   const tally::fleet::FloodResult* flood) {
    Json::Value out(Json::objectValue);
    out["uploads"] = static_cast<Json::Int64>(tally.uploads);
    out["uploads_ok"] = static_cast<Json::Int64>(tally.okUploads);
    out["resends"] = static_cast<Json::Int64>(tally.resends);
    out["events"] = static_cast<Json::Int64>(tally.okEvents);
    out["accepted"] = static_cast<Json::Int64>(tally.accepted);
    out["duplicates"] = static_cast<Json::Int64>(tally.duplicates);
    Json::Value status(Json::objectValue);
    for (const auto& entry : tally.status)
        status[entry.first] = static_cast<Json::Int64>(entry.second);
    out["status"] = status;
    Json::Value errors(Json::objectValue);
    for (const auto& entry : tally.errors)
        errors[entry.first] = static_cast<Json::Int64>(entry.second);
    out["errors"] = errors;
    out["seconds"] = seconds;
    out["uploads_per_s"] = seconds > 0 ? static_cast<double>(tally.okUploads) / seconds : 0.0;
    out["events_per_s"] = seconds > 0 ? static_cast<double>(tally.okEvents) / seconds : 0.0;
    std::sort(tally.latencyMs.begin(), tally.latencyMs.end());
    Json::Value latency(Json::objectValue);
    latency["p50"] = Percentile(tally.latencyMs, 0.50);
    latency["p90"] = Percentile(tally.latencyMs, 0.90);
    latency["p99"] = Percentile(tally.latencyMs, 0.99);
    latency["max"] = tally.latencyMs.empty() ? 0.0 : tally.latencyMs.back();
    out["latency_ms"] = latency;
    out["connections_opened"] = static_cast<Json::Int64>(tally.connects);
    const auto spread = [](std::vector<double>& values) {
        std::sort(values.begin(), values.end());
        Json::Value value(Json::objectValue);
        value["p50"] = Percentile(values, 0.50);
        value["p99"] = Percentile(values, 0.99);
        value["max"] = values.empty() ? 0.0 : values.back();
        return value;
    };
    out["connect_ms"] = spread(tally.connectMs);
    out["handshake_ms"] = spread(tally.handshakeMs);
    // A connect of a second or more is a SYN the server's machine dropped
    // (a full accept queue) and the client sent again after its 1 s time-out.
    out["connects_over_1s"] = static_cast<Json::Int64>(std::count_if(
        tally.connectMs.begin(), tally.connectMs.end(), [](double ms) { return ms >= 1000; }));
    Json::Value shape(Json::objectValue);
    shape["installations"] = options.installations;
    shape["events_per_upload"] = options.eventsPerUpload;
    shape["concurrency"] = options.concurrency;
    shape["new_connections"] = options.newConnections;
    shape["edges"] = static_cast<int>(options.urls.size());
    shape["resend_fraction"] = options.resendFraction;
    out["shape"] = shape;
    if (atStart != nullptr) {
        Json::Value held(Json::objectValue);
        held["idle_asked"] = options.idle;
        held["trickle_asked"] = options.trickle;
        held["idle_open_at_start"] = atStart->idleOpen;
        held["trickle_open_at_start"] = atStart->trickleOpen;
        held["idle_open_at_end"] = atEnd->idleOpen;
        held["trickle_open_at_end"] = atEnd->trickleOpen;
        held["closed_by_server"] = static_cast<Json::Int64>(atEnd->reopened);
        held["trickle_bytes"] = static_cast<Json::Int64>(atEnd->trickleBytes);
        out["held"] = held;
    }
    if (flood != nullptr) {
        Json::Value value(Json::objectValue);
        value["connections"] = static_cast<Json::Int64>(flood->connections);
        value["bytes"] = static_cast<Json::Int64>(flood->bytes);
        value["answered"] = static_cast<Json::Int64>(flood->answered);
        out["header_flood"] = value;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    // The tool's own share of the machine, for a run on the server's machine.
    out["cpu_seconds"] = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    out["load_average"] = LoadAverage();
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    // A server that refuses a flood or a trickle closes the connection while
    // the tool still writes: that is an outcome to count, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::cout << kUsage;
            return 0;
        }
    }
    if (!tally::fleet::ParseOptions(argc, argv, &options, &error)) {
        std::cerr << "tally-fleet: " << error << "\n" << kUsage;
        return 2;
    }
    if (!std::ifstream(options.ca)) {
        std::cerr << "tally-fleet: cannot read the CA file " << options.ca << "\n";
        return 2;
    }
    std::string host;
    int port = 0;
    tally::fleet::LoopbackTarget(options.urls.front(), &host, &port);
    std::mt19937_64 random(
        options.seed != 0 ? options.seed : static_cast<uint64_t>(WallMs()) ^ 0x9e3779b97f4a7c15ULL);

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(
        tally::fleet::NewClientContext(options.ca, &error), &SSL_CTX_free);
    if (!context) {
        std::cerr << "tally-fleet: " << error << "\n";
        return 2;
    }

    // Every held connection and every upload in flight is a descriptor.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::unique_ptr<tally::fleet::FloodResult> flood;
    if (options.headerFloodMiB > 0) {
        flood = std::make_unique<tally::fleet::FloodResult>(
            tally::fleet::HeaderFlood(host, port, context.get(), options.headerFloodMiB, 8));
    }
    std::unique_ptr<tally::fleet::Holders> holders;
    tally::fleet::HeldCounts heldAtStart;
    if (options.idle > 0 || options.trickle > 0) {
        holders =
            std::make_unique<tally::fleet::Holders>(host, port, options.idle, options.trickle);
        if (!holders->Start(context.get(), &error)) {
            std::cerr << "tally-fleet: " << error << "\n";
            return 1;
        }
        heldAtStart = holders->WaitOpen(10);
    }

    // The uploads' own context, apart from the one the held connections and
    // the flood use on their threads: one for every upload of the run.
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> uploadContext(
        tally::fleet::NewUploadContext(options.ca, &error), &SSL_CTX_free);
    if (!uploadContext) {
        std::cerr << "tally-fleet: " << error << "\n";
        return 2;
    }
    std::vector<Installation> installations(static_cast<size_t>(options.installations));
    for (Installation& installation : installations)
        installation.installId = tally::fleet::RandomUuid(random);
    // Uploads answered 2xx, newest last: what a resend picks from.
    std::deque<Upload> sent;
    constexpr size_t kResendPool = 1000;

    tally::fleet::UploadClient client(uploadContext.get(), options.urls, options.concurrency,
                                      options.newConnections, options.timeoutSeconds);
    std::vector<tally::fleet::Finished> finished;
    Tally tally;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    long issued = 0;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        options.seconds > 0 ? start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options.seconds))
                            : Clock::time_point::max();
    const bool uploadsWanted = options.uploads > 0 || options.seconds > 0;
    while (uploadsWanted) {
        const bool more =
            (options.uploads == 0 || issued < options.uploads) && Clock::now() < deadline;
        while (more && client.HasFreeSlot() && (options.uploads == 0 || issued < options.uploads)) {
            Upload upload;
            if (!sent.empty() && unit(random) < options.resendFraction) {
                upload = sent[random() % sent.size()];
                ++upload.attempt;
                ++tally.resends;
            } else {
                Installation& installation = installations[random() % installations.size()];
                upload = tally::fleet::MakeUpload(installation, options.installIds,
                                                  options.eventsPerUpload, random, WallMs());
            }
            client.Begin(std::move(upload), static_cast<size_t>(issued), WallMs(), &finished);
            ++issued;
        }
        if (client.InFlight() == 0 && finished.empty() && !more) break;
        client.Run(100, &finished);
        for (tally::fleet::Finished& done : finished) {
            if (done.opened) {
                ++tally.connects;
                tally.connectMs.push_back(done.connectMs);
                if (done.handshakeMs >= 0) tally.handshakeMs.push_back(done.handshakeMs);
            }
            ++tally.uploads;
            // Failed uploads count at the time they failed: a server that
            // stalls shows as its time-out in the tail, not as a gap.
            tally.latencyMs.push_back(done.ms);
            if (!done.error.empty()) {
                ++tally.errors[done.error];
                continue;
            }
            ++tally.status[std::to_string(done.status)];
            if (done.status >= 200 && done.status < 300) {
                ++tally.okUploads;
                tally.okEvents += done.upload.events;
                CountAnswer(done.body, tally);
                if (options.resendFraction > 0) {
                    sent.push_back(std::move(done.upload));
                    if (sent.size() > kResendPool) sent.pop_front();
                }
            }
        }
        finished.clear();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    tally::fleet::HeldCounts heldAtEnd;
    if (holders) {
        heldAtEnd = holders->Counts();
        holders->Stop();
    }

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::cout << Json::writeString(writer,
                                   Report(options, tally, seconds, holders ? &heldAtStart : nullptr,
                                          holders ? &heldAtEnd : nullptr, flood.get()))
              << std::endl;
    // A run where nothing got through is a failed run, so a script notices.
    return uploadsWanted && tally.okUploads == 0 ? 1 : 0;
}
