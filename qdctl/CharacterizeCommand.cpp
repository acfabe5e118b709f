// qdctl characterize: its options, their checks and help; the run itself is
// the engine's.

#include "control/DataWord.h"
#include "measure/FigureKinds.h"
#include "measure/Plan.h"
#include "platform/Process.h"
#include "qdctl/BoardCommands.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/Progress.h"
#include "qdctl/Station.h"
#include "qdctl/StopSignals.h"
#include "run/Characterize.h"
#include "run/CharacterizeReport.h"
#include "run/Recording.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QFileInfo>
#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <vector>

namespace qd::qdctl {

using run::CsvRun;

using control::formatCode;
using run::CharacterizeSetup;
using run::figureRows;
using run::verdictName;
using session::BadArguments;
using session::CommonOptions;
using session::Failure;

namespace {

QJsonValue orNull(const std::optional<double>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonObject figureJson(const measure::Figure& f) {
    return {{"value", f.value}, {"uncertainty", orNull(f.uncertainty)}};
}

QJsonObject extremeJson(const measure::Extreme& e) {
    QJsonObject json = figureJson(e);
    json.insert("code", qstring(formatCode(e.code)));
    return json;
}

// A per-code figure as a datasheet gives it.
QJsonObject spanJson(const measure::Span& s) {
    return {{"min", extremeJson(s.min)}, {"max", extremeJson(s.max)}};
}

QJsonArray stringsJson(const std::vector<std::string>& lines) {
    QJsonArray array;
    for (const auto& line : lines) {
        array.append(qstring(line));
    }
    return array;
}

QJsonObject characterizeJson(const CharacterizeResult& r) {
    QJsonObject meter{
        {"resource", r.meter.empty() ? QJsonValue(QJsonValue::Null) : qstring(r.meter)},
        {"idn", qstring(r.meterIdentity)},
        {"dialect", qstring(r.meterFamily)},
        {"range_v", r.meterRangeVolts},
        {"nplc", r.nplc},
        {"samples", r.samples},
        {"settle_ms", r.settleMs}};
    if (!r.meterCalibration.empty()) {
        meter.insert("calibration_date", qstring(r.meterCalibration));
    }
    QJsonObject json{{"device", qstring(r.device)},
                     {"bits", r.bits},
                     {"board", qstring(r.board)},
                     {"board_serial", r.boardSerial.empty() ? QJsonValue(QJsonValue::Null)
                                                            : QJsonValue(qstring(r.boardSerial))},
                     {"meter", meter},
                     {"codes", qstring(r.plan)},
                     {"planned", static_cast<qint64>(r.planned)},
                     {"measured", static_cast<qint64>(r.measured)},
                     {"reference_v", r.referenceVolts},
                     {"date", qstring(r.date)},
                     {"verdict", qstring(verdictName(r))},
                     {"pass", r.verdict.pass},
                     {"failures", stringsJson(r.verdict.failures)},
                     {"conditional", stringsJson(r.verdict.conditional)},
                     {"interrupted", r.interrupted()},
                     {"firmware", firmwareWord(r.downloaded)},
                     {"seconds", r.seconds},
                     {"meter_seconds", r.meterSeconds}};
    if (const std::string limits = r.limits.text(); !limits.empty()) {
        json.insert("limits", qstring(limits));
    }
    if (r.endStatus != 0) {
        json.insert("status", r.endStatus);
        json.insert("error", qstring(r.endMessage));
    }
    if (r.resumed != 0) {
        json.insert("resumed", static_cast<qint64>(r.resumed));
    }
    for (const auto& [key, value] :
         {std::pair{"serial", &r.serial}, std::pair{"operator", &r.operatorName},
          std::pair{"temperature", &r.temperature}, std::pair{"note", &r.note},
          std::pair{"from", &r.from}}) {
        if (!value->empty()) {
            json.insert(key, qstring(*value));
        }
    }
    for (const auto& [key, path] :
         {std::pair{"csv", &r.csv}, std::pair{"plot", &r.plot}, std::pair{"report", &r.report}}) {
        if (!path->empty()) {
            json.insert(key, qstring(*path));
        }
    }
    if (r.figures) {
        const measure::Figures& f = *r.figures;
        QJsonObject figures{{measure::kZeroCodeError.name, figureJson(f.zeroCode)},
                            {measure::kFullScaleError.name, figureJson(f.fullScale)},
                            {measure::kOffsetError.name, figureJson(f.offset)},
                            {measure::kGainError.name, figureJson(f.gain)},
                            {measure::kInlBestFit.name, spanJson(f.inlBestFit)},
                            {measure::kInlEndpoint.name, spanJson(f.inlEndpoint)},
                            {"monotonic", measure::monotonicWord(f.monotonic)},
                            {measure::kSmallestStep.name, extremeJson(f.smallestStep)},
                            {"lsb_v", f.lsbVolts},
                            {"noise_v", orNull(f.noiseVolts)},
                            {"notes", stringsJson(f.notes)}};
        figures.insert(measure::kDnl.name, f.steps.empty() ? QJsonValue(QJsonValue::Null)
                                                           : QJsonValue(spanJson(f.dnl)));
        figures.insert("response", measure::responseWord(f.response));
        if (f.response != measure::Response::Follows) {
            for (const char* key : {measure::kInlBestFit.name, measure::kInlEndpoint.name,
                                    measure::kSmallestStep.name}) {
                figures.insert(key, QJsonValue::Null);
            }
        }
        json.insert("figures", figures);
    }
    return json;
}

std::string characterizeText(const CharacterizeResult& r) {
    std::string text = r.device + " characterized with " + r.meterIdentity + ": " +
                       std::to_string(r.measured) + " of " + std::to_string(r.planned) +
                       " codes (" + r.plan + ")" + (r.interrupted() ? ", interrupted" : "") + "\n";
    for (const auto& row : figureRows(r)) {
        char line[256];
        std::snprintf(line, sizeof line, "%-18s %12s %-10s %-5s %s%s%s\n", row.name.c_str(),
                      row.value.c_str(), row.uncertainty.c_str(), row.unit.c_str(),
                      row.where.c_str(),
                      row.limit.empty()   ? ""
                      : row.where.empty() ? "limit "
                                          : ", limit ",
                      row.limit.c_str());
        text += line;
    }
    if (!r.figures) {
        text += "no figures: the codes they need were not all measured\n";
    }
    text += verdictName(r);
    if (r.verdict.decision == measure::Decision::Conditional && r.verdict.pass) {
        text += ", accepted";
    }
    for (const auto* lines : {&r.verdict.failures, &r.verdict.conditional}) {
        for (const auto& line : *lines) {
            text += "\n  " + line;
        }
    }
    return text;
}

// A characterization's outcome: 128 + the signal that stopped it, the
// status of a failure that ended it early, else its verdict's.
Outcome outcomeOf(const CharacterizeResult& r) {
    Outcome o{[&r] { return characterizeText(r); }, [&r] { return characterizeJson(r); },
              r.signal != 0      ? 128 + r.signal
              : r.endStatus != 0 ? r.endStatus
              : r.verdict.pass   ? session::Ok
                                 : session::CheckFailed};
    o.textToStandardError = r.csv == "-";
    return o;
}

class CharacterizeCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions& common) override {
        app.description(
            "Programs each code of a plan, measures the output with a bench DMM (--meter) or the "
            "on-board converter, and computes the datasheet's static figures: zero-code and "
            "full-scale error, offset and gain error from the endpoint line through the fit "
            "range (2^N/128 to 127*2^N/128), INL per code against the endpoint and the best-fit "
            "line, DNL per step and monotonicity, each with its uncertainty from the samples' "
            "spread. Rows go to --csv as they are measured, as a sweep's do. A converter that is "
            "not shown monotonic, or a figure beyond --limits, makes the exit status 1. " +
            measure::decisionRuleText());
        addDevice(app, o_.device, false);
        app.add_option("--meter", o_.meter,
                       "the bench DMM: TCPIP::HOST[::PORT]::SOCKET (raw socket, port 5025 unless "
                       "given), TCPIP::HOST::INSTR (VXI-11) or a USBTMC device file "
                       "(/dev/usbtmc0); without it the on-board converter measures");
        app.add_option("--meter-timeout", o_.meterTimeout,
                       "seconds the meter may take to answer, a reading's integration aside")
            ->check(CLI::Range(0.1, 600.0))
            ->capture_default_str();
        app.add_option("--codes", o_.codes,
                       "all, fast (the carries and a grid: under 1% of a 16-bit converter's "
                       "codes), or EVERY, hexadecimal as every code: every EVERY-th code (100: "
                       "each 256th)")
            ->capture_default_str();
        app.add_option("--nplc", o_.nplc, "the meter's integration time in power-line cycles")
            ->capture_default_str();
        app.add_option("--samples", o_.samples, "readings per code")
            ->check(CLI::Range(1, 100))
            ->capture_default_str();
        app.add_option("--settle", o_.settleMs, "wait after each code, in ms, before reading")
            ->capture_default_str();
        app.add_option("--limits", o_.limits,
                       "pass/fail limits, e.g. inl=2,dnl=1,offset=-1..5,gain=0.1 (LSB, LSB, mV, % "
                       "of full scale; also inl_endpoint in LSB, zero in mV, fullscale in %; one "
                       "number bounds the size, LOW..HIGH the value), or @FILE: a limits file, "
                       "one figure a line (inl 2, offset -1 5), # comments");
        app.add_flag("--accept-conditional", o_.acceptConditional,
                     "pass a CONDITIONAL verdict: a figure whose uncertainty straddles its "
                     "limit");
        app.add_option("--csv", o_.csv,
                       "CSV file of each code's readings as measured, - for standard output");
        app.add_option("--plot", o_.plot, "draw INL and DNL into this file: .png, .svg or .pdf");
        app.add_option("--report", o_.report,
                       "the one-page report: NAME.html (self-contained) or NAME.pdf");
        addReference(app, o_.vref, "the ideal figures");
        app.add_flag("--no-preflight", o_.noPreflight,
                     "start the plan without first reading codes 0, mid-scale and full scale to "
                     "refuse a flat, falling or wrongly scaled output");
        app.add_option("--resume", o_.resume,
                       "FILE.csv of a run that ended early: measure only the codes it lacks, "
                       "with the same options, and finish that file (or --csv); with --station, "
                       "the folder of its CSVs, each slot's finished");
        app.add_option("--from", o_.from,
                       "FILE.csv: the figures, verdict and report of a finished or interrupted "
                       "run from its file alone, without a board or a meter");
        app.add_option("--serial", o_.serial, "the serial number of the unit measured");
        app.add_option("--operator", o_.operatorName, "who measured it");
        app.add_option("--temperature", o_.temperature, "the ambient temperature, e.g. 23 °C");
        app.add_option("--note", o_.note, "a line of your own for the report");
        addStation(app, common);
        app.add_flag("--no-progress", common.quiet, "the same as --quiet");
        app.footer(footer(
            "  qdctl characterize --device QD1600 --meter TCPIP::192.168.1.20::SOCKET \\\n"
            "      --report qd1600.pdf --limits inl=4,dnl=1\n"
            "  qdctl characterize --device QD1600 --meter /dev/usbtmc0 --limits @qd1600.limits\n"
            "  qdctl characterize --device QD1200 --codes all --csv qd1200.csv\n"
            "  qdctl characterize --device QD1600 --station bench.station --out lot7 \\\n"
            "      --report qd1600.pdf"));
    }

    // --station and --out, and what a station tells each of its slots.
    void addStation(CLI::App& app, CommonOptions& common) {
        app.add_option("--station", station_,
                       "FILE: characterize every slot it lists at once, one a line: BOARD METER "
                       "[DUT-SERIAL] (# comments), each slot with its own board, meter, files "
                       "and recorded run; every other option applies to every slot");
        app.add_option("--out", out_,
                       "with --station: the folder that receives each slot's CSV and report, "
                       "named by its DUT serial (default: the current folder)");
        app.add_option("--station-slot", o_.stationSlot)->group("");
        app.add_option("--station-parent", stationParent_)->group("");
        // A slot's records name the command the user typed, the station's,
        // not the one the station made for the slot.
        app.add_option("--station-command", stationCommand_)->group("");
        app.parse_complete_callback([this, &common] {
            if (!stationCommand_.empty()) {
                common.commandLine = stationCommand_;
            }
        });
    }

    void check() const override {
        checkReference(o_.vref);
        run::checkSetup(o_);
        checkStation();
    }

    int run(const CommonOptions& common, run::Recording& recording) override {
        if (!station_.empty()) {
            // A station resumed finishes its files where they are, unless
            // told to write them elsewhere.
            const std::string out = !out_.empty() ? out_ : !o_.resume.empty() ? o_.resume : ".";
            return runStation({station_, out, o_.report, o_.plot, o_.resume}, common);
        }
        if (stationParent_ != 0) {
            // A slot that outlived its station would hold its board for no
            // one, and fail the next station's slot on it as busy.
            platform::endWithParent(stationParent_);
        }
        Progress progress(!common.quiet, "characterize", true, !o_.stationSlot.empty());
        const CharacterizeResult result =
            run::characterize(o_, common, commandContext(recording, &progress));
        const int status = finish(common, outcomeOf(result), recording.id());
        if (!result.endMessage.empty()) {
            session::writeMessage(result.endMessage);
        }
        return status;
    }

  private:
    // A station gives each slot its own board, meter, files and serial; one
    // given for all of them would be measured over or written over.
    void checkStation() const {
        if (station_.empty()) {
            if (!out_.empty()) {
                throw Failure(BadArguments, "--out is the folder of a --station's files");
            }
            return;
        }
        for (const auto& [option, value] :
             {std::pair{"--meter", &o_.meter}, std::pair{"--serial", &o_.serial},
              std::pair{"--csv", &o_.csv}, std::pair{"--from", &o_.from}}) {
            if (!value->empty()) {
                throw Failure(BadArguments, std::string("--station gives each slot its own ") +
                                                option + " from its file; " + option +
                                                " is not taken with it");
            }
        }
        if (!o_.resume.empty() && !QFileInfo(qstring(o_.resume)).isDir()) {
            throw Failure(BadArguments, "--resume " + o_.resume +
                                            " with --station names the folder of the station's "
                                            "CSVs (its --out), not a file");
        }
        for (const auto& [option, value, kinds] :
             {std::tuple{"--report", &o_.report, std::vector<std::string>{"pdf", "html"}},
              std::tuple{"--plot", &o_.plot, std::vector<std::string>{"png", "svg", "pdf"}}}) {
            const auto dot = value->rfind('.');
            const std::string kind = dot == std::string::npos ? "" : value->substr(dot + 1);
            if (!value->empty() && std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
                throw Failure(BadArguments,
                              std::string(option) +
                                  " with --station names the kind of each "
                                  "slot's file by its extension: " +
                                  kinds[0] + ", " + kinds[1] +
                                  (kinds.size() > 2 ? ", " + kinds[2] : std::string()));
            }
        }
    }

    CharacterizeSetup o_;
    std::string station_, out_, stationCommand_;
    int stationParent_ = 0; // the station's process, given to each of its slots
};

} // namespace

int printCharacterization(const run::CharacterizeResult& result, const CommonOptions& common) {
    return finish(common, outcomeOf(result));
}

std::unique_ptr<Subcommand> makeCharacterizeCommand() {
    return std::make_unique<CharacterizeCommand>();
}

} // namespace qd::qdctl
