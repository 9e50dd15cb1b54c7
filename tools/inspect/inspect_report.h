// Turning what store_reader.h read into text for a person or into JSON for
// a program. Times are rendered through a formatter so that callers choose
// the zone (the inspector uses the local one; tests use UTC).
#ifndef TALLYSERVICE_TOOLS_INSPECT_INSPECT_REPORT_H_
#define TALLYSERVICE_TOOLS_INSPECT_INSPECT_REPORT_H_

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store_reader.h"

namespace tally {
namespace inspect {

// Milliseconds since 1970-01-01 UTC as "YYYY-MM-DD HH:MM:SS".
using TimeFormatter = std::function<std::string(int64_t ms)>;

// The formatter for the local time zone.
std::string LocalTimeText(int64_t ms);
// The formatter for UTC.
std::string UtcTimeText(int64_t ms);

// What the ledger keys mean.
enum class LedgerKind { Date, Instant, Other };
LedgerKind KindOfLedgerKey(const std::string& key);

// A ledger value decoded: "never" for 0; a date as "YYYY-MM-DD"; an instant
// as time text; anything else as the number.
std::string DecodeLedgerValue(const std::string& key, uint64_t value,
                              const TimeFormatter& formatTime);

struct ReportOptions {
    // Only events with a greater sequence number go into the table.
    int64_t afterSeq = 0;
};

// The store for a person: summary, events table, counts per name, batches,
// evictions and rejections.
std::string RenderStoreText(const StoreSnapshot& store, const ReportOptions& options,
                            const TimeFormatter& formatTime);

// One event with its payload pretty-printed (the payload as stored when it
// does not parse).
std::string RenderEventText(const EventRow& event, const TimeFormatter& formatTime);

// The ledger for a person: the four keys the service uses (missing ones read
// as "never"), then any other key of the section.
std::string RenderLedgerText(const LedgerSnapshot& ledger, const TimeFormatter& formatTime);

// The same as JSON values (payloads as parsed objects).
Json::Value StoreJson(const StoreSnapshot& store, const TimeFormatter& formatTime);
Json::Value EventJson(const EventRow& event, const TimeFormatter& formatTime);
Json::Value LedgerJson(const LedgerSnapshot& ledger, const TimeFormatter& formatTime);

// A JSON value as indented text ending in a newline.
std::string JsonText(const Json::Value& value);

}  // namespace inspect
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_INSPECT_INSPECT_REPORT_H_
