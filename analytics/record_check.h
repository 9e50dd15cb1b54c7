// Validation of what crosses the boundary into the analytics library: the
// configuration record and event records. Pure functions; thread-safe.
#ifndef TALLYSERVICE_ANALYTICS_RECORD_CHECK_H_
#define TALLYSERVICE_ANALYTICS_RECORD_CHECK_H_

#include <cstddef>
#include <string>

#include "TallyApi.h"

namespace tally {

// The text of a fixed-width field up to its terminating NUL. Answers false,
// leaving `text` alone, when no NUL lies within `width` bytes.
bool FieldText(const char* field, size_t width, std::string* text);

// The name of the first text field of `config` that has no NUL within its
// width ("appid", "dbPath", ...), or an empty string when every field is
// terminated.
std::string FindUnterminatedConfigField(const ReportConfig& config);

// Why an event record was refused.
enum class RecordProblem {
    None,
    NullRecord,
    UnterminatedName,
    EmptyName,
    BadNameCharacter,  // a control character in the event name
    UnterminatedPayload,
    EmptyPayload,
    PayloadNotJson,    // does not parse as strict JSON (or nests too deep)
    PayloadNotObject,  // valid JSON, but not an object
};

// Short stable name of a problem, used in the log and as the counter suffix
// ("unterminated_name", "payload_not_json", ...). "none" for None.
const char* RecordProblemName(RecordProblem problem);

// Copies the two texts out of `record` (the caller reuses its buffer) and
// checks them: each NUL-terminated within its field and not empty, the name
// free of control characters, the payload one strict JSON object (no
// comments, no trailing text, no duplicate keys, at most 64 levels deep).
// On a problem `detail` may say more (the parser's message); `name` holds
// whatever could be copied, for the log.
RecordProblem CopyAndCheckRecord(const ReportData& record, std::string* name, std::string* payload,
                                 std::string* detail);

// `text` made safe for one log line: control bytes become '?', and it is
// cut to `maxBytes` with "..." appended when longer.
std::string Printable(const std::string& text, size_t maxBytes);

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_RECORD_CHECK_H_
