#include <memory>
#include <string>

#include "sqlite_store.h"
#include "store.h"
#ifdef TALLY_WITH_POSTGRES
#include "postgres_store.h"
#endif

namespace tally {
namespace server {

bool IsPostgresLocation(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

bool PostgresAvailable() {
#ifdef TALLY_WITH_POSTGRES
    return true;
#else
    return false;
#endif
}

std::unique_ptr<Store> OpenStore(const std::string& location, const StoreOptions& options,
                                 std::string* error) {
    if (!IsPostgresLocation(location)) return OpenSqliteStore(location, options, error);
#ifdef TALLY_WITH_POSTGRES
    return OpenPostgresStore(location, options, error);
#else
    *error = "this tally-collector was built without PostgreSQL (TALLY_POSTGRES=OFF)";
    return nullptr;
#endif
}

}  // namespace server
}  // namespace tally
