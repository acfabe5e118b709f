// Cost of the board commands through the real bindings into our link
// libraries on the simulated board: what one "Program DAC" or "Read Voltage"
// costs the program before any USB transfer time.

#include "control/DataWord.h"
#include "link/Binding.h"
#include "link/CommsFunctions.h"
#include "link/UsbStuff.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <memory>

namespace {

QString programDir;

QString boardDir;

std::unique_ptr<qd::link::LinkBinding> startedBoard(int variant) {
    // Each library holds its board for the whole run, as a program does:
    // each gets one of its own, chosen before its first call.
    ::setenv("QD_BOARD_STATE",
             (boardDir + "/board" + QString::number(variant) + ".state").toLocal8Bit().constData(),
             1);
    std::unique_ptr<qd::link::LinkBinding> binding;
    if (variant == 1) {
        binding = std::make_unique<qd::link::UsbFunctionsBinding>();
    } else {
        binding = std::make_unique<qd::link::QnsBinding>(
            (programDir + "/libQNS_CYUSB_USB4.so").toStdString());
    }
    qd::link::UsbStuff stuff;
    if (!stuff.StartBoard(*binding, programDir)) {
        return nullptr;
    }
    return binding;
}

void SendDacWord(benchmark::State& bench) {
    auto binding = startedBoard(static_cast<int>(bench.range(0)));
    if (!binding) {
        bench.SkipWithError("firmware download failed");
        return;
    }
    qd::control::ControlState state;
    state.applyStartupDefaults();
    state.selectDevice(qd::control::kDevices[0]);
    qd::link::CommsFunctions comms(*binding, state);
    for (auto _ : bench) {
        state.DacWord = 0x800;
        qd::control::SendDacWord(state, comms);
    }
    benchmark::DoNotOptimize(state.DacWord);
}

void ReadVoltage(benchmark::State& bench) {
    auto binding = startedBoard(static_cast<int>(bench.range(0)));
    if (!binding) {
        bench.SkipWithError("firmware download failed");
        return;
    }
    qd::control::ControlState state;
    qd::link::CommsFunctions comms(*binding, state);
    for (auto _ : bench) {
        benchmark::DoNotOptimize(qd::control::ReadVoltage(state, comms));
    }
}

BENCHMARK(SendDacWord)->ArgName("variant")->Arg(1)->Arg(2);
BENCHMARK(ReadVoltage)->ArgName("variant")->Arg(1)->Arg(2);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    programDir = QCoreApplication::applicationDirPath();
    // Boards of its own, so the benchmark never disturbs a running program.
    QTemporaryDir board;
    ::setenv("QD_BOARD", "sim", 1);
    ::unsetenv("QD_BOARD_TRACE");
    boardDir = board.path();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
