// qdctl serve, sim-meter and sim-scope: servers until the process is ended. Each
// runs in a module of its own, loaded only for it, so that no other command
// loads Qt Network.

#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "run/Modules.h"
#include "session/ExitStatus.h"
#include "simmeter/Dialects.h"
#include "simscope/Dialects.h"

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace qd::qdctl {

using run::loadModule;

using session::ServerEntry;
using session::ServerOptions;

namespace {

using session::ServerEntry;
using session::ServerOptions;

class ServeCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, session::CommonOptions&) override {
        app.description(
            "Holds the board, loads its firmware unless it runs it already, and serves SCPI on a "
            "raw TCP socket (the LXI convention) until ended: *IDN?, *RST, *TST?, SYSTem:DEVice, "
            "SOURce:DAC:CODE, SOURce:DAC:PMODe, SOURce:VOLTage, MEASure:VOLTage? and more; see "
            "docs/scpi.md. SCPI has no authentication: listen on another address than loopback "
            "only on a network you trust.");
        addDevice(app, o_.device, false);
        addServing(app, o_.serving);
        app.footer(footer("  qdctl serve --device QD1600\n"
                          "  qdctl serve --listen :5555\n"
                          "  qdctl --link 2 serve --listen 0.0.0.0:5025"));
    }
    int run(const session::CommonOptions& common, run::Recording&) override {
        o_.common = common;
        return loadModule<ServerEntry>(session::kServeModule, session::kServeEntrySymbol)(o_);
    }

  private:
    ServerOptions o_{{}, {}, {"127.0.0.1:5025"}, {}, {}};
};

std::string join(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) {
        out += (out.empty() ? "" : ", ") + n;
    }
    return out;
}

class SimMeterCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, session::CommonOptions&) override {
        app.description(
            "Serves a 6½-digit bench DMM over SCPI on a raw TCP socket whose probes sit on the "
            "simulated board's output (QD_BOARD=sim): a reading is the output plus the meter's "
            "noise, 30 uV rms at 1 NPLC, falling with the root of the NPLC, and takes NPLC/50 s "
            "times QD_METER_TIME_SCALE (default 1). It never claims the board. --family makes it "
            "answer *IDN? as that meter and take the commands its programming manual gives, "
            "refusing others with -113.");
        addServing(app, o_.serving);
        std::vector<std::string> families;
        for (const auto& f : simmeter::kFamilies) {
            families.emplace_back(f.name);
        }
        app.add_option("--family", o_.meter.family, "the meter it is: " + join(families))
            ->transform(CLI::IsMember(families, CLI::ignore_case))
            ->capture_default_str();
        app.add_option("--fault", o_.meter.fault,
                       "stale-reply-after=N: once N readings are taken, a reading answer is "
                       "followed by a stale one, the answer before it; duplicate-reply-after=N: "
                       "by a copy of itself, in the same write; no-calibration-date: CAL:DATE? "
                       "is an unknown header");
        app.footer(
            footer("  QD_BOARD=sim QD_BOARD_MODEL=typical qdctl sim-meter --family 34465A &\n"
                   "  QD_BOARD=sim qdctl characterize --device QD1600 \\\n"
                   "      --meter TCPIP::127.0.0.1::5026::SOCKET --report qd1600.html"));
    }
    void check() const override {
        if (!simmeter::parseFault(o_.meter.fault)) {
            throw session::Failure(session::BadArguments, "--fault \"" + o_.meter.fault +
                                                              "\" refused; it takes " +
                                                              std::string(simmeter::kFaultsTaken));
        }
    }
    int run(const session::CommonOptions& common, run::Recording&) override {
        o_.common = common;
        return loadModule<ServerEntry>(session::kSimMeterModule, session::kSimMeterEntrySymbol)(o_);
    }

  private:
    ServerOptions o_{{}, {}, {"127.0.0.1:5026"}, {}, {}};
};

class SimScopeCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, session::CommonOptions&) override {
        app.description(
            "Serves a digital oscilloscope over SCPI on a raw TCP socket whose channel 1 probes "
            "the simulated board's output (QD_BOARD=sim) and whose trigger is the board's code "
            "update: armed, it records the last step, each acquisition with its own noise. It is "
            "no more precise than a real one: its ADC's bits, first-order bandwidth, sample "
            "rate, record length, noise (0.1 div rms, at least 50 uV), clipping beyond the codes "
            "and recovery from an overdrive. Acquisitions and transfers take their time times "
            "QD_SCOPE_TIME_SCALE (default 1). It never claims the board. --family makes it "
            "answer as that scope and take the commands its programming manual gives, refusing "
            "others with -113.");
        addServing(app, o_.serving);
        std::vector<std::string> families;
        for (const auto& f : simscope::kFamilies) {
            families.emplace_back(f.name);
        }
        auto& s = o_.scope;
        app.add_option("--family", s.family, "the scope it is: " + join(families))
            ->transform(CLI::IsMember(families, CLI::ignore_case))
            ->capture_default_str();
        app.add_option("--bits", s.bits, "its ADC's bits: 8, 10 or 12")
            ->check(CLI::IsMember({8, 10, 12}))
            ->capture_default_str();
        app.add_option("--bandwidth", s.bandwidthHz, "its first-order bandwidth, Hz")
            ->check(CLI::Range(1e6, 1e11))
            ->capture_default_str();
        app.add_option("--sample-rate", s.sampleRate, "its highest sample rate, samples/s")
            ->check(CLI::Range(1e6, 1e11))
            ->capture_default_str();
        app.add_option("--points", s.points, "its longest record, points")
            ->check(CLI::Range(100, 1000000))
            ->capture_default_str();
        app.add_option("--recovery", s.recoveryNs,
                       "how long samples stay wrong after an overdrive, ns")
            ->check(CLI::Range(0.0, 1e6))
            ->capture_default_str();
        app.footer(footer("  QD_BOARD=sim QD_BOARD_MODEL=slew=2,tau=1 qdctl sim-scope --family "
                          "DS1000Z &\n"
                          "  QD_BOARD=sim qdctl --board SIM0002 sim-scope --bits 12 --listen "
                          ":5027"));
    }
    int run(const session::CommonOptions& common, run::Recording&) override {
        o_.common = common;
        return loadModule<ServerEntry>(session::kSimScopeModule, session::kSimScopeEntrySymbol)(o_);
    }

  private:
    ServerOptions o_{{}, {}, {"127.0.0.1:5027"}, {}, {}};
};

} // namespace

std::unique_ptr<Subcommand> makeServeCommand() {
    return std::make_unique<ServeCommand>();
}

std::unique_ptr<Subcommand> makeSimMeterCommand() {
    return std::make_unique<SimMeterCommand>();
}

std::unique_ptr<Subcommand> makeSimScopeCommand() {
    return std::make_unique<SimScopeCommand>();
}

} // namespace qd::qdctl
