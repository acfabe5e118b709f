#pragma once

// What the link libraries need of the operating system beyond standard C++.
// One implementation per system: PlatformPosix.cpp and PlatformWindows.cpp.

#include <cstddef>
#include <string>
#include <string_view>

namespace qd::drivers::platform {

// An environment variable's value, "" when it is unset. Text is UTF-8 on
// Windows, the bytes as they are elsewhere.
std::string environment(const char* name);

// This process, and another one by its id ("" when it cannot be told: gone,
// or not ours to look at).
int processId();
std::string processName();
std::string processName(int pid);

// Where the simulated board keeps its state when QD_BOARD_STATE does not
// say: the file, and the folder of our own that holds it, made if missing
// and refused unless it is private ("" when the place is private by
// definition, such as $XDG_RUNTIME_DIR).
struct StatePlace {
    std::string file;
    std::string privateFolder;
};
StatePlace defaultStatePlace();

// A file opened for appending, for a trace that two processes may share:
// each write of a line (qd::platform::writeAll) lands whole at the end. -1 on failure, with the
// reason in `why`.
int openForAppend(const std::string& path, std::string& why);
void closeFile(int fd);

// The whole text of a firmware image file, read only from a regular file of
// at most `limit` bytes: a folder, a device or a pipe is refused before
// anything waits on it. `path` is in the bytes the program handed over (the
// ANSI code page on Windows). Throws IntelHexError with the reason.
std::string readImageText(const std::string& path, std::size_t limit);

} // namespace qd::drivers::platform
