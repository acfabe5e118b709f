#include "cli/ResultsFile.h"

#include "cli/ExitStatus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::cli {

namespace fs = std::filesystem;

namespace {

std::string lastError() {
    return std::strerror(errno);
}

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

int createBeside(const std::string& path, std::string& partial) {
    std::string pattern = path + ".partial-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
        ::fchmod(fd, 0666 & ~currentUmask());
        partial = pattern;
    }
    return fd;
}

ResultsFile::ResultsFile(std::string target, std::string_view header) : target_(std::move(target)) {
    struct stat st {};
    if (target_ == "-") {
        fd_ = STDOUT_FILENO;
    } else if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device or a pipe is written as it is: renaming a file over it
        // would replace it.
        fd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            throw Failure(BadArguments, "cannot write " + target_ + ": " + lastError());
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    } else {
        // Beside the file the name leads to (through a symlink, too), so
        // that the rename stays within one file system and keeps the link.
        std::error_code ec;
        const fs::path real = fs::exists(target_, ec) ? fs::canonical(target_, ec) : "";
        placed_ = real.empty() ? target_ : real.string();
        fd_ = createBeside(placed_, partial_);
        if (fd_ < 0) {
            throw Failure(BadArguments, "cannot write " + target_ + ": " + lastError());
        }
    }
    try {
        writeAll(header, false);
    } catch (const Failure&) {
        // No destructor runs for a constructor that throws.
        if (!partial_.empty()) {
            ::unlink(partial_.c_str());
        }
        if (fd_ > STDERR_FILENO) {
            ::close(fd_);
        }
        throw;
    }
}

ResultsFile::~ResultsFile() {
    if (!done_ && !partial_.empty()) {
        if (rows_ == 0) {
            ::unlink(partial_.c_str());
        } else {
            ::rename(partial_.c_str(), placed_.c_str());
        }
    }
    if (fd_ > STDERR_FILENO) {
        ::close(fd_);
    }
}

void ResultsFile::writeAll(std::string_view bytes, bool isRow) {
    // One write for a whole row: a sweep killed at any moment leaves whole
    // rows only in a file. A pipe may take a row in parts, and a signal may
    // interrupt the write (Ctrl-C while a slow reader holds the sweep up):
    // the rest follows. A row that a file cannot take whole (a full disk)
    // is taken back.
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const std::string why = n < 0 ? lastError() : "No space left on device";
        if (done > 0 && !partial_.empty()) {
            const off_t rowStart = ::lseek(fd_, -static_cast<off_t>(done), SEEK_CUR);
            [[maybe_unused]] const int ignored = ::ftruncate(fd_, rowStart);
        }
        const std::string name = target_ == "-" ? "standard output" : target_;
        throw Failure(WriteFailed, "cannot write " + name + ": " + why + "; " +
                                       std::to_string(rows_) + (rows_ == 1 ? " row" : " rows") +
                                       " kept");
    }
    rows_ += isRow ? 1 : 0;
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
        ::unlink(partial_.c_str());
        return;
    }
    if (::fsync(fd_) != 0 || ::rename(partial_.c_str(), placed_.c_str()) != 0) {
        throw Failure(WriteFailed, "cannot write " + target_ + ": " + lastError() + "; " +
                                       std::to_string(rows_) + " rows kept in " + partial_);
    }
}

void writeBeside(const std::string& path,
                 const std::function<bool(const std::string& partial, std::string& error)>& write) {
    std::string partial;
    const int fd = createBeside(path, partial);
    if (fd < 0) {
        throw Failure(WriteFailed, "cannot write " + path + ": " + lastError());
    }
    ::close(fd);
    std::string error;
    if (!write(partial, error) || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        throw Failure(WriteFailed,
                      "cannot write " + path + (error.empty() ? std::string() : ": " + error));
    }
}

std::string plotFormat(const std::string& path) {
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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

void checkOutputPaths(const std::string& csv, const std::string& plot, const std::string& firmware,
                      bool json) {
    if (csv == "-" && json) {
        throw Failure(BadArguments, "--csv - and --json both want standard output");
    }
    if (csv != "-") {
        refuseFolder("--csv", csv);
        if (sameFile(csv, firmware)) {
            throw Failure(BadArguments, "--csv " + csv + " names the firmware image");
        }
    }
    if (plot.empty()) {
        return;
    }
    if (plot == "-") {
        throw Failure(BadArguments, "--plot needs a file; it cannot go to standard output");
    }
    refuseFolder("--plot", plot);
    if (sameFile(plot, firmware)) {
        throw Failure(BadArguments, "--plot " + plot + " names the firmware image");
    }
    if (csv != "-" && sameFile(plot, csv)) {
        throw Failure(BadArguments, "--plot and --csv name the same file " + plot);
    }
    if (plotFormat(plot).empty()) {
        throw Failure(BadArguments, "--plot " + plot +
                                        ": name a .png, .svg or .pdf file; the extension says "
                                        "which format is drawn");
    }
}

} // namespace qd::cli
