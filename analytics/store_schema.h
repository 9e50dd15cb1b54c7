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
constexpr int32_t kSchemaVersion = 2;

// Schema version 2 (version 1 lacked the upload columns of batches; a
// version-1 file is migrated in place when it is opened).
//
// meta      identity of the reporting application and the caps in force at the
//           last successful initialisation (key/value text).
// events    one row per stored event. seq is the sequence number (never
//           reused, also after eviction); received_ms the time the library
//           received it (ms since 1970-01-01 UTC); size the bytes counted
//           against the cap (name + payload); batch the batch it belongs to,
//           NULL while it waits for the next submit.
// batches   one row per cut of a submit (at most kMaxBatchEvents events and
//           kMaxBatchBytes bytes each): the sequence range and count it took,
//           and its state: "ready" (waits to be sent), "sending" (picked into
//           the request request_id, resent under that id until answered),
//           "sent" (accepted by the server; its events are deleted) or
//           "rejected" (refused as bad data; its events are deleted). uuid is
//           random at creation and names the batch to the server; attempts,
//           next_attempt_ms (wall time), last_status (HTTP status, 0 without
//           an answer), last_error and sent_ms record the upload. Every event
//           after the last batch's last_seq waits for the next submit, so
//           finding them needs no index of its own. A waiting batch goes when
//           its last event is evicted; sent and rejected rows are kept for the
//           inspector, the newest kKeptFinishedBatches of them.
// counters  running totals: evicted_events, evicted_bytes, rejected_events,
//           rejected.<reason> per rejection reason, and upload.*.
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
    "  state TEXT NOT NULL,"
    "  uuid TEXT NOT NULL DEFAULT '',"
    "  request_id TEXT,"
    "  attempts INTEGER NOT NULL DEFAULT 0,"
    "  next_attempt_ms INTEGER,"
    "  last_status INTEGER,"
    "  last_error TEXT,"
    "  sent_ms INTEGER);"
    "CREATE INDEX batches_state ON batches(state, id);"
    "CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;";

// From version 1: the upload columns, and a random id for every batch.
constexpr const char kMigrateFrom1Sql[] =
    "ALTER TABLE batches ADD COLUMN uuid TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE batches ADD COLUMN request_id TEXT;"
    "ALTER TABLE batches ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE batches ADD COLUMN next_attempt_ms INTEGER;"
    "ALTER TABLE batches ADD COLUMN last_status INTEGER;"
    "ALTER TABLE batches ADD COLUMN last_error TEXT;"
    "ALTER TABLE batches ADD COLUMN sent_ms INTEGER;"
    "CREATE INDEX batches_state ON batches(state, id);";

// A random (version 4) UUID in lower-case text, made by SQLite's generator,
// which is seeded from the operating system's randomness.
#define TALLY_UUID_SQL                                                                       \
    "lower(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-4' ||"                       \
    " substr(hex(randomblob(2)), 2) || '-' || substr('89ab', 1 + (abs(random()) % 4), 1) ||" \
    " substr(hex(randomblob(2)), 2) || '-' || hex(randomblob(6)))"

// The events of batch `b` (a table alias): they lie in its sequence range,
// and seq is the events' rowid, so this reads only them. There is no index
// on events.batch (it would cost every stored event an index write); a plain
// "batch = b.id" would scan every stored event's row, payload included, per
// batch.
#define TALLY_EVENTS_OF_BATCH_SQL(b) \
    "(seq BETWEEN " b ".first_seq AND " b ".last_seq AND batch = " b ".id)"

// A submit cuts what waits into batches no bigger than one request may be.
constexpr int64_t kMaxBatchEvents = 500;
constexpr int64_t kMaxBatchBytes = 1024 * 1024;
// Sent and rejected batch rows (no event text) kept for the inspector.
constexpr int64_t kKeptFinishedBatches = 1000;

// Batch states.
constexpr const char kBatchReady[] = "ready";
constexpr const char kBatchSending[] = "sending";
constexpr const char kBatchSent[] = "sent";
constexpr const char kBatchRejected[] = "rejected";
// State shown for an event that belongs to no batch yet.
constexpr const char kEventPending[] = "pending";

// Counter names.
constexpr const char kCounterEvictedEvents[] = "evicted_events";
constexpr const char kCounterEvictedBytes[] = "evicted_bytes";
constexpr const char kCounterRejectedEvents[] = "rejected_events";
constexpr const char kCounterRejectedPrefix[] = "rejected.";
constexpr const char kCounterUploadRequests[] = "upload.requests";
constexpr const char kCounterUploadSentEvents[] = "upload.sent_events";
constexpr const char kCounterUploadFailedAttempts[] = "upload.failed_attempts";
constexpr const char kCounterUploadRejectedEvents[] = "upload.rejected_events";
constexpr const char kCounterUploadTlsFailures[] = "upload.tls_failures";
constexpr const char kCounterConsentDeletedEvents[] = "consent.deleted_events";

// Meta keys.
constexpr const char kMetaAppId[] = "appid";
constexpr const char kMetaAppVersion[] = "appversion";
constexpr const char kMetaDeviceType[] = "device_type";
constexpr const char kMetaTag[] = "tag";
constexpr const char kMetaDomain[] = "domain";
constexpr const char kMetaMaxEvents[] = "max_events";
constexpr const char kMetaMaxBytes[] = "max_bytes";
constexpr const char kMetaOpenedMs[] = "opened_ms";
constexpr const char kMetaCertParam1[] = "cert_param1";
constexpr const char kMetaCertParam2[] = "cert_param2";
constexpr const char kMetaUploadTls[] = "upload_tls";

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_STORE_SCHEMA_H_
