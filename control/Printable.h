#pragma once

// Text a user typed (a note, a serial, an operator) shown where a control
// character would do harm: a terminal that takes ESC and BEL as commands, a
// line-based file a newline would split. Each control character is shown
// as an escape instead, and a file's reader takes the escape back.

#include <string>
#include <string_view>

namespace qd::control {

// `text` with each C0 control character, DEL and each C1 control (U+0080
// to U+009F, as UTF-8) written as \xHH or \u00HH; everything else,
// backslashes and other UTF-8 included, as it is. With `keepLines`, line
// feeds and tabs stay (a message of several lines).
std::string printable(std::string_view text, bool keepLines = false);

// The text printable() wrote, its escapes of control characters taken
// back; any other backslash is left as it is.
std::string unescaped(std::string_view text);

} // namespace qd::control
