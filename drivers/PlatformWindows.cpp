#include "drivers/IntelHex.h"
#include "drivers/Platform.h"
#include "platform/Error.h"
#include "platform/Win32.h"

#include <cstdlib>
#include <io.h>

namespace qd::drivers::platform {

using qd::platform::Handle;
using qd::platform::narrow;
using qd::platform::widen;

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
        why = qd::platform::lastErrorText();
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

void closeFile(int fd) {
    ::_close(fd);
}

std::string readImageText(const std::string& path, std::size_t limit) {
    const auto cannot = [&](const char* what) {
        return IntelHexError(0,
                             std::string(what) + " " + path + ": " + qd::platform::lastErrorText());
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
