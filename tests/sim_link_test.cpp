// Our own link libraries on the simulated board, through the programs' real
// bindings: start-up with the generated firmware, then every device's frames
// read back as the voltage the window shows.

#include "TempDir.h"
#include "control/DataWord.h"
#include "link/Binding.h"
#include "link/CommsFunctions.h"
#include "link/UsbStuff.h"

#include <QCoreApplication>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

using namespace qd;
using namespace qd::control;
using namespace qd::link;

namespace {

TempDir* boardDir = nullptr;

QString programDir() {
    return QCoreApplication::applicationDirPath();
}

std::unique_ptr<LinkBinding> makeBinding(int variant) {
    // Each library claims its board for as long as the process runs, as a
    // program does: each gets a board of its own, chosen before its first
    // call.
    const std::string state = boardDir->file("board" + std::to_string(variant) + ".state");
    qputenv("QD_BOARD_STATE", QByteArray::fromStdString(state));
    if (variant == 1) {
        return std::make_unique<UsbFunctionsBinding>();
    }
    return std::make_unique<QnsBinding>(programDir().toStdString() + "/" +
                                        DynamicLibrary::byName("QNS_CYUSB_USB4").fileName());
}

} // namespace

TEST(SimulatedBoard, StartBoardSucceedsOnlyWithTheFirmwareBesideTheProgram) {
    for (const int variant : {1, 2}) {
        auto binding = makeBinding(variant);
        UsbStuff stuff;
        EXPECT_FALSE(stuff.StartBoard(*binding, QString::fromStdString(boardDir->path().string())))
            << "variant " << variant << ": no QD1600.hex in that folder";
        EXPECT_TRUE(stuff.StartBoard(*binding, programDir())) << "variant " << variant;
    }
}

TEST(SimulatedBoard, EveryDeviceReadsBackWhatWasProgrammed) {
    struct Case {
        const char* device;
        std::int16_t mode;
        const char* code;
        double volts;
    };
    const Case cases[] = {
        {"QD1200", 0, "800", 2.465},  {"QD1200", 0, "FFF", 4.929},  {"QD1400", 0, "2000", 2.465},
        {"QD1600", 0, "8000", 2.465}, {"QD1610", 0, "4000", 1.232}, {"QD1610", 1, "8000", 0.0},
        {"QD1200", 3, "FFF", 0.0},    {"QD1400", 2, "3FFF", 0.0},
    };
    for (const int variant : {1, 2}) {
        auto binding = makeBinding(variant);
        UsbStuff stuff;
        ASSERT_TRUE(stuff.StartBoard(*binding, programDir()));
        for (const auto& c : cases) {
            ControlState state;
            state.applyStartupDefaults();
            state.selectDevice(*findDevice(c.device));
            state.selectPowerMode(c.mode);
            CommsFunctions comms(*binding, state);
            const auto outcome = ProgramDac(c.code, state, comms);
            ASSERT_FALSE(outcome.failed) << c.device << " " << c.code;
            EXPECT_NEAR(ReadVoltage(state, comms), c.volts, 1e-6)
                << "variant " << variant << ": " << c.device << " mode " << c.mode << " code "
                << c.code;
        }
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TempDir dir;
    boardDir = &dir;
    qputenv("QD_BOARD", "sim");
    qunsetenv("QD_BOARD_TRACE");
    qunsetenv("QD_BOARD_FAULT");
    qunsetenv("QD_BOARD_VREF");
    qunsetenv("QD_BOARD_MODEL");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
