#pragma once

// qdctl's postgres module: the results store's PostgreSQL engine, which
// links libpq and the libraries it brings (Kerberos, LDAP, TLS, SASL). A
// module of its own, loaded only when a store names a server, so that a
// bench that records into SQLite, or nothing, never has the dynamic loader
// resolve them.

#include "results/Database.h"

#include <memory>
#include <string>

namespace qd::run {

inline constexpr const char* kPostgresModule = "qdctl-postgres";
inline constexpr const char* kOpenPostgresSymbol = "qdctlOpenPostgres";

// Connects `into` to the server a libpq connection URI names, waiting no
// longer than `limits` allow; StoreError, naming the server and the cause,
// when it cannot.
using OpenPostgres = void (*)(const std::string& uri, const results::ServerLimits& limits,
                              std::unique_ptr<results::Database>& into);

} // namespace qd::run
