#include "qdctl/CommandTable.h"

namespace qd::qdctl {

namespace {

const CommandEntry kCommands[] = {
    {"program", "program one code", makeProgramCommand, true},
    {"read", "read the output voltage", makeReadCommand, true},
    {"verify", "program, read back and compare", makeVerifyCommand, true},
    {"sweep", "program a range of codes and measure each", makeSweepCommand, true},
    {"selftest", "check each power mode", makeSelftestCommand, true},
    {"list", "list the boards found", makeListCommand, false},
    {"serve", "serve the board as an SCPI instrument", makeServeCommand, false},
    {"characterize", "measure the converter's static figures with a meter", makeCharacterizeCommand,
     true},
    {"sim-meter", "serve a simulated DMM on the simulated board", makeSimMeterCommand, false},
    {"runs", "list, show, export, report, compare and push recorded runs", makeRunsCommand, false},
    {"datasheet", "the electrical-characteristics table and pages of a lot's recorded runs",
     makeDatasheetCommand, false},
};

} // namespace

std::span<const CommandEntry> commandTable() {
    return kCommands;
}

bool recordsRuns(const std::string& name) {
    for (const CommandEntry& entry : kCommands) {
        if (name == entry.name) {
            return entry.records;
        }
    }
    return false;
}

} // namespace qd::qdctl
