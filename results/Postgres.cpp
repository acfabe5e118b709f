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

// A URI's password is not for messages.
std::string withoutPassword(const std::string& uri) {
    const auto scheme = uri.find("://");
    const auto at = uri.find('@');
    if (scheme == std::string::npos || at == std::string::npos) {
        return uri;
    }
    const auto colon = uri.find(':', scheme + 3);
    return colon != std::string::npos && colon < at ? uri.substr(0, colon) + uri.substr(at) : uri;
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

    // Many rows a statement: one round trip per thousand rows rather than
    // per row.
    void executeMany(const std::string& sql, const std::vector<Row>& rows) override {
        const auto values = sql.rfind("VALUES (");
        if (values == std::string::npos) {
            for (const Row& row : rows) {
                run(sql, row);
            }
            return;
        }
        const std::string head = sql.substr(0, values + 7);
        const std::string group = sql.substr(values + 7);
        constexpr std::size_t kRowsPerStatement = 1000;
        for (std::size_t from = 0; from < rows.size(); from += kRowsPerStatement) {
            const std::size_t to = std::min(rows.size(), from + kRowsPerStatement);
            std::string statement = head;
            Row all;
            int next = 1;
            for (std::size_t i = from; i < to; ++i) {
                statement += (i == from ? "" : ", ") + numbered(group, next);
                all.insert(all.end(), rows[i].begin(), rows[i].end());
            }
            PQclear(runNumbered(statement, all));
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
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
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
