// The scope client against `qdctl sim-scope` of each family, probing the
// simulated board: the step the board's code update makes, read through
// each dialect's preamble and block over a socket, lands on the board's
// own levels.

#include "QdctlTest.h"
#include "scope/Scope.h"

#include <QCoreApplication>
#include <QProcess>
#include <cmath>
#include <numeric>

namespace {

using namespace std::chrono_literals;

// The ideal converter of the simulated QD1600: 16 bits of its 4.93 V reference.
double boardVolts(int code) {
    return 4.93 * code / 65536;
}

class ScopeSimTest : public QdctlTest {
  protected:
    ~ScopeSimTest() override {
        scope_.terminate();
        scope_.waitForFinished(10000);
    }

    // The simulated scope as `family` on a free port: its resource.
    QString startScope(const QString& family) {
        scope_.terminate();
        scope_.waitForFinished(10000);
        prepare(scope_, {"QD_SCOPE_TIME_SCALE=0"});
        scope_.start(program(), {"sim-scope", "--listen", "127.0.0.1:0", "--family", family});
        const QString line = scope_.waitForReadyRead(30000) ? scope_.readLine() : QString();
        EXPECT_TRUE(line.startsWith("listening on 127.0.0.1:"))
            << line.toStdString() << scope_.readAllStandardError().toStdString();
        return "TCPIP::127.0.0.1::" + line.trimmed().section(':', -1) + "::SOCKET";
    }

    void program(int code) {
        const QStringList args = {"program", "--device", "QD1600", QString::number(code, 16)};
        const Outcome r = qdctl(args);
        ASSERT_EQ(r.status, 0) << describe(args, r);
    }
    using QdctlTest::program;

    QProcess scope_;
};

double mean(const std::vector<double>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

TEST_F(ScopeSimTest, EachFamilyReadsTheBoardsStep) {
    const int from = 0x2000, to = 0x6000;
    for (const char* family : {"InfiniiVision", "DS1000Z", "Tektronix", "Siglent"}) {
        program(from);
        const QString resource = startScope(family);
        auto scope = qd::scope::openScope(resource.toStdString(), 20000ms);
        EXPECT_STREQ(scope->family().name, family);
        // Both levels on screen; 2 µs of the record before the update.
        scope->configure({0.5, 1.25, 1e-6, -2e-6, 16, 1000});
        scope->arm();
        program(to);
        // Each poll is answered: the scope tells when its average has ended.
        int polls = 0;
        while (!scope->done()) {
            ASSERT_LT(++polls, 100000) << family << ": the acquisition never ended";
        }
        EXPECT_TRUE(scope->triggered()) << family;
        const qd::measure::Waveform w = scope->read();
        ASSERT_GE(w.volts.size(), 100u) << family;
        const std::size_t n = w.volts.size();
        // Before the update, and long after it (the simulated board settles
        // at once, the scope's bandwidth in nanoseconds).
        std::vector<double> before, after;
        for (std::size_t i = 0; i < n; ++i) {
            if (w.timeOf(i) < 0) {
                before.push_back(w.volts[i]);
            } else if (w.timeOf(i) > 0.5e-6) {
                after.push_back(w.volts[i]);
            }
        }
        ASSERT_GE(before.size(), 10u) << family;
        ASSERT_GE(after.size(), 10u) << family;
        EXPECT_NEAR(mean(before), boardVolts(from), 3 * w.codeVolts) << family;
        EXPECT_NEAR(mean(after), boardVolts(to), 3 * w.codeVolts) << family;
        EXPECT_LT(w.startSeconds, 0) << family;
        EXPECT_GT(w.timeOf(n - 1), 0) << family;
        EXPECT_EQ(std::count(w.clipped.begin(), w.clipped.end(), 1), 0) << family;
        const qd::measure::ScopeSetup setup = scope->setup();
        EXPECT_DOUBLE_EQ(setup.voltsPerDivision, 0.5) << family;
        EXPECT_NEAR(setup.offsetVolts, 1.25, 1e-9) << family;
        EXPECT_EQ(setup.family, family);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
