#pragma once

// A bench DMM over SCPI, set up for DC volts on a fixed range and read a
// number of samples at a time. How each family of meters is told so is const
// data chosen by its *IDN? answer, with plain SCPI-99 for any other meter.

#include "meter/Transport.h"

#include <array>
#include <memory>
#include <string>
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
};

// The family an *IDN? answer names; the generic one when none does.
const Family& familyOf(const std::string& identity);

struct Settings {
    double coverVolts = 4.93; // the range chosen is the smallest that holds this
    double nplc = 10;
    int samples = 1;
};

class Meter {
  public:
    // Asks *IDN?; MeterError when the meter does not answer.
    Meter(std::unique_ptr<Transport> transport, std::string resource);

    // Resets the meter and sets it up; a command the meter refuses is a
    // MeterError naming the meter, the command and the meter's error.
    void configure(const Settings& settings);

    // One READ? of all samples (or one per sample), in volts; MeterError
    // for an overload or an answer that is no reading.
    std::vector<double> read();

    const std::string& identity() const { return identity_; }
    const Family& family() const { return *family_; }
    double rangeVolts() const { return range_; }

  private:
    std::string query(const std::string& message, std::chrono::milliseconds timeout);
    // The oldest entry of the meter's error queue, or "" when it is empty.
    std::string nextError();
    [[noreturn]] void fail(const std::string& what) const;

    std::unique_ptr<Transport> transport_;
    std::string resource_;
    std::string identity_;
    const Family* family_ = nullptr;
    Settings settings_;
    double range_ = 0;
};

} // namespace qd::meter
