#include "run/CharacterizeCsv.h"

#include "control/DataWord.h"
#include "control/Printable.h"
#include "control/Tables.h"
#include "platform/File.h"
#include "run/Settings.h"
#include "session/ExitStatus.h"

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <sstream>

namespace qd::run {

using session::BadArguments;
using session::Failure;
using session::WriteFailed;

const std::vector<std::string> kResumeKeys = {
    "device", "bits", "reference_v", "codes", "samples", "nplc", "settle_ms", "meter", "serial"};

std::string csvPreamble(const CsvSetup& setup, int samples) {
    std::string text;
    for (const auto& [key, value] : setup) {
        // A note of several lines stays on its one line, and reads back.
        text += "# " + key + ": " + control::printable(value) + "\n";
    }
    text += "code,frame,mean_v,spread_v";
    for (int i = 1; i <= samples; ++i) {
        text += ",v" + std::to_string(i);
    }
    return text + "\n";
}

std::string csvRow(const measure::Row& row) {
    double sum = 0;
    for (const double v : row.values) {
        sum += v;
    }
    const double n = static_cast<double>(row.values.size());
    const double mean = row.values.empty() ? 0 : sum / n;
    std::string text = control::formatCode(row.code) + "," + control::formatCode(row.frame) + "," +
                       control::formatNumber(mean) + ",";
    if (row.values.size() > 1) {
        double squares = 0;
        for (const double v : row.values) {
            squares += (v - mean) * (v - mean);
        }
        text += control::formatNumber(std::sqrt(squares / (n - 1)));
    }
    for (const double v : row.values) {
        text += "," + control::formatNumber(v);
    }
    return text + "\n";
}

std::string CsvRun::value(const std::string& key) const {
    for (const auto& [k, v] : setup) {
        if (k == key) {
            return v;
        }
    }
    return {};
}

namespace {

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ',')) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == ',') {
        fields.emplace_back();
    }
    return fields;
}

double numberOf(const std::string& text, const std::string& where) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || !std::isfinite(value)) {
        throw Failure(BadArguments, where + ": \"" + text + "\" is no reading");
    }
    return value;
}

} // namespace

namespace {

// A setup line's number: none when the file does not give it, NaN when what
// it gives is no number.
std::optional<double> setupNumber(const CsvRun& run, const std::string& key) {
    const std::string given = run.value(key);
    if (given.empty()) {
        return std::nullopt;
    }
    try {
        std::size_t used = 0;
        const double value = std::stod(given, &used);
        return used == given.size() ? value : std::numeric_limits<double>::quiet_NaN();
    } catch (const std::exception&) {
        return std::numeric_limits<double>::quiet_NaN();
    }
}

// What the rows are judged against, from the '#' lines, checked at the
// header before the first row: no row can be the converter's otherwise.
struct RowBounds {
    std::size_t samples = 0;
    double reference = 0;   // 0: not given
    std::int32_t codes = 0; // the converter has
};

RowBounds boundsOf(const CsvRun& run, std::size_t samples, const std::string& where,
                   const std::string& file) {
    RowBounds bounds;
    bounds.samples = samples;
    if (const auto said = setupNumber(run, "samples");
        said && *said != static_cast<double>(samples)) {
        throw Failure(BadArguments,
                      where + ": " + std::to_string(samples) +
                          " readings a code, but \"# samples: " + run.value("samples") + "\"");
    }
    const auto reference = setupNumber(run, "reference_v");
    if (reference && !(std::isfinite(*reference) && *reference > 0)) {
        throw Failure(BadArguments, file + ": \"# reference_v: " + run.value("reference_v") +
                                        "\" is no reference: a positive number of volts");
    }
    bounds.reference = reference.value_or(0);
    const auto bits = setupNumber(run, "bits");
    const auto* device = control::findDevice(run.value("device"));
    const int resolution = bits && *bits >= 1 && *bits <= 24 ? static_cast<int>(*bits)
                           : device                          ? device->resolution
                                                             : 24;
    bounds.codes = static_cast<std::int32_t>(1) << resolution;
    return bounds;
}

measure::Row rowOf(const std::vector<std::string>& fields, const RowBounds& bounds,
                   const CsvRun& run, const std::string& where) {
    if (fields.size() != bounds.samples + 4) {
        throw Failure(BadArguments, where + ": " + std::to_string(fields.size()) +
                                        " fields, not the header's " +
                                        std::to_string(bounds.samples + 4) + " (a row cut short?)");
    }
    measure::Row row;
    try {
        row.code = control::parseHexCode(fields[0]);
        row.frame = control::parseHexCode(fields[1]);
    } catch (const std::exception&) {
        throw Failure(BadArguments, where + ": \"" + fields[0] + "\" is no code");
    }
    if (row.code < 0 || row.code >= bounds.codes) {
        throw Failure(BadArguments, where + ": code " + fields[0] + " is beyond the " +
                                        std::to_string(bounds.codes) + " codes of its converter");
    }
    for (std::size_t i = 4; i < fields.size(); ++i) {
        const double value = numberOf(fields[i], where);
        // No output of a converter lies so far beyond its reference: a unit
        // or a column mixed up.
        if (bounds.reference > 0 && std::fabs(value) > 1.2 * bounds.reference) {
            throw Failure(BadArguments, where + ": reading " + fields[i] +
                                            " V lies beyond 1.2 times the reference (" +
                                            run.value("reference_v") + " V)");
        }
        row.values.push_back(value);
    }
    return row;
}

} // namespace

CsvRun readCsv(const std::string& path, const std::string& option) {
    // Every code of a 16-bit converter with 100 samples each is about 60
    // MiB; a larger file is none of ours, and is not read into memory.
    constexpr std::size_t kMaxBytes = 64u << 20;
    std::string text, why;
    if (!platform::readRegularFile(path, kMaxBytes, text, why)) {
        throw Failure(BadArguments, option + ": " + why);
    }
    std::istringstream in(std::move(text));
    CsvRun run;
    std::string line;
    int number = 0;
    std::optional<RowBounds> bounds;        // from the header on
    std::map<std::int32_t, int> lineOfCode; // a duplicate names the line before
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string where = option + " " + path + " line " + std::to_string(number);
        if (line.empty()) {
            continue;
        }
        if (!bounds && line.starts_with("# ")) {
            const auto colon = line.find(": ", 2);
            if (colon != std::string::npos) {
                run.setup.emplace_back(line.substr(2, colon - 2),
                                       control::unescaped(line.substr(colon + 2)));
            }
            continue;
        }
        const std::vector<std::string> fields = fieldsOf(line);
        if (!bounds) {
            if (fields.size() < 5 || fields[0] != "code" || fields[2] != "mean_v") {
                throw Failure(BadArguments, where + ": not the header of qdctl characterize's "
                                                    "rows (code,frame,mean_v,spread_v,v1,…)");
            }
            bounds = boundsOf(run, fields.size() - 4, where, option + " " + path);
            continue;
        }
        measure::Row row = rowOf(fields, *bounds, run, where);
        if (const auto [at, fresh] = lineOfCode.emplace(row.code, number); !fresh) {
            throw Failure(BadArguments, where + ": code " + fields[0] +
                                            " again, measured already on line " +
                                            std::to_string(at->second));
        }
        run.rows.push_back(std::move(row));
    }
    if (!bounds) {
        throw Failure(BadArguments, option + " " + path + ": no rows of qdctl characterize");
    }
    return run;
}

CsvRun csvOfStored(const results::Run& run, const std::vector<results::Reading>& readings) {
    CsvRun csv;
    csv.setup = storedCsvSetup(run);
    for (const auto& r : readings) {
        if (r.sample == 1 || csv.rows.empty()) {
            csv.rows.push_back({r.code, r.frame, {}});
        }
        csv.rows.back().values.push_back(r.value);
    }
    return csv;
}

} // namespace qd::run
