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
    // That store, to read runs from: Failure(BadArguments) for none,
    // Failure(WriteFailed) naming it when it cannot be opened.
    static std::unique_ptr<results::Store> storeToRead(const session::CommonOptions& common);

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
};

// The store `url` names (results::openStore), a PostgreSQL server's through
// qdctl's postgres module, loaded then.
std::unique_ptr<results::Store> openStore(const std::string& url);

// A figure of one value, without an uncertainty.
results::Figure figureOf(std::string name, double value, std::string unit);

} // namespace qd::run
