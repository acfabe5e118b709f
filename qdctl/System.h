#pragma once

// What qdctl needs of the operating system beyond standard C++ and Qt Core.
// One implementation per system: SystemPosix.cpp and SystemWindows.cpp.

#include <string>
#include <string_view>

class QCoreApplication;

namespace qd::cli::sys {

inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Standard output and error carry exactly the bytes written, on every
// system, and a closed pipe is a failed write rather than a silent death.
void prepareStandardStreams();

// Writes all of `bytes`, carried on after a signal interrupts a write. On
// failure: false, with what was written in `done` and the reason in `why`.
bool writeAll(int fd, std::string_view bytes, std::size_t& done, std::string& why);

bool isTerminal(int fd);

// The file of one of qdctl's modules by its name (qdctl-plot ->
// libqdctl-plot.so, or qdctl-plot.dll).
std::string moduleFile(const std::string& name);

// Whether `path` names something that exists and is not a regular file
// (a device, a pipe): such a target is written as it is, never replaced.
bool isSpecialFile(const std::string& path);
int openSpecialFile(const std::string& path, std::string& why);

// A new file beside `path`, named path.partial-XXXXXX, with the access a
// new file of the user's gets; -1 with the reason in `why`.
int createBeside(const std::string& path, std::string& partial, std::string& why);
// Takes back the last `bytes` written to a file (a row a full disk cut).
void takeBack(int fd, std::size_t bytes);
// Puts `from`, written through `fd`, in place of `to` once its bytes are
// safely stored, replacing what was there. Closes `fd` in any case: some
// systems rename no file that is open.
bool commit(int fd, const std::string& from, const std::string& to, std::string& why);
bool replace(const std::string& from, const std::string& to, std::string& why);
void remove(const std::string& path);
void close(int fd);

// SIGINT and SIGTERM (on Windows Ctrl-C, and Ctrl-Break or the console's
// closing) call `onStop` with the signal's number, 2 or 15, for as long as
// this lives.
class StopSignals {
  public:
    using Handler = void (*)(int signal);
    explicit StopSignals(Handler onStop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
};

// The same signals end `app`'s event loop, from then on.
void quitOnStopSignals(QCoreApplication& app);

} // namespace qd::cli::sys
