#include "qdctl/System.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <random>
#include <sys/stat.h>
#include <windows.h>

// Paths come from the command line, in the ANSI code page, and go to the
// functions that take that code page.

namespace qd::cli::sys {

void prepareStandardStreams() {
    // Text mode would turn each line end into CR LF: CSV and JSON are the
    // same bytes on every system.
    ::_setmode(kStandardOutput, _O_BINARY);
    ::_setmode(kStandardError, _O_BINARY);
}

bool writeAll(int fd, std::string_view bytes, std::size_t& done, std::string& why) {
    done = 0;
    while (done < bytes.size()) {
        const int n = ::_write(fd, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const DWORD error = ::GetLastError();
        // The C library calls a pipe whose reader has gone an invalid
        // argument.
        why = n == 0                                                 ? "No space left on device"
              : error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? "Broken pipe"
                                                                     : std::strerror(errno);
        return false;
    }
    return true;
}

bool isTerminal(int fd) {
    return ::_isatty(fd) != 0;
}

std::string moduleFile(const std::string& name) {
    return name + ".dll";
}

namespace {

// Opened for no access, only to ask what it is: NUL and CON are devices
// whatever folder they seem to be in.
bool isSpecialFile(const std::string& path) {
    const HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool special = ::GetFileType(h) != FILE_TYPE_DISK;
    ::CloseHandle(h);
    return special;
}

} // namespace

bool openTarget(const std::string& path, OutputTarget& target, std::string& why) {
    target = {};
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    const bool special = isSpecialFile(path);
    if (attributes == INVALID_FILE_ATTRIBUTES && !special) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            // A missing folder is found when a file is made beside the path.
            return true;
        }
        why = std::strerror(EACCES);
        return false;
    }
    // Opened as the system resolves the path; nothing truncated.
    const int fd = ::_open(path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    target.fd = fd;
    target.mode = _S_IREAD | _S_IWRITE;
    target.kind =
        special ? OutputTarget::Kind::Special
        : attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
            ? OutputTarget::Kind::Link
            : OutputTarget::Kind::File;
    return true;
}

// No path names standard output on Windows.
bool isStandardOutput(int /*fd*/) {
    return false;
}

// Windows has no mode bits to keep beyond read-only, and a read-only file
// is not opened for writing: a new file gets the access its folder passes
// on, whatever `mode` says.
int createBeside(const std::string& path, int /*mode*/, std::string& partial, std::string& why) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = path + ".partial-";
        for (int i = 0; i < 6; ++i) {
            name += letters[random() % (sizeof letters - 1)];
        }
        const int fd =
            ::_open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            partial = name;
            return fd;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    why = std::strerror(errno);
    return -1;
}

bool copyInto(const std::string& from, int into, std::string& why) {
    const int in = ::_open(from.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (in < 0) {
        why = std::strerror(errno);
        return false;
    }
    const bool file =
        ::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(into))) == FILE_TYPE_DISK;
    bool ok = !file || emptyFile(into, why);
    char buffer[65536];
    while (ok) {
        const int n = ::_read(in, buffer, sizeof buffer);
        if (n <= 0) {
            ok = n == 0;
            if (!ok) {
                why = std::strerror(errno);
            }
            break;
        }
        std::size_t done = 0;
        ok = writeAll(into, std::string_view(buffer, static_cast<std::size_t>(n)), done, why);
    }
    ::_close(in);
    if (ok && file && ::_commit(into) != 0) {
        why = std::strerror(errno);
        ok = false;
    }
    return ok;
}

void takeBack(int fd, std::size_t bytes) {
    const long long start = ::_lseeki64(fd, -static_cast<long long>(bytes), SEEK_CUR);
    if (start >= 0) {
        ::_chsize_s(fd, start);
    }
}

bool emptyFile(int fd, std::string& why) {
    if (::_chsize_s(fd, 0) != 0 || ::_lseeki64(fd, 0, SEEK_SET) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

bool commit(int fd, const std::string& from, const std::string& to, std::string& why) {
    const bool stored = ::_commit(fd) == 0;
    if (!stored) {
        why = std::strerror(errno);
    }
    ::_close(fd);
    return stored && replace(from, to, why);
}

bool replace(const std::string& from, const std::string& to, std::string& why) {
    if (!::MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        char* text = nullptr;
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                             FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, ::GetLastError(), 0, reinterpret_cast<char*>(&text), 0, nullptr);
        why = text ? text : "cannot rename";
        ::LocalFree(text);
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == '.')) {
            why.pop_back();
        }
        return false;
    }
    return true;
}

void remove(const std::string& path) {
    ::DeleteFileA(path.c_str());
}

void close(int fd) {
    ::_close(fd);
}

namespace {

std::atomic<StopSignals::Handler> stopHandler{nullptr};
std::atomic<QCoreApplication*> quitting{nullptr};

int signalOf(DWORD event) {
    return event == CTRL_C_EVENT ? SIGINT : SIGTERM;
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (const auto handler = stopHandler.load()) {
        handler(signalOf(event));
        return TRUE;
    }
    if (QCoreApplication* app = quitting.load()) {
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
        return TRUE;
    }
    return FALSE;
}

} // namespace

StopSignals::StopSignals(Handler onStop) {
    stopHandler = onStop;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    stopHandler = nullptr;
}

void quitOnStopSignals(QCoreApplication& app) {
    quitting = &app;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace qd::cli::sys
