// The embedded store: one SQLite file (WAL) that one collector process owns.
// Batches are unique by batch_id, their events beside them, and one row per
// request with both clocks so that a client's clock skew is visible.
#ifndef TALLYSERVICE_SERVER_STORE_SQLITE_STORE_H_
#define TALLYSERVICE_SERVER_STORE_SQLITE_STORE_H_

#include <memory>
#include <string>

#include "store.h"

namespace tally {
namespace server {

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, const StoreOptions& options,
                                       std::string* error);

}  // namespace server
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_STORE_SQLITE_STORE_H_
