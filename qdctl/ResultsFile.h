#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qd::cli {

// A sweep's CSV as it is measured: rows go, one write each, to a new file
// beside the target, which takes the target's name when the sweep ends
// (commit), also when it ends early. A sweep that ends before its first row
// leaves an earlier file of that name as it was. "-" is standard output,
// written row by row with nothing to rename.
class ResultsFile {
  public:
    // Creates the file beside `target` and writes `header` into it, before
    // any board is touched: raises Failure(BadArguments) when it cannot be
    // created, Failure(WriteFailed) when it cannot be written.
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
    // Where rows are until commit: shown if a sweep is killed.
    const std::string& partialPath() const { return partial_; }

  private:
    void writeAll(std::string_view bytes, bool isRow);
    // Lets go of the file; a file must be closed before it can be renamed
    // on some systems.
    void close();

    std::string target_;
    std::string placed_; // the file the rows end up in: the target, or where its link leads
    std::string partial_;
    int fd_ = -1;
    std::size_t rows_ = 0;
    bool done_ = false;
};

// Writes a whole file through `write`, which is handed a new file beside
// `path` to fill; that file takes `path`'s name once `write` returns true.
// Raises Failure(WriteFailed) naming `what` and `write`'s reason when it
// cannot.
void writeBeside(const std::string& path, const std::string& what,
                 const std::function<bool(const std::string& partial, std::string& error)>& write);

// Refuses output paths before any board is touched: a folder, a path that
// names the firmware image or the other output, a plot whose extension is
// not png, svg or pdf, or "-" where standard output cannot take it.
void checkOutputPaths(const std::string& csv, const std::string& plot, const std::string& firmware,
                      bool json);

// The plot format its file name asks for: "png", "svg" or "pdf".
std::string plotFormat(const std::string& path);

} // namespace qd::cli
