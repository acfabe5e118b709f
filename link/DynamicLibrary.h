#pragma once

#include "board/LinkAbi.h"
#include "control/RuntimeError.h"

#include <string>

namespace qd::link {

// A shared library that is loaded when a function of it is first needed.
// Failures raise the run-time error type, naming the library or function.
class DynamicLibrary {
  public:
    // by name on the platform's search path (USBFunctions ->
    // libUSBFunctions.so), or at a fixed path
    static DynamicLibrary byName(const std::string& name);
    static DynamicLibrary atPath(const std::string& path);

    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&&) = delete;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    ~DynamicLibrary(); // never unloads: the link stays up until the process ends

    // The address of an exported function; loads the library first if needed.
    void* resolve(const char* symbol);
    // The same, but nullptr for a function the library lacks; a library that
    // cannot be loaded still raises.
    void* tryResolve(const char* symbol);

    const std::string& fileName() const { return fileName_; }

  private:
    explicit DynamicLibrary(std::string fileName);
    std::string fileName_;
    void* handle_ = nullptr;
};

// One function of a DynamicLibrary, bound at its first call, called as the
// link libraries' functions are (board/LinkAbi.h).
template <typename Signature> class LazyFunction;

template <typename R, typename... Args> class LazyFunction<R(Args...)> {
  public:
    LazyFunction(DynamicLibrary& library, const char* symbol)
        : library_(library), symbol_(symbol) {}

    R operator()(Args... args) {
        if (!function_) {
            function_ = reinterpret_cast<Function>(library_.resolve(symbol_));
        }
        return function_(args...);
    }

  private:
    using Function = R(QD_LINK_CALL*)(Args...);

    DynamicLibrary& library_;
    const char* symbol_;
    Function function_ = nullptr;
};

} // namespace qd::link
