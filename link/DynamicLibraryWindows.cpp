// Loading a link library on Windows.

#include "control/RuntimeError.h"
#include "link/LibraryLoader.h"
#include "platform/Error.h"
#include "platform/Win32.h"

namespace qd::link {

using control::RuntimeError;

std::string libraryFileNameFor(const std::string& name) {
    return name + ".dll";
}

// A name alone is looked for where Windows looks for a DLL, the program's
// folder first; a path is taken as it stands, forward slashes and all.
void* openLibrary(const std::string& fileName) {
    // A library that cannot be loaded is the caller's to report: no system
    // dialog box on the way.
    DWORD oldMode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE module = ::LoadLibraryW(qd::platform::widen(fileName).c_str());
    const std::string why = module ? std::string() : qd::platform::lastErrorText();
    ::SetThreadErrorMode(oldMode, nullptr);
    if (!module) {
        throw RuntimeError(RuntimeError::LibraryNotLoaded,
                           "Cannot load the link library " + fileName + " (" + why + ")");
    }
    return reinterpret_cast<void*>(module);
}

void* findSymbol(void* library, const char* symbol) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), symbol));
}

} // namespace qd::link
