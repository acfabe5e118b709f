#include "ui/ProgramVersion.h"

#include <QCoreApplication>

#ifdef _WIN32
#include <string>
#include <vector>
#include <windows.h>
#endif

namespace qd::ui {

#ifdef _WIN32
namespace {

// The file version of the version resource of the executable that runs.
QVersionNumber resourceVersion() {
    std::wstring executable(MAX_PATH, L'\0');
    DWORD n = 0;
    while ((n = ::GetModuleFileNameW(nullptr, executable.data(),
                                     static_cast<DWORD>(executable.size()))) == executable.size()) {
        executable.resize(executable.size() * 2);
    }
    executable.resize(n);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(executable.c_str(), &ignored);
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (size == 0 || !::GetFileVersionInfoW(executable.c_str(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    return QVersionNumber(HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                          HIWORD(info->dwFileVersionLS));
}

} // namespace
#endif

QVersionNumber programVersion() {
#ifdef _WIN32
    if (QVersionNumber version = resourceVersion(); !version.isNull()) {
        return version;
    }
#endif
    return QVersionNumber::fromString(QCoreApplication::applicationVersion());
}

} // namespace qd::ui
