// What one event adds to the daily rollups, kept in one place so that both
// stores count alike at ingest and take back exactly the same share when an
// installation is deleted.
#ifndef TALLYSERVICE_SERVER_STORE_ROLLUP_SHARE_H_
#define TALLYSERVICE_SERVER_STORE_ROLLUP_SHARE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

#include "collector_request.h"
#include "store.h"

namespace tally {
namespace server {

// day (YYYY-MM-DD), app version, measure, key. A map orders them, so every
// transaction updates rollup rows in the same order and two never wait for
// each other crosswise.
// Transparent comparison: an event's cells are looked up without copying its
// strings, and copied only the first time a request meets them.
using RollupCell = std::tuple<std::string, std::string, std::string, std::string>;
using RollupDeltas = std::map<RollupCell, int64_t, std::less<>>;
// day, app version, installation id
using InstallationDays = std::set<std::tuple<std::string, std::string, std::string>, std::less<>>;

// Adds `sign` (1 at ingest, -1 at deletion) for one event to `deltas`, on the
// day of the event by the client's clock. When `installations` is given and
// `installId` is not empty, notes that the installation reported that day.
void AddEventShare(const std::string& appVersion, const std::string& installId,
                   const collector::UploadEvent& event, int64_t sign, RollupDeltas* deltas,
                   InstallationDays* installations);

// The same for an event read back from a store: its name, its time of
// receipt and its payload as stored text, whose rollup keys are read again.
void AddStoredEventShare(const std::string& appVersion, const std::string& installId,
                         const std::string& name, int64_t receivedMs, std::string_view payload,
                         int64_t sign, RollupDeltas* deltas, InstallationDays* installations);

// For the store benchmark only, which compares ingest with and without the
// rollups in one run: off, AddEventShare adds nothing. Not a setting of the
// collector: its rollups are always counted.
void CountRollupsForBenchmark(bool on);
bool RollupsCounted();

// The bounds of `query` made closed: an empty bound becomes the first or
// last day a store holds. False, with `*error`, when a bound is not a
// YYYY-MM-DD date.
bool RollupBounds(const RollupQuery& query, std::string* fromDay, std::string* toDay,
                  std::string* error);

}  // namespace server
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_STORE_ROLLUP_SHARE_H_
