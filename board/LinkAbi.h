#pragma once

// How the link libraries' six functions are called and exported.
//
// The board maker's libraries are 32-bit Windows DLLs: their functions are
// __stdcall, as a Windows DLL's API is (the decorated names of the two of
// USBFunctions say so: "YG"). A module-definition file then names what a DLL
// exports, so the functions there have C linkage, giving it the plain
// symbols (LoadFirmWare@4) that it maps the exported names from.
//
// ELF cannot carry the decorated names: elsewhere the two functions of
// USBFunctions keep C++ linkage and export the platform's C++ ABI names,
// and the four of QNS_CYUSB_USB4 their C names.
#if defined(_WIN32)
#define QD_LINK_CALL __stdcall
#define QD_LINK_EXPORT extern "C"
#define QD_LINK_EXPORT_CXX extern "C"
#else
#define QD_LINK_CALL
#define QD_LINK_EXPORT extern "C" __attribute__((visibility("default")))
#define QD_LINK_EXPORT_CXX __attribute__((visibility("default")))
#endif

namespace qd::board {

// The names USBFunctions exports its two functions under: decorated on
// Windows, the C++ ABI's elsewhere.
#if defined(_WIN32)
inline constexpr const char* kLoadFirmWareExport = "?LoadFirmWare@@YGFPAD@Z";
inline constexpr const char* kVendorIORequestExport = "?VendorIORequest@@YGFFJJFFPAD@Z";
#else
inline constexpr const char* kLoadFirmWareExport = "_Z12LoadFirmWarePc";
inline constexpr const char* kVendorIORequestExport = "_Z15VendorIORequestsiissPc";
#endif

} // namespace qd::board
