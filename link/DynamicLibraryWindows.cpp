// Loading a link library on Windows.

#include "control/RuntimeError.h"
#include "link/LibraryLoader.h"

#include <string_view>
#include <windows.h>

namespace qd::link::loader {

namespace {

std::wstring widen(std::string_view utf8) {
    const int size = static_cast<int>(utf8.size());
    std::wstring text(
        static_cast<std::size_t>(::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0)),
        L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, text.data(),
                          static_cast<int>(text.size()));
    return text;
}

std::string lastErrorText() {
    const DWORD error = ::GetLastError();
    char* buffer = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text(buffer ? buffer : "", n);
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "system error " + std::to_string(error) : text;
}

} // namespace

std::string fileNameFor(const std::string& name) {
    return name + ".dll";
}

// A name alone is looked for where Windows looks for a DLL, the program's
// folder first; a path is taken as it stands, forward slashes and all.
void* open(const std::string& fileName) {
    // A library that cannot be loaded is the caller's to report: no system
    // dialog box on the way.
    DWORD oldMode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE module = ::LoadLibraryW(widen(fileName).c_str());
    const std::string why = module ? std::string() : lastErrorText();
    ::SetThreadErrorMode(oldMode, nullptr);
    if (!module) {
        throw RuntimeError(RuntimeError::LibraryNotLoaded,
                           "Cannot load the link library " + fileName + " (" + why + ")");
    }
    return reinterpret_cast<void*>(module);
}

void* find(void* library, const char* symbol) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), symbol));
}

} // namespace qd::link::loader
