// The shared store: a PostgreSQL database that any number of collectors
// write to at once. What makes a batch stored exactly once across them is
// the database alone: batches are claimed by their primary key in the same
// transaction that copies in the events of the batches just claimed.
#ifndef TALLYSERVICE_SERVER_STORE_POSTGRES_STORE_H_
#define TALLYSERVICE_SERVER_STORE_POSTGRES_STORE_H_

#include <memory>
#include <string>

#include "store.h"

namespace tally {
namespace server {

// `uri` is a libpq connection URI (postgresql://...). Connects once and
// applies the schema migrations this build knows, so a database the schema
// cannot be brought up to date in is reported here, not at the first upload.
std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, const StoreOptions& options,
                                         std::string* error);

}  // namespace server
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_STORE_POSTGRES_STORE_H_
