#include "cli/Output.h"

#include "cli/ExitStatus.h"
#include "control/Commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace qd::cli {

void writeStandardOutput(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw Failure(WriteFailed,
                          std::string("cannot write standard output: ") + std::strerror(errno));
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void writeMessage(const std::string& message) {
    const std::string line = "qdctl: " + message + "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string csvHeader() {
    return "code,frame,expected_v,measured_v,error_mv,error_counts\n";
}

std::string csvRow(const SweepRow& row) {
    char line[160];
    std::snprintf(line, sizeof line, "%s,%s,%.6f,%.3f,%.3f,%d\n", formatCode(row.code).c_str(),
                  formatCode(row.frame).c_str(), row.expectedVolts, row.measuredVolts,
                  row.errorMillivolts(), row.errorCounts());
    return line;
}

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

struct JsonOf {
    QJsonObject operator()(const ProgramResult& r) const { return programJson(r); }
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
                         {"offset_error_mv", s.offsetMillivolts()},
                         {"gain_error_percent", s.gainErrorPercent},
                         {"largest_deviation_mv", s.largestDeviationMillivolts},
                         {"largest_deviation_counts", s.largestDeviationCounts},
                         {"largest_deviation_code", q(formatCode(s.largestDeviationCode))},
                         {"monotonic", s.monotonic},
                         {"csv", q(r.csv)},
                         {"firmware", firmwareWord(r.downloaded)},
                         {"interrupted", r.signal != 0}};
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

struct TextOf {
    std::string operator()(const ProgramResult& r) const { return programText(r); }
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
        const SweepSummary& s = r.summary;
        char text[640];
        std::snprintf(text, sizeof text,
                      "points             %zu%s\n"
                      "offset error       %.3f counts (%.3f mV)\n"
                      "gain error         %.3f %%\n"
                      "largest deviation  %.3f mV (%d counts) at code %s\n"
                      "monotonic          %s\n"
                      "firmware           %s",
                      s.points, r.signal != 0 ? " (interrupted)" : "", s.offsetCounts + 0.0,
                      s.offsetMillivolts() + 0.0, s.gainErrorPercent + 0.0,
                      s.largestDeviationMillivolts + 0.0, s.largestDeviationCounts,
                      formatCode(s.largestDeviationCode).c_str(), s.monotonic ? "yes" : "no",
                      r.downloaded ? "loaded" : "already running");
        return text;
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

std::string resultJson(const Result& result) {
    return QJsonDocument(std::visit(JsonOf{}, result)).toJson(QJsonDocument::Compact).toStdString();
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

void printResult(const Options& options, const Result& result) {
    writeStandardOutput((options.json ? resultJson(result) : resultText(result)) + "\n");
}

void printFailure(bool json, int status, const std::string& message) {
    writeMessage(message);
    if (json) {
        const QJsonObject object{{"error", q(message)}, {"status", status}};
        try {
            writeStandardOutput(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() +
                                "\n");
        } catch (const Failure&) {
            // Standard output is gone: the message above is all there is.
        }
    }
}

} // namespace qd::cli
