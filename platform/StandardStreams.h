#pragma once

// Standard output and error as the system keeps them: the bytes written,
// and what they are connected to.

namespace qd::platform {

inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Standard output and error carry exactly the bytes written, on every
// system, and a closed pipe is a failed write rather than a silent death.
void prepareStandardStreams();

bool isTerminal(int fd);
// Whether lines already written to this terminal can be redrawn in place
// (cursor movement): Windows' console only when asked for it.
bool canRedrawLines(int fd);

// Whether `fd` is open on the file standard output goes to (/dev/stdout).
bool isStandardOutput(int fd);

} // namespace qd::platform
