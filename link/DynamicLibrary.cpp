#include "link/DynamicLibrary.h"

#include <cstddef>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <vector>
#endif

namespace qd::link {

#ifndef _WIN32
namespace {

// dlopen searches the run path of the object that calls it. A sanitizer or
// any other library that intercepts dlopen becomes that caller and hides the
// program's run path, so a library installed beside the program is looked
// for along the program's own search path as well.
void* openAlongProgramSearchPath(const std::string& fileName) {
#ifdef __GLIBC__ // dlinfo and its search-path query
    void* program = dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size{};
    if (!program || dlinfo(program, RTLD_DI_SERINFOSIZE, &size) != 0) {
        return nullptr;
    }
    std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    *info = size;
    if (dlinfo(program, RTLD_DI_SERINFO, info) != 0) {
        return nullptr;
    }
    for (unsigned i = 0; i < info->dls_cnt; ++i) {
        const std::string candidate = std::string(info->dls_serpath[i].dls_name) + "/" + fileName;
        if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return handle;
        }
    }
#else
    (void)fileName;
#endif
    return nullptr;
}

} // namespace
#endif

DynamicLibrary DynamicLibrary::byName(const std::string& name) {
#if defined(_WIN32)
    return DynamicLibrary(name + ".dll");
#elif defined(__APPLE__)
    return DynamicLibrary("lib" + name + ".dylib");
#else
    return DynamicLibrary("lib" + name + ".so");
#endif
}

DynamicLibrary DynamicLibrary::atPath(const std::string& path) {
    return DynamicLibrary(path);
}

DynamicLibrary::DynamicLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : fileName_(std::move(other.fileName_)), handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary::~DynamicLibrary() = default;

void* DynamicLibrary::tryResolve(const char* symbol) {
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
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), symbol));
#else
    if (!handle_) {
        handle_ = dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL);
        std::string why;
        if (!handle_) {
            if (const char* error = dlerror()) {
                why = error;
            }
            if (fileName_.find('/') == std::string::npos) {
                handle_ = openAlongProgramSearchPath(fileName_);
            }
        }
        if (!handle_) {
            throw RuntimeError(RuntimeError::LibraryNotLoaded,
                               "Cannot load the link library " + fileName_ +
                                   (why.empty() ? std::string() : " (" + why + ")"));
        }
    }
    dlerror();
    return dlsym(handle_, symbol);
#endif
}

void* DynamicLibrary::resolve(const char* symbol) {
    void* address = tryResolve(symbol);
    if (!address) {
        throw RuntimeError(RuntimeError::EntryPointNotFound,
                           std::string("Cannot find the function ") + symbol +
                               " in the link library " + fileName_);
    }
    return address;
}

} // namespace qd::link
