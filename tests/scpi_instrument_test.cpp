// The instrument's commands, status and errors, message by message against a
// fake board; what reached the board is checked where it matters.

#include "FakeInstrumentBoard.h"
#include "scpi/Errors.h"
#include "serve/Instrument.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace qd;
using namespace qd::control;
using namespace qd::scpi;
using namespace qd::serve;

namespace {

struct Rig {
    explicit Rig(const char* device) {
        state.applyStartupDefaults();
        if (device) {
            EXPECT_TRUE(instrument.selectDevice(device));
        }
    }
    std::string operator()(std::string_view message) { return instrument.execute(message); }

    ControlState state;
    FakeInstrumentBoard board{state};
    Instrument instrument{state, board, "2.0.2"};
};

struct Exchange {
    std::string send;
    std::string answer;
};

struct Conversation {
    const char* name;
    const char* device; // chosen at start; nullptr for none
    std::function<void(FakeInstrumentBoard&)> setup;
    std::vector<Exchange> exchanges;
};

const std::string kNoError = "0,\"No error\"";
std::string error(int code) {
    return std::to_string(code) + ",\"" + std::string(errorText(code)) + "\"";
}

} // namespace

TEST(Instrument, Conversations) {
    const std::vector<Conversation> conversations = {
        {"identifies itself before anything is chosen",
         nullptr,
         {},
         {{"*IDN?", "Quensor,QD1600 evaluation board,SIM-1,2.0.2"}, {"SYST:DEV?", "NONE"}}},
        {"identifier cannot break the answer apart",
         nullptr,
         [](FakeInstrumentBoard& b) { b.id = "a,b;c\nd"; },
         {{"*IDN?;*OPC?", "Quensor,QD1600 evaluation board,a_b_c_d,2.0.2;1"}}},
        {"headers in short and long form, any case",
         "QD1600",
         {},
         {{"SOUR:DAC:CODE 10", ""},
          {"source:dac:code?", "10"},
          {"SoUrCe:DaC:cOdE 11;CODE?", "11"},
          {":SOURCE:DAC:CODE?", "11"},
          {"SOURC:DAC:CODE?", ""},
          {"SYST:ERR?", error(UndefinedHeader)},
          {"SYSTEM:ERROR:NEXT?", kNoError},
          {"SYST:VERS?", "1999.0"}}},
        {"compound messages: path, root and common commands",
         "QD1600",
         {},
         {{"SOUR:DAC:CODE 5;PMOD PD1K;*OPC?;CODE?;:SOUR:DAC:FRAM?", "1;5;65541"},
          {"SOUR:DAC:CODE?;:SYST:DEV?", "5;QD1600"},
          {"SYST:ERR?;VERS?", kNoError + ";1999.0"},
          {"SOUR:VOLT:LEV 0;REF?", "4.93"},
          {"SOUR:DAC:CODE 5;MEAS:RAW?", ""},
          {"SYST:ERR?", error(UndefinedHeader)}}},
        {"codes in every notation",
         "QD1610",
         {},
         {{"SOUR:DAC:CODE #H1234;CODE?", "4660"},
          {"SOUR:DAC:CODE #q777;CODE?", "511"},
          {"SOUR:DAC:CODE #B1010;CODE?", "10"},
          {"SOUR:DAC:CODE 1.2e3;CODE?", "1200"},
          {"SOUR:DAC:CODE +7.0;CODE?", "7"},
          {"SOUR:DAC:CODE max;CODE?", "65535"},
          {"SOUR:DAC:CODE MINIMUM;CODE?", "0"},
          {"SYST:ERR?", kNoError}}},
        {"a 12-bit converter's range and frame",
         "QD1200",
         {},
         {{"SOUR:DAC:CODE MAX;CODE?;FRAM?", "4095;16380"},
          {"SOUR:DAC:CODE 4096;CODE?", "4095"},
          {"SYST:ERR?", error(DataOutOfRange)}}},
        {"codes out of range or not codes write nothing",
         "QD1600",
         {},
         {{"SOUR:DAC:CODE 100", ""},
          {"SOUR:DAC:CODE 65536;CODE 99999;CODE -1;CODE #H10000;CODE 1e400;CODE 5.5;CODE "
           "NORM;CODE?",
           "100"},
          {"SYST:ERR?;ERR?;ERR?;ERR?;ERR?",
           error(DataOutOfRange) + ";" + error(DataOutOfRange) + ";" + error(DataOutOfRange) + ";" +
               error(DataOutOfRange) + ";" + error(DataOutOfRange)},
          {"SYST:ERR?;ERR?;ERR?",
           error(IllegalParameterValue) + ";" + error(IllegalParameterValue) + ";" + kNoError},
          {"SOUR:DAC:FRAM?", "100"}}},
        {"nothing to write before a converter is chosen",
         nullptr,
         {},
         {{"SOUR:DAC:CODE 5;PMOD PD1K;:SOUR:VOLT 1;VOLT?;VOLT MAX", ""},
          {"*TST?", "1"},
          {"SYST:ERR?;ERR?;ERR?;ERR?;ERR?;ERR?;ERR?",
           error(SettingsConflict) + ";" + error(SettingsConflict) + ";" + error(SettingsConflict) +
               ";" + error(SettingsConflict) + ";" + error(SettingsConflict) + ";" +
               error(SettingsConflict) + ";" + kNoError},
          {"SOUR:DAC:CODE?;PMOD?;FRAM?;:MEAS:RAW?", "0;NORM;0;0"},
          {"*RST;*OPC?", "1"}}},
        {"converter names",
         nullptr,
         {},
         {{"SYST:DEV qd1400;DEV?", "QD1400"},
          {"SYST:DEV QD9999;DEV?", "QD1400"},
          {"SYST:DEV 1400", ""},
          {"SYST:DEV \"QD1200\"", ""},
          {"SYST:DEV", ""},
          {"SYST:ERR?;ERR?;ERR?;ERR?", error(IllegalParameterValue) + ";" + error(DataTypeError) +
                                           ";" + error(DataTypeError) + ";" +
                                           error(MissingParameter)}}},
        {"another converter forgets the code",
         "QD1600",
         {},
         {{"SOUR:DAC:CODE 40000;:SYST:DEV QD1200;:SOUR:DAC:CODE?", "0"},
          {"SOUR:DAC:PMOD PD1K;FRAM?", "16384"}}},
        {"power modes write the present code again",
         "QD1400",
         {},
         {{"SOUR:DAC:CODE 1000", ""},
          {"SOUR:DAC:PMOD PD100K;PMOD?;FRAM?", "PD100K;33768"},
          {"SOUR:DAC:PMOD tstate;PMOD?", "TST"},
          {"SOUR:DAC:PMOD norm;PMOD?;FRAM?;CODE?", "NORM;1000;1000"},
          {"SOUR:DAC:PMOD PD2K;PMOD 1", ""},
          {"SYST:ERR?;ERR?", error(IllegalParameterValue) + ";" + error(DataTypeError)}}},
        {"voltage level to the nearest code",
         "QD1600",
         {},
         {{"SOUR:VOLT 4.93;:SOUR:DAC:CODE?", "65535"},
          {"SOUR:VOLT 2.465;:SOUR:DAC:CODE?", "32768"},
          {"SOUR:VOLT?", "2.465"},
          {"SOUR:VOLT 1.25;:SOUR:DAC:CODE?", "16617"},
          {"SOUR:VOLT:LEV 0;:SOUR:DAC:CODE?", "0"},
          {"SOUR:VOLT MAX;:SOUR:DAC:CODE?", "65535"},
          {"SOUR:VOLT 4.9301;VOLT -0.001;VOLT 1e999;VOLT UP;:SOUR:DAC:CODE?", "65535"},
          {"SYST:ERR?;ERR?;ERR?;ERR?", error(DataOutOfRange) + ";" + error(DataOutOfRange) + ";" +
                                           error(DataOutOfRange) + ";" +
                                           error(IllegalParameterValue)}}},
        {"reference for the voltage level",
         "QD1600",
         {},
         {{"SOUR:VOLT:REF 2.5;REF?", "2.5"},
          {"SOUR:VOLT 2.5;:SOUR:DAC:CODE?", "65535"},
          {"SOUR:VOLT 1.25;:SOUR:DAC:CODE?", "32768"},
          {"SOUR:VOLT:REF 0;REF -1;REF 1e999;REF MAX;REF?", "2.5"},
          {"SYST:ERR?;ERR?;ERR?;ERR?", error(DataOutOfRange) + ";" + error(DataOutOfRange) + ";" +
                                           error(DataOutOfRange) + ";" +
                                           error(IllegalParameterValue)}}},
        {"reference only as the converters take it: 0.5 V to the measuring converter's 4.93 V",
         "QD1600",
         {},
         {{"SOUR:VOLT:REF 0.5;REF?", "0.5"},
          {"SOUR:VOLT:REF 4930 MV;REF?", "4.93"},
          {"SOUR:VOLT:REF 1e-320;REF 0.4999;REF 4.9301;REF 10;REF?", "4.93"},
          {"SYST:ERR:ALL?", error(DataOutOfRange) + "," + error(DataOutOfRange) + "," +
                                error(DataOutOfRange) + "," + error(DataOutOfRange)},
          {"SOUR:VOLT 1e-320;:SOUR:DAC:CODE?", "0"}}},
        {"measuring converter, bits above its 12 ignored",
         nullptr,
         [](FakeInstrumentBoard& b) { b.rawHighBits = 0xF000; },
         {{"MEAS:VOLT?;RAW?", "0.0;0"},
          {"SYST:DEV QD1600;:SOUR:DAC:CODE 32768;:MEAS:VOLT?;RAW?", "2.465;2048"},
          {"MEAS:VOLT:DC?", "2.465"}}},
        {"parameters checked against the command",
         "QD1600",
         {},
         {{"SOUR:DAC:CODE", ""},
          {"SOUR:DAC:CODE 1,2", ""},
          {"SOUR:DAC:CODE? 5", ""},
          {"*IDN? 1", ""},
          {"SOUR:DAC:CODE 'x'", ""},
          {"SOUR:DAC:CODE #15hello", ""},
          {"*IDN", ""},
          {"SOUR:DAC:FRAM 5", ""},
          {"SOUR:DAC:CODE 5 6", ""},
          {"SOUR:DAC:CODE (5)", ""},
          {"SYST:ERR?;ERR?;ERR?;ERR?;ERR?;ERR?;ERR?;ERR?;ERR?;ERR?;ERR?",
           error(MissingParameter) + ";" + error(ParameterNotAllowed) + ";" + error(DataTypeError) +
               ";" + error(ParameterNotAllowed) + ";" + error(DataTypeError) + ";" +
               error(DataTypeError) + ";" + error(UndefinedHeader) + ";" + error(UndefinedHeader) +
               ";" + error(SyntaxError) + ";" + error(CommandError) + ";" + kNoError},
          {"SOUR:DAC:FRAM?", "0"}}},
        {"a command error drops the rest of its message, an execution error does not",
         "QD1600",
         {},
         {{"SOUR:DAC:CODE 5;BOGUS 1;CODE 7", ""},
          {"*OPC?;SOUR:DAC:CODE 9,9;*OPC?", "1"},
          {"SOUR:DAC:CODE 6;;CODE 9", ""},
          {"SOUR:DAC:CODE?", "6"},
          {"SOUR:DAC:CODE 99999;CODE 8;CODE?", "8"},
          {"SYST:ERR?;ERR?;ERR?;ERR?", error(UndefinedHeader) + ";" + error(ParameterNotAllowed) +
                                           ";" + error(SyntaxError) + ";" +
                                           error(DataOutOfRange)}}},
        {"status registers",
         "QD1600",
         {},
         {{"*ESR?;*STB?", "0;0"},
          {"BOGUS", ""},
          {"*STB?", "4"},
          {"*ESR?;*ESR?;*STB?", "32;0;4"},
          {"SYST:ERR?;*STB?", error(UndefinedHeader) + ";0"},
          {"SOUR:DAC:CODE 99999;*ESR?", "16"},
          {"SOUR:VOLT:REF (1)", ""},
          {"*CLS;*ESR?;*STB?;:SYST:ERR?", "0;0;" + kNoError}}},
        {"status polled the IEEE 488.2 way: *ESE and *SRE choose the summaries",
         "QD1600",
         {},
         {{"*ESE?;*SRE?;*OPC;*ESR?;*ESR?", "0;0;1;0"},
          {"*ESE 33;*ESE?;:BOGUS", "33"},
          {"*STB?", "36"},
          {"*SRE 96;*SRE?;*STB?", "32;100"},
          {"*CLS;*WAI;*ESE?;*SRE?;*STB?", "33;32;0"},
          {"*OPC;*STB?;*ESR?;*STB?", "96;1;0"},
          {"*ESE 256;*ESE -1;*ESE 1.4;*ESE?", "1"},
          {"SYST:ERR?;ERR?;ERR?",
           error(DataOutOfRange) + ";" + error(DataOutOfRange) + ";" + kNoError}}},
        {"the error queue read whole or counted",
         "QD1600",
         {},
         {{"BOGUS", ""},
          {"SOUR:DAC:CODE 99999;:SYST:ERR:COUN?", "2"},
          {"SYST:ERR:ALL?", error(UndefinedHeader) + "," + error(DataOutOfRange)},
          {"SYST:ERR:COUN?;ALL?", "0;" + kNoError}}},
        {"SOURce left out, as SCPI allows",
         "QD1600",
         {},
         {{"VOLT 2.465;:DAC:CODE?", "32768"}, {"DAC:PMOD PD1K;PMOD?;:VOLT:REF?", "PD1K;4.93"}}},
        {"voltages written with their unit",
         "QD1600",
         {},
         {{"SOUR:VOLT 1232.5 mV;:SOUR:DAC:CODE?", "16384"},
          {"SOUR:VOLT 2.465V;:SOUR:DAC:CODE?", "32768"},
          {"SOUR:VOLT:REF 2500MV;REF?", "2.5"},
          {"SOUR:VOLT 1 kV;:SOUR:DAC:CODE?", ""},
          {"SOUR:DAC:CODE 5V", ""},
          {"SOUR:DAC:CODE?", "32768"},
          {"SYST:ERR?;ERR?", error(InvalidSuffix) + ";" + error(SuffixNotAllowed)}}},
        {"MIN and MAX asked for instead of set",
         "QD1200",
         {},
         {{"SOUR:DAC:CODE 7;CODE? MAX;CODE? minimum;CODE?;:SOUR:VOLT? MIN", "4095;0;7;0"},
          {"SOUR:DAC:CODE? UP;:SOUR:VOLT? 1", ""},
          {"SYST:ERR?;ERR?", error(IllegalParameterValue) + ";" + error(DataTypeError)}}},
        {"readings at full precision, by every name",
         "QD1200",
         {},
         {{"SOUR:DAC:CODE 1;:MEAS?;:READ?;:MEAS:VOLT?;:MEAS:VOLT:DC?;:MEAS:RAW?",
           "0.00120361328125;0.00120361328125;0.00120361328125;0.00120361328125;1"}}},
        {"power modes by the command line's names",
         "QD1400",
         {},
         {{"SOUR:DAC:PMOD 1k;PMOD?", "PD1K"},
          {"SOUR:DAC:PMOD 100K;PMOD?", "PD100K"},
          {"SOUR:DAC:PMOD three-state;PMOD?", "TST"},
          {"SOUR:DAC:PMOD NORMAL;PMOD?", "NORM"},
          {"SOUR:DAC:PMOD 2k;PMOD?", "NORM"},
          {"SYST:ERR?", error(IllegalParameterValue)}}},
        {"*RST: normal operation, code 0, default reference, same converter",
         "QD1600",
         {},
         {{"SOUR:DAC:CODE 100;PMOD PD1K;:SOUR:VOLT:REF 2.5", ""},
          {"*RST;:SOUR:DAC:CODE?;PMOD?;FRAM?;:SOUR:VOLT:REF?;:SYST:DEV?", "0;NORM;0;4.93;QD1600"}}},
        {"*TST? passes on an ideal board and leaves the output as it was",
         "QD1610",
         {},
         {{"SOUR:DAC:CODE 1234;PMOD PD100K", ""},
          {"*TST?", "0"},
          {"SOUR:DAC:CODE?;PMOD?;FRAM?", "1234;PD100K;132306"},
          {"SYST:ERR?", kNoError}}},
        {"*TST? fails on a board whose output stays driven in power-down",
         "QD1400",
         [](FakeInstrumentBoard& b) { b.ignorePowerDown = true; },
         {{"*TST?;*TST?", "1;1"}, {"SYST:ERR?", kNoError}}},
        {"*TST? with the reference the level uses",
         "QD1600",
         [](FakeInstrumentBoard& b) { b.referenceVolts = 2.5; },
         {{"*TST?", "1"}, {"SOUR:VOLT:REF 2.5;*TST?", "0"}}},
        {"a failed write goes to the queue with the board's words",
         "QD1600",
         [](FakeInstrumentBoard& b) { b.failWrites = true; },
         {{"SOUR:DAC:CODE 5;CODE?;PMOD TST;PMOD?", "0;NORM"},
          {"SYST:ERR?", "-240,\"Hardware error;request 221 failed\""},
          {"*TST?", "1"},
          {"*ESR?", "16"}}},
        {"a failed read answers nothing",
         "QD1600",
         [](FakeInstrumentBoard& b) { b.failReads = true; },
         {{"MEAS:VOLT?;RAW?", ""},
          {"*OPC?;:MEAS:RAW?;:SYST:ERR?", "1;-240,\"Hardware error;request 218 failed\""}}},
        {"no board: hardware missing, *IDN? still answers",
         "QD1600",
         [](FakeInstrumentBoard& b) { b.present = false; },
         {{"SOUR:DAC:CODE 5;:MEAS:VOLT?;*IDN?", "Quensor,QD1600 evaluation board,SIM-1,2.0.2"},
          {"SYST:ERR?;ERR?", "-241,\"Hardware missing;no board\";-241,\"Hardware missing;no "
                             "board\""},
          {"SOUR:DAC:CODE?;*RST;*TST?", "0;1"}}},
    };
    for (const Conversation& c : conversations) {
        Rig rig(c.device);
        if (c.setup) {
            c.setup(rig.board);
        }
        for (const Exchange& e : c.exchanges) {
            EXPECT_EQ(rig(e.send), e.answer) << c.name << ": " << e.send;
        }
    }
}

// Two clients of one instrument: each has its own errors and status, and
// the one that holds the lock is the only one that changes the instrument.
TEST(Instrument, EachClientHasItsOwnQueueAndTheLockKeepsOthersOff) {
    Rig rig("QD1600");
    ClientStatus a, b;
    struct Exchange {
        ClientStatus* client;
        std::string send;
        std::string answer;
    };
    const std::string locked = "-200,\"Execution error; locked by another connection\"";
    const std::vector<Exchange> exchanges = {
        {&a, "*ESE 32;BOGUS", ""},
        {&b, "SYST:ERR:COUN?;*STB?", "0;0"},
        {&a, "*STB?;:SYST:ERR?", "36;" + error(UndefinedHeader)},
        {&a, "SYST:LOCK:REQ?;:SOUR:DAC:CODE 5", "1"},
        {&b, "SYST:LOCK:REQ?;:SOUR:DAC:CODE 6;*RST;*TST?;:SYST:DEV QD1200;:SOUR:DAC:CODE?", "0;5"},
        {&b, "SYST:ERR:ALL?", locked + "," + locked + "," + locked + "," + locked},
        {&b, "*CLS;*ESE 1;*OPC;*ESR?;:MEAS:RAW?", "1;0"},
        {&a, "SYST:LOCK:REQ?;:SYST:LOCK:REL;:SYST:ERR?", "1;" + kNoError},
        {&b, "SYST:LOCK:REL;:SOUR:DAC:CODE 6;:SYST:ERR?", locked},
        {&a, "SYST:LOCK:REL", ""},
        {&b, "SOUR:DAC:CODE 6;:SYST:LOCK:REQ?", "1"},
        {&a, "SYST:LOCK:REQ?", "0"},
    };
    for (const Exchange& e : exchanges) {
        EXPECT_EQ(rig.instrument.execute(e.send, *e.client), e.answer)
            << (e.client == &a ? "a: " : "b: ") << e.send;
    }
    rig.instrument.forget(b);
    EXPECT_EQ(rig.instrument.execute("SYST:LOCK:REQ?;:SOUR:DAC:CODE?", a), "1;6")
        << "a lock ends with its client";
}

// The board gets each frame in the power mode the control state holds at the
// time of the call, and nothing for a refused setting.
TEST(Instrument, WritesReachTheBoardInTheirPowerMode) {
    Rig rig("QD1400");
    rig("SOUR:DAC:CODE 1000;PMOD PD100K;PMOD TST;CODE 20000;PMOD NORM;PMOD PD9");
    struct Expected {
        std::int32_t frame;
        std::int16_t mode;
    };
    const std::vector<Expected> expected = {
        {1000, 0}, {2 << 14 | 1000, 2}, {3 << 14 | 1000, 3}, {1000, 0}};
    ASSERT_EQ(rig.board.writes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rig.board.writes[i].frameLength, 16) << "write " << i;
        EXPECT_EQ(rig.board.writes[i].frame, expected[i].frame) << "write " << i;
        EXPECT_EQ(rig.board.writes[i].mode, expected[i].mode) << "write " << i;
    }

    rig.board.writes.clear();
    rig("SOUR:DAC:PMOD PD1K;*TST?");
    ASSERT_EQ(rig.board.writes.size(), 1u + 4u + 1u)
        << "the setting, four modes, the setting again";
    EXPECT_EQ(rig.board.writes.back().frame, 1 << 14 | 1000);
    EXPECT_EQ(rig.board.writes.back().mode, 1);
    EXPECT_EQ(rig.state.PowerMode, 1);
}

TEST(Instrument, ErrorQueueKeepsSixteenAndMarksTheOverflow) {
    Rig rig("QD1600");
    for (int i = 0; i < 20; ++i) {
        rig(i % 2 ? "BOGUS" : "SOUR:DAC:CODE -1");
    }
    for (std::size_t i = 0; i + 1 < Instrument::kErrorQueueSize; ++i) {
        EXPECT_EQ(rig("SYST:ERR?"), error(i % 2 ? UndefinedHeader : DataOutOfRange))
            << "entry " << i;
    }
    EXPECT_EQ(rig("SYST:ERR?"), error(QueueOverflow));
    EXPECT_EQ(rig("SYST:ERR?"), kNoError);
    EXPECT_EQ(rig("*ESR?"), std::to_string(8 | 16 | 32)) << "device, execution and command errors";
}

// Errors from outside a message (the framing's overrun) count as device errors.
TEST(Instrument, ReportedErrorsJoinTheQueue) {
    Rig rig(nullptr);
    rig.instrument.reportError(InputBufferOverrun);
    EXPECT_EQ(rig("*STB?;*ESR?;:SYST:ERR?"), "4;8;" + error(InputBufferOverrun));
}
