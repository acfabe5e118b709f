// A dynamic run kept and shown: its method as the setup document, its
// records as the waveform document, its figures; the text qdctl prints and
// the report's page, the same from a run just measured and from the store.

#include "control/DataWord.h"
#include "measure/FigureKinds.h"
#include "run/Dynamic.h"
#include "run/Recording.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>

namespace qd::run {

namespace {

// The version of the two documents' layout.
constexpr int kDynamicLayout = 1;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string s(const QJsonValue& value) {
    return value.toString().toStdString();
}

std::string compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

QJsonObject parsed(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

const char* measurementName(DynamicKind kind) {
    return kind == DynamicKind::Settle ? "settle" : "glitch";
}

QJsonObject budgetsOf(const DynamicResult& r) {
    QJsonObject budgets;
    for (std::size_t i = 0; i < r.figures.size() && i < r.budgets.size(); ++i) {
        QJsonArray parts;
        for (const measure::UncertaintyPart& part : r.budgets[i]) {
            parts.append(QJsonObject{{"name", q(part.name)}, {"standard", part.standard}});
        }
        budgets.insert(r.figures[i].kind->name, parts);
    }
    return budgets;
}

QJsonObject setupDocument(const DynamicResult& r) {
    const measure::ScopeSetup& c = r.scope;
    QJsonArray notes;
    for (const std::string& note : r.notes) {
        notes.append(q(note));
    }
    return {{"version", kDynamicLayout},
            {"measurement", measurementName(r.kind)},
            {"device", q(r.device)},
            {"bits", r.bits},
            {"reference_v", r.referenceVolts},
            {"from", q(control::formatCode(r.fromCode))},
            {"to", q(control::formatCode(r.toCode))},
            {"band", q(r.bandText)},
            {"band_v", r.bandVolts},
            {"scope_resource", q(r.scopeResource)},
            {"scope_idn", q(c.identity)},
            {"scope_family", q(c.family)},
            {"scope_calibration", q(c.calibrationDate)},
            {"scope_adc_bits", c.adcBits},
            {"scope_bandwidth_hz", c.bandwidthHz},
            {"scope_volts_per_div", c.voltsPerDivision},
            {"scope_offset_v", c.offsetVolts},
            {"scope_seconds_per_div", c.secondsPerDivision},
            {"scope_sample_interval_s", c.sampleIntervalSeconds},
            {"scope_averages", c.averages},
            {"scope_points", c.points},
            {"resolved", r.resolved},
            {"why", q(r.why)},
            {"budgets", budgetsOf(r)},
            {"notes", notes},
            {"date", q(r.date)},
            {"seconds", r.seconds},
            {"qdctl_version", q(r.version)}};
}

QJsonObject waveformDocument(const DynamicResult& r) {
    QJsonArray records;
    for (const StoredRecord& record : r.records) {
        QJsonArray t, v;
        for (const auto& [seconds, volts] : record.points) {
            t.append(seconds);
            v.append(volts);
        }
        records.append(QJsonObject{{"name", q(record.name)}, {"t", t}, {"v", v}});
    }
    return {{"version", kDynamicLayout},
            {"mark_s", r.markSeconds},
            {"centre_v", r.centreVolts},
            {"band_v", r.bandVolts},
            {"discarded_s", QJsonArray{r.discardedFrom, r.discardedTo}},
            {"records", records}};
}

} // namespace

std::optional<measure::Limit> dynamicLimit(const measure::Limits& limits,
                                           const measure::FigureKind& k) {
    if (&k == &measure::kSettlingTime) {
        return limits.settling;
    }
    if (&k == &measure::kSlewRate) {
        return limits.slew;
    }
    if (&k == &measure::kGlitchImpulse) {
        return limits.glitch;
    }
    return &k == &measure::kGlitchImpulseAbs ? limits.glitchAbs : std::nullopt;
}

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

} // namespace

std::string dynamicLimitText(const std::optional<measure::Limit>& limit) {
    if (!limit) {
        return "";
    }
    return limit->size ? "≤ " + number(limit->high)
                       : number(limit->low) + " to " + number(limit->high);
}

void recordDynamic(Recording& recording, const DynamicResult& r) {
    recording.set("setup", compact(setupDocument(r)));
    recording.set("waveform", compact(waveformDocument(r)));
    recording.set("meter_idn", r.scope.identity);
    recording.set("meter_resource", r.scopeResource);
    recording.set("samples", std::to_string(r.scope.averages));
    std::vector<results::Figure> figures;
    for (const measure::KindFigure& f : r.figures) {
        results::Figure stored = figureOf(f.kind->name, f.figure.value, f.kind->unit);
        stored.uncertainty = f.figure.uncertainty;
        stored.limit = dynamicLimitText(dynamicLimit(r.limits, *f.kind));
        figures.push_back(stored);
    }
    // A run that could not resolve what it was asked judges nothing: its
    // status says so, and its method why.
    recording.conclude(r.resolved ? measure::decisionWord(r.verdict.decision) : "", figures);
}

namespace {

const measure::FigureKind* kindNamed(const std::string& name) {
    for (const measure::FigureKind* k : {&measure::kSettlingTime, &measure::kSlewRate,
                                         &measure::kGlitchImpulse, &measure::kGlitchImpulseAbs}) {
        if (name == k->name) {
            return k;
        }
    }
    return nullptr;
}

void readWaveform(DynamicResult& r, const QJsonObject& w) {
    r.markSeconds = w.value("mark_s").toDouble();
    r.centreVolts = w.value("centre_v").toDouble();
    const QJsonArray discarded = w.value("discarded_s").toArray();
    r.discardedFrom = discarded.at(0).toDouble();
    r.discardedTo = discarded.at(1).toDouble();
    for (const auto& value : w.value("records").toArray()) {
        const QJsonObject record = value.toObject();
        const QJsonArray t = record.value("t").toArray();
        const QJsonArray v = record.value("v").toArray();
        StoredRecord kept{s(record.value("name")), {}};
        for (qsizetype i = 0; i < t.size() && i < v.size(); ++i) {
            kept.points.emplace_back(t.at(i).toDouble(), v.at(i).toDouble());
        }
        r.records.push_back(std::move(kept));
    }
}

void readScope(measure::ScopeSetup& c, const QJsonObject& d) {
    c.identity = s(d.value("scope_idn"));
    c.family = s(d.value("scope_family"));
    c.calibrationDate = s(d.value("scope_calibration"));
    c.adcBits = d.value("scope_adc_bits").toInt();
    c.bandwidthHz = d.value("scope_bandwidth_hz").toDouble();
    c.voltsPerDivision = d.value("scope_volts_per_div").toDouble();
    c.offsetVolts = d.value("scope_offset_v").toDouble();
    c.secondsPerDivision = d.value("scope_seconds_per_div").toDouble();
    c.sampleIntervalSeconds = d.value("scope_sample_interval_s").toDouble();
    c.averages = d.value("scope_averages").toInt();
    c.points = d.value("scope_points").toInt();
}

} // namespace

DynamicResult storedDynamic(const results::Run& run, const std::vector<results::Figure>& figures) {
    const QJsonObject d = parsed(run.get("setup"));
    DynamicResult r;
    r.kind = s(d.value("measurement")) == "glitch" ? DynamicKind::Glitch : DynamicKind::Settle;
    r.device = run.get("device");
    r.mode = run.get("power_mode");
    r.bits = d.value("bits").toInt();
    r.referenceVolts = d.value("reference_v").toDouble();
    r.fromCode = static_cast<std::int32_t>(std::strtol(s(d.value("from")).c_str(), nullptr, 16));
    r.toCode = static_cast<std::int32_t>(std::strtol(s(d.value("to")).c_str(), nullptr, 16));
    r.bandText = s(d.value("band"));
    r.bandVolts = d.value("band_v").toDouble();
    r.scopeResource = s(d.value("scope_resource"));
    readScope(r.scope, d);
    r.resolved = d.value("resolved").toBool();
    r.why = s(d.value("why"));
    for (const auto& note : d.value("notes").toArray()) {
        r.notes.push_back(note.toString().toStdString());
    }
    const QJsonObject budgets = d.value("budgets").toObject();
    for (const results::Figure& f : figures) {
        const measure::FigureKind* kind = kindNamed(f.name);
        if (!kind || !f.value) {
            continue;
        }
        r.figures.push_back({kind, {*f.value, f.uncertainty}});
        std::vector<measure::UncertaintyPart> budget;
        for (const auto& part : budgets.value(kind->name).toArray()) {
            budget.push_back(
                {s(part.toObject().value("name")), part.toObject().value("standard").toDouble()});
        }
        r.budgets.push_back(std::move(budget));
    }
    std::string why;
    r.limits = measure::Limits::parse(run.get("limits"), why).value_or(measure::Limits{});
    r.verdict = measure::judge(r.figures, r.limits);
    readWaveform(r, parsed(run.get("waveform")));
    r.board = run.get("board");
    r.boardSerial = run.get("board_serial");
    r.date = s(d.value("date"));
    r.seconds = d.value("seconds").toDouble();
    r.serial = run.get("dut_serial");
    r.operatorName = run.get("operator");
    r.temperature = run.get("temperature");
    r.note = run.get("note");
    r.version = run.get("qdctl_version");
    r.commandLine = run.get("command_line");
    r.runId = run.id();
    r.signal = run.get("verdict") == "INTERRUPTED" ? 2 : 0;
    return r;
}

} // namespace qd::run
