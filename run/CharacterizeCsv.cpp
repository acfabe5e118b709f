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
    bool header = false;
    std::size_t samples = 0;
    double reference = 0;
    std::int32_t codes = 0;                 // codes the converter has
    std::map<std::int32_t, int> lineOfCode; // duplicates name the line before
    const auto setupNumber = [&](const std::string& key) -> std::optional<double> {
        const std::string given = run.value(key);
        if (given.empty()) {
            return std::nullopt;
        }
        try {
            std::size_t used = 0;
            const double value = std::stod(given, &used);
            return used == given.size() ? std::optional(value)
                                        : std::numeric_limits<double>::quiet_NaN();
        } catch (const std::exception&) {
            return std::numeric_limits<double>::quiet_NaN();
        }
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string where = option + " " + path + " line " + std::to_string(number);
        if (line.empty()) {
            continue;
        }
        if (!header && line.starts_with("# ")) {
            const auto colon = line.find(": ", 2);
            if (colon != std::string::npos) {
                run.setup.emplace_back(line.substr(2, colon - 2),
                                       control::unescaped(line.substr(colon + 2)));
            }
            continue;
        }
        const std::vector<std::string> fields = fieldsOf(line);
        if (!header) {
            if (fields.size() < 5 || fields[0] != "code" || fields[2] != "mean_v") {
                throw Failure(BadArguments, where + ": not the header of qdctl characterize's "
                                                    "rows (code,frame,mean_v,spread_v,v1,…)");
            }
            samples = fields.size() - 4;
            // What the rows are judged against, checked before the first.
            if (const auto said = setupNumber("samples");
                said && *said != static_cast<double>(samples)) {
                throw Failure(BadArguments, where + ": " + std::to_string(samples) +
                                                " readings a code, but \"# samples: " +
                                                run.value("samples") + "\"");
            }
            const auto ref = setupNumber("reference_v");
            if (ref && !(std::isfinite(*ref) && *ref > 0)) {
                throw Failure(BadArguments, option + " " + path +
                                                ": \"# reference_v: " + run.value("reference_v") +
                                                "\" is no reference: a positive number of volts");
            }
            reference = ref.value_or(0);
            const auto bits = setupNumber("bits");
            const auto* device = control::findDevice(run.value("device"));
            const int resolution = bits && *bits >= 1 && *bits <= 24 ? static_cast<int>(*bits)
                                   : device                          ? device->resolution
                                                                     : 24;
            codes = static_cast<std::int32_t>(1) << resolution;
            header = true;
            continue;
        }
        if (fields.size() != samples + 4) {
            throw Failure(BadArguments, where + ": " + std::to_string(fields.size()) +
                                            " fields, not the header's " +
                                            std::to_string(samples + 4) + " (a row cut short?)");
        }
        measure::Row row;
        try {
            row.code = control::parseHexCode(fields[0]);
            row.frame = control::parseHexCode(fields[1]);
        } catch (const std::exception&) {
            throw Failure(BadArguments, where + ": \"" + fields[0] + "\" is no code");
        }
        if (row.code < 0 || row.code >= codes) {
            throw Failure(BadArguments, where + ": code " + fields[0] + " is beyond the " +
                                            std::to_string(codes) + " codes of its converter");
        }
        if (const auto [at, fresh] = lineOfCode.emplace(row.code, number); !fresh) {
            throw Failure(BadArguments, where + ": code " + fields[0] +
                                            " again, measured already on line " +
                                            std::to_string(at->second));
        }
        for (std::size_t i = 4; i < fields.size(); ++i) {
            const double value = numberOf(fields[i], where);
            // No output of a converter lies so far beyond its reference: a
            // unit or a column mixed up.
            if (reference > 0 && std::fabs(value) > 1.2 * reference) {
                throw Failure(BadArguments, where + ": reading " + fields[i] +
                                                " V lies beyond 1.2 times the reference (" +
                                                run.value("reference_v") + " V)");
            }
            row.values.push_back(value);
        }
        run.rows.push_back(std::move(row));
    }
    if (!header) {
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
