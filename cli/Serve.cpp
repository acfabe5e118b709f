#include "cli/Serve.h"

#include "cli/ExitStatus.h"

namespace qd::cli {

int serve(const Options&, int, char**) {
    throw Failure(BadArguments, "serve is not available yet");
}

} // namespace qd::cli
