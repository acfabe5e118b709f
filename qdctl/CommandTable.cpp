#include "qdctl/CommandTable.h"

namespace qd::qdctl {

namespace {

const CommandEntry kCommands[] = {
    {"program", "program one code", makeProgramCommand, Records::Few},
    {"read", "read the output voltage", makeReadCommand, Records::Few},
    {"verify", "program, read back and compare", makeVerifyCommand, Records::Few},
    {"sweep", "program a range of codes and measure each", makeSweepCommand, Records::Many},
    {"selftest", "check each power mode", makeSelftestCommand, Records::Few},
    {"list", "list the boards found", makeListCommand, Records::Nothing},
    {"serve", "serve the board as an SCPI instrument", makeServeCommand, Records::Nothing},
    {"characterize", "measure the converter's static figures with a meter", makeCharacterizeCommand,
     Records::Many},
    {"sim-meter", "serve a simulated DMM on the simulated board", makeSimMeterCommand,
     Records::Nothing},
    {"sim-scope", "serve a simulated oscilloscope on the simulated board", makeSimScopeCommand,
     Records::Nothing},
    {"runs", "list, show, export, report, compare and push recorded runs", makeRunsCommand,
     Records::Nothing},
    {"datasheet", "the electrical-characteristics table and pages of a lot's recorded runs",
     makeDatasheetCommand, Records::Nothing},
};

} // namespace

std::span<const CommandEntry> commandTable() {
    return kCommands;
}

Records recordsOf(const std::string& name) {
    for (const CommandEntry& entry : kCommands) {
        if (name == entry.name) {
            return entry.records;
        }
    }
    return Records::Nothing;
}

} // namespace qd::qdctl
