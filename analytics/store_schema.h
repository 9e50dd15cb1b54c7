// The layout of the analytics database, shared by the library that writes it
// and the inspector that reads it. Any change to the tables is a new schema
// version: bump kSchemaVersion and teach EventStore to migrate older files.
#ifndef TALLYSERVICE_ANALYTICS_STORE_SCHEMA_H_
#define TALLYSERVICE_ANALYTICS_STORE_SCHEMA_H_

#include <cstdint>

namespace tally {

// PRAGMA application_id of every database we create ("Taly"); a file with any
// other value is not ours and is never written to.
constexpr int32_t kApplicationId = 0x54616C79;

// PRAGMA user_version of the layout below.
constexpr int32_t kSchemaVersion = 1;

// Schema version 1.
//
// meta      identity of the reporting application and the caps in force at the
//           last successful initialisation (key/value text).
// events    one row per stored event. seq is the sequence number (never
//           reused, also after eviction); received_ms the time the library
//           received it (ms since 1970-01-01 UTC); size the bytes counted
//           against the cap (name + payload); batch the batch it belongs to,
//           NULL while it waits for the next submit.
// batches   one row per submit that found waiting events: the sequence range
//           and count it took, and its state ("ready": waits to be sent).
//           Every event after the last batch's last_seq waits for the next
//           submit, so finding them needs no index of its own. A batch goes
//           when its last event is evicted.
// counters  running totals: evicted_events, evicted_bytes, rejected_events and
//           rejected.<reason> per rejection reason.
constexpr const char kCreateSchemaSql[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE events("
    "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  received_ms INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  payload TEXT NOT NULL,"
    "  size INTEGER NOT NULL,"
    "  batch INTEGER);"
    "CREATE TABLE batches("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  created_ms INTEGER NOT NULL,"
    "  first_seq INTEGER NOT NULL,"
    "  last_seq INTEGER NOT NULL,"
    "  event_count INTEGER NOT NULL,"
    "  state TEXT NOT NULL);"
    "CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;";

// State of a batch that waits to be sent.
constexpr const char kBatchReady[] = "ready";
// State shown for an event that belongs to no batch yet.
constexpr const char kEventPending[] = "pending";

// Counter names.
constexpr const char kCounterEvictedEvents[] = "evicted_events";
constexpr const char kCounterEvictedBytes[] = "evicted_bytes";
constexpr const char kCounterRejectedEvents[] = "rejected_events";
constexpr const char kCounterRejectedPrefix[] = "rejected.";

// Meta keys.
constexpr const char kMetaAppId[] = "appid";
constexpr const char kMetaAppVersion[] = "appversion";
constexpr const char kMetaDeviceType[] = "device_type";
constexpr const char kMetaTag[] = "tag";
constexpr const char kMetaDomain[] = "domain";
constexpr const char kMetaMaxEvents[] = "max_events";
constexpr const char kMetaMaxBytes[] = "max_bytes";
constexpr const char kMetaOpenedMs[] = "opened_ms";

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_STORE_SCHEMA_H_
