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
constexpr int32_t kSchemaVersion = 3;

// Schema version 3 (version 1 lacked the upload columns of batches, version 2
// the deletions table; an older file is migrated in place when it is opened).
//
// meta      identity of the reporting application and the caps in force at the
//           last successful initialisation (key/value text), and the
//           installation id (install_id): a random UUID made when a session
//           with consent finds none, sent with every upload, and removed by an
//           opt-out, so that what is sent before and after cannot be joined.
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
// deletions one row per opt-out that retired an installation id: the server
//           is asked to delete what it holds of install_id. Made in the
//           transaction that deletes the stored events; request_id (random)
//           is its Idempotency-Key on every attempt; requested_ms the wall
//           time of the opt-out. state "pending" (waits to be sent), "done"
//           (answered 2xx) or "dropped" (refused as malformed); attempts,
//           next_attempt_ms, last_status, last_error and finished_ms as for
//           batches. Finished rows are kept for the inspector, the newest
//           kKeptFinishedDeletions of them.
// counters  running totals: evicted_events, evicted_bytes, rejected_events,
//           rejected.<reason> per rejection reason, upload.* and deletion.*.
// The deletions table, made by a new store and by the migration alike.
#define TALLY_DELETIONS_TABLE_SQL             \
    "CREATE TABLE deletions("                 \
    "  id INTEGER PRIMARY KEY AUTOINCREMENT," \
    "  install_id TEXT NOT NULL,"             \
    "  request_id TEXT NOT NULL,"             \
    "  requested_ms INTEGER NOT NULL,"        \
    "  state TEXT NOT NULL,"                  \
    "  attempts INTEGER NOT NULL DEFAULT 0,"  \
    "  next_attempt_ms INTEGER,"              \
    "  last_status INTEGER,"                  \
    "  last_error TEXT,"                      \
    "  finished_ms INTEGER);"
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
    "CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT "
    "ROWID;" TALLY_DELETIONS_TABLE_SQL;

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

// From version 2: the deletion requests. The installation id is made by the
// next session with consent, like that of a new store.
constexpr const char kMigrateFrom2Sql[] = TALLY_DELETIONS_TABLE_SQL;

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
// Done and dropped deletion rows kept for the inspector.
constexpr int64_t kKeptFinishedDeletions = 100;

// Batch states.
constexpr const char kBatchReady[] = "ready";
constexpr const char kBatchSending[] = "sending";
constexpr const char kBatchSent[] = "sent";
constexpr const char kBatchRejected[] = "rejected";
// Deletion request states.
constexpr const char kDeletionPending[] = "pending";
constexpr const char kDeletionDone[] = "done";
constexpr const char kDeletionDropped[] = "dropped";
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
constexpr const char kCounterDeletionRequestsMade[] = "deletion.requests_made";
constexpr const char kCounterDeletionRequestsSent[] = "deletion.requests_sent";
constexpr const char kCounterDeletionRequestsDone[] = "deletion.requests_done";
constexpr const char kCounterDeletionRequestsDropped[] = "deletion.requests_dropped";
constexpr const char kCounterDeletionFailedAttempts[] = "deletion.failed_attempts";

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
constexpr const char kMetaInstallId[] = "install_id";

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_STORE_SCHEMA_H_
