#pragma once

// The run a command that touches the board records in the results store:
// begun when the board is first touched, its readings written as they are
// measured, ended with its exit status, verdict and figures. A store that
// fails never costs the measurement: the command's files are still written,
// and it ends with status 8 and a line naming the store and the cause.

#include "measure/Loop.h"
#include "results/Store.h"
#include "session/CommonOptions.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace qd::results {
class Recorder;
}

namespace qd::run {

// What a command records in the results store.
enum class Records {
    Nothing, // it touches no board
    Few,     // a run of a handful of readings, each written as it comes
    Many,    // a loop of readings, which a writer thread commits as the loop goes on
};

class Recording {
  public:
    // `kind`: the command, which records as `records` says.
    Recording(const session::CommonOptions& common, std::string kind, Records records);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // The URL --results, $QD_RESULTS or the default names; Failure(BadArguments)
    // for one that names no store (results::storeUrlProblem).
    static std::string urlOf(const session::CommonOptions& common);
    // That store, to read runs from, opened read-only: Failure(BadArguments)
    // for none and for a path where there is none, Failure(WriteFailed)
    // naming it when it cannot be opened.
    static std::unique_ptr<results::Store> storeToRead(const session::CommonOptions& common);

    // What lets a stop signal end a wait for the store rather than the
    // program: `hold` is called as a wait may begin (the run's start, its
    // end) and what it gives is held until it is over; `stopped` then
    // tells that one came. Unset: a signal does what it did.
    struct StoreStop {
        std::function<std::shared_ptr<void>()> hold;
        std::function<bool()> stopped;
    };
    void stopStoreWaitsWith(StoreStop stop) { stop_ = std::move(stop); }

    // Runs `command`, ending the run with the status it returns or the
    // failure it raises (which is raised again); the status to exit with.
    int around(const std::function<int()>& command);

    // Records the run's start with what is known of it; once, as the board
    // is first touched.
    void begin(std::map<std::string, std::string> fields);
    // A column learnt later (the board, the meter), written at the end.
    void set(const std::string& column, const std::string& value);
    // A code's readings, as they come; a measurement loop's sink.
    void add(std::int32_t code, std::int32_t frame, const std::vector<double>& values);
    measure::Sink sink();
    void conclude(const std::string& verdict, std::vector<results::Figure> figures);

    // The run's id once begun, else "".
    const std::string& id() const { return id_; }

  private:
    // Ends the run; `say`: print its id.
    int end(int status, bool say);

    const session::CommonOptions& common_;
    std::string kind_; // "" when it records nothing
    std::string url_;  // its store's, as urlOf gave it when it was made
    Records records_;
    std::unique_ptr<results::Store> store_;
    std::unique_ptr<results::Recorder> recorder_;
    std::string id_, failure_, verdict_;
    std::map<std::string, std::string> later_;
    std::vector<results::Figure> figures_;
    StoreStop stop_;
};

// How long a server may keep the store waiting: $QD_RESULTS_CONNECT_TIMEOUT
// and $QD_RESULTS_STATEMENT_TIMEOUT, whole seconds (0: no bound), 10 and 60
// unless set; Failure(BadArguments) naming a setting that is no such
// number. Its waits end too when `stopped` says so.
results::ServerLimits serverLimits(std::function<bool()> stopped = {});

// The store `url` names (results::openStore), for `access`, a PostgreSQL
// server's through qdctl's postgres module, loaded then.
std::unique_ptr<results::Store> openStore(const std::string& url, results::StoreAccess access,
                                          const results::ServerLimits& limits = serverLimits());

// A figure of one value, without an uncertainty.
results::Figure figureOf(std::string name, double value, std::string unit);

} // namespace qd::run
