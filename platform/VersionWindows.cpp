// Apart from the rest of the process's primitives: only a program that asks
// for its version imports version.dll.

#include "platform/Process.h"
#include "platform/Win32.h"

#include <vector>
#include <winver.h>

namespace qd::platform {

std::optional<std::array<int, 3>> programFileVersion() {
    const std::wstring executable = widen(programFile());
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(executable.c_str(), &ignored);
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (executable.empty() || size == 0 ||
        !::GetFileVersionInfoW(executable.c_str(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return std::nullopt;
    }
    return std::array<int, 3>{HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                              HIWORD(info->dwFileVersionLS)};
}

} // namespace qd::platform
