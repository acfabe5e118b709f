#pragma once

// The board's requests as USB control transfers: what goes into each setup
// packet, and one function per request the libraries make. UsbBackend builds
// finding, opening and downloading on top of these.

#include "drivers/Backend.h"
#include "drivers/IntelHex.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct libusb_device_handle;

namespace qd::drivers {

inline constexpr std::uint8_t kRequestTypeOut = 0x40; // vendor, device, host to device
inline constexpr std::uint8_t kRequestTypeIn = 0xC0;  // vendor, device, device to host
inline constexpr std::uint8_t kRequestLoadMemory = 0xA0;
// The microcontroller's reset register: 1 holds its CPU in reset, 0 lets it
// run whatever has been loaded.
inline constexpr std::uint16_t kResetRegister = 0xE600;
// The most a control transfer carries through Linux usbfs.
inline constexpr std::size_t kMaxLoadTransfer = 4096;
inline constexpr unsigned kDefaultTimeoutMs = 1000;

// The udev rule we ship; named in the diagnostic for a board the user may
// not open. On Windows, the INF that binds WinUSB to the board.
inline constexpr const char* kUdevRuleFile = "60-qd1600.rules";
inline constexpr const char* kWinUsbInfFile = "qd1600-winusb.inf";

// The fields of one control transfer's setup packet.
struct ControlSetup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;

    bool operator==(const ControlSetup&) const = default;
};

// The setup packet a library request travels in; nullopt, with the reason
// in *why, when the request must not reach the board at all.
std::optional<ControlSetup> usbSetupFor(const VendorRequest& request, std::string* why);

// The bytes one load transfer writes.
struct LoadTransfer {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
};

// The image cut into load transfers of at most maxSize bytes: segments that
// follow each other in memory are merged whatever their order in the file,
// and no transfer crosses a 64 KiB boundary, since wValue carries only the
// low 16 address bits. When segments overlap, file order is kept so that
// the later bytes win as the file says.
std::vector<LoadTransfer> usbLoadTransfers(const HexImage& image,
                                           std::size_t maxSize = kMaxLoadTransfer);

// The board's one interface, which a program claims for as long as it
// holds the board.
inline constexpr int kInterface = 0;

// Claims the board's interface for this handle, so that no other program's
// requests come between ours; a kernel driver that libusb says is bound to
// it is detached first where the platform can, and *detached says so. 0 or
// a negative libusb error: LIBUSB_ERROR_BUSY while another program holds it.
int usbClaimInterface(libusb_device_handle* handle, bool* detached);
// Lets the interface go, back to the kernel driver detached for it.
void usbReleaseInterface(libusb_device_handle* handle, bool detached);

// Why a libusb_open or a claim failed, as the libraries report it: another
// program's claim is Busy, as on the simulated board.
LinkStatus usbOpenFailureStatus(int libusbError);

// The text for a failed libusb_open or claim: for a permission failure it
// points the user to the udev rule; on Windows, for a missing driver, to
// the INF.
std::string usbOpenFailureText(int libusbError);

// The text for no board on the bus; on Windows it names the INF, since a
// board without its driver cannot be used.
std::string usbNoBoardText();

// libusb's name for an error code, e.g. "LIBUSB_ERROR_PIPE".
std::string usbErrorName(int libusbError);

// One function per request. Each returns the byte count libusb reports, or
// a negative libusb error code.
int usbControlTransfer(libusb_device_handle* handle, const ControlSetup& setup, std::uint8_t* data,
                       unsigned timeoutMs);
// Writes data into the microcontroller's memory (request 0xA0, out).
int usbLoadMemory(libusb_device_handle* handle, std::uint32_t address, const std::uint8_t* data,
                  std::size_t size, unsigned timeoutMs);
// Holds the microcontroller's CPU in reset, or lets it run.
int usbHoldInReset(libusb_device_handle* handle, bool hold, unsigned timeoutMs);
// Reads the measuring converter's two reply bytes (request 218, in).
int usbReadConverter(libusb_device_handle* handle, std::uint8_t reply[2], unsigned timeoutMs);

} // namespace qd::drivers
