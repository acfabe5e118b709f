#pragma once

// "Save as script": the session's command lines, as the log shows them, made
// into a script that does it all again from a terminal or a scheduler, for
// a POSIX shell or for Windows' cmd.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qd::bench {

enum class ScriptKind { Sh, Cmd };

// The arguments of a line as shellLine writes them (plain words, and
// single-quoted ones with '\'' for a quote); what it cannot have written
// (an unclosed quote) is taken as far as it goes.
std::vector<std::string> shellWords(std::string_view line);

// `arguments` as one line of a .cmd file: each quoted as the C runtime and
// Qt split a command line, and % doubled, which cmd would expand.
std::string cmdLine(const std::vector<std::string>& arguments);

struct ScriptSetup {
    ScriptKind kind = ScriptKind::Sh;
    std::vector<std::string> lines; // as the log shows them: shellLine's
    std::string programFolder;      // where qdctl is, put first on PATH
    // Variables qdctl reads that the session ran with (QD_BOARD, ...).
    std::vector<std::pair<std::string, std::string>> environment;
    std::string when; // the session's date, for the heading
};

// The script's text, lines ending as each system's shell expects them.
std::string scriptText(const ScriptSetup& setup);

} // namespace qd::bench
