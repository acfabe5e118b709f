#include "run/Modules.h"

#include "platform/Process.h"
#include "session/ExitStatus.h"
#include "session/Session.h"

#include <QLibrary>

namespace qd::run {

using session::Failure;
using session::LibraryFailed;
using session::programFolder;

ModuleFunction moduleEntry(const std::string& name, const char* symbol) {
    // QLibrary leaves the library loaded when it goes: its entry stays good.
    QLibrary module(QString::fromStdString(programFolder() + "/" + platform::moduleFile(name)));
    const auto entry = module.resolve(symbol);
    if (!entry) {
        throw Failure(LibraryFailed, "cannot load qdctl's " + name +
                                         " module: " + module.errorString().toStdString());
    }
    return entry;
}

} // namespace qd::run
