#pragma once

// POSIX systems only: what the platform's POSIX files share.

#include <sys/stat.h>

namespace qd::platform {

// How a refusal names a device: by its kind, or as a device, whatever kind.
enum class DeviceWords { ByKind, AsDevice };

// What a file of `mode` is when it is neither a regular file nor a link,
// in words ("a FIFO"); nullptr for a kind that has no words here. Each
// refusal says the rest in its own words.
const char* kindOf(mode_t mode, DeviceWords devices);

} // namespace qd::platform
