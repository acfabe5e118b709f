// The bench window's Datasheet view on a small lot made by qdctl in a store
// of the test's own: the table it shows, by converter or by station, is
// the one qdctl datasheet gives for the line logged, the CSV and HTML it
// exports are the bytes that line writes, and choices that make no lot
// (two converters' runs, a station unknown, no store) are refused in
// qdctl's words.

#include "TempDir.h"
#include "bench/BenchWindow.h"
#include "bench/DatasheetView.h"
#include "run/Recording.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <tuple>

using namespace qd;

namespace {

// Generous: a bound on a wait that an event ends, not a measure of speed.
constexpr int kBound = 120000;

const char* const kStation = "5a7e1077-0000-4000-8000-000000000001";

struct Outcome {
    int status = -1;
    QByteArray out, err;
};

// qdctl from the test's folder, or a shell line that names it, with the
// test's board and store.
Outcome runQdctl(const QString& program, const QStringList& arguments) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", QCoreApplication::applicationDirPath() + ":" + env.value("PATH"));
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    EXPECT_TRUE(p.waitForFinished(kBound)) << arguments.join(' ').toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

Outcome qdctl(const QStringList& arguments) {
    return runQdctl(QCoreApplication::applicationDirPath() + "/qdctl", arguments);
}

Outcome shell(const QString& line) {
    return runQdctl("/bin/sh", {"-c", line});
}

QString number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

class BenchDatasheetTest : public ::testing::Test {
  protected:
    // One lot for every case: three QD1600 units, each on a simulated board
    // of its own whose converter differs from the others', and one QD1200.
    static void SetUpTestSuite() {
        dir = new TempDir;
        qputenv("QD_BOARD", "sim");
        qputenv("QD_BOARD_MODEL", "lot");
        qputenv("QD_BOARD_COUNT", "3");
        qputenv("QD_BOARD_STATE", QByteArray::fromStdString(dir->file("board.state")));
        qputenv("QD_RESULTS", QByteArray::fromStdString(dir->file("results.sqlite")));
        for (const char* name : {"QD_BOARD_FAULT", "QD_BOARD_VREF"}) {
            qunsetenv(name);
        }
        for (const auto& [device, board, serial] :
             {std::tuple{"QD1600", "1", "U1"}, std::tuple{"QD1600", "2", "U2"},
              std::tuple{"QD1600", "3", "U3"}, std::tuple{"QD1200", "1", "V1"}}) {
            const Outcome r =
                qdctl({"--json", "--board", board, "characterize", "--device", device, "--codes",
                       "400", "--samples", "1", "--settle", "0", "-q", "--serial", serial});
            ids[serial] = QJsonDocument::fromJson(r.out).object().value("run").toString();
            ASSERT_FALSE(ids[serial].isEmpty()) << serial << ": " << r.err.toStdString();
        }
        // The three QD1600 units grouped as a station's slots are.
        auto store = run::openStore(dir->file("results.sqlite"), results::StoreAccess::Record);
        for (const char* serial : {"U1", "U2", "U3"}) {
            store->end(ids[serial].toStdString(), {{"station", kStation}}, {});
        }
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    void SetUp() override {
        window = std::make_unique<bench::BenchWindow>(session::CommonOptions{});
        window->show();
        view = window->datasheetView();
    }

    template <typename T> T* find(const char* name) {
        T* widget = view->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // Clicks `button` and waits for what it started to end.
    void click(const char* button, void (bench::DatasheetView::*ended)()) {
        QSignalSpy spy(view, ended);
        QTest::mouseClick(find<QPushButton>(button), Qt::LeftButton);
        ASSERT_TRUE(spy.count() > 0 || spy.wait(kBound)) << button << " never ended";
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
    // The table shown is qdctl's for the line logged: its counts, and each
    // figure's units, least, largest, unit and where the least falls.
    void expectQdctlsTable() {
        const Outcome r = shell(logged("$ ").back() + " --json");
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QJsonObject sheet = QJsonDocument::fromJson(r.out).object();
        QStringList verdicts;
        for (const char* verdict : {"PASS", "FAIL", "CONDITIONAL"}) {
            if (const int n = sheet["verdicts"].toObject()[verdict].toInt(); n > 0) {
                verdicts << QString::number(n) + " " + verdict;
            }
        }
        const QString heading = find<QLabel>("heading")->text();
        EXPECT_TRUE(
            heading.startsWith(QString("QD1600 datasheet: %1 units: ").arg(sheet["units"].toInt()) +
                               verdicts.join(", ")))
            << heading.toStdString();
        const QJsonObject figures = sheet["figures"].toObject();
        ASSERT_EQ(find<QTableWidget>("table")->rowCount(), figures.size());
        for (int row = 0; row < figures.size(); ++row) {
            const QJsonObject f = figures[cell(row, 0)].toObject();
            ASSERT_FALSE(f.isEmpty()) << cell(row, 0).toStdString() << " is no figure of qdctl's";
            for (const auto& [column, want] :
                 {std::pair{1, QString::number(f["units"].toInt())},
                  std::pair{2, number(f["min"].toDouble())},
                  std::pair{4, number(f["max"].toDouble())}, std::pair{6, f["unit"].toString()}}) {
                EXPECT_EQ(cell(row, column), want)
                    << cell(row, 0).toStdString() << " column " << column;
            }
            EXPECT_TRUE(cell(row, 8).startsWith(f["min_unit"].toString()))
                << cell(row, 0).toStdString();
        }
        EXPECT_GT(find<QListWidget>("plots")->count(), 0) << "no pages drawn";
    }
    QString cell(int row, int column) {
        const QTableWidgetItem* item = find<QTableWidget>("table")->item(row, column);
        return item ? item->text() : QString();
    }

    static TempDir* dir;
    static std::map<std::string, QString> ids;
    std::unique_ptr<bench::BenchWindow> window;
    bench::DatasheetView* view = nullptr;
};

TempDir* BenchDatasheetTest::dir = nullptr;
std::map<std::string, QString> BenchDatasheetTest::ids;

TEST_F(BenchDatasheetTest, AConvertersLotShowsQdctlsTableAndExportsItsCsv) {
    find<QComboBox>("lotBy")->setCurrentIndex(1);
    find<QComboBox>("datasheetDevice")->setCurrentText("QD1600");
    click("show", &bench::DatasheetView::shown);
    ASSERT_EQ(find<QLabel>("datasheetError")->text(), "");
    ASSERT_EQ(logged("$ ").size(), 1);
    EXPECT_EQ(logged("$ ").back(), "qdctl datasheet --device QD1600");

    expectQdctlsTable();

    // Each file, and the logged line replayed into a shell: the same bytes
    // (a PDF's differ by its date alone, and come from the same renderer).
    for (const auto& [name, option, header] :
         {std::tuple{"lot 7.csv", "--csv", "figure,units,min,typ,max,sigma,"},
          std::tuple{"lot 7.html", "--report", "<!DOCTYPE html>"}}) {
        const QString path = QString::fromStdString(dir->file(name));
        QSignalSpy exported(view, &bench::DatasheetView::exported);
        if (QString(option) == "--csv") {
            view->exportCsv(path);
        } else {
            view->exportReport(path);
        }
        ASSERT_TRUE(exported.wait(kBound)) << name;
        ASSERT_EQ(find<QLabel>("datasheetError")->text(), "") << name;
        const QString line = logged("$ ").back();
        EXPECT_TRUE(line.endsWith(QString("%1 '%2'").arg(option, path))) << line.toStdString();
        QFile written(path);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << name;
        const QByteArray bytes = written.readAll();
        written.close();
        EXPECT_TRUE(bytes.startsWith(header)) << name << ": " << bytes.left(80).toStdString();
        std::filesystem::remove(path.toStdString());
        const Outcome replayed = shell(line);
        ASSERT_EQ(replayed.status, 0) << replayed.err.toStdString();
        ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << name;
        EXPECT_EQ(written.readAll(), bytes) << name;
    }
}

TEST_F(BenchDatasheetTest, AStationsLotByItsListingOrTheStartOfItsId) {
    const struct {
        const char* name;
        int listed; // the station combo's item, or -1: typed
        QString line;
    } cases[] = {{"listed", 1, QString("qdctl datasheet --station-run ") + kStation},
                 {"the latest", 0, "qdctl datasheet --station-run"},
                 {"typed", -1, "qdctl datasheet --station-run 5A7E"}};
    for (const auto& c : cases) {
        SetUp();
        QTest::mouseClick(find<QPushButton>("refresh"), Qt::LeftButton);
        find<QComboBox>("lotBy")->setCurrentIndex(0);
        auto* station = find<QComboBox>("station");
        ASSERT_EQ(station->count(), 2) << "the latest and the one station";
        if (c.listed >= 0) {
            station->setCurrentIndex(c.listed);
        } else {
            station->setCurrentText("5A7E");
        }
        click("show", &bench::DatasheetView::shown);
        ASSERT_EQ(find<QLabel>("datasheetError")->text(), "") << c.name;
        EXPECT_EQ(logged("$ ").back(), c.line) << c.name;
        EXPECT_TRUE(find<QLabel>("heading")->text().startsWith("QD1600 datasheet: 3 units"))
            << c.name;
        expectQdctlsTable();
    }
}

// Each refusal shown is the one qdctl gives for the line logged.
TEST_F(BenchDatasheetTest, ChoicesThatMakeNoLotAreRefusedInQdctlsWords) {
    const QString missing = QString::fromStdString(dir->file("missing.sqlite"));
    const struct {
        const char* name;
        std::function<void()> choose;
        QString said;
    } cases[] = {{"runs of two converters",
                  [&] {
                      find<QComboBox>("lotBy")->setCurrentIndex(2);
                      auto* runs = find<QListWidget>("runs");
                      for (int i = 0; i < runs->count(); ++i) {
                          const QString id = runs->item(i)->data(Qt::UserRole).toString();
                          if (id == ids["U1"] || id == ids["V1"]) {
                              runs->item(i)->setCheckState(Qt::Checked);
                          }
                      }
                  },
                  "QD1200, QD1600: a datasheet is one converter's"},
                 {"a station no id starts so",
                  [&] {
                      find<QComboBox>("lotBy")->setCurrentIndex(0);
                      find<QComboBox>("station")->setCurrentText("zz");
                  },
                  "--station-run zz: no station's run starting so is recorded in"},
                 {"a store that is not there",
                  [&] {
                      session::CommonOptions common;
                      common.results = missing.toStdString();
                      window = std::make_unique<bench::BenchWindow>(common);
                      view = window->datasheetView();
                      find<QComboBox>("lotBy")->setCurrentIndex(1);
                  },
                  missing}};
    for (const auto& c : cases) {
        SetUp();
        c.choose();
        click("show", &bench::DatasheetView::shown);
        const QString refusal = find<QLabel>("datasheetError")->text();
        EXPECT_TRUE(refusal.contains(c.said)) << c.name << ": " << refusal.toStdString();
        EXPECT_EQ(find<QTableWidget>("table")->rowCount(), 0) << c.name;
        EXPECT_FALSE(find<QPushButton>("exportCsv")->isEnabled()) << c.name;
        const Outcome r = shell(logged("$ ").back());
        EXPECT_EQ(r.status, 2) << c.name;
        EXPECT_TRUE(r.err.contains(refusal.toUtf8())) << c.name << ": " << r.err.toStdString();
    }
    EXPECT_FALSE(std::filesystem::exists(missing.toStdString())) << "a reader made the store";
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
