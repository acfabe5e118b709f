#pragma once

// This process and others, and its environment, as the system tells them.

#include <string>

namespace qd::platform {

// An environment variable's value, "" when it is unset. Text is UTF-8 on
// Windows, the bytes as they are elsewhere.
std::string environment(const char* name);

// This process, and another one by its id ("" when it cannot be told: gone,
// or not ours to look at).
int processId();
std::string processName();
std::string processName(int pid);

} // namespace qd::platform
