#pragma once

// What qdctl needs of the operating system beyond standard C++ and Qt Core.
// One implementation per system: SystemPosix.cpp and SystemWindows.cpp, and
// what is made of those once, in System.cpp.

#include "platform/File.h"

#include <string>
#include <string_view>

class QCoreApplication;

namespace qd::session {

// Whole writes are the platform's.
using qd::platform::writeAll;

// What a results path leads to, as the system resolves the path when it
// opens it: its own rules for links and files in shared folders apply.
struct OutputTarget {
    enum class Kind {
        Missing, // nothing is there yet
        File,    // a regular file
        Link,    // a link that leads to a regular file
        Special, // a device or a pipe, through a link or not
    };
    Kind kind = Kind::Missing;
    int fd = -1;       // what the path leads to, open for writing; -1 when missing
    unsigned mode = 0; // its permission bits
};

// Opens what `path` leads to for writing, truncating nothing and waiting
// for no reader; makes a file only where a link leads to nothing. False,
// with the reason in `why`, when it cannot be written.
bool sysOpenTarget(const std::string& path, OutputTarget& target, std::string& why);

// A new file beside `path`, named path.partial-XXXXXX, with the permission
// bits `mode`, or with those a new file of the user's gets when `mode` is
// negative; -1 with the reason in `why`.
int sysCreateBeside(const std::string& path, int mode, std::string& partial, std::string& why);
// Puts the bytes of the file `from` into the file open as `into` in place
// of what it held, and makes sure they are stored.
bool sysCopyInto(const std::string& from, int into, std::string& why);
// Takes back the last `bytes` written to a file (a row a full disk cut).
void sysTakeBack(int fd, std::size_t bytes);
// Empties a file, to be written again from its start.
bool sysEmptyFile(int fd, std::string& why);
// Puts `from`, written through `fd`, in place of `to` once its bytes are
// safely stored, replacing what was there. Closes `fd` in any case: some
// systems rename no file that is open.
bool sysCommit(int fd, const std::string& from, const std::string& to, std::string& why);
bool sysReplace(const std::string& from, const std::string& to, std::string& why);
void sysRemove(const std::string& path);
void sysClose(int fd);

// What copyInto, commit, takeBack and emptyFile (System.cpp) are made of,
// per system; each
// failure leaves its reason in errno, as the C library's functions do.
// A file opened for reading, or -1.
int sysOpenToRead(const std::string& path);
// Reads what comes next, up to `size` bytes: how many came, 0 at the end,
// -1 on failure.
long sysReadSome(int fd, char* into, std::size_t size);
bool sysIsRegularFile(int fd);
// Makes sure that what was written through `fd` is stored.
bool sysStore(int fd);
// Where the next write goes (lseek), and a file cut to `length` bytes.
long long sysSeek(int fd, long long offset, int whence);
bool sysCut(int fd, long long length);

// SIGINT and SIGTERM (on Windows Ctrl-C, and Ctrl-Break or the console's
// closing) call `onStop` with the signal's number, 2 or 15, for as long as
// this lives.
class StopSignals {
  public:
    using Handler = void (*)(int signal);
    explicit StopSignals(Handler onStop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
};

// The same signals end `app`'s event loop, from then on.
void sysQuitOnStopSignals(QCoreApplication& app);

} // namespace qd::session
