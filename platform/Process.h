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

// Ties the processes this one starts from now on to its life, so that none
// outlives it however it ends, killed outright included: a child left
// running would hold its board. On Windows this process joins a job object
// that kills all in it when its last handle closes, which the children
// inherit; elsewhere each child ties itself (endWithParent). False, with
// the reason in `why`, when the system refuses.
bool childrenEndWithThisProcess(std::string& why);

// Ends this process when `parent`, the process that started it, ends (on
// Linux its parent-death signal, SIGTERM, which stops it as a stop signal
// does), and at once when `parent` is no
// longer its parent: ended before the tie was made. Nothing where the
// parent's side ties its children (Windows) or the system has no such tie.
void endWithParent(int parent);

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
