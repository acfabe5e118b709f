#pragma once

// Windows only: text between our UTF-8 strings and the system's UTF-16, and
// a handle that closes when it goes.

#include <string>
#include <string_view>
#include <windows.h>

namespace qd::platform {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    HANDLE release() {
        const HANDLE h = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset() {
        if (valid()) {
            ::CloseHandle(handle_);
        }
        handle_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE handle_;
};

} // namespace qd::platform
