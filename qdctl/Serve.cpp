#include "qdctl/Serve.h"

#include "qdctl/Commands.h"
#include "qdctl/ExitStatus.h"
#include "qdctl/System.h"

#include <QLibrary>

namespace qd::cli {

namespace {

int runModule(const char* name, const char* symbol, const char* what, const Options& options) {
    QLibrary module(QString::fromStdString(programFolder() + "/" + sys::moduleFile(name)));
    const auto entry = reinterpret_cast<ServeEntry>(module.resolve(symbol));
    if (!entry) {
        throw Failure(LibraryFailed, std::string("cannot load the ") + what +
                                         " module: " + module.errorString().toStdString());
    }
    return entry(options);
}

} // namespace

int serve(const Options& options) {
    return runModule(kServeModule, kServeEntrySymbol, "serve", options);
}

int simMeter(const Options& options) {
    return runModule(kSimMeterModule, kSimMeterEntrySymbol, "sim-meter", options);
}

} // namespace qd::cli
