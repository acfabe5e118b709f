#pragma once

// A bench DMM over SCPI, set up for DC volts on a fixed range and read a
// number of samples at a time. How each family of meters is told so is const
// data chosen by its *IDN? answer, with plain SCPI-99 for any other meter.

#include "meter/Instrument.h"
#include "meter/Transport.h"
#include "scpi/Parser.h"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::meter {

struct Family {
    const char* name;
    // The *IDN? maker and model fields that select it: any of the names
    // separated by '|', any case; a model prefix; nullptr matches any.
    const char* makers;
    const char* models;
    // Sent in order after *RST and *CLS, each checked with SYSTem:ERRor?:
    // {range}, {nplc} and {samples} are filled in.
    std::array<const char*, 6> configure;
    // Whether one READ? answers all samples (SAMPle:COUNt), or one.
    bool readsAllSamples;
    // Its DC volts ranges, ascending; with rangeByIndex, {range} is the
    // place of the range in this list, as some makers number them.
    std::array<double, 5> ranges;
    bool rangeByIndex;
    // The query that takes a reading (or all samples), and the one that
    // asks the date of its last calibration, nullptr where it has none.
    const char* readQuery;
    const char* calibrationQuery;
};

// The family an *IDN? answer names; the generic one when none does.
const Family& familyOf(const std::string& identity);

struct Settings {
    double coverVolts = 4.93; // the range chosen is the smallest that holds this
    double nplc = 10;
    int samples = 1;
};

// How long the meter may take to answer, a reading's integration aside.
inline constexpr std::chrono::milliseconds kDefaultTimeout{5000};

class Meter {
  public:
    // Told once, the first time the meter sends something nobody asked for.
    using Notice = Instrument::Notice;

    // Asks *IDN?, and the calibration date where the family has one;
    // MeterError when the meter does not answer *IDN? (or *OPC?): a missing
    // or malformed date is only not given.
    Meter(std::unique_ptr<Transport> transport, std::string resource,
          std::chrono::milliseconds timeout = kDefaultTimeout, Notice notice = {});

    // Resets the meter and sets it up; a command the meter refuses is a
    // MeterError naming the meter, the command and the meter's error.
    void configure(const Settings& settings);

    // One READ? of all samples (or one per sample), in volts. Each query
    // first throws away what came unasked, and after a timeout the meter
    // is brought back in step (*CLS, *OPC?) and asked once more; an answer
    // with another one already behind it is not taken, and the samples are
    // read again once the meter is back in step. MeterError
    // for an answer of another count of readings, an unknown unit, an
    // overload or a reading beyond 1.2 times the range, naming the context.
    std::vector<double> read();

    // What is being measured, named in the failures of the readings that
    // follow ("code 0800"); empty: nothing named.
    void setContext(std::string context) { context_ = std::move(context); }

    // The *IDN? answer, control characters escaped.
    const std::string& identity() const { return io_.identity(); }
    // Its last calibration as yyyy-mm-dd, where the family tells it.
    const std::optional<std::string>& calibrationDate() const { return calibrationDate_; }
    // Answers thrown away as nobody's.
    std::size_t discarded() const { return io_.discarded(); }
    const Family& family() const { return *family_; }
    double rangeVolts() const { return range_; }

  private:
    double volts(const scpi::Parameter& p, const std::string& query) const;
    std::string at() const;
    void askCalibrationDate();
    [[noreturn]] void fail(const std::string& what) const { io_.fail(what); }

    Instrument io_;
    const Family* family_ = nullptr;
    Settings settings_;
    double range_ = 0;
    std::string context_;
    std::optional<std::string> calibrationDate_;
};

} // namespace qd::meter
