// The variant-2 link library: the program searches for boards by vendor and
// product id, connects to one by its identifier and then talks to it through
// a handle. Results: 0 for success, an error number otherwise.

#include "drivers/Backend.h"
#include "drivers/BoardModel.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#define QD_EXPORT extern "C" __attribute__((visibility("default")))

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

constexpr std::size_t kBoardListSize = 128;

std::mutex mutex;
std::map<std::int32_t, std::unique_ptr<BoardConnection>> connections;
std::int32_t nextHandle = 0x51A0001;

bool ourBoard(std::int32_t vendor, std::int32_t product) {
    return vendor == kVendorId && product == kProductId;
}

BoardConnection* connection(std::int32_t handle, const char* operation) {
    const auto it = connections.find(handle);
    if (it == connections.end()) {
        diagnose(kLibrary, operation, "unknown handle " + std::to_string(handle));
        return nullptr;
    }
    return it->second.get();
}

template <typename F> std::int16_t guard(const char* operation, F&& f) {
    try {
        const std::lock_guard lock(mutex);
        return f();
    } catch (const std::exception& e) {
        diagnose(kLibrary, operation, e.what());
        return BadArgument;
    }
}

} // namespace

QD_EXPORT std::int16_t Search_For_Boards(std::int32_t vendor, std::int32_t product,
                                         std::int32_t* count, std::uint8_t* list) {
    return guard("Search_For_Boards", [&]() -> std::int16_t {
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
            diagnose(kLibrary, "Search_For_Boards", "no board found");
            return NoBoard;
        }
        return Ok;
    });
}

QD_EXPORT std::int16_t Connect(std::int32_t vendor, std::int32_t product, std::uint8_t board,
                               std::int32_t* handle) {
    return guard("Connect", [&]() -> std::int16_t {
        if (!handle || !ourBoard(vendor, product) || board == 0) {
            diagnose(kLibrary, "Connect", "no board " + std::to_string(board));
            return board == 0 ? NoBoard : BadArgument;
        }
        auto opened = processBackend().open(board);
        if (!opened) {
            return OpenFailed;
        }
        *handle = nextHandle++;
        connections.emplace(*handle, std::move(opened));
        return Ok;
    });
}

QD_EXPORT std::int16_t Download_Firmware(std::int32_t handle, char* path) {
    return guard("Download_Firmware", [&]() -> std::int16_t {
        BoardConnection* c = connection(handle, "Download_Firmware");
        if (!c) {
            return BadHandle;
        }
        if (!path) {
            return BadArgument;
        }
        return c->downloadFirmware(path) ? Ok : DownloadFailed;
    });
}

QD_EXPORT std::int16_t Vendor_Request(std::int32_t handle, std::uint8_t request, std::int32_t value,
                                      std::int32_t index, std::uint8_t direction,
                                      std::int16_t length, std::uint8_t* buffer) {
    return guard("Vendor_Request", [&]() -> std::int16_t {
        BoardConnection* c = connection(handle, "Vendor_Request");
        if (!c) {
            return BadHandle;
        }
        if (length < 0 || (length > 0 && !buffer) || direction > 1) {
            diagnose(kLibrary, "Vendor_Request", "bad argument");
            return BadArgument;
        }
        VendorRequest r;
        r.code = request;
        r.value = static_cast<std::uint32_t>(value);
        r.index = static_cast<std::uint32_t>(index);
        r.direction = direction;
        r.length = static_cast<std::uint16_t>(length);
        r.buffer = buffer;
        return c->request(r) ? Ok : RequestFailed;
    });
}
