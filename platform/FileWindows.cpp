#include "platform/Error.h"
#include "platform/File.h"
#include "platform/Win32.h"

#include <algorithm>
#include <io.h>

namespace qd::platform {

bool writeAll(int fd, std::string_view bytes, std::size_t& done, std::string& why) {
    // Straight to the system, whatever mode the C runtime keeps the
    // descriptor in: text mode would turn each line end into CR LF.
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    done = 0;
    while (done < bytes.size()) {
        const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD n = 0;
        if (!::WriteFile(file, bytes.data() + done, size, &n, nullptr)) {
            // In the words the POSIX systems use for the failures a user
            // meets most.
            const DWORD error = ::GetLastError();
            why = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? "Broken pipe"
                  : error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL
                      ? "No space left on device"
                      : errorText(static_cast<long>(error));
            return false;
        }
        if (n == 0) {
            why = "No space left on device";
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace qd::platform

namespace qd::platform {

namespace {

HANDLE native(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

} // namespace

std::string pathFromNarrow(const std::string& path) {
    const int n =
        ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0) {
        ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                              n);
    }
    return narrow(wide);
}

int openForAppend(const std::string& path, std::string& why) {
    // Opened for appending only, the system puts each write at the end as
    // a whole, also when two processes trace to the same file.
    Handle file(::CreateFileW(widen(path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        why = lastErrorText();
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

void closeDescriptor(int fd) {
    ::_close(fd);
}

FileHandle openUnfollowed(const std::string& path, Access access) {
    const bool read = access == Access::Read;
    // READ_CONTROL, so that the file's owner can be asked; no
    // FILE_SHARE_DELETE, so that it stays where it is.
    const HANDLE file = ::CreateFileW(
        widen(path).c_str(), (read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE) | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, read ? OPEN_EXISTING : OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return file == nullptr ? kNoFile : reinterpret_cast<FileHandle>(file);
}

void closeFile(FileHandle file) {
    ::CloseHandle(native(file));
}

bool readAt(FileHandle file, void* into, std::size_t size, std::uint64_t offset) {
    OVERLAPPED where = at(offset);
    DWORD n = 0;
    return ::ReadFile(native(file), into, static_cast<DWORD>(size), &n, &where) && n == size;
}

bool writeAt(FileHandle file, const void* from, std::size_t size, std::uint64_t offset) {
    OVERLAPPED where = at(offset);
    DWORD n = 0;
    return ::WriteFile(native(file), from, static_cast<DWORD>(size), &n, &where) && n == size;
}

} // namespace qd::platform

namespace qd::platform {

bool readRegularFile(const std::string& path, std::size_t limit, std::string& text,
                     std::string& why) {
    const auto failed = [&](const char* what) {
        why = std::string(what) + " " + path + ": " + lastErrorText();
        return false;
    };
    const std::wstring wide = widen(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return failed("cannot open");
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = path + " is a folder, not a regular file";
        return false;
    }
    const Handle file(::CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return failed("cannot open");
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        why = path + " is a device, not a regular file";
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        return failed("cannot read");
    }
    if (static_cast<unsigned long long>(size.QuadPart) > limit) {
        const bool mebibytes = limit % (std::size_t{1} << 20) == 0;
        why = path + " has " + std::to_string(size.QuadPart) + " bytes, more than the " +
              std::to_string(mebibytes ? limit >> 20 : limit) + (mebibytes ? " MiB" : " bytes") +
              " it may have";
        return false;
    }
    text.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), text.data() + used, static_cast<DWORD>(text.size() - used), &n,
                        nullptr)) {
            return failed("cannot read");
        }
        if (n == 0) {
            break; // shortened meanwhile
        }
        used += n;
    }
    text.resize(used);
    return true;
}

} // namespace qd::platform
