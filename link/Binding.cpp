#include "link/Binding.h"

#include <array>

namespace qd::link {

// Windows exports the functions under their decorated names; ELF and Mach-O
// cannot carry those, so elsewhere the library exports the same two C++
// declarations under the platform's C++ ABI names.
#ifdef _WIN32
const char* const UsbFunctionsBinding::kLoadFirmWareSymbol = "?LoadFirmWare@@YGFPAD@Z";
const char* const UsbFunctionsBinding::kVendorIORequestSymbol = "?VendorIORequest@@YGFFJJFFPAD@Z";
#else
const char* const UsbFunctionsBinding::kLoadFirmWareSymbol = "_Z12LoadFirmWarePc";
const char* const UsbFunctionsBinding::kVendorIORequestSymbol = "_Z15VendorIORequestsiissPc";
#endif

UsbFunctionsBinding::UsbFunctionsBinding(const std::string& libraryName)
    : library_(DynamicLibrary::byName(libraryName)), loadFirmWare_(library_, kLoadFirmWareSymbol),
      vendorIORequest_(library_, kVendorIORequestSymbol) {}

std::int16_t UsbFunctionsBinding::vendorRequest(std::int16_t request, std::int32_t value,
                                                std::int32_t index, std::int16_t direction,
                                                std::int16_t length, std::uint8_t* buffer) {
    return VendorIORequest(request, value, index, direction, length,
                           reinterpret_cast<char*>(buffer));
}

QnsBinding::QnsBinding(const std::string& libraryPath)
    : library_(DynamicLibrary::atPath(libraryPath)),
      searchForBoards_(library_, "Search_For_Boards"), connect_(library_, "Connect"),
      downloadFirmware_(library_, "Download_Firmware"), vendorRequest_(library_, "Vendor_Request") {
}

std::int16_t QnsBinding::ConnectAndDownload(char* path) {
    std::array<std::uint8_t, 128> boardList{};
    std::int32_t boardCount = 0;
    // Neither result is looked at: a missing board shows as a failed download.
    Search_For_Boards(kVendorId, kProductId, &boardCount, boardList.data());
    Connect(kVendorId, kProductId, boardList[0], &BoardHandle);
    return Download_Firmware(BoardHandle, path);
}

std::int16_t QnsBinding::vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                                       std::int16_t direction, std::int16_t length,
                                       std::uint8_t* buffer) {
    // This library takes the request code and direction as bytes.
    const auto asByte = [](std::int16_t v) {
        if (v < 0 || v > 255) {
            throw RuntimeError::overflow();
        }
        return static_cast<std::uint8_t>(v);
    };
    return Vendor_Request(BoardHandle, asByte(request), value, index, asByte(direction), length,
                          buffer);
}

} // namespace qd::link
