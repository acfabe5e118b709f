#pragma once

// The few things the store asks of a database engine, so that one store
// speaks to SQLite and PostgreSQL alike: statements with bound values
// (never values pasted into SQL), rows back, transactions, and many rows
// put in at once. Statements are written with '?' placeholders; an engine
// that numbers them ($1, $2) renumbers them itself.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace qd::results {

// What the store could not do, in words that name the store and the cause.
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A run asked for by an id the store holds no run of, or several: the
// asker's mistake, not the store's.
class UnknownRun : public StoreError {
  public:
    using StoreError::StoreError;
};

// A store that is not there, asked for by a command that only reads: it
// is never made for one.
class NoStore : public StoreError {
  public:
    using StoreError::StoreError;
};

// What a store is opened for: a command that only reads opens it read-only,
// never makes it and never migrates it; one that records makes it when
// missing and migrates it forward.
enum class StoreAccess { Read, Record };

// How long a server may keep the store waiting, and what else ends a wait:
// a connection not made within `connect` (0: as long as it takes; a
// connect_timeout of the URI's own wins), a statement the server has not
// answered within `statement` (which the server is told as its
// statement_timeout, and the answer given `connect` more to come), or
// `stopped` returning true (a stop signal). A wait so ended gives the
// connection up: StoreError naming the server and why.
struct ServerLimits {
    std::chrono::seconds connect{10};
    std::chrono::seconds statement{60};
    std::function<bool()> stopped;
};

using Value = std::variant<std::monostate, std::int64_t, double, std::string>;
using Row = std::vector<Value>;

class Database {
  public:
    virtual ~Database() = default;

    // "sqlite:/path/results.sqlite" or "postgresql://host/db": for messages.
    virtual std::string name() const = 0;
    // "sqlite" or "postgresql": what a migration may need to tell apart.
    virtual std::string engine() const = 0;

    virtual void execute(const std::string& sql, const Row& values = {}) = 0;
    virtual std::vector<Row> query(const std::string& sql, const Row& values = {}) = 0;
    // The same statement once per row, as fast as the engine allows; inside
    // a transaction the caller began.
    virtual void executeMany(const std::string& sql, const std::vector<Row>& rows) = 0;

    // Rows into `table`'s `columns`, each after the values of `shared` (a
    // run's id, given once rather than copied into every row), the bulk
    // way the engine has (COPY for PostgreSQL); inside a transaction the
    // caller began.
    // `fill` writes row `i` into the row it is handed, which is reused: a
    // reading costs no allocation of its own.
    using RowSource = std::function<void(std::size_t i, Row& row)>;
    virtual void insertMany(const std::string& table, const std::string& columns, const Row& shared,
                            std::size_t count, const RowSource& fill) = 0;

    // A transaction that writes: it waits for another writer rather than
    // fail, and takes the lock that keeps two migrations apart.
    virtual void beginWrite() = 0;
    virtual void commit() = 0;
    // Within a write, keeps any other program's schema changes out until it ends.
    virtual void lockSchema() = 0;
    virtual void rollback() = 0;
};

// Opens the SQLite file at `path`: to record, making it (0600, in folders
// made 0700) when missing; to read, read-only, NoStore when missing. The
// file or a file SQLite keeps beside it that another user put in a shared
// folder is refused (sqliteProblem).
std::unique_ptr<Database> openSqlite(const std::string& path, StoreAccess access);
// Why the SQLite store at `path` must not be opened, naming the file, or
// "": it or its -wal, -shm or -journal is a link or a file that another
// user put in a sticky folder that everyone may write, as no results file
// may be.
std::string sqliteProblem(const std::string& path);
// Connects to a PostgreSQL server by a libpq connection URI, waiting no
// longer than `limits` allow. Not in the library the store is in but in
// its own (qd_results_postgres), which links libpq: see PostgresOpener.
std::unique_ptr<Database> openPostgres(const std::string& uri, const ServerLimits& limits);

// The text of a value as a person reads it; "" for none.
std::string textOf(const Value& value);
std::optional<double> numberOf(const Value& value);

// `text` with the password of any URI in it (user:PASSWORD@, password=...)
// left out: what is recorded, printed or shared never carries one.
std::string withoutPassword(const std::string& text);

} // namespace qd::results
