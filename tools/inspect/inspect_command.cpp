#include "inspect_command.h"

#include <cerrno>
#include <cstdlib>

#include "tally_version.h"

namespace tally {
namespace inspect {

namespace {

const char kUsage[] =
    "Usage: tally-inspect [--db PATH] [--ledger PATH] [--event SEQ]... [--json]\n"
    "\n"
    "Shows what the analytics library stored (events, batches, evictions and\n"
    "rejections) and the service's ledger of report times, decoded.\n"
    "\n"
    "  --db PATH      the analytics database (config/qx.db in the analytics data folder)\n"
    "  --ledger PATH  the service's ledger (log/orvel.ini in the product's data folder)\n"
    "  --event SEQ    also show that event's payload, pretty-printed; may be repeated\n"
    "                 (with --json: show only those events)\n"
    "  --json         machine-readable output\n"
    "  --help         this text\n"
    "  --version      the version of TallyService this program belongs to\n"
    "\n"
    "At least one of --db and --ledger is needed. Exit status: 0 shown, 1 bad usage,\n"
    "2 a file is missing, 3 a file is not what it should be or cannot be read,\n"
    "4 no stored event has that sequence number.\n";

int ExitFor(ReadResult result) {
    return result == ReadResult::Missing ? kExitMissing : kExitForeign;
}

bool ParseSeq(const std::string& text, int64_t* seq) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0) return false;
    *seq = value;
    return true;
}

}  // namespace

int RunInspect(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
               const TimeFormatter& formatTime) {
    std::string dbPath;
    std::string ledgerPath;
    std::vector<int64_t> eventSeqs;
    bool json = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        bool takesValue = arg == "--db" || arg == "--ledger" || arg == "--event";
        if (arg == "--help" || arg == "-h") {
            out << kUsage;
            return kExitOk;
        }
        if (arg == "--version") {
            out << "tally-inspect " << TALLY_VERSION << "\n";
            return kExitOk;
        }
        if (arg == "--json") {
            json = true;
            continue;
        }
        if (!takesValue) {
            err << "tally-inspect: unknown argument \"" << arg << "\"\n\n" << kUsage;
            return kExitUsage;
        }
        if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
            err << "tally-inspect: " << arg << " needs a value\n";
            return kExitUsage;
        }
        const std::string& value = arguments[++i];
        if (arg == "--db") {
            dbPath = value;
        } else if (arg == "--ledger") {
            ledgerPath = value;
        } else {
            int64_t seq = 0;
            if (!ParseSeq(value, &seq)) {
                err << "tally-inspect: --event needs a sequence number, not \"" << value << "\"\n";
                return kExitUsage;
            }
            eventSeqs.push_back(seq);
        }
    }
    if (dbPath.empty() && ledgerPath.empty()) {
        err << "tally-inspect: name a database (--db) or a ledger (--ledger)\n\n" << kUsage;
        return kExitUsage;
    }
    if (!eventSeqs.empty() && dbPath.empty()) {
        err << "tally-inspect: --event needs --db\n";
        return kExitUsage;
    }

    StoreSnapshot store;
    LedgerSnapshot ledger;
    std::string error;
    if (!dbPath.empty()) {
        ReadResult result = ReadStore(dbPath, &store, &error);
        if (result != ReadResult::Ok) {
            err << "tally-inspect: " << error << "\n";
            return ExitFor(result);
        }
    }
    if (!ledgerPath.empty()) {
        ReadResult result = ReadLedger(ledgerPath, &ledger, &error);
        if (result != ReadResult::Ok) {
            err << "tally-inspect: " << error << "\n";
            return ExitFor(result);
        }
    }
    std::vector<const EventRow*> selected;
    for (int64_t seq : eventSeqs) {
        const EventRow* found = nullptr;
        for (const EventRow& event : store.events) {
            if (event.seq == seq) found = &event;
        }
        if (found == nullptr) {
            err << "tally-inspect: no stored event has sequence number " << seq << "\n";
            return kExitNoSuchEvent;
        }
        selected.push_back(found);
    }

    if (json) {
        Json::Value root(Json::objectValue);
        if (!dbPath.empty()) {
            Json::Value database = StoreJson(store, formatTime);
            if (!selected.empty()) {
                Json::Value events(Json::arrayValue);
                for (const EventRow* event : selected) events.append(EventJson(*event, formatTime));
                database["events"] = events;
            }
            root["database"] = database;
        }
        if (!ledgerPath.empty()) root["ledger"] = LedgerJson(ledger, formatTime);
        out << JsonText(root);
        return kExitOk;
    }
    if (!dbPath.empty()) {
        out << RenderStoreText(store, ReportOptions(), formatTime);
        for (const EventRow* event : selected) out << "\n" << RenderEventText(*event, formatTime);
    }
    if (!ledgerPath.empty()) {
        if (!dbPath.empty()) out << "\n";
        out << RenderLedgerText(ledger, formatTime);
    }
    return kExitOk;
}

}  // namespace inspect
}  // namespace tally
