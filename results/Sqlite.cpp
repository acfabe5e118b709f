// The store's SQLite engine: one file per bench, written ahead (WAL) so a
// program killed at any moment leaves a file that opens, with every
// transaction it committed.

#include "platform/Output.h"
#include "platform/PrivateFile.h"
#include "results/Database.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sqlite3.h>
#include <string>
#include <thread>

namespace qd::results {

namespace {

// Another program recording at the same time holds the write lock for one
// batch, milliseconds; a minute covers a busy bench without ever showing
// "database is locked".
constexpr int kBusyMilliseconds = 60000;

class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql, const std::string& name) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &s_, nullptr) !=
            SQLITE_OK) {
            throw StoreError(name + ": " + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Values from parameter `first` on. They are bound where they lie, not
    // copied: every caller steps before its values go.
    void bind(const Row& values, int first = 1) {
        if (first == 1) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            const int at = static_cast<int>(i) + first;
            const Value& v = values[i];
            if (const auto* n = std::get_if<std::int64_t>(&v)) {
                sqlite3_bind_int64(s_, at, *n);
            } else if (const auto* d = std::get_if<double>(&v)) {
                sqlite3_bind_double(s_, at, *d);
            } else if (const auto* t = std::get_if<std::string>(&v)) {
                sqlite3_bind_text(s_, at, t->data(), static_cast<int>(t->size()), SQLITE_STATIC);
            } else {
                sqlite3_bind_null(s_, at);
            }
        }
    }
    // One row more: false when there are none.
    bool step(const std::string& name) {
        const int result = sqlite3_step(s_);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            throw StoreError(name + ": " + sqlite3_errmsg(db_));
        }
        return false;
    }
    Row row() const {
        Row out;
        const int columns = sqlite3_column_count(s_);
        for (int i = 0; i < columns; ++i) {
            switch (sqlite3_column_type(s_, i)) {
            case SQLITE_INTEGER:
                out.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(s_, i)));
                break;
            case SQLITE_FLOAT:
                out.emplace_back(sqlite3_column_double(s_, i));
                break;
            case SQLITE_NULL:
                out.emplace_back(std::monostate{});
                break;
            default:
                out.emplace_back(
                    std::string(reinterpret_cast<const char*>(sqlite3_column_text(s_, i)),
                                static_cast<std::size_t>(sqlite3_column_bytes(s_, i))));
            }
        }
        return out;
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

class SqliteDatabase final : public Database {
  public:
    SqliteDatabase(const std::string& path, StoreAccess access) : name_("sqlite:" + path) {
        refuse(sqliteProblem(path));
        std::error_code error;
        const std::filesystem::path file(std::u8string(path.begin(), path.end()));
        const bool missing = std::filesystem::symlink_status(file, error).type() ==
                             std::filesystem::file_type::not_found;
        if (access == StoreAccess::Read) {
            if (missing) {
                throw NoStore("there is no results store at " + path +
                              ": nothing is recorded there");
            }
            open(path, SQLITE_OPEN_READONLY);
            sqlite3_busy_timeout(db_, kBusyMilliseconds);
            readable(path);
            return;
        }
        if (missing) {
            // Made here, the user's alone, rather than by SQLite, which
            // gives what it makes 0644 and follows a link put in its place;
            // its -wal and -shm then get the same mode from it.
            const std::string folder = file.parent_path().string();
            std::string why = folder.empty() ? "" : platform::makePrivateFolders(folder);
            if (why.empty()) {
                why = platform::makePrivateFile(path);
            }
            if (!why.empty() && std::filesystem::symlink_status(file, error).type() ==
                                    std::filesystem::file_type::not_found) {
                throw StoreError(name_ + ": " + why);
            }
            refuse(sqliteProblem(path));
        }
        open(path, SQLITE_OPEN_READWRITE);
        sqlite3_busy_timeout(db_, kBusyMilliseconds);
        // WAL: readers never wait for the writer, and a killed writer loses
        // only what it had not committed. NORMAL synchronisation keeps every
        // commit through a crash of the program, if not of the machine.
        walMode();
        execute("PRAGMA synchronous=NORMAL", {});
        // The side files exist now: one put there since the first look is
        // refused before a run is written into it.
        refuse(sqliteProblem(path));
        // Foreign keys stay unenforced, as SQLite leaves them: the store adds
        // readings only to runs it began, and checking would cost a lookup
        // for every reading.
    }
    ~SqliteDatabase() override { sqlite3_close_v2(db_); }

    // Programs that make a new store at once (a station's slots) each turn
    // it to WAL, which takes the file's exclusive lock; SQLite answers one
    // that holds a read lock "database is locked" at once, without the busy
    // timeout, rather than let two wait for each other. Each try lets its
    // lock go, so the other's switch goes through, and the next try finds
    // the store in WAL already.
    void walMode() {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMilliseconds);
        for (;;) {
            try {
                query("PRAGMA journal_mode=WAL", {});
                return;
            } catch (const StoreError& e) {
                const int code = sqlite3_errcode(db_) & 0xff;
                const bool busy =
                    code == SQLITE_BUSY ||
                    std::string(e.what()).find("database is locked") != std::string::npos;
                if (!busy || std::chrono::steady_clock::now() > until) {
                    throw;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    std::string name() const override { return name_; }
    std::string engine() const override { return "sqlite"; }

    void execute(const std::string& sql, const Row& values) override {
        Statement s(db_, sql, name_);
        s.bind(values);
        while (s.step(name_)) {
        }
    }
    std::vector<Row> query(const std::string& sql, const Row& values) override {
        Statement s(db_, sql, name_);
        s.bind(values);
        std::vector<Row> rows;
        while (s.step(name_)) {
            rows.push_back(s.row());
        }
        return rows;
    }
    void executeMany(const std::string& sql, const std::vector<Row>& rows) override {
        Statement s(db_, sql, name_);
        for (const Row& row : rows) {
            s.bind(row);
            while (s.step(name_)) {
            }
        }
    }
    void insertMany(const std::string& table, const std::string& columns, const Row& shared,
                    std::size_t count, const RowSource& fill) override {
        if (count == 0) {
            return;
        }
        Row row;
        fill(0, row);
        std::string marks;
        for (std::size_t i = 0; i < shared.size() + row.size(); ++i) {
            marks += i ? ", ?" : "?";
        }
        Statement s(db_, "INSERT INTO " + table + " (" + columns + ") VALUES (" + marks + ")",
                    name_);
        for (std::size_t i = 0; i < count; ++i) {
            fill(i, row);
            s.bind(shared);
            s.bind(row, static_cast<int>(shared.size()) + 1);
            while (s.step(name_)) {
            }
        }
    }
    // IMMEDIATE takes the write lock at once, so that the busy timeout
    // applies here rather than a deadlock showing at the first write.
    void beginWrite() override { execute("BEGIN IMMEDIATE", {}); }
    void commit() override { execute("COMMIT", {}); }
    void lockSchema() override {} // BEGIN IMMEDIATE holds the whole file
    void rollback() override {
        if (!sqlite3_get_autocommit(db_)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }

  private:
    void refuse(const std::string& problem) {
        if (!problem.empty()) {
            throw StoreError(problem);
        }
    }

    void open(const std::string& path, int flags) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) !=
            SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            db_ = nullptr;
            throw StoreError(name_ + ": cannot be opened: " + why);
        }
    }

    // A store in WAL mode is read through its -shm and -wal files, which a
    // reader makes when they are missing: in a folder the reader may not
    // write, or beside side files it may not open, and with no commit in a
    // -wal (none there, or an empty one), the file holds every commit and is
    // read as it stands.
    void readable(const std::string& path) {
        if (sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) ==
            SQLITE_OK) {
            return;
        }
        std::error_code error;
        const std::string wal = path + "-wal";
        const std::filesystem::path walFile(std::u8string(wal.begin(), wal.end()));
        if (std::filesystem::exists(walFile, error) &&
            std::filesystem::file_size(walFile, error) != 0) {
            throw StoreError(name_ + ": cannot be read: " + sqlite3_errmsg(db_));
        }
        open(uriOf(path) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    }

    // `path` as a file: URI, every byte that could mean something else
    // escaped.
    static std::string uriOf(const std::string& path) {
        std::string uri = "file:";
        for (const char c : path) {
            const auto byte = static_cast<unsigned char>(c);
            if (std::isalnum(byte) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
                uri += c;
            } else if (c == '\\') {
                uri += '/';
            } else {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
                uri += escaped;
            }
        }
        return uri;
    }

    std::string name_;
    sqlite3* db_ = nullptr;
};

} // namespace

std::unique_ptr<Database> openSqlite(const std::string& path, StoreAccess access) {
    return std::make_unique<SqliteDatabase>(path, access);
}

std::string sqliteProblem(const std::string& path) {
    for (const char* beside : {"", "-wal", "-shm", "-journal"}) {
        const std::string file = path + beside;
        if (const std::string why = platform::plantedProblem(file); !why.empty()) {
            return file + ": " + why;
        }
    }
    return {};
}

} // namespace qd::results
