#pragma once

#include "board/BoardFacts.h"
#include "link/DynamicLibrary.h"

#include <cstdint>
#include <string>

namespace qd::link {

using board::kProductId;
using board::kVendorId;

// The outside link library as the board commands and the start-up see it.
// The two programs differ only in which implementation they create.
class LinkBinding {
  public:
    virtual ~LinkBinding() = default;

    // One vendor request; the library's result is handed back unexamined.
    virtual std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                                       std::int16_t direction, std::int16_t length,
                                       std::uint8_t* buffer) = 0;

    // The start-up download of the firmware whose NUL-terminated path lies
    // in `path`, by the variant's own steps; true when its rule says success.
    virtual bool downloadFirmware(char* path) = 0;

    // Whether a request's result means success in this library's terms. The
    // windowed programs never ask; the command-line tool always does.
    virtual bool requestSucceeded(std::int16_t result) const = 0;
};

// QD1600: USBFunctions, by name on the search path, two functions.
class UsbFunctionsBinding final : public LinkBinding {
  public:
    explicit UsbFunctionsBinding(const std::string& libraryName = "USBFunctions");

    std::int16_t LoadFirmWare(char* path) { return loadFirmWare_(path); }
    std::int16_t VendorIORequest(std::int16_t request, std::int32_t value, std::int32_t index,
                                 std::int16_t direction, std::int16_t length, char* buffer) {
        return vendorIORequest_(request, value, index, direction, length, buffer);
    }

    std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                               std::int16_t direction, std::int16_t length,
                               std::uint8_t* buffer) override;
    bool downloadFirmware(char* path) override { return LoadFirmWare(path) >= 1; }
    bool requestSucceeded(std::int16_t result) const override { return result >= 1; }

    // The names under which the library exports its functions here.
    static const char* const kLoadFirmWareSymbol;
    static const char* const kVendorIORequestSymbol;

  private:
    DynamicLibrary library_;
    LazyFunction<std::int16_t(char*)> loadFirmWare_;
    LazyFunction<std::int16_t(std::int16_t, std::int32_t, std::int32_t, std::int16_t, std::int16_t,
                              char*)>
        vendorIORequest_;
};

// QD1600(version2): QNS_CYUSB_USB4 at a fixed path, four functions; the
// program finds and connects to the board itself and keeps its handle.
class QnsBinding final : public LinkBinding {
  public:
    explicit QnsBinding(const std::string& libraryPath);

    std::int16_t Search_For_Boards(std::int32_t vendor, std::int32_t product, std::int32_t* count,
                                   std::uint8_t* list) {
        return searchForBoards_(vendor, product, count, list);
    }
    std::int16_t Connect(std::int32_t vendor, std::int32_t product, std::uint8_t board,
                         std::int32_t* handle) {
        return connect_(vendor, product, board, handle);
    }
    std::int16_t Download_Firmware(std::int32_t handle, char* path) {
        return downloadFirmware_(handle, path);
    }
    std::int16_t Vendor_Request(std::int32_t handle, std::uint8_t request, std::int32_t value,
                                std::int32_t index, std::uint8_t direction, std::int16_t length,
                                std::uint8_t* buffer) {
        return vendorRequest_(handle, request, value, index, direction, length, buffer);
    }

    // Searches, connects to the first board listed and downloads into it;
    // the download's result, 0 for success.
    std::int16_t ConnectAndDownload(char* path);

    std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                               std::int16_t direction, std::int16_t length,
                               std::uint8_t* buffer) override;
    bool downloadFirmware(char* path) override { return ConnectAndDownload(path) == 0; }
    bool requestSucceeded(std::int16_t result) const override { return result == 0; }

    std::int32_t BoardHandle = 0;

  private:
    DynamicLibrary library_;
    LazyFunction<std::int16_t(std::int32_t, std::int32_t, std::int32_t*, std::uint8_t*)>
        searchForBoards_;
    LazyFunction<std::int16_t(std::int32_t, std::int32_t, std::uint8_t, std::int32_t*)> connect_;
    LazyFunction<std::int16_t(std::int32_t, char*)> downloadFirmware_;
    LazyFunction<std::int16_t(std::int32_t, std::uint8_t, std::int32_t, std::int32_t, std::uint8_t,
                              std::int16_t, std::uint8_t*)>
        vendorRequest_;
};

} // namespace qd::link
