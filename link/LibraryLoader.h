#pragma once

// What loading a link library takes from the system, one implementation per
// system: DynamicLibraryPosix.cpp and DynamicLibraryWindows.cpp.

#include <string>

namespace qd::link::loader {

// The file a library has by its name on this system (USBFunctions ->
// libUSBFunctions.so, USBFunctions.dll).
std::string fileNameFor(const std::string& name);

// Loads a library: a file name alone is looked for as the system looks for
// libraries, a path is taken as it stands. Raises the run-time error, naming
// the library and why, when it cannot.
void* open(const std::string& fileName);

// The address of an exported function, nullptr when the library lacks it.
void* find(void* library, const char* symbol);

} // namespace qd::link::loader
