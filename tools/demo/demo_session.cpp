#include "demo_session.h"

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "AmbitWrapper.h"
#include "TallyService.h"
#include "demo_platform.h"
#include "inspect_report.h"
#include "store_reader.h"
#include "tally_version.h"

namespace tally {
namespace demo {

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "Usage: tally-demo [--reset] [--dir FOLDER] [--upload-to HOST:PORT]\n"
    "\n"
    "Plays a short desktop-client session against TallyService with the reference\n"
    "analytics library beside this program, waits until the library has stored\n"
    "every event, and shows what it stored and the service's ledger. Run it twice\n"
    "on one day to see the throttles: the second run makes no device report and\n"
    "holds back the heartbeat and the failed connection (twelve-hour rule).\n"
    "\n"
    "  --reset       start from an empty demo folder\n"
    "  --dir FOLDER  the demo folder (default: " TALLY_DEMO_DIR
    ")\n"
    "  --upload-to HOST:PORT\n"
    "                a running tally-collector whose CA was exported to\n"
    "                config/qx_cacert.pem beside this program: the demo writes\n"
    "                config/orvel.ini for it (tally_domain), tops the session up to\n"
    "                ten reports so that the service asks the library to send, and\n"
    "                waits until the library has uploaded and deleted them. Without\n"
    "                it config/orvel.ini names no server and nothing is sent\n"
    "  --help        this text\n"
    "  --version     the version of TallyService this program belongs to\n"
    "\n"
    "The host libraries' settings, the journal, the ledger and the analytics log\n"
    "all live in the demo folder. On Linux the analytics database does too; on\n"
    "Windows the service keeps it in the user's local application data folder\n"
    "(under Wine: the Wine user's), which --reset leaves alone.\n";

// How long the analytics library gets to store the session's events, and
// to upload them.
constexpr std::chrono::seconds kStoreWait(20);
constexpr std::chrono::seconds kUploadWait(30);

// The service asks the library to send after every tenth report.
constexpr int64_t kReportsPerSubmit = 10;

const char kConnectTimer[] = "device_connect_duration";

// One line per step; on a terminal the same line is redrawn.
class Progress {
  public:
    Progress(int total, bool terminal) : m_total(total), m_terminal(terminal) {}

    void Step(const std::string& text) {
        ++m_index;
        m_text = "[" + std::to_string(m_index) + "/" + std::to_string(m_total) + "] " + text;
        Draw(m_text);
    }
    void Result(const std::string& result) {
        if (m_terminal) {
            Draw(m_text + ": " + result);
        } else {
            std::cout << "      " << result << "\n";
        }
    }
    // The number of the step under way.
    int Index() const { return m_index; }
    void Finish() {
        if (m_terminal) std::cout << "\n";
        std::cout.flush();
    }

  private:
    void Draw(const std::string& line) {
        if (m_terminal) {
            std::string padded = line;
            if (padded.size() < m_width) padded.append(m_width - padded.size(), ' ');
            m_width = line.size();
            std::cout << "\r" << padded << std::flush;
        } else {
            std::cout << line << "\n" << std::flush;
        }
    }

    int m_total;
    bool m_terminal;
    int m_index = 0;
    size_t m_width = 0;
    std::string m_text;
};

// What kind of report a stored event is, for the session summary.
enum class Kind { DeviceInfo, SyncApp, Heartbeat, RemoteFailed, RemoteSucceeded, Other };

Kind KindOf(const inspect::EventRow& event) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value payload;
    std::string errors;
    reader->parse(event.payload.data(), event.payload.data() + event.payload.size(), &payload,
                  &errors);
    if (!payload.isObject()) return Kind::Other;
    if (event.name == "user_device_info") {
        int type = payload["device_type"].isInt() ? payload["device_type"].asInt() : 0;
        return type == 7 ? Kind::DeviceInfo : type == 4 ? Kind::SyncApp : Kind::Other;
    }
    if (event.name == "storage_heartbeat_fail_reconnect") return Kind::Heartbeat;
    if (event.name == "device_remote_connect") {
        return payload["is_success"].asString() == "true" ? Kind::RemoteSucceeded
                                                          : Kind::RemoteFailed;
    }
    return Kind::Other;
}

int64_t LastSeq(const fs::path& db) {
    inspect::StoreSnapshot store;
    std::string error;
    if (inspect::ReadStore(db.u8string(), &store, &error) != inspect::ReadResult::Ok) return 0;
    // Uploaded events are deleted; their batches keep the sequence numbers.
    int64_t last = store.events.empty() ? 0 : store.events.back().seq;
    for (const inspect::BatchRow& batch : store.batches) last = std::max(last, batch.lastSeq);
    return last;
}

// The session's last report is the one that is never throttled: once it is
// stored, every earlier one is (the service delivers in order on one thread).
bool WaitForSession(const fs::path& db, int64_t afterSeq, inspect::StoreSnapshot* store) {
    auto deadline = std::chrono::steady_clock::now() + kStoreWait;
    for (;;) {
        std::string error;
        if (inspect::ReadStore(db.u8string(), store, &error) == inspect::ReadResult::Ok) {
            for (const inspect::EventRow& event : store->events) {
                if (event.seq > afterSeq && KindOf(event) == Kind::RemoteSucceeded) return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Uploaded: none of the events after `afterSeq` is left in the store, and
// every batch that took some of them was sent.
bool WaitForUpload(const fs::path& db, int64_t afterSeq, inspect::StoreSnapshot* store) {
    auto deadline = std::chrono::steady_clock::now() + kUploadWait;
    for (;;) {
        std::string error;
        if (inspect::ReadStore(db.u8string(), store, &error) == inspect::ReadResult::Ok) {
            bool left = false;
            int sent = 0;
            for (const inspect::EventRow& event : store->events)
                left = left || event.seq > afterSeq;
            for (const inspect::BatchRow& batch : store->batches) {
                if (batch.lastSeq <= afterSeq) continue;
                left = left || batch.state != "sent";
                ++sent;
            }
            if (!left && sent > 0) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// config/orvel.ini beside the program, as the product's installer leaves it:
// the server the service hands to the library ("" for none).
bool WriteServiceConfig(const std::string& domain) {
    std::error_code ec;
    const fs::path config = ProgramFolder() / "config";
    fs::create_directories(config, ec);
    std::ofstream file(config / "orvel.ini", std::ios::binary | std::ios::trunc);
    file << "[report]\r\ntally_domain=" << domain << "\r\n";
    return static_cast<bool>(file);
}

std::string LedgerValue(const inspect::LedgerSnapshot& ledger, const std::string& key) {
    for (const auto& entry : ledger.entries) {
        if (entry.first == key) {
            return inspect::DecodeLedgerValue(key, inspect::LedgerNumber(entry.second),
                                              inspect::LocalTimeText);
        }
    }
    return "never";
}

}  // namespace

int RunDemo(const std::vector<std::string>& arguments) {
    bool reset = false;
    std::string uploadTo;
    fs::path folder = fs::u8path(TALLY_DEMO_DIR);
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--help" || arguments[i] == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arguments[i] == "--version") {
            std::cout << "tally-demo " << TALLY_VERSION << "\n";
            return 0;
        } else if (arguments[i] == "--reset") {
            reset = true;
        } else if (arguments[i] == "--upload-to" && i + 1 < arguments.size() &&
                   !arguments[i + 1].empty()) {
            uploadTo = arguments[++i];
        } else if (arguments[i] == "--dir" && i + 1 < arguments.size() &&
                   !arguments[i + 1].empty()) {
            folder = fs::u8path(arguments[++i]);
        } else {
            std::cerr << "tally-demo: unknown argument \"" << arguments[i] << "\"\n\n" << kUsage;
            return 1;
        }
    }
    std::error_code ec;
    folder = fs::absolute(folder, ec);
    if (reset) {
        fs::remove_all(folder, ec);
        if (ec) {
            std::cerr << "tally-demo: cannot empty " << folder.u8string() << ": " << ec.message()
                      << "\n";
            return 1;
        }
    }
    fs::create_directories(folder, ec);
    if (ec) {
        std::cerr << "tally-demo: cannot create " << folder.u8string() << ": " << ec.message()
                  << "\n";
        return 1;
    }

    const fs::path caFile = ProgramFolder() / "config" / "qx_cacert.pem";
    if (!uploadTo.empty() && !fs::is_regular_file(caFile, ec)) {
        std::cerr << "tally-demo: no CA file " << caFile.u8string()
                  << "; export the collector's first (tally-collector export-ca)\n";
        return 1;
    }
    if (!WriteServiceConfig(uploadTo)) {
        std::cerr << "tally-demo: cannot write config/orvel.ini beside the program\n";
        return 1;
    }
    if (!uploadTo.empty()) {
        // A schedule of seconds instead of minutes, read at the library's start.
        SetVariable("TALLY_UPLOAD_PACE_MS", "0");
        SetVariable("TALLY_UPLOAD_BACKOFF_MS", "100,1600");
        SetVariable("TALLY_UPLOAD_TIMEOUT_MS", "5000");
    }

    // The host libraries read these on every call, so setting them before
    // the first call into the service is enough.
    const fs::path journal = folder / "journal.log";
    SetVariable("AMBIT_DATA_DIR", (folder / "Orvel").u8string());
    SetVariable("AMBIT_APP_VERSION", "3.1.0");
    SetVariable("AMBIT_USER_ID", "demo.user-0042");
    SetVariable("JOURNAL_LOG_FILE", journal.u8string());
    bool dataInDemoFolder = false;
    const fs::path appData = PrepareLocalAppData(folder, &dataInDemoFolder);
    const fs::path db = appData / "Nantel" / "Orvel" / "config" / "qx.db";
    const fs::path productData =
        fs::u8path(ToUtf8(AmbitWrapper::GetInstance()->GetAppDataLocalPath()));
    const fs::path ledgerPath = productData / "log" / "orvel.ini";
    const fs::path analyticsLog = productData / "log" / "tally.log";

    std::cout
        << "TallyService demo: a desktop-client session with the reference analytics library\n"
        << "  demo folder     " << folder.u8string() << (reset ? " (emptied)" : "") << "\n"
        << "  analytics data  " << db.u8string()
        << (dataInDemoFolder ? ""
                             : "\n                  (the user's local application data "
                               "folder; under Wine the Wine user's, outside the demo "
                               "folder)")
        << "\n"
        << "  upload          "
        << (uploadTo.empty() ? std::string("off (no --upload-to)")
                             : "https://" + uploadTo + ", trusting " + caFile.u8string())
        << "\n\n";

    const int64_t startSeq = LastSeq(db);
    inspect::LedgerSnapshot ledgerBefore;
    std::string error;
    inspect::ReadLedger(ledgerPath.u8string(), &ledgerBefore, &error);

    TallyService* service = TallyService::GetInstance();
    Progress progress(uploadTo.empty() ? 9 : 11, OutputIsTerminal());
    progress.Step("Set the device id");
    service->SetDeviceUniqueId("ORV-7F3A-22C9-DEMO");
    progress.Result("ORV-7F3A-22C9-DEMO");
    progress.Step("Opt in to usage reports (loads the analytics library)");
    service->EnableImprovement(true);
    progress.Result("done");
    progress.Step("Heartbeat failed; report the reconnection");
    service->ReportHeartBeat(true, true);
    progress.Result("handed over");
    progress.Step("Start the connection timer");
    service->TimeCount(kConnectTimer, true, false);
    progress.Result("started");
    progress.Step("Connect to the device (a short pause)");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    int64_t seconds = service->TimeCount(kConnectTimer, false, false);
    progress.Result("the connection timer reads " + std::to_string(seconds) + " s");
    progress.Step("Remote connection failed; report it");
    service->ReportP2P(false, false);
    progress.Result("handed over");
    progress.Step("Sync app in use; report it");
    bool synced = service->ReportSyncAppUsing();
    progress.Result(synced ? "answered true" : "answered false");
    progress.Step("Remote connection succeeded; report it");
    service->ReportP2P(true, false);
    progress.Result("handed over");
    progress.Step("Wait for the analytics library to store the session");
    inspect::StoreSnapshot store;
    bool stored = WaitForSession(db, startSeq, &store);
    const int storedStep = progress.Index();
    progress.Result(stored ? "stored" : "timed out");
    inspect::StoreSnapshot uploaded;
    bool sentAll = false;
    int64_t topUp = 0;
    if (stored && !uploadTo.empty()) {
        int64_t reports = 0;
        for (const inspect::EventRow& event : store.events) reports += event.seq > startSeq;
        topUp = (kReportsPerSubmit - reports % kReportsPerSubmit) % kReportsPerSubmit;
        progress.Step("Connect again up to the tenth report (the service then asks to send)");
        for (int64_t i = 0; i < topUp; ++i) service->ReportP2P(true, false);
        progress.Result(std::to_string(topUp) + " more successful connections");
        progress.Step("Wait for the library to upload and delete them");
        sentAll = WaitForUpload(db, startSeq, &uploaded);
        progress.Result(sentAll ? "uploaded" : "timed out");
    }
    progress.Finish();

    if (!stored) {
        std::cout << "\nThe analytics library did not store the session's events within "
                  << kStoreWait.count() << " s.\nSee the journal " << journal.u8string()
                  << " and the analytics log " << analyticsLog.u8string() << ".\n";
        return 1;
    }

    // The snapshot was taken at the end of the storing step, before any
    // upload: say so, so that the upload's section that follows reads as what
    // happened next.
    std::cout << "\n== Step " << storedStep
              << ": what the analytics library had stored, before any upload (tally-inspect) "
                 "==\n"
              << inspect::RenderStoreText(store, inspect::ReportOptions{startSeq},
                                          inspect::LocalTimeText);
    if (!uploadTo.empty()) {
        std::cout << "\n== Steps " << storedStep + 1 << " and " << storedStep + 2 << ": " << topUp
                  << " more events, then uploaded to https://" << uploadTo << " ==\n";
        if (!sentAll) {
            std::cout << "Not everything within " << kUploadWait.count()
                      << " s; see the analytics log " << analyticsLog.u8string() << "\n";
            return 1;
        }
        for (const inspect::BatchRow& batch : uploaded.batches) {
            if (batch.lastSeq <= startSeq) continue;
            std::cout << "  batch " << batch.uuid << "  " << batch.eventCount << " events  "
                      << batch.state << " " << inspect::LocalTimeText(batch.sentMs) << "  answer "
                      << batch.lastStatus << " after " << batch.attempts
                      << (batch.attempts == 1 ? " attempt" : " attempts") << "\n";
        }
        std::cout << "  after the upload the store holds " << uploaded.events.size()
                  << " events (this session's were deleted once the server had them)\n";
    }

    inspect::LedgerSnapshot ledger;
    std::cout << "\n== The service's ledger ==\n";
    if (inspect::ReadLedger(ledgerPath.u8string(), &ledger, &error) == inspect::ReadResult::Ok) {
        std::cout << inspect::RenderLedgerText(ledger, inspect::LocalTimeText);
    } else {
        std::cout << error << "\n";
    }

    bool sent[6] = {};
    int64_t sessionEvents = 0;
    for (const inspect::EventRow& event : store.events) {
        if (event.seq <= startSeq) continue;
        ++sessionEvents;
        sent[static_cast<int>(KindOf(event))] = true;
    }
    struct Line {
        Kind kind;
        const char* what;
        std::string whyNot;
    };
    const Line lines[] = {
        {Kind::DeviceInfo, "device information (desktop client)",
         "made once a day; last made " + LedgerValue(ledgerBefore, "device_report")},
        {Kind::Heartbeat, "reconnection after a failed heartbeat",
         "at most one in 12 hours; last at " + LedgerValue(ledgerBefore, "hb_report_time")},
        {Kind::RemoteFailed, "failed remote connection",
         "at most one in 12 hours; last at " + LedgerValue(ledgerBefore, "connect_report_time")},
        {Kind::SyncApp, "sync-app usage",
         "made once a day; last made " + LedgerValue(ledgerBefore, "sync_app_report")},
        {Kind::RemoteSucceeded, "successful remote connection", ""},
    };
    std::cout << "\n== This session ==\n"
              << "  " << sessionEvents << (sessionEvents == 1 ? " event" : " events") << " stored"
              << (topUp ? ", and " + std::to_string(topUp) + " more connections" : "") << "\n";
    for (const Line& line : lines) {
        std::string what = line.what;
        what.append(40 - what.size(), ' ');
        std::cout << "  " << what
                  << (sent[static_cast<int>(line.kind)] ? "sent" : "not sent: " + line.whyNot)
                  << "\n";
    }
    std::cout << "\nFiles: journal " << journal.u8string() << "\n"
              << "       analytics log " << analyticsLog.u8string() << "\n"
              << "Inspect again with: " << InspectCommand() << " --db \"" << db.u8string()
              << "\" --ledger \"" << ledgerPath.u8string() << "\"\n";
    return 0;
}

}  // namespace demo
}  // namespace tally
