// The bench window driven in-process on the simulated board's on-board
// converter, each test with a board and a store of its own: a run to its
// verdict, its logged command line replayed through qdctl to the same run,
// and Stop keeping the rows measured.

#include "TempDir.h"
#include "bench/BenchWindow.h"
#include "bench/CharacterizeView.h"
#include "bench/CommandLine.h"
#include "bench/LivePlot.h"
#include "bench/PlotView.h"
#include "bench/Script.h"
#include "run/Recording.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonDocument>
#include <QJsonObject>
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
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>

using namespace qd;

namespace {

// Generous: a bound on a wait that an event ends, not a measure of speed.
constexpr int kRunBound = 120000;

class BenchWindowTest : public ::testing::Test {
  protected:
    // The link library reads where the simulated board keeps its state
    // once, as it is loaded: one board for the whole process.
    static void SetUpTestSuite() {
        board = new TempDir;
        qputenv("QD_BOARD", "sim");
        qputenv("QD_BOARD_STATE", QByteArray::fromStdString(board->file("board.state")));
        for (const char* name : {"QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_MODEL"}) {
            qunsetenv(name);
        }
    }
    static void TearDownTestSuite() {
        delete board;
        board = nullptr;
    }

    void SetUp() override {
        // A space in the folder's name, so that the logged line must quote.
        folder = dir.file("bench run");
        std::filesystem::create_directory(folder);
        qputenv("QD_RESULTS", QByteArray::fromStdString(dir.file("results.sqlite")));
        // What the window remembers of its last setup, kept apart per test.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(dir.file("settings")));
        window = std::make_unique<bench::BenchWindow>(session::CommonOptions{});
        window->show();
    }

    template <typename T> T* find(const char* name) {
        T* widget = window->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void plan(const QString& codes, const std::string& csv) {
        find<QComboBox>("codes")->setCurrentText(codes);
        find<QSpinBox>("samples")->setValue(1);
        find<QDoubleSpinBox>("settle")->setValue(0);
        find<QLineEdit>("csv")->setText(QString::fromStdString(csv));
    }
    // Clicks Start and waits for what the run gave to be shown.
    void runToEnd(const std::function<void()>& whileRunning = {}) {
        QSignalSpy shown(window->characterizeView(), &bench::CharacterizeView::shown);
        QTest::mouseClick(find<QPushButton>("start"), Qt::LeftButton);
        if (whileRunning) {
            whileRunning();
        }
        ASSERT_TRUE(shown.count() > 0 || shown.wait(kRunBound)) << "the run never ended";
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
        auto store = run::Recording::storeToRead(common);
        results::Filter filter;
        filter.kind = "characterize";
        return store->runs(filter);
    }
    // A run's setup document but what tells one run from another: when,
    // and its command as each program quotes it for its records.
    static QJsonObject setupOf(const results::Run& run) {
        QJsonObject setup =
            QJsonDocument::fromJson(QByteArray::fromStdString(run.get("setup"))).object();
        setup.remove("date");
        setup.remove("command_line");
        return setup;
    }
    std::map<std::string, std::optional<double>> figuresOf(const std::string& id) {
        session::CommonOptions common;
        std::map<std::string, std::optional<double>> values;
        for (const auto& f : run::Recording::storeToRead(common)->figures(id)) {
            values[f.name] = f.value;
        }
        return values;
    }

    static TempDir* board;
    TempDir dir;
    std::string folder;
    std::unique_ptr<bench::BenchWindow> window;
};

TempDir* BenchWindowTest::board = nullptr;

TEST_F(BenchWindowTest, ARunShowsItsVerdictAndLogsTheCommandThatRepeatsIt) {
    const std::string csv = folder + "/qd1600's run.csv";
    plan("400", csv);
    find<QLineEdit>("serial")->setText("unit 7");
    runToEnd();
    EXPECT_EQ(find<QLabel>("error")->text(), "");
    const QString verdict = find<QLabel>("verdict")->text();
    EXPECT_TRUE(verdict == "PASS" || verdict == "FAIL" || verdict == "CONDITIONAL")
        << verdict.toStdString();
    EXPECT_GT(find<QTableWidget>("figures")->rowCount(), 0);
    EXPECT_TRUE(std::filesystem::exists(csv));

    const QStringList commands = logged("$ ");
    ASSERT_EQ(commands.size(), 1) << logged("").join('\n').toStdString();
    const QString& line = commands.front();
    for (const char* option :
         {"characterize --device QD1600 --codes 400 --samples 1 --settle 0", "--serial 'unit 7'"}) {
        EXPECT_TRUE(line.contains(option)) << option << " not in " << line.toStdString();
    }

    // The session saved as a script and run from a shell that has no qdctl
    // on its PATH: the same run again, in the same store, on a simulated
    // board of its own, since the window holds its board until it closes.
    const QString script = QString::fromStdString(dir.file("session.sh"));
    ASSERT_TRUE(window->saveScript(script));
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", "/usr/bin:/bin");
    env.insert("QD_BOARD_STATE", QString::fromStdString(dir.file("replayed.state")));
    shell.setProcessEnvironment(env);
    shell.start(script, {});
    ASSERT_TRUE(shell.waitForFinished(kRunBound));
    EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();

    const auto runs = characterizations();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(setupOf(runs[0]), setupOf(runs[1]));
    for (const char* column :
         {"device", "plan", "samples", "dut_serial", "verdict", "exit_status"}) {
        EXPECT_EQ(runs[0].get(column), runs[1].get(column)) << column;
    }
    EXPECT_EQ(figuresOf(runs[0].id()), figuresOf(runs[1].id()));
}

TEST_F(BenchWindowTest, StopKeepsTheRowsMeasured) {
    const std::string csv = folder + "/stopped.csv";
    // Every 16th code, each settled: far longer than a click takes to stop.
    plan("10", csv);
    find<QDoubleSpinBox>("settle")->setValue(1);
    auto* view = window->characterizeView();
    runToEnd([&] {
        QSignalSpy progress(find<QProgressBar>("progress"), &QProgressBar::valueChanged);
        ASSERT_TRUE(progress.wait(kRunBound)) << "no code was measured";
        // The readings are drawn while the run goes on, not only at its end.
        auto* output = find<bench::PlotView>("outputPlot");
        ASSERT_TRUE(QTest::qWaitFor([&] { return !output->empty(); }, kRunBound))
            << "nothing drawn while measuring";
        EXPECT_TRUE(view->running());
        QTest::mouseClick(find<QPushButton>("stop"), Qt::LeftButton);
    });
    EXPECT_FALSE(view->running());
    EXPECT_TRUE(find<QLabel>("verdict")->text().contains("stopped after"))
        << find<QLabel>("verdict")->text().toStdString();
    const auto runs = characterizations();
    ASSERT_EQ(runs.size(), 1u);
    session::CommonOptions common;
    const auto readings = run::Recording::storeToRead(common)->readings(runs[0].id());
    EXPECT_GT(readings.size(), 0u);
    // Ended as Ctrl-C ends qdctl's run: 128 + SIGINT.
    EXPECT_EQ(runs[0].get("exit_status"), "130");
    EXPECT_TRUE(std::filesystem::exists(csv));

    // Resumed with the same setup, the run finishes its own file: every
    // code once, the ones measured before not again.
    const auto planned = static_cast<std::size_t>(find<QProgressBar>("progress")->maximum());
    QSignalSpy shown(view, &bench::CharacterizeView::shown);
    view->resume(QString::fromStdString(csv));
    ASSERT_TRUE(shown.wait(kRunBound)) << "the resumed run never ended";
    EXPECT_FALSE(find<QLabel>("verdict")->text().contains("stopped"))
        << find<QLabel>("error")->text().toStdString();
    EXPECT_TRUE(logged("$ ").back().contains("--resume")) << logged("$ ").back().toStdString();
    const auto both = characterizations();
    ASSERT_EQ(both.size(), 2u);
    const auto& resumed = both[0].id() == runs[0].id() ? both[1] : both[0];
    EXPECT_EQ(run::Recording::storeToRead(common)->readings(resumed.id()).size(), planned);
}

// Each argument comes back from the log's line as it went in, and a .cmd
// line quotes it as Windows programs split their command line.
TEST(SaveAsScript, ArgumentsSurviveEachShellsQuoting) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"plain", "plain"},
        {"two words", R"("two words")"},
        {"it's", R"(it's)"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {R"(C:\my dir\)", R"("C:\my dir\\")"},
        {"50%", R"("50%%")"},
        {"a&b", R"("a&b")"},
        {"", R"("")"},
    };
    for (const auto& [argument, cmd] : cases) {
        const std::vector<std::string> arguments{"qdctl", argument};
        EXPECT_EQ(bench::shellWords(bench::shellLine(arguments)), arguments) << argument;
        EXPECT_EQ(bench::cmdLine(arguments), "qdctl " + cmd) << argument;
    }
}

// The codes zoomed and panned stay within the plot, a live redraw of the
// same plot keeps them, and the cursor reads the point nearest the pointer.
TEST(PlotViewTest, ZoomPanAndTheCursorReadTheNearestPoint) {
    report::PlotData plot;
    plot.title = "INL";
    plot.yLabel = "LSB";
    plot.toCode = 0xFFFF;
    plot.points = {{0, 0}, {0x8000, 1.5}, {0xFFFF, -1}};
    bench::PlotView view;
    view.resize(600, 400);
    view.show(plot);
    view.QWidget::show();
    view.grab(); // lays the frame out, as a first paint does

    view.zoom(0.5, 0x8000);
    auto [from, to] = view.range();
    EXPECT_NEAR(to - from, 0xFFFF / 2.0, 1);
    EXPECT_LE(from, 0x8000);
    EXPECT_GE(to, 0x8000);
    EXPECT_EQ(view.readAt(0x7000), "code 8000: 1.5 LSB");
    view.show(plot); // more points of the same plot, as while measuring
    EXPECT_EQ(view.range(), std::pair(from, to));
    view.pan(10);
    EXPECT_EQ(view.range().second, 0xFFFF);
    EXPECT_NEAR(view.range().second - view.range().first, 0xFFFF / 2.0, 1);

    view.reset();
    view.grab();
    QTest::mouseMove(&view, QPoint(view.width() / 2, view.height() / 2));
    EXPECT_EQ(view.cursorText(), "code 8000: 1.5 LSB");
    plot.title = "another";
    view.show(plot);
    EXPECT_EQ(view.range(), std::pair(0.0, double{0xFFFF}));
}

// A simulated meter on the board, as a bench's DMM on the network: its
// resource, or "" when it did not start.
QString startMeter(QProcess& meter) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QD_METER_TIME_SCALE", "0");
    meter.setProcessEnvironment(env);
    meter.start(QStringLiteral(QDCTL_DIR "/qdctl"), {"sim-meter", "-q", "--listen", "127.0.0.1:0"});
    if (!meter.waitForReadyRead(kRunBound)) {
        return {};
    }
    const auto found = QRegularExpression(R"(listening on 127\.0\.0\.1:(\d+))")
                           .match(QString::fromUtf8(meter.readLine()));
    return found.hasMatch() ? "TCPIP::127.0.0.1::" + found.captured(1) + "::SOCKET" : QString();
}

TEST_F(BenchWindowTest, TheMeterTestAsksItsIdentityAndTheNextSessionStartsFromThisSetup) {
    QProcess process;
    const QString meter = startMeter(process);
    ASSERT_FALSE(meter.isEmpty()) << process.readAllStandardError().toStdString();
    find<QLineEdit>("meter")->setText(meter);
    QTest::mouseClick(find<QPushButton>("testMeter"), Qt::LeftButton);
    auto* identity = find<QLabel>("meterIdentity");
    ASSERT_TRUE(QTest::qWaitFor([&] { return identity->text().contains("family"); }, kRunBound))
        << identity->text().toStdString();

    plan("400", folder + "/with meter.csv");
    find<QLineEdit>("operator")->setText("A. Tester");
    find<QLineEdit>("serial")->setText("U1");
    runToEnd();
    EXPECT_EQ(find<QLabel>("error")->text(), "");
    process.kill();
    process.waitForFinished();

    // A new window starts from the setup that last ran; not from its unit.
    window = std::make_unique<bench::BenchWindow>(session::CommonOptions{});
    EXPECT_EQ(find<QLineEdit>("meter")->text(), meter);
    EXPECT_EQ(find<QLineEdit>("operator")->text(), "A. Tester");
    EXPECT_EQ(find<QComboBox>("codes")->currentText(), "400");
    EXPECT_EQ(find<QLineEdit>("serial")->text(), "");
    EXPECT_EQ(find<QLineEdit>("csv")->text(), "");
}

// The live INL is taken against the line through what was measured: a
// code half an LSB off shows as such, the rest near 0; a flat output has no
// line to take it against.
TEST(LivePlot, InlSoFarAgainstTheLineOfTheCodesMeasured) {
    constexpr double lsb = 0.001;
    report::Points line;
    for (int code = 0; code <= 10; ++code) {
        line.emplace_back(code, 0.1 + code * lsb + (code == 5 ? lsb / 2 : 0));
    }
    bench::LivePlot live;
    live.add(line);
    const report::PlotData inl = live.inl();
    ASSERT_FALSE(inl.points.empty());
    for (const auto& [code, value] : inl.points) {
        if (code == 5) {
            EXPECT_NEAR(value, 0.5, 0.06);
        } else {
            EXPECT_NEAR(value, 0, 0.06) << "code " << code;
        }
    }
    bench::LivePlot flat;
    flat.add({{0, 1.0}, {1, 1.0}, {2, 1.0}});
    EXPECT_TRUE(flat.inl().points.empty());
    EXPECT_EQ(flat.output().points.size(), 3u);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
