#include "link/DynamicLibrary.h"

#include "platform/DynamicLibrary.h"

#include <utility>

namespace qd::link {

using control::RuntimeError;

DynamicLibrary DynamicLibrary::byName(const std::string& name) {
    return DynamicLibrary(platform::libraryFileName(name));
}

DynamicLibrary DynamicLibrary::atPath(const std::string& path) {
    return DynamicLibrary(path);
}

DynamicLibrary::DynamicLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : fileName_(std::move(other.fileName_)), handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary::~DynamicLibrary() = default;

void* DynamicLibrary::tryResolve(const char* symbol) {
    if (!handle_) {
        platform::LoadedLibrary loaded = platform::loadLibrary(fileName_);
        if (!loaded.handle) {
            throw RuntimeError(RuntimeError::LibraryNotLoaded,
                               "Cannot load the link library " + fileName_ +
                                   (loaded.why.empty() ? std::string() : " (" + loaded.why + ")"));
        }
        handle_ = loaded.handle;
    }
    return platform::librarySymbol(handle_, symbol);
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
