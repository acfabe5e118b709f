#pragma once

#include "session/CommonOptions.h"
#include "session/ExitStatus.h"

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace qd::run {

using session::Failure;

// A sweep's CSV as it is measured: rows go, one write each, to a new file
// beside the target, which takes the target's name when the sweep ends
// (commit), also when it ends early. A sweep that ends before its first row
// leaves an earlier file of that name as it was. A target that is a link
// (the user's own: the system follows no other) or a device or pipe is
// written through, rows as they come. "-" is standard output, written row
// by row with nothing to rename.
class ResultsFile {
  public:
    // Opens the target and makes the file beside it, before any board is
    // touched: raises Failure(WriteFailed) naming the target when it cannot
    // be written.
    ResultsFile(std::string target, std::string_view header);
    ~ResultsFile(); // an uncommitted file with no rows goes
    ResultsFile(const ResultsFile&) = delete;
    ResultsFile& operator=(const ResultsFile&) = delete;

    // One row, whole or not at all; raises Failure(WriteFailed) naming the
    // file and the rows kept.
    void write(std::string_view row);

    // Puts the rows in place under the target's name. Without any row, the
    // target is left as it was.
    void commit();

    std::size_t rows() const { return rows_; }
    const std::string& target() const { return target_; }

  private:
    void writeAll(std::string_view bytes, bool isRow);
    // Lets go of the file; a file must be closed before it can be renamed
    // on some systems.
    void close();

    std::string target_;
    std::string partial_;   // the file beside the target; "" when written through
    std::string header_;    // still to be written before the first row
    bool truncate_ = false; // a file written through, emptied when the first row comes
    bool takeBack_ = false; // a file, which can take back a row cut short
    int fd_ = -1;
    std::size_t rows_ = 0;
    bool done_ = false;
};

// A run of `total` codes that `failure` broke off after `done`: the rows so
// far are put in place in `csv` (none: no file) and the failure is raised
// again saying how far the run got. A failed write that a stop signal
// caused (`signal`: the one that came, or 0), such as a reader the same
// Ctrl-C ended, is only told, and returns: the signal is what ends the run.
void endEarly(const Failure& failure, std::size_t done, std::size_t total, ResultsFile* csv,
              int signal);

// Writes a whole file through `write`, which is handed a new file beside
// `path` to fill; that file takes `path`'s name once `write` returns true
// (through a link, its bytes go into the file the link leads to). Raises
// Failure(WriteFailed) naming `what` and `write`'s reason when it cannot.
void writeBeside(const std::string& path, const std::string& what,
                 const std::function<bool(const std::string& partial, std::string& error)>& write);

// What no output may name: the firmware image, and the results store with
// the files SQLite keeps beside it. Written over, the one would stop the
// board from starting, the other lose every run the lab kept.
struct KeptFiles {
    std::string firmware;
    std::string store; // a SQLite store's file; "" for none or a server
};
KeptFiles keptFilesOf(const session::CommonOptions& common);

// Refuses output paths before any board is touched: a folder, a path that
// names a kept file or the other output, a plot whose extension is not
// png, svg or pdf, or "-" where standard output cannot take it (all
// Failure(BadArguments)); then a plot that cannot be written
// (Failure(WriteFailed); the CSV's ResultsFile finds that for itself).
void checkOutputPaths(const std::string& csv, const std::string& plot, const KeptFiles& kept,
                      bool json);

// Raises Failure(WriteFailed) naming `what` and `path` when a whole file
// (a picture, a report) cannot be written there: its folder is missing or
// read-only, it is a link the system does not follow for this user, a
// device or a pipe, and so on.
void checkWritable(const std::string& path, const std::string& what);

// Refuses `path` as the output of `option`: a folder, a kept file, or the
// file another option already names ("-" and "" name none).
void checkOutputFile(const char* option, const std::string& path, const KeptFiles& kept,
                     std::initializer_list<std::pair<const char*, const std::string*>> others);

// A file name's extension in lower case, with its dot: ".png".
std::string extensionOf(const std::string& path);

// The plot format its file name asks for: "png", "svg" or "pdf".
std::string plotFormat(const std::string& path);

} // namespace qd::run
