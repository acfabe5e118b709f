#pragma once

// A lot's electrical-characteristics table: each figure's spread across the
// units measured, as a datasheet gives it (min, typ as the mean, max, and
// the standard deviation), from each unit's own figures.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qd::measure {

// One unit's figures by name, as a characterization's JSON and the results
// store name them; INL and DNL as their least and largest
// (inl_best_fit_lsb_min, inl_best_fit_lsb_max).
struct UnitFigures {
    std::string unit; // its DUT serial, or its run when it has none
    std::map<std::string, double> values;
    std::map<std::string, std::string> limits; // the limit each figure was judged by
    std::map<std::string, int> codes;          // where a per-code figure falls
};

struct DatasheetRow {
    std::string name;  // offset_error_mv, inl_best_fit_lsb, ...
    std::string label; // Offset error, INL (best fit), ...
    std::string unit;  // mV, %, LSB
    std::size_t units = 0;
    double min = 0, typ = 0, max = 0;
    std::optional<double> sigma; // none with one unit
    // As the units were judged by, or "" for none. When the units were not
    // all judged alike it says so, with each limit and how many units had
    // it, and `limitsDiffer` is set: one unit's limit is not the lot's.
    std::string limit;
    bool limitsDiffer = false;
    std::vector<std::string> perUnitLimit; // "" where a unit had none
    std::vector<double> perUnit;           // in the order of the units given; NaN where missing
    // The units (indices into the units given) that hold the least and the
    // largest value, and for a per-code figure the code within that unit.
    std::size_t minUnit = 0, maxUnit = 0;
    std::optional<int> minCode, maxCode;
};

// The figures a datasheet table gives, in its order, with their units. INL
// and DNL are two rows each, the units' least and their largest, signed, as
// a datasheet gives "-1 to +1.5 LSB": a magnitude would hide which side a
// unit fails on.
struct DatasheetFigure {
    std::string name;  // as the store names it: inl_best_fit_lsb_min
    std::string label; // as a datasheet's table names it
    const char* unit;
    bool perCode; // its value falls at a code
};
extern const std::vector<DatasheetFigure> kDatasheetFigures;

// Values as a lot's table states them when its units differ: each value
// with how many units had it, the most usual first ("4 (7 units), 16 (1
// unit)"); `none` stands for an empty value.
std::string tallyText(const std::vector<std::string>& values, const char* none);

// A row for each figure that at least one unit has.
std::vector<DatasheetRow> datasheetRows(const std::vector<UnitFigures>& units);

// The units a typ and a sigma mean something from.
inline constexpr std::size_t kTypicalUnits = 3;

} // namespace qd::measure
