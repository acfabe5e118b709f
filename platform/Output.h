#pragma once

// Where a program's results go: what a path leads to, opened for writing as
// the system resolves it, and a new file beside it that takes its place
// once complete. Descriptors of the C runtime; failures in words.

#include <cstddef>
#include <string>

namespace qd::platform {

// What a results path leads to, as the system resolves the path when it
// opens it: its own rules for links and files in shared folders apply.
struct OutputTarget {
    enum class Kind {
        Missing, // nothing is there yet
        File,    // a regular file
        Link,    // a link that leads to a regular file
        Special, // a device or a pipe, through a link or not
    };
    Kind kind = Kind::Missing;
    int fd = -1;       // what the path leads to, open for writing; -1 when missing
    unsigned mode = 0; // its permission bits
};

// Opens what `path` leads to for writing, truncating nothing and waiting
// for no reader; makes a file only where a link leads to nothing. False,
// with the reason in `why`, when it cannot be written.
bool openTarget(const std::string& path, OutputTarget& target, std::string& why);

// Whether results may go into the folder `path` names, which need not be
// there yet: false, with the reason in `why`, where the system's rules for
// links in shared folders would refuse a file there (openTarget's), for a
// folder's link planted by another user.
bool folderTakesResults(const std::string& path, std::string& why);

// Why what lies at `path` must not be opened although the system would
// open it: a link or a file that another user put in a sticky folder that
// everyone may write (/tmp), which the system's own rules
// (fs.protected_symlinks, fs.protected_regular) refuse where they are on;
// "" when nothing is there or it is no such thing. openTarget keeps this
// rule for results; a file that another program opens for us (the SQLite
// store and its side files) is looked at with it first.
std::string plantedProblem(const std::string& path);

// A new file beside `path`, named path.partial-XXXXXX, with the permission
// bits `mode`, or with those a new file of the user's gets when `mode` is
// negative; -1 with the reason in `why`.
int createBeside(const std::string& path, int mode, std::string& partial, std::string& why);
// Puts the bytes of the file `from` into the file open as `into` in place
// of what it held, and makes sure they are stored.
bool copyInto(const std::string& from, int into, std::string& why);
// Takes back the last `bytes` written to a file (a row a full disk cut).
void takeBack(int fd, std::size_t bytes);
// Empties a file, to be written again from its start.
bool emptyFile(int fd, std::string& why);
// Puts `from`, written through `fd`, in place of `to` once its bytes are
// safely stored, replacing what was there. Closes `fd` in any case: some
// systems rename no file that is open.
bool commit(int fd, const std::string& from, const std::string& to, std::string& why);
bool replaceFile(const std::string& from, const std::string& to, std::string& why);
void removeFile(const std::string& path);

// What copyInto, commit, takeBack and emptyFile (Output.cpp) are made of,
// per system; each failure leaves its reason in errno, as the C library's
// functions do.
// A file opened for reading, or -1.
int openToRead(const std::string& path);
// Reads what comes next, up to `size` bytes: how many came, 0 at the end,
// -1 on failure.
long readSome(int fd, char* into, std::size_t size);
bool isRegularFile(int fd);
// Makes sure that what was written through `fd` is stored.
bool store(int fd);
// Where the next write goes (lseek), and a file cut to `length` bytes.
long long seek(int fd, long long offset, int whence);
bool cut(int fd, long long length);

} // namespace qd::platform
