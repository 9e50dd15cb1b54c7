// tally-collector: a reference collector for uploads of the analytics
// library, for tests, the demo and backend developers. See docs/collector.md.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "collector_pki.h"
#include "collector_request.h"
#include "collector_server.h"
#include "config.h"
#include "dashboard.h"
#include "store.h"

namespace {

namespace fs = std::filesystem;
using namespace tally::collector;

const char* const kUsage = R"(Usage: tally-collector [serve] [options]
       tally-collector show [--state DIR | --store URI] [--events N]
       tally-collector report --out FILE.html [--state DIR | --store URI]
                              [--from YYYY-MM-DD] [--to YYYY-MM-DD]
       tally-collector export-ca [--state DIR] FILE

serve (the default) listens for POST /v1/batches over HTTPS and stores what
arrives in DIR/collector.db, or in PostgreSQL with --store. At first start it
makes its own CA (DIR/ca.pem) and certificates. The ports in use are written
to DIR/ports.json.
  --config FILE          settings as `name = value` lines, names as these flags
                         (without --); a flag given here overrides the file
  --state DIR            state folder (default ./tally-collector-state)
  --store URI            postgresql://... : store in PostgreSQL (default: DIR/collector.db)
  --retention-days N     keep batches of the last N days by the client's clock (default 0: all)
  --store-wait-ms MS     longest wait for the database before answering 503 (default 5000)
  --store-connections N  PostgreSQL connections at most (default 4)
  --store-transactions N upload transactions at once, within those (default 2)
  --unavailable-retry-after S  Retry-After of that 503 (default 60)
  --listen ADDR          address of the HTTPS port (default 127.0.0.1)
  --port N               HTTPS port (default 18443; 0 = any free port)
  --admin-port N         operator port: /healthz, /readyz, /metrics, /dashboard
                         (default none; 0 = any)
  --admin-listen ADDR    address of the operator port (default 127.0.0.1)
  --cert-file FILE       serve this PEM certificate (intermediates after it) ...
  --key-file FILE        ... with this PEM key, instead of the own CA's
  --threads N            store calls at once: the HTTPS port's workers (default 8)
  --io-threads N         threads carrying the HTTPS port's connections (default 2)
  --max-connections N    open HTTPS connections at most; past it one is closed at
                         accept (default 10000)
  --max-head-bytes N     request line and headers at most, else 431 (default 16384)
  --head-timeout-ms MS   TLS handshake and request head from accept or from the
                         first byte of a kept-alive request, else 408 (default 10000)
  --body-timeout-ms MS   the whole body, else 408 (default 15000)
  --idle-timeout-ms MS   a kept-alive connection waits this long (default 5000)
  --rate-limit N         requests per second per client address, else 429 (default
                         20; 0 = no limit) ...
  --rate-burst N         ... with bursts of N (default 40)
  --rate-sources N       addresses the rate limit remembers (default 10000)
  --read-timeout-ms MS   per read on the control port (default 5000)
  --export-ca FILE       copy the CA certificate to FILE after start-up
For tests only:
  --test-mode            open the control port and allow the failure modes below
  --control-port N       plain-HTTP control port on 127.0.0.1 (default 18444; 0 = any);
                         without --test-mode no control port is opened
  --fail STATUS[:N]      answer STATUS to the next N upload requests (default N 1)
  --retry-after S        with --fail: send Retry-After: S
  --delay MS             wait MS before every answer (after storing)
  --drop N               store, then close the next N connections unanswered
  --cert MODE            good | other-ca | self-signed | wrong-name
  --clock-offset-days N  run the collector's clock N days ahead (negative: behind)
show lists the stored batches, events (first N, default 50) and the request log.
report writes the fleet report, one HTML page drawn from the daily rollups, of
the days held (or from/to, both included). See docs/dashboard.md.
export-ca copies the CA certificate clients must trust to FILE.
)";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "tally-collector: %s\n%s", problem.c_str(), kUsage);
    return 1;
}

bool Number(const std::string& text, long long low, long long high, long long* out) {
    if (text.empty() || text.size() > 12) return false;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

bool EnsureCa(const fs::path& folder, std::string* error) {
    std::array<Leaf, kCertModes> leaves;
    std::error_code ec;
    fs::create_directories(folder, ec);
    return LoadOrCreatePki(folder, &leaves, error);
}

bool ExportCa(const fs::path& folder, const fs::path& target, std::string* error) {
    if (!EnsureCa(folder, error)) return false;
    std::error_code ec;
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    fs::copy_file(CaFile(folder), target, fs::copy_options::overwrite_existing, ec);
    if (ec) *error = "cannot copy the CA to " + target.string() + ": " + ec.message();
    return !ec;
}

// Written beside the target and renamed over it, so a reader never sees half a page.
int WriteReport(tally::server::Store* store, const tally::server::RollupQuery& range,
                const fs::path& target, std::string error) {
    std::string page;
    if (!store || !tally::report::BuildDashboard(*store, range, &page, &error)) {
        std::fprintf(stderr, "tally-collector: cannot read the rollups: %s\n",
                     Printable(error).c_str());
        return 2;
    }
    std::error_code ec;
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    const fs::path partial = target.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << page;
        out.close();
        if (!out) {
            std::fprintf(stderr, "tally-collector: cannot write %s\n", partial.c_str());
            fs::remove(partial, ec);
            return 2;
        }
    }
    fs::rename(partial, target, ec);
    if (ec) {
        std::fprintf(stderr, "tally-collector: cannot write %s: %s\n", target.c_str(),
                     ec.message().c_str());
        fs::remove(partial, ec);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string command = "serve";
    if (!args.empty() && (args[0] == "serve" || args[0] == "show" || args[0] == "report" ||
                          args[0] == "export-ca")) {
        command = args[0];
        args.erase(args.begin());
    }
    ServerOptions options;
    options.stateFolder = "tally-collector-state";
    fs::path exportCa;
    long long events = 50;
    long long clockOffsetDays = 0;
    fs::path reportFile;
    tally::server::RollupQuery reportRange;
    std::vector<std::string> positional;
    std::string failureOption;         // the first failure mode asked for
    std::vector<std::string> origins;  // where a setting of the config file came from
    std::string configError;
    if (!tally::app::ExpandConfig(&args, &origins, &configError)) return Usage(configError);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--test-mode") {
            options.testMode = true;
            continue;
        }
        if (failureOption.empty() &&
            (arg == "--fail" || arg == "--retry-after" || arg == "--delay" || arg == "--drop" ||
             arg == "--cert" || arg == "--clock-offset-days")) {
            failureOption = arg;
        }
        if (arg.compare(0, 2, "--") != 0) {
            positional.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size()) return Usage(arg + " needs a value");
        const std::string value = args[++i];
        long long number = 0;
        if (arg == "--state") {
            options.stateFolder = value;
        } else if (arg == "--store") {
            options.store = value;
        } else if (arg == "--retention-days" && Number(value, 0, 1000000, &number)) {
            options.storeOptions.retentionDays = static_cast<int>(number);
        } else if (arg == "--store-wait-ms" && Number(value, 1, 600000, &number)) {
            options.storeOptions.waitMs = static_cast<int>(number);
        } else if (arg == "--store-connections" && Number(value, 1, 256, &number)) {
            options.storeOptions.connections = static_cast<int>(number);
        } else if (arg == "--store-transactions" && Number(value, 1, 256, &number)) {
            options.storeOptions.transactions = static_cast<int>(number);
        } else if (arg == "--unavailable-retry-after" && Number(value, 1, 86400, &number)) {
            options.unavailableRetryAfterS = static_cast<int>(number);
        } else if (arg == "--admin-port" && Number(value, 0, 65535, &number)) {
            options.adminPort = static_cast<int>(number);
        } else if (arg == "--admin-listen") {
            options.adminListen = value;
        } else if (arg == "--cert-file") {
            options.certFile = value;
        } else if (arg == "--key-file") {
            options.keyFile = value;
        } else if (arg == "--listen") {
            options.listen = value;
        } else if (arg == "--port" && Number(value, 0, 65535, &number)) {
            options.port = static_cast<int>(number);
        } else if (arg == "--control-port" && Number(value, 0, 65535, &number)) {
            options.controlPort = static_cast<int>(number);
        } else if (arg == "--threads" && Number(value, 1, 256, &number)) {
            options.threads = static_cast<int>(number);
        } else if (arg == "--read-timeout-ms" && Number(value, 1, 600000, &number)) {
            options.readTimeoutMs = static_cast<int>(number);
        } else if (arg == "--io-threads" && Number(value, 1, 64, &number)) {
            options.front.ioThreads = static_cast<int>(number);
        } else if (arg == "--max-connections" && Number(value, 1, 1000000, &number)) {
            options.front.maxConnections = static_cast<int>(number);
        } else if (arg == "--max-head-bytes" && Number(value, 1024, 1048576, &number)) {
            options.front.headBytes = static_cast<size_t>(number);
        } else if (arg == "--head-timeout-ms" && Number(value, 1, 600000, &number)) {
            options.front.headTimeoutMs = number;
        } else if (arg == "--body-timeout-ms" && Number(value, 1, 600000, &number)) {
            options.front.bodyTimeoutMs = number;
        } else if (arg == "--idle-timeout-ms" && Number(value, 1, 600000, &number)) {
            options.front.idleTimeoutMs = number;
        } else if (arg == "--rate-limit" && Number(value, 0, 1000000, &number)) {
            options.front.ratePerSecond = static_cast<double>(number);
        } else if (arg == "--rate-burst" && Number(value, 1, 1000000, &number)) {
            options.front.rateBurst = static_cast<double>(number);
        } else if (arg == "--rate-sources" && Number(value, 1, 10000000, &number)) {
            options.front.rateSources = static_cast<size_t>(number);
        } else if (arg == "--fail") {
            const size_t colon = value.find(':');
            long long count = 1;
            if (!Number(value.substr(0, colon), 400, 599, &number) ||
                (colon != std::string::npos &&
                 !Number(value.substr(colon + 1), 0, 1000000, &count))) {
                return Usage("--fail needs STATUS[:COUNT] with a 4xx or 5xx status");
            }
            options.modes.failStatus = static_cast<int>(number);
            options.modes.failCount = static_cast<int>(count);
        } else if (arg == "--retry-after" && Number(value, 0, 86400 * 10, &number)) {
            options.modes.retryAfterS = static_cast<int>(number);
        } else if (arg == "--delay" && Number(value, 0, 3600000, &number)) {
            options.modes.delayMs = number;
        } else if (arg == "--drop" && Number(value, 0, 1000000, &number)) {
            options.modes.dropCount = static_cast<int>(number);
        } else if (arg == "--cert") {
            if (!ParseCertMode(value, &options.modes.cert)) {
                return Usage("--cert must be good, other-ca, self-signed or wrong-name");
            }
        } else if (arg == "--clock-offset-days" && Number(value, -36500, 36500, &number)) {
            clockOffsetDays = number;
        } else if (arg == "--export-ca") {
            exportCa = value;
        } else if (arg == "--events" && Number(value, 0, 1000000000, &number)) {
            events = number;
        } else if (arg == "--out") {
            reportFile = value;
        } else if (arg == "--from" && tally::report::IsDay(value)) {
            reportRange.fromDay = value;
        } else if (arg == "--to" && tally::report::IsDay(value)) {
            reportRange.toDay = value;
        } else {
            return Usage(origins[i] + "bad option or value: " + arg + " " + value);
        }
    }

    if (!failureOption.empty() && !options.testMode) {
        return Usage(failureOption + " is a failure mode for tests: it needs --test-mode");
    }
    tally::collector::SetWallClockOffsetMs(clockOffsetDays * 24 * 60 * 60 * 1000);

    std::string error;
    if (command == "export-ca") {
        if (positional.size() != 1) return Usage("export-ca needs one FILE");
        if (!ExportCa(options.stateFolder, positional[0], &error)) {
            std::fprintf(stderr, "tally-collector: %s\n", error.c_str());
            return 2;
        }
        return 0;
    }
    if (!positional.empty()) return Usage("unexpected argument " + positional[0]);
    if (options.certFile.empty() != options.keyFile.empty()) {
        return Usage("--cert-file and --key-file go together");
    }
    if (command == "show" || command == "report") {
        if (command == "report" && reportFile.empty()) return Usage("report needs --out FILE");
        if (!reportRange.fromDay.empty() && !reportRange.toDay.empty() &&
            reportRange.fromDay > reportRange.toDay) {
            return Usage("--from must not be later than --to");
        }
        std::string location = options.store;
        if (location.empty()) {
            location = DatabaseFile(options.stateFolder).string();
            std::error_code ec;
            if (!fs::is_regular_file(location, ec)) {
                std::fprintf(stderr, "tally-collector: no collector database at %s\n",
                             location.c_str());
                return 2;
            }
        }
        const std::unique_ptr<tally::server::Store> store =
            tally::server::OpenStore(location, options.storeOptions, &error);
        if (command == "report") return WriteReport(store.get(), reportRange, reportFile, error);
        std::ostringstream shown;
        if (!store || !store->Show(shown, static_cast<int>(events), &error)) {
            std::fprintf(stderr, "tally-collector: %s\n", Printable(error).c_str());
            return 2;
        }
        // What clients sent (event names, keys, payloads) may hold control
        // characters: a terminal shows them escaped, one line per row.
        std::istringstream lines(shown.str());
        for (std::string line; std::getline(lines, line);) std::cout << Printable(line) << "\n";
        return 0;
    }
    if (!exportCa.empty() && !ExportCa(options.stateFolder, exportCa, &error)) {
        std::fprintf(stderr, "tally-collector: %s\n", error.c_str());
        return 2;
    }
    return RunServer(options);
}
