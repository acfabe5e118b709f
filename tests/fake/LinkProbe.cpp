// A stand-in for the programs, run by the tests in folders and with link
// libraries they prepare:
//   link_probe firmware    start the board as the programs do, over the
//                          recording fake library found beside the probe,
//                          and print FirmwarePath and the path the library
//                          received, one per line, byte for byte
//   link_probe name NAME   bind NAME by name as QD1600 does and call it
//   link_probe path PATH   bind PATH as QD1600(version2) does and call it
// Binding prints "ok" or "error NUMBER: TEXT". A crash shows as the signal
// the probe died of.

#include "FakeLink.h"
#include "control/RuntimeError.h"
#include "link/Binding.h"
#include "link/UsbStuff.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <functional>

namespace {

int bind(const std::function<void()>& firstCall) {
    try {
        firstCall();
    } catch (const qd::control::RuntimeError& e) {
        std::printf("error %d: %s\n", e.number(), e.what());
        return 1;
    }
    std::printf("ok\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "firmware") == 0) {
        qd::link::UsbFunctionsBinding binding("QdFakeLink");
        qd::link::UsbStuff usb;
        usb.StartBoard(binding, qd::link::programDirectory());
        std::printf("%s\n%s\n", usb.FirmwarePath.constData(),
                    fake::calls().empty() ? "" : fake::calls().back().path.c_str());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "name") == 0) {
        qd::link::UsbFunctionsBinding binding(argv[2]);
        return bind([&] { binding.LoadFirmWare(nullptr); });
    }
    if (argc == 3 && std::strcmp(argv[1], "path") == 0) {
        qd::link::QnsBinding binding(argv[2]);
        std::uint8_t list[128] = {};
        return bind([&] { binding.Search_For_Boards(0, 0, nullptr, list); });
    }
    std::fprintf(stderr, "usage: %s firmware | name NAME | path PATH\n", argv[0]);
    return 2;
}
