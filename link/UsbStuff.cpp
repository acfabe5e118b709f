#include "link/UsbStuff.h"

#include "control/Guarded.h"

#include <QDir>
#include <QFile>

namespace qd::link {

void FillPathBuffer(std::span<const int> codes, PathBufferArray& buffer) {
    const std::size_t n = codes.size();
    const auto last = guarded::narrow<std::int16_t>(static_cast<long long>(n) - 1);
    for (int i = 0; i <= last; ++i) {
        auto& slot = guarded::at(buffer, i); // the bound is checked before the code
        const int code = codes[static_cast<std::size_t>(i)];
        if (code < 0 || code > 255) {
            throw RuntimeError::overflow();
        }
        slot = static_cast<std::uint8_t>(code);
    }
    guarded::at(buffer, static_cast<long long>(n)) = 0;
}

std::vector<int> pathCharacterCodes(const QString& path) {
    std::vector<int> codes;
#ifdef _WIN32
    codes.reserve(static_cast<std::size_t>(path.size()));
    for (const QChar c : path) {
        const QByteArray ansi = QString(c).toLocal8Bit();
        codes.push_back(ansi.size() == 1 && (QString::fromLocal8Bit(ansi) == QString(c))
                            ? static_cast<unsigned char>(ansi[0])
                            : 256);
    }
#else
    const QByteArray bytes = QFile::encodeName(path);
    codes.reserve(static_cast<std::size_t>(bytes.size()));
    for (const char b : bytes) {
        codes.push_back(static_cast<unsigned char>(b));
    }
#endif
    return codes;
}

QString firmwarePathIn(const QString& programDirectory) {
    return QDir::toNativeSeparators(programDirectory) + QDir::separator() +
           QLatin1String(kFirmwareFileName);
}

bool UsbStuff::StartBoard(LinkBinding& binding, const QString& programDirectory) {
    FirmwarePath = firmwarePathIn(programDirectory);
    const QString copy = FirmwarePath;
    const std::vector<int> codes = pathCharacterCodes(copy);
    FillPathBuffer(codes, PathBuffer);
    return binding.downloadFirmware(reinterpret_cast<char*>(PathBuffer.data()));
}

} // namespace qd::link
