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

// Another process may cut the file short under a mapped record, and where
// the system ends a process that touches a page past a file's end (POSIX:
// SIGBUS), a guarded record reads as zeros instead, until remapRecord: its
// user finds it wrong and looks at the file. Up to 65 records at once; one
// more goes unguarded. Windows refuses to cut short a file that is mapped:
// nothing to guard there.
void guardRecord(const void* record);
void unguardRecord(const void* record);

// Makes `file` hold a record's `size` bytes again if it was cut short, and
// maps it again where `record` is (where zeros may have taken its place).
// False when the file cannot be made whole.
bool remapRecord(FileHandle file, void* record, std::size_t size);

} // namespace qd::platform
