#include "run/Times.h"

#include <QString>
#include <QTimeZone>
#include <cctype>

namespace qd::run {

std::string storedTime(const QDateTime& at) {
    return at.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toStdString() + "Z";
}

std::string localNow() {
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString();
}

std::optional<std::string> utcSince(std::string_view text, const QDateTime& now) {
    const QDate today = now.toLocalTime().date();
    if (text == "today") {
        return storedTime(today.startOfDay());
    }
    if (text == "yesterday") {
        return storedTime(today.addDays(-1).startOfDay());
    }
    if (text.size() >= 2 && std::string_view("hdw").find(text.back()) != std::string_view::npos &&
        text.size() <= 7) {
        qint64 count = 0;
        for (const char c : text.substr(0, text.size() - 1)) {
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                return std::nullopt;
            }
            count = count * 10 + (c - '0');
        }
        const qint64 hours = text.back() == 'h' ? 1 : text.back() == 'd' ? 24 : 24 * 7;
        return storedTime(now.addSecs(-count * hours * 3600));
    }
    QString iso = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (iso.size() > 10 && iso[10] == QLatin1Char(' ')) {
        iso[10] = QLatin1Char('T');
    }
    // A date alone is that day's start where the user is.
    if (iso.size() == 10) {
        const QDate date = QDate::fromString(iso, Qt::ISODate);
        return date.isValid() ? std::optional(storedTime(date.startOfDay())) : std::nullopt;
    }
    const QDateTime at = QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!at.isValid() || iso.size() < 16) {
        return std::nullopt;
    }
    return storedTime(at);
}

} // namespace qd::run
