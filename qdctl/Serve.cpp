#include "qdctl/Serve.h"

#include "qdctl/Modules.h"

namespace qd::cli {

int serve(const Options& options) {
    return loadModule<ServeEntry>(kServeModule, kServeEntrySymbol)(options);
}

int simMeter(const Options& options) {
    return loadModule<ServeEntry>(kSimMeterModule, kSimMeterEntrySymbol)(options);
}

} // namespace qd::cli
