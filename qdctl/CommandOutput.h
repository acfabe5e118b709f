#pragma once

// How a command's result reaches its user: each command turns its own
// result into an Outcome (its text, its JSON, its exit status), beside its
// code, and finish prints it as asked.

#include "run/Characterize.h"
#include "run/CharacterizeCsv.h"
#include "run/Columns.h"
#include "session/CommonOptions.h"

#include <QJsonObject>
#include <QString>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qd::qdctl {

//
// The text and the JSON are made only when printed, the one asked for
// alone: building JSON touches much of Qt Core that a plain answer never
// needs. They read the result they were made from, so an Outcome is made
// and printed while that result lives (one expression, or its scope).
struct Outcome {
    Outcome(std::function<std::string()> text_, std::function<QJsonObject()> json_, int status_)
        : text(std::move(text_)), json(std::move(json_)), status(status_) {}

    std::function<std::string()> text; // for a person, without the final line end
    std::function<QJsonObject()> json; // for --json; the run's id is added to it
    int status = 0;                    // the exit status of a command that did not fail
    // Its rows went to standard output, where a CSV reader takes them: the
    // text goes to standard error.
    bool textToStandardError = false;
    std::string timing; // with --timing: a line on standard error
};

// Ends a command that ran once: prints its outcome as asked, with the id of
// the run the results store keeps it as (`run`, "" for none), and returns
// its exit status. A failed print raises Failure, but for a run a signal
// ended, which says so by its status.
int finish(const session::CommonOptions& common, const Outcome& outcome,
           const std::string& run = {});

// One compact JSON object and its line end on standard output, as --json
// gives every answer.
void writeJson(const QJsonObject& json);

// What every command's output shares.
QString qstring(const std::string& text);
// Whether the firmware was loaded or ran already, as JSON says it.
const char* firmwareWord(bool downloaded);
// Volts as the display shows them: three decimals, never "-0.000"; and as
// JSON gives them.
std::string volts3(double volts);
double rounded3(double volts);

using run::columnsText;

// Says, a line a run, which of `runs` hold a number column the store could
// not give (results::Run::damaged), so that one odd row does not hide the
// others; WriteFailed when any does, else `status`.
int tellDamaged(const std::vector<results::Run>& runs, int status);
// A characterization's figures, verdict and report, judged again from the
// store, printed as characterize prints its own; its exit status.
int printCharacterization(const run::CharacterizeResult& result,
                          const session::CommonOptions& common);

} // namespace qd::qdctl
