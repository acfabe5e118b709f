#include "drivers/UsbBackend.h"

#include "drivers/IntelHex.h"
#include "drivers/SimFirmware.h"
#include "drivers/UsbProtocol.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <libusb.h>
#include <string_view>
#include <thread>

namespace qd::drivers {

namespace {

using namespace std::chrono;

const char* const kLibrary = "USB";

// Where a board is plugged in. A board that restarts with new firmware
// comes back with a new address but on the same port.
struct Location {
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports;

    auto operator<=>(const Location&) const = default;
};

Location locationOf(libusb_device* device) {
    Location where;
    where.bus = libusb_get_bus_number(device);
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    if (n > 0) {
        where.ports.assign(ports, ports + n);
    }
    return where;
}

// "1.2": the port numbers from the root hub down.
std::string portPath(const Location& where) {
    std::string text;
    for (std::size_t i = 0; i < where.ports.size(); ++i) {
        text += (i ? "." : "") + std::to_string(where.ports[i]);
    }
    return where.ports.empty() ? "?" : text;
}

std::string describe(const Location& where) {
    return "bus " + std::to_string(where.bus) + " port " + portPath(where);
}

// A transfer that failed because the board has left the bus says so; any
// other failure is the operation's own.
LinkStatus transferStatus(int libusbError, LinkStatus otherwise) {
    return libusbError == LIBUSB_ERROR_NO_DEVICE ? LinkStatus::NoBoard : otherwise;
}

// The devices libusb sees now, released on scope exit.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context)
        : count_(libusb_get_device_list(context, &list_)) {}
    ~DeviceList() {
        if (count_ >= 0) {
            libusb_free_device_list(list_, 1);
        }
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // A libusb error code when listing failed, else 0.
    int error() const { return count_ < 0 ? static_cast<int>(count_) : 0; }

    struct Board {
        libusb_device* device;
        Location where;
        std::uint8_t address;
    };

    // Our boards, in bus and port order.
    std::vector<Board> boards() const {
        std::vector<Board> found;
        for (ssize_t i = 0; i < count_; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list_[i], &d) == 0 && d.idVendor == kVendorId &&
                d.idProduct == kProductId) {
                found.push_back(
                    {list_[i], locationOf(list_[i]), libusb_get_device_address(list_[i])});
            }
        }
        std::sort(found.begin(), found.end(), [](const Board& a, const Board& b) {
            return a.where != b.where ? a.where < b.where : a.address < b.address;
        });
        return found;
    }

  private:
    libusb_device** list_ = nullptr;
    ssize_t count_;
};

std::chrono::milliseconds envMilliseconds(const char* name, std::chrono::milliseconds fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) {
        return fallback;
    }
    const std::string_view digits(text);
    long value = -1;
    const auto [end, ec] = std::from_chars(digits.begin(), digits.end(), value);
    if (ec != std::errc() || end != digits.end() || value < 0) {
        refuseSetting(kLibrary, name, text, "a whole number of milliseconds, 0 or more");
    }
    return std::chrono::milliseconds(value);
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

} // namespace

// A libusb context shared by the backend and every board opened through it,
// so that no handle outlives it.
class UsbContext {
  public:
    static std::shared_ptr<UsbContext> create() {
        libusb_context* context = nullptr;
        const int rc = libusb_init(&context);
        if (rc != 0) {
            diagnose(kLibrary, "init", usbErrorName(rc));
            return nullptr;
        }
        return std::shared_ptr<UsbContext>(new UsbContext(context));
    }
    ~UsbContext() { libusb_exit(context_); }
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;

    libusb_context* get() const { return context_; }

  private:
    explicit UsbContext(libusb_context* context) : context_(context) {}
    libusb_context* context_;
};

namespace {

class UsbConnection final : public BoardConnection {
  public:
    // `handle` with the board's interface claimed, as the connection keeps
    // it until it ends.
    UsbConnection(std::shared_ptr<UsbContext> context, libusb_device_handle* handle, bool detached,
                  Location where, const UsbOptions& options)
        : context_(std::move(context)), handle_(handle), detached_(detached),
          where_(std::move(where)), options_(options) {}
    ~UsbConnection() override { close(); }
    UsbConnection(const UsbConnection&) = delete;
    UsbConnection& operator=(const UsbConnection&) = delete;

    LinkResult downloadFirmware(const std::string& path) override {
        // The whole image is read before the board is touched: a corrupt
        // file must not leave a half-loaded microcontroller behind.
        HexImage image;
        try {
            image = readIntelHexFile(path);
        } catch (const IntelHexError& e) {
            return fail(LinkStatus::BadImage, kLibrary, "firmware download",
                        "image " + path + ": " + e.what());
        }
        // The packages ship the simulated board's image beside the programs.
        // A real microcontroller would run its filler as code until it is
        // unplugged, so it is given nothing at all.
        if (carriesSimulatedBoardHeader(image)) {
            return fail(LinkStatus::BadImage, kLibrary, "firmware download",
                        "image " + path +
                            " is the simulated board's firmware, which a real board cannot run: "
                            "put the board maker's QD1600.hex in its place");
        }
        const std::vector<LoadTransfer> transfers = usbLoadTransfers(image);
        if (transfers.empty()) {
            return fail(LinkStatus::BadImage, kLibrary, "firmware download",
                        "image " + path + ": no data");
        }
        if (!handle_) {
            if (auto why = reopen("firmware download"); !why) {
                return why;
            }
        }
        const unsigned timeout = transferTimeoutMs(options_.transferTimeout);
        int rc = usbHoldInReset(handle_, true, timeout);
        if (rc < 0) {
            return failed("firmware download: hold the microcontroller in reset", rc,
                          LinkStatus::DownloadFailed);
        }
        for (const auto& t : transfers) {
            rc = usbLoadMemory(handle_, t.address, t.data.data(), t.data.size(), timeout);
            const std::string step = "firmware download: write " + std::to_string(t.data.size()) +
                                     " bytes at " + hex(t.address);
            if (rc < 0) {
                return failed(step, rc, LinkStatus::DownloadFailed);
            }
            if (static_cast<std::size_t>(rc) != t.data.size()) {
                return fail(LinkStatus::DownloadFailed, kLibrary, step,
                            "board took only " + std::to_string(rc) + " bytes");
            }
        }
        rc = usbHoldInReset(handle_, false, timeout);
        // A board may restart before it acknowledges the release; whether it
        // runs the image is told by it answering below, not by this status.
        if (rc < 0 && rc != LIBUSB_ERROR_NO_DEVICE) {
            return failed("firmware download: release the microcontroller from reset", rc,
                          LinkStatus::DownloadFailed);
        }
        return waitForBoard();
    }

    LinkResult request(const VendorRequest& r) override {
        std::string why;
        const auto setup = usbSetupFor(r, &why);
        if (!setup) {
            return fail(LinkStatus::BadArgument, kLibrary, "request " + std::to_string(r.code),
                        why);
        }
        if (!handle_) {
            if (auto reopened = reopen("request " + std::to_string(r.code)); !reopened) {
                return reopened;
            }
        }
        const int rc = usbControlTransfer(handle_, *setup, r.buffer,
                                          transferTimeoutMs(options_.transferTimeout));
        if (rc < 0) {
            return failed("request " + std::to_string(r.code), rc, LinkStatus::RequestFailed);
        }
        if (rc != setup->length) {
            return fail(LinkStatus::RequestFailed, kLibrary, "request " + std::to_string(r.code),
                        "board moved " + std::to_string(rc) + " of " +
                            std::to_string(setup->length) + " bytes");
        }
        return {};
    }

  private:
    static unsigned transferTimeoutMs(milliseconds timeout) {
        return static_cast<unsigned>(std::max<milliseconds::rep>(1, timeout.count()));
    }

    LinkResult failed(const std::string& operation, int rc, LinkStatus otherwise) {
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            // Gone from the bus: a later call looks for it again on its port.
            close();
        }
        return fail(transferStatus(rc, otherwise), kLibrary, operation, usbErrorName(rc));
    }

    void close() {
        if (handle_) {
            usbReleaseInterface(handle_, detached_);
            libusb_close(handle_);
            handle_ = nullptr;
        }
    }

    // Opens and claims the board on our port again; the libusb error when it
    // is not there, cannot be opened, or another program has claimed it
    // meanwhile.
    int tryReopen() {
        const DeviceList list(context_->get());
        if (list.error()) {
            return list.error();
        }
        int rc = LIBUSB_ERROR_NO_DEVICE;
        for (const auto& board : list.boards()) {
            if (board.where == where_) {
                rc = libusb_open(board.device, &handle_);
                if (rc == 0) {
                    rc = usbClaimInterface(handle_, &detached_);
                    if (rc == 0) {
                        return 0;
                    }
                    libusb_close(handle_);
                }
                handle_ = nullptr;
            }
        }
        return rc;
    }

    LinkResult reopen(const std::string& operation) {
        const int rc = tryReopen();
        if (rc != 0) {
            return fail(usbOpenFailureStatus(rc), kLibrary, operation,
                        "board on " + describe(where_) + ": " + usbOpenFailureText(rc));
        }
        return {};
    }

    // The board restarts with its new firmware, possibly leaving the bus
    // and coming back with a new address. It counts as loaded once it
    // answers a read request.
    LinkResult waitForBoard() {
        const auto deadline = steady_clock::now() + options_.returnTimeout;
        int last = LIBUSB_ERROR_NO_DEVICE;
        bool readBefore = false;
        for (;;) {
            if (!handle_) {
                last = tryReopen();
            }
            if (handle_) {
                const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
                const bool cutShort = left < options_.transferTimeout;
                std::uint8_t reply[2];
                const int rc = usbReadConverter(
                    handle_, reply, transferTimeoutMs(std::min(left, options_.transferTimeout)));
                if (rc == 2) {
                    return {};
                }
                // A read the deadline cut short says nothing about the board:
                // what it answered before tells the user more.
                if (!(rc == LIBUSB_ERROR_TIMEOUT && cutShort && readBefore)) {
                    last = rc < 0 ? rc : LIBUSB_ERROR_IO;
                }
                readBefore = true;
                if (rc == LIBUSB_ERROR_NO_DEVICE) {
                    close();
                }
            }
            if (steady_clock::now() + options_.pollInterval > deadline) {
                break;
            }
            std::this_thread::sleep_for(options_.pollInterval);
        }
        return fail(LinkStatus::DownloadFailed, kLibrary,
                    "firmware download: wait for the board to restart",
                    "no answer from the board on " + describe(where_) + " within " +
                        std::to_string(options_.returnTimeout.count()) +
                        " ms: " + usbOpenFailureText(last));
    }

    std::shared_ptr<UsbContext> context_;
    libusb_device_handle* handle_;
    bool detached_; // a kernel driver gave the interface up for us
    Location where_;
    UsbOptions options_;
};

// Another connection to a board this backend holds already: one claim per
// board and process, as on the simulated board.
class SharedConnection final : public BoardConnection {
  public:
    explicit SharedConnection(std::shared_ptr<BoardConnection> board) : board_(std::move(board)) {}

    LinkResult downloadFirmware(const std::string& path) override {
        return board_->downloadFirmware(path);
    }
    LinkResult request(const VendorRequest& r) override { return board_->request(r); }

  private:
    std::shared_ptr<BoardConnection> board_;
};

// Claims the interface of an opened board, waiting up to `wait` for
// another program to let go of it; 0 or the libusb error.
int claimWithin(libusb_device_handle* handle, bool* detached, const UsbOptions& options) {
    const auto deadline = steady_clock::now() + options.claimWait;
    for (;;) {
        const int rc = usbClaimInterface(handle, detached);
        if (rc != LIBUSB_ERROR_BUSY || steady_clock::now() + options.pollInterval > deadline) {
            return rc;
        }
        std::this_thread::sleep_for(options.pollInterval);
    }
}

} // namespace

UsbOptions UsbOptions::fromEnvironment() {
    UsbOptions o;
    o.returnTimeout = envMilliseconds("QD_USB_RETURN_MS", o.returnTimeout);
    o.pollInterval = envMilliseconds("QD_USB_POLL_MS", o.pollInterval);
    o.transferTimeout = envMilliseconds("QD_USB_TIMEOUT_MS", o.transferTimeout);
    return o;
}

UsbBackend::UsbBackend(UsbOptions options) : options_(options) {}

UsbBackend::~UsbBackend() = default;

std::shared_ptr<UsbContext> UsbBackend::context() {
    const std::lock_guard lock(mutex_);
    if (!context_) {
        context_ = UsbContext::create();
    }
    return context_;
}

std::vector<int> UsbBackend::findBoards() {
    const auto ctx = context();
    if (!ctx) {
        return {};
    }
    const DeviceList list(ctx->get());
    if (list.error()) {
        diagnose(kLibrary, "find boards", usbErrorName(list.error()));
        return {};
    }
    std::vector<int> ids(list.boards().size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ids[i] = static_cast<int>(i + 1);
    }
    return ids;
}

std::string UsbBackend::noBoardText() const {
    return usbNoBoardText();
}

std::vector<BoardInfo> UsbBackend::listBoards() {
    const auto ctx = context();
    if (!ctx) {
        return {};
    }
    const DeviceList list(ctx->get());
    if (list.error()) {
        diagnose(kLibrary, "list boards", usbErrorName(list.error()));
        return {};
    }
    std::vector<BoardInfo> infos;
    for (const auto& board : list.boards()) {
        BoardInfo info;
        info.id = static_cast<int>(infos.size() + 1);
        info.bus = std::to_string(board.where.bus);
        info.port = portPath(board.where);
        libusb_device_handle* handle = nullptr;
        info.access = libusb_open(board.device, &handle) == 0;
        if (handle) {
            // Best effort: a board without a serial, or one that does not
            // answer, is listed without it.
            libusb_device_descriptor descriptor{};
            unsigned char serial[128] = {};
            if (libusb_get_device_descriptor(board.device, &descriptor) == 0 &&
                descriptor.iSerialNumber != 0 &&
                libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial,
                                                   sizeof serial - 1) > 0) {
                info.serial = listableSerial(reinterpret_cast<const char*>(serial));
            }
            libusb_close(handle);
        }
        infos.push_back(std::move(info));
    }
    return infos;
}

std::unique_ptr<BoardConnection> UsbBackend::openBoard(int board, LinkResult& why) {
    const std::string operation = "open board " + std::to_string(board);
    const auto ctx = context();
    if (!ctx) {
        why = fail(LinkStatus::NoBoard, kLibrary, operation, "libusb did not start");
        return nullptr;
    }
    const DeviceList list(ctx->get());
    if (list.error()) {
        why = fail(LinkStatus::NoBoard, kLibrary, operation, usbErrorName(list.error()));
        return nullptr;
    }
    const auto boards = list.boards();
    if (board < 1 || static_cast<std::size_t>(board) > boards.size()) {
        why = fail(LinkStatus::NoBoard, kLibrary, operation,
                   "no such board (" + std::to_string(boards.size()) + " found)");
        return nullptr;
    }
    const auto& found = boards[static_cast<std::size_t>(board - 1)];
    const std::string where = describe(found.where);
    const std::lock_guard lock(claimsMutex_);
    if (auto held = claims_[where].lock()) {
        return std::make_unique<SharedConnection>(std::move(held));
    }
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(found.device, &handle);
    bool detached = false;
    if (rc == 0) {
        rc = claimWithin(handle, &detached, options_);
        if (rc != 0) {
            libusb_close(handle);
        }
    }
    if (rc != 0) {
        why = fail(usbOpenFailureStatus(rc), kLibrary, operation,
                   where + ": " + usbOpenFailureText(rc));
        return nullptr;
    }
    auto connection = std::make_shared<UsbConnection>(ctx, handle, detached, found.where, options_);
    claims_[where] = connection;
    return std::make_unique<SharedConnection>(std::move(connection));
}

} // namespace qd::drivers
