// The store's PostgreSQL engine: a lab's central store, which many benches
// record and push into at once, through libpq.

#include "results/Database.h"

#include <algorithm>
#include <cstdio>
#include <libpq-fe.h>

namespace qd::results {

namespace {

// '?' placeholders as PostgreSQL numbers them, from `first`.
std::string numbered(const std::string& sql, int& next) {
    std::string out;
    for (const char c : sql) {
        if (c == '?') {
            out += "$" + std::to_string(next++);
        } else {
            out += c;
        }
    }
    return out;
}

class Result {
  public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return r_; }

  private:
    PGresult* r_;
};

class PostgresDatabase final : public Database {
  public:
    explicit PostgresDatabase(const std::string& uri) : name_(withoutPassword(uri)) {
        conn_ = PQconnectdb(uri.c_str());
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            const std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
            PQfinish(conn_);
            throw StoreError(name_ + ": cannot connect: " + trimmed(why));
        }
        // Notices (a table that exists already) are not the user's concern.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
    }
    ~PostgresDatabase() override { PQfinish(conn_); }
    PostgresDatabase(const PostgresDatabase&) = delete;
    PostgresDatabase& operator=(const PostgresDatabase&) = delete;

    std::string name() const override { return name_; }
    std::string engine() const override { return "postgresql"; }

    void execute(const std::string& sql, const Row& values) override { PQclear(run(sql, values)); }

    std::vector<Row> query(const std::string& sql, const Row& values) override {
        const Result r(run(sql, values));
        std::vector<Row> rows;
        const int columns = PQnfields(r.get());
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            Row row;
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(r.get(), i, c)) {
                    row.emplace_back(std::monostate{});
                } else {
                    row.emplace_back(
                        std::string(PQgetvalue(r.get(), i, c),
                                    static_cast<std::size_t>(PQgetlength(r.get(), i, c))));
                }
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    // A few rows (a run's figures); readings go through insertMany.
    void executeMany(const std::string& sql, const std::vector<Row>& rows) override {
        for (const Row& row : rows) {
            execute(sql, row);
        }
    }

    // COPY's text format: a line a row, values apart by tabs, \\N for none,
    // and the format's own characters escaped; the rows go to the server
    // in large pieces without a round trip each.
    void insertMany(const std::string& table, const std::string& columns, const Row& shared,
                    std::size_t count, const RowSource& fill) override {
        if (count == 0) {
            return;
        }
        PQclear(run("COPY " + table + " (" + columns + ") FROM STDIN", {}));
        std::string chunk;
        const auto send = [&] {
            if (PQputCopyData(conn_, chunk.data(), static_cast<int>(chunk.size())) != 1) {
                throw StoreError(name_ + ": " + trimmed(PQerrorMessage(conn_)));
            }
            chunk.clear();
        };
        const auto field = [](std::string& out, const Value& value) {
            if (std::holds_alternative<std::monostate>(value)) {
                out += "\\N";
                return;
            }
            for (const char c : copyText(value)) {
                switch (c) {
                case '\\':
                    out += "\\\\";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                default:
                    out += c;
                }
            }
        };
        std::string prefix;
        for (const Value& value : shared) {
            field(prefix, value);
            prefix += '\t';
        }
        Row row;
        for (std::size_t r = 0; r < count; ++r) {
            fill(r, row);
            chunk += prefix;
            for (std::size_t i = 0; i < row.size(); ++i) {
                chunk += i ? "\t" : "";
                field(chunk, row[i]);
            }
            chunk += '\n';
            if (chunk.size() > (1u << 16)) {
                send();
            }
        }
        if (!chunk.empty()) {
            send();
        }
        if (PQputCopyEnd(conn_, nullptr) != 1) {
            throw StoreError(name_ + ": " + trimmed(PQerrorMessage(conn_)));
        }
        while (PGresult* r = PQgetResult(conn_)) {
            const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
            const std::string why = ok ? "" : trimmed(PQresultErrorMessage(r));
            PQclear(r);
            if (!ok) {
                throw StoreError(name_ + ": " + why);
            }
        }
    }

    void beginWrite() override { execute("BEGIN", {}); }
    // Two programs making the tables at once would collide in the catalog
    // even with IF NOT EXISTS; a lock for the transaction keeps them apart.
    void lockSchema() override {
        execute("SELECT pg_advisory_xact_lock(?)", {std::int64_t{0x51443136}});
    }
    void commit() override { execute("COMMIT", {}); }
    void rollback() override {
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            PQclear(PQexec(conn_, "ROLLBACK"));
        }
    }

  private:
    static std::string trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        return text;
    }

    static std::string copyText(const Value& v) {
        if (const auto* d = std::get_if<double>(&v)) {
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", *d);
            return text;
        }
        return textOf(v);
    }

    PGresult* run(const std::string& sql, const Row& values) {
        int next = 1;
        return runNumbered(numbered(sql, next), values);
    }

    // Values go as text in their own parameters, never into the SQL.
    PGresult* runNumbered(const std::string& sql, const Row& values) {
        std::vector<std::string> texts;
        texts.reserve(values.size());
        std::vector<const char*> pointers;
        for (const Value& v : values) {
            if (std::holds_alternative<std::monostate>(v)) {
                texts.emplace_back();
            } else if (const auto* d = std::get_if<double>(&v)) {
                char text[32];
                std::snprintf(text, sizeof text, "%.17g", *d);
                texts.emplace_back(text);
            } else {
                texts.push_back(textOf(v));
            }
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            pointers.push_back(
                std::holds_alternative<std::monostate>(values[i]) ? nullptr : texts[i].c_str());
        }
        PGresult* r = PQexecParams(conn_, sql.c_str(), static_cast<int>(pointers.size()), nullptr,
                                   pointers.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_COPY_IN) {
            const std::string why = trimmed(PQresultErrorMessage(r));
            PQclear(r);
            throw StoreError(name_ + ": " + why);
        }
        return r;
    }

    std::string name_;
    PGconn* conn_ = nullptr;
};

} // namespace

std::unique_ptr<Database> openPostgres(const std::string& uri) {
    return std::make_unique<PostgresDatabase>(uri);
}

} // namespace qd::results
