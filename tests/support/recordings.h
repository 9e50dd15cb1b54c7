// Readers of what the stand-in libraries recorded: the analytics stand-in's
// binary call log (TALLY_STANDIN_LOG) and the journal stand-in's lines
// (JOURNAL_LOG_FILE). Both files may be read while a process still writes
// them; a record or line cut short at the end is left for the next read.
#ifndef TALLYSERVICE_TESTS_SUPPORT_RECORDINGS_H_
#define TALLYSERVICE_TESTS_SUPPORT_RECORDINGS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "TallyApi.h"
#include "TallyService.h"

namespace tally {
namespace testing {

// One call that the analytics stand-in received.
struct StandinCall {
    enum class Kind { Init, Event, Submit, Consent };
    Kind kind = Kind::Submit;
    uint64_t thread = 0;    // the system's id of the calling thread
    int32_t consent = -1;   // what ReportSetConsent received (Kind::Consent)
    ReportConfig config{};  // the record ReportInit received (Kind::Init)
    ReportData event{};     // the record ReportOnEvent received (Kind::Event)

    // The event's name and payload up to their NULs (Kind::Event).
    std::string EventName() const;
    std::string EventData() const;
};

// The text of a fixed-width field up to its first NUL.
std::string FieldText(const char* field, size_t width);

// Every complete call recorded in `path`, oldest first; none when the file is
// missing. A malformed record ends the reading and is described in `*error`.
std::vector<StandinCall> ReadStandinCalls(const std::filesystem::path& path,
                                          std::string* error = nullptr);

// The calls recorded so far in the stand-in's file named by TALLY_STANDIN_LOG,
// as a scenario reads them while it runs.
std::vector<StandinCall> ReadOwnStandinCalls();

// The ReportOnEvent calls among `calls`, in order.
std::vector<const StandinCall*> EventCalls(const std::vector<StandinCall>& calls);

// Waits, polling the stand-in's file named by TALLY_STANDIN_LOG, until it
// holds at least `count` ReportOnEvent calls. Answers whether it got there
// within `timeout`; `*seen` (if given) receives the last count read.
bool WaitForStandinEvents(size_t count, std::chrono::milliseconds timeout, size_t* seen = nullptr);

// One journal line: timestamp, module, severity, function, line, flag and
// message, tab-separated.
struct JournalLine {
    std::string timestamp;
    int module = 0;
    int severity = 0;
    std::string function;
    int line = 0;
    bool flag = false;
    std::string message;  // bytes as the service passed them
};

// Every complete line of the journal file at `path`; none when it is missing.
std::vector<JournalLine> ReadJournal(const std::filesystem::path& path);

// Leaves `value` under `key` for the parent (ScenarioResult::Note) in
// notes.txt beside the running program. Values must not hold line breaks.
void WriteNote(const std::string& key, const std::string& value);

// Creates a new empty folder under the system's temporary folder, named
// `prefix`, a random number and `suffix` (UTF-8). Empty, with the reason in
// `*error`, when it cannot.
std::filesystem::path MakeFreshFolder(const std::string& prefix, const std::string& suffix,
                                      std::string* error);

// Reads a whole file as bytes; empty when it is missing or not a file.
std::string ReadFileBytes(const std::filesystem::path& path);
// Replaces the file's contents with `bytes`; answers whether that worked.
bool WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

}  // namespace testing
}  // namespace tally

#endif  // TALLYSERVICE_TESTS_SUPPORT_RECORDINGS_H_
