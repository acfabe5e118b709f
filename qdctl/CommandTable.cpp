#include "qdctl/CommandTable.h"

namespace qd::qdctl {

namespace {

const CommandEntry kCommands[] = {
    {"program", "program one code", makeProgramCommand},
    {"read", "read the output voltage", makeReadCommand},
    {"verify", "program, read back and compare", makeVerifyCommand},
    {"sweep", "program a range of codes and measure each", makeSweepCommand},
    {"selftest", "check each power mode", makeSelftestCommand},
    {"list", "list the boards found", makeListCommand},
    {"serve", "serve the board as an SCPI instrument", makeServeCommand},
    {"characterize", "measure the converter's static figures with a meter",
     makeCharacterizeCommand},
    {"sim-meter", "serve a simulated DMM on the simulated board", makeSimMeterCommand},
};

} // namespace

std::span<const CommandEntry> commandTable() {
    return kCommands;
}

} // namespace qd::qdctl
