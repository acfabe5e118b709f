#pragma once

// Asks one of our link libraries, loaded by this process, QD_LinkQuery.
// Both export it under the same name, so it is looked up in the library
// itself, never by the name alone.

#include "board/LinkQuery.h"

#include <dlfcn.h>
#include <string>
#include <utility>

namespace qd::test {

inline std::pair<int, std::string> askLibrary(const char* library, const char* query) {
    void* handle = ::dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    if (!handle) {
        return {-1, std::string(library) + " is not loaded"};
    }
    const auto ask =
        reinterpret_cast<board::LinkQueryFunction>(::dlsym(handle, board::kLinkQuerySymbol));
    char answer[512] = {};
    const int status = ask ? ask(query, answer, sizeof answer) : -1;
    ::dlclose(handle);
    return {status, answer};
}

inline constexpr const char* kUsbFunctions = "libUSBFunctions.so";
inline constexpr const char* kQns = "libQNS_CYUSB_USB4.so";

} // namespace qd::test
