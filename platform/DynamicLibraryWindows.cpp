// Loading a library on Windows.

#include "platform/DynamicLibrary.h"
#include "platform/Error.h"
#include "platform/Win32.h"

namespace qd::platform {

std::string libraryFileName(const std::string& name) {
    return name + ".dll";
}

// A name alone is looked for where Windows looks for a DLL, the program's
// folder first; a path is taken as it stands, forward slashes and all.
LoadedLibrary loadLibrary(const std::string& fileName) {
    // A library that cannot be loaded is the caller's to report: no system
    // dialog box on the way.
    DWORD oldMode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE module = ::LoadLibraryW(widen(fileName).c_str());
    std::string why = module ? std::string() : lastErrorText();
    ::SetThreadErrorMode(oldMode, nullptr);
    return {reinterpret_cast<void*>(module), std::move(why)};
}

void* librarySymbol(void* library, const char* symbol) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), symbol));
}

} // namespace qd::platform
