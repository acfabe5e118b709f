#pragma once

// A file of the user's alone (the simulated board's state), in a folder of
// the user's alone: what each must be before it is used, with a refusal's
// reason in words, and what may become of the file while it is.

#include "platform/File.h"

#include <cstdint>
#include <string>

namespace qd::platform {

// What a look at a path found before anything there is opened.
struct PathLook {
    enum Kind {
        Missing,
        Fine,
        Refused,   // `problem` says why it must not be used
        LookFailed // the look itself failed, as `problem` says
    } kind = Missing;
    std::string problem;
};

// The folder itself (not where a link in its place leads): it must be a
// folder, the user's, and on POSIX systems closed to everyone else.
PathLook lookAtPrivateFolder(const std::string& folder);
// Makes the private folder if it is missing; why it must not be used, or "".
std::string makePrivateFolder(const std::string& folder);
// Makes the folders of `path` that are missing, up to and with `path`,
// each the user's alone (0700 on POSIX systems); why it could not, or "".
std::string makePrivateFolders(const std::string& path);
// A new, empty file at `path`, the user's alone, never through a link and
// never one that is there already; why it could not be made, or "".
std::string makePrivateFile(const std::string& path);

// The file's own entry: anything but a regular file is refused.
PathLook lookAtPrivateFile(const std::string& path);

// Why openUnfollowed could not open the file, from the last failure.
std::string whyNotOpened(Access access);

// The open file as it was when last looked at, where the system can tell
// what becomes of a file's path (POSIX): whatever the path names later
// with another identity is another file.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
};

// Why the open file must not be used, or "": not a regular file, not the
// user's, or one that others may write, which is as good as theirs. Its
// size as it is now, and what it is, in `seen`.
std::string privateFileProblem(FileHandle file, FileIdentity& seen, std::uint64_t& size);

// What became of the open file since it was last seen, for `seen` from
// privateFileProblem and the `path` it was opened by: another file put in
// its place or it removed (its own entry, not where a link put there
// leads), or cut shorter than `size` bytes. One look at the open file, and
// one at the path when the file's status changed. On Windows, where no
// one can remove or rename a file that openUnfollowed opened, nor cut
// short one that is mapped, it stays intact, without a system call.
enum class FileFate { Intact, CutShort, Replaced };
FileFate fateOf(FileHandle file, const std::string& path, FileIdentity& seen, std::uint64_t size);

} // namespace qd::platform
