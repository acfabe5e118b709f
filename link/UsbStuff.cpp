#include "link/UsbStuff.h"

#include "control/Guarded.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <climits>
#include <unistd.h>
#endif

namespace qd::link {

using control::RuntimeError;

void FillPathBuffer(std::span<const int> codes, PathBufferArray& buffer) {
    const std::size_t n = codes.size();
    const auto last = control::guardedNarrow<std::int16_t>(static_cast<long long>(n) - 1);
    for (int i = 0; i <= last; ++i) {
        auto& slot = control::guardedAt(buffer, i); // the bound is checked before the code
        const int code = codes[static_cast<std::size_t>(i)];
        if (code < 0 || code > 255) {
            throw RuntimeError::overflow();
        }
        slot = static_cast<std::uint8_t>(code);
    }
    control::guardedAt(buffer, static_cast<long long>(n)) = 0;
}

QByteArray pathBytes(const QString& path) {
#ifdef _WIN32
    return QDir::toNativeSeparators(path).toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

QByteArray programDirectory() {
#if defined(_WIN32)
    // The folder the system says the program was started from.
    std::wstring executable(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, executable.data(), static_cast<DWORD>(executable.size()));
        if (n == 0) {
            break;
        }
        if (n < executable.size()) {
            executable.resize(n);
            const auto slash = executable.find_last_of(L"\\/");
            return QString::fromStdWString(executable.substr(0, slash)).toUtf8();
        }
        executable.resize(executable.size() * 2);
    }
#elif defined(__linux__)
    // Qt's applicationDirPath() goes through text, which cannot hold a name
    // that is not valid in the locale's encoding; the kernel's link holds
    // the bytes themselves.
    QByteArray executable(PATH_MAX, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", executable.data(),
                                     static_cast<std::size_t>(executable.size()));
        if (n < 0) {
            break;
        }
        if (n < executable.size()) {
            executable.truncate(n);
            const qsizetype slash = executable.lastIndexOf('/');
            if (slash < 0) {
                break;
            }
            return slash == 0 ? QByteArray("/") : executable.left(slash);
        }
        executable.resize(executable.size() * 2);
    }
#endif
    return pathBytes(QCoreApplication::applicationDirPath());
}

QByteArray firmwarePathIn(const QByteArray& programDirectory) {
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    return programDirectory + separator + kFirmwareFileName;
}

std::vector<int> pathCharacterCodes(const QByteArray& path) {
    std::vector<int> codes;
#ifdef _WIN32
    // One character at a time through the ANSI code page, with no best fit:
    // a character the code page lacks must fail, never become a look-alike
    // that names another file. One that takes two bytes gets a code past
    // 255, as the overflow error wants.
    // Where the ANSI code page is UTF-8 (an option of Windows 10 and 11), the
    // call refuses both the flag and the question; UTF-8 has no look-alikes
    // to guard against, and a character of two bytes or more still fails.
    const bool utf8 = ::GetACP() == CP_UTF8;
    const QString text = QString::fromUtf8(path);
    codes.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar c : text) {
        const wchar_t unit = static_cast<wchar_t>(c.unicode());
        char bytes[2] = {};
        BOOL lacking = FALSE;
        const int n =
            ::WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, &unit, 1, bytes,
                                  sizeof bytes, nullptr, utf8 ? nullptr : &lacking);
        if (n == 1 && !lacking) {
            codes.push_back(static_cast<unsigned char>(bytes[0]));
        } else if (n == 2 && !lacking) {
            codes.push_back(static_cast<unsigned char>(bytes[0]) << 8 |
                            static_cast<unsigned char>(bytes[1]));
        } else {
            codes.push_back(0x10000);
        }
    }
#else
    codes.reserve(static_cast<std::size_t>(path.size()));
    for (const char b : path) {
        codes.push_back(static_cast<unsigned char>(b));
    }
#endif
    return codes;
}

bool UsbStuff::StartBoard(LinkBinding& binding, const QByteArray& programDirectory) {
    FirmwarePath = firmwarePathIn(programDirectory);
    const QByteArray copy = FirmwarePath;
    const std::vector<int> codes = pathCharacterCodes(copy);
    FillPathBuffer(codes, PathBuffer);
    return binding.downloadFirmware(reinterpret_cast<char*>(PathBuffer.data()));
}

} // namespace qd::link
