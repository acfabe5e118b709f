// qdctl as a process on the simulated board: round trips, sweeps, the
// selftest, and every kind of bad input leaving the board untouched.

#include "QdctlTest.h"
#include "TempDir.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every line a whole CSV row of seven fields, the file ending with its line
// end: what an interrupted sweep must leave.
bool wholeRows(const std::string& text) {
    if (text.empty() || text.back() != '\n') {
        return false;
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (std::count(line.begin(), line.end(), ',') != 6) {
            return false;
        }
    }
    return true;
}

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
    EXPECT_EQ(rows[0], "code,frame,expected_v,measured_v,error_mv,error_counts,measured_counts");
    EXPECT_EQ(rows[1], "0000,0000,0,0.0,0,0,0");
    EXPECT_EQ(rows[4096], "0FFF,3FFC,4.92879638671875,4.92879638671875,0,0,4095");
    // An ideal board shows no error at any code, not the display's rounding.
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_NE(rows[i].find(",0,0,"), std::string::npos) << rows[i];
    }
    const QJsonObject s = ideal.json();
    EXPECT_EQ(s["points"].toInt(), 4096);
    EXPECT_NEAR(s["offset_error_counts"].toDouble(), 0.0, 1e-9);
    EXPECT_NEAR(s["gain_error_percent"].toDouble(), 0.0, 1e-9);
    EXPECT_EQ(s["largest_deviation_counts"].toInt(), 0);
    EXPECT_EQ(s["largest_deviation_mv"].toDouble(), 0.0);
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
    // Results that cannot be written are found before the board is touched.
    const QString fifo = QString::fromStdString(dir.file("no-reader"));
    ASSERT_EQ(::mkfifo(dir.file("no-reader").c_str(), 0600), 0);
    const QStringList sweep = {"sweep", "--device", "QD1200", "--from", "0", "--to", "F"};
    std::vector<Case> cases = {
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
        {sweep + QStringList{"--csv", "/nonexistent/dir/x.csv"}, 8},
        {sweep + QStringList{"--csv", csv, "--plot", "/nonexistent/dir/x.png"}, 8},
        {sweep + QStringList{"--csv", fifo}, 8},
        {{"characterize", "--device", "QD1200", "--codes", "half"}, 2},
        {{"characterize", "--device", "QD1200", "--limits", "inl=-1"}, 2},
        {{"characterize", "--device", "QD1200", "--limits", "linearity=2"}, 2},
        {{"characterize", "--device", "QD1200", "--meter", "GPIB0::22::INSTR"}, 2},
        {{"characterize", "--device", "QD1200", "--report", csv}, 2},
        {{"characterize", "--device", "QD1200", "--nplc", "0"}, 2},
        {{"characterize", "--device", "QD1200", "--meter", "TCPIP::127.0.0.1::1::SOCKET"}, 10},
        {{"characterize", "--device", "QD1200", "--meter-timeout", "0"}, 2},
        {{"characterize", "--device", "QD1200", "--meter-timeout", "nan"}, 2},
        {{"serve", "--listen", "nonsense"}, 2},
        {{"sim-meter", "--family", "34401A"}, 2},
        {{"sim-meter", "--fault", "stale-reply-after=many"}, 2},
    };
    if (::geteuid() != 0) { // root writes in any folder
        const std::string readOnly = dir.file("read-only");
        std::filesystem::create_directory(readOnly);
        ::chmod(readOnly.c_str(), 0555);
        cases.push_back(
            {sweep + QStringList{"--csv", QString::fromStdString(readOnly + "/x.csv")}, 8});
        cases.push_back({sweep + QStringList{"--csv", csv, "--plot",
                                             QString::fromStdString(readOnly + "/x.svg")},
                         8});
    }
    for (const auto& c : cases) {
        std::filesystem::remove(trace());
        const Outcome r = qdctl(c.args);
        EXPECT_EQ(r.status, c.status) << describe(c.args, r);
        EXPECT_FALSE(r.err.empty()) << describe(c.args, r) << ": no message";
        EXPECT_FALSE(std::filesystem::exists(trace())) << describe(c.args, r) << ": board touched";
    }
}

// Limits are refused before the board is touched, with the name nearest to
// a slip and the limits file's line.
TEST_F(QdctlTest, RefusedLimitsSayWhere) {
    const std::string file = dir.file("qd1200.limits");
    std::ofstream(file) << "# QD1200\ninl 2\nOffset -1 1  # mV\ndnl 1 2 3\n";
    const struct {
        QString limits;
        std::string says;
    } cases[] = {
        {"inll=2", "--limits: no figure 'inll'; did you mean 'inl'?"},
        {"inl=2,INL=3", "--limits: 'INL': inl is limited twice"},
        {"@" + QString::fromStdString(file),
         "--limits: " + file +
             ":4: dnl: take one number (a bound on its size, in LSB) or two (its least and its "
             "largest value)"},
        {"@" + QString::fromStdString(dir.file("none.limits")),
         "--limits: cannot read the limits file " + dir.file("none.limits")},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(trace());
        const QStringList args = {"characterize", "--device", "QD1200", "--limits", c.limits};
        const Outcome r = qdctl(args);
        EXPECT_EQ(r.status, 2) << describe(args, r);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << describe(args, r);
        EXPECT_FALSE(std::filesystem::exists(trace())) << describe(args, r) << ": board touched";
    }
}

TEST_F(QdctlTest, UnplugMidSweepKeepsTheRowsSoFar) {
    const std::string csv = dir.file("partial.csv");
    const QStringList args = {"sweep",  "--device", "QD1400",
                              "--from", "0",        "--to",
                              "3FFF",   "--csv",    QString::fromStdString(csv)};
    // Each code is a write and a read: the 101st request is the 51st write.
    const Outcome r = qdctl(args, {"QD_BOARD_FAULT=unplug-after=100"});
    EXPECT_EQ(r.status, 4) << describe(args, r) << ": an unplugged board is no board";
    EXPECT_NE(r.err.find("after 50 of 16384 codes"), std::string::npos) << describe(args, r);
    EXPECT_EQ(readLines(csv).size(), 51u);
}

TEST_F(QdctlTest, SameCauseSameStatusOnBothLinks) {
    const std::string foreign = dir.file("not-a-board.state");
    struct Case {
        const char* cause;
        QStringList args;
        QStringList env;
        int status;
        const char* message = ""; // the next step, where there is one
    };
    const QStringList programOne = {"program", "--device", "QD1200", "800"};
    const Case cases[] = {
        {"no board", programOne, {"QD_BOARD"}, 4},
        {"download fails", programOne, {"QD_BOARD_FAULT=download-fails"}, 5},
        {"state file not a board's",
         programOne,
         {"QD_BOARD_STATE=" + QString::fromStdString(foreign)},
         4},
        {"request before any firmware",
         {"read"},
         {},
         6,
         "qdctl: the board runs no firmware: program a code first, or pass --download\n"},
        {"board held by a server", programOne, {}, 9},
    };
    for (const QString link : {"1", "2"}) {
        for (const auto& c : cases) {
            writeFile(foreign, "my notes\n");
            std::filesystem::remove(dir.file("board.state"));
            QProcess server;
            if (c.status == 9) {
                prepare(server, {});
                server.start(program(), {"serve", "--listen", "127.0.0.1:0"});
                ASSERT_TRUE(server.waitForReadyRead(60000)) << "the server did not start";
            }
            const QStringList args = QStringList{"--link", link} + c.args;
            const Outcome r = qdctl(args, c.env);
            EXPECT_EQ(r.status, c.status)
                << c.cause << ", link " << link.toStdString() << ": " << describe(args, r);
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1)
                << c.cause << ": one line per failure, from qdctl: " << r.err;
            EXPECT_EQ(r.err.rfind("qdctl: ", 0), 0u) << c.cause << ": " << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.cause << ": " << r.err;
            if (c.status == 9) {
                EXPECT_NE(r.err.find("held by process"), std::string::npos) << r.err;
                server.terminate();
                server.waitForFinished(60000);
            }
        }
    }
    EXPECT_EQ(readAll(foreign), "my notes\n") << "a state file that is not a board's is kept";
}

// A server holds its board from the start, also one that has nothing to
// load and no client yet: a second server is refused, not at its first
// request but before it listens.
TEST_F(QdctlTest, AnIdleServerHoldsItsBoard) {
    const QStringList program = {"program", "--device", "QD1200", "800"};
    ASSERT_EQ(qdctl(program).status, 0) << "the firmware runs before the server starts";
    for (const QString link : {"1", "2"}) {
        QProcess server;
        prepare(server, {});
        server.start(QdctlTest::program(), {"--link", link, "serve", "--listen", "127.0.0.1:0"});
        ASSERT_TRUE(server.waitForReadyRead(60000)) << "the first server did not start";
        const QStringList second = {"--link", link, "serve", "--listen", "127.0.0.1:0"};
        const Outcome r = qdctl(second);
        EXPECT_EQ(r.status, 9) << describe(second, r);
        EXPECT_NE(r.err.find("held by process"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "the second server listened";
        server.terminate();
        server.waitForFinished(60000);
    }
}

TEST_F(QdctlTest, HelpOfEachSubcommandReadsLikeAManPage) {
    for (const QString sub :
         {"program", "read", "verify", "sweep", "selftest", "characterize", "sim-meter"}) {
        const Outcome r = qdctl({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub.toStdString();
        EXPECT_NE(r.out.find("EXIT STATUS"), std::string::npos) << sub.toStdString();
        EXPECT_NE(r.out.find("EXAMPLES"), std::string::npos) << sub.toStdString();
    }
}

// A firmware path that names no regular file is refused at once: never a
// wait for a FIFO's writer, never an endless read of a device, whether or
// not the board needs the image.
TEST_F(QdctlTest, AFirmwarePathThatIsNoFileFailsAtOnce) {
    const std::string fifo = dir.file("fifo.hex");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* what;
        std::string path;
        bool loaded; // the board runs its firmware already
        int status;
    } cases[] = {
        {"a FIFO", fifo, false, 5},
        {"a device", "/dev/zero", false, 5},
        {"a FIFO, the board running", fifo, true, 0},
        {"a device, the board running", "/dev/zero", true, 0},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir.file("board.state"));
        if (c.loaded) {
            ASSERT_EQ(qdctl({"program", "--device", "QD1200", "800"}).status, 0) << c.what;
        }
        const QStringList args = {
            "--firmware", QString::fromStdString(c.path), "program", "--device", "QD1200", "800"};
        QProcess p;
        prepare(p, {});
        p.start(program(), args);
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << c.what << ": still running after 30 s";
            continue;
        }
        const std::string err = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitCode(), c.status) << c.what << ": " << err;
        if (c.status != 0) {
            EXPECT_NE(err.find("not a regular file"), std::string::npos) << c.what << ": " << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.what << ": " << err;
        }
    }
}

TEST_F(QdctlTest, ResultsFilesAreNeverLostOrClobbered) {
    const std::string csv = dir.file("sweep.csv");
    const std::string image = dir.file("QD1600.hex");
    std::filesystem::copy_file(firmware(), image);
    const QString c = QString::fromStdString(csv);
    const QStringList sweep = {"sweep",  "--device",   "QD1200",
                               "--from", "0",          "--to",
                               "F",      "--firmware", QString::fromStdString(image)};
    struct Case {
        const char* what;
        QStringList args;
        QStringList env;
        int status;
        const char* message;  // in standard error
        std::string csvAfter; // what the CSV holds afterwards; "rows": 16 whole rows
        std::string plot;     // a plot file that must start with `magic`
        std::string magic;
    };
    const std::string old = "earlier results\n";
    const Case cases[] = {
        {"full disk", {"--csv", "/dev/full"}, {}, 8, "0 rows kept", old, {}, {}},
        {"download fails",
         {"--csv", c},
         {"QD_BOARD_FAULT=download-fails"},
         5,
         "download",
         old,
         {},
         {}},
        {"csv names the firmware",
         {"--csv", QString::fromStdString(image)},
         {},
         2,
         "firmware",
         old,
         {},
         {}},
        {"plot names the csv", {"--csv", c, "--plot", c}, {}, 2, "same file", old, {}, {}},
        {"csv is a folder",
         {"--csv", QString::fromStdString(dir.path().string())},
         {},
         2,
         "folder",
         old,
         {},
         {}},
        {"plot format unknown",
         {"--csv", c, "--plot", QString::fromStdString(dir.file("p.jpg"))},
         {},
         2,
         ".png, .svg or .pdf",
         old,
         {},
         {}},
        {"png",
         {"--csv", c, "--plot", QString::fromStdString(dir.file("p.png"))},
         {},
         0,
         "",
         "rows",
         dir.file("p.png"),
         "\x89PNG"},
        {"svg",
         {"--csv", c, "--plot", QString::fromStdString(dir.file("p.SVG"))},
         {},
         0,
         "",
         "rows",
         dir.file("p.SVG"),
         "<?xml"},
        {"pdf",
         {"--csv", c, "--plot", QString::fromStdString(dir.file("p.pdf"))},
         {},
         0,
         "",
         "rows",
         dir.file("p.pdf"),
         "%PDF"},
    };
    for (const auto& k : cases) {
        writeFile(csv, old);
        std::filesystem::remove(trace());
        const QStringList args = sweep + k.args;
        const Outcome r = qdctl(args, k.env);
        EXPECT_EQ(r.status, k.status) << k.what << ": " << describe(args, r);
        EXPECT_NE(r.err.find(k.message), std::string::npos) << k.what << ": " << describe(args, r);
        const std::string after = readAll(csv);
        if (k.csvAfter == "rows") {
            EXPECT_TRUE(wholeRows(after.substr(after.find('\n') + 1))) << k.what;
            EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 17) << k.what;
        } else {
            EXPECT_EQ(after, k.csvAfter) << k.what;
        }
        EXPECT_EQ(readAll(image), readAll(firmware())) << k.what << ": the firmware changed";
        if (!k.plot.empty()) {
            EXPECT_EQ(readAll(k.plot).substr(0, k.magic.size()), k.magic) << k.what;
        }
        if (k.status == 2) {
            EXPECT_FALSE(std::filesystem::exists(trace())) << k.what << ": board touched";
        }
        EXPECT_TRUE(partials().empty()) << k.what << ": " << partials().front();
    }
    const Outcome out = qdctl({"read"}, {}, "/dev/full");
    EXPECT_EQ(out.status, 8) << "read >/dev/full: " << out.err;
}

TEST_F(QdctlTest, CsvToStandardOutput) {
    const QStringList args = {"sweep", "--device", "QD1200", "--from", "0",
                              "--to",  "3",        "--csv",  "-"};
    const Outcome r = qdctl(args);
    ASSERT_EQ(r.status, 0) << describe(args, r);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "code,frame,expected_v,measured_v,error_mv,"
                                                 "error_counts,measured_counts");
    EXPECT_NE(r.out.find("0003,000C,"), std::string::npos) << r.out;
    EXPECT_TRUE(wholeRows(r.out)) << "rows only, for a CSV reader: " << r.out;
    EXPECT_NE(r.err.find("points             4"), std::string::npos) << "the summary: " << r.err;
    const Outcome both = qdctl(QStringList{"--json"} + args);
    EXPECT_EQ(both.status, 2) << "CSV and JSON cannot share standard output";
}

TEST_F(QdctlTest, InterruptedSweepKeepsWholeRows) {
    const std::string csv = dir.file("long.csv");
    const QStringList args = {"sweep",
                              "--device",
                              "QD1600",
                              "--from",
                              "0",
                              "--to",
                              "FFFF",
                              "--step",
                              "1",
                              "--csv",
                              QString::fromStdString(csv)};
    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
        std::filesystem::remove(csv);
        for (const auto& partial : partials()) {
            std::filesystem::remove(partial);
        }
        QProcess p;
        prepare(p, {});
        p.start(program(), args);
        ASSERT_TRUE(p.waitForStarted());
        // The rows file grows as the sweep measures; stop it once it has.
        const bool measuring = waitForRows(p, 4096);
        ASSERT_TRUE(measuring) << "signal " << signal << ": the sweep wrote no rows";
        const auto partial = partials().front();
        ::kill(static_cast<pid_t>(p.processId()), signal);
        const Outcome r = finish(p, args);
        const std::string kept = readAll(signal == SIGKILL ? partial : csv);
        EXPECT_TRUE(wholeRows(kept.substr(kept.find('\n') + 1))) << "signal " << signal;
        if (signal == SIGKILL) {
            EXPECT_FALSE(std::filesystem::exists(csv)) << "a killed sweep renames nothing";
        } else {
            EXPECT_EQ(r.status, 128 + signal) << describe(args, r);
            EXPECT_TRUE(partials().empty()) << "signal " << signal;
        }
    }
}

// Ctrl-C while a slow reader of the rows holds the sweep in a write: the
// write is carried on, and the signal ends the sweep with 128 + SIGINT.
TEST_F(QdctlTest, InterruptedSweepIntoASlowPipeEndsWithTheSignalsStatus) {
    const std::string fifo = dir.file("rows");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    const QStringList args = {"sweep", "-q",   "--device", "QD1600", "--from",
                              "0",     "--to", "FFFF",     "--csv",  "-"};
    QProcess p;
    prepare(p, {});
    p.setStandardOutputFile(QString::fromStdString(fifo));
    p.start(program(), args);
    ASSERT_TRUE(p.waitForStarted());
    // Nobody reads: the sweep fills the pipe and sleeps in its next write.
    const std::string wchan = "/proc/" + std::to_string(p.processId()) + "/wchan";
    bool writing = false;
    for (int i = 0; i < 6000 && !writing && p.state() == QProcess::Running; ++i) {
        writing = readAll(wchan).find("pipe_write") != std::string::npos;
        if (!writing) {
            QThread::msleep(5);
        }
    }
    ASSERT_TRUE(writing) << "the sweep never waited for its reader";
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    // Drained at once, the pipe could let the write finish before the
    // signal interrupts it: first the signal is taken, and the sweep either
    // ends or waits in its write again.
    const std::string status = "/proc/" + std::to_string(p.processId()) + "/status";
    const auto interruptPending = [&] {
        std::istringstream in(readAll(status));
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) {
                if (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGINT - 1))) {
                    return true;
                }
            }
        }
        return false;
    };
    bool taken = false;
    for (int i = 0; i < 6000 && !taken; ++i) {
        taken = readAll(status).find("State:\tZ") != std::string::npos ||
                (!interruptPending() && readAll(wchan).find("pipe_write") != std::string::npos);
        if (!taken) {
            QThread::msleep(5);
        }
    }
    ::fcntl(reader, F_SETFL, 0);
    std::string rows;
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) {
        rows.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(reader);
    const Outcome r = finish(p, args);
    EXPECT_EQ(r.status, 128 + SIGINT) << describe(args, r);
    EXPECT_TRUE(wholeRows(rows)) << "rows cut apart";
    EXPECT_NE(r.err.find("(interrupted)"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("cannot write"), std::string::npos) << "the write was given up: " << r.err;
}

TEST_F(QdctlTest, NumbersThatMakeNoSenseAreBadArguments) {
    const QStringList verify = {"verify", "--device", "QD1600", "8000"};
    const QStringList byVolts = {"program", "--device", "QD1600", "--volts"};
    const QStringList cases[] = {
        verify + QStringList{"--vref", "nan"},       verify + QStringList{"--vref", "-5"},
        verify + QStringList{"--vref", "0"},         verify + QStringList{"--vref", "inf"},
        verify + QStringList{"--tolerance", "nan"},  verify + QStringList{"--tolerance", "-1"},
        byVolts + QStringList{"1", "--vref", "inf"}, byVolts + QStringList{"nan"},
    };
    for (const auto& args : cases) {
        std::filesystem::remove(trace());
        const Outcome r = qdctl(args);
        EXPECT_EQ(r.status, 2) << describe(args, r);
        EXPECT_FALSE(std::filesystem::exists(trace())) << describe(args, r) << ": board touched";
    }
}

TEST_F(QdctlTest, CodesBeyondTheRangeAreRefusedUnlessClamped) {
    struct Case {
        const char* mistake;
        QStringList args;
        int status;
        const char* code;    // as the box shows it, in the JSON
        const char* message; // in standard error
    };
    const QStringList qd1200 = {"program", "--device", "QD1200"};
    const Case cases[] = {
        {"mid-scale typed in decimal", qd1200 + QStringList{"2048"}, 3, "",
         "lies outside the QD1200's range 0 to 0FFF; codes are hexadecimal, so decimal 2048 is "
         "0800"},
        {"a code with one digit too many",
         {"verify", "--device", "QD1610", "FFFFFF"},
         3,
         "",
         "lies outside the QD1610's range 0 to FFFF"},
        {"a code with the top bit set", qd1200 + QStringList{"FFFFFFFF"}, 3, "", "--clamp"},
        {"a voltage above the reference", qd1200 + QStringList{"--volts", "6"}, 3, "",
         "range 0 to 4.93 V"},
        {"a voltage below zero", qd1200 + QStringList{"--volts", "-1"}, 3, "", "range 0 to 4.93 V"},
        {"a sweep past the device's range",
         {"sweep", "--device", "QD1200", "--from", "0", "--to", "FFFF", "--csv",
          QString::fromStdString(dir.file("s.csv"))},
         3,
         "",
         "--to FFFF lies outside"},
        {"a prefix on the code", qd1200 + QStringList{"0x800"}, 3, "", "without a prefix"},
        {"the box's clamping asked for", qd1200 + QStringList{"--clamp", "FFFFF"}, 0, "0FFF",
         "clamped to 0FFF"},
        {"clamping a negative code", qd1200 + QStringList{"--clamp", "FFFFFFFF"}, 0, "0000",
         "clamped to 0000"},
        {"clamping a voltage", qd1200 + QStringList{"--clamp", "--volts", "6"}, 0, "0FFF",
         "clamped to code 0FFF"},
        {"a code within the range", qd1200 + QStringList{"800"}, 0, "0800", ""},
        {"the instrument's name of a mode", qd1200 + QStringList{"--mode", "pd1k", "800"}, 0,
         "0800", ""},
        {"the short SCPI name of three-state", qd1200 + QStringList{"--mode", "TST", "fff"}, 0,
         "0FFF", ""},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(trace());
        const QStringList args = QStringList{"--json"} + c.args;
        const Outcome r = qdctl(args);
        EXPECT_EQ(r.status, c.status) << c.mistake << ": " << describe(args, r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.mistake << ": " << r.err;
        if (c.status == 0) {
            EXPECT_EQ(r.json()["code"].toString().toStdString(), c.code) << c.mistake;
            EXPECT_EQ(r.json()["clamped"].toBool(), c.args.contains("--clamp")) << c.mistake;
        } else {
            EXPECT_FALSE(std::filesystem::exists(trace())) << c.mistake << ": board touched";
        }
    }
}

TEST_F(QdctlTest, MistypedNamesGetTheNearestValidOne) {
    struct Case {
        QStringList args;
        const char* message;
    };
    const Case cases[] = {
        {{"prog", "--device", "QD1200", "800"},
         "unknown subcommand \"prog\": did you mean program?"},
        {{"hlep"}, "did you mean --help?"},
        {{"program", "--devcie", "QD1200", "800"},
         "unknown option --devcie: did you mean --device?"},
        {{"--jsn", "read"}, "did you mean --json?"},
        {{"--device", "QD1200", "program", "800"}, "--device goes after the subcommand"},
        {{"program", "--device", "QD1200", "--mode", "off", "800"}, "off is no power mode"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(trace());
        const Outcome r = qdctl(c.args);
        EXPECT_EQ(r.status, 2) << describe(c.args, r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << describe(c.args, r);
        EXPECT_FALSE(std::filesystem::exists(trace())) << describe(c.args, r) << ": board touched";
    }
}

TEST_F(QdctlTest, BoardSettingsItDoesNotTakeAreRefusedNotGuessed) {
    struct Case {
        const char* mistake;
        QString setting;
        const char* named; // the variable the message names
    };
    const std::string missingFolderTrace = dir.file("missing/trace");
    const std::string traceNamed = "QD_BOARD_TRACE: \"" + missingFolderTrace + "\"";
    const Case cases[] = {
        {"the simulated board asked for in capitals", "QD_BOARD=SIM", "QD_BOARD: \"SIM\""},
        {"a fault that does not exist", "QD_BOARD_FAULT=bogus", "QD_BOARD_FAULT: \"bogus\""},
        {"a reference that is no number", "QD_BOARD_VREF=abc", "QD_BOARD_VREF: \"abc\""},
        {"a trace in a folder that does not exist",
         "QD_BOARD_TRACE=" + QString::fromStdString(missingFolderTrace), traceNamed.c_str()},
    };
    for (const QString link : {"1", "2"}) {
        for (const auto& c : cases) {
            const QStringList args = {"--link", link, "program", "--device", "QD1200", "800"};
            const Outcome r = qdctl(args, {c.setting});
            EXPECT_EQ(r.status, 4) << c.mistake << ": " << describe(args, r);
            EXPECT_NE(r.err.find(std::string(c.named) + " refused; it takes "), std::string::npos)
                << c.mistake << ": " << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1)
                << c.mistake << ": " << r.err;
            EXPECT_FALSE(std::filesystem::exists(dir.file("board.state"))) << c.mistake;
        }
    }
}

// A board whose reply stays unfilled reads 0 V at every code; one driven
// off its reference reads too low. Neither passes for a good sweep.
TEST_F(QdctlTest, SweepFailsWhenTheReadingsDoNotFollowOrStrayTooFar) {
    struct Case {
        const char* what;
        QStringList extra;
        QStringList env;
        int status;
        const char* summary; // in the text summary
    };
    const Case cases[] = {
        {"reply left unfilled",
         {},
         {"QD_BOARD_FAULT=no-reply"},
         1,
         "monotonic          no: the reading stays at 0 counts whatever the code"},
        {"output off, with a tolerance",
         {"--tolerance", "2"},
         {"QD_BOARD_VREF=4.83"},
         1,
         " points beyond it"},
        {"output off, no tolerance asked", {}, {"QD_BOARD_VREF=4.83"}, 0, "monotonic          yes"},
        {"ideal board, no error allowed", {"--tolerance", "0"}, {}, 0, "every point within it"},
        {"a power-down mode reads 0 as it should",
         {"--mode", "1k"},
         {},
         0,
         "monotonic          yes"},
    };
    for (const auto& c : cases) {
        const QStringList args =
            QStringList{"--download", "sweep",  "--device",
                        "QD1200",     "--from", "0",
                        "--to",       "FFF",    "--step",
                        "10",         "--csv",  QString::fromStdString(dir.file("s.csv"))} +
            c.extra;
        const Outcome r = qdctl(args, c.env);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << describe(args, r);
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << c.what << ": " << r.out;
    }
}

TEST_F(QdctlTest, EveryOutcomeIsOneJsonObject) {
    const QStringList cases[] = {
        {"--json", "program", "--device", "QD1200", "--colour", "blue", "800"},
        {"--json", "program", "--device", "QD9999", "800"},
        {"--json", "program", "--device", "QD1200", "G"},
        {"--json", "sweep", "--device", "QD1200", "--from", "0"},
        {"--json", "program", "--device", "QD1200", "800"},
        {"--json", "list"},
    };
    for (const auto& args : cases) {
        const Outcome r = qdctl(args);
        QJsonParseError error{};
        const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << describe(args, r);
        ASSERT_TRUE(doc.isObject()) << describe(args, r);
        if (r.status != 0) {
            EXPECT_EQ(doc.object()["status"].toInt(), r.status) << describe(args, r);
            EXPECT_FALSE(doc.object()["error"].toString().isEmpty()) << describe(args, r);
            EXPECT_FALSE(r.err.empty()) << describe(args, r) << ": no message";
        }
    }
}

TEST_F(QdctlTest, FirmwareIsLoadedOnlyWhenTheBoardDoesNotRunIt) {
    const QStringList program = {"--json", "program", "--device", "QD1200", "800"};
    struct Step {
        QStringList extra;
        const char* firmware;
    };
    const Step steps[] = {{{}, "loaded"}, {{}, "running"}, {{"--download"}, "loaded"}};
    int downloads = 0;
    for (const auto& step : steps) {
        const QStringList args = step.extra + program;
        const Outcome r = qdctl(args);
        ASSERT_EQ(r.status, 0) << describe(args, r);
        EXPECT_EQ(r.json()["firmware"].toString().toStdString(), step.firmware)
            << describe(args, r);
        downloads += std::string(step.firmware) == "loaded";
        const auto lines = readLines(trace());
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.starts_with("download"); }),
                  downloads)
            << describe(args, r);
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
