// The cost of the real-USB path through libusb against an emulated board:
// a 16 KiB firmware download and one write request, each with the number
// of control transfers it makes. Run under umockdev-wrapper:
//   umockdev-wrapper build/default/bin/usb_bench

#include "EmulatedBus.h"
#include "TempDir.h"
#include "drivers/UsbBackend.h"

#include <benchmark/benchmark.h>

using namespace qd::drivers;
using namespace qd::test;

namespace {

struct Bench {
    EmulatedBus bus; // before libusb is initialised
    EmulatedBoard& board = bus.plug(1);
    UsbBackend backend;
    std::unique_ptr<BoardConnection> connection = backend.open(1);
    TempDir dir;
    std::string image = dir.file("QD1600.hex");
};

Bench* bench = nullptr;

void countTransfers(benchmark::State& state, std::size_t before) {
    state.counters["transfers"] =
        benchmark::Counter(static_cast<double>(bench->board.transferCount() - before),
                           benchmark::Counter::kAvgIterations);
}

void BM_Download16KiB(benchmark::State& state) {
    writeFile(bench->image, firmwareImage(16 * 1024));
    const std::size_t before = bench->board.transferCount();
    for (auto _ : state) {
        if (!bench->connection->downloadFirmware(bench->image)) {
            state.SkipWithError("download failed");
            return;
        }
    }
    countTransfers(state, before);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16 * 1024);
}
BENCHMARK(BM_Download16KiB)->Unit(benchmark::kMicrosecond);

void BM_WriteRequest(benchmark::State& state) {
    VendorRequest r;
    r.code = kRequestWriteFrame;
    r.value = 0x2000;
    r.index = 0x1000;
    const std::size_t before = bench->board.transferCount();
    for (auto _ : state) {
        if (!bench->connection->request(r)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    countTransfers(state, before);
}
BENCHMARK(BM_WriteRequest)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench setup;
    if (!setup.connection) {
        return 1;
    }
    bench = &setup;
    // Requests need a running board.
    writeFile(setup.image, firmwareImage(64));
    if (!setup.connection->downloadFirmware(setup.image)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    setup.connection.reset();
    return 0;
}
