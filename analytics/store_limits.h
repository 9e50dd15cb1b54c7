// The caps on stored events: how many and how many bytes the database keeps
// before it evicts the oldest events. Defaults below; each can be changed
// through the environment of the host process, read at every ReportInit.
#ifndef TALLYSERVICE_ANALYTICS_STORE_LIMITS_H_
#define TALLYSERVICE_ANALYTICS_STORE_LIMITS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tally {

// Environment knobs.
constexpr const char kEnvMaxEvents[] = "TALLY_MAX_EVENTS";
constexpr const char kEnvMaxBytes[] = "TALLY_MAX_BYTES";

// Ten thousand events is several months of the service's daily traffic.
constexpr int64_t kDefaultMaxEvents = 10000;
constexpr int64_t kMinMaxEvents = 1;
constexpr int64_t kMaxMaxEvents = 10000000;
// 8 MiB holds the default count of typical (600-byte) events with room over.
constexpr int64_t kDefaultMaxBytes = 8 * 1024 * 1024;
// One event is at most 63 + 2047 bytes, so a cap below 4 KiB could not hold
// even the event being stored.
constexpr int64_t kMinMaxBytes = 4096;
constexpr int64_t kMaxMaxBytes = int64_t{1} << 40;

// Events that wait in memory while another process holds the database's write
// lock. Past this the oldest waiting event is dropped and counted as evicted.
constexpr size_t kMaxHeldEvents = 1000;

struct StoreLimits {
    int64_t maxEvents = kDefaultMaxEvents;
    int64_t maxBytes = kDefaultMaxBytes;
};

// Parses a knob's value: a whole decimal number (surrounding blanks allowed)
// from `min` to `max`. Answers false, leaving `value` alone, otherwise.
bool ParseLimit(const char* text, int64_t min, int64_t max, int64_t* value);

// The caps from the environment; an unset knob keeps its default, and a knob
// that does not parse keeps it too and adds a line to `warnings`.
StoreLimits LimitsFromEnvironment(std::vector<std::string>* warnings);

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_STORE_LIMITS_H_
