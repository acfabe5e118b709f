#include "run/Station.h"

#include "measure/FigureKinds.h"
#include "meter/Resource.h"
#include "platform/File.h"
#include "platform/Output.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "results/Store.h"
#include "run/Columns.h"
#include "run/StationProtocol.h"
#include "scpi/Parser.h"
#include "session/ExitStatus.h"
#include "session/Session.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonValue>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <tuple>

namespace qd::run {

using session::BadArguments;
using session::Failure;

namespace {

// A DUT serial names the slot's files: nothing that leads elsewhere.
bool fileNameSafe(const std::string& text) {
    return !text.empty() && text.front() != '.' &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '-' || c == '_' || c == '.';
           });
}

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

std::string StationSlot::name(std::size_t number) const {
    return dut.empty() ? "slot" + std::to_string(number) : dut;
}

std::vector<StationSlot> parseStation(const std::string& text, const std::string& path) {
    std::vector<StationSlot> found;
    std::istringstream stream(text);
    std::string line;
    int number = 0;
    const auto refuse = [&](const std::string& why) {
        throw Failure(BadArguments, path + ":" + std::to_string(number) + ": " + why);
    };
    while (std::getline(stream, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> word;
        for (std::string w; words >> w;) {
            word.push_back(w);
        }
        if (word.empty()) {
            continue;
        }
        if (word.size() > 3 || word.size() < 2) {
            refuse("a slot is BOARD METER [DUT-SERIAL], this line has " +
                   std::to_string(word.size()) + (word.size() == 1 ? " word" : " words"));
        }
        StationSlot slot{number, word[0], word[1], word.size() == 3 ? word[2] : ""};
        std::string why;
        if (!meter::Resource::parse(slot.meter, why)) {
            refuse("the meter " + why);
        }
        if (!slot.dut.empty() && !fileNameSafe(slot.dut)) {
            refuse("the DUT serial \"" + slot.dut +
                   "\" names the slot's files: letters, digits, '-', '_' and '.' only");
        }
        for (const StationSlot& other : found) {
            for (const auto& [what, mine, theirs] :
                 {std::tuple{"board", &slot.board, &other.board},
                  std::tuple{"meter", &slot.meter, &other.meter},
                  std::tuple{"DUT serial", &slot.dut, &other.dut}}) {
                if (!mine->empty() && scpi::equalsIgnoringCase(*mine, *theirs)) {
                    refuse(std::string("the ") + what + " " + *mine + " is line " +
                           std::to_string(other.line) + "'s too: one slot each");
                }
            }
        }
        found.push_back(slot);
    }
    if (found.empty()) {
        throw Failure(BadArguments, path + ": no slot in it; one a line: BOARD METER [DUT-SERIAL]");
    }
    return found;
}

std::vector<StationSlot> readStationFile(const std::string& path) {
    std::string text, why;
    if (!platform::readRegularFile(path, std::size_t{1} << 20, text, why)) {
        throw Failure(BadArguments, "--station: " + why);
    }
    // Text would end at a NUL for some readers and not for others.
    if (const auto nul = text.find('\0'); nul != std::string::npos) {
        const auto line =
            std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n') + 1;
        throw Failure(BadArguments,
                      path + ":" + std::to_string(line) + ": a NUL byte; a station file is text");
    }
    return parseStation(text, path);
}

SlotFiles slotFiles(const StationSlot& slot, std::size_t number, const StationSetup& setup) {
    const QDir out(q(setup.out));
    const std::string base = slot.name(number);
    const auto file = [&](const std::string& name) { return out.filePath(q(name)).toStdString(); };
    SlotFiles files{file(base + ".csv"), "", ""};
    if (!setup.reportExtension.empty()) {
        files.report = file(base + "." + setup.reportExtension);
    }
    if (!setup.plotExtension.empty()) {
        files.plot = file(base + "-inl." + setup.plotExtension);
    }
    return files;
}

namespace {

// What makes two slots' boards one: the index the listing gives a serial,
// else the name as written (a board missing from the listing fails its
// slot alone).
std::string boardKey(const std::string& board,
                     const std::optional<std::vector<std::string>>& boards) {
    if (board.size() <= 3 &&
        std::all_of(board.begin(), board.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return "index " + std::to_string(std::stoi(board));
    }
    for (const std::string& line : boards.value_or(std::vector<std::string>{})) {
        const session::BoardFields fields = session::boardFields(line);
        if (scpi::equalsIgnoringCase(session::fieldOf(fields, "serial"), board)) {
            return "index " + session::fieldOf(fields, "id");
        }
    }
    return "serial " + QString::fromStdString(board).toLower().toStdString();
}

// A meter as what it is reached at: its device file, or the addresses of
// its host with its port (none for VXI-11, whose port the host's mapper
// gives: the host alone names the instrument).
struct MeterPlace {
    std::vector<std::string> places;
    unsigned port = 0;

    bool same(const MeterPlace& other) const {
        const bool onePort = port == 0 || other.port == 0 || port == other.port;
        return onePort && std::any_of(places.begin(), places.end(), [&](const std::string& p) {
                   return std::find(other.places.begin(), other.places.end(), p) !=
                          other.places.end();
               });
    }
};

MeterPlace meterPlace(const std::string& text) {
    std::string why;
    const auto resource = meter::Resource::parse(text, why); // parseStation took it
    if (resource->kind == meter::Resource::UsbTmc) {
        const QFileInfo file(q(resource->path));
        return {{(file.exists() ? file.canonicalFilePath() : QDir::cleanPath(file.filePath()))
                     .toStdString()},
                0};
    }
    MeterPlace place{{"host " + QString::fromStdString(resource->host).toLower().toStdString()},
                     resource->kind == meter::Resource::Socket ? resource->port : 0};
    if (platform::startSockets()) {
        const platform::TcpAddresses addresses(resource->host, "0");
        for (const std::string& address : addresses.numeric()) {
            place.places.push_back(address);
        }
    }
    return place;
}

std::string lowered(const std::string& text) {
    return QString::fromStdString(text).toCaseFolded().toStdString();
}

} // namespace

void checkStation(const StationSetup& setup) {
    const auto& listed = setup.stationSlots;
    if (setup.boards && listed.size() > setup.boards->size()) {
        throw Failure(BadArguments, setup.file + ": " + std::to_string(listed.size()) +
                                        " slots, but " + std::to_string(setup.boards->size()) +
                                        (setup.boards->size() == 1 ? " board" : " boards") +
                                        " here (qdctl list): one board a slot");
    }
    std::vector<std::string> boards;
    std::vector<MeterPlace> meters;
    std::vector<std::string> files; // each slot's, in lower case, in the slots' order
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const StationSlot& slot = listed[i];
        const auto refuse = [&](const std::string& what, const StationSlot& other) {
            throw Failure(BadArguments, setup.file + ":" + std::to_string(slot.line) + ": " + what +
                                            " is line " + std::to_string(other.line) +
                                            "'s too: one slot each");
        };
        boards.push_back(boardKey(slot.board, setup.boards));
        meters.push_back(meterPlace(slot.meter));
        for (std::size_t j = 0; j < i; ++j) {
            if (boards[j] == boards[i]) {
                refuse("the board " + slot.board + " (" + boards[i] + ")", listed[j]);
            }
            if (meters[j].same(meters[i])) {
                refuse("the meter " + slot.meter, listed[j]);
            }
        }
        const SlotFiles mine = slotFiles(slot, i + 1, setup);
        for (const std::string* path : {&mine.csv, &mine.report, &mine.plot}) {
            if (path->empty()) {
                continue;
            }
            const auto taken = std::find(files.begin(), files.end(), lowered(*path));
            if (taken != files.end()) {
                // Files go three a slot at most, in order.
                const std::size_t other = static_cast<std::size_t>(taken - files.begin()) / 3;
                refuse("the file " + *path, listed[other]);
            }
        }
        for (const std::string* path : {&mine.csv, &mine.report, &mine.plot}) {
            files.push_back(path->empty() ? std::string() : lowered(*path));
        }
    }
}

std::string SlotRun::label() const {
    return "slot " + std::to_string(number) + " (" + slot.name(number) + ")";
}

QJsonObject SlotRun::json() const {
    QJsonObject json = result;
    json.insert("slot", static_cast<qint64>(number));
    json.insert("line", slot.line);
    const QString boardSerial = json.value("board_serial").toString();
    json.insert("board", boardSerial.isEmpty() ? q(slot.board) : boardSerial);
    json.insert("serial", slot.dut.empty() ? QJsonValue(QJsonValue::Null) : q(slot.dut));
    json.insert("meter_resource", q(slot.meter));
    json.insert("status", status);
    if (!json.contains("verdict")) {
        json.insert("verdict", QJsonValue::Null);
    }
    if (!json.contains("run")) {
        json.insert("run", QJsonValue::Null);
    }
    if (json.contains("error")) {
        json.insert("message", json.value("error"));
    }
    json.insert("csv", q(csv));
    return json;
}

namespace {

// A slot's process and what it wrote on standard error that is not yet a
// whole line.
struct Child {
    std::unique_ptr<QProcess> process;
    QByteArray errors;
};

// A slot's qdctl characterize: what every slot shares, then its own board,
// meter, serial and files (named by its DUT serial in the folder), its
// answers as JSON and its place in the station. Its files' names go into
// `slot`.
QStringList slotArguments(SlotRun& slot, const StationSetup& setup, const std::string& station) {
    const SlotFiles files = slotFiles(slot.slot, slot.number, setup);
    slot.csv = files.csv;
    slot.report = files.report;
    slot.plot = files.plot;
    QStringList arguments;
    for (const std::string& a : setup.shared) {
        arguments << q(a);
    }
    arguments << "--board" << q(slot.slot.board) << "--meter" << q(slot.slot.meter) << "--csv"
              << q(slot.csv);
    if (!slot.slot.dut.empty()) {
        arguments << "--serial" << q(slot.slot.dut);
    }
    if (!slot.report.empty()) {
        arguments << "--report" << q(slot.report);
    }
    if (!slot.plot.empty()) {
        arguments << "--plot" << q(slot.plot);
    }
    if (!setup.resume.empty()) {
        // A slot that never wrote a row has no file: all its codes are
        // missing.
        const QString before =
            QDir(q(setup.resume)).filePath(q(slot.slot.name(slot.number) + ".csv"));
        if (QFileInfo::exists(before)) {
            arguments << "--resume" << before;
        }
    }
    arguments << "--json"
              << "--station-slot" << q(station + ":" + std::to_string(slot.number))
              << "--station-parent" << QString::number(platform::processId());
    if (!setup.commandLine.empty()) {
        arguments << "--station-command" << q(setup.commandLine);
    }
    return arguments;
}

// What a slot said on standard error so far: its progress, and its
// messages handed on.
void readSlotErrors(SlotRun& slot, Child& child, StationWatcher& watcher) {
    child.errors += child.process->readAllStandardError();
    for (qsizetype end; (end = child.errors.indexOf('\n')) >= 0;) {
        const QByteArray line = child.errors.left(end).trimmed();
        child.errors.remove(0, end + 1);
        if (const auto p = slotProgressOf(line.toStdString())) {
            slot.done = p->done;
            slot.total = p->total;
        } else if (!line.isEmpty()) {
            const QByteArray own = "qdctl: ";
            watcher.message(slot,
                            (line.startsWith(own) ? line.mid(own.size()) : line).toStdString());
        }
    }
}

// The slots as they run: each one's process watched, its end counted, a
// stop handed on to those still running.
class Station {
  public:
    Station(const StationSetup& setup, StationWatcher& watcher, const std::function<int()>& stop)
        : watcher_(watcher), stop_(stop) {
        result_.station = results::newRunId();
        result_.slotRuns.reserve(setup.stationSlots.size());
        children_.reserve(setup.stationSlots.size());
        for (std::size_t i = 0; i < setup.stationSlots.size(); ++i) {
            SlotRun slot;
            slot.slot = setup.stationSlots[i];
            slot.number = i + 1;
            const QStringList arguments = slotArguments(slot, setup, result_.station);
            result_.slotRuns.push_back(std::move(slot));
            Child child{std::make_unique<QProcess>(), {}};
            child.process->setProgram(q(setup.program));
            child.process->setArguments(arguments);
            children_.push_back(std::move(child));
        }
        for (std::size_t i = 0; i < children_.size(); ++i) {
            connectSlot(i);
        }
    }

    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;
    // Every slot has ended by now; nothing a process says as it goes may
    // reach the slots moved out.
    ~Station() {
        for (Child& child : children_) {
            child.process->disconnect();
        }
    }

    StationResult run() {
        watcher_.started(result_.slotRuns);
        QTimer ticks;
        QObject::connect(&ticks, &QTimer::timeout, [this] {
            handOnStop();
            watcher_.tick();
        });
        ticks.start(200);
        for (std::size_t i = 0; i < children_.size(); ++i) {
            result_.slotRuns[i].started = std::chrono::steady_clock::now();
            children_[i].process->start();
        }
        loop_.exec();
        ticks.stop();

        const int signal = stop_();
        const bool allPassed = std::all_of(result_.slotRuns.begin(), result_.slotRuns.end(),
                                           [](const SlotRun& s) { return s.status == 0; });
        result_.status = signal != 0 ? 128 + signal : allPassed ? 0 : session::CheckFailed;
        return std::move(result_);
    }

  private:
    void connectSlot(std::size_t i) {
        QProcess* process = children_[i].process.get();
        QObject::connect(process, &QProcess::readyReadStandardError, [this, i] {
            readSlotErrors(result_.slotRuns[i], children_[i], watcher_);
        });
        QObject::connect(process, &QProcess::finished,
                         [this, i](int code, QProcess::ExitStatus how) { ended(i, code, how); });
        QObject::connect(process, &QProcess::errorOccurred,
                         [this, i](QProcess::ProcessError error) {
                             if (error == QProcess::FailedToStart) {
                                 const QProcess& p = *children_[i].process;
                                 watcher_.message(result_.slotRuns[i],
                                                  "cannot start " + p.program().toStdString() +
                                                      ": " + p.errorString().toStdString());
                                 end(i, session::LibraryFailed);
                             }
                         });
    }

    // A slot that crashed ended by a signal: the one the system names (Qt
    // gives it as the code where it can), else the one handed on.
    void ended(std::size_t i, int code, QProcess::ExitStatus how) {
        if (how == QProcess::NormalExit) {
            end(i, code);
            return;
        }
        const int handedOn = stop_();
        const int signal = code > 0 && code < 65 ? code : handedOn;
        if (signal != 0 && signal != handedOn) {
            watcher_.message(result_.slotRuns[i], "ended by signal " + std::to_string(signal));
        }
        end(i, signal != 0 ? 128 + signal : session::LibraryFailed);
    }

    void end(std::size_t i, int status) {
        SlotRun& slot = result_.slotRuns[i];
        if (slot.finished) {
            return;
        }
        slot.finished = true;
        slot.status = status;
        slot.result = slotResultOf(children_[i].process->readAllStandardOutput().toStdString());
        if (++ended_ == result_.slotRuns.size()) {
            loop_.quit();
        }
    }

    // A signal sent to the station alone is handed on once, so that each
    // slot ends after its row.
    void handOnStop() {
        const int signal = stop_();
        if (signal == 0 || signal == forwarded_) {
            return;
        }
        for (std::size_t i = 0; i < children_.size(); ++i) {
            if (!result_.slotRuns[i].finished) {
                platform::signalProcess(static_cast<int>(children_[i].process->processId()),
                                        signal);
            }
        }
        forwarded_ = signal;
    }

    StationWatcher& watcher_;
    const std::function<int()>& stop_;
    StationResult result_;
    std::vector<Child> children_;
    QEventLoop loop_;
    std::size_t ended_ = 0;
    int forwarded_ = 0;
};

} // namespace

std::vector<std::string> sharedArguments(const std::vector<std::string>& arguments) {
    static const char* const kOwnValue[] = {
        "--station", "--out",   "--csv",    "--report", "--plot",         "--serial",
        "--board",   "--meter", "--resume", "--from",   "--station-slot", "--station-parent"};
    static const char* const kOwnFlag[] = {"--json", "-q", "--quiet", "--no-progress"};
    std::vector<std::string> shared;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        const std::string name = arg.substr(0, arg.find('='));
        if (std::find(std::begin(kOwnFlag), std::end(kOwnFlag), arg) != std::end(kOwnFlag)) {
            continue;
        }
        if (std::find(std::begin(kOwnValue), std::end(kOwnValue), name) != std::end(kOwnValue)) {
            if (name == arg) {
                ++i; // its value
            }
            continue;
        }
        shared.push_back(arg);
    }
    return shared;
}

StationResult runStation(const StationSetup& setup, StationWatcher& watcher,
                         const std::function<int()>& stop) {
    if (setup.stationSlots.empty()) {
        // Nothing would ever end the wait for the slots' ends.
        throw Failure(BadArguments, "a station needs a slot: one a line, BOARD METER [DUT-SERIAL]");
    }
    checkStation(setup);
    if (std::string why; !platform::folderTakesResults(setup.out, why)) {
        throw Failure(session::WriteFailed, "--out: cannot write into " + setup.out + ": " + why);
    }
    if (!QDir().mkpath(q(setup.out))) {
        throw Failure(session::WriteFailed, "--out: cannot make the folder " + setup.out);
    }
    if (std::string why; !platform::childrenEndWithThisProcess(why)) {
        throw Failure(session::LibraryFailed,
                      "cannot tie the slots' processes to the station's, which they would "
                      "outlive: " +
                          why);
    }
    Station station(setup, watcher, stop);
    return station.run();
}

namespace {

// The larger magnitude of a figure's min and max, as a datasheet gives
// INL and DNL.
std::optional<double> largest(const QJsonValue& span) {
    const QJsonObject o = span.toObject();
    if (!o.contains("min") || !o.contains("max")) {
        return std::nullopt;
    }
    return std::max(std::fabs(o["min"].toObject()["value"].toDouble()),
                    std::fabs(o["max"].toObject()["value"].toDouble()));
}

std::string number(std::optional<double> value, const char* format) {
    if (!value) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, format, *value);
    return text;
}

// Why each slot that did not pass was judged so: the figures beyond their
// limits and those whose uncertainty straddles them, as a run alone gives
// them under its verdict.
std::string verdictReasons(const StationResult& station) {
    std::string text;
    for (const SlotRun& slot : station.slotRuns) {
        const QJsonObject json = slot.json();
        std::string lines;
        for (const char* kind : {"failures", "conditional"}) {
            for (const QJsonValue line : json[kind].toArray()) {
                lines += "  " + line.toString().toStdString() + "\n";
            }
        }
        if (!lines.empty()) {
            text += slot.label() + " " + json["verdict"].toString().toStdString() + ":\n" + lines;
        }
    }
    return text;
}

} // namespace

std::string stationSummary(const StationResult& station) {
    std::vector<std::vector<std::string>> rows = {{"slot", "board", "serial", "status", "verdict",
                                                   "offset/mV", "gain/%", "INL/LSB", "DNL/LSB",
                                                   "run"}};
    std::size_t passed = 0;
    for (const SlotRun& slot : station.slotRuns) {
        const QJsonObject json = slot.json();
        const QJsonObject figures = json["figures"].toObject();
        const auto value = [&](const char* name) -> std::optional<double> {
            const QJsonValue v = figures[name].toObject()["value"];
            return v.isDouble() ? std::optional(v.toDouble()) : std::nullopt;
        };
        passed += slot.status == 0 ? 1 : 0;
        rows.push_back(
            {std::to_string(slot.number), json["board"].toString().toStdString(),
             slot.slot.dut.empty() ? "-" : slot.slot.dut, std::to_string(slot.status),
             json["verdict"].isString() ? json["verdict"].toString().toStdString() : "-",
             number(value(measure::kOffsetError.name), "%.3f"),
             number(value(measure::kGainError.name), "%.4f"),
             number(largest(figures[measure::kInlBestFit.name]), "%.3f"),
             number(largest(figures[measure::kDnl.name]), "%.3f"),
             json["run"].isString() ? json["run"].toString().left(8).toStdString() : "-"});
    }
    const std::size_t count = station.slotRuns.size();
    return "station " + station.station + ": " + std::to_string(count) +
           (count == 1 ? " slot, " : " slots, ") + std::to_string(passed) + " passed\n" +
           columnsText(rows) + verdictReasons(station);
}

} // namespace qd::run
