#include "drivers/IntelHex.h"
#include "drivers/Platform.h"
#include "platform/File.h"
#include "platform/Process.h"

#include <cstdlib>
#include <unistd.h>

namespace qd::drivers {

StatePlace defaultStatePlace() {
    // The runtime folder is the user's alone by definition. Failing that, a
    // folder of our own in the shared temporary folder: a predictable file
    // name there could be made in advance by anyone.
    const std::string runtime = qd::platform::environment("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        return {runtime + "/qd1600-board.state", ""};
    }
    std::string temporary = qd::platform::environment("TMPDIR");
    if (temporary.empty()) {
        temporary = "/tmp";
    }
    const std::string folder = temporary + "/qd1600-" + std::to_string(::geteuid());
    return {folder + "/board.state", folder};
}

std::string readImageText(const std::string& path, std::size_t limit) {
    std::string text, why;
    if (!qd::platform::readRegularFile(path, limit, text, why)) {
        throw IntelHexError(0, why);
    }
    return text;
}

} // namespace qd::drivers
