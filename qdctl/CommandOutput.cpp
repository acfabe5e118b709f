#include "qdctl/CommandOutput.h"

#include "control/Printable.h"
#include "run/History.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <QJsonDocument>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qd::qdctl {

using session::Failure;
using session::writeMessage;
using session::writeStandardError;
using session::writeStandardOutput;

QString qstring(const std::string& text) {
    return QString::fromStdString(text);
}

const char* firmwareWord(bool downloaded) {
    return downloaded ? "loaded" : "running";
}

std::string volts3(double volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", volts + 0.0);
    return text;
}

double rounded3(double volts) {
    return std::round(volts * 1000) / 1000;
}

int tellDamaged(const std::vector<results::Run>& runs, int status) {
    for (const results::Run& run : runs) {
        if (!run.damaged.empty()) {
            session::writeMessage(run::damageText(run));
            status = session::WriteFailed;
        }
    }
    return status;
}

void writeJson(const QJsonObject& json) {
    writeStandardOutput(QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString() + "\n");
}

int finish(const session::CommonOptions& common, const Outcome& outcome, const std::string& run) {
    try {
        if (common.json) {
            QJsonObject json = outcome.json();
            // The run the results store keeps it as.
            if (!run.empty()) {
                json.insert("run", qstring(run));
            }
            writeJson(json);
        } else if (outcome.textToStandardError) {
            // Rows on standard output are read by a CSV reader: nothing
            // else goes there.
            writeStandardError(outcome.text() + "\n");
        } else {
            writeStandardOutput(outcome.text() + "\n");
        }
        if (!outcome.timing.empty()) {
            writeMessage(outcome.timing);
        }
    } catch (const Failure& f) {
        // A run that a signal ended says so by its status, whatever became
        // of its output.
        if (outcome.status < 128) {
            throw;
        }
        writeMessage(f.what());
    }
    return outcome.status;
}

} // namespace qd::qdctl
