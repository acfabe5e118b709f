#pragma once

// A record at the start of a file, mapped into memory and shared with every
// process that maps it: what one writes there the next finds, without a
// system call, and even when the writer is killed a moment later.

#include "platform/File.h"

#include <cstddef>
#include <string>

namespace qd::platform {

// The first `size` bytes of `file`, which must hold them, readable and
// writable; nullptr with the reason in `why`.
void* mapRecord(FileHandle file, std::size_t size, std::string& why);
void unmapRecord(void* record, std::size_t size);

} // namespace qd::platform
