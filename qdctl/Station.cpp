#include "qdctl/Station.h"

#include "measure/FigureKinds.h"
#include "meter/Resource.h"
#include "platform/Process.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/Progress.h"
#include "qdctl/StopSignals.h"
#include "results/Store.h"
#include "run/StationProtocol.h"
#include "scpi/Parser.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"
#include "session/System.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <tuple>

namespace qd::qdctl {

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

std::vector<std::string> sharedArguments(const std::vector<std::string>& arguments) {
    static const char* const kOwnValue[] = {"--station", "--out",    "--csv",         "--report",
                                            "--plot",    "--serial", "--board",       "--meter",
                                            "--resume",  "--from",   "--station-slot"};
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

namespace {

// One slot's qdctl as it runs.
struct Running {
    StationSlot slot;
    std::size_t number = 0;
    std::string csv, report, plot;
    std::unique_ptr<QProcess> process;
    QByteArray errors; // standard error not yet a whole line
    std::size_t done = 0, total = 0;
    std::chrono::steady_clock::time_point started;
    bool finished = false;
    int status = 0;
    QJsonObject result; // the slot's last line of JSON

    std::string label() const {
        return "slot " + std::to_string(number) + " (" + slot.name(number) + ")";
    }

    std::string progressText() const {
        if (finished) {
            return label() + ": ended, status " + std::to_string(status);
        }
        if (total == 0) {
            return label() + ": starting";
        }
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0;
        char text[160];
        std::snprintf(text, sizeof text, ": %zu/%zu codes (%zu%%), %s left", done, total,
                      100 * done / total, minutesAndSeconds(left).c_str());
        return label() + text;
    }
};

// The progress of every slot: one line each, redrawn in place on a terminal
// that can, a line per slot every few seconds otherwise (a log, a CI job).
class StationProgress {
  public:
    StationProgress(std::vector<std::unique_ptr<Running>>& running, bool enabled)
        : running_(running), enabled_(enabled),
          redraw_(enabled && session::sysCanRedrawLines(session::kStandardError)),
          shown_(std::chrono::steady_clock::now()) {}

    void message(const std::string& line) {
        clear();
        session::writeMessage(line);
        draw();
    }

    void tick() {
        if (!enabled_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (redraw_) {
            clear();
            draw();
        } else if (now - shown_ >= std::chrono::seconds(5)) {
            for (const auto& r : running_) {
                if (!r->finished) {
                    session::writeMessage(r->progressText());
                }
            }
            shown_ = now;
        }
    }

    void finish() { clear(); }

  private:
    void clear() {
        if (drawn_ > 0) {
            std::fprintf(stderr, "\x1b[%zuA\r\x1b[J", drawn_);
            drawn_ = 0;
        }
    }
    void draw() {
        if (!redraw_) {
            return;
        }
        for (const auto& r : running_) {
            std::fprintf(stderr, "%s\n", r->progressText().c_str());
        }
        std::fflush(stderr);
        drawn_ = running_.size();
    }

    std::vector<std::unique_ptr<Running>>& running_;
    bool enabled_;
    bool redraw_;
    std::size_t drawn_ = 0;
    std::chrono::steady_clock::time_point shown_;
};

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string extensionOf(const std::string& path) {
    return QFileInfo(q(path)).suffix().toStdString();
}

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

QJsonObject slotJson(const Running& r) {
    QJsonObject json = r.result;
    json.insert("slot", static_cast<qint64>(r.number));
    json.insert("line", r.slot.line);
    const QString boardSerial = json.value("board_serial").toString();
    json.insert("board", boardSerial.isEmpty() ? q(r.slot.board) : boardSerial);
    json.insert("serial", r.slot.dut.empty() ? QJsonValue(QJsonValue::Null) : q(r.slot.dut));
    json.insert("meter_resource", q(r.slot.meter));
    json.insert("status", r.status);
    if (!json.contains("verdict")) {
        json.insert("verdict", QJsonValue::Null);
    }
    if (!json.contains("run")) {
        json.insert("run", QJsonValue::Null);
    }
    if (json.contains("error")) {
        json.insert("message", json.value("error"));
    }
    json.insert("csv", q(r.csv));
    return json;
}

std::string summaryText(const std::vector<std::unique_ptr<Running>>& running,
                        const std::string& station) {
    std::vector<std::vector<std::string>> rows = {{"slot", "board", "serial", "status", "verdict",
                                                   "offset/mV", "gain/%", "INL/LSB", "DNL/LSB",
                                                   "run"}};
    std::size_t passed = 0;
    for (const auto& r : running) {
        const QJsonObject json = slotJson(*r);
        const QJsonObject figures = json["figures"].toObject();
        const auto value = [&](const char* name) -> std::optional<double> {
            const QJsonValue v = figures[name].toObject()["value"];
            return v.isDouble() ? std::optional(v.toDouble()) : std::nullopt;
        };
        passed += r->status == 0 ? 1 : 0;
        rows.push_back(
            {std::to_string(r->number), json["board"].toString().toStdString(),
             r->slot.dut.empty() ? "-" : r->slot.dut, std::to_string(r->status),
             json["verdict"].isString() ? json["verdict"].toString().toStdString() : "-",
             number(value(measure::kOffsetError.name), "%.3f"),
             number(value(measure::kGainError.name), "%.4f"),
             number(largest(figures[measure::kInlBestFit.name]), "%.3f"),
             number(largest(figures[measure::kDnl.name]), "%.3f"),
             json["run"].isString() ? json["run"].toString().left(8).toStdString() : "-"});
    }
    return "station " + station + ": " + std::to_string(running.size()) +
           (running.size() == 1 ? " slot, " : " slots, ") + std::to_string(passed) + " passed\n" +
           columnsText(rows);
}

// A slot's qdctl characterize: what every slot shares, then its own board,
// meter, serial and files (named by its DUT serial in --out), its answers
// as JSON and its place in the station. Its files' names go into `r`.
QStringList slotArguments(Running& r, const std::vector<std::string>& shared,
                          const StationRequest& request, const QDir& out,
                          const std::string& station) {
    const std::string base = r.slot.name(r.number);
    r.csv = out.filePath(q(base + ".csv")).toStdString();
    QStringList arguments;
    for (const std::string& a : shared) {
        arguments << q(a);
    }
    arguments << "--board" << q(r.slot.board) << "--meter" << q(r.slot.meter) << "--csv"
              << q(r.csv);
    if (!r.slot.dut.empty()) {
        arguments << "--serial" << q(r.slot.dut);
    }
    if (!request.report.empty()) {
        r.report = out.filePath(q(base + "." + extensionOf(request.report))).toStdString();
        arguments << "--report" << q(r.report);
    }
    if (!request.plot.empty()) {
        r.plot = out.filePath(q(base + "-inl." + extensionOf(request.plot))).toStdString();
        arguments << "--plot" << q(r.plot);
    }
    arguments << "--json"
              << "--station-slot" << q(station + ":" + std::to_string(r.number));
    return arguments;
}

// The station file's slots; Failure(BadArguments) when it cannot be read.
std::vector<StationSlot> readStationFile(const std::string& path) {
    QFile file(q(path));
    constexpr qint64 kLargest = 1 << 20;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kLargest) {
        throw Failure(BadArguments, "--station: cannot read " + path + ": " +
                                        (file.isOpen() ? std::string("larger than 1 MiB")
                                                       : file.errorString().toStdString()));
    }
    return parseStation(file.read(kLargest).toStdString(), path);
}

// Every slot's outcome: the summary table, or one JSON object.
void printStation(const std::vector<std::unique_ptr<Running>>& running, const std::string& station,
                  int status, bool json) {
    if (!json) {
        session::writeStandardOutput(summaryText(running, station));
        return;
    }
    QJsonArray array;
    for (const auto& r : running) {
        array.append(slotJson(*r));
    }
    const QJsonObject object{{"station", q(station)}, {"status", status}, {"slots", array}};
    session::writeStandardOutput(
        QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n");
}

// What a slot said on standard error so far: its progress, and its
// messages handed on with the slot named.
void readSlotErrors(Running& slot, StationProgress& progress) {
    slot.errors += slot.process->readAllStandardError();
    for (qsizetype end; (end = slot.errors.indexOf('\n')) >= 0;) {
        const QByteArray line = slot.errors.left(end).trimmed();
        slot.errors.remove(0, end + 1);
        if (const auto p = run::slotProgressOf(line.toStdString())) {
            slot.done = p->done;
            slot.total = p->total;
        } else if (!line.isEmpty()) {
            const QByteArray own = "qdctl: ";
            progress.message(slot.label() + ": " +
                             (line.startsWith(own) ? line.mid(own.size()) : line).toStdString());
        }
    }
}

// Ctrl-C reaches every slot from the terminal; a signal sent to the
// station alone is handed on, so that each slot ends after its row. The
// signal handed on so far.
int handOnStop(const std::vector<std::unique_ptr<Running>>& running, int forwarded) {
    const int signal = stopSignal();
    if (signal == 0 || signal == forwarded) {
        return forwarded;
    }
    for (const auto& r : running) {
        if (!r->finished) {
            platform::signalProcess(static_cast<int>(r->process->processId()), signal);
        }
    }
    return signal;
}

// A slot's process watched: its standard error read as it comes, its end
// (or its failing to start) handed to `endSlot` with its status.
void connectSlot(Running& running, StationProgress& progress,
                 const std::function<void(Running&, int)>& endSlot) {
    Running* slot = &running;
    QObject::connect(slot->process.get(), &QProcess::readyReadStandardError,
                     [slot, &progress] { readSlotErrors(*slot, progress); });
    QObject::connect(slot->process.get(), &QProcess::finished,
                     [&endSlot, slot](int code, QProcess::ExitStatus how) {
                         const int signal = stopSignal();
                         endSlot(*slot, how == QProcess::NormalExit ? code
                                        : signal != 0               ? 128 + signal
                                                                    : session::LibraryFailed);
                     });
    QObject::connect(slot->process.get(), &QProcess::errorOccurred,
                     [&endSlot, &progress, slot](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             progress.message(slot->label() + ": cannot start " +
                                              slot->process->program().toStdString() + ": " +
                                              slot->process->errorString().toStdString());
                             endSlot(*slot, session::LibraryFailed);
                         }
                     });
}

} // namespace

int runStation(const StationRequest& request, const session::CommonOptions& common) {
    const std::vector<StationSlot> parsed = readStationFile(request.file);
    if (!QDir().mkpath(q(request.out))) {
        throw Failure(session::WriteFailed, "--out: cannot make the folder " + request.out);
    }
    const std::string station = results::newRunId();
    const std::vector<std::string> shared = sharedArguments(common.arguments);

    static int argc = 1;
    static char name[] = "qdctl";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (QCoreApplication::instance() == nullptr) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    const QString program = QCoreApplication::applicationFilePath();
    const QDir out(q(request.out));

    std::vector<std::unique_ptr<Running>> running;
    StationProgress progress(running, !common.quiet && !common.json);
    QEventLoop loop;
    std::size_t ended = 0;
    const std::function<void(Running&, int)> endSlot = [&](Running& r, int status) {
        if (r.finished) {
            return;
        }
        r.finished = true;
        r.status = status;
        r.result = run::slotResultOf(r.process->readAllStandardOutput().toStdString());
        if (++ended == running.size()) {
            loop.quit();
        }
    };
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        auto r = std::make_unique<Running>();
        r->slot = parsed[i];
        r->number = i + 1;
        const QStringList arguments = slotArguments(*r, shared, request, out, station);
        r->process = std::make_unique<QProcess>();
        r->process->setProgram(program);
        r->process->setArguments(arguments);
        Running* slot = r.get();
        connectSlot(*slot, progress, endSlot);
        running.push_back(std::move(r));
    }

    const StopOnSignals stopOnSignals;
    int forwarded = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        forwarded = handOnStop(running, forwarded);
        progress.tick();
    });
    ticks.start(200);
    for (const auto& r : running) {
        r->started = std::chrono::steady_clock::now();
        r->process->start();
    }
    loop.exec();
    ticks.stop();
    progress.finish();

    const int signal = stopSignal();
    const bool allPassed =
        std::all_of(running.begin(), running.end(), [](const auto& r) { return r->status == 0; });
    const int status = signal != 0 ? 128 + signal : allPassed ? 0 : session::CheckFailed;
    printStation(running, station, status, common.json);
    return status;
}

} // namespace qd::qdctl
