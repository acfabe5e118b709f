#include "qdctl/CommandOutput.h"

#include "control/DataWord.h"
#include "measure/FigureKinds.h"
#include "run/CharacterizeReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qd::qdctl {

using run::figureRows;
using run::sweepSummaryLines;
using run::verdictName;

using session::boardFields;
using session::writeStandardError;
using session::writeStandardOutput;

using control::formatCode;
using control::formatNumber;

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

const char* firmwareWord(bool downloaded) {
    return downloaded ? "loaded" : "running";
}

// Volts as the display shows them: three decimals, never "-0.000".
std::string volts3(double volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", volts + 0.0);
    return text;
}

double rounded3(double volts) {
    return std::round(volts * 1000) / 1000;
}

QJsonObject programJson(const ProgramResult& r) {
    QJsonObject json{{"device", q(r.device)},
                     {"mode", q(r.mode)},
                     {"code", q(r.code)},
                     {"frame", q(formatCode(r.frame))},
                     {"frame_bits", r.frameBits},
                     {"index", q(formatCode(static_cast<std::int32_t>(r.index)))},
                     {"firmware", firmwareWord(r.downloaded)}};
    json.insert("clamped", r.clamped);
    if (!r.typed.empty()) {
        json.insert("typed", q(r.typed));
    }
    return json;
}

std::string programText(const ProgramResult& r) {
    return r.device + " " + r.mode + ": code " + r.code + " -> frame " + formatCode(r.frame) +
           " (" + std::to_string(r.frameBits) + " bits, index " +
           formatCode(static_cast<std::int32_t>(r.index)) + "), firmware " +
           (r.downloaded ? "loaded" : "already running");
}

QJsonValue orNull(const std::optional<double>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonObject figureJson(const measure::Figure& f) {
    return {{"value", f.value}, {"uncertainty", orNull(f.uncertainty)}};
}

QJsonObject extremeJson(const measure::Extreme& e) {
    QJsonObject json = figureJson(e);
    json.insert("code", q(formatCode(e.code)));
    return json;
}

// A per-code figure as a datasheet gives it.
QJsonObject spanJson(const measure::Span& s) {
    return {{"min", extremeJson(s.min)}, {"max", extremeJson(s.max)}};
}

QJsonArray stringsJson(const std::vector<std::string>& lines) {
    QJsonArray array;
    for (const auto& line : lines) {
        array.append(q(line));
    }
    return array;
}

QJsonObject characterizeJson(const CharacterizeResult& r) {
    QJsonObject meter{{"resource", r.meter.empty() ? QJsonValue(QJsonValue::Null) : q(r.meter)},
                      {"idn", q(r.meterIdentity)},
                      {"dialect", q(r.meterFamily)},
                      {"range_v", r.meterRangeVolts},
                      {"nplc", r.nplc},
                      {"samples", r.samples},
                      {"settle_ms", r.settleMs}};
    if (!r.meterCalibration.empty()) {
        meter.insert("calibration_date", q(r.meterCalibration));
    }
    QJsonObject json{{"device", q(r.device)},
                     {"bits", r.bits},
                     {"board", q(r.board)},
                     {"board_serial", r.boardSerial.empty() ? QJsonValue(QJsonValue::Null)
                                                            : QJsonValue(q(r.boardSerial))},
                     {"meter", meter},
                     {"codes", q(r.plan)},
                     {"planned", static_cast<qint64>(r.planned)},
                     {"measured", static_cast<qint64>(r.measured)},
                     {"reference_v", r.referenceVolts},
                     {"date", q(r.date)},
                     {"verdict", q(verdictName(r))},
                     {"pass", r.verdict.pass},
                     {"failures", stringsJson(r.verdict.failures)},
                     {"conditional", stringsJson(r.verdict.conditional)},
                     {"interrupted", r.interrupted()},
                     {"firmware", firmwareWord(r.downloaded)},
                     {"seconds", r.seconds},
                     {"meter_seconds", r.meterSeconds}};
    if (const std::string limits = r.limits.text(); !limits.empty()) {
        json.insert("limits", q(limits));
    }
    if (r.endStatus != 0) {
        json.insert("status", r.endStatus);
        json.insert("error", q(r.endMessage));
    }
    if (r.resumed != 0) {
        json.insert("resumed", static_cast<qint64>(r.resumed));
    }
    for (const auto& [key, value] :
         {std::pair{"serial", &r.serial}, std::pair{"operator", &r.operatorName},
          std::pair{"temperature", &r.temperature}, std::pair{"note", &r.note},
          std::pair{"from", &r.from}}) {
        if (!value->empty()) {
            json.insert(key, q(*value));
        }
    }
    for (const auto& [key, path] :
         {std::pair{"csv", &r.csv}, std::pair{"plot", &r.plot}, std::pair{"report", &r.report}}) {
        if (!path->empty()) {
            json.insert(key, q(*path));
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

struct JsonOf {
    QJsonObject operator()(const ProgramResult& r) const { return programJson(r); }
    QJsonObject operator()(const CharacterizeResult& r) const { return characterizeJson(r); }
    QJsonObject operator()(const ReadResult& r) const {
        return {{"counts", r.counts}, {"volts", rounded3(r.volts)}};
    }
    QJsonObject operator()(const VerifyResult& r) const {
        QJsonObject json = programJson(r.programmed);
        json.insert("expected_volts", r.expectedVolts);
        json.insert("expected_counts", r.expectedCounts);
        json.insert("measured_volts", rounded3(r.measuredVolts));
        json.insert("measured_counts", r.measuredCounts);
        json.insert("tolerance_counts", r.tolerance);
        json.insert("pass", r.pass);
        return json;
    }
    QJsonObject operator()(const SweepResult& r) const {
        const SweepSummary& s = r.summary;
        QJsonObject json{{"device", q(r.device)},
                         {"mode", q(r.mode)},
                         {"points", static_cast<qint64>(s.points)},
                         {"offset_error_counts", s.offsetCounts},
                         {measure::kOffsetError.name, s.offsetMillivolts()},
                         {measure::kGainError.name, s.gainErrorPercent},
                         {"largest_deviation_mv", s.largestDeviationMillivolts()},
                         {"largest_deviation_counts", s.largestDeviationCounts},
                         {"largest_deviation_code", q(formatCode(s.largestDeviationCode))},
                         {"monotonic", s.monotonic},
                         {"reading", responseWord(s.response)},
                         {"pass", s.pass()},
                         {"clamped", r.clamped},
                         {"csv", q(r.csv)},
                         {"firmware", firmwareWord(r.downloaded)},
                         {"interrupted", r.signal != 0}};
        if (s.toleranceCounts) {
            json.insert("tolerance_counts", *s.toleranceCounts);
            json.insert("points_beyond_tolerance", static_cast<qint64>(s.pointsBeyondTolerance));
        }
        if (!r.plot.empty()) {
            json.insert("plot", q(r.plot));
        }
        return json;
    }
    QJsonObject operator()(const SelftestResult& r) const {
        QJsonArray modes;
        for (const auto& m : r.modes) {
            modes.append(QJsonObject{{"mode", q(m.mode)},
                                     {"frame", q(formatCode(m.frame))},
                                     {"expected_counts", m.expectedCounts},
                                     {"measured_counts", m.measuredCounts},
                                     {"pass", m.pass}});
        }
        return {{"device", q(r.device)},
                {"modes", modes},
                {"pass", r.pass},
                {"firmware", firmwareWord(r.downloaded)}};
    }
    QJsonObject operator()(const ListResult& r) const {
        QJsonArray boards;
        for (const auto& line : r.boards) {
            QJsonObject board;
            for (const auto& [key, value] : boardFields(line)) {
                bool number = false;
                const int n = QString::fromStdString(value).toInt(&number);
                board.insert(q(key), key == "id" && number ? QJsonValue(n) : QJsonValue(q(value)));
            }
            boards.append(board);
        }
        QJsonObject json{{"library", q(r.library)}, {"boards", boards}};
        if (!r.canList) {
            json.insert("can_list", false);
        }
        return json;
    }
};

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

struct TextOf {
    std::string operator()(const ProgramResult& r) const { return programText(r); }
    std::string operator()(const CharacterizeResult& r) const { return characterizeText(r); }
    std::string operator()(const ReadResult& r) const {
        return std::to_string(r.counts) + " counts = " + volts3(r.volts) + " V";
    }
    std::string operator()(const VerifyResult& r) const {
        char line[256];
        std::snprintf(line, sizeof line,
                      "%s %s: code %s expected %.3f V (%d counts), measured %.3f V (%d counts): "
                      "%s",
                      r.programmed.device.c_str(), r.programmed.mode.c_str(),
                      r.programmed.code.c_str(), r.expectedVolts + 0.0, r.expectedCounts,
                      r.measuredVolts + 0.0, r.measuredCounts, r.pass ? "PASS" : "FAIL");
        return line;
    }
    std::string operator()(const SweepResult& r) const {
        std::string out;
        for (const auto& line : sweepSummaryLines(r)) {
            out += line + "\n";
        }
        return out + "firmware           " + (r.downloaded ? "loaded" : "already running");
    }
    std::string operator()(const SelftestResult& r) const {
        std::string text;
        for (const auto& m : r.modes) {
            char line[160];
            std::snprintf(line, sizeof line, "%-12s frame %s: %4d counts, expected %4d: %s\n",
                          m.mode.c_str(), formatCode(m.frame).c_str(), m.measuredCounts,
                          m.expectedCounts, m.pass ? "pass" : "FAIL");
            text += line;
        }
        return text + (r.pass ? "selftest passed" : "selftest FAILED") + ", firmware " +
               (r.downloaded ? "loaded" : "already running");
    }
    std::string operator()(const ListResult& r) const {
        if (!r.canList) {
            return r.library + " finds its board by itself and cannot list boards";
        }
        if (r.boards.empty()) {
            return "no board found through " + r.library;
        }
        std::string text;
        for (const auto& line : r.boards) {
            std::string row;
            bool deniedAccess = false;
            for (const auto& [key, value] : boardFields(line)) {
                row += (row.empty() ? "" : "  ") + key + " " + value;
                deniedAccess = deniedAccess || (key == "access" && value == "no");
            }
            text += (text.empty() ? "" : "\n") + row;
            if (deniedAccess) {
                text += "\n    this user may not open it: install the udev rule 60-qd1600.rules "
                        "into /etc/udev/rules.d or /usr/lib/udev/rules.d, then replug the board";
            }
        }
        if (!r.detailed) {
            text += "\n(" + r.library + " tells only the identifiers)";
        }
        return text;
    }
};

} // namespace

std::string resultText(const Result& result) {
    return std::visit(TextOf{}, result);
}

std::string resultJson(const Result& result, const std::string& run) {
    QJsonObject json = std::visit(JsonOf{}, result);
    // The run the results store keeps it as.
    if (!run.empty()) {
        json.insert("run", q(run));
    }
    return QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
}

std::string timingText(const SweepResult& r) {
    char text[200];
    const double rate = r.seconds > 0 ? static_cast<double>(r.summary.points) / r.seconds : 0;
    std::snprintf(text, sizeof text,
                  "%zu codes in %.3f s: %.0f codes/s, %.1f %% of it outside the link library",
                  r.summary.points, r.seconds, rate, 100.0 * r.shareOutsideLibrary);
    std::string line = text;
    if (!r.plot.empty()) {
        std::snprintf(text, sizeof text, "; plot drawn in %.3f s", r.plotSeconds);
        line += text;
    }
    return line;
}

void printResult(bool json, const Result& result, const std::string& run) {
    if (json) {
        writeStandardOutput(resultJson(result, run) + "\n");
        return;
    }
    // Rows on standard output are read by a CSV reader: nothing else goes
    // there.
    const auto* sweep = std::get_if<SweepResult>(&result);
    const auto* characterize = std::get_if<CharacterizeResult>(&result);
    if ((sweep && sweep->csv == "-") || (characterize && characterize->csv == "-")) {
        writeStandardError(resultText(result) + "\n");
        return;
    }
    writeStandardOutput(resultText(result) + "\n");
}

std::string columnsText(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (std::size_t c = 0; c < row.size(); ++c) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        text += line + "\n";
    }
    return text;
}

} // namespace qd::qdctl
