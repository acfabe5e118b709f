#pragma once

// The meters sim-meter can be: each answers *IDN? as that meter does and
// takes, of what a DC volts measurement needs, the commands its maker's
// programming manual gives, as const data. Standard C++ only: qdctl checks
// --family against the names without loading the module.

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qd::simmeter {

// The command sets, one bit each; a command of the table in SimMeter.cpp
// names the sets that have it.
enum Dialect : std::uint8_t {
    Scpi99 = 1,   // the generic meter: SCPI-99's tree
    Truevolt = 2, // Keysight 34461A, 34465A, 34470A
    Keithley = 4, // Keithley DMM6500 in its SCPI command set
    Rigol = 8,    // Rigol DM3068
    Siglent = 16, // Siglent SDM3065X
};

struct Family {
    std::string_view name; // as --family takes it
    Dialect dialect;
    // *IDN?'s fields; an empty maker: the generic meter's own identity.
    std::string_view maker, model, serial, firmware;
    // DC volts ranges, ascending; with rangeByIndex the range command
    // takes the place of one in this list.
    std::array<double, 5> ranges;
    bool rangeByIndex;
    // READ? answers all SAMPle:COUNt readings, or the last of its count.
    bool readsAll;
    std::string_view calibrationDate; // CAL:DATE?'s answer; empty: no such query
};

inline constexpr std::array<Family, 7> kFamilies = {{
    {"generic", Scpi99, "", "", "", "", {0.1, 1, 10, 100, 1000}, false, true, ""},
    {"34461A",
     Truevolt,
     "Keysight Technologies",
     "34461A",
     "MY60000001",
     "A.03.03-03.15-03.03-00.52-05-02",
     {0.1, 1, 10, 100, 1000},
     false,
     true,
     "2026,3,14"},
    {"34465A",
     Truevolt,
     "Keysight Technologies",
     "34465A",
     "MY60000002",
     "A.03.03-03.15-03.03-00.52-05-02",
     {0.1, 1, 10, 100, 1000},
     false,
     true,
     "2026,3,14"},
    {"34470A",
     Truevolt,
     "Keysight Technologies",
     "34470A",
     "MY60000003",
     "A.03.03-03.15-03.03-00.52-05-02",
     {0.1, 1, 10, 100, 1000},
     false,
     true,
     "2026,3,14"},
    {"DMM6500",
     Keithley,
     "KEITHLEY INSTRUMENTS",
     "MODEL DMM6500",
     "04500001",
     "1.7.12b",
     {0.1, 1, 10, 100, 1000},
     false,
     false,
     ""},
    {"DM3068",
     Rigol,
     "Rigol Technologies",
     "DM3068",
     "DM3O000000001",
     "01.01.00.02.02.00",
     {0.2, 2, 20, 200, 1000},
     true,
     false,
     ""},
    {"SDM3065X",
     Siglent,
     "Siglent Technologies",
     "SDM3065X",
     "SDM35000000001",
     "3.01.01.10",
     {0.2, 2, 20, 200, 1000},
     false,
     true,
     ""},
}};

// The family of that name, any case; nullptr when there is none.
constexpr const Family* familyNamed(std::string_view name) {
    for (const Family& f : kFamilies) {
        if (f.name.size() == name.size()) {
            bool same = true;
            for (std::size_t i = 0; i < name.size(); ++i) {
                const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
                same = same && lower(f.name[i]) == lower(name[i]);
            }
            if (same) {
                return &f;
            }
        }
    }
    return nullptr;
}

// --fault, the ways a real bench's meter (or what lies between it and the
// program) has been seen to misbehave: "" none, or one of
//   stale-reply-after=N      once N readings are taken, a reading answer is
//                            followed by the one before it;
//   duplicate-reply-after=N  once N readings are taken, a reading answer is
//                            sent twice, the copy in the same write, as a
//                            proxy or a retransmitting bridge does;
//   no-calibration-date      CAL:DATE? is an unknown header (-113, no
//                            answer), as on older firmware.
// nullopt: not a fault.
struct Fault {
    std::optional<std::uint64_t> staleAfter;
    std::optional<std::uint64_t> duplicateAfter;
    bool noCalibrationDate = false;
};
inline constexpr std::string_view kStaleReplyAfter = "stale-reply-after=";
inline constexpr std::string_view kDuplicateReplyAfter = "duplicate-reply-after=";
inline constexpr std::string_view kNoCalibrationDate = "no-calibration-date";
inline constexpr std::string_view kFaultsTaken =
    "stale-reply-after=N, duplicate-reply-after=N (N readings) or no-calibration-date";

// The N of "prefixN"; nullopt when `text` is not that.
inline std::optional<std::uint64_t> countAfter(std::string_view text, std::string_view prefix) {
    if (!text.starts_with(prefix) || text.size() == prefix.size()) {
        return std::nullopt;
    }
    text.remove_prefix(prefix.size());
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return n;
}

inline std::optional<Fault> parseFault(std::string_view text) {
    Fault fault;
    if (text.empty()) {
        return fault;
    }
    if (text == kNoCalibrationDate) {
        fault.noCalibrationDate = true;
        return fault;
    }
    if ((fault.staleAfter = countAfter(text, kStaleReplyAfter)) ||
        (fault.duplicateAfter = countAfter(text, kDuplicateReplyAfter))) {
        return fault;
    }
    return std::nullopt;
}

} // namespace qd::simmeter
