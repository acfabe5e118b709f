#pragma once

// This process and others, and its environment, as the system tells them.

#include <array>
#include <optional>
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

// Where a file of the user's alone that outlives a process goes (`name`,
// such as the simulated board's state): the file, and the folder of ours
// that holds it, which must be made if missing and refused unless it is
// private ("" when the place is private by definition, such as
// $XDG_RUNTIME_DIR). Never a predictable name in a folder that everyone
// may write, where anyone could make it in advance; on Windows in the
// user's local application data, which is never roamed to another machine.
struct PrivatePlace {
    std::string file;
    std::string privateFolder;
};
PrivatePlace privatePlace(const std::string& name);

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

// The running program's own file as the system names it (UTF-8 on
// Windows, the file name's bytes elsewhere), whatever the locale can spell;
// "" when the system does not say.
std::string programFile();
// The major, minor and patch numbers of the running program's version
// resource; none where programs carry none, or this one has none.
std::optional<std::array<int, 3>> programFileVersion();
// The file of one of the program's modules by its name (qdctl-plot ->
// libqdctl-plot.so, or qdctl-plot.dll).
std::string moduleFile(const std::string& name);

// Each character of the UTF-8 `path` as a program's narrow file names give
// it: on Windows its byte in the ANSI code page, a character of two bytes
// as one code past 255, and 0x10000 for one the code page lacks (never a
// look-alike that names another file); elsewhere each byte as it is.
std::vector<int> narrowPathCodes(const std::string& path);

} // namespace qd::platform
