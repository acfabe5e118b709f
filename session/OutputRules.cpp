#include "session/OutputRules.h"

#include "control/Printable.h"
#include "platform/File.h"
#include "platform/StandardStreams.h"
#include "session/ExitStatus.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace qd::session {

void writeStandardOutput(std::string_view text) {
    std::size_t done = 0;
    std::string why;
    if (!platform::writeAll(platform::kStandardOutput, text, done, why)) {
        throw Failure(WriteFailed, "cannot write standard output: " + why);
    }
}

void writeStandardError(std::string_view text) {
    std::size_t done = 0;
    std::string nowhereToSaySo;
    platform::writeAll(platform::kStandardError, text, done, nowhereToSaySo);
}

void writeMessage(const std::string& message) {
    // A message may quote what a user typed: its ESC or BEL shown, not obeyed.
    writeStandardError("qdctl: " + control::printable(message, true) + "\n");
}

void printFailure(bool json, int status, const std::string& message) {
    writeMessage(message);
    if (json) {
        const QJsonObject object{{"error", QString::fromStdString(message)}, {"status", status}};
        try {
            writeStandardOutput(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() +
                                "\n");
        } catch (const Failure&) {
            // Standard output is gone: the message above is all there is.
        }
    }
}

} // namespace qd::session
