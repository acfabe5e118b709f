// The variant-2 link library: the program searches for boards by vendor and
// product id, connects to one by its identifier and then talks to it through
// a handle. Results: 0 for success, an error number otherwise.

#include "board/LinkAbi.h"
#include "drivers/Backend.h"
#include "drivers/LinkCall.h"
#include "drivers/SimFirmware.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace {

using namespace qd::drivers;

const char* const kLibrary = "QNS_CYUSB_USB4";

enum Result : std::int16_t {
    Ok = 0,
    NoBoard = 1,
    OpenFailed = 2,
    BadHandle = 3,
    DownloadFailed = 4,
    RequestFailed = 5,
    BadArgument = 6,
};

// A call's result number and, for "why", what became of it.
struct Outcome {
    std::int16_t result = Ok;
    LinkResult why;
};

Outcome failed(std::int16_t result, LinkResult why) {
    return {result, std::move(why)};
}

constexpr std::size_t kBoardListSize = 128;

std::mutex mutex;
std::map<std::int32_t, std::unique_ptr<BoardConnection>> connections;
std::int32_t nextHandle = 0x51A0001;

bool ourBoard(std::int32_t vendor, std::int32_t product) {
    return vendor == kVendorId && product == kProductId;
}

BoardConnection* connection(std::int32_t handle, const char* operation, LinkResult& why) {
    const auto it = connections.find(handle);
    if (it == connections.end()) {
        why = fail(LinkStatus::BadArgument, kLibrary, operation,
                   "unknown handle " + std::to_string(handle));
        return nullptr;
    }
    return it->second.get();
}

template <typename F> std::int16_t guard(const char* operation, F&& f) {
    Outcome outcome;
    try {
        const std::lock_guard lock(mutex);
        outcome = f();
    } catch (const LinkFailure& e) {
        // No backend to use: to the program, no board to be had.
        outcome = failed(NoBoard, e.result());
    } catch (const std::exception& e) {
        outcome =
            failed(BadArgument, fail(LinkStatus::RequestFailed, kLibrary, operation, e.what()));
    }
    recordCall(outcome.why);
    return outcome.result;
}

} // namespace

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Search_For_Boards(std::int32_t vendor,
                                                           std::int32_t product,
                                                           std::int32_t* count,
                                                           std::uint8_t* list) {
    return guard("Search_For_Boards", [&]() -> Outcome {
        const auto boards =
            ourBoard(vendor, product) ? processBackend().findBoards() : std::vector<int>{};
        std::size_t n = 0;
        for (const int id : boards) {
            if (n == kBoardListSize || id < 1 || id > 255) {
                break;
            }
            if (list) {
                list[n] = static_cast<std::uint8_t>(id);
            }
            ++n;
        }
        if (count) {
            *count = static_cast<std::int32_t>(n);
        }
        if (n == 0) {
            return failed(NoBoard, fail(LinkStatus::NoBoard, kLibrary, "Search_For_Boards",
                                        processBackend().noBoardText()));
        }
        return {};
    });
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Connect(std::int32_t vendor, std::int32_t product,
                                                 std::uint8_t board, std::int32_t* handle) {
    return guard("Connect", [&]() -> Outcome {
        if (!handle || !ourBoard(vendor, product) || board == 0) {
            const bool none = board == 0;
            return failed(none ? NoBoard : BadArgument,
                          fail(none ? LinkStatus::NoBoard : LinkStatus::BadArgument, kLibrary,
                               "Connect", "no board " + std::to_string(board)));
        }
        LinkResult why;
        auto opened = processBackend().open(board, why);
        if (!opened) {
            return failed(OpenFailed, std::move(why));
        }
        *handle = nextHandle++;
        connections.emplace(*handle, std::move(opened));
        return {};
    });
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Download_Firmware(std::int32_t handle, char* path) {
    return guard("Download_Firmware", [&]() -> Outcome {
        LinkResult why;
        BoardConnection* c = connection(handle, "Download_Firmware", why);
        if (!c) {
            return failed(BadHandle, std::move(why));
        }
        if (!path) {
            return failed(BadArgument,
                          fail(LinkStatus::BadArgument, kLibrary, "Download_Firmware", "no path"));
        }
        LinkResult result = c->downloadFirmware(path);
        return result ? Outcome{} : failed(DownloadFailed, std::move(result));
    });
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Vendor_Request(std::int32_t handle, std::uint8_t request,
                                                        std::int32_t value, std::int32_t index,
                                                        std::uint8_t direction, std::int16_t length,
                                                        std::uint8_t* buffer) {
    return guard("Vendor_Request", [&]() -> Outcome {
        LinkResult why;
        BoardConnection* c = connection(handle, "Vendor_Request", why);
        if (!c) {
            return failed(BadHandle, std::move(why));
        }
        if (length < 0 || (length > 0 && !buffer) || direction > 1) {
            return failed(BadArgument, fail(LinkStatus::BadArgument, kLibrary, "Vendor_Request",
                                            "bad argument"));
        }
        VendorRequest r;
        r.code = request;
        r.value = static_cast<std::uint32_t>(value);
        r.index = static_cast<std::uint32_t>(index);
        r.direction = direction;
        r.length = static_cast<std::uint16_t>(length);
        r.buffer = buffer;
        LinkResult result = c->request(r);
        return result ? Outcome{} : failed(RequestFailed, std::move(result));
    });
}

// Boards are chosen by Connect here, so "select=N" is refused.
QD_LINK_EXPORT int QD_LinkQuery(const char* query, char* answer, int size) {
    try {
        const std::lock_guard lock(mutex);
        return answerLinkQuery(kLibrary, query, answer, size, nullptr);
    } catch (const std::exception& e) {
        diagnose(kLibrary, "QD_LinkQuery", e.what());
        return static_cast<int>(LinkStatus::BadArgument);
    }
}
