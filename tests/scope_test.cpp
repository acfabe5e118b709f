// The scope client against a scripted scope of each family, answering as
// the makers' programming manuals give: what it sends, the volts and times
// it makes of each dialect's preamble and block, and what it refuses.

#include "scope/Block.h"
#include "scope/Scope.h"

#include <deque>
#include <gtest/gtest.h>
#include <map>

namespace {

using namespace std::chrono_literals;
using qd::meter::MeterError;
using qd::meter::MeterTimeout;

TEST(ScopeBlock, DefiniteLengthOnlyAndWhole) {
    const struct {
        std::string answer;
        const char* bytes; // when taken
        const char* says;  // when refused
    } cases[] = {
        {"#15hello", "hello", nullptr},
        {"#2100123456789\n", "0123456789", nullptr},
        {"C1:WF DAT2,#14ab\ncd\n\n", nullptr, "has 3 bytes after its block of 4"},
        {"C1:WF DAT2,#14a\nbc\n\n", "a\nbc", nullptr},
        {"#3004ab", nullptr, "truncated block: 2 of its 4 bytes came"},
        {"#30x4abcd", nullptr, "#3 without 3 digits of length"},
        {"#4004", nullptr, "#4 without 4 digits of length"},
        {"#0abcd", nullptr, "indefinite-length block (#0)"},
        {"#xabcd", nullptr, "no length digit count"},
        {"1,2,3", nullptr, "holds no binary block"},
        {"#14abcdef", nullptr, "has 2 bytes after its block of 4"},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto block = qd::scope::parseBlock(c.answer, why);
        if (c.bytes) {
            ASSERT_TRUE(block) << c.answer << ": " << why;
            EXPECT_EQ(block->bytes, c.bytes) << c.answer;
        } else {
            EXPECT_FALSE(block) << c.answer;
            EXPECT_NE(why.find(c.says), std::string::npos) << c.answer << ": " << why;
        }
    }
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

// One family as its manual has it answer, and what the client must make of
// it: 4 samples of which the first and last are at the ADC's ends.
struct FamilyCase {
    const char* family;
    std::string identity;
    std::map<std::string, std::string> answers; // static queries
    const char* state;                          // its state query
    const char* running;                        // and its answers
    const char* ended;
    std::vector<std::string> sent; // some of the commands it must get
    std::vector<double> volts;
    double start, interval, codeVolts;
    int averages;
};

std::vector<FamilyCase> familyCases() {
    const std::string ok = "+0,\"No error\"";
    return {
        {"InfiniiVision",
         "KEYSIGHT TECHNOLOGIES,DSO-X 3034T,MY12345678,07.50.2021102830",
         {{":SYSTem:ERRor?", ok},
          {":CHANnel1:SCALe?", "+50.0E-03"},
          {":CHANnel1:OFFSet?", "+2.50000E+00"},
          {":TIMebase:SCALe?", "+10.00E-09"},
          {":ACQuire:SRATe?", "+1.00000E+09"},
          {":TER?", "+1"},
          {":CALibrate:DATE?", "14,3,2026"},
          // WORD: the 8-bit code in the high byte, 1/6400 division a step.
          {":WAVeform:PREamble?", "+1,+2,+4,+16,+1.00000000E-09,-2.00000000E-08,+0,"
                                  "+7.81250000E-06,+2.50000000E+00,+32768"},
          {":WAVeform:DATA?", "#18" + bytes({0x00, 0x00, 0x00, 0x80, 0x80, 0x80, 0x00, 0xFF})}},
         ":OPERegister:CONDition?",
         "+8",
         "+0",
         {":CHANnel1:OFFSet 2.5", ":TIMebase:POSition 3e-08", ":WAVeform:FORMat WORD",
          ":ACQuire:TYPE AVERage", ":ACQuire:COUNt 16", ":SINGle"},
         {2.244, 2.5, 2.501, 2.754},
         -2e-8,
         1e-9,
         0.002,
         16},
        {"DS1000Z",
         "RIGOL TECHNOLOGIES,DS1104Z,DS1ZA000000001,00.04.04.SP4",
         {{":SYSTem:ERRor?", "0,\"No error\""},
          {":CHANnel1:SCALe?", "5.000000e-02"},
          {":CHANnel1:OFFSet?", "-2.500000e+00"},
          {":TIMebase:MAIN:SCALe?", "1.000000e-08"},
          {":ACQuire:SRATe?", "1.000000e+09"},
          {":ACQuire:MDEPth?", "4"},
          // volts = (code − yorigin − yreference) × yincrement.
          {":WAVeform:PREamble?", "0,2,4,16,1.000000e-09,-2.000000e-08,0,2.000000e-03,"
                                  "-2,127"},
          {":WAVeform:DATA?", "#9000000004" + bytes({0, 125, 126, 255})}},
         ":TRIGger:STATus?",
         "WAIT",
         "STOP",
         {":CHANnel1:OFFSet -2.5", ":TIMebase:MAIN:OFFSet 3e-08", ":ACQuire:TYPE AVERages",
          ":ACQuire:AVERages 16", ":WAVeform:STOP 4", ":SINGle"},
         {-0.25, 0, 0.002, 0.26},
         -2e-8,
         1e-9,
         0.002,
         16},
        {"Tektronix",
         "TEKTRONIX,MSO44,C012345,CF:91.1CT FV:1.0.0",
         {{"SYSTem:ERRor?", "0,\"No events to report - queue empty\""},
          {"CH1:SCAle?", "50.0000E-3"},
          {"CH1:OFFSet?", "2.5000"},
          {"HORizontal:SCAle?", "10.0000E-9"},
          {"TRIGger:STATE?", "SAVE"},
          {"WFMOutpre:BYT_Nr?", "2"},
          {"WFMOutpre:NR_Pt?", "4"},
          {"WFMOutpre:XINcr?", "1.0000E-9"},
          {"WFMOutpre:XZEro?", ":WFMOUTPRE:XZERO -20.0000E-9"},
          {"WFMOutpre:PT_Off?", "0"},
          {"WFMOutpre:YMUlt?", "7.8125E-6"},
          {"WFMOutpre:YOFf?", "0"},
          {"WFMOutpre:YZEro?", "2.5000"},
          {"WFMOutpre:BN_Fmt?", "RI"},
          {"WFMOutpre:BYT_Or?", "MSB"},
          // Signed, MSB first: −128, 0, 1 and 127 codes of 8 bits.
          {"CURVe?", "#18" + bytes({0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x7F, 0x00})}},
         "ACQuire:STATE?",
         "1",
         "0",
         {"CH1:OFFSet 2.5", "HORizontal:POSition 20", "DATa:WIDth 2", "ACQuire:MODe AVErage",
          "ACQuire:NUMAVg 16", "ACQuire:STATE RUN"},
         {2.244, 2.5, 2.502, 2.754},
         -2e-8,
         1e-9,
         0.002,
         16},
        {"Siglent",
         "Siglent Technologies,SDS1202X-E,SDS1EDEX000001,8.2.6.1.37R9",
         {{"SYST:ERR?", "0,\"No error\""},
          {"C1:VDIV?", "C1:VDIV 5.00E-02V"},
          {"C1:OFST?", "C1:OFST -2.50E+00V"},
          {"TDIV?", "TDIV 1.00E-08S"},
          {"TRDL?", "TRDL 5.00E-08S"},
          {"SARA?", "SARA 1.00GSa/s"},
          {"SANU? C1", "SANU 4.00E+00pts"},
          // Signed bytes: code × VDIV/25 − OFST; the first at TRDL − 7 TDIV.
          {"C1:WF? DAT2", "C1:WF DAT2,#14" + bytes({0x80, 0x00, 0x19, 0x7F}) + "\n"}},
         "SAST?",
         "SAST Ready",
         "SAST Stop",
         {"C1:OFST -2.5", "TRDL 5e-08", "ACQW AVERAGE,16", "WFSU SP,0,NP,4,FP,0", "ARM"},
         {2.244, 2.5, 2.55, 2.754},
         -2e-8,
         1e-9,
         0.002,
         16},
    };
}

// Answers as a case gives; after the arm command its state query says it
// runs twice, then that it has ended. A command named in `refuse` leaves an
// error for the next error query.
class ScriptedScope final : public qd::meter::Transport {
  public:
    ScriptedScope(const FamilyCase& c, std::vector<std::string>& sent) : c_(c), sent_(sent) {}
    std::string refuse;
    std::string errorQuery;

    void send(std::string_view message) override {
        const std::string m(message);
        sent_.push_back(m);
        if (m == "*IDN?") {
            pending_.push_back(c_.identity);
        } else if (m == "*OPC?") {
            pending_.push_back("1");
        } else if (m == c_.state) {
            pending_.push_back(++polls_ > 2 ? c_.ended : c_.running);
        } else if (m == errorQuery && error_) {
            pending_.push_back("-222,\"Data out of range\"");
            error_ = false;
        } else if (const auto a = c_.answers.find(m); a != c_.answers.end()) {
            pending_.push_back(a->second);
        } else if (m == refuse) {
            error_ = true;
        }
        if (m.find('?') == std::string::npos && m == c_.sent.back()) {
            polls_ = 0; // armed
        }
    }
    std::string receive(std::chrono::milliseconds) override {
        if (pending_.empty()) {
            throw MeterTimeout("meter fake: no answer within 1 s");
        }
        std::string line = pending_.front();
        pending_.pop_front();
        return line;
    }
    std::size_t drain() override {
        const std::size_t n = pending_.size();
        pending_.clear();
        return n;
    }

  private:
    const FamilyCase& c_;
    std::vector<std::string>& sent_;
    std::deque<std::string> pending_;
    int polls_ = 100; // not armed: ended
    bool error_ = false;
};

qd::scope::Acquisition acquisition() {
    return {0.05, 2.5, 10e-9, -20e-9, 16, 4};
}

TEST(Scope, EachFamilyCapturedAndReadInVolts) {
    for (const FamilyCase& c : familyCases()) {
        std::vector<std::string> sent;
        auto transport = std::make_unique<ScriptedScope>(c, sent);
        transport->errorQuery = c.answers.begin()->first;
        qd::scope::Scope scope(std::move(transport), "fake", 1000ms);
        EXPECT_STREQ(scope.family().name, c.family);
        scope.configure(acquisition());
        scope.arm();
        int polls = 0;
        while (!scope.done()) {
            ASSERT_LT(++polls, 10) << c.family;
        }
        EXPECT_TRUE(scope.triggered()) << c.family;
        const qd::measure::Waveform w = scope.read();
        for (const std::string& command : c.sent) {
            EXPECT_NE(std::find(sent.begin(), sent.end(), command), sent.end())
                << c.family << " was not sent " << command;
        }
        ASSERT_EQ(w.volts.size(), c.volts.size()) << c.family;
        for (std::size_t i = 0; i < c.volts.size(); ++i) {
            EXPECT_NEAR(w.volts[i], c.volts[i], 1e-9) << c.family << " sample " << i;
        }
        EXPECT_EQ(w.clipped, (std::vector<std::uint8_t>{1, 0, 0, 1})) << c.family;
        EXPECT_NEAR(w.startSeconds, c.start, 1e-18) << c.family;
        EXPECT_NEAR(w.intervalSeconds, c.interval, 1e-18) << c.family;
        EXPECT_NEAR(w.codeVolts, c.codeVolts, 1e-12) << c.family;
        EXPECT_EQ(w.averages, c.averages) << c.family;
        const qd::measure::ScopeSetup setup = scope.setup();
        EXPECT_DOUBLE_EQ(setup.voltsPerDivision, 0.05) << c.family;
        EXPECT_DOUBLE_EQ(setup.offsetVolts, 2.5) << c.family;
        EXPECT_DOUBLE_EQ(setup.secondsPerDivision, 10e-9) << c.family;
        EXPECT_NEAR(setup.sampleIntervalSeconds, 1e-9, 1e-18) << c.family;
        EXPECT_EQ(setup.calibrationDate, c.answers.count(":CALibrate:DATE?") ? "2026-03-14" : "")
            << c.family;
    }
}

// What a scope answers wrongly, or refuses, ends the capture with one line
// naming the scope and what went wrong; never a waveform.
TEST(Scope, RefusedNamingWhy) {
    const struct {
        const char* name;
        std::string query;  // its answer replaced...
        std::string answer; // ...by this; "" nothing replaced
        std::string refuse; // a command refused
        qd::scope::Acquisition acquisition;
        const char* says;
    } cases[] = {
        {"preamble of 9 fields", ":WAVeform:PREamble?", "+1,+2,+4,+16,+1E-9,-2E-8,+0,+7.8E-6,+2.5",
         "", acquisition(), "answered 9 fields, not 10"},
        {"block shorter than the preamble", ":WAVeform:DATA?", "#16" + std::string(6, '\x80'), "",
         acquisition(), "its block holds 6 bytes, its preamble 4 samples of 2 bytes"},
        {"truncated block", ":WAVeform:DATA?", "#18" + std::string(6, '\x80'), "", acquisition(),
         "truncated block: 6 of its 8 bytes came"},
        {"indefinite block", ":WAVeform:DATA?", "#0" + std::string(8, '\x80'), "", acquisition(),
         "indefinite-length block (#0)"},
        {"a field no number", ":WAVeform:PREamble?", "+1,+2,+4,+16,+1E-9,-2E-8,+0,\x01,+2.5,+32768",
         "", acquisition(), "field 8 is no number"},
        {"a command refused", "", "", ":CHANnel1:SCALe 0.05", acquisition(),
         "scope fake (KEYSIGHT TECHNOLOGIES,DSO-X 3034T,MY12345678,07.50.2021102830): refused "
         "\":CHANnel1:SCALe 0.05\": -222,\"Data out of range\""},
        {"a scale beyond its",
         "",
         "",
         "",
         {0.0005, 0, 1e-8, 0, 1, 4},
         "0.0005 V/div is beyond its 0.001 to 5 V/div"},
        {"averages beyond its",
         "",
         "",
         "",
         {0.05, 0, 1e-8, 0, 100000, 4},
         "InfiniiVision averages 2 to 65536 acquisitions, not 100000"},
    };
    for (const auto& c : cases) {
        FamilyCase f = familyCases().front();
        if (!c.answer.empty()) {
            f.answers[c.query] = c.answer;
        }
        std::vector<std::string> sent;
        auto transport = std::make_unique<ScriptedScope>(f, sent);
        transport->errorQuery = ":SYSTem:ERRor?";
        transport->refuse = c.refuse;
        std::string error;
        try {
            qd::scope::Scope scope(std::move(transport), "fake", 1000ms);
            scope.configure(c.acquisition);
            scope.arm();
            while (!scope.done()) {
            }
            scope.read();
        } catch (const MeterError& e) {
            error = e.what();
        }
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.name << ": " << error;
        EXPECT_TRUE(error.starts_with("scope fake")) << c.name << ": " << error;
    }
}

TEST(Scope, AnotherMakerRefusedNamingTheFamilies) {
    FamilyCase f = familyCases().front();
    f.identity = "ACME\x01 SCOPES,X1,0,1";
    std::vector<std::string> sent;
    std::string error;
    try {
        qd::scope::Scope scope(std::make_unique<ScriptedScope>(f, sent), "fake", 1000ms);
    } catch (const MeterError& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("scope fake (ACME\\x01 SCOPES,X1,0,1): its maker is of none of the "
                         "families this program speaks to, InfiniiVision, DS1000Z, Tektronix "
                         "or Siglent"),
              std::string::npos)
        << error;
}

} // namespace
