#pragma once

// qdctl as a process on a simulated board of the test's own: its state,
// trace and settings set here, so that a test passes from any shell and
// beside others.

#include "TempDir.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

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
    void prepare(QProcess& p, const QStringList& env) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QD_BOARD", "sim");
        e.insert("QD_BOARD_STATE", QString::fromStdString(dir.file("board.state")));
        e.insert("QD_RESULTS", QString::fromStdString(dir.file("results.sqlite")));
        e.insert("QD_BOARD_TRACE", QString::fromStdString(trace()));
        e.remove("QD_BOARD_FAULT");
        e.remove("QD_BOARD_VREF");
        e.remove("QD_BOARD_MODEL");
        e.insert("QD_METER_TIME_SCALE", "0");
        for (const QString& kv : env) {
            const auto eq = kv.indexOf('=');
            if (eq < 0) {
                e.remove(kv);
            } else {
                e.insert(kv.left(eq), kv.mid(eq + 1));
            }
        }
        p.setProcessEnvironment(e);
    }
    Outcome finish(QProcess& p, const QStringList& args) {
        EXPECT_TRUE(p.waitForFinished(120000)) << args.join(' ').toStdString();
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
    }
    Outcome qdctl(const QStringList& args, const QStringList& env = {},
                  const QString& stdoutFile = {}) {
        QProcess p;
        prepare(p, env);
        if (!stdoutFile.isEmpty()) {
            p.setStandardOutputFile(stdoutFile);
        }
        p.start(program(), args);
        return finish(p, args);
    }
    static QString program() { return QCoreApplication::applicationDirPath() + "/qdctl"; }
    static std::string firmware() {
        return (QCoreApplication::applicationDirPath() + "/QD1600.hex").toStdString();
    }
    // Files a sweep left beside its target while it ran.
    std::vector<std::string> partials() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().find(".partial-") != std::string::npos) {
                found.push_back(entry.path().string());
            }
        }
        return found;
    }
    std::string trace() const { return dir.file("trace"); }
    // Waits, while `p` runs, until the rows file it writes holds more than
    // `bytes`: false when it ended first.
    bool waitForRows(QProcess& p, std::uintmax_t bytes) const {
        for (int i = 0; i < 6000 && p.state() == QProcess::Running; ++i) {
            const auto found = partials();
            if (!found.empty() && std::filesystem::file_size(found.front()) > bytes) {
                return true;
            }
            QThread::msleep(5);
        }
        return false;
    }
    std::string describe(const QStringList& args, const Outcome& r) const {
        return "qdctl " + args.join(' ').toStdString() + " -> " + std::to_string(r.status) + "\n" +
               r.out + r.err;
    }

    TempDir dir;
};
