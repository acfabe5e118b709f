#include "bench/Script.h"

namespace qd::bench {

std::vector<std::string> shellWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else if (c == '\'') {
            const std::size_t end = line.find('\'', i + 1);
            word += line.substr(i + 1, end == std::string_view::npos ? end : end - i - 1);
            i = end == std::string_view::npos ? line.size() : end;
        } else {
            word += c;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

namespace {

// One argument as CommandLineToArgvW and the C runtime read it back:
// quotes around what holds a blank or a quote, a quote as \", the
// backslashes before a quote (or the closing one) doubled.
std::string windowsArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"&|<>^()%!,;=") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + '"';
}

// In a batch file cmd expands %NAME% even inside quotes.
std::string batchEscaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c == '%' ? "%%" : std::string(1, c);
    }
    return escaped;
}

std::string shQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

} // namespace

std::string cmdLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        line += (line.empty() ? "" : " ") + windowsArgument(argument);
    }
    return batchEscaped(line);
}

std::string scriptText(const ScriptSetup& setup) {
    const std::string heading = "The commands of a QD1600 Bench session" +
                                (setup.when.empty() ? "" : " of " + setup.when) +
                                ", in the order they were done.";
    std::string text;
    if (setup.kind == ScriptKind::Sh) {
        text = "#!/bin/sh\n# " + heading + "\n";
        text += "PATH=" + shQuoted(setup.programFolder) + ":\"$PATH\"\n";
        for (const auto& [name, value] : setup.environment) {
            text += "export " + name + "=" + shQuoted(value) + "\n";
        }
        for (const std::string& line : setup.lines) {
            text += line + "\n";
        }
        return text;
    }
    // cmd reads a batch file in the console's code page; UTF-8 (65001)
    // keeps a µ or a name in a path as it was.
    const auto crlf = [&text](const std::string& line) { text += line + "\r\n"; };
    crlf("@echo off");
    crlf("chcp 65001 >nul");
    crlf("rem " + heading);
    crlf("set \"PATH=" + batchEscaped(setup.programFolder) + ";%PATH%\"");
    for (const auto& [name, value] : setup.environment) {
        crlf("set \"" + name + "=" + batchEscaped(value) + "\"");
    }
    for (const std::string& line : setup.lines) {
        crlf(cmdLine(shellWords(line)));
    }
    return text;
}

} // namespace qd::bench
