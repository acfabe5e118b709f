#include "link/UsbStuff.h"

#include "control/Guarded.h"
#include "platform/File.h"
#include "platform/Process.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

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
    return platform::kPathsInUtf8 ? QDir::toNativeSeparators(path).toUtf8()
                                  : QFile::encodeName(path);
}

QByteArray programDirectory() {
    // The folder the system says the program was started from: Qt's
    // applicationDirPath() goes through text, which cannot hold a name that
    // is not valid in the locale's encoding.
    const std::string program = platform::programFile();
    if (const auto slash = program.find_last_of(platform::kPathSeparators);
        slash != std::string::npos) {
        return QByteArray::fromStdString(slash == 0 ? program.substr(0, 1)
                                                    : program.substr(0, slash));
    }
    return pathBytes(QCoreApplication::applicationDirPath());
}

QByteArray firmwarePathIn(const QByteArray& programDirectory) {
    return programDirectory + platform::kPathSeparator + kFirmwareFileName;
}

std::vector<int> pathCharacterCodes(const QByteArray& path) {
    // A character the code page lacks must fail, never become a look-alike
    // that names another file; one that takes two bytes gets a code past
    // 255, as the overflow error wants.
    return platform::narrowPathCodes(path.toStdString());
}

bool UsbStuff::StartBoard(LinkBinding& binding, const QByteArray& programDirectory) {
    FirmwarePath = firmwarePathIn(programDirectory);
    const QByteArray copy = FirmwarePath;
    const std::vector<int> codes = pathCharacterCodes(copy);
    FillPathBuffer(codes, PathBuffer);
    return binding.downloadFirmware(reinterpret_cast<char*>(PathBuffer.data()));
}

} // namespace qd::link
