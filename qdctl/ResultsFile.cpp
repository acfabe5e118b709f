#include "qdctl/ResultsFile.h"

#include "qdctl/ExitStatus.h"
#include "qdctl/Output.h"
#include "qdctl/StopSignals.h"
#include "qdctl/System.h"

#include <algorithm>
#include <filesystem>

namespace qd::cli {

namespace fs = std::filesystem;

ResultsFile::ResultsFile(std::string target, std::string_view header) : target_(std::move(target)) {
    std::string why;
    if (target_ == "-") {
        fd_ = sys::kStandardOutput;
    } else if (sys::isSpecialFile(target_)) {
        // A device or a pipe is written as it is: renaming a file over it
        // would replace it.
        fd_ = sys::openSpecialFile(target_, why);
        if (fd_ < 0) {
            throw Failure(BadArguments, "cannot write " + target_ + ": " + why);
        }
    } else {
        // Beside the file the name leads to (through a symlink, too), so
        // that the rename stays within one file system and keeps the link.
        std::error_code ec;
        const fs::path real = fs::exists(target_, ec) ? fs::canonical(target_, ec) : "";
        placed_ = real.empty() ? target_ : real.string();
        fd_ = sys::createBeside(placed_, partial_, why);
        if (fd_ < 0) {
            throw Failure(BadArguments, "cannot write " + target_ + ": " + why);
        }
    }
    try {
        writeAll(header, false);
    } catch (const Failure&) {
        // No destructor runs for a constructor that throws.
        close();
        if (!partial_.empty()) {
            sys::remove(partial_);
        }
        throw;
    }
}

ResultsFile::~ResultsFile() {
    close();
    if (!done_ && !partial_.empty()) {
        if (rows_ == 0) {
            sys::remove(partial_);
        } else {
            // Should this fail, the rows stay in the partial file, which the
            // message of the sweep's end names.
            std::string ignored;
            sys::replace(partial_, placed_, ignored);
        }
    }
}

void ResultsFile::close() {
    if (fd_ > sys::kStandardError) {
        sys::close(fd_);
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
    if (sys::writeAll(fd_, bytes, done, why)) {
        rows_ += isRow ? 1 : 0;
        return;
    }
    if (done > 0 && !partial_.empty()) {
        sys::takeBack(fd_, done);
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
        return;
    }
    done_ = true;
    if (rows_ == 0) {
        close();
        sys::remove(partial_);
        return;
    }
    std::string why;
    const bool stored = sys::commit(fd_, partial_, placed_, why);
    fd_ = -1;
    if (!stored) {
        throw Failure(WriteFailed, "cannot write " + target_ + ": " + why + "; " +
                                       std::to_string(rows_) + " rows kept in " + partial_);
    }
}

void writeBeside(const std::string& path, const std::string& what,
                 const std::function<bool(const std::string& partial, std::string& error)>& write) {
    std::string partial;
    std::string error;
    const int fd = sys::createBeside(path, partial, error);
    if (fd < 0) {
        throw Failure(WriteFailed, "cannot write " + what + " " + path + ": " + error);
    }
    sys::close(fd);
    if (!write(partial, error) || !sys::replace(partial, path, error)) {
        sys::remove(partial);
        throw Failure(WriteFailed, "cannot write " + what + " " + path +
                                       (error.empty() ? std::string() : ": " + error));
    }
}

void endEarly(const Failure& failure, std::size_t done, std::size_t total, ResultsFile* csv) {
    if (failure.status() == WriteFailed && stopSignal() != 0) {
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

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        return fs::equivalent(a, b, ec);
    }
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

void refuseFolder(const char* option, const std::string& path) {
    std::error_code ec;
    if (path.ends_with('/') || fs::is_directory(path, ec)) {
        throw Failure(BadArguments, std::string(option) + " " + path + " is a folder, not a file");
    }
}

} // namespace

void checkOutputFile(const char* option, const std::string& path, const std::string& firmware,
                     std::initializer_list<std::pair<const char*, const std::string*>> others) {
    refuseFolder(option, path);
    if (sameFile(path, firmware)) {
        throw Failure(BadArguments, std::string(option) + " " + path + " names the firmware image");
    }
    for (const auto& [other, otherPath] : others) {
        if (!otherPath->empty() && *otherPath != "-" && sameFile(path, *otherPath)) {
            throw Failure(BadArguments,
                          std::string(option) + " and " + other + " name the same file " + path);
        }
    }
}

void checkOutputPaths(const std::string& csv, const std::string& plot, const std::string& firmware,
                      bool json) {
    if (csv == "-" && json) {
        throw Failure(BadArguments, "--csv - and --json both want standard output");
    }
    if (csv != "-") {
        checkOutputFile("--csv", csv, firmware, {});
    }
    if (plot.empty()) {
        return;
    }
    if (plot == "-") {
        throw Failure(BadArguments, "--plot needs a file; it cannot go to standard output");
    }
    checkOutputFile("--plot", plot, firmware, {{"--csv", &csv}});
    if (plotFormat(plot).empty()) {
        throw Failure(BadArguments, "--plot " + plot +
                                        ": name a .png, .svg or .pdf file; the extension says "
                                        "which format is drawn");
    }
}

} // namespace qd::cli
