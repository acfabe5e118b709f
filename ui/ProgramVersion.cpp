#include "ui/ProgramVersion.h"

#include "platform/Process.h"

#include <QCoreApplication>

namespace qd::ui {

QVersionNumber programVersion() {
    // Windows keeps it in the program's version resource, which the
    // installer and Explorer show too.
    if (const auto version = platform::programFileVersion()) {
        return QVersionNumber((*version)[0], (*version)[1], (*version)[2]);
    }
    return QVersionNumber::fromString(QCoreApplication::applicationVersion());
}

} // namespace qd::ui
