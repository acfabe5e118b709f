#pragma once

// This process and others, and its environment, as the system tells them.

#include <string>
#include <vector>

namespace qd::platform {

// The program's arguments as `main` was given them, in the one encoding
// the program's own text has: on Windows, whose `main` has them in the
// ANSI code page, taken again from the system in UTF-8; elsewhere the bytes
// as they are.
std::vector<std::string> argumentsInUtf8(int argc, char** argv);

// An environment variable's value, "" when it is unset. Text is UTF-8 on
// Windows, the bytes as they are elsewhere.
std::string environment(const char* name);

// This process, and another one by its id ("" when it cannot be told: gone,
// or not ours to look at).
int processId();
// Whether a process of that id runs on this machine.
bool processRunning(int pid);
// Sends a process of ours a signal (SIGINT, SIGTERM): false where the system
// has none to send, as on Windows, whose console gives Ctrl-C to every
// process attached to it anyway.
bool signalProcess(int pid, int signal);

// The user's folder for this program's data: $XDG_DATA_HOME/qd1600 (else
// ~/.local/share/qd1600), %LOCALAPPDATA%\QD1600 on Windows; "" when the
// environment names no home.
std::string dataFolder();
// This machine's name and the user's, for the records that say where a
// result came from.
std::string hostName();
std::string userName();
std::string processName();
std::string processName(int pid);

} // namespace qd::platform
