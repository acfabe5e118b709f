// The store's PostgreSQL engine: a lab's central store, which many benches
// record and push into at once, through libpq.

#include "platform/Socket.h"
#include "results/Database.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

using Clock = std::chrono::steady_clock;

// libpq's own waits know neither a bound on a statement nor a stop signal:
// every wait here is the program's, on the connection's socket, a tenth of
// a second at a time.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr auto kNoDeadline = Clock::time_point::max();

class PostgresDatabase final : public Database {
  public:
    PostgresDatabase(const std::string& uri, ServerLimits limits)
        : name_(withoutPassword(uri)), limits_(std::move(limits)) {
        try {
            connect(uri);
        } catch (...) {
            PQfinish(conn_); // no destructor runs for a constructor that throws
            throw;
        }
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
        const auto deadline = statementDeadline();
        std::string chunk;
        const auto send = [&] {
            int put = 0;
            while ((put = PQputCopyData(conn_, chunk.data(), static_cast<int>(chunk.size()))) ==
                   0) {
                flush(deadline);
            }
            if (put != 1) {
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
        int ended = 0;
        while ((ended = PQputCopyEnd(conn_, nullptr)) == 0) {
            flush(deadline);
        }
        if (ended != 1) {
            throw StoreError(name_ + ": " + trimmed(PQerrorMessage(conn_)));
        }
        flush(deadline);
        PQclear(checked(answer(deadline)));
    }

    void beginWrite() override { execute("BEGIN", {}); }
    // Two programs making the tables at once would collide in the catalog
    // even with IF NOT EXISTS; a lock for the transaction keeps them apart.
    void lockSchema() override {
        execute("SELECT pg_advisory_xact_lock(?)", {std::int64_t{0x51443136}});
    }
    void commit() override { execute("COMMIT", {}); }
    void rollback() override {
        if (conn_ && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            try {
                execute("ROLLBACK", {});
            } catch (const StoreError&) {
                // The connection is given up, and the transaction with it.
            }
        }
    }

  private:
    void connect(const std::string& uri) {
        // Before dbname, so that a connect_timeout in the URI wins.
        const std::string seconds = std::to_string(limits_.connect.count());
        const char* keywords[] = {"connect_timeout", "dbname", nullptr};
        const char* values[] = {seconds.c_str(), uri.c_str(), nullptr};
        conn_ = PQconnectStartParams(keywords, values, 1);
        if (!conn_ || PQstatus(conn_) == CONNECTION_BAD) {
            giveUp("cannot connect: " +
                   (conn_ ? trimmed(PQerrorMessage(conn_)) : std::string("out of memory")));
        }
        const std::chrono::seconds bound = connectTimeout();
        const Clock::time_point deadline = bound.count() > 0 ? Clock::now() + bound : kNoDeadline;
        for (auto polled = PGRES_POLLING_WRITING; polled != PGRES_POLLING_OK;
             polled = PQconnectPoll(conn_)) {
            if (polled == PGRES_POLLING_FAILED) {
                giveUp("cannot connect: " + trimmed(PQerrorMessage(conn_)));
            }
            wait(polled == PGRES_POLLING_WRITING, deadline, bound, "connecting",
                 "QD_RESULTS_CONNECT_TIMEOUT");
        }
        // Notices (a table that exists already) are not the user's concern.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        PQsetnonblocking(conn_, 1);
        execute("SELECT set_config('statement_timeout', ?, false)",
                {std::to_string(limits_.statement.count() * 1000)});
    }

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
        if (!conn_) {
            throw StoreError(name_ + ": the connection was given up earlier");
        }
        const auto deadline = statementDeadline();
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(pointers.size()), nullptr,
                               pointers.data(), nullptr, nullptr, 0)) {
            throw StoreError(name_ + ": " + trimmed(PQerrorMessage(conn_)));
        }
        flush(deadline);
        return checked(answer(deadline));
    }

    PGresult* checked(PGresult* r) {
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_COPY_IN) {
            const std::string why =
                r ? trimmed(PQresultErrorMessage(r)) : trimmed(PQerrorMessage(conn_));
            PQclear(r);
            throw StoreError(name_ + ": " + why);
        }
        return r;
    }

    // The statement's result (its first failure, if any), once the server
    // has said all it has to say; a COPY's as soon as it may begin.
    PGresult* answer(Clock::time_point deadline) {
        PGresult* kept = nullptr;
        while (true) {
            while (PQisBusy(conn_)) {
                wait(false, deadline, limits_.statement, "waiting for an answer",
                     "QD_RESULTS_STATEMENT_TIMEOUT");
                if (!PQconsumeInput(conn_)) {
                    PQclear(kept);
                    giveUp(trimmed(PQerrorMessage(conn_)));
                }
            }
            PGresult* r = PQgetResult(conn_);
            if (!r) {
                return kept;
            }
            const ExecStatusType status = PQresultStatus(r);
            if (status == PGRES_COPY_IN) {
                PQclear(kept);
                return r;
            }
            const bool failed = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
            if (!kept || (failed && PQresultStatus(kept) != PGRES_FATAL_ERROR)) {
                PQclear(kept);
                kept = r;
            } else {
                PQclear(r);
            }
        }
    }

    // Sends what libpq holds for the server, reading what it says meanwhile
    // so that neither side waits on the other.
    void flush(Clock::time_point deadline) {
        int left = 0;
        while ((left = PQflush(conn_)) == 1) {
            wait(true, deadline, limits_.statement, "sending", "QD_RESULTS_STATEMENT_TIMEOUT");
            if (!PQconsumeInput(conn_)) {
                giveUp(trimmed(PQerrorMessage(conn_)));
            }
        }
        if (left < 0) {
            giveUp(trimmed(PQerrorMessage(conn_)));
        }
    }

    // A statement's answer may take the server's statement_timeout, and the
    // time of a connection more to arrive.
    Clock::time_point statementDeadline() const {
        if (limits_.statement.count() <= 0) {
            return kNoDeadline;
        }
        return Clock::now() + limits_.statement +
               std::max(limits_.connect, std::chrono::seconds(1));
    }

    std::chrono::seconds connectTimeout() const {
        std::chrono::seconds bound{0};
        if (PQconninfoOption* options = PQconninfo(conn_)) {
            for (const PQconninfoOption* o = options; o->keyword; ++o) {
                if (std::string(o->keyword) == "connect_timeout" && o->val) {
                    bound = std::chrono::seconds(std::atol(o->val));
                }
            }
            PQconninfoFree(options);
        }
        return bound;
    }

    // Until the socket is ready: the connection is given up when the
    // deadline passes or a stop comes first.
    void wait(bool send, Clock::time_point deadline, std::chrono::seconds bound, const char* doing,
              const char* setting) {
        while (true) {
            if (limits_.stopped && limits_.stopped()) {
                giveUp(std::string("a stop signal ended the wait for the server (") + doing + ")");
            }
            auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(kWaitSlice);
            if (deadline != kNoDeadline) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) {
                    giveUp("no answer within " + std::to_string(bound.count()) + " s (" + doing +
                           "; " + setting + " sets the bound)");
                }
                slice = std::min(slice, left);
            }
            const int socket = PQsocket(conn_);
            const int ready = send ? platform::waitToReceiveOrSend(socket, slice)
                                   : platform::waitToReceive(socket, slice);
            if (ready > 0) {
                return;
            }
            if (ready < 0) {
                giveUp(platform::lastSocketErrorText());
            }
        }
    }

    // The connection is no use once a wait is abandoned halfway through a
    // statement: closed, which ends its transaction on the server.
    [[noreturn]] void giveUp(const std::string& why) {
        PQfinish(conn_);
        conn_ = nullptr;
        throw StoreError(name_ + ": " + why);
    }

    std::string name_;
    ServerLimits limits_;
    PGconn* conn_ = nullptr;
};

} // namespace

std::unique_ptr<Database> openPostgres(const std::string& uri, const ServerLimits& limits) {
    return std::make_unique<PostgresDatabase>(uri, limits);
}

} // namespace qd::results
