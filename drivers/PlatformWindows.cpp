#include "drivers/PlatformWindows.h"

#include "drivers/IntelHex.h"
#include "drivers/Platform.h"

#include <cstdlib>
#include <io.h>

namespace qd::drivers::platform {

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, text.data(), n);
    return text;
}

std::string narrow(std::wstring_view utf16) {
    if (utf16.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf16.size());
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, text.data(), n, nullptr, nullptr);
    return text;
}

std::string errorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = n > 0 ? narrow(std::wstring_view(buffer, n)) : std::string();
    ::LocalFree(buffer);
    // One line, as the rest of a diagnostic is: no line end, no full stop.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "system error " + std::to_string(error) : text;
}

std::string errorText() {
    return errorText(::GetLastError());
}

std::string environment(const char* name) {
    const wchar_t* value = ::_wgetenv(widen(name).c_str());
    return value ? narrow(value) : std::string();
}

int processId() {
    return static_cast<int>(::GetCurrentProcessId());
}

namespace {

std::string fileNameOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return narrow(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

} // namespace

std::string processName() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            return fileNameOf(path);
        }
        path.resize(path.size() * 2);
    }
}

std::string processName(int pid) {
    const Handle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process.valid()) {
        return {};
    }
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) {
        return {};
    }
    path.resize(size);
    return fileNameOf(path);
}

StatePlace defaultStatePlace() {
    // The user's own local application data: private to the user, and never
    // roamed to another machine, as a board's state must not be.
    std::string base = environment("LOCALAPPDATA");
    if (base.empty()) {
        std::wstring temporary(MAX_PATH + 1, L'\0');
        const DWORD n = ::GetTempPathW(static_cast<DWORD>(temporary.size()), temporary.data());
        temporary.resize(n);
        base = narrow(temporary);
    }
    while (!base.empty() && (base.back() == '\\' || base.back() == '/')) {
        base.pop_back();
    }
    const std::string folder = base + "\\QD1600";
    return {folder + "\\board.state", folder};
}

int openForAppend(const std::string& path, std::string& why) {
    // Opened for appending only, the system puts each write at the end as
    // a whole, also when two processes trace to the same file.
    Handle file(::CreateFileW(widen(path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        why = errorText();
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), 0);
    if (fd < 0) {
        why = "no file descriptor left";
        return -1;
    }
    file.release();
    return fd;
}

bool writeAll(int fd, std::string_view bytes, std::string& why) {
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written == 0) {
            why = errorText();
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

void closeFile(int fd) {
    ::_close(fd);
}

std::string readImageText(const std::string& path, std::size_t limit) {
    const auto cannot = [&](const char* what) {
        return IntelHexError(0, std::string(what) + " " + path + ": " + errorText());
    };
    // The program hands the path over in the ANSI code page, the code page
    // the A functions take.
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw cannot("cannot open");
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw IntelHexError(0, path + " is a folder, not a regular file");
    }
    const Handle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        throw cannot("cannot open");
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        throw IntelHexError(0, path + " is a device, not a regular file");
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        throw cannot("cannot read");
    }
    checkImageSize(path, static_cast<unsigned long long>(size.QuadPart), limit);
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), text.data() + used, static_cast<DWORD>(text.size() - used), &n,
                        nullptr)) {
            throw cannot("cannot read");
        }
        if (n == 0) {
            break; // shortened meanwhile: parse what is there
        }
        used += n;
    }
    text.resize(used);
    return text;
}

} // namespace qd::drivers::platform
