#pragma once

// Loading a shared library and finding its functions, as each system does.

#include <string>

namespace qd::platform {

// The file a library has by its name on this system (USBFunctions ->
// libUSBFunctions.so, USBFunctions.dll).
std::string libraryFileName(const std::string& name);

// A loaded library, or why it could not be loaded.
struct LoadedLibrary {
    void* handle = nullptr;
    // The system's words, or what was found wrong with the file before the
    // system saw it; empty when the system said nothing.
    std::string why;
};

// Loads a library, never to unload it: a file name alone is looked for as
// the system looks for libraries, a path is taken as it stands. No dialog
// box and no crash for a file that is not a library of this system.
LoadedLibrary loadLibrary(const std::string& fileName);

// The address of an exported function, nullptr when the library lacks it.
void* librarySymbol(void* library, const char* symbol);

} // namespace qd::platform
