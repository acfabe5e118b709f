#pragma once

// Files: whole writes to a C runtime descriptor, and files opened by the
// system's own handle, never through a link.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qd::platform {

// How paths are kept as text in the program: on Windows in UTF-8, with the
// system's backslashes (its own names are UTF-16); elsewhere as the file
// system's bytes, with slashes.
#ifdef _WIN32
inline constexpr bool kPathsInUtf8 = true;
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kPathSeparators = "\\/";
#else
inline constexpr bool kPathsInUtf8 = false;
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kPathSeparators = "/";
#endif

// A path in the bytes a program's narrow file names have (on Windows the
// ANSI code page, which the link libraries' callers hand paths over in), as
// paths are kept in text here; elsewhere the same bytes.
std::string pathFromNarrow(const std::string& path);

// Writes all of `bytes`, carrying on after a signal interrupts a write. On
// failure: false, with what was written in `done` and the reason in `why`.
bool writeAll(int fd, std::string_view bytes, std::size_t& done, std::string& why);

inline bool writeAll(int fd, std::string_view bytes, std::string& why) {
    std::size_t done = 0;
    return writeAll(fd, bytes, done, why);
}

// A file opened for appending, for a trace that two processes may share:
// each write of a line (writeAll) lands whole at the end. -1 on failure,
// with the reason in `why`.
int openForAppend(const std::string& path, std::string& why);
void closeDescriptor(int fd);

// An open file: a descriptor, or a HANDLE on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1; // also INVALID_HANDLE_VALUE

enum class Access {
    Read,
    ReadWriteOrCreate, // made, private to the user, when missing
};

// Opens the file `path` names itself, never what a link in its place leads
// to (on POSIX systems that is a failure, ELOOP; on Windows the link itself
// is opened, which its attributes tell), and without waiting for a writer
// of a FIFO. On Windows no one can remove or rename it while it is open.
// kNoFile on failure, with the last failure set.
FileHandle openUnfollowed(const std::string& path, Access access);
void closeFile(FileHandle file);

// Reads or writes exactly `size` bytes at `offset`; false when fewer went,
// with the last failure set when the system refused.
bool readAt(FileHandle file, void* into, std::size_t size, std::uint64_t offset);
bool writeAt(FileHandle file, const void* from, std::size_t size, std::uint64_t offset);

// The whole of a small regular file (or a link to one) at `path`, in UTF-8
// on every system: a folder, a FIFO, a device or a file of more than
// `limit` bytes is refused without being waited on or read. False on
// refusal or failure, with one line that names `path` in `why`. A file cut
// short while it is read gives what was there.
bool readRegularFile(const std::string& path, std::size_t limit, std::string& text,
                     std::string& why);

} // namespace qd::platform
