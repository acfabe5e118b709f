// The bench window's History driven in-process on a store that qdctl
// filled from simulated boards: what it lists, compares and exports must be
// what `qdctl runs` gives for the same runs and filters, and its logged
// lines must do the same again.

#include "TempDir.h"
#include "bench/BenchWindow.h"
#include "bench/HistoryView.h"
#include "bench/PlotView.h"

#include <QApplication>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace qd;

namespace {

// Generous: a bound on a wait that an event ends, not a measure of speed.
constexpr int kRunBound = 120000;

struct Ran {
    int status = -1;
    std::string out, err;
};

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class BenchHistoryTest : public ::testing::Test {
  protected:
    // One store for the suite, filled by qdctl: three characterizations of
    // two units, the second unit's converter another than the first's, so
    // that a comparison has figures that differ and figures that do not.
    static void SetUpTestSuite() {
        dir = new TempDir;
        qputenv("QD_BOARD", "sim");
        qputenv("QD_RESULTS", QByteArray::fromStdString(dir->file("results.sqlite")));
        for (const char* name : {"QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_MODEL"}) {
            qunsetenv(name);
        }
        // A board keeps the converter it was first fitted with: one a model.
        for (const auto& [serial, model] :
             {std::pair{"unit 1", "typical"}, std::pair{"unit 2", "offset=20,gain=0.5"},
              std::pair{"unit 1", "typical"}}) {
            qputenv("QD_BOARD_MODEL", model);
            qputenv("QD_BOARD_STATE",
                    QByteArray::fromStdString(dir->file(std::string(model) + ".state")));
            const Ran r = qdctl({"characterize", "--device", "QD1600", "--codes", "800",
                                 "--samples", "3", "--settle", "0", "--serial", serial});
            ASSERT_TRUE(r.status == 0 || r.status == 10) << r.err;
        }
        qunsetenv("QD_BOARD_MODEL");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    static Ran qdctl(const QStringList& arguments) {
        QProcess p;
        p.start(QStringLiteral(QDCTL_DIR "/qdctl"), arguments);
        Ran r;
        if (p.waitForFinished(kRunBound)) {
            r.status = p.exitCode();
        }
        r.out = p.readAllStandardOutput().toStdString();
        r.err = p.readAllStandardError().toStdString();
        return r;
    }

    void SetUp() override {
        window = std::make_unique<bench::BenchWindow>(session::CommonOptions{});
        window->show();
        view = window->historyView();
    }

    template <typename T> T* find(const char* name) {
        T* widget = view->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void click(const char* button) { QTest::mouseClick(find<QPushButton>(button), Qt::LeftButton); }
    // The run ids the list shows, as `runs list` starts its lines.
    QStringList listed() {
        auto* runs = find<QTableWidget>("historyRuns");
        QStringList ids;
        for (int row = 0; row < runs->rowCount(); ++row) {
            ids << runs->item(row, 0)->text();
        }
        return ids;
    }
    void select(const QStringList& ids) {
        auto* runs = find<QTableWidget>("historyRuns");
        runs->clearSelection();
        for (int row = 0; row < runs->rowCount(); ++row) {
            if (ids.contains(runs->item(row, 0)->data(Qt::UserRole).toString())) {
                runs->selectionModel()->select(runs->model()->index(row, 0),
                                               QItemSelectionModel::Select |
                                                   QItemSelectionModel::Rows);
            }
        }
    }
    QStringList logged(const QString& prefix) {
        QStringList lines;
        for (const QString& line :
             window->findChild<QPlainTextEdit*>("log")->toPlainText().split('\n')) {
            if (line.startsWith(prefix)) {
                lines << line.mid(prefix.size());
            }
        }
        return lines;
    }
    // A logged line as a user would paste it into a shell, qdctl on the PATH.
    static Ran replay(const QString& line) {
        QProcess shell;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", QStringLiteral(QDCTL_DIR ":") + env.value("PATH"));
        shell.setProcessEnvironment(env);
        shell.start("/bin/sh", {"-c", line});
        Ran r;
        if (shell.waitForFinished(kRunBound)) {
            r.status = shell.exitCode();
        }
        r.out = shell.readAllStandardOutput().toStdString();
        r.err = shell.readAllStandardError().toStdString();
        return r;
    }
    QStringList allIds() {
        QStringList ids;
        const Ran r = qdctl({"--json", "runs", "list"});
        for (const auto run : QJsonDocument::fromJson(QByteArray::fromStdString(r.out))
                                  .object()
                                  .value("runs")
                                  .toArray()) {
            ids << run.toObject().value("id").toString();
        }
        return ids;
    }

    static TempDir* dir;
    std::unique_ptr<bench::BenchWindow> window;
    bench::HistoryView* view = nullptr;
};

TempDir* BenchHistoryTest::dir = nullptr;

TEST_F(BenchHistoryTest, FiltersListWhatRunsListListsAndSayItsErrors) {
    const struct {
        const char *serial, *device, *since, *verdict, *station;
    } cases[] = {
        {"", "", "", "", ""},
        {"UNIT 1", "", "", "", ""},
        {"unit 2", "QD1600", "7d", "", ""},
        {"", "QD1400", "", "", ""},
        {"", "", "2099-01-01", "", ""},
        {"", "", "", "PASS", ""},
        {"", "", "", "INTERRUPTED", ""},
        {"", "", "", "", "ffff"},
        {"", "", "someday", "", ""},
    };
    for (const auto& c : cases) {
        find<QLineEdit>("historySerial")->setText(c.serial);
        find<QComboBox>("historyDevice")->setCurrentText(c.device);
        find<QLineEdit>("historySince")->setText(c.since);
        find<QComboBox>("historyVerdict")->setCurrentText(c.verdict);
        find<QLineEdit>("historyStation")->setText(c.station);
        click("historyRefresh");
        const QString line = logged("$ ").last();
        const std::string what = line.toStdString();
        const Ran r = replay(line);
        const QString error = find<QLabel>("historyError")->text();
        if (r.status != 0) {
            // qdctl's own words, whichever way they were refused.
            EXPECT_FALSE(error.isEmpty()) << what;
            EXPECT_NE(r.err.find(error.toStdString()), std::string::npos)
                << what << ": qdctl says " << r.err << ", the window " << error.toStdString();
            continue;
        }
        EXPECT_EQ(error, "") << what;
        QStringList expected;
        for (const QString& row : QString::fromStdString(r.out).split('\n')) {
            if (!row.isEmpty() && row != "no runs") {
                expected << row.section(' ', 0, 0);
            }
        }
        EXPECT_EQ(listed(), expected) << what;
    }
    EXPECT_EQ(find<QTableWidget>("historyRuns")->rowCount(), 0);

    // A store that is not there is read as qdctl reads it: said, not made.
    session::CommonOptions elsewhere;
    elsewhere.results = dir->file("elsewhere.sqlite");
    bench::HistoryView missing(elsewhere);
    missing.refresh();
    const QString said = missing.findChild<QLabel*>("historyError")->text();
    EXPECT_TRUE(
        said.contains(QString::fromStdString("there is no results store at " + elsewhere.results)))
        << said.toStdString();
    EXPECT_FALSE(std::filesystem::exists(elsewhere.results));
}

TEST_F(BenchHistoryTest, CompareAndOpenShowWhatRunsCompareAndShowSay) {
    click("historyRefresh");
    const QStringList ids = allIds();
    ASSERT_EQ(ids.size(), 3);
    // The newest run of unit 1 and the run of unit 2: their converters
    // differ.
    select({ids.at(0), ids.at(1)});
    click("historyCompare");
    ASSERT_EQ(find<QLabel>("historyError")->text(), "");
    const QString line = logged("$ ").last();
    EXPECT_TRUE(line.endsWith("runs compare " + ids.at(1) + " " + ids.at(0))) << line.toStdString();
    const Ran r = qdctl({"--json", "runs", "compare", ids.at(1), ids.at(0)});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonArray figures = QJsonDocument::fromJson(QByteArray::fromStdString(r.out))
                                   .object()
                                   .value("figures")
                                   .toArray();
    auto* table = find<QTableWidget>("historyFigures");
    ASSERT_EQ(table->rowCount(), figures.size());
    int differs = 0, within = 0;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QJsonObject f = figures.at(row).toObject();
        const QString name = f.value("name").toString();
        EXPECT_EQ(table->item(row, 0)->text(), name);
        const QString word = !f.contains("exceeds")        ? ""
                             : f.value("exceeds").toBool() ? "DIFFERS"
                                                           : "within";
        differs += word == "DIFFERS" ? 1 : 0;
        within += word == "within" ? 1 : 0;
        EXPECT_EQ(table->item(row, 5)->text(), word) << name.toStdString();
    }
    // Offset and gain apart, the INL's scatter alike: both words are seen.
    EXPECT_GT(differs, 0) << "two converters and nothing differs";
    EXPECT_GT(within, 0) << "every figure differs";
    EXPECT_FALSE(find<bench::PlotView>("historyPlot")->empty()) << "no INL overlaid";

    // One opened: its setup as runs show gives it, and its INL.
    view->open(ids.at(1));
    ASSERT_EQ(find<QLabel>("historyError")->text(), "");
    const Ran shown = replay(logged("$ ").last());
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(find<QPlainTextEdit>("historySetup")->toPlainText().toStdString(), shown.out);
    EXPECT_FALSE(find<bench::PlotView>("historyPlot")->empty()) << "no INL";
}

TEST_F(BenchHistoryTest, ExportReportAndPushDoWhatTheirLoggedLinesDo) {
    click("historyRefresh");
    const QStringList ids = allIds();
    ASSERT_FALSE(ids.isEmpty());
    select({ids.at(1)});
    TempDir out;
    const std::string mine = out.file("window's.csv");
    view->exportCsv(QString::fromStdString(mine));
    ASSERT_EQ(find<QLabel>("historyError")->text(), "");
    const std::string written = contents(mine);
    EXPECT_NE(written.find(ids.at(1).toStdString()), std::string::npos);
    // The logged line writes the same file again.
    std::filesystem::rename(mine, out.file("first.csv"));
    const Ran r = replay(logged("$ ").last());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(contents(mine), written);

    // Its report made again from the store, as runs report makes it.
    const std::string page = out.file("report.html");
    view->saveReport(QString::fromStdString(page));
    EXPECT_EQ(find<QLabel>("historyError")->text(), "");
    EXPECT_TRUE(logged("$ ").last().endsWith("runs report " + ids.at(1) + " --report " +
                                             QString::fromStdString(page)));
    EXPECT_NE(contents(page).find("<html"), std::string::npos);

    // Pushed off the window's thread, to a store of its own.
    const std::string to = out.file("lab.sqlite");
    QSignalSpy pushed(view, &bench::HistoryView::pushed);
    find<QLineEdit>("historyTo")->setText(QString::fromStdString(to));
    click("historyPush");
    ASSERT_TRUE(pushed.count() > 0 || pushed.wait(kRunBound)) << "the push never ended";
    EXPECT_EQ(find<QLabel>("historyError")->text(), "");
    EXPECT_TRUE(logged("$ ").last().endsWith("runs push --to " + QString::fromStdString(to) + " " +
                                             ids.at(1)));
    const Ran there = qdctl({"--results", QString::fromStdString(to), "--json", "runs", "list"});
    ASSERT_EQ(there.status, 0) << there.err;
    const QJsonArray runs = QJsonDocument::fromJson(QByteArray::fromStdString(there.out))
                                .object()
                                .value("runs")
                                .toArray();
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(runs.at(0).toObject().value("id").toString(), ids.at(1));
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
