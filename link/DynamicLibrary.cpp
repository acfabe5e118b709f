#include "link/DynamicLibrary.h"

#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace qd::link {

DynamicLibrary DynamicLibrary::byName(const std::string& name) {
#if defined(_WIN32)
    return DynamicLibrary(name + ".dll");
#elif defined(__APPLE__)
    return DynamicLibrary("lib" + name + ".dylib");
#else
    return DynamicLibrary("lib" + name + ".so");
#endif
}

DynamicLibrary DynamicLibrary::atPath(const std::string& path) { return DynamicLibrary(path); }

DynamicLibrary::DynamicLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : fileName_(std::move(other.fileName_)), handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary::~DynamicLibrary() = default;

void* DynamicLibrary::resolve(const char* symbol) {
    // The library is loaded from this code, not from Qt's, so the search by
    // name uses the program's own run path: a program finds the library that
    // is installed beside it.
#ifdef _WIN32
    if (!handle_) {
        handle_ = reinterpret_cast<void*>(LoadLibraryA(fileName_.c_str()));
        if (!handle_) {
            throw RuntimeError(RuntimeError::LibraryNotLoaded,
                               "Cannot load the link library " + fileName_);
        }
    }
    void* address = reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(handle_), symbol));
    if (!address) {
        throw RuntimeError(RuntimeError::EntryPointNotFound,
                           std::string("Cannot find the function ") + symbol +
                               " in the link library " + fileName_);
    }
    return address;
#else
    if (!handle_) {
        handle_ = dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char* why = dlerror();
            throw RuntimeError(RuntimeError::LibraryNotLoaded,
                               "Cannot load the link library " + fileName_ +
                                   (why ? std::string(" (") + why + ")" : std::string()));
        }
    }
    dlerror();
    void* address = dlsym(handle_, symbol);
    if (!address) {
        throw RuntimeError(RuntimeError::EntryPointNotFound,
                           std::string("Cannot find the function ") + symbol +
                               " in the link library " + fileName_);
    }
    return address;
#endif
}

} // namespace qd::link
