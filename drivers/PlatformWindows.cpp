#include "drivers/IntelHex.h"
#include "drivers/Platform.h"
#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Win32.h"

#include <cstdlib>
#include <io.h>

namespace qd::drivers {

using qd::platform::Handle;
using qd::platform::narrow;
using qd::platform::widen;

StatePlace defaultStatePlace() {
    // The user's own local application data: private to the user, and never
    // roamed to another machine, as a board's state must not be.
    std::string base = qd::platform::environment("LOCALAPPDATA");
    if (base.empty()) {
        std::wstring temporary(MAX_PATH + 1, L'\0');
        const DWORD n = ::GetTempPathW(static_cast<DWORD>(temporary.size()), temporary.data());
        temporary.resize(n);
        base = narrow(temporary);
    }
    while (!base.empty() && (base.back() == '\\' || base.back() == '/')) {
        base.pop_back();
    }
    const std::string folder = base + "\\QD1600";
    return {folder + "\\board.state", folder};
}

std::string readImageText(const std::string& path, std::size_t limit) {
    const auto cannot = [&](const char* what) {
        return IntelHexError(0,
                             std::string(what) + " " + path + ": " + qd::platform::lastErrorText());
    };
    // The program hands the path over in the ANSI code page, the code page
    // the A functions take.
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw cannot("cannot open");
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw IntelHexError(0, path + " is a folder, not a regular file");
    }
    const Handle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        throw cannot("cannot open");
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        throw IntelHexError(0, path + " is a device, not a regular file");
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        throw cannot("cannot read");
    }
    checkImageSize(path, static_cast<unsigned long long>(size.QuadPart), limit);
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), text.data() + used, static_cast<DWORD>(text.size() - used), &n,
                        nullptr)) {
            throw cannot("cannot read");
        }
        if (n == 0) {
            break; // shortened meanwhile: parse what is there
        }
        used += n;
    }
    text.resize(used);
    return text;
}

} // namespace qd::drivers
