// The variant-1 link library. It finds the board by itself; the program only
// loads firmware and sends requests. The two functions keep C++ linkage on
// purpose: the program looks them up under their C++ ABI names.

#include "drivers/Backend.h"

#include <memory>
#include <mutex>

#define QD_EXPORT __attribute__((visibility("default")))

namespace {

using namespace qd::drivers;

const char* const kLibrary = "USBFunctions";

std::mutex mutex;
std::unique_ptr<BoardConnection> board;

BoardConnection* firstBoard(const char* operation) {
    if (!board) {
        const auto boards = processBackend().findBoards();
        if (boards.empty()) {
            diagnose(kLibrary, operation, "no board found");
            return nullptr;
        }
        board = processBackend().open(boards.front());
    }
    return board.get();
}

} // namespace

QD_EXPORT short LoadFirmWare(char* path);
QD_EXPORT short VendorIORequest(short request, int value, int index, short direction, short length,
                                char* buffer);

short LoadFirmWare(char* path) {
    try {
        const std::lock_guard lock(mutex);
        if (!path) {
            diagnose(kLibrary, "LoadFirmWare", "no path");
            return 0;
        }
        BoardConnection* b = firstBoard("LoadFirmWare");
        return b && b->downloadFirmware(path) ? 1 : 0;
    } catch (const std::exception& e) {
        diagnose(kLibrary, "LoadFirmWare", e.what());
        return 0;
    }
}

short VendorIORequest(short request, int value, int index, short direction, short length,
                      char* buffer) {
    try {
        const std::lock_guard lock(mutex);
        if (request < 0 || request > 255 || length < 0 || (length > 0 && !buffer) ||
            (direction != 0 && direction != 1)) {
            diagnose(kLibrary, "VendorIORequest", "bad argument");
            return 0;
        }
        BoardConnection* b = firstBoard("VendorIORequest");
        if (!b) {
            return 0;
        }
        VendorRequest r;
        r.code = static_cast<std::uint8_t>(request);
        r.value = static_cast<std::uint32_t>(value);
        r.index = static_cast<std::uint32_t>(index);
        r.direction = direction;
        r.length = static_cast<std::uint16_t>(length);
        r.buffer = reinterpret_cast<std::uint8_t*>(buffer);
        return b->request(r) ? 1 : 0;
    } catch (const std::exception& e) {
        diagnose(kLibrary, "VendorIORequest", e.what());
        return 0;
    }
}
