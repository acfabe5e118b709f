#pragma once

// The store's runs as a reader sees them, for `qdctl runs` and the bench
// window's History alike: the list and its filters, one run shown, two
// compared, a run's CSV and report made again from the store alone, and
// runs pushed to another store, each said in the one set of words.

#include "report/ReportData.h"
#include "results/Store.h"
#include "run/Characterize.h"
#include "session/CommonOptions.h"
#include "session/ExitStatus.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qd::run {

// Runs `read`, what the store raises said as `qdctl runs` says it: a run
// it lacks Failure(BadArguments), any other fault Failure(WriteFailed)
// naming the results store.
template <typename Read> auto readingStore(Read&& read) -> decltype(read()) {
    try {
        return read();
    } catch (const results::UnknownRun& e) {
        throw session::Failure(session::BadArguments, e.what());
    } catch (const results::StoreError& e) {
        throw session::Failure(session::WriteFailed, std::string("results store: ") + e.what());
    }
}

// A run's verdict as a reader tells it: one that did not end is RUNNING
// while its process runs on this machine, else INTERRUPTED.
std::string verdictOf(const results::Run& run);

// The runs `filter` gives, newest first; `station`, when given, names the
// station by the start of its id (stationNamed, as --station).
std::vector<results::Run> listRuns(results::Store& store, results::Filter filter,
                                   const std::string& station);
// `runs list`'s columns of a run: the start of its id, its command, when
// it started, its converter, its unit's serial (control characters shown)
// and its verdict.
std::vector<std::string> listColumns(const results::Run& run);
// `runs list`'s text: a line a run, or "no runs".
std::string listText(const std::vector<results::Run>& runs);

// A figure's value with its uncertainty and unit ("0.123 ± 0.004 LSB"), or
// its word.
std::string figureText(const results::Figure& figure);
// `runs show`'s text: the run's columns, its stored settings, its verdict,
// how many readings it has and its figures.
std::string showText(const results::Run& run, const std::vector<results::Figure>& figures,
                     std::size_t readings);

// What a run with columns the store could not read says of them.
std::string damageText(const results::Run& run);
// Refuses a run a command cannot use without the columns it lacks:
// Failure(WriteFailed) with damageText.
void refuseDamaged(const results::Run& run);

// One figure of two runs: its difference (b's less a's) and, when both
// have an uncertainty, their combined one (root sum of squares) and
// whether the difference is beyond it.
struct FigureComparison {
    results::Figure a, b;
    double difference = 0;
    std::optional<double> uncertainty;
    bool exceeds = false;
};
struct Comparison {
    results::Run a, b;
    std::vector<FigureComparison> figures; // those of a's with a value that b has too
    std::size_t beyond = 0;                // how many exceed their uncertainty
};
// Two runs of one kind compared figure by figure; Failure(BadArguments)
// for runs of two kinds, Failure(WriteFailed) for a damaged one.
Comparison compareRuns(results::Store& store, const std::string& a, const std::string& b);
// " ± 0.0042 DIFFERS" or " ± 0.0042 within"; "" without an uncertainty.
std::string differenceWords(const FigureComparison& figure);
// `runs compare`'s text.
std::string comparisonText(const Comparison& comparison);

// A stored run's readings written to `csv` as its command wrote them (a
// characterization's setup lines and rows, any other run's codes and
// readings); "-" for standard output.
void exportCsv(results::Store& store, const std::string& run, const std::string& csv,
               const session::CommonOptions& common);

// A stored run's report made again from the store: a sweep's plot
// (NAME.png, NAME.svg or NAME.pdf), or a characterization judged again by
// its own limits, its report (NAME.html, NAME.pdf) written and its result
// given. Refuses any other kind of run (Failure(BadArguments)).
std::optional<CharacterizeResult> reportStored(results::Store& store, const results::Run& run,
                                               const std::string& report,
                                               const session::CommonOptions& common);
// A stored run's picture as its report draws it, for a characterization or
// a sweep; nothing for another kind of run.
std::optional<report::ReportData> pictureOfStored(results::Store& store, const results::Run& run,
                                                  const session::CommonOptions& common);

// The store runs are pushed to (--to), opened to record, its waits ending
// when `stopped` says so; Failure naming --to when it names none or cannot
// be opened.
std::unique_ptr<results::Store> pushTarget(const std::string& to,
                                           std::function<bool()> stopped = {});
struct Pushed {
    std::size_t copied = 0, updated = 0, there = 0;
    std::vector<std::string> recording; // runs left until they end
    std::string to;                     // the store's name
};
// Copies to `to` the runs of `from` that it lacks or holds otherwise: the
// runs named by `ids` (each an id or an unambiguous start of one), every
// run when none is named. A run still recording is left for a later push.
Pushed pushRuns(results::Store& from, results::Store& to, const std::vector<std::string>& ids);
// `runs push`'s text.
std::string pushedText(const Pushed& pushed);

} // namespace qd::run
