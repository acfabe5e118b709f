#include "run/Settings.h"

#include "run/Characterize.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <cstdio>

namespace qd::run {

namespace {

std::string printed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string limitsText(const CharacterizeResult& r) {
    return r.limits.text();
}

// Whether `s` is kept for a run measured with a meter or without one.
bool kept(const Setting& s, bool meter) {
    return meter || (s.flags & Setting::MeterOnly) == 0;
}

} // namespace

// In the CSV's order: a file written before a setting was added still
// reads, and a new one goes at the end of its kind.
const std::vector<Setting> kCharacterizeSettings = {
    {"qdctl_version", "qdctl", "qdctl_version", "", &CharacterizeResult::version,
     Setting::KeptByEveryRun},
    {"device", "device", "device", "", &CharacterizeResult::device, Setting::KeptByEveryRun},
    {"bits", "bits", nullptr, "bits", &CharacterizeResult::bits},
    {"reference_v", "reference_v", "reference_v", "V", &CharacterizeResult::referenceVolts},
    {"plan", "codes", "plan", "", &CharacterizeResult::plan},
    {"samples", "samples", "samples", "", &CharacterizeResult::samples},
    {"nplc", "nplc", "nplc", "PLC", &CharacterizeResult::nplc, Setting::MeterOnly},
    {"settle_ms", "settle_ms", "settle_ms", "ms", &CharacterizeResult::settleMs},
    {"meter_resource", "meter", "meter_resource", "", &CharacterizeResult::meter, Setting::None,
     "on-board"},
    {"meter_idn", "meter_idn", "meter_idn", "", &CharacterizeResult::meterIdentity},
    {"date", "date", "started", "", &CharacterizeResult::date, Setting::KeptByEveryRun},
    {"command_line", "command", "command_line", "", &CharacterizeResult::commandLine,
     Setting::KeptByEveryRun},
    {"dut_serial", "serial", "dut_serial", "", &CharacterizeResult::serial,
     Setting::OmittedWhenEmpty},
    {"operator", "operator", "operator", "", &CharacterizeResult::operatorName,
     Setting::OmittedWhenEmpty},
    {"temperature", "temperature", "temperature", "", &CharacterizeResult::temperature,
     Setting::OmittedWhenEmpty},
    {"note", "note", "note", "", &CharacterizeResult::note, Setting::OmittedWhenEmpty},
    {"limits", nullptr, "limits", "", &limitsText},
    {"station", nullptr, "station", "", &CharacterizeResult::station},
    {"slot", nullptr, "slot", "", &CharacterizeResult::slot},
    {"meter_family", nullptr, nullptr, "", &CharacterizeResult::meterFamily},
    {"meter_range_v", nullptr, nullptr, "V", &CharacterizeResult::meterRangeVolts,
     Setting::MeterOnly},
    {"meter_calibration", nullptr, nullptr, "", &CharacterizeResult::meterCalibration},
};

std::string Setting::text(const CharacterizeResult& r) const {
    const std::string value = std::visit(
        [&r](const auto& m) -> std::string {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, std::string CharacterizeResult::*>) {
                return r.*m;
            } else if constexpr (std::is_same_v<M, double CharacterizeResult::*>) {
                return printed(r.*m);
            } else if constexpr (std::is_same_v<M, int CharacterizeResult::*>) {
                return std::to_string(r.*m);
            } else {
                return m(r);
            }
        },
        member);
    return value.empty() ? emptyMeans : value;
}

std::vector<std::pair<std::string, std::string>> csvSetupOf(const CharacterizeResult& r) {
    std::vector<std::pair<std::string, std::string>> setup;
    for (const Setting& s : kCharacterizeSettings) {
        if (s.csv == nullptr) {
            continue;
        }
        std::string value = s.text(r);
        if (!value.empty() || (s.flags & Setting::OmittedWhenEmpty) == 0) {
            setup.emplace_back(s.csv, std::move(value));
        }
    }
    return setup;
}

QJsonObject setupDocument(const CharacterizeResult& r, bool meter) {
    QJsonObject document{{"version", kSetupVersion}};
    for (const Setting& s : kCharacterizeSettings) {
        if (!kept(s, meter)) {
            continue;
        }
        if (const auto* real = std::get_if<double CharacterizeResult::*>(&s.member)) {
            document.insert(s.key, r.**real);
        } else if (const auto* whole = std::get_if<int CharacterizeResult::*>(&s.member)) {
            document.insert(s.key, r.**whole);
        } else {
            document.insert(s.key, QString::fromStdString(s.text(r)));
        }
    }
    return document;
}

std::map<std::string, std::string> recordedSettings(const CharacterizeResult& r, bool meter) {
    std::map<std::string, std::string> fields;
    for (const Setting& s : kCharacterizeSettings) {
        if (s.column != nullptr && (s.flags & Setting::KeptByEveryRun) == 0) {
            fields[s.column] = kept(s, meter) ? s.text(r) : "";
        }
    }
    fields["setup"] =
        QJsonDocument(setupDocument(r, meter)).toJson(QJsonDocument::Compact).toStdString();
    return fields;
}

namespace {

std::string storedValue(const results::Run& run, const QJsonObject& document, const Setting& s) {
    if (document.isEmpty()) {
        return s.column != nullptr ? run.get(s.column) : "";
    }
    const QJsonValue value = document.value(s.key);
    if (std::holds_alternative<double CharacterizeResult::*>(s.member) && value.isDouble()) {
        return printed(value.toDouble());
    }
    if (std::holds_alternative<int CharacterizeResult::*>(s.member) && value.isDouble()) {
        return std::to_string(value.toInteger());
    }
    return value.toString().toStdString();
}

QJsonObject setupOf(const results::Run& run) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(run.get("setup"))).object();
}

} // namespace

std::vector<std::pair<std::string, std::string>> storedCsvSetup(const results::Run& run) {
    const QJsonObject document = setupOf(run);
    std::vector<std::pair<std::string, std::string>> setup;
    for (const Setting& s : kCharacterizeSettings) {
        if (s.csv != nullptr) {
            setup.emplace_back(s.csv, storedValue(run, document, s));
        }
    }
    return setup;
}

std::map<std::string, std::string> storedSettings(const results::Run& run) {
    const QJsonObject document = setupOf(run);
    std::map<std::string, std::string> settings;
    for (const Setting& s : kCharacterizeSettings) {
        settings[s.key] = storedValue(run, document, s);
    }
    return settings;
}

std::string storedSetting(const results::Run& run, std::string_view key) {
    for (const Setting& s : kCharacterizeSettings) {
        if (s.key == key) {
            return storedValue(run, setupOf(run), s);
        }
    }
    return {};
}

} // namespace qd::run
