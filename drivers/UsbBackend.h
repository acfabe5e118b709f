#pragma once

#include "drivers/Backend.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace qd::drivers {

// How long the real-USB backend waits. The environment can shorten the
// wait for a board coming back after a firmware download, which tests use
// (anything but a whole number of milliseconds raises LinkFailure):
//   QD_USB_RETURN_MS  bound of that wait, in milliseconds (default 5000)
//   QD_USB_POLL_MS    how often the board is looked for meanwhile (100)
//   QD_USB_TIMEOUT_MS timeout of one control transfer (1000)
struct UsbOptions {
    std::chrono::milliseconds transferTimeout{1000};
    std::chrono::milliseconds returnTimeout{5000};
    std::chrono::milliseconds pollInterval{100};
    // How long opening a board waits for another program to let go of it
    // before it reports the board busy, as the simulated board waits.
    std::chrono::milliseconds claimWait{2000};

    static UsbOptions fromEnvironment();
};

class UsbContext;

// Boards on the USB bus, found by vendor and product id through libusb.
// libusb is initialised at first use, not at construction, so a test can
// set up an emulated bus first. An opened board's interface is claimed
// until its last connection ends, so that no other program's requests come
// between ours: another program is told the board is busy.
class UsbBackend final : public Backend {
  public:
    explicit UsbBackend(UsbOptions options = {});
    ~UsbBackend() override;
    UsbBackend(const UsbBackend&) = delete;
    UsbBackend& operator=(const UsbBackend&) = delete;

    // Ordered by bus and port, so an identifier names the same board for
    // as long as nothing is plugged in or out.
    std::vector<int> findBoards() override;
    // Whether a board may be opened is found by opening and closing it,
    // which sends it nothing; whether it runs its firmware is "unknown",
    // since asking would put a request between another program's.
    std::vector<BoardInfo> listBoards() override;
    std::string noBoardText() const override;

  protected:
    std::unique_ptr<BoardConnection> openBoard(int board, LinkResult& why) override;

  private:
    std::shared_ptr<UsbContext> context();

    UsbOptions options_;
    std::mutex mutex_;
    std::shared_ptr<UsbContext> context_;
    // The boards held, by where they are plugged in.
    std::mutex claimsMutex_;
    std::map<std::string, std::weak_ptr<BoardConnection>> claims_;
};

} // namespace qd::drivers
