#pragma once

// What loading a link library takes from the system, one implementation per
// system: DynamicLibraryPosix.cpp and DynamicLibraryWindows.cpp.

#include <string>

namespace qd::link {

// The file a library has by its name on this system (USBFunctions ->
// libUSBFunctions.so, USBFunctions.dll).
std::string libraryFileNameFor(const std::string& name);

// Loads a library: a file name alone is looked for as the system looks for
// libraries, a path is taken as it stands. Raises the run-time error, naming
// the library and why, when it cannot.
void* openLibrary(const std::string& fileName);

// The address of an exported function, nullptr when the library lacks it.
void* findSymbol(void* library, const char* symbol);

} // namespace qd::link
