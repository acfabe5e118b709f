#pragma once

// The results store: every run a command makes, with where it came from,
// its readings as they are measured and its figures, on one schema for
// SQLite and PostgreSQL, made and migrated forward when opened. Standard
// C++ and the engines' client libraries only.

#include "results/Database.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qd::results {

// A column of the table `runs`: its name and whether it holds text,
// a whole number, a real or a JSON document (kept as text).
struct Column {
    const char* name;
    enum Kind { Text, Integer, Real, Document } kind;
    const char* meaning; // for the schema's table in docs/results-store.md
    int since;           // the schema version that added it
};
extern const std::vector<Column> kRunColumns;

// One run, by column name; a column it has nothing for is absent.
struct Run {
    std::map<std::string, std::string> fields;
    // Number columns that hold no number a reader can take (text, a
    // whole-number column's fraction or one beyond its range), each as
    // "COLUMN holds \"VALUE\""; they are left out of `fields`.
    std::vector<std::string> damaged;
    std::string get(const std::string& column) const;
    std::string id() const { return get("id"); }
};

struct Reading {
    std::int32_t code = 0;
    std::int32_t frame = 0; // what was written for it
    int sample = 0;         // 1 for the first of a code's samples
    double value = 0;
};

struct Figure {
    std::string name; // as --json names it: "offset_error_mv"
    std::optional<double> value, uncertainty;
    std::string unit;
    std::optional<std::int32_t> code;
    std::string limit; // as --limits gave it, or ""
    std::string text;  // a figure that is a word ("yes"), or ""
};

struct Filter {
    std::string device, serial, kind, since, verdict, station;
    std::size_t limit = 0; // 0: every run
    // With a dynamic run's waveform, which a listing does without: a copy
    // of the run needs it.
    bool whole = false;
};

// The schema's version this program writes; an older store is migrated
// forward when opened, a newer one is refused rather than written wrongly.
inline constexpr int kSchemaVersion = 4;

class Store {
  public:
    // To record: the schema made or migrated forward. To read: the schema
    // as it is, an older one's missing columns read as empty; NoStore when
    // it holds none.
    Store(std::unique_ptr<Database> database, StoreAccess access);

    std::string name() const { return db_->name(); }

    // A new run, recorded at once so that a run cut short still shows.
    void begin(const Run& run);
    // Readings of a run, in one transaction.
    void add(const std::string& run, const std::vector<Reading>& readings,
             std::int64_t firstSequence);
    // The run's end: its columns that were not known at the start (ended,
    // exit_status, verdict, ...) and its figures.
    void end(const std::string& run, const std::map<std::string, std::string>& fields,
             const std::vector<Figure>& figures);

    // Newest first.
    std::vector<Run> runs(const Filter& filter);
    // The run an id or an unambiguous prefix of one names; StoreError
    // naming what is wrong otherwise.
    Run find(const std::string& idOrPrefix);
    std::vector<Reading> readings(const std::string& run);
    std::vector<Figure> figures(const std::string& run);
    // What a copy of a run must match: its end and how many readings it has.
    struct Held {
        std::string ended; // "" for a run that did not end
        std::int64_t readings = 0;
        bool operator==(const Held&) const = default;
    };
    // The run as this store holds it, if it does.
    std::optional<Held> held(const std::string& run);

    // A whole run copied in from another store, in one transaction: added
    // when this store lacks it; brought up to date when it holds it
    // otherwise (copied while it was still recording), its columns,
    // readings and figures then those given; or left as it is.
    enum class Copied { Added, Updated, There };
    Copied copy(const Run& run, const std::vector<Reading>& readings,
                const std::vector<Figure>& figures);

    Database& database() { return *db_; }

  private:
    void migrate();
    // The version of a store that is only read; NoStore for none.
    void readVersion();
    void insertReadings(const std::string& run, const std::vector<Reading>& readings,
                        std::int64_t firstSequence);
    // False when `unlessThere` and the store has a run of that id.
    bool insertRun(const Run& run, bool unlessThere);

    std::unique_ptr<Database> db_;
    int version_ = kSchemaVersion;
};

// What connects to a PostgreSQL server by a libpq connection URI. The
// program hands it in: libpq and the libraries it brings (Kerberos, LDAP,
// TLS) cost every start that links them, so a program loads them only
// when a store names such a server.
using PostgresOpener = std::function<std::unique_ptr<Database>(const std::string& uri)>;

// The store a results URL names: a path or sqlite:PATH, postgresql://…
// (postgres:// too, opened by `postgres`), or none (nullptr); for `access`.
std::unique_ptr<Store> openStore(const std::string& url, const PostgresOpener& postgres,
                                 StoreAccess access);

// Why `url` names no store ("" when it does): a scheme other than sqlite:,
// postgresql:// and postgres://, such as a mistyped "postgresq://", which
// would otherwise be taken for a folder.
std::string storeUrlProblem(const std::string& url);

// The file of the SQLite store `url` names; "" for none and a server.
std::string sqlitePathOf(const std::string& url);

// A new run id: a random (version 4) UUID as text.
std::string newRunId();

} // namespace qd::results
