// The SCPI message syntax and the framing of a connection's bytes, without
// any instrument behind them.

#include "scpi/Framing.h"
#include "scpi/Parser.h"

#include <charconv>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace qd::scpi;

namespace {

// One line per parse: units as "HEADER? P1,P2" joined by " | ", the command
// error that ended parsing last as "!-102". Parameters are tagged by kind.
std::string render(const ParsedMessage& parsed) {
    std::string out;
    auto separate = [&] {
        if (!out.empty()) {
            out += " | ";
        }
    };
    for (const ProgramUnit& unit : parsed.units) {
        separate();
        out += unit.common ? "*" : "";
        for (std::size_t i = 0; i < unit.header.size(); ++i) {
            out += (i ? ":" : "") + std::string(unit.header[i]);
        }
        out += unit.query ? "?" : "";
        for (std::size_t i = 0; i < unit.parameters.size(); ++i) {
            const Parameter& p = unit.parameters[i];
            out += i ? "," : " ";
            char number[32];
            const auto end = std::to_chars(number, number + sizeof number, p.number).ptr;
            switch (p.kind) {
            case DataKind::Decimal:
                out += "D" + std::string(number, end);
                out += p.suffix.empty() ? "" : "[" + std::string(p.suffix) + "]";
                break;
            case DataKind::NonDecimal:
                out += "H" + std::string(number, end);
                break;
            case DataKind::Character:
                out += "C" + std::string(p.text);
                break;
            case DataKind::String:
                out += "S" + std::string(p.text);
                break;
            case DataKind::Block:
                out += "B" + std::string(p.text);
                break;
            }
        }
    }
    if (parsed.error) {
        separate();
        out += "!" + std::to_string(parsed.error);
    }
    return out;
}

struct ParseCase {
    const char* name;
    std::string message;
    std::string expected;
};

} // namespace

TEST(Parser, MessagesIntoUnits) {
    const std::vector<ParseCase> cases = {
        {"empty message", "", ""},
        {"white space only", " \t\r ", ""},
        {"common query", "*IDN?", "*IDN?"},
        {"white space and CR around it", "  *idn? \r", "*idn?"},
        {"header and number", "SOUR:DAC:CODE 5", "SOUR:DAC:CODE D5"},
        {"leading colon", ":MEAS:RAW?", "MEAS:RAW?"},
        {"next unit below the previous one's parent", "SOUR:DAC:CODE 5;PMOD PD1K;FRAM?",
         "SOUR:DAC:CODE D5 | SOUR:DAC:PMOD CPD1K | SOUR:DAC:FRAM?"},
        {"colon back to the root", "SOUR:DAC:CODE 5;:MEAS:RAW?;VOLT?",
         "SOUR:DAC:CODE D5 | MEAS:RAW? | MEAS:VOLT?"},
        {"common commands keep the path", "SOUR:DAC:CODE 1;*OPC?;CODE?",
         "SOUR:DAC:CODE D1 | *OPC? | SOUR:DAC:CODE?"},
        {"one node from the root leaves the root as path", "SOUR:DAC:CODE 1;:SYST;ERR?",
         "SOUR:DAC:CODE D1 | SYST | ERR?"},
        {"trailing semicolon", "*OPC?; ", "*OPC?"},
        {"decimal forms", "X 12,-1.5,+.5,5.,2.5E-3,1e+2", "X D12,D-1.5,D0.5,D5,D0.0025,D100"},
        {"non-decimal forms", "X #H1f,#hFF,#Q17,#q7,#B101,#b0", "X H31,H255,H15,H7,H5,H0"},
        {"character, string and block data", "X MAXimum,'it''s',\"a;b\",#15ab;cd",
         "X CMAXimum,S'it''s',S\"a;b\",Bab;cd"},
        {"indefinite block runs to the end", "X #0a;b,c", "X Ba;b,c"},
        {"white space around commas", "X 1 ,\t2,  3", "X D1,D2,D3"},
        {"numbers beyond a double", "X 1e999,-1e999,1e-999,#H" + std::string(300, 'F'),
         "X Dinf,D-inf,D0,Hinf"},
        {"long mantissas beyond a double",
         "X 0." + std::string(400, '0') + "1," + std::string(400, '9'), "X D0,Dinf"},

        {"empty unit", "*OPC?;;*OPC?", "*OPC? | !-102"},
        {"leading semicolon", ";*OPC?", "!-102"},
        {"double colon", "SOUR::DAC 1", "!-102"},
        {"colon before the parameters", "SOUR: 1", "!-102"},
        {"colon before a common command", ":*IDN?", "!-102"},
        {"no white space before the parameters", "SOUR:DAC:CODE,5", "!-102"},
        {"text after the query mark", "*IDN?X", "!-102"},
        {"two parameters without a comma", "X 5 6", "!-102"},
        {"comma with nothing after it", "X 5,", "!-102"},
        {"a unit right after the number", "X 1.2V,2E-3MV", "X D1.2[V],D0.002[MV]"},
        {"a unit after white space", "X 1200 mV, 5", "X D1200[mV],D5"},
        {"a power mode written as 100k", "X 100k", "X D100[k]"},
        {"words joined by a hyphen", "X three-state", "X Cthree-state"},
        {"a hyphen with no word after it", "X three-", "!-102"},
        {"hash alone", "X #", "!-102"},
        {"no hexadecimal digits", "X #H", "!-102"},
        {"bad hexadecimal digit", "X #HFG", "!-102"},
        {"bad binary digit", "X #B102", "!-102"},
        {"unknown radix", "X #X1", "!-102"},
        {"exponent without digits", "X 1e+", "!-102"},
        {"point alone", "X .", "!-102"},
        {"sign alone", "X -", "!-102"},
        {"unterminated string", "X 'abc", "!-102"},
        {"block shorter than its length", "X #15abc", "!-102"},
        {"block length not digits", "X #2a1", "!-102"},
        {"expression data", "X (1)", "!-100"},
        {"byte above ASCII in a header", "X\x80", "!-102"},
        {"NUL is white space, as IEEE 488.2 has it", std::string("X\0Y", 3), "X CY"},
        {"mnemonic starting with a digit", "1X", "!-102"},
        {"units before an error are kept", "*OPC?;BAD!", "*OPC? | !-102"},
        {"header deeper than any command", "A:B:C:D:E:F:G:H:I", "!-113"},
        {"the path counts towards the depth", "A:B:C:D:E:F:G:H 1;I;I:J",
         "A:B:C:D:E:F:G:H D1 | A:B:C:D:E:F:G:I | !-113"},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(render(parse(c.message)), c.expected) << c.name << ": " << c.message;
    }
}

TEST(Parser, HeadersInShortAndLongForm) {
    struct Case {
        const char* pattern;
        std::vector<std::string_view> nodes;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"SOURce:VOLTage[:LEVel]", {"SOUR", "VOLT"}, true},
        {"SOURce:VOLTage[:LEVel]", {"source", "voltage", "level"}, true},
        {"SOURce:VOLTage[:LEVel]", {"Sour", "vOlT", "LEV"}, true},
        {"SOURce:VOLTage[:LEVel]", {"SOURC", "VOLT"}, false},
        {"SOURce:VOLTage[:LEVel]", {"SOU", "VOLT"}, false},
        {"SOURce:VOLTage[:LEVel]", {"SOUR"}, false},
        {"SOURce:VOLTage[:LEVel]", {"SOUR", "VOLT", "LEV", "LEV"}, false},
        {"SOURce:VOLTage[:LEVel]", {"SOUR", "VOLT", "REF"}, false},
        {"SYSTem:ERRor[:NEXT]", {"SYST", "ERR", "NEXT"}, true},
        {"SOURce:DAC:PMODe", {"SOUR", "DAC", "PMODE"}, true},
        {"SOURce:DAC:PMODe", {"SOUR", "DAC", "PMO"}, false},
        {"MEASure:VOLTage[:DC]", {"MEAS", "DC"}, false},
    };
    for (const Case& c : cases) {
        std::string nodes;
        for (const auto n : c.nodes) {
            nodes += std::string(n) + ":";
        }
        EXPECT_EQ(matchesHeader(c.pattern, c.nodes), c.matches) << c.pattern << " vs " << nodes;
    }
}

namespace {

// The framer's events for bytes that arrive in the given pieces: "M:<text>"
// per message, "OVERRUN" per overrun.
std::vector<std::string> frame(const std::vector<std::string>& pieces, bool blocks = false) {
    MessageFramer framer;
    if (blocks) {
        framer.setBlocks(true, 64);
    }
    std::vector<std::string> events;
    for (const std::string& piece : pieces) {
        framer.append(piece);
        while (const auto event = framer.next()) {
            events.push_back(event->kind == MessageFramer::Event::Overrun ? "OVERRUN"
                                                                          : "M:" + event->message);
        }
    }
    return events;
}

} // namespace

TEST(Framing, BytesIntoMessages) {
    const std::string longest(MessageFramer::kMaxMessageBytes, 'A');
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"two messages in one piece", {"*IDN?\n*OPC?\n"}, {"M:*IDN?", "M:*OPC?"}},
        {"CR before the LF dropped", {"*IDN?\r\n"}, {"M:*IDN?"}},
        {"only the last CR dropped", {"a\r\r\n"}, {"M:a\r"}},
        {"empty lines are empty messages", {"\n\r\n"}, {"M:", "M:"}},
        {"message split across pieces", {"*ID", "N", "?\r", "\n"}, {"M:*IDN?"}},
        {"unfinished message waits", {"*IDN?"}, {}},
        {"longest message", {longest + "\n"}, {"M:" + longest}},
        {"longest message and CR", {longest + "\r\n"}, {"M:" + longest}},
        {"longest message, CR in a later piece", {longest, "\r", "\n"}, {"M:" + longest}},
        {"one byte too long", {longest + "B\nx\n"}, {"OVERRUN", "M:x"}},
        {"too long, seen before its end arrives",
         {longest, "BB", std::string(10000, 'C'), "C\nx\n"},
         {"OVERRUN", "M:x"}},
        {"every long message reported",
         {longest + "B\n" + longest + "B\n"},
         {"OVERRUN", "OVERRUN"}},
        {"bytes of any value pass", {std::string("\0\xff;\n", 4)}, {std::string("M:\0\xff;", 5)}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(frame(c.pieces), c.events) << c.name;
    }
}

// An instrument's binary answer: the line feeds and CRs of a definite-length
// block are its bytes, not its end.
TEST(Framing, DefiniteLengthBlocksTakenWhole) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"line feed among the bytes", {"#13a\nb\nx\n"}, {"M:#13a\nb", "M:x"}},
        {"CR as the last byte kept", {"#12a\r\n"}, {"M:#12a\r"}},
        {"CR after the block dropped", {"#12a\n\r\n"}, {"M:#12a\n"}},
        {"header before it", {"C1:WF DAT2,#203\n\n\n\n"}, {"M:C1:WF DAT2,#203\n\n\n"}},
        {"split in its length and bytes",
         {"#", "2", "0", "4\n\n", "\n\n", "\n"},
         {"M:#204\n\n\n\n"}},
        {"unfinished block waits", {"#15ab\n"}, {}},
        {"#0 ends at its line feed", {"#0ab\ncd\n"}, {"M:#0ab", "M:cd"}},
        {"a lone '#' is text", {"#x\n"}, {"M:#x"}},
        {"beyond the limit", {"#3070" + std::string(70, 'z') + "\nx\n"}, {"OVERRUN", "M:x"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(frame(c.pieces, true), c.events) << c.name;
    }
    EXPECT_EQ(frame({"#13a\nb\n"}), (std::vector<std::string>{"M:#13a", "M:b"}))
        << "blocks are plain text unless asked for";
}

// A sender that never ends its line costs no more than one message and what
// one read brings.
TEST(Framing, MemoryStaysBounded) {
    MessageFramer framer;
    const std::string piece(1000, 'x');
    for (int i = 0; i < 1000; ++i) {
        framer.append(piece);
        ASSERT_LE(framer.buffered(), MessageFramer::kMaxMessageBytes + 1 + piece.size())
            << "after piece " << i;
        while (framer.next()) {
        }
    }
}
