#include "run/StationProtocol.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QList>

namespace qd::run {

namespace {

constexpr const char* kProgress = "slot_progress";

} // namespace

std::string slotProgressLine(SlotProgress progress) {
    return std::string("{\"") + kProgress + "\":{\"done\":" + std::to_string(progress.done) +
           ",\"total\":" + std::to_string(progress.total) + "}}\n";
}

std::optional<SlotProgress> slotProgressOf(std::string_view line) {
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())));
    const QJsonObject o = doc.object().value(kProgress).toObject();
    const QJsonValue done = o.value("done"), total = o.value("total");
    if (!doc.isObject() || doc.object().size() != 1 || !done.isDouble() || !total.isDouble() ||
        done.toDouble() < 0 || total.toDouble() < done.toDouble()) {
        return std::nullopt;
    }
    return SlotProgress{static_cast<std::size_t>(done.toDouble()),
                        static_cast<std::size_t>(total.toDouble())};
}

QJsonObject slotResultOf(std::string_view output) {
    const QList<QByteArray> lines =
        QByteArray(output.data(), static_cast<qsizetype>(output.size())).trimmed().split('\n');
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const QJsonDocument doc = QJsonDocument::fromJson(it->trimmed());
        if (doc.isObject()) {
            return doc.object();
        }
    }
    return {};
}

} // namespace qd::run
