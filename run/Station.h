#pragma once

// A station: one characterization per slot of a station file, all at once,
// each a `qdctl characterize` of its own with its own board, meter, files
// and recorded run, so that a slot whose board or meter fails ends alone.
// The slots speak to the station as run/StationProtocol.h says.

#include <QJsonObject>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qd::run {

// One line of a station file: BOARD METER [DUT-SERIAL].
struct StationSlot {
    int line = 0;
    std::string board; // a serial or an index, as qdctl list shows them
    std::string meter; // a resource, as --meter takes it
    std::string dut;   // the unit's serial, "" when not given

    // What its files are named by: the DUT serial, else slotN.
    std::string name(std::size_t number) const;
};

// The slots of a station file's text; Failure(BadArguments) naming
// "PATH:LINE" for a line that is not one, a board, meter or DUT given twice
// and a file with no slot at all.
std::vector<StationSlot> parseStation(const std::string& text, const std::string& path);

// The slots of the station file at `path`, read as --station names it;
// Failure(BadArguments) when it is no regular file of text (a FIFO is
// refused, not waited on) or cannot be read, as parseStation otherwise.
std::vector<StationSlot> readStationFile(const std::string& path);

struct StationSetup {
    std::string file; // the station file, as its refusals name it
    std::vector<StationSlot> stationSlots;
    // The boards the link library lists ("id=1 … serial=…"); nullopt from
    // one that cannot list them.
    std::optional<std::vector<std::string>> boards;
    std::string program;             // the qdctl each slot runs
    std::vector<std::string> shared; // the characterize arguments every slot shares
    std::string commandLine;         // the station's, as typed: what each slot's run records
    std::string out = ".";           // the folder each slot's files go to
    std::string reportExtension;     // each slot's report: "html", "pdf", ...; "" for none
    std::string plotExtension;       // each slot's INL plot, likewise
    std::string resume; // the folder of an earlier run's CSVs, each slot's to finish; "" for none
};

// Each file a slot writes, in the station's folder.
struct SlotFiles {
    std::string csv, report, plot; // "" for one not asked for
};
SlotFiles slotFiles(const StationSlot& slot, std::size_t number, const StationSetup& setup);

// Refuses (Failure(BadArguments), naming the station file and its line)
// what would put two slots on one thing, however each is spelled: a board
// by its index and by its serial, a meter by two names of its host or two
// ways of writing its resource, a file two slots would write (names
// compared in any case, as Windows does); and more slots than boards listed.
void checkStation(const StationSetup& setup);

// A slot as it runs and as it ended.
struct SlotRun {
    StationSlot slot;
    std::size_t number = 0; // from 1, in the file's order
    std::string csv, report, plot;
    std::chrono::steady_clock::time_point started;
    std::size_t done = 0, total = 0; // codes, as it last said
    bool finished = false;
    int status = 0;
    QJsonObject result; // its last JSON object: figures, verdict and run, or its error

    std::string label() const; // "slot N (NAME)"
    // The slot as the station's JSON gives it: its result with its place,
    // board, serial, meter, status and CSV.
    QJsonObject json() const;
};

// Who watches a station: a terminal's lines, a window's grid.
class StationWatcher {
  public:
    virtual ~StationWatcher() = default;
    // The slots, about to start; they live, and change, until runStation
    // returns.
    virtual void started(const std::vector<SlotRun>& /*runs*/) {}
    // A line a slot wrote for its user, its "qdctl: " taken off.
    virtual void message(const SlotRun& slot, const std::string& line) = 0;
    // A few times a second while the slots run.
    virtual void tick() {}
};

struct StationResult {
    std::string station; // the id each slot's run is kept under
    std::vector<SlotRun> slotRuns;
    int status = 0; // 0 when each passed, 128 + the signal that ended them, 1 otherwise
};

// The arguments every slot shares: a characterize command line as given
// (its arguments after the program's name) without what each slot has its
// own of (its board, meter, files, serial), what only the station itself
// does (--station, --out) and how it answers (--json, --quiet), which the
// station reads from its slots in its own form.
std::vector<std::string> sharedArguments(const std::vector<std::string>& arguments);

// Runs every slot to its end, once checkStation passes; each slot ends
// with the station however it ends, killed outright included. `stop` is
// asked a few times a second: a signal it gives is handed to each slot
// still running, which ends after its current code with its rows kept
// (Ctrl-C on a terminal reaches them itself). Needs a Qt application
// object; Failure(WriteFailed) when the folder cannot be made or is a link
// the system would not follow for results.
StationResult runStation(const StationSetup& setup, StationWatcher& watcher,
                         const std::function<int()>& stop);

// The station's summary as qdctl prints it: a line of its id and how many
// passed, a row a slot (board, serial, status, verdict, figures, run), then
// why each slot that did not pass was judged so.
std::string stationSummary(const StationResult& station);

} // namespace qd::run
