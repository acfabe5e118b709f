#include "platform/Process.h"

namespace qd::platform {

// Programs here carry their version in their package, not in their file.
std::optional<std::array<int, 3>> programFileVersion() {
    return std::nullopt;
}

} // namespace qd::platform
