#include "results/Store.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <random>

namespace qd::results {

const std::vector<Column> kRunColumns = {
    {"id", Column::Text, "the run's UUID", 1},
    {"kind", Column::Text,
     "the command: program, read, verify, selftest, sweep, characterize, dynamic", 1},
    {"started", Column::Text, "when it started, UTC, ISO 8601", 1},
    {"ended", Column::Text, "when it ended; empty for a run cut off (shown as interrupted)", 1},
    {"exit_status", Column::Integer, "qdctl's exit status", 1},
    {"device", Column::Text, "the converter: QD1200, QD1400, QD1600, QD1610", 1},
    {"verdict", Column::Text, "PASS, FAIL, CONDITIONAL, INTERRUPTED, or empty", 1},
    {"qdctl_version", Column::Text, "qdctl's version", 1},
    {"host", Column::Text, "the computer it ran on", 1},
    {"user_name", Column::Text, "the user who ran it", 1},
    {"pid", Column::Integer, "its process, to tell a running run from one cut off", 1},
    {"link", Column::Text, "the link library", 1},
    {"board", Column::Text, "the board's identifier", 1},
    {"board_serial", Column::Text, "the board's USB serial, when it has one", 1},
    {"power_mode", Column::Text, "the power mode", 1},
    {"reference_v", Column::Real, "the reference in volts", 1},
    {"firmware_sha256", Column::Text, "the SHA-256 of the firmware image", 1},
    {"converter_model", Column::Text, "the simulated board's converter model", 1},
    {"reading_unit", Column::Text,
     "the unit of the readings: V, or counts of the on-board converter", 1},
    {"meter_idn", Column::Text, "the meter's *IDN? answer", 1},
    {"meter_resource", Column::Text, "the meter's resource", 1},
    {"nplc", Column::Real, "the meter's integration time", 1},
    {"samples", Column::Integer, "readings per code", 1},
    {"settle_ms", Column::Real, "settling before each reading", 1},
    {"plan", Column::Text, "the codes: a range and step, or a characterization's plan", 1},
    {"limits", Column::Text, "the limits judged by", 1},
    {"command_line", Column::Text, "the command line", 1},
    {"dut_serial", Column::Text, "--serial: the unit measured", 1},
    {"operator", Column::Text, "--operator", 1},
    {"temperature", Column::Text, "--temperature", 1},
    {"note", Column::Text, "--note", 1},
    {"station", Column::Text, "the station run it was a slot of (characterize --station)", 2},
    {"slot", Column::Integer, "its slot in that station, from 1", 2},
    {"setup", Column::Document,
     "a characterization's settings as one JSON document, with its layout's \"version\"", 3},
    {"waveform", Column::Document,
     "a dynamic run's scope records as one JSON document, with the band and the settling point", 4},
};

std::string Run::get(const std::string& column) const {
    const auto it = fields.find(column);
    return it == fields.end() ? std::string() : it->second;
}

namespace {

constexpr const char* kReadingColumns = "run, seq, code, frame, sample, value";

const char* sqlType(Column::Kind kind) {
    switch (kind) {
    case Column::Integer:
        return "BIGINT";
    case Column::Real:
        return "DOUBLE PRECISION";
    default:
        return "TEXT";
    }
}

// Each upgrade of the schema is one step, from the version before it to
// its own: a store at version N takes the steps to N+1 onwards. Only ever
// append a step: a store in the field is at any version.

std::vector<std::string> addedColumns(int version) {
    std::vector<std::string> statements;
    for (const Column& c : kRunColumns) {
        if (c.since == version) {
            statements.push_back(std::string("ALTER TABLE runs ADD COLUMN ") + c.name + " " +
                                 sqlType(c.kind));
        }
    }
    return statements;
}

// Version 1: runs, their readings and their figures.
std::vector<std::string> toVersion1(const std::string& engine) {
    // SQLite keeps a table and its key apart unless told; one tree for the
    // readings, keyed by run and order, halves what each reading costs.
    const char* readingsKey =
        engine == "sqlite" ? "PRIMARY KEY (run, seq)) WITHOUT ROWID" : "PRIMARY KEY (run, seq))";
    std::string runs = "CREATE TABLE runs (";
    for (const Column& c : kRunColumns) {
        if (c.since == 1) {
            runs += std::string(c.name) + " " + sqlType(c.kind) +
                    (std::string(c.name) == "id" ? " PRIMARY KEY" : "") + ", ";
        }
    }
    runs.resize(runs.size() - 2);
    runs += ")";
    return {
        runs,
        "CREATE INDEX runs_started ON runs (started)",
        // A reading's run is not a checked reference: the store writes
        // readings only into a run it began or copies whole, and a check
        // would cost a lookup per reading, most of a push's time.
        "CREATE TABLE readings (run TEXT NOT NULL, "
        "seq BIGINT NOT NULL, code INTEGER NOT NULL, frame INTEGER NOT NULL, "
        "sample INTEGER NOT NULL, value DOUBLE PRECISION NOT NULL, " +
            std::string(readingsKey),
        "CREATE TABLE figures (run TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE, "
        "name TEXT NOT NULL, value DOUBLE PRECISION, uncertainty DOUBLE PRECISION, unit TEXT, "
        "code INTEGER, limit_text TEXT, text TEXT, PRIMARY KEY (run, name))",
    };
}

// Version 2: a station's slots, each run knowing its station and slot.
std::vector<std::string> toVersion2(const std::string&) {
    std::vector<std::string> statements = addedColumns(2);
    statements.emplace_back("CREATE INDEX runs_station ON runs (station)");
    return statements;
}

// Version 3: a characterization's settings kept whole, so that a new
// setting needs no new column.
std::vector<std::string> toVersion3(const std::string&) {
    return addedColumns(3);
}

// Version 4: a dynamic run's waveform, apart from its setup, so that a
// listing of runs does not carry thousands of samples each.
std::vector<std::string> toVersion4(const std::string&) {
    return addedColumns(4);
}

using Step = std::vector<std::string> (*)(const std::string& engine);
// kSteps[v] takes a store from version v to v + 1.
constexpr Step kSteps[] = {toVersion1, toVersion2, toVersion3, toVersion4};
static_assert(std::size(kSteps) == kSchemaVersion, "a step for every version");

Value typed(const Column& column, const std::string& text) {
    if (text.empty()) {
        return std::monostate{};
    }
    try {
        if (column.kind == Column::Integer) {
            return static_cast<std::int64_t>(std::stoll(text));
        }
        if (column.kind == Column::Real) {
            return std::stod(text);
        }
    } catch (const std::exception&) {
        return std::monostate{};
    }
    return text;
}

const Column* columnNamed(const std::string& name) {
    for (const Column& c : kRunColumns) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

// The columns of `runs`, in kRunColumns' order; those a store of an
// older `version` lacks as NULL, and the waveform unless `whole`.
std::string runColumns(int version, bool whole = true) {
    std::string list;
    for (const Column& c : kRunColumns) {
        const bool taken = c.since <= version && (whole || std::string_view(c.name) != "waveform");
        list += (list.empty() ? "" : ", ") + (taken ? std::string(c.name) : "NULL");
    }
    return list;
}

// Whether a number column's value is one its readers can take: finite,
// and for a whole-number column (a status, a process, a count) whole and
// within an int's range.
bool readable(Column::Kind kind, std::optional<double> number) {
    if (!number || !std::isfinite(*number)) {
        return false;
    }
    return kind != Column::Integer ||
           (*number == std::floor(*number) && std::fabs(*number) <= 2147483647.0);
}

Run runOf(const Row& row) {
    Run run;
    for (std::size_t i = 0; i < kRunColumns.size() && i < row.size(); ++i) {
        if (std::holds_alternative<std::monostate>(row[i])) {
            continue;
        }
        const Column& column = kRunColumns[i];
        std::string text = textOf(row[i]);
        if (column.kind == Column::Integer || column.kind == Column::Real) {
            // A store others write may hold anything in any column.
            const std::optional<double> number = numberOf(row[i]);
            if (!readable(column.kind, number)) {
                run.damaged.push_back(std::string(column.name) + " holds \"" + text + "\"");
                continue;
            }
            if (column.kind == Column::Real) {
                // The shortest text that reads back as the number stored.
                char shorter[32];
                std::snprintf(shorter, sizeof shorter, "%.15g", *number);
                if (std::stod(shorter) == *number) {
                    text = shorter;
                }
            } else {
                text = std::to_string(static_cast<long long>(*number));
            }
        }
        run.fields[column.name] = text;
    }
    return run;
}

// Undoes a transaction that did not reach its commit.
class Transaction {
  public:
    explicit Transaction(Database& db) : db_(db) { db_.beginWrite(); }
    ~Transaction() {
        if (!done_) {
            db_.rollback();
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        db_.commit();
        done_ = true;
    }

  private:
    Database& db_;
    bool done_ = false;
};

} // namespace

Store::Store(std::unique_ptr<Database> database, StoreAccess access) : db_(std::move(database)) {
    if (access == StoreAccess::Record) {
        migrate();
    } else {
        readVersion();
    }
}

void Store::readVersion() {
    // No transaction and no lock: a reader waits for no writer.
    const auto tables =
        db_->engine() == "sqlite"
            ? db_->query("SELECT name FROM sqlite_master WHERE name = 'qd_schema'")
            : db_->query("SELECT to_regclass('qd_schema')::text WHERE to_regclass('qd_schema') "
                         "IS NOT NULL");
    const auto rows =
        tables.empty() ? std::vector<Row>{} : db_->query("SELECT version FROM qd_schema");
    if (rows.empty()) {
        throw NoStore(db_->name() + " holds no results store: nothing is recorded there");
    }
    version_ = static_cast<int>(numberOf(rows[0][0]).value_or(0));
    if (version_ > kSchemaVersion) {
        throw StoreError(db_->name() + ": its schema is version " + std::to_string(version_) +
                         ", newer than this qdctl's " + std::to_string(kSchemaVersion) +
                         "; read it with a newer qdctl");
    }
}

void Store::migrate() {
    Transaction t(*db_);
    db_->lockSchema();
    db_->execute("CREATE TABLE IF NOT EXISTS qd_schema (version INTEGER NOT NULL)");
    const auto rows = db_->query("SELECT version FROM qd_schema");
    const int version = rows.empty() ? 0 : static_cast<int>(numberOf(rows[0][0]).value_or(0));
    if (version > kSchemaVersion) {
        throw StoreError(db_->name() + ": its schema is version " + std::to_string(version) +
                         ", newer than this qdctl's " + std::to_string(kSchemaVersion) +
                         "; record with a newer qdctl");
    }
    for (int v = version; v < kSchemaVersion; ++v) {
        for (const std::string& sql : kSteps[static_cast<std::size_t>(v)](db_->engine())) {
            db_->execute(sql);
        }
    }
    if (rows.empty()) {
        db_->execute("INSERT INTO qd_schema (version) VALUES (?)", {std::int64_t{kSchemaVersion}});
    } else if (version != kSchemaVersion) {
        db_->execute("UPDATE qd_schema SET version = ?", {std::int64_t{kSchemaVersion}});
    }
    t.commit();
}

bool Store::insertRun(const Run& run, bool unlessThere) {
    std::string names, marks;
    Row values;
    for (const auto& [name, text] : run.fields) {
        const Column* column = columnNamed(name);
        if (!column) {
            throw StoreError(db_->name() + ": runs has no column " + name);
        }
        names += (names.empty() ? "" : ", ") + name;
        marks += marks.empty() ? "?" : ", ?";
        values.push_back(typed(*column, text));
    }
    const std::string insert = "INSERT INTO runs (" + names + ") VALUES (" + marks + ")";
    if (!unlessThere) {
        db_->execute(insert, values);
        return true;
    }
    // Two benches pushing the same run at once: one of them inserts it.
    return !db_->query(insert + " ON CONFLICT (id) DO NOTHING RETURNING id", values).empty();
}

void Store::begin(const Run& run) {
    Transaction t(*db_);
    insertRun(run, false);
    t.commit();
}

void Store::add(const std::string& run, const std::vector<Reading>& readings,
                std::int64_t firstSequence) {
    if (readings.empty()) {
        return;
    }
    Transaction t(*db_);
    insertReadings(run, readings, firstSequence);
    t.commit();
}

void Store::insertReadings(const std::string& run, const std::vector<Reading>& readings,
                           std::int64_t firstSequence) {
    db_->insertMany("readings", kReadingColumns, {run}, readings.size(),
                    [&](std::size_t i, Row& row) {
                        const Reading& r = readings[i];
                        row.resize(5);
                        row[0] = firstSequence + static_cast<std::int64_t>(i);
                        row[1] = std::int64_t{r.code};
                        row[2] = std::int64_t{r.frame};
                        row[3] = std::int64_t{r.sample};
                        row[4] = r.value;
                    });
}

namespace {

std::vector<Row> figureRows(const std::string& run, const std::vector<Figure>& figures) {
    std::vector<Row> rows;
    for (const Figure& f : figures) {
        const auto number = [](const std::optional<double>& v) {
            return v ? Value(*v) : Value(std::monostate{});
        };
        rows.push_back({run, f.name, number(f.value), number(f.uncertainty),
                        f.unit.empty() ? Value() : Value(f.unit),
                        f.code ? Value(std::int64_t{*f.code}) : Value(),
                        f.limit.empty() ? Value() : Value(f.limit),
                        f.text.empty() ? Value() : Value(f.text)});
    }
    return rows;
}

constexpr const char* kInsertFigure =
    "INSERT INTO figures (run, name, value, uncertainty, unit, code, limit_text, text) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?)";

} // namespace

void Store::end(const std::string& run, const std::map<std::string, std::string>& fields,
                const std::vector<Figure>& figures) {
    Transaction t(*db_);
    for (const auto& [name, text] : fields) {
        const Column* column = columnNamed(name);
        if (!column || name == "id") {
            throw StoreError(db_->name() + ": runs has no column " + name);
        }
        db_->execute("UPDATE runs SET " + name + " = ? WHERE id = ?", {typed(*column, text), run});
    }
    db_->executeMany(kInsertFigure, figureRows(run, figures));
    t.commit();
}

std::vector<Run> Store::runs(const Filter& f) {
    std::string sql = "SELECT " + runColumns(version_, f.whole) + " FROM runs WHERE 1 = 1";
    Row values;
    for (const auto& [column, value] :
         {std::pair{"device", &f.device}, std::pair{"dut_serial", &f.serial},
          std::pair{"kind", &f.kind}, std::pair{"verdict", &f.verdict},
          std::pair{"station", &f.station}}) {
        if (!value->empty()) {
            sql += std::string(" AND UPPER(") + column + ") = UPPER(?)";
            values.emplace_back(*value);
        }
    }
    if (!f.since.empty()) {
        sql += " AND started >= ?";
        values.emplace_back(f.since);
    }
    sql += " ORDER BY started DESC, id";
    if (f.limit > 0) {
        sql += " LIMIT ?";
        values.emplace_back(static_cast<std::int64_t>(f.limit));
    }
    std::vector<Run> out;
    for (const Row& row : db_->query(sql, values)) {
        out.push_back(runOf(row));
    }
    return out;
}

Run Store::find(const std::string& prefix) {
    const bool idLike = !prefix.empty() && std::all_of(prefix.begin(), prefix.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) || c == '-';
    });
    if (!idLike) {
        throw UnknownRun("\"" + prefix + "\" is no run id: it has hexadecimal digits and dashes");
    }
    std::string lower = prefix;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto rows = db_->query("SELECT " + runColumns(version_) +
                                     " FROM runs WHERE id LIKE ? ORDER BY id LIMIT 2",
                                 {lower + "%"});
    if (rows.empty()) {
        throw UnknownRun(db_->name() + " holds no run " + prefix);
    }
    if (rows.size() > 1) {
        throw UnknownRun("run " + prefix + " is ambiguous in " + db_->name() +
                         ": give more of its id");
    }
    return runOf(rows[0]);
}

std::vector<Reading> Store::readings(const std::string& run) {
    std::vector<Reading> out;
    for (const Row& row : db_->query(
             "SELECT code, frame, sample, value FROM readings WHERE run = ? ORDER BY seq", {run})) {
        out.push_back({static_cast<std::int32_t>(numberOf(row[0]).value_or(0)),
                       static_cast<std::int32_t>(numberOf(row[1]).value_or(0)),
                       static_cast<int>(numberOf(row[2]).value_or(0)),
                       numberOf(row[3]).value_or(0)});
    }
    return out;
}

std::vector<Figure> Store::figures(const std::string& run) {
    std::vector<Figure> out;
    for (const Row& row : db_->query("SELECT name, value, uncertainty, unit, code, limit_text, "
                                     "text FROM figures WHERE run = ? ORDER BY name",
                                     {run})) {
        Figure f;
        f.name = textOf(row[0]);
        f.value = numberOf(row[1]);
        f.uncertainty = numberOf(row[2]);
        f.unit = textOf(row[3]);
        if (const auto code = numberOf(row[4])) {
            f.code = static_cast<std::int32_t>(*code);
        }
        f.limit = textOf(row[5]);
        f.text = textOf(row[6]);
        out.push_back(std::move(f));
    }
    return out;
}

std::optional<Store::Held> Store::held(const std::string& run) {
    const auto rows = db_->query(
        "SELECT ended, (SELECT count(*) FROM readings WHERE run = ?) FROM runs WHERE id = ?",
        {run, run});
    if (rows.empty()) {
        return std::nullopt;
    }
    return Held{textOf(rows[0][0]), static_cast<std::int64_t>(numberOf(rows[0][1]).value_or(0))};
}

Store::Copied Store::copy(const Run& run, const std::vector<Reading>& readings,
                          const std::vector<Figure>& figures) {
    Transaction t(*db_);
    if (insertRun(run, true)) {
        insertReadings(run.id(), readings, 0);
        db_->executeMany(kInsertFigure, figureRows(run.id(), figures));
        t.commit();
        return Copied::Added;
    }
    // Another bench bringing the same run up to date waits here for this
    // one's commit, and then finds nothing to do.
    const Held given{run.get("ended"), static_cast<std::int64_t>(readings.size())};
    const auto rows = db_->query(std::string("SELECT ended, (SELECT count(*) FROM readings WHERE "
                                             "run = ?) FROM runs WHERE id = ?") +
                                     (db_->engine() == "sqlite" ? "" : " FOR UPDATE OF runs"),
                                 {run.id(), run.id()});
    if (rows.empty() || Held{textOf(rows[0][0]), static_cast<std::int64_t>(
                                                     numberOf(rows[0][1]).value_or(0))} == given) {
        return Copied::There;
    }
    std::string set;
    Row values;
    for (const Column& c : kRunColumns) {
        if (std::string(c.name) != "id") {
            set += (set.empty() ? "" : ", ") + std::string(c.name) + " = ?";
            values.push_back(typed(c, run.get(c.name)));
        }
    }
    values.emplace_back(run.id());
    db_->execute("UPDATE runs SET " + set + " WHERE id = ?", values);
    db_->execute("DELETE FROM readings WHERE run = ?", {run.id()});
    db_->execute("DELETE FROM figures WHERE run = ?", {run.id()});
    insertReadings(run.id(), readings, 0);
    db_->executeMany(kInsertFigure, figureRows(run.id(), figures));
    t.commit();
    return Copied::Updated;
}

std::string storeUrlProblem(const std::string& url) {
    // A scheme is two characters at least, so that C:\results.sqlite is a
    // path.
    const std::size_t colon = url.find(':');
    if (colon == std::string::npos || colon < 2 ||
        !std::isalpha(static_cast<unsigned char>(url[0])) ||
        !std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        })) {
        return {};
    }
    const std::string scheme = url.substr(0, colon);
    if (scheme == "sqlite" || url.starts_with("postgresql://") || url.starts_with("postgres://")) {
        return {};
    }
    return "\"" + scheme +
           ":\" is no store's; a store is a path, sqlite:PATH, postgresql://… or none";
}

std::string sqlitePathOf(const std::string& url) {
    if (url == "none" || url.starts_with("postgresql://") || url.starts_with("postgres://")) {
        return {};
    }
    return url.starts_with("sqlite:") ? url.substr(7) : url;
}

std::unique_ptr<Store> openStore(const std::string& url, const PostgresOpener& postgres,
                                 StoreAccess access) {
    if (url == "none") {
        return nullptr;
    }
    if (url.starts_with("postgresql://") || url.starts_with("postgres://")) {
        return std::make_unique<Store>(postgres(url), access);
    }
    const std::string path = sqlitePathOf(url);
    if (path.empty()) {
        throw StoreError("--results takes a path, sqlite:PATH, postgresql://… or none");
    }
    return std::make_unique<Store>(openSqlite(path, access), access);
}

std::string newRunId() {
    std::random_device random;
    unsigned char bytes[16];
    for (unsigned char& b : bytes) {
        b = static_cast<unsigned char>(random() & 0xff);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    std::string id;
    for (int i = 0; i < 16; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        id += hex;
        if (i == 3 || i == 5 || i == 7 || i == 9) {
            id += '-';
        }
    }
    return id;
}

} // namespace qd::results
