#pragma once

// The one function our link libraries export beyond the contract of the
// programs' bindings. The windowed programs never call it; qdctl does, when
// the library it loaded has it, to tell the same cause by the same exit
// status on both links, to list boards and to choose one. A foreign library
// lacks it, and qdctl then falls back to what the contract's results say.
//
//   int QD_LinkQuery(const char* query, char* answer, int size);
//
// `answer` receives a NUL-terminated text of at most `size` bytes (it may be
// null when size is 0). The result is a LinkStatus for "why", and 0 or a
// LinkStatus for the others:
//
//   "why"       the status of this thread's last call into the library, and
//               its one-line diagnostic as the answer ("" after success)
//   "boards"    one line per board found, in identifier order:
//               "id=1 bus=1 port=1.2 vendor=2f1a product=7c05 firmware=yes
//               access=yes" (firmware: whether it answers a read request
//               now, "unknown" when it cannot be asked without opening it;
//               access: whether this user may open it)
//   "select=N"  USBFunctions only: use board N (1-based, as listed) instead
//               of the first one; must come before the first LoadFirmWare
//               or VendorIORequest, and fails with NoBoard when there is no
//               such board
//   "quiet"     from now on, print no diagnostics on standard error: the
//               caller collects each failure's reason through "why" and
//               reports it in its own words. Ask it before any other call,
//               so that not even a refused QD_BOARD* setting is printed.
//               The windowed programs never ask it and keep the library's
//               one line per failure on standard error.

#include <cstdint>
#include <string_view>

namespace qd::board {

inline constexpr const char* kLinkQuerySymbol = "QD_LinkQuery";
using LinkQueryFunction = int (*)(const char* query, char* answer, int size);

// Why a call into a link library failed. The numbers are part of the
// libraries' export and never change meaning.
enum class LinkStatus : int {
    Ok = 0,
    NoBoard = 1,        // none found, unplugged, or no such identifier
    Busy = 2,           // another process holds the board
    NoPermission = 3,   // the board's device node may not be opened
    BadImage = 4,       // the firmware file cannot be read or is not an image for the board
    DownloadFailed = 5, // the board refused the image or did not come back running it
    RequestFailed = 6,  // a vendor request failed on the board or on the bus
    BadArgument = 7,    // the call's own arguments are unusable
    StateRefused = 8,   // the simulated board's state file is unsafe or not a board record
    BadSetting = 9,     // a QD_BOARD* or QD_USB_* variable holds what the library does not take
};

constexpr std::string_view linkStatusName(LinkStatus status) {
    switch (status) {
    case LinkStatus::Ok:
        return "ok";
    case LinkStatus::NoBoard:
        return "no board";
    case LinkStatus::Busy:
        return "board busy";
    case LinkStatus::NoPermission:
        return "no permission";
    case LinkStatus::BadImage:
        return "bad firmware image";
    case LinkStatus::DownloadFailed:
        return "firmware download failed";
    case LinkStatus::RequestFailed:
        return "request failed";
    case LinkStatus::BadArgument:
        return "bad argument";
    case LinkStatus::StateRefused:
        return "board state refused";
    case LinkStatus::BadSetting:
        return "bad setting";
    }
    return "unknown";
}

} // namespace qd::board
