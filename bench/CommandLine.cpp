#include "bench/CommandLine.h"

#include "results/Database.h"

#include <array>
#include <charconv>
#include <utility>

namespace qd::bench {

namespace {

// The shortest text that reads back as `value`, as a user would type it.
std::string number(double value) {
    std::array<char, 32> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() ? std::string(text.data(), end) : std::to_string(value);
}

class Arguments {
  public:
    void add(const char* option, const std::string& value) {
        list.emplace_back(option);
        list.push_back(value);
    }
    void addGiven(const char* option, const std::string& value) {
        if (!value.empty()) {
            add(option, value);
        }
    }
    void flag(const char* option, bool set) {
        if (set) {
            list.emplace_back(option);
        }
    }
    std::vector<std::string> list{"qdctl"};
};

} // namespace

std::vector<std::string> characterizeArguments(const run::CharacterizeSetup& setup,
                                               const session::CommonOptions& common) {
    const run::CharacterizeSetup defaults;
    Arguments a;
    // What qdctl takes before the command's name.
    // A store's password stays out of the log, as out of qdctl's records.
    a.addGiven("--results", results::withoutPassword(common.results));
    if (!common.boardSerial.empty()) {
        a.add("--board", common.boardSerial);
    } else if (common.board != 0) {
        a.add("--board", std::to_string(common.board));
    }
    if (common.link != 1) {
        a.add("--link", std::to_string(common.link));
    }
    a.list.emplace_back("characterize");
    a.add("--device", setup.device.device);
    a.add("--codes", setup.codes);
    a.add("--samples", std::to_string(setup.samples));
    a.add("--settle", number(setup.settleMs));
    if (!setup.meter.empty()) {
        // What only a meter is told: the on-board converter has no
        // integration time and answers at once.
        a.add("--meter", setup.meter);
        a.add("--meter-timeout", number(setup.meterTimeout));
        a.add("--nplc", number(setup.nplc));
    }
    if (setup.vref != defaults.vref) {
        a.add("--vref", number(setup.vref));
    }
    a.addGiven("--limits", setup.limits);
    a.flag("--accept-conditional", setup.acceptConditional);
    a.flag("--no-preflight", setup.noPreflight);
    a.addGiven("--resume", setup.resume);
    for (const auto& [option, value] :
         {std::pair{"--csv", &setup.csv}, std::pair{"--plot", &setup.plot},
          std::pair{"--report", &setup.report}, std::pair{"--serial", &setup.serial},
          std::pair{"--operator", &setup.operatorName},
          std::pair{"--temperature", &setup.temperature}, std::pair{"--note", &setup.note}}) {
        a.addGiven(option, *value);
    }
    return a.list;
}

std::vector<std::string> datasheetArguments(const run::DatasheetRequest& request,
                                            const session::CommonOptions& common) {
    const run::LotChoice& lot = request.lot;
    Arguments a;
    a.addGiven("--results", results::withoutPassword(common.results));
    a.list.emplace_back("datasheet");
    if (lot.station) {
        a.list.emplace_back("--station-run");
        if (!lot.stationRun.empty()) {
            a.list.push_back(lot.stationRun);
        }
    }
    a.addGiven("--device", lot.device);
    a.addGiven("--since", lot.since);
    for (const std::string& run : lot.runs) {
        a.add("--runs", run);
    }
    a.addGiven("--verdict", lot.verdict);
    a.addGiven("--csv", request.csv);
    a.addGiven("--report", request.report);
    return a.list;
}

std::vector<std::string> runsArguments(const session::CommonOptions& common,
                                       const std::vector<std::string>& arguments) {
    Arguments a;
    a.addGiven("--results", results::withoutPassword(common.results));
    a.list.emplace_back("runs");
    a.list.insert(a.list.end(), arguments.begin(), arguments.end());
    return a.list;
}

std::string shellLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        const bool plain =
            !argument.empty() &&
            argument.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789-_./:=,@+%") == std::string::npos;
        if (plain) {
            line += argument;
            continue;
        }
        // Inside single quotes a shell takes everything as it is but the
        // quote itself, which is closed, escaped and opened again.
        line += '\'';
        for (const char c : argument) {
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        line += '\'';
    }
    return line;
}

} // namespace qd::bench
