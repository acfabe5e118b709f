#pragma once

// A characterization's settings, each declared once: the member of
// CharacterizeResult that holds it, its key in the setup document the store
// keeps, its '#' key in the CSV, the store's column that holds it too, and
// its unit. The CSV's preamble, what the store records and a stored run
// read back as its CSV all come from this one table.

#include "results/Store.h"

#include <QJsonObject>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qd::run {

struct CharacterizeResult;

struct Setting {
    using Member =
        std::variant<std::string CharacterizeResult::*, double CharacterizeResult::*,
                     int CharacterizeResult::*, std::string (*)(const CharacterizeResult&)>;
    enum Flag : unsigned {
        None = 0,
        // Left out of the CSV when empty: what the user may not have given.
        OmittedWhenEmpty = 1,
        // Kept by the store only when a meter measured: the on-board
        // converter has no integration time.
        MeterOnly = 2,
        // Every run's recording keeps it in its own column already.
        KeptByEveryRun = 4,
    };

    const char* key;    // in the setup document
    const char* csv;    // the CSV's '#' key; nullptr: not in the file
    const char* column; // the store's column; nullptr: in the setup document alone
    const char* unit;   // "" for none
    Member member;
    unsigned flags = None;
    const char* emptyMeans = ""; // what an empty value is written as

    // Its value in `r`, as the CSV and the store write it.
    std::string text(const CharacterizeResult& r) const;
};

extern const std::vector<Setting> kCharacterizeSettings;

// The version of the setup document's layout, kept in it as "version".
inline constexpr int kSetupVersion = 1;

// The CSV's '#' lines of `r`, in the table's order.
std::vector<std::pair<std::string, std::string>> csvSetupOf(const CharacterizeResult& r);

// What the store keeps of a characterization beside what every run holds:
// its settings' columns and the whole setup as one document (`setup`).
std::map<std::string, std::string> recordedSettings(const CharacterizeResult& r, bool meter);

// The setup document of `r`, each setting typed by its member.
QJsonObject setupDocument(const CharacterizeResult& r, bool meter);

// A stored run's settings by their CSV keys: from its setup document, or,
// for a run kept before the store had one, from its columns.
std::vector<std::pair<std::string, std::string>> storedCsvSetup(const results::Run& run);

// One stored setting of a run by its key in the setup document, as
// storedCsvSetup gives it; "" when the run has none.
std::string storedSetting(const results::Run& run, std::string_view key);
// All of a stored run's settings by their keys, its setup document read
// once: for a caller that wants several.
std::map<std::string, std::string> storedSettings(const results::Run& run);

} // namespace qd::run
