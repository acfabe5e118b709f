#include "drivers/UsbProtocol.h"

#include "drivers/SimFirmware.h"
#include "platform/Usb.h"

#include <algorithm>
#include <libusb.h>

namespace qd::drivers {

std::optional<ControlSetup> usbSetupFor(const VendorRequest& r, std::string* why) {
    const std::uint32_t frameLength = (r.index >> 8) & 0xFF;
    const std::uint32_t powerMode = r.index & 0xFF;
    // A 24-bit frame's power-down bits do not fit into wValue; the board
    // takes them from wIndex, so a value that says otherwise would program
    // a different mode than the caller asked for.
    if (frameLength == 24 && (r.value >> 16) != powerMode) {
        if (why) {
            *why = "value bits 16 and up (" + std::to_string(r.value >> 16) +
                   ") disagree with the power mode in the index (" + std::to_string(powerMode) +
                   ")";
        }
        return std::nullopt;
    }
    if (r.length > 0 && !r.buffer) {
        if (why) {
            *why = "no buffer for " + std::to_string(r.length) + " bytes";
        }
        return std::nullopt;
    }
    ControlSetup s;
    s.requestType = r.direction == 0 ? kRequestTypeOut : kRequestTypeIn;
    s.request = r.code;
    s.value = static_cast<std::uint16_t>(r.value & 0xFFFF);
    s.index = static_cast<std::uint16_t>(r.index & 0xFFFF);
    s.length = r.length;
    return s;
}

std::vector<LoadTransfer> usbLoadTransfers(const HexImage& image, std::size_t maxSize) {
    std::vector<const HexSegment*> sorted;
    sorted.reserve(image.segments.size());
    for (const auto& segment : image.segments) {
        if (!segment.data.empty()) {
            sorted.push_back(&segment);
        }
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const HexSegment* a, const HexSegment* b) {
        return a->address < b->address;
    });
    bool overlap = false;
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        overlap = overlap || sorted[i]->address <
                                 std::uint64_t{sorted[i - 1]->address} + sorted[i - 1]->data.size();
    }

    // Runs of consecutive bytes; with overlapping segments, the segments as
    // they stand in file order.
    std::vector<HexSegment> runs;
    if (overlap) {
        runs = image.segments;
    } else {
        for (const HexSegment* segment : sorted) {
            if (!runs.empty() &&
                std::uint64_t{runs.back().address} + runs.back().data.size() == segment->address) {
                runs.back().data.insert(runs.back().data.end(), segment->data.begin(),
                                        segment->data.end());
            } else {
                runs.push_back(*segment);
            }
        }
    }

    std::vector<LoadTransfer> out;
    for (const auto& run : runs) {
        std::size_t done = 0;
        while (done < run.data.size()) {
            const auto address = static_cast<std::uint32_t>(run.address + done);
            const std::size_t toBoundary = 0x10000 - (address & 0xFFFF);
            const std::size_t size = std::min({maxSize, run.data.size() - done, toBoundary});
            const auto first = run.data.begin() + static_cast<std::ptrdiff_t>(done);
            out.push_back({address, {first, first + static_cast<std::ptrdiff_t>(size)}});
            done += size;
        }
    }
    return out;
}

std::string usbErrorName(int libusbError) {
    return libusb_error_name(libusbError);
}

int usbClaimInterface(libusb_device_handle* handle, bool* detached) {
    *detached = false;
    if (libusb_has_capability(LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER) &&
        libusb_kernel_driver_active(handle, kInterface) == 1) {
        const int rc = libusb_detach_kernel_driver(handle, kInterface);
        // NOT_FOUND: the driver let go of it meanwhile.
        if (rc != 0 && rc != LIBUSB_ERROR_NOT_FOUND) {
            return rc;
        }
        *detached = rc == 0;
    }
    return libusb_claim_interface(handle, kInterface);
}

void usbReleaseInterface(libusb_device_handle* handle, bool detached) {
    libusb_release_interface(handle, kInterface);
    if (detached) {
        libusb_attach_kernel_driver(handle, kInterface);
    }
}

namespace {

using qd::platform::kUsbThroughBoundDriver;

// Windows lets a program talk to a USB device only through the driver bound
// to it, which for the board is WinUSB, bound by the INF we ship. The INF is
// a device's driver package, which Explorer's Install does not take.
std::string driverStep() {
    return std::string("bind WinUSB to it: in the program's folder, as an administrator, run "
                       "pnputil /add-driver ") +
           kWinUsbInfFile +
           " /install (or use Zadig where Windows refuses the unsigned package), then unplug "
           "and replug the board";
}

} // namespace

LinkStatus usbOpenFailureStatus(int libusbError) {
    switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
        // WinUSB lets one program at a time open a device: another one's
        // open is refused as access denied, which means the board is busy.
        return kUsbThroughBoundDriver ? LinkStatus::Busy : LinkStatus::NoPermission;
    case LIBUSB_ERROR_BUSY:
        return LinkStatus::Busy;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return LinkStatus::NoBoard;
    default:
        return LinkStatus::RequestFailed;
    }
}

std::string usbOpenFailureText(int libusbError) {
    std::string text = usbErrorName(libusbError);
    const bool refused = libusbError == LIBUSB_ERROR_ACCESS;
    const bool busy = libusbError == LIBUSB_ERROR_BUSY;
    if (!kUsbThroughBoundDriver) {
        if (refused) {
            text += " (no permission to open the board: install the udev rule ";
            text += kUdevRuleFile;
            text += " into /etc/udev/rules.d or /usr/lib/udev/rules.d, then unplug and replug the "
                    "board)";
        } else if (busy) {
            text += " (board busy: another program has claimed it)";
        }
    } else if (libusbError == LIBUSB_ERROR_NOT_SUPPORTED || libusbError == LIBUSB_ERROR_NOT_FOUND) {
        text += " (the board has no WinUSB driver: " + driverStep() + ")";
    } else if (refused || busy) {
        text += " (board busy: another program has it open)";
    }
    return text;
}

std::string usbNoBoardText() {
    return kUsbThroughBoundDriver ? "no board found (if one is plugged in, " + driverStep() + ")"
                                  : "no board found";
}

int usbControlTransfer(libusb_device_handle* handle, const ControlSetup& s, std::uint8_t* data,
                       unsigned timeoutMs) {
    return libusb_control_transfer(handle, s.requestType, s.request, s.value, s.index, data,
                                   s.length, timeoutMs);
}

int usbLoadMemory(libusb_device_handle* handle, std::uint32_t address, const std::uint8_t* data,
                  std::size_t size, unsigned timeoutMs) {
    if (size > kMaxLoadTransfer) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    ControlSetup s;
    s.requestType = kRequestTypeOut;
    s.request = kRequestLoadMemory;
    s.value = static_cast<std::uint16_t>(address & 0xFFFF);
    s.index = static_cast<std::uint16_t>(address >> 16);
    s.length = static_cast<std::uint16_t>(size);
    // libusb copies an out transfer's data into its own buffer; it never
    // writes through this pointer.
    return usbControlTransfer(handle, s, const_cast<std::uint8_t*>(data), timeoutMs);
}

int usbHoldInReset(libusb_device_handle* handle, bool hold, unsigned timeoutMs) {
    const std::uint8_t value = hold ? 1 : 0;
    return usbLoadMemory(handle, kResetRegister, &value, 1, timeoutMs);
}

int usbReadConverter(libusb_device_handle* handle, std::uint8_t reply[2], unsigned timeoutMs) {
    ControlSetup s;
    s.requestType = kRequestTypeIn;
    s.request = kRequestReadConverter;
    s.length = 2;
    return usbControlTransfer(handle, s, reply, timeoutMs);
}

} // namespace qd::drivers
