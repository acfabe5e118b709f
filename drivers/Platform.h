#pragma once

// What the link libraries need of the operating system beyond standard C++
// and platform/: their own places and files.
// One implementation per system: PlatformPosix.cpp and PlatformWindows.cpp.

#include <cstddef>
#include <string>
#include <string_view>

namespace qd::drivers {

// Where the simulated board keeps its state when QD_BOARD_STATE does not
// say: the file, and the folder of our own that holds it, made if missing
// and refused unless it is private ("" when the place is private by
// definition, such as $XDG_RUNTIME_DIR).
struct StatePlace {
    std::string file;
    std::string privateFolder;
};
StatePlace defaultStatePlace();

// The whole text of a firmware image file, read only from a regular file of
// at most `limit` bytes: a folder, a device or a pipe is refused before
// anything waits on it. `path` is in the bytes the program handed over (the
// ANSI code page on Windows). Throws IntelHexError with the reason.
std::string readImageText(const std::string& path, std::size_t limit);

} // namespace qd::drivers
