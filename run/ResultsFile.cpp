#include "run/ResultsFile.h"

#include "platform/File.h"
#include "platform/Output.h"
#include "platform/StandardStreams.h"
#include "results/Store.h"
#include "run/Recording.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"
#include "session/Session.h"

#include <algorithm>
#include <filesystem>

namespace qd::run {

using session::BadArguments;
using session::Failure;
using session::WriteFailed;
using session::writeMessage;

namespace fs = std::filesystem;

// Where results go. The path is opened as the system resolves paths, never
// resolved here (no canonical form, no reading of links): the system's own
// rules then hold, so a link that another user put in a sticky folder that
// others may write is not followed (fs.protected_symlinks), nor is a file
// of theirs there opened (fs.protected_regular); platform::openTarget keeps that
// rule where the system has it switched off. That open comes first, before
// the board is touched, and truncates nothing. Then:
// - A regular file, or nothing, at the path: the results go into a new file
//   beside the path as it was named, and take its name with a rename once
//   complete. A rename never follows a link, so a link put at the path in
//   the meantime is replaced rather than written through, and in a sticky
//   folder a file of another user's is not replaced at all. The new file
//   gets the mode of the file it replaces, never a wider one, and a new
//   name gets what a new file of the user's gets.
// - A link that the system let us follow (the user's own): written through,
//   into the file opened at the start, which keeps its mode and the link.
//   Rows go there as they come, one write each, and the file is emptied
//   only when the first row comes, so an earlier file survives a run that
//   fails before it measures. A whole file (a picture, a report) goes into
//   a new file beside the link first and is copied in once complete.
// - A device or a pipe: written through, as nothing can be renamed over it.
namespace {

// Closes what it holds when it goes, if not before.
struct Descriptor {
    int fd = -1;
    ~Descriptor() { close(); }
    void close() {
        if (fd >= 0) {
            platform::closeDescriptor(std::exchange(fd, -1));
        }
    }
};

platform::OutputTarget openTarget(const std::string& path, const std::string& what) {
    platform::OutputTarget target;
    std::string why;
    if (!platform::openTarget(path, target, why)) {
        throw Failure(WriteFailed, "cannot write " + what + path + ": " + why);
    }
    return target;
}

} // namespace

ResultsFile::ResultsFile(std::string target, std::string_view header) : target_(std::move(target)) {
    using Kind = platform::OutputTarget::Kind;
    if (target_ == "-") {
        fd_ = platform::kStandardOutput;
    } else {
        const platform::OutputTarget found = openTarget(target_, "");
        if (found.kind != Kind::Missing && platform::isStandardOutput(found.fd)) {
            // /dev/stdout: written at standard output's own offset, so that
            // whatever else goes there follows the rows.
            platform::closeDescriptor(found.fd);
            fd_ = platform::kStandardOutput;
        } else if (found.kind == Kind::Link || found.kind == Kind::Special) {
            fd_ = found.fd;
            truncate_ = takeBack_ = found.kind == Kind::Link;
        } else {
            const Descriptor replaced{found.fd};
            const int mode = found.kind == Kind::File ? static_cast<int>(found.mode) : -1;
            std::string why;
            fd_ = platform::createBeside(target_, mode, partial_, why);
            if (fd_ < 0) {
                throw Failure(WriteFailed, "cannot write " + target_ + ": " + why);
            }
            takeBack_ = true;
        }
    }
    if (truncate_) {
        header_ = header;
        return;
    }
    try {
        writeAll(header, false);
    } catch (const Failure&) {
        // No destructor runs for a constructor that throws.
        close();
        if (!partial_.empty()) {
            platform::removeFile(partial_);
        }
        throw;
    }
}

ResultsFile::~ResultsFile() {
    close();
    if (!done_ && !partial_.empty()) {
        if (rows_ == 0) {
            platform::removeFile(partial_);
        } else {
            // Should this fail, the rows stay in the partial file, which the
            // message of the sweep's end names.
            std::string ignored;
            platform::replaceFile(partial_, target_, ignored);
        }
    }
}

void ResultsFile::close() {
    if (fd_ > platform::kStandardError) {
        platform::closeDescriptor(fd_);
    }
    fd_ = -1;
}

void ResultsFile::writeAll(std::string_view bytes, bool isRow) {
    // One write for a whole row: a sweep killed at any moment leaves whole
    // rows only in a file. A pipe may take a row in parts, and a signal may
    // interrupt the write (Ctrl-C while a slow reader holds the sweep up):
    // the rest follows. A row that a file cannot take whole (a full disk)
    // is taken back.
    std::size_t done = 0;
    std::string why;
    if (isRow && truncate_) {
        truncate_ = false;
        if (!platform::emptyFile(fd_, why)) {
            throw Failure(WriteFailed, "cannot write " + target_ + ": " + why + "; 0 rows kept");
        }
        writeAll(std::exchange(header_, {}), false);
    }
    if (platform::writeAll(fd_, bytes, done, why)) {
        rows_ += isRow ? 1 : 0;
        return;
    }
    if (done > 0 && takeBack_) {
        platform::takeBack(fd_, done);
    }
    const std::string name = target_ == "-" ? "standard output" : target_;
    throw Failure(WriteFailed, "cannot write " + name + ": " + why + "; " + std::to_string(rows_) +
                                   (rows_ == 1 ? " row" : " rows") + " kept");
}

void ResultsFile::write(std::string_view row) {
    writeAll(row, true);
}

void ResultsFile::commit() {
    if (done_ || partial_.empty()) {
        done_ = true;
        close();
        return;
    }
    done_ = true;
    if (rows_ == 0) {
        close();
        platform::removeFile(partial_);
        return;
    }
    std::string why;
    const bool stored = platform::commit(fd_, partial_, target_, why);
    fd_ = -1;
    if (!stored) {
        throw Failure(WriteFailed, "cannot write " + target_ + ": " + why + "; " +
                                       std::to_string(rows_) + " rows kept in " + partial_);
    }
}

void writeBeside(const std::string& path, const std::string& what,
                 const std::function<bool(const std::string& partial, std::string& error)>& write) {
    using Kind = platform::OutputTarget::Kind;
    const platform::OutputTarget found = openTarget(path, what + " ");
    Descriptor target{found.fd};
    if (found.kind == Kind::Special) {
        throw Failure(WriteFailed, "cannot write " + what + " " + path +
                                       ": it is a device or a pipe, not a file");
    }
    const bool through = found.kind == Kind::Link;
    if (!through) {
        // Some systems rename nothing over a file that is open.
        target.close();
    }
    std::string partial;
    std::string error;
    // Beside a link, a file of the user's alone: it only passes its bytes on.
    const int mode = through ? 0600 : found.kind == Kind::File ? static_cast<int>(found.mode) : -1;
    const int fd = platform::createBeside(path, mode, partial, error);
    if (fd < 0) {
        throw Failure(WriteFailed, "cannot write " + what + " " + path + ": " + error);
    }
    platform::closeDescriptor(fd);
    const bool written =
        write(partial, error) && (through ? platform::copyInto(partial, target.fd, error)
                                          : platform::replaceFile(partial, path, error));
    if (!written || through) {
        platform::removeFile(partial);
    }
    if (!written) {
        throw Failure(WriteFailed, "cannot write " + what + " " + path +
                                       (error.empty() ? std::string() : ": " + error));
    }
}

void endEarly(const Failure& failure, std::size_t done, std::size_t total, ResultsFile* csv,
              int signal) {
    if (failure.status() == WriteFailed && signal != 0) {
        writeMessage(failure.what());
        return;
    }
    if (failure.status() == WriteFailed) {
        throw failure;
    }
    if (csv) {
        csv->commit();
    }
    throw Failure(failure.status(), std::string(failure.what()) + " after " + std::to_string(done) +
                                        " of " + std::to_string(total) + " codes" +
                                        (csv ? "; rows so far in " + csv->target() : ""));
}

std::string extensionOf(const std::string& path) {
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

std::string plotFormat(const std::string& path) {
    const std::string extension = extensionOf(path);
    for (const char* format : {"png", "svg", "pdf"}) {
        if (extension == std::string(".") + format) {
            return format;
        }
    }
    return {};
}

namespace {

// Files that exist are the same when the system finds the same file for
// both names (device and inode); names of files still to be made, when
// their lexical forms are. No link is followed here by hand.
bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        return fs::equivalent(a, b, ec);
    }
    return fs::absolute(a, ec).lexically_normal() == fs::absolute(b, ec).lexically_normal();
}

void refuseFolder(const char* option, const std::string& path) {
    std::error_code ec;
    if (path.ends_with('/') || fs::is_directory(path, ec)) {
        throw Failure(BadArguments, std::string(option) + " " + path + " is a folder, not a file");
    }
}

} // namespace

KeptFiles keptFilesOf(const session::CommonOptions& common) {
    return {session::firmwarePathOf(common), results::sqlitePathOf(Recording::urlOf(common))};
}

void checkOutputFile(const char* option, const std::string& path, const KeptFiles& kept,
                     std::initializer_list<std::pair<const char*, const std::string*>> others) {
    refuseFolder(option, path);
    if (sameFile(path, kept.firmware)) {
        throw Failure(BadArguments, std::string(option) + " " + path + " names the firmware image");
    }
    if (!kept.store.empty()) {
        for (const char* beside : {"", "-wal", "-shm", "-journal"}) {
            if (sameFile(path, kept.store + beside)) {
                throw Failure(BadArguments,
                              std::string(option) + " " + path +
                                  (*beside == 0
                                       ? " names the results store"
                                       : " names a file of the results store " + kept.store));
            }
        }
    }
    for (const auto& [other, otherPath] : others) {
        if (!otherPath->empty() && *otherPath != "-" && sameFile(path, *otherPath)) {
            throw Failure(BadArguments,
                          std::string(option) + " and " + other + " name the same file " + path);
        }
    }
}

void checkOutputPaths(const std::string& csv, const std::string& plot, const KeptFiles& kept,
                      bool json) {
    if (csv == "-" && json) {
        throw Failure(BadArguments, "--csv - and --json both want standard output");
    }
    if (csv != "-") {
        checkOutputFile("--csv", csv, kept, {});
    }
    if (plot.empty()) {
        return;
    }
    if (plot == "-") {
        throw Failure(BadArguments, "--plot needs a file; it cannot go to standard output");
    }
    checkOutputFile("--plot", plot, kept, {{"--csv", &csv}});
    if (plotFormat(plot).empty()) {
        throw Failure(BadArguments, "--plot " + plot +
                                        ": name a .png, .svg or .pdf file; the extension says "
                                        "which format is drawn");
    }
    checkWritable(plot, "the plot");
}

void checkWritable(const std::string& path, const std::string& what) {
    // As writeBeside begins: the target opened, and a file made beside it,
    // which goes again.
    const platform::OutputTarget found = openTarget(path, what + " ");
    const Descriptor target{found.fd};
    if (found.kind == platform::OutputTarget::Kind::Special) {
        throw Failure(WriteFailed, "cannot write " + what + " " + path +
                                       ": it is a device or a pipe, not a file");
    }
    std::string partial;
    std::string why;
    const int fd = platform::createBeside(path, 0600, partial, why);
    if (fd < 0) {
        throw Failure(WriteFailed, "cannot write " + what + " " + path + ": " + why);
    }
    platform::closeDescriptor(fd);
    platform::removeFile(partial);
}

} // namespace qd::run
