// The variant-1 link library. It finds the board by itself; the program only
// loads firmware and sends requests. The program looks its two functions up
// under the names board/LinkAbi.h gives.

#include "board/LinkAbi.h"
#include "drivers/Backend.h"
#include "drivers/LinkCall.h"

#include <memory>
#include <mutex>

namespace {

using namespace qd::drivers;

const char* const kLibrary = "USBFunctions";

std::mutex mutex;
std::unique_ptr<BoardConnection> board;
int selected = 1; // which of the boards found is "the" board

// Opens the selected board at the first call that needs it, and again after
// a call that could not.
LinkResult openBoard(const char* operation) {
    if (board) {
        return {};
    }
    const auto boards = processBackend().findBoards();
    if (boards.empty()) {
        return fail(LinkStatus::NoBoard, kLibrary, operation, processBackend().noBoardText());
    }
    if (static_cast<std::size_t>(selected) > boards.size()) {
        return fail(LinkStatus::NoBoard, kLibrary, operation,
                    "no board " + std::to_string(selected) + " (" + std::to_string(boards.size()) +
                        " found)");
    }
    LinkResult why;
    board = processBackend().open(boards[static_cast<std::size_t>(selected - 1)], why);
    return why;
}

LinkResult selectBoard(int n) {
    if (board) {
        return fail(LinkStatus::BadArgument, kLibrary, "QD_LinkQuery",
                    "select=" + std::to_string(n) + ": a board is in use already");
    }
    const auto boards = processBackend().findBoards();
    if (static_cast<std::size_t>(n) > boards.size()) {
        return fail(LinkStatus::NoBoard, kLibrary, "QD_LinkQuery",
                    "select=" + std::to_string(n) + ": no such board (" +
                        std::to_string(boards.size()) + " found)");
    }
    selected = n;
    return {};
}

// Runs one call under the library's lock and keeps its outcome for "why";
// 1 for success, 0 for failure, as the program expects.
template <typename F> short call(const char* operation, F&& f) {
    LinkResult result;
    try {
        const std::lock_guard lock(mutex);
        result = f();
    } catch (const LinkFailure& e) {
        result = e.result();
    } catch (const std::exception& e) {
        result = fail(LinkStatus::RequestFailed, kLibrary, operation, e.what());
    }
    const short outcome = result ? 1 : 0;
    recordCall(result);
    return outcome;
}

} // namespace

QD_LINK_EXPORT_CXX short QD_LINK_CALL LoadFirmWare(char* path);
QD_LINK_EXPORT_CXX short QD_LINK_CALL VendorIORequest(short request, int value, int index,
                                                      short direction, short length, char* buffer);
QD_LINK_EXPORT int QD_LinkQuery(const char* query, char* answer, int size);

short QD_LINK_CALL LoadFirmWare(char* path) {
    return call("LoadFirmWare", [&]() -> LinkResult {
        if (!path) {
            return fail(LinkStatus::BadArgument, kLibrary, "LoadFirmWare", "no path");
        }
        if (auto opened = openBoard("LoadFirmWare"); !opened) {
            return opened;
        }
        return board->downloadFirmware(path);
    });
}

short QD_LINK_CALL VendorIORequest(short request, int value, int index, short direction,
                                   short length, char* buffer) {
    return call("VendorIORequest", [&]() -> LinkResult {
        if (request < 0 || request > 255 || length < 0 || (length > 0 && !buffer) ||
            (direction != 0 && direction != 1)) {
            return fail(LinkStatus::BadArgument, kLibrary, "VendorIORequest", "bad argument");
        }
        if (auto opened = openBoard("VendorIORequest"); !opened) {
            return opened;
        }
        VendorRequest r;
        r.code = static_cast<std::uint8_t>(request);
        r.value = static_cast<std::uint32_t>(value);
        r.index = static_cast<std::uint32_t>(index);
        r.direction = direction;
        r.length = static_cast<std::uint16_t>(length);
        r.buffer = reinterpret_cast<std::uint8_t*>(buffer);
        return board->request(r);
    });
}

int QD_LinkQuery(const char* query, char* answer, int size) {
    try {
        const std::lock_guard lock(mutex);
        return answerLinkQuery(kLibrary, query, answer, size, &selectBoard);
    } catch (const std::exception& e) {
        diagnose(kLibrary, "QD_LinkQuery", e.what());
        return static_cast<int>(LinkStatus::BadArgument);
    }
}
