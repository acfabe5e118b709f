#pragma once

// A USB bus emulated at the usbdevfs level with umockdev, carrying boards
// whose answers come from the same BoardModel as the simulated board. The
// code under test reaches them through real libusb; run under
// umockdev-wrapper.

#include "drivers/SimFirmware.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace qd::test {

// What a board does once its microcontroller leaves reset.
enum class AfterReset {
    Stays,        // runs the image on the same address
    Reenumerates, // leaves the bus and comes back with a new address
    Vanishes,     // leaves the bus for good
};

// One control transfer as the board saw it.
struct SeenTransfer {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> data; // what the host sent

    std::array<std::uint8_t, 8> setupPacket() const;
};

class EmulatedBus;

class EmulatedBoard {
  public:
    EmulatedBoard(EmulatedBus& bus, int port);
    ~EmulatedBoard();
    EmulatedBoard(const EmulatedBoard&) = delete;
    EmulatedBoard& operator=(const EmulatedBoard&) = delete;

    int port() const { return port_; }
    std::string devnode() const;

    std::vector<SeenTransfer> transfers() const;
    std::size_t transferCount() const;
    void clearTransfers();

    // Bytes the loader has written into the microcontroller's memory.
    std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t size) const;
    bool running() const;
    boardmodel::BoardModel model() const;

    void setAfterReset(AfterReset what);
    // Answers every transfer with this request code with a stall.
    void stallRequest(std::uint8_t code);

    // Whether an open handle has claimed the interface; the claim ends with
    // its release or with the handle.
    bool claimed() const;
    // A kernel driver bound to the interface, as usbfs tells of it; empty
    // for none.
    void bindKernelDriver(std::string name);
    std::string kernelDriver() const;

  private:
    friend class EmulatedBus;

    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void onClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                                 void* self);
    bool handleIoctl(UMockdevIoctlClient* client);
    // The interface ioctls, under the lock: errno, or 0.
    int interfaceIoctl(unsigned long request, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    // Runs one control transfer; the URB status to report and the bytes
    // moved.
    std::pair<int, int> control(const std::uint8_t* setup, std::uint8_t* data, int size);
    void load(std::uint32_t address, const std::uint8_t* data, std::size_t size);
    void leaveReset();

    EmulatedBus& bus_;
    const int port_;
    UMockdevIoctlBase* handler_;

    mutable std::mutex mutex_;
    int devnum_ = 0;
    bool present_ = false;
    AfterReset afterReset_ = AfterReset::Stays;
    std::vector<int> stalled_;
    bool inReset_ = false;
    bool running_ = false;
    bool leaving_ = false; // drops off the bus once the release is reaped
    std::map<std::uint32_t, std::array<std::uint8_t, 4096>> pages_;
    boardmodel::BoardModel model_;
    std::vector<SeenTransfer> transfers_;
    std::deque<UMockdevIoctlData*> done_;     // URBs waiting to be reaped
    UMockdevIoctlClient* claimant_ = nullptr; // the open handle that claimed the interface
    std::string kernelDriver_;
    std::string detachedDriver_; // given up for a claim, bound again on request
};

class EmulatedBus {
  public:
    // Creates the umockdev testbed: do this before libusb is initialised.
    EmulatedBus();
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // A board plugged into the root hub's port.
    EmulatedBoard& plug(int port);
    // Pulls the board out: its open handles fail from now on.
    void unplug(EmulatedBoard& board);

  private:
    friend class EmulatedBoard;

    void attach(EmulatedBoard& board);
    void detach(EmulatedBoard& board);
    std::string syspath(int port) const;
    // Runs f on the bus's own thread, as a hub would, so the board's
    // handler never waits for the testbed.
    void later(std::function<void()> f);

    UMockdevTestbed* testbed_;
    int nextDevnum_ = 2;
    std::vector<std::unique_ptr<EmulatedBoard>> boards_;
    std::mutex testbedMutex_;

    std::mutex jobsMutex_;
    std::condition_variable jobsChanged_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread hub_;
};

// An Intel HEX image the emulated board runs, standing in for the board
// maker's: a header of the tests' own, then `size` bytes in all.
std::string firmwareImage(std::size_t size);

} // namespace qd::test
