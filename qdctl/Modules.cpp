#include "qdctl/Modules.h"

#include "qdctl/BoardCommands.h"
#include "session/ExitStatus.h"
#include "session/System.h"

#include <QLibrary>

namespace qd::cli {

ModuleFunction moduleEntry(const std::string& name, const char* symbol) {
    // QLibrary leaves the library loaded when it goes: its entry stays good.
    QLibrary module(QString::fromStdString(programFolder() + "/" + sys::moduleFile(name)));
    const auto entry = module.resolve(symbol);
    if (!entry) {
        throw Failure(LibraryFailed, "cannot load qdctl's " + name +
                                         " module: " + module.errorString().toStdString());
    }
    return entry;
}

} // namespace qd::cli
