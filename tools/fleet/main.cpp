// tally-fleet: plays a fleet of installations uploading to a collector on
// this machine, and prints what it measured as one line of JSON. It is a
// black-box client (libcurl, as the analytics library on Linux), so it
// measures whichever server answers on the port. See docs/fleet.md.
#include <curl/curl.h>
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
  --concurrency C        uploads in flight at once (default 8)
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

struct Slot {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    Upload upload;
    std::string answer;
    Clock::time_point started;
};

struct Tally {
    long uploads = 0;  // finished, whatever the outcome
    long resends = 0;
    long okUploads = 0;
    long long okEvents = 0;
    long long accepted = 0;    // batches the answers called new
    long long duplicates = 0;  // batches the answers called duplicates
    long long connects = 0;    // TCP connections libcurl opened
    std::map<std::string, long> status;
    std::map<std::string, long> errors;
    std::vector<double> latencyMs;
    // Of uploads on a connection of their own: TCP connect, then the TLS
    // handshake, as libcurl timed them; where a slow upload's time went.
    std::vector<double> connectMs;
    std::vector<double> handshakeMs;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* answer = static_cast<std::string*>(user);
    if (answer->size() < 4096) answer->append(data, std::min<size_t>(size * count, 4096));
    return size * count;
}

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

void Prepare(Slot& slot, const Options& options, const std::string& url) {
    CURL* easy = slot.easy;
    curl_slist_free_all(slot.headers);
    slot.headers = nullptr;
    const std::string lines[] = {
        "Content-Type: application/json",
        "Content-Encoding: gzip",
        "Accept: application/json",
        "Idempotency-Key: " + slot.upload.idempotencyKey,
        "User-Agent: Tally/" TALLY_VERSION " (Orvel 3.1.0)",
        "X-Tally-Upload-Time: " + std::to_string(WallMs()),
        "X-Tally-Attempt: " + std::to_string(slot.upload.attempt),
        "Expect:",
    };
    for (const std::string& line : lines)
        slot.headers = curl_slist_append(slot.headers, line.c_str());
    const std::string target =
        (url.back() == '/' ? url.substr(0, url.size() - 1) : url) + "/v1/batches";
    curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, slot.upload.body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(slot.upload.body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, slot.headers);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeoutSeconds * 1000));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_CAINFO, options.ca.c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    // The certificate names localhost; the address stays the one given.
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &slot.answer);
    if (options.newConnections) {
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    }
    slot.answer.clear();
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

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                              &SSL_CTX_free);
    if (!context ||
        SSL_CTX_load_verify_locations(context.get(), options.ca.c_str(), nullptr) != 1) {
        std::cerr << "tally-fleet: the CA file " << options.ca << " holds no PEM certificate\n";
        return 2;
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);

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

    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::cerr << "tally-fleet: libcurl did not initialise\n";
        return 1;
    }
    std::vector<Installation> installations(static_cast<size_t>(options.installations));
    for (Installation& installation : installations)
        installation.installId = tally::fleet::RandomUuid(random);
    // Uploads answered 2xx, newest last: what a resend picks from.
    std::deque<Upload> sent;
    constexpr size_t kResendPool = 1000;

    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(options.concurrency));
    std::vector<Slot> slots(static_cast<size_t>(options.concurrency));
    std::vector<Slot*> idleSlots;
    for (Slot& slot : slots) {
        slot.easy = curl_easy_init();
        curl_easy_setopt(slot.easy, CURLOPT_PRIVATE, &slot);
        idleSlots.push_back(&slot);
    }
    Tally tally;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    long issued = 0;
    int running = 0;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        options.seconds > 0 ? start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options.seconds))
                            : Clock::time_point::max();
    const bool uploadsWanted = options.uploads > 0 || options.seconds > 0;
    while (uploadsWanted) {
        const bool more =
            (options.uploads == 0 || issued < options.uploads) && Clock::now() < deadline;
        while (more && !idleSlots.empty() && (options.uploads == 0 || issued < options.uploads)) {
            Slot* slot = idleSlots.back();
            idleSlots.pop_back();
            if (!sent.empty() && unit(random) < options.resendFraction) {
                slot->upload = sent[random() % sent.size()];
                ++slot->upload.attempt;
                ++tally.resends;
            } else {
                Installation& installation = installations[random() % installations.size()];
                slot->upload = tally::fleet::MakeUpload(installation, options.installIds,
                                                        options.eventsPerUpload, random, WallMs());
            }
            Prepare(*slot, options,
                    options.urls[static_cast<size_t>(issued) % options.urls.size()]);
            slot->started = Clock::now();
            curl_multi_add_handle(multi, slot->easy);
            ++issued;
        }
        if (running == 0 && idleSlots.size() == slots.size() && !more) break;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            Slot* slot = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE,
                              reinterpret_cast<char**>(&slot));
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - slot->started).count();
            long code = 0;
            long connects = 0;
            curl_easy_getinfo(slot->easy, CURLINFO_RESPONSE_CODE, &code);
            curl_easy_getinfo(slot->easy, CURLINFO_NUM_CONNECTS, &connects);
            tally.connects += connects;
            curl_off_t connectUs = 0;
            curl_off_t handshakeUs = 0;
            curl_easy_getinfo(slot->easy, CURLINFO_CONNECT_TIME_T, &connectUs);
            curl_easy_getinfo(slot->easy, CURLINFO_APPCONNECT_TIME_T, &handshakeUs);
            if (connects > 0 && connectUs > 0) {
                tally.connectMs.push_back(static_cast<double>(connectUs) / 1000);
                if (handshakeUs >= connectUs)
                    tally.handshakeMs.push_back(static_cast<double>(handshakeUs - connectUs) /
                                                1000);
            }
            ++tally.uploads;
            // Failed uploads count at the time they failed: a server that
            // stalls shows as its time-out in the tail, not as a gap.
            tally.latencyMs.push_back(ms);
            if (message->data.result != CURLE_OK) {
                ++tally.errors["curl_" + std::to_string(message->data.result)];
            } else {
                ++tally.status[std::to_string(code)];
                if (code >= 200 && code < 300) {
                    ++tally.okUploads;
                    tally.okEvents += slot->upload.events;
                    CountAnswer(slot->answer, tally);
                    if (options.resendFraction > 0) {
                        sent.push_back(slot->upload);
                        if (sent.size() > kResendPool) sent.pop_front();
                    }
                }
            }
            curl_multi_remove_handle(multi, slot->easy);
            idleSlots.push_back(slot);
        }
        if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    tally::fleet::HeldCounts heldAtEnd;
    if (holders) {
        heldAtEnd = holders->Counts();
        holders->Stop();
    }
    for (Slot& slot : slots) {
        curl_easy_cleanup(slot.easy);
        curl_slist_free_all(slot.headers);
    }
    curl_multi_cleanup(multi);
    curl_global_cleanup();

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::cout << Json::writeString(writer,
                                   Report(options, tally, seconds, holders ? &heldAtStart : nullptr,
                                          holders ? &heldAtEnd : nullptr, flood.get()))
              << std::endl;
    // A run where nothing got through is a failed run, so a script notices.
    return uploadsWanted && tally.okUploads == 0 ? 1 : 0;
}
