#pragma once

// One SCPI program message (the text between two line ends) into its program
// message units. Pure: the result only points into the text it was given, so
// the text must outlive it. Work and memory are linear in the text's length,
// whatever bytes it holds.

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace qd::scpi {

// Program data, told apart as IEEE 488.2 does.
enum class DataKind {
    Decimal,    // 12  -1.5  +.5  2.5E-3
    NonDecimal, // #H1F  #Q17  #B101 (either case)
    Character,  // MAXimum  PD1K  QD1600
    String,     // "text" or 'text', a doubled quote standing for itself
    Block,      // #<n><length><bytes>, or #0 and the rest of the message
};

struct Parameter {
    DataKind kind = DataKind::Decimal;
    // Decimal and NonDecimal. A value too large for a double is infinite,
    // one too small is 0.
    double number = 0.0;
    // As sent: the number with its suffix, the mnemonic, the string with
    // its quotes, the block's bytes.
    std::string_view text;
    // Decimal only: the suffix that follows the number, if any ("V", "mV",
    // "k" of 1k), as sent.
    std::string_view suffix;
};

struct ProgramUnit {
    // A common command (*IDN? ...): header holds its one mnemonic without
    // the '*'. Common commands leave the current path alone.
    bool common = false;
    bool query = false;
    // Every node from the root as typed: the current path (what the previous
    // command's header had before its last node, unless this header starts
    // with ':') followed by this header's own nodes.
    std::vector<std::string_view> header;
    std::vector<Parameter> parameters;
};

struct ParsedMessage {
    // The units before the first command error, in order.
    std::vector<ProgramUnit> units;
    // That command error (-100 class), or 0. The unit it was found in and
    // everything after it are not in units: after a syntax error there is
    // no telling what the sender meant the rest to be.
    int error = 0;
};

// What an instrument answers: its data elements, or the syntax error that
// ended them (the elements before it are kept).
struct ParsedResponse {
    std::vector<Parameter> data;
    int error = 0;
};

// The response message of one or more queries, with the data rules of
// program messages: "+4.93000000E+00,+4.93000100E+00", "-113,\"Undefined
// header\"".
ParsedResponse parseResponse(std::string_view message);

// No command goes deeper; a header that does is an undefined header at once,
// which also keeps a long message from copying its path into every unit.
inline constexpr std::size_t kMaxHeaderNodes = 8;

// Syntax as SCPI-99 and IEEE 488.2 have it: ';' between units, a trailing
// ';' allowed, white space (any byte up to 0x20, CR included) around
// everything and required between header and parameters, ',' between
// parameters, a suffix of letters after a decimal number (1.2V, 1200 mV).
// Character data may hold a '-' between letters (three-state). Not
// accepted: expressions "(...)" (-100), a ':' before a common command.
ParsedMessage parse(std::string_view message);

// The short form of a mnemonic: its leading upper-case letters and digits
// ("VOLT" of "VOLTage").
std::string_view shortForm(std::string_view longForm);

// Whether a and b are the same text but for the case of ASCII letters.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// typed names the node whose long form is longForm: it is either the short
// form (the leading upper-case letters and digits, "VOLT" of "VOLTage") or
// the whole long form, in any case. Character data such as MINimum follows
// the same rule.
bool matchesMnemonic(std::string_view longForm, std::string_view typed);

// nodes name the header pattern, e.g. "SOURce:VOLTage[:LEVel]", in which a
// bracketed node may be left out.
bool matchesHeader(std::string_view pattern, std::span<const std::string_view> nodes);

// Whether `unit` is the command of a table's `pattern`: a common command
// such as "*RST", or a header pattern as matchesHeader takes it.
bool matchesCommand(std::string_view pattern, const ProgramUnit& unit);

} // namespace qd::scpi
