// The bench window's Station view driven in-process: two simulated boards,
// each with a simulated meter of its own (qdctl sim-meter), each slot a
// qdctl characterize as the view starts it. A station run to its end, both
// slots shown passing, summarized and recorded under one station; and Stop
// ending every slot after its current code with its rows kept; and a
// station on a board taken refused before it starts, in qdctl's words.

#include "TempDir.h"
#include "bench/BenchWindow.h"
#include "bench/CharacterizeView.h"
#include "bench/DatasheetView.h"
#include "bench/StationView.h"
#include "run/Recording.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

using namespace qd;

namespace {

// Generous: a bound on a wait that an event ends, not a measure of speed.
constexpr int kRunBound = 180000;
const QString kQdctl = QStringLiteral(QDCTL_DIR "/qdctl");

// `qdctl sim-meter` on one simulated board, listening on a port of its
// own; killed with the test.
class SimMeter {
  public:
    SimMeter(const QString& board, const QString& timeScale) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QD_METER_TIME_SCALE", timeScale);
        process_.setProcessEnvironment(env);
        process_.start(kQdctl, {"--board", board, "sim-meter", "-q", "--listen", "127.0.0.1:0"});
        while (!process_.canReadLine() && process_.waitForReadyRead(kRunBound)) {
        }
        const auto port = QRegularExpression(R"(listening on 127\.0\.0\.1:(\d+))")
                              .match(QString::fromUtf8(process_.readLine()));
        EXPECT_TRUE(port.hasMatch()) << "qdctl sim-meter --board " << board.toStdString();
        resource = "TCPIP::127.0.0.1::" + port.captured(1) + "::SOCKET";
    }
    ~SimMeter() {
        process_.kill();
        process_.waitForFinished();
    }
    SimMeter(const SimMeter&) = delete;
    SimMeter& operator=(const SimMeter&) = delete;

    QString resource;

  private:
    QProcess process_;
};

class BenchStationTest : public ::testing::Test {
  protected:
    // The link library reads where the simulated boards keep their state
    // once, as it is loaded: five boards for the whole process, which the
    // slots' processes and the meters share (the third for the window to
    // hold).
    static void SetUpTestSuite() {
        boards = new TempDir;
        qputenv("QD_BOARD", "sim");
        qputenv("QD_BOARD_COUNT", "5");
        qputenv("QD_BOARD_MODEL", "lot:seed=7");
        qputenv("QD_BOARD_STATE", QByteArray::fromStdString(boards->file("board.state")));
        for (const char* name : {"QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_TRACE"}) {
            qunsetenv(name);
        }
    }
    static void TearDownTestSuite() {
        delete boards;
        boards = nullptr;
    }

    void SetUp() override {
        qputenv("QD_RESULTS", QByteArray::fromStdString(dir.file("results.sqlite")));
        open(session::CommonOptions{});
    }
    void open(const session::CommonOptions& common) {
        window = std::make_unique<bench::BenchWindow>(common);
        view = window->stationView();
        view->setProgram(kQdctl);
        window->show();
        // What every slot shares: the Characterize tab's setup.
        find<QComboBox>("codes")->setCurrentText("100");
        find<QSpinBox>("samples")->setValue(1);
        find<QDoubleSpinBox>("settle")->setValue(0);
        find<QLineEdit>("stationOut")->setText(QString::fromStdString(dir.file("lot")));
    }

    template <typename T> T* find(const char* name) {
        T* widget = window->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    std::string cell(int row, int column) {
        const QTableWidgetItem* item = find<QTableWidget>("stationGrid")->item(row, column);
        return item ? item->text().toStdString() : std::string();
    }
    // Clicks Start and waits for the station's summary to be shown.
    void runToEnd(const std::function<void()>& whileRunning = {}) {
        QSignalSpy shown(view, &bench::StationView::shown);
        QTest::mouseClick(find<QPushButton>("stationStart"), Qt::LeftButton);
        if (whileRunning) {
            whileRunning();
        }
        ASSERT_TRUE(shown.count() > 0 || shown.wait(kRunBound)) << "the station never ended";
    }
    QStringList logged(const QString& prefix) {
        QStringList lines;
        for (const QString& line : find<QPlainTextEdit>("log")->toPlainText().split('\n')) {
            if (line.startsWith(prefix)) {
                lines << line.mid(prefix.size());
            }
        }
        return lines;
    }
    std::vector<results::Run> characterizations() {
        session::CommonOptions common;
        results::Filter filter;
        filter.kind = "characterize";
        return run::Recording::storeToRead(common)->runs(filter);
    }

    static TempDir* boards;
    TempDir dir;
    std::unique_ptr<bench::BenchWindow> window;
    bench::StationView* view = nullptr;
};

TempDir* BenchStationTest::boards = nullptr;

enum Column { Board, Meter, Dut, Progress, Status, Verdict };

// A station of four, then its lot's datasheet as a PDF: the window alone.
TEST_F(BenchStationTest, AStationFromTheGridPassesEverySlotAndItsDatasheetIsExported) {
    std::vector<std::unique_ptr<SimMeter>> meters;
    for (const char* board : {"SIM0001", "SIM0002", "SIM0004", "SIM0005"}) {
        meters.push_back(std::make_unique<SimMeter>(board, "0"));
        view->addSlot(board, meters.back()->resource, QStringLiteral("U%1").arg(meters.size()));
    }
    runToEnd();
    EXPECT_EQ(find<QLabel>("stationError")->text(), "");
    for (const int row : {0, 1, 2, 3}) {
        EXPECT_EQ(cell(row, Verdict), "PASS") << "row " << row << ": " << cell(row, Status);
        EXPECT_EQ(cell(row, Status), "ended, status 0") << "row " << row;
    }

    // The grid, never saved, went to a station file in the output folder,
    // which the logged line names.
    const QStringList commands = logged("$ ");
    ASSERT_EQ(commands.size(), 1) << logged("").join('\n').toStdString();
    const QString station = QString::fromStdString(dir.file("lot/bench.station"));
    EXPECT_TRUE(commands[0].contains(" characterize --device QD1600 --codes 100 --samples 1"))
        << commands[0].toStdString();
    EXPECT_TRUE(commands[0].contains("--station " + station)) << commands[0].toStdString();

    const auto runs = characterizations();
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_FALSE(runs[0].get("station").empty());
    for (const auto& r : runs) {
        EXPECT_EQ(r.get("station"), runs[0].get("station")) << r.get("dut_serial");
        EXPECT_EQ(r.get("command_line"), commands[0].toStdString());
        EXPECT_EQ(r.get("verdict"), "PASS") << r.get("dut_serial");
    }
    const QString summary = find<QPlainTextEdit>("stationSummary")->toPlainText();
    EXPECT_TRUE(summary.startsWith(
        QString::fromStdString("station " + runs[0].get("station") + ": 4 slots, 4 passed\n")))
        << summary.toStdString();
    for (const auto& r : runs) {
        EXPECT_TRUE(summary.contains(QString::fromStdString(r.id().substr(0, 8))))
            << r.id() << " not in " << summary.toStdString();
    }

    // The Datasheet tab, on the latest station, as it opens.
    auto* datasheet = window->datasheetView();
    window->findChild<QTabWidget*>("views")->setCurrentWidget(datasheet);
    QSignalSpy shown(datasheet, &bench::DatasheetView::shown);
    datasheet->showLot();
    ASSERT_TRUE(shown.count() > 0 || shown.wait(kRunBound)) << "no lot shown";
    const QString heading = datasheet->findChild<QLabel*>("heading")->text();
    EXPECT_TRUE(heading.contains("4 units: 4 PASS")) << heading.toStdString();
    const QString pdf = QString::fromStdString(dir.file("lot/datasheet.pdf"));
    QSignalSpy exported(datasheet, &bench::DatasheetView::exported);
    datasheet->exportReport(pdf);
    ASSERT_TRUE(exported.count() > 0 || exported.wait(kRunBound)) << "no export ended";
    QFile written(pdf);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << pdf.toStdString();
    EXPECT_TRUE(written.read(5) == "%PDF-");
    EXPECT_TRUE(logged("$ ").back().contains("datasheet --station-run"))
        << logged("$ ").back().toStdString();
}

TEST_F(BenchStationTest, StopEndsEverySlotWithItsRowsKept) {
    // Every code, each reading taking its time: far longer than a click
    // takes to stop it.
    find<QComboBox>("codes")->setCurrentText("all");
    const SimMeter first("SIM0001", "1"), second("SIM0002", "1");
    const std::string file = dir.file("two.station");
    std::ofstream(file) << "SIM0001 " << first.resource.toStdString() << " U1\n"
                        << "SIM0002 " << second.resource.toStdString() << " U2\n";
    view->openStation(QString::fromStdString(file));
    ASSERT_EQ(find<QTableWidget>("stationGrid")->rowCount(), 2);
    runToEnd([&] {
        QSignalSpy progressed(view, &bench::StationView::progressed);
        const auto measuring = [&](int row) {
            const auto* bar = qobject_cast<QProgressBar*>(
                find<QTableWidget>("stationGrid")->cellWidget(row, Progress));
            return bar && bar->value() > 0;
        };
        while (!(measuring(0) && measuring(1))) {
            ASSERT_TRUE(progressed.wait(kRunBound)) << "a slot measured no code";
        }
        QTest::mouseClick(find<QPushButton>("stationStop"), Qt::LeftButton);
    });
    EXPECT_FALSE(view->running());
    // As Ctrl-C ends qdctl's station: each slot 128 + SIGINT.
    for (const int row : {0, 1}) {
        EXPECT_EQ(cell(row, Status), "ended, status 130") << "row " << row;
        EXPECT_EQ(cell(row, Verdict), "INTERRUPTED") << "row " << row;
    }
    EXPECT_TRUE(logged("$ ").value(0).contains("--station " + QString::fromStdString(file)));
    const auto runs = characterizations();
    ASSERT_EQ(runs.size(), 2u);
    session::CommonOptions common;
    for (const auto& r : runs) {
        EXPECT_EQ(r.get("exit_status"), "130") << r.get("dut_serial");
        EXPECT_GT(run::Recording::storeToRead(common)->readings(r.id()).size(), 0u)
            << r.get("dut_serial");
        EXPECT_TRUE(std::filesystem::exists(dir.file("lot/" + r.get("dut_serial") + ".csv")));
    }
}

TEST_F(BenchStationTest, ASlotOnABoardTakenIsRefusedBeforeAnythingStarts) {
    // The window measures the third board itself, and holds it from then on.
    session::CommonOptions common;
    common.boardSerial = "SIM0003";
    open(common);
    QSignalSpy measured(window->characterizeView(), &bench::CharacterizeView::shown);
    QTest::mouseClick(find<QPushButton>("start"), Qt::LeftButton);
    ASSERT_TRUE(measured.wait(kRunBound)) << "the Characterize tab's run never ended";
    ASSERT_EQ(window->characterizeView()->boardHeld(), "SIM0003");

    const std::string file = dir.file("taken.station");
    for (const auto& [text, says] : std::initializer_list<std::pair<const char*, const char*>>{
             {"1 TCPIP::127.0.0.1::1::SOCKET U1\nsim0001 TCPIP::127.0.0.1::2::SOCKET U2\n",
              ":2: the board sim0001 (index 1) is line 1's too: one slot each"},
             {"SIM0003 TCPIP::127.0.0.1::1::SOCKET U1\n", ":1: the board SIM0003 is held by "},
             {"3 TCPIP::127.0.0.1::1::SOCKET U1\n", ":1: the board 3 is held by "}}) {
        std::ofstream(file) << text;
        view->openStation(QString::fromStdString(file));
        QTest::mouseClick(find<QPushButton>("stationStart"), Qt::LeftButton);
        const std::string shown = find<QLabel>("stationError")->text().toStdString();
        EXPECT_EQ(shown.rfind(file + says, 0), 0u) << text << " gave " << shown;
        EXPECT_FALSE(view->running()) << text;
    }
    // The window's only command: the Characterize tab's.
    EXPECT_EQ(logged("$ ").size(), 1) << logged("").join('\n').toStdString();

    // The refusal qdctl gives for the same file, in the same words.
    std::ofstream(file)
        << "1 TCPIP::127.0.0.1::1::SOCKET U1\nsim0001 TCPIP::127.0.0.1::2::SOCKET U2\n";
    view->openStation(QString::fromStdString(file));
    QTest::mouseClick(find<QPushButton>("stationStart"), Qt::LeftButton);
    QProcess qdctl;
    qdctl.start(kQdctl,
                {"characterize", "--device", "QD1600", "--station", QString::fromStdString(file)});
    ASSERT_TRUE(qdctl.waitForFinished(kRunBound));
    EXPECT_EQ(qdctl.exitCode(), 2);
    EXPECT_TRUE(QString::fromUtf8(qdctl.readAllStandardError())
                    .contains(find<QLabel>("stationError")->text()))
        << find<QLabel>("stationError")->text().toStdString();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // What the window remembers of a setup goes here, not to the user's.
    const TempDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(settings.path().string()));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
