// The engine in one process, no program started: a characterization of the
// simulated board measured by the simulated meter, spoken to without a
// socket, each run kept in a store of its own test's, and a stop that keeps
// the rows so far.

#include "TempDir.h"
#include "drivers/SimBoard.h"
#include "meter/Transport.h"
#include "report/Plot.h"
#include "run/Characterize.h"
#include "run/CharacterizeCsv.h"
#include "run/LotDatasheet.h"
#include "run/Recording.h"
#include "run/Settings.h"
#include "run/StationProtocol.h"
#include "run/Times.h"
#include "session/ExitStatus.h"
#include "simmeter/SimMeter.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <deque>
#include <gtest/gtest.h>
#include <memory>
#include <string>

using namespace qd;

namespace {

// The simulated meter as a transport: each message is run at once, its
// answer (a line, or a stale line behind it) waits to be received.
class InProcessMeter final : public meter::Transport {
  public:
    explicit InProcessMeter(simmeter::SimMeter& meter) : meter_(meter) {}
    void send(std::string_view message) override {
        std::string answer = meter_.execute(message, client_);
        for (std::size_t line = 0; !answer.empty() && line != std::string::npos;) {
            const std::size_t end = answer.find('\n', line);
            answers_.push_back(answer.substr(line, end == std::string::npos ? end : end - line));
            line = end == std::string::npos ? end : end + 1;
        }
    }
    std::string receive(std::chrono::milliseconds) override {
        if (answers_.empty()) {
            throw meter::MeterTimeout("the simulated meter has nothing to say");
        }
        std::string answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    std::size_t drain() override {
        const std::size_t n = answers_.size();
        answers_.clear();
        return n;
    }

  private:
    simmeter::SimMeter& meter_;
    scpi::ClientStatus client_;
    std::deque<std::string> answers_;
};

// Counts what a run tells its watcher.
struct CountingWatcher final : run::Watcher {
    void started(std::size_t total) override { planned = total; }
    void progress(std::size_t done, std::size_t) override { last = done; }
    void finished() override { ++ends; }
    std::size_t planned = 0, last = 0;
    int ends = 0;
};

class Engine : public ::testing::Test {
  protected:
    void SetUp() override {
        qputenv("QD_BOARD", "sim");
        qputenv("QD_BOARD_STATE", QByteArray::fromStdString(dir.file("board.state")));
        qputenv("QD_BOARD_MODEL", "typical");
        common.results = "sqlite:" + dir.file("results.sqlite");
        common.quiet = true;
        const drivers::SimConfig config = drivers::SimConfig::fromEnvironment();
        meter = std::make_unique<simmeter::SimMeter>(
            [config](std::uint64_t index) {
                return drivers::peekSimOutput(config).model.outputVolts(
                    boardmodel::kMeterOutputStream, index);
            },
            [](double) {}, "test");
    }

    // Characterizes `setup` with the in-process meter; the run recorded
    // ends as qdctl ends it, with the status the result asks for.
    run::CharacterizeResult characterize(const run::CharacterizeSetup& setup,
                                         run::Context& context) {
        run::CharacterizeResult r;
        context.connectMeter = [this](const meter::Resource&, std::chrono::milliseconds) {
            return std::make_unique<InProcessMeter>(*meter);
        };
        context.recording.around([&] {
            r = run::characterize(setup, common, context);
            return r.signal != 0 ? 128 + r.signal : r.verdict.pass ? 0 : 1;
        });
        return r;
    }

    static run::CharacterizeSetup qd1200() {
        run::CharacterizeSetup s;
        s.device.device = "QD1200";
        s.meter = "TCPIP::in-process::SOCKET";
        s.codes = "40"; // every 64th of 4096 codes, the fit range's ends among them
        s.samples = 2;
        s.settleMs = 0;
        return s;
    }

    TempDir dir;
    session::CommonOptions common;
    std::unique_ptr<simmeter::SimMeter> meter;
};

TEST_F(Engine, CharacterizesAndRecordsWithoutStartingAProgram) {
    run::Recording recording(common, "characterize", run::Records::Many);
    CountingWatcher watcher;
    run::Context context(recording);
    context.watcher = &watcher;
    const run::CharacterizeResult r = characterize(qd1200(), context);

    ASSERT_TRUE(r.figures) << r.endMessage;
    EXPECT_TRUE(r.verdict.pass);
    EXPECT_EQ(r.measured, r.planned);
    EXPECT_EQ(watcher.planned, r.planned);
    EXPECT_EQ(watcher.last, r.planned);
    EXPECT_EQ(watcher.ends, 1);

    const auto store = run::Recording::storeToRead(common);
    ASSERT_FALSE(recording.id().empty());
    EXPECT_EQ(store->find(recording.id()).get("verdict"), "PASS");
    EXPECT_EQ(store->readings(recording.id()).size(), r.measured * 2) << "two samples a code";
    EXPECT_FALSE(store->figures(recording.id()).empty());

    // The store's readings alone give the figures the run gave.
    const results::Run kept = store->find(recording.id());
    const auto stored = run::figuresOfStored(kept, store->readings(recording.id()));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->offset.value, r.figures->offset.value);
    EXPECT_EQ(stored->offset.uncertainty, r.figures->offset.uncertainty);
    ASSERT_EQ(stored->codes.size(), r.figures->codes.size());
    for (std::size_t i = 0; i < stored->codes.size(); ++i) {
        EXPECT_EQ(stored->codes[i].inlBestFit, r.figures->codes[i].inlBestFit)
            << "code " << stored->codes[i].code;
    }

    // Its settings, read back from the store, are those its CSV holds.
    const auto asCsv = run::storedCsvSetup(kept);
    for (const auto& setting : run::csvSetupOf(r)) {
        EXPECT_NE(std::find(asCsv.begin(), asCsv.end(), setting), asCsv.end())
            << setting.first << ": " << setting.second;
    }
}

TEST_F(Engine, AStopKeepsTheRowsSoFarInItsOwnRun) {
    // A whole run first: the stopped one beside it must keep to its own.
    run::Recording whole(common, "characterize", run::Records::Many);
    run::Context first(whole);
    const run::CharacterizeResult all = characterize(qd1200(), first);

    run::Recording stopped(common, "characterize", run::Records::Many);
    CountingWatcher watcher;
    run::Context context(stopped);
    context.watcher = &watcher;
    context.stop = [&watcher] { return watcher.last >= 10 ? SIGINT : 0; };
    run::CharacterizeSetup setup = qd1200();
    setup.noPreflight = true;
    const run::CharacterizeResult r = characterize(setup, context);

    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.measured, 10u);
    EXPECT_FALSE(r.verdict.pass);
    const auto store = run::Recording::storeToRead(common);
    EXPECT_EQ(store->find(stopped.id()).get("verdict"), "INTERRUPTED");
    EXPECT_EQ(store->readings(stopped.id()).size(), 20u);
    EXPECT_EQ(store->readings(whole.id()).size(), all.measured * 2);
}

TEST(StationProtocol, ProgressIsTakenOnlyFromAWholeProgressLine) {
    const std::string written = run::slotProgressLine({12, 400});
    ASSERT_TRUE(written.ends_with("\n"));
    const auto read = run::slotProgressOf(written.substr(0, written.size() - 1));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->done, 12u);
    EXPECT_EQ(read->total, 400u);
    for (const char* message : {
             "qdctl: the meter answered READ? twice at code 0400; read again",
             "qdctl-progress 3 10",
             R"({"slot_progress":{"done":5,"tot)",
             R"({"slot_progress":{"done":5}})",
             R"({"slot_progress":{"done":11,"total":10}})",
             R"({"slot_progress":{"done":1,"total":10},"error":"x"})",
         }) {
        EXPECT_FALSE(run::slotProgressOf(message)) << message;
    }
    EXPECT_EQ(run::slotResultOf("qdctl: note\n{\"verdict\":\"PASS\"}\ntrailing words\n")
                  .value("verdict")
                  .toString(),
              "PASS");
    EXPECT_TRUE(run::slotResultOf("no JSON at all").isEmpty());
}

} // namespace

int main(int argc, char** argv) {
    // The firmware and the link libraries are found beside the program.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// A lot's histograms count whole units from zero: a bin holding one unit
// has a bar, and no tick reads a fraction of a unit. Seven units, two bins
// of one among them, and a limit beyond the spread the axis must show.
TEST(LotDatasheet, HistogramsCountEveryUnitFromZero) {
    run::Datasheet d;
    d.device = "QD1600";
    for (const double offset : {-2.6, -1.2, -1.1, -1.0, -1.3, -1.2, 0.1}) {
        d.units.push_back({"U", {{"offset_error_mv", offset}}, {{"offset_error_mv", "3"}}, {}});
        d.runs.emplace_back();
    }
    d.rows = measure::datasheetRows(d.units);
    const report::ReportData r = run::datasheetReport(d);
    const auto plot = std::find_if(r.plots.begin(), r.plots.end(), [](const auto& p) {
        return p.title == "Units by Offset error";
    });
    ASSERT_NE(plot, r.plots.end());
    double units = 0;
    for (const auto& [x, count] : plot->points) {
        units += count;
    }
    EXPECT_EQ(units, 7.0);
    EXPECT_GT(plot->bars, 0.0) << "drawn as bars, not stems";
    const report::PlotFrame frame = report::frameOf(*plot, {0, 0, 900, 360}, 10);
    EXPECT_EQ(frame.yMin, 0.0) << "the count axis starts at 0";
    for (const auto& tick : frame.yTicks) {
        EXPECT_EQ(tick.label.find('.'), std::string::npos) << tick.label;
    }
    EXPECT_LE(plot->fromCode, -3.0);
    EXPECT_GE(plot->toCode, 3.0) << "the limit lines lie on the axis";
}

// --since as a user types it: dates and times in the user's zone unless
// they name one, relative forms, and anything else no time at all.
TEST(Times, SinceTakesWhatAUserTypesAndNothingElse) {
    const QDateTime now = QDateTime::fromString("2026-12-10T12:00:00Z", Qt::ISODate);
    const auto local = [](const char* text) {
        return run::storedTime(QDateTime::fromString(text, Qt::ISODate));
    };
    const struct {
        const char* text;
        std::optional<std::string> want;
    } cases[] = {
        {"2026-12-01", local("2026-12-01T00:00:00")},
        {"2026-12-01T09:30", local("2026-12-01T09:30:00")},
        {"2026-12-01 09:30:15", local("2026-12-01T09:30:15")},
        {"2026-12-01T09:30:00Z", "2026-12-01T09:30:00.000Z"},
        {"2026-12-01T09:30:00+01:00", "2026-12-01T08:30:00.000Z"},
        {"7d", "2026-12-03T12:00:00.000Z"},
        {"12h", "2026-12-10T00:00:00.000Z"},
        {"yesterday", run::storedTime(now.toLocalTime().date().addDays(-1).startOfDay())},
        {"2026-13-45", std::nullopt},
        {"09/12/2026", std::nullopt},
        {"last week", std::nullopt},
        {"d", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run::utcSince(c.text, now), c.want) << c.text;
    }
}

// A file --from or --resume reads is refused, naming the line, where its
// rows cannot be the converter's measurement.
TEST(CharacterizeCsv, RefusesWhatNoMeasurementCouldHaveWritten) {
    const std::string preamble = "# device: QD1600\n# bits: 16\n# reference_v: 4.93\n"
                                 "# samples: 2\ncode,frame,mean_v,spread_v,v1,v2\n";
    const struct {
        const char* name;
        std::string text;
        const char* says; // empty: read
    } cases[] = {
        {"whole", preamble + "0000,0000,0,0,0,0\n8000,8000,2.46,0,2.46,2.46\n", ""},
        {"reference 0", "# reference_v: 0\ncode,frame,mean_v,spread_v,v1\n0000,0000,0,0,0\n",
         "is no reference"},
        {"reference NaN", "# reference_v: nan\ncode,frame,mean_v,spread_v,v1\n", "is no reference"},
        {"samples", "# samples: 4\ncode,frame,mean_v,spread_v,v1,v2\n",
         "line 2: 2 readings a code"},
        {"code beyond", preamble + "10000,0000,0,0,0,0\n", "line 6: code 10000 is beyond"},
        {"twice", preamble + "0001,0001,0,0,0,0\n0001,0001,0,0,0,0\n",
         "line 7: code 0001 again, measured already on line 6"},
        {"reading", preamble + "0001,0001,60,0,60,60\n", "line 6: reading 60 V lies beyond"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.file(std::string(c.name) + ".csv");
        std::ofstream(path) << c.text;
        try {
            run::readCsv(path, "--from");
            EXPECT_STREQ(c.says, "") << c.name << ": read";
        } catch (const session::Failure& f) {
            EXPECT_NE(std::string(c.says), "") << c.name << ": " << f.what();
            EXPECT_NE(std::string(f.what()).find(c.says), std::string::npos)
                << c.name << ": " << f.what();
            EXPECT_EQ(f.status(), session::BadArguments) << c.name;
        }
    }
    // A file of more than 64 MiB is refused before it is read.
    const std::string big = dir.file("big.csv");
    std::ofstream(big) << preamble;
    std::filesystem::resize_file(big, 65u << 20);
    EXPECT_THROW(run::readCsv(big, "--from"), session::Failure);
}
