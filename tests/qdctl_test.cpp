// qdctl as a process on the simulated board: round trips, sweeps, the
// selftest, and every kind of bad input leaving the board untouched.

#include "TempDir.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    QJsonObject json() const {
        return QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
    }
};

class QdctlTest : public ::testing::Test {
  protected:
    Outcome qdctl(const QStringList& args, const QStringList& env = {}) {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QD_BOARD", "sim");
        e.insert("QD_BOARD_STATE", QString::fromStdString(dir.file("board.state")));
        e.insert("QD_BOARD_TRACE", QString::fromStdString(trace()));
        e.remove("QD_BOARD_FAULT");
        e.remove("QD_BOARD_VREF");
        for (const QString& kv : env) {
            const auto eq = kv.indexOf('=');
            if (eq < 0) {
                e.remove(kv);
            } else {
                e.insert(kv.left(eq), kv.mid(eq + 1));
            }
        }
        p.setProcessEnvironment(e);
        p.start(QCoreApplication::applicationDirPath() + "/qdctl", args);
        EXPECT_TRUE(p.waitForFinished(120000)) << args.join(' ').toStdString();
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
    }
    std::string trace() const { return dir.file("trace"); }
    std::string describe(const QStringList& args, const Outcome& r) const {
        return "qdctl " + args.join(' ').toStdString() + " -> " + std::to_string(r.status) + "\n" +
               r.out + r.err;
    }

    TempDir dir;
};

} // namespace

TEST_F(QdctlTest, ProgramReadAndVerifyEachDeviceOverBothLinks) {
    struct Case {
        QString device, code, frame;
        int counts;
    };
    const Case cases[] = {{"QD1200", "800", "2000", 2048},
                          {"QD1400", "2000", "2000", 2048},
                          {"QD1600", "8000", "8000", 2048},
                          {"QD1610", "c000", "C000", 3072}};
    for (const QString link : {"1", "2"}) {
        for (const auto& c : cases) {
            const QStringList program = {"--link",   link,     "--json", "program",
                                         "--device", c.device, c.code};
            const Outcome p = qdctl(program);
            ASSERT_EQ(p.status, 0) << describe(program, p);
            EXPECT_EQ(p.json()["frame"].toString(), c.frame) << describe(program, p);

            const QStringList read = {"--link", link, "--json", "read"};
            const Outcome r = qdctl(read);
            ASSERT_EQ(r.status, 0) << describe(read, r);
            EXPECT_EQ(r.json()["counts"].toInt(), c.counts) << describe(read, r);

            const QStringList verify = {"--link", link, "verify", "--device", c.device, c.code};
            const Outcome v = qdctl(verify);
            EXPECT_EQ(v.status, 0) << describe(verify, v);
            EXPECT_NE(v.out.find("PASS"), std::string::npos) << describe(verify, v);
        }
    }
}

TEST_F(QdctlTest, VerifyFailsWhenTheOutputIsOff) {
    const QStringList args = {"verify", "--device", "QD1600", "FFFF"};
    const Outcome r = qdctl(args, {"QD_BOARD_VREF=4.5"});
    EXPECT_EQ(r.status, 1) << describe(args, r);
    EXPECT_NE(r.out.find("FAIL"), std::string::npos) << describe(args, r);
}

TEST_F(QdctlTest, FullSweepOfTheTwelveBitDevice) {
    const std::string csv = dir.file("sweep.csv");
    const std::string png = dir.file("sweep.png");
    const QStringList args = {"--json",   "sweep",
                              "--device", "QD1200",
                              "--from",   "0",
                              "--to",     "FFF",
                              "--csv",    QString::fromStdString(csv),
                              "--plot",   QString::fromStdString(png)};
    const Outcome ideal = qdctl(args);
    ASSERT_EQ(ideal.status, 0) << describe(args, ideal);
    const auto rows = readLines(csv);
    ASSERT_EQ(rows.size(), 4097u) << "a header and one row per code";
    EXPECT_EQ(rows[0], "code,frame,expected_v,measured_v,error_mv,error_counts");
    EXPECT_EQ(rows[1].substr(0, 10), "0000,0000,");
    EXPECT_EQ(rows[4096].substr(0, 10), "0FFF,3FFC,");
    const QJsonObject s = ideal.json();
    EXPECT_EQ(s["points"].toInt(), 4096);
    EXPECT_NEAR(s["offset_error_counts"].toDouble(), 0.0, 1e-9);
    EXPECT_NEAR(s["gain_error_percent"].toDouble(), 0.0, 1e-9);
    EXPECT_EQ(s["largest_deviation_counts"].toInt(), 0);
    EXPECT_TRUE(s["monotonic"].toBool());
    EXPECT_GT(std::filesystem::file_size(png), 1000u) << "a plot was drawn";

    const Outcome off = qdctl(args, {"QD_BOARD_VREF=4.83"});
    ASSERT_EQ(off.status, 0) << describe(args, off);
    EXPECT_NEAR(off.json()["gain_error_percent"].toDouble(), (4.83 / 4.93 - 1) * 100, 0.05);
}

TEST_F(QdctlTest, SelftestCatchesIgnoredPowerDownBits) {
    for (const QString device : {"QD1200", "QD1610"}) {
        const QStringList args = {"selftest", "--device", device};
        const Outcome good = qdctl(args);
        EXPECT_EQ(good.status, 0) << describe(args, good);
        const Outcome bad = qdctl(args, {"QD_BOARD_FAULT=ignore-power-down"});
        EXPECT_EQ(bad.status, 1) << describe(args, bad);
        EXPECT_NE(bad.out.find("1k"), std::string::npos) << describe(args, bad);
    }
}

TEST_F(QdctlTest, BadInputLeavesTheBoardUntouched) {
    struct Case {
        QStringList args;
        int status;
    };
    const QString csv = QString::fromStdString(dir.file("bad.csv"));
    const Case cases[] = {
        {{}, 2},
        {{"program"}, 2},
        {{"program", "--device", "QD9999", "800"}, 2},
        {{"program", "--device", "QD1200", "--mode", "off", "800"}, 2},
        {{"program", "--device", "QD1200"}, 2},
        {{"program", "--device", "QD1200", "800", "--volts", "1"}, 2},
        {{"--link", "3", "program", "--device", "QD1200", "800"}, 2},
        {{"program", "--device", "QD1200", "G"}, 3},
        {{"program", "--device", "QD1200", "-1"}, 3},
        {{"program", "--device", "QD1200", "0x10"}, 3},
        {{"program", "--device", "QD1200", "123456789"}, 3},
        {{"verify", "--device", "QD1200", "--tolerance", "-1", "800"}, 2},
        {{"sweep", "--device", "QD1200", "--from", "10", "--to", "0", "--csv", csv}, 2},
        {{"sweep", "--device", "QD1200", "--from", "0", "--to", "F", "--step", "0", "--csv", csv},
         2},
        {{"sweep", "--device", "QD1200", "--from", "0", "--to", "Z", "--csv", csv}, 3},
        {{"sweep", "--device", "QD1200", "--from", "0", "--to", "F", "--csv",
          "/nonexistent/dir/x.csv"},
         2},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(trace());
        const Outcome r = qdctl(c.args);
        EXPECT_EQ(r.status, c.status) << describe(c.args, r);
        EXPECT_FALSE(r.err.empty()) << describe(c.args, r) << ": no message";
        EXPECT_FALSE(std::filesystem::exists(trace())) << describe(c.args, r) << ": board touched";
    }
}

TEST_F(QdctlTest, UnplugMidSweepKeepsTheRowsSoFar) {
    const std::string csv = dir.file("partial.csv");
    const QStringList args = {"sweep",  "--device", "QD1400",
                              "--from", "0",        "--to",
                              "3FFF",   "--csv",    QString::fromStdString(csv)};
    // Each code is a write and a read: the 101st request is the 51st write.
    const Outcome r = qdctl(args, {"QD_BOARD_FAULT=unplug-after=100"});
    EXPECT_EQ(r.status, 6) << describe(args, r);
    EXPECT_NE(r.err.find("after 50 of 16384 codes"), std::string::npos) << describe(args, r);
    EXPECT_EQ(readLines(csv).size(), 51u);
}

TEST_F(QdctlTest, NoBoardAndFailedDownloadHaveTheirOwnStatus) {
    const QStringList link2 = {"--link", "2", "program", "--device", "QD1200", "800"};
    const Outcome none = qdctl(link2, {"QD_BOARD"});
    EXPECT_EQ(none.status, 4) << describe(link2, none);
    const Outcome refused = qdctl(link2, {"QD_BOARD_FAULT=download-fails"});
    EXPECT_EQ(refused.status, 5) << describe(link2, refused);
    const QStringList link1 = {"program", "--device", "QD1200", "800"};
    const Outcome refused1 = qdctl(link1, {"QD_BOARD_FAULT=download-fails"});
    EXPECT_EQ(refused1.status, 5) << describe(link1, refused1);
}

TEST_F(QdctlTest, HelpOfEachSubcommandReadsLikeAManPage) {
    for (const QString sub : {"program", "read", "verify", "sweep", "selftest"}) {
        const Outcome r = qdctl({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub.toStdString();
        EXPECT_NE(r.out.find("EXIT STATUS"), std::string::npos) << sub.toStdString();
        EXPECT_NE(r.out.find("EXAMPLES"), std::string::npos) << sub.toStdString();
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
