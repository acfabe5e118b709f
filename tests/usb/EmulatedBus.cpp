#include "EmulatedBus.h"

#include "drivers/IntelHex.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <utility>

namespace qd::test {

namespace {

// The header of the firmware the emulated board runs: the tests' own, as a
// real board's image is its maker's. The simulated board's image is the
// very thing a real board must never be given.
constexpr std::array<std::uint8_t, 8> kEmulatedFirmwareHeader = {'Q', 'D', 'E', 'M',
                                                                 'U', 'L', 'F', 'W'};

constexpr std::uint16_t kResetRegister = 0xE600;
constexpr std::uint32_t kPageSize = 4096;

// Device descriptor (vendor-specific class, 64-byte endpoint 0), then one
// configuration with one vendor-specific interface and no endpoints: all the
// board needs for vendor requests on endpoint 0.
std::string descriptors() {
    char device[64];
    std::snprintf(device, sizeof device, "12010002FFFFFF40%02X%02X%02X%02X000100000001",
                  drivers::kVendorId & 0xFF, drivers::kVendorId >> 8, drivers::kProductId & 0xFF,
                  drivers::kProductId >> 8);
    return std::string(device) + "0902120001010080FA" + "0904000000FF000000";
}

// The ids as sysfs and udev write them: four lower-case hexadecimal digits.
std::string hex4(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

std::string node(int devnum) {
    char text[32];
    std::snprintf(text, sizeof text, "/dev/bus/usb/001/%03d", devnum);
    return text;
}

// The board as udev describes it, in umockdev's text format. Attribute
// values end in a newline, written "\\n", as sysfs files do.
std::string deviceText(const std::string& syspath, int port, int devnum) {
    char num[8];
    std::snprintf(num, sizeof num, "%03d", devnum);
    std::string text;
    const auto line = [&text](const std::string& l) { text += l + "\n"; };
    line("P: " + syspath.substr(std::strlen("/sys")));
    line("N: " + node(devnum).substr(std::strlen("/dev/")));
    line("E: DEVNAME=" + node(devnum));
    line("E: DEVTYPE=usb_device");
    line("E: DRIVER=usb");
    line("E: SUBSYSTEM=usb");
    line("E: PRODUCT=" + hex4(drivers::kVendorId) + "/" + hex4(drivers::kProductId) + "/100");
    line("E: BUSNUM=001");
    line(std::string("E: DEVNUM=") + num);
    line("A: busnum=1\\n");
    line("A: devnum=" + std::to_string(devnum) + "\\n");
    line("A: devpath=" + std::to_string(port) + "\\n");
    line("A: idVendor=" + hex4(drivers::kVendorId) + "\\n");
    line("A: idProduct=" + hex4(drivers::kProductId) + "\\n");
    line("A: bcdDevice=0100\\n");
    line("A: bDeviceClass=ff\\n");
    line("A: bNumConfigurations=1\\n");
    line("A: bConfigurationValue=1\\n");
    line("A: speed=480\\n");
    line("H: descriptors=" + descriptors());
    return text;
}

} // namespace

std::array<std::uint8_t, 8> SeenTransfer::setupPacket() const {
    return {requestType,
            request,
            static_cast<std::uint8_t>(value & 0xFF),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index & 0xFF),
            static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length & 0xFF),
            static_cast<std::uint8_t>(length >> 8)};
}

EmulatedBoard::EmulatedBoard(EmulatedBus& bus, int port)
    : bus_(bus), port_(port), handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedBoard::onIoctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedBoard::onClientVanished),
                     this);
}

EmulatedBoard::~EmulatedBoard() {
    for (auto* urb : done_) {
        g_object_unref(urb);
    }
    g_object_unref(handler_);
}

std::string EmulatedBoard::devnode() const {
    const std::lock_guard lock(mutex_);
    return node(devnum_);
}

std::vector<SeenTransfer> EmulatedBoard::transfers() const {
    const std::lock_guard lock(mutex_);
    return transfers_;
}

std::size_t EmulatedBoard::transferCount() const {
    const std::lock_guard lock(mutex_);
    return transfers_.size();
}

void EmulatedBoard::clearTransfers() {
    const std::lock_guard lock(mutex_);
    transfers_.clear();
}

std::vector<std::uint8_t> EmulatedBoard::memory(std::uint32_t address, std::size_t size) const {
    const std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bytes(size, 0);
    for (std::size_t i = 0; i < size; ++i) {
        const auto a = static_cast<std::uint32_t>(address + i);
        const auto page = pages_.find(a / kPageSize);
        if (page != pages_.end()) {
            bytes[i] = page->second[a % kPageSize];
        }
    }
    return bytes;
}

bool EmulatedBoard::running() const {
    const std::lock_guard lock(mutex_);
    return running_;
}

boardmodel::BoardModel EmulatedBoard::model() const {
    const std::lock_guard lock(mutex_);
    return model_;
}

void EmulatedBoard::setAfterReset(AfterReset what) {
    const std::lock_guard lock(mutex_);
    afterReset_ = what;
}

void EmulatedBoard::stallRequest(std::uint8_t code) {
    const std::lock_guard lock(mutex_);
    stalled_.push_back(code);
}

bool EmulatedBoard::claimed() const {
    const std::lock_guard lock(mutex_);
    return claimant_ != nullptr;
}

void EmulatedBoard::bindKernelDriver(std::string name) {
    const std::lock_guard lock(mutex_);
    kernelDriver_ = std::move(name);
}

std::string EmulatedBoard::kernelDriver() const {
    const std::lock_guard lock(mutex_);
    return kernelDriver_;
}

int EmulatedBoard::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<EmulatedBoard*>(self)->handleIoctl(client) ? TRUE : FALSE;
}

// A handle closed: the kernel lets its claim go.
void EmulatedBoard::onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* board = static_cast<EmulatedBoard*>(self);
    const std::lock_guard lock(board->mutex_);
    if (board->claimant_ == client) {
        board->claimant_ = nullptr;
    }
}

// What usbfs does for claims: one open file holds the interface, others
// are told it is busy, and a kernel driver bound to it gives it up only
// when asked to.
int EmulatedBoard::interfaceIoctl(unsigned long request, UMockdevIoctlClient* client,
                                  UMockdevIoctlData* arg) {
    GError* error = nullptr;
    const auto resolve = [&](std::size_t size) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
        g_clear_error(&error);
        return data;
    };
    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE) {
        UMockdevIoctlData* data = resolve(sizeof(unsigned));
        if (!data) {
            return EFAULT;
        }
        const unsigned interface = *reinterpret_cast<const unsigned*>(data->data);
        g_object_unref(data);
        if (interface != 0) {
            return ENOENT;
        }
        if (request == USBDEVFS_RELEASEINTERFACE) {
            if (claimant_ != client) {
                return EINVAL;
            }
            claimant_ = nullptr;
            return 0;
        }
        if ((claimant_ && claimant_ != client) || !kernelDriver_.empty()) {
            return EBUSY;
        }
        claimant_ = client;
        return 0;
    }
    if (request == USBDEVFS_GETDRIVER) {
        UMockdevIoctlData* data = resolve(sizeof(usbdevfs_getdriver));
        if (!data) {
            return EFAULT;
        }
        auto* driver = reinterpret_cast<usbdevfs_getdriver*>(data->data);
        const std::string name = claimant_ ? "usbfs" : kernelDriver_;
        if (!name.empty()) {
            std::snprintf(driver->driver, sizeof driver->driver, "%s", name.c_str());
        }
        g_object_unref(data);
        return name.empty() ? ENODATA : 0;
    }
    // USBDEVFS_IOCTL: a kernel driver let go of, or bound again.
    UMockdevIoctlData* data = resolve(sizeof(usbdevfs_ioctl));
    if (!data) {
        return EFAULT;
    }
    const int code = reinterpret_cast<const usbdevfs_ioctl*>(data->data)->ioctl_code;
    g_object_unref(data);
    if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (kernelDriver_.empty()) {
            return ENODATA;
        }
        detachedDriver_ = std::exchange(kernelDriver_, {});
        return 0;
    }
    if (code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (claimant_) {
            return EBUSY;
        }
        kernelDriver_ = std::exchange(detachedDriver_, {});
        return 0;
    }
    return ENOTTY;
}

bool EmulatedBoard::handleIoctl(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    const std::string devnode = umockdev_ioctl_client_get_devnode(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock lock(mutex_);
    if (!present_ || devnode != node(devnum_)) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    GError* error = nullptr;
    if (request == USBDEVFS_SUBMITURB) {
        UMockdevIoctlData* urbData =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        if (!urbData) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return true;
        }
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                        static_cast<gsize>(urb->buffer_length), &error);
        if (!buffer) {
            g_clear_error(&error);
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        const auto [status, moved] =
            control(buffer->data, buffer->data + 8, urb->buffer_length - 8);
        urb->status = status;
        urb->actual_length = moved;
        g_object_unref(buffer);
        done_.push_back(urbData);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        if (done_.empty()) {
            // Every URB is answered at once, so a blocking reap would wait
            // for ever: let it fail as the non-blocking one does.
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return true;
        }
        UMockdevIoctlData* urbData = done_.front();
        done_.pop_front();
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (!slot) {
            g_clear_error(&error);
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, urbData);
        g_object_unref(slot);
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, 0, 0);
        if (leaving_) {
            // The host has seen the reset released: now the board restarts
            // and drops off the bus.
            leaving_ = false;
            present_ = false;
            const bool comesBack = afterReset_ == AfterReset::Reenumerates;
            lock.unlock();
            bus_.later([this, comesBack] {
                bus_.detach(*this);
                if (comesBack) {
                    bus_.attach(*this);
                }
            });
        }
        return true;
    }
    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE ||
        request == USBDEVFS_GETDRIVER || request == USBDEVFS_IOCTL) {
        const int failure = interfaceIoctl(request, client, arg);
        umockdev_ioctl_client_complete(client, failure ? -1 : 0, failure);
        return true;
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return true;
}

std::pair<int, int> EmulatedBoard::control(const std::uint8_t* setup, std::uint8_t* data,
                                           int size) {
    SeenTransfer seen;
    seen.requestType = setup[0];
    seen.request = setup[1];
    seen.value = static_cast<std::uint16_t>(setup[2] | setup[3] << 8);
    seen.index = static_cast<std::uint16_t>(setup[4] | setup[5] << 8);
    seen.length = static_cast<std::uint16_t>(setup[6] | setup[7] << 8);
    const bool out = (seen.requestType & 0x80) == 0;
    if (seen.length > size) {
        return {-EOVERFLOW, 0};
    }
    if (out) {
        seen.data.assign(data, data + seen.length);
    }
    transfers_.push_back(seen);

    if (std::find(stalled_.begin(), stalled_.end(), seen.request) != stalled_.end()) {
        return {-EPIPE, 0};
    }
    if (seen.requestType == 0x40 && seen.request == 0xA0) {
        const std::uint32_t address = std::uint32_t{seen.index} << 16 | seen.value;
        if (address == kResetRegister && seen.length == 1) {
            if (data[0] & 1) {
                inReset_ = true;
                running_ = false;
            } else if (inReset_) {
                leaveReset();
            }
        } else {
            load(address, data, seen.length);
        }
        return {0, seen.length};
    }
    if (!running_) {
        // The bare microcontroller knows only its loader's request.
        return {-EPIPE, 0};
    }
    if (seen.requestType == 0x40 && seen.request == drivers::kRequestWriteFrame &&
        seen.length == 0) {
        // A 24-bit frame's power-down bits travel in the index's low byte.
        const bool wide = (seen.index >> 8) == 24;
        const std::uint32_t value =
            seen.value | (wide ? std::uint32_t{seen.index & 0xFFu} << 16 : 0u);
        return {model_.writeFrame(value, seen.index) ? 0 : -EPIPE, 0};
    }
    if (seen.requestType == 0xC0 && seen.request == drivers::kRequestReadConverter &&
        seen.length >= 2) {
        const auto reply = model_.readReply();
        data[0] = reply[0];
        data[1] = reply[1];
        return {0, 2};
    }
    return {-EPIPE, 0};
}

void EmulatedBoard::load(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const auto a = static_cast<std::uint32_t>(address + i);
        pages_[a / kPageSize][a % kPageSize] = data[i];
    }
}

void EmulatedBoard::leaveReset() {
    inReset_ = false;
    const auto page = pages_.find(0);
    running_ =
        page != pages_.end() && std::equal(kEmulatedFirmwareHeader.begin(),
                                           kEmulatedFirmwareHeader.end(), page->second.begin());
    model_ = boardmodel::BoardModel{};
    leaving_ = afterReset_ != AfterReset::Stays;
}

EmulatedBus::EmulatedBus() : testbed_(umockdev_testbed_new()) {
    if (!umockdev_in_mock_environment()) {
        throw std::runtime_error("not running under umockdev-wrapper");
    }
    hub_ = std::thread([this] {
        std::unique_lock lock(jobsMutex_);
        for (;;) {
            jobsChanged_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    });
}

EmulatedBus::~EmulatedBus() {
    {
        const std::lock_guard lock(jobsMutex_);
        stopping_ = true;
    }
    jobsChanged_.notify_all();
    hub_.join();
    // The testbed's thread runs the boards' handlers: it ends first.
    g_object_unref(testbed_);
    boards_.clear();
}

std::string EmulatedBus::syspath(int port) const {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
}

EmulatedBoard& EmulatedBus::plug(int port) {
    boards_.push_back(std::make_unique<EmulatedBoard>(*this, port));
    attach(*boards_.back());
    return *boards_.back();
}

void EmulatedBus::unplug(EmulatedBoard& board) {
    {
        const std::lock_guard lock(board.mutex_);
        board.present_ = false;
    }
    detach(board);
}

void EmulatedBus::attach(EmulatedBoard& board) {
    const std::lock_guard lock(testbedMutex_);
    const int devnum = nextDevnum_++;
    const std::string path = syspath(board.port());
    {
        const std::lock_guard boardLock(board.mutex_);
        board.devnum_ = devnum;
        board.present_ = true;
        board.claimant_ = nullptr; // a claim was on the device before it left
        for (auto* urb : board.done_) {
            g_object_unref(urb);
        }
        board.done_.clear();
    }
    // Adding the device announces it (an "add" uevent), and libusb may open
    // its node at once: the node must answer ioctls by then, or that handle
    // fails every transfer for good.
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node(devnum).c_str(), board.handler_, &error) ||
        !umockdev_testbed_add_from_string(testbed_, deviceText(path, board.port(), devnum).c_str(),
                                          &error)) {
        const std::string what = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add the emulated board: " + what);
    }
}

void EmulatedBus::detach(EmulatedBoard& board) {
    const std::lock_guard lock(testbedMutex_);
    const std::string path = syspath(board.port());
    umockdev_testbed_uevent(testbed_, path.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, path.c_str());
}

void EmulatedBus::later(std::function<void()> f) {
    {
        const std::lock_guard lock(jobsMutex_);
        jobs_.push_back(std::move(f));
    }
    jobsChanged_.notify_one();
}

std::string firmwareImage(std::size_t size) {
    drivers::HexSegment segment;
    segment.data.assign(kEmulatedFirmwareHeader.begin(), kEmulatedFirmwareHeader.end());
    while (segment.data.size() < size) {
        segment.data.push_back(static_cast<std::uint8_t>(segment.data.size() * 7 + 3));
    }
    return drivers::writeIntelHex({segment});
}

} // namespace qd::test
