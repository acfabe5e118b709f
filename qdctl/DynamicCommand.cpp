// qdctl dynamic: the converter's settling time and slew rate, or its
// glitch impulse, captured by a bench oscilloscope, with their
// uncertainties and the limits' verdict.

#include "control/DataWord.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/StopSignals.h"
#include "run/Dynamic.h"
#include "run/Recording.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>

namespace qd::qdctl {

namespace {

using session::CommonOptions;

QJsonObject scopeJson(const run::DynamicResult& r) {
    const measure::ScopeSetup& c = r.scope;
    return {{"resource", qstring(r.scopeResource)},
            {"identity", qstring(c.identity)},
            {"family", qstring(c.family)},
            {"calibration", c.calibrationDate.empty() ? QJsonValue(QJsonValue::Null)
                                                      : QJsonValue(qstring(c.calibrationDate))},
            {"adc_bits", c.adcBits},
            {"bandwidth_hz", c.bandwidthHz},
            {"volts_per_div", c.voltsPerDivision},
            {"offset_v", c.offsetVolts},
            {"sample_interval_s", c.sampleIntervalSeconds},
            {"averages", c.averages},
            {"points", c.points}};
}

QJsonObject dynamicJson(const run::DynamicResult& r) {
    QJsonObject json{
        {"measurement", r.kind == run::DynamicKind::Settle ? "settle" : "glitch"},
        {"device", qstring(r.device)},
        {"from", qstring(control::formatCode(r.fromCode))},
        {"to", qstring(control::formatCode(r.toCode))},
        {"resolved", r.resolved},
        {"scope", scopeJson(r)},
        {"interrupted", r.signal != 0},
        {"seconds", r.seconds},
        {"scope_seconds", r.scopeSeconds},
    };
    if (r.kind == run::DynamicKind::Settle) {
        json.insert("band", qstring(r.bandText));
        json.insert("band_v", r.bandVolts);
    }
    if (!r.resolved) {
        json.insert("why", qstring(r.why));
        return json;
    }
    for (const measure::KindFigure& f : r.figures) {
        QJsonObject figure{{"value", f.figure.value}, {"unit", qstring(f.kind->unit)}};
        if (f.figure.uncertainty) {
            figure.insert("uncertainty", *f.figure.uncertainty);
        }
        json.insert(f.kind->name, figure);
    }
    json.insert("verdict", measure::decisionWord(r.verdict.decision));
    json.insert("pass", r.verdict.pass);
    QJsonArray failures;
    for (const std::string& failure : r.verdict.failures) {
        failures.append(qstring(failure));
    }
    json.insert("failures", failures);
    return json;
}

std::string dynamicText(const run::DynamicResult& r) {
    std::string text;
    for (const std::string& line : run::dynamicSummaryLines(r)) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

class DynamicCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions& common) override {
        app.description(
            "Measures the converter's dynamic figures with a bench oscilloscope whose channel 1 "
            "probes the output and whose external trigger takes the board's update: the "
            "settling time into a band and the slew rate of a step (settle), or the glitch "
            "impulse of a transition (glitch), each with its expanded uncertainty (k = 2) and "
            "judged by --limits. When the scope, as it can be set up, cannot resolve the band "
            "or the glitch, it says why and gives no number (status 1).");
        app.require_subcommand(1);
        CLI::App* settle = app.add_subcommand(
            "settle", "the settling time into a band and the slew rate of a step");
        settle->add_option("--from", o_.from,
                           "the step's first code (hexadecimal); default 1/128 "
                           "of full scale");
        settle->add_option("--to", o_.to, "the code it steps to; default 127/128 of full scale");
        settle
            ->add_option("--band", o_.band,
                         "the band around the final value, ±N: 2lsb, 30ppm (of full scale) or "
                         "0.5mv")
            ->capture_default_str();
        settle->footer(footer("  qdctl dynamic settle --device QD1600 --scope "
                              "TCPIP::192.168.1.30::INSTR --band 2lsb\n"
                              "  qdctl dynamic settle --device QD1600 --scope "
                              "TCPIP::localhost::5026::SOCKET --from 0200 --to FD00 --band 30ppm "
                              "--limits settling=10"));
        CLI::App* glitch = app.add_subcommand(
            "glitch", "the glitch impulse of a transition, net and absolute area");
        glitch->add_option("--at", o_.at,
                           "the code the transition goes into, from the one below it "
                           "(hexadecimal); default the major carry, 8000 on 16 bits");
        glitch->footer(footer("  qdctl dynamic glitch --device QD1600 --scope "
                              "TCPIP::192.168.1.30::INSTR --limits glitch_abs=1"));
        for (CLI::App* sub : {settle, glitch}) {
            addShared(*sub, common);
            sub->callback([this, name = sub->get_name()] {
                o_.kind = name == "glitch" ? run::DynamicKind::Glitch : run::DynamicKind::Settle;
            });
        }
        app.footer(footer("  qdctl dynamic settle --device QD1600 --scope "
                          "TCPIP::192.168.1.30::INSTR --band 2lsb\n"
                          "  qdctl dynamic glitch --device QD1600 --scope "
                          "TCPIP::192.168.1.30::INSTR"));
    }

    void check() const override {
        checkReference(o_.vref);
        run::checkDynamicSetup(o_);
    }

    int run(const CommonOptions& common, run::Recording& recording) override {
        const run::DynamicResult r =
            run::measureDynamic(o_, common, commandContext(recording, nullptr));
        return finish(common,
                      Outcome{[&r] { return dynamicText(r); }, [&r] { return dynamicJson(r); },
                              run::dynamicStatus(r)},
                      recording.id());
    }

  private:
    void addShared(CLI::App& app, CommonOptions& common) {
        addDevice(app, o_.device, true);
        addMode(app, o_.device);
        app.add_option("--scope", o_.scope,
                       "the oscilloscope's VISA resource: TCPIP::HOST::INSTR (VXI-11), "
                       "TCPIP::HOST::PORT::SOCKET or a USBTMC device file")
            ->required();
        app.add_option("--scope-timeout", o_.scopeTimeout,
                       "seconds the scope may take to answer or to end an acquisition")
            ->capture_default_str();
        app.add_option("--scope-bits", o_.scopeBits,
                       "its ADC's bits when the model has other than its family's common 8");
        app.add_option("--averages", o_.averages,
                       "acquisitions averaged into each record; default as few as resolve the "
                       "band (settle), 64 (glitch)");
        app.add_option("--limits", o_.limits,
                       "pass/fail limits: settling=10 (µs), slew=1.5..3 (V/µs), glitch=0.5 and "
                       "glitch_abs=1 (nV·s); or @FILE, a limits file");
        app.add_flag("--accept-conditional", o_.acceptConditional,
                     "pass a CONDITIONAL verdict: a figure whose uncertainty straddles its "
                     "limit");
        app.add_option("--report", o_.report,
                       "the one-page report with its waveform: NAME.html or NAME.pdf");
        addReference(app, o_.vref, "the step's levels");
        app.add_option("--serial", o_.serial, "the serial number of the unit measured");
        app.add_option("--operator", o_.operatorName, "who measured it");
        app.add_option("--temperature", o_.temperature, "the ambient temperature, e.g. 23 °C");
        app.add_option("--note", o_.note, "a line of your own for the report");
        app.add_flag("--no-progress", common.quiet, "the same as --quiet");
    }

    run::DynamicSetup o_;
};

} // namespace

std::unique_ptr<Subcommand> makeDynamicCommand() {
    return std::make_unique<DynamicCommand>();
}

} // namespace qd::qdctl
