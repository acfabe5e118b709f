#include "drivers/IntelHex.h"
#include "drivers/Platform.h"
#include "platform/Error.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Win32.h"

#include <algorithm>
#include <cstdlib>
#include <io.h>

namespace qd::drivers {

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
    // The program hands the path over in the ANSI code page, the code page
    // the maker's library takes; the file is read by its name in Unicode.
    const int n =
        ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0) {
        ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                              n);
    }
    std::string text, why;
    if (!qd::platform::readRegularFile(narrow(wide), limit, text, why)) {
        throw IntelHexError(0, why);
    }
    return text;
}

} // namespace qd::drivers
