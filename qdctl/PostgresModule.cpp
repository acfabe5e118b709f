// The postgres module's one entry: qdctl hands it to the results store as
// the way to a PostgreSQL server. The connection it makes lives on in qdctl,
// which keeps the module loaded to its end.

#include "run/PostgresModule.h"

#include "session/ModuleExport.h"

#include <type_traits>

QDCTL_MODULE_EXPORT void qdctlOpenPostgres(const std::string& uri,
                                           const qd::results::ServerLimits& limits,
                                           std::unique_ptr<qd::results::Database>& into) {
    into = qd::results::openPostgres(uri, limits);
}

// What qdctl casts the entry to is what it is.
static_assert(std::is_same_v<decltype(&qdctlOpenPostgres), qd::run::OpenPostgres>);
