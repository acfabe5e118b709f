// How the bench window answers while it measures: a characterization of
// every code of a 16-bit converter at the simulated board's full speed,
// the window's event loop asked every 10 ms how late it is, and the
// process's resident memory taken as the run goes on, so that a live plot
// that grows with time (not with the plan) shows. Not a test: a yardstick,
// run by hand (docs/speed.md says how).
//
//   window_latency [CODES [SAMPLES]]   as --codes and --samples take them;
//                                      "all" and 1 by default

#include "bench/BenchWindow.h"
#include "bench/CharacterizeView.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

double residentMiB() {
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * static_cast<double>(sysconf(_SC_PAGESIZE)) /
                                   (1024.0 * 1024.0)
                             : 0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QTemporaryDir dir;
    qputenv("QD_BOARD", "sim");
    qputenv("QD_BOARD_STATE", dir.filePath("board.state").toUtf8());
    qputenv("QD_RESULTS", dir.filePath("results.sqlite").toUtf8());
    QApplication app(argc, argv);
    // The setup it types is not remembered in the user's settings.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("settings"));
    const QString codes = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("all");
    const int samples = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 1;

    qd::bench::BenchWindow window{qd::session::CommonOptions{}};
    window.show();
    window.findChild<QComboBox*>("codes")->setCurrentText(codes);
    window.findChild<QSpinBox*>("samples")->setValue(samples);
    window.findChild<QDoubleSpinBox*>("settle")->setValue(0);

    // The event loop's lateness: how much longer than asked each 10 ms tick
    // took to come.
    std::vector<double> lateMs;
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setInterval(10);
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        lateMs.push_back(std::max(0.0, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6 - 10));
        sinceTick.restart();
    });
    std::vector<std::pair<int, double>> memory; // (percent done, MiB)
    auto* progress = window.findChild<QProgressBar*>("progress");
    QObject::connect(progress, &QProgressBar::valueChanged, [&](int value) {
        const int percent = progress->maximum() > 0 ? value * 100 / progress->maximum() : 0;
        if (memory.empty() || percent >= memory.back().first + 10) {
            memory.emplace_back(percent, residentMiB());
        }
    });

    const double before = residentMiB();
    QSignalSpy shown(window.characterizeView(), &qd::bench::CharacterizeView::shown);
    QElapsedTimer clock;
    clock.start();
    sinceTick.start();
    tick.start();
    window.characterizeView()->start();
    if (!shown.wait(3600 * 1000)) {
        std::fprintf(stderr, "window_latency: the run did not end within an hour\n");
        return 1;
    }
    tick.stop();
    const double seconds = static_cast<double>(clock.elapsed()) / 1000;
    std::printf("codes %s, %d samples: %d measured in %.2f s, %zu ticks of 10 ms\n",
                qPrintable(codes), samples, progress->maximum(), seconds, lateMs.size());
    std::printf("event loop late by: median %.1f ms, 95th percentile %.1f ms, largest %.1f ms "
                "(goal: 95th percentile 50 ms at most)\n",
                percentile(lateMs, 0.5), percentile(lateMs, 0.95), percentile(lateMs, 1.0));
    std::printf("resident memory: %.1f MiB before the run", before);
    for (const auto& [percent, mib] : memory) {
        std::printf(", %.1f at %d %%", mib, percent);
    }
    std::printf(", %.1f at the end\n", residentMiB());
    return 0;
}
