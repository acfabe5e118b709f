#pragma once

// Windows only: text between our UTF-8 strings and the system's UTF-16, and
// the system's words for an error.

#include <string>
#include <string_view>
#include <windows.h>

namespace qd::drivers::platform {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

// The system's text for an error number ("Access is denied."), without the
// line end; the text of GetLastError() when none is given.
std::string errorText(DWORD error);
std::string errorText();

// Closes a handle when it goes.
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

} // namespace qd::drivers::platform
