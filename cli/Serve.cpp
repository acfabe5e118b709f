#include "cli/Serve.h"

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "cli/System.h"

#include <QLibrary>

namespace qd::cli {

int serve(const Options& options) {
    QLibrary module(QString::fromStdString(programFolder() + "/" + sys::moduleFile(kServeModule)));
    const auto entry = reinterpret_cast<ServeEntry>(module.resolve(kServeEntrySymbol));
    if (!entry) {
        throw Failure(LibraryFailed,
                      "cannot load the serve module: " + module.errorString().toStdString());
    }
    return entry(options);
}

} // namespace qd::cli
