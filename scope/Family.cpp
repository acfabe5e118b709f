#include "scope/Family.h"

#include "meter/Instrument.h"

namespace qd::scope {

namespace {

// Fixed figures: 8 divisions high for every family, the smallest screen
// among them, so that what is set on screen is on every one's.
const std::vector<Family> kFamilies = {
    {"InfiniiVision",
     "KEYSIGHT TECHNOLOGIES|AGILENT TECHNOLOGIES",
     Dialect::InfiniiVision,
     {":CHANnel1:DISPlay 1",
      ":CHANnel1:COUPling DC",
      ":CHANnel1:BWLimit 0",
      ":CHANnel1:SCALe {vdiv}",
      ":CHANnel1:OFFSet {offset}",
      ":TIMebase:REFerence CENTer",
      ":TIMebase:SCALe {tdiv}",
      ":TIMebase:POSition {position}",
      ":TRIGger:MODE EDGE",
      ":TRIGger:EDGE:SOURce EXTernal",
      ":TRIGger:EDGE:SLOPe POSitive",
      ":TRIGger:SWEep NORMal",
      ":WAVeform:SOURce CHANnel1",
      ":WAVeform:FORMat WORD",
      ":WAVeform:UNSigned 1",
      ":WAVeform:BYTeorder LSBFirst",
      ":WAVeform:POINts:MODE MAXimum",
      ":WAVeform:POINts {points}",
      nullptr,
      nullptr},
     {":ACQuire:TYPE NORMal", nullptr, nullptr},
     {":ACQuire:TYPE AVERage", ":ACQuire:COUNt {count}", nullptr},
     ":SYSTem:ERRor?",
     false,
     false,
     ":TER?",
     ":SINGle",
     ":TER?",
     "1|+1",
     ":OPERegister:CONDition?",
     nullptr,
     8, // Run
     ":CHANnel1:SCALe?",
     ":CHANnel1:OFFSet?",
     ":TIMebase:SCALe?",
     ":ACQuire:SRATe?",
     ":WAVeform:DATA?",
     nullptr,
     nullptr,
     2,
     65536,
     false,
     ":CALibrate:DATE?",
     8,
     350e6,
     8,
     10,
     1e-3,
     5,
     5e9,
     4000000},
    {"DS1000Z",
     "RIGOL TECHNOLOGIES",
     Dialect::Ds1000z,
     {":CHANnel1:BWLimit OFF", ":CHANnel1:SCALe {vdiv}", ":CHANnel1:OFFSet {offset}",
      ":TIMebase:MAIN:SCALe {tdiv}", ":TIMebase:MAIN:OFFSet {position}", ":TRIGger:MODE EDGE",
      ":TRIGger:EDGE:SOURce EXT", ":TRIGger:SWEep SINGle", ":WAVeform:SOURce CHANnel1",
      ":WAVeform:MODE RAW", ":WAVeform:FORMat BYTE", ":WAVeform:STARt 1",
      ":WAVeform:STOP {points}"},
     {":ACQuire:TYPE NORMal", nullptr, nullptr},
     {":ACQuire:TYPE AVERages", ":ACQuire:AVERages {count}", nullptr},
     ":SYSTem:ERRor?",
     true,
     false,
     nullptr,
     ":SINGle",
     ":TRIGger:STATus?",
     "TD|T'D|STOP",
     ":TRIGger:STATus?",
     "STOP",
     0,
     ":CHANnel1:SCALe?",
     ":CHANnel1:OFFSet?",
     ":TIMebase:MAIN:SCALe?",
     ":ACQuire:SRATe?",
     ":WAVeform:DATA?",
     ":WAVeform:STOP {points}",
     ":ACQuire:MDEPth?",
     2,
     1024,
     true,
     nullptr,
     8,
     100e6,
     8,
     10,
     1e-3,
     10,
     1e9,
     250000},
    {"Tektronix",
     "TEKTRONIX",
     Dialect::Tektronix,
     {"CH1:SCAle {vdiv}", "CH1:POSition 0", "CH1:OFFSet {offset}", "CH1:BANdwidth FULl",
      "HORizontal:SCAle {tdiv}", "HORizontal:RECOrdlength {points}",
      "HORizontal:POSition {position}", "TRIGger:A:EDGE:SOUrce AUX", "TRIGger:A:MODe NORMal",
      "ACQuire:STOPAfter SEQuence", "DATa:SOUrce CH1", "DATa:ENCdg RIBinary", "DATa:WIDth 2",
      "DATa:STARt 1", "DATa:STOP {points}"},
     {"ACQuire:MODe SAMple", nullptr, nullptr},
     {"ACQuire:MODe AVErage", "ACQuire:NUMAVg {count}", nullptr},
     "SYSTem:ERRor?",
     false,
     true,
     nullptr,
     "ACQuire:STATE RUN",
     "TRIGger:STATE?",
     "TRIGGER|SAVE",
     "ACQuire:STATE?",
     "0",
     0,
     "CH1:SCAle?",
     "CH1:OFFSet?",
     "HORizontal:SCAle?",
     nullptr,
     "CURVe?",
     nullptr,
     nullptr,
     2,
     10240,
     false,
     nullptr,
     8,
     200e6,
     8,
     10,
     500e-6,
     10,
     6.25e9,
     10000000},
    {"Siglent",
     "SIGLENT TECHNOLOGIES|SIGLENT",
     Dialect::Siglent,
     {"C1:TRA ON", "BWL C1,OFF", "C1:VDIV {vdiv}", "C1:OFST {offset}", "TDIV {tdiv}",
      "TRDL {position}", "TRSE EDGE,SR,EX,HT,OFF", "TRMD STOP", "WFSU SP,0,NP,0,FP,0"},
     {"ACQW SAMPLING", nullptr, nullptr},
     {"ACQW AVERAGE,{count}", nullptr, nullptr},
     "SYST:ERR?",
     true,
     false,
     nullptr,
     "ARM",
     "SAST?",
     "TRIG'D|STOP",
     "SAST?",
     "STOP",
     0,
     "C1:VDIV?",
     "C1:OFST?",
     "TDIV?",
     "SARA?",
     "C1:WF? DAT2",
     "WFSU SP,0,NP,{points},FP,0",
     nullptr,
     4,
     1024,
     true,
     nullptr,
     8,
     200e6,
     8,
     14,
     500e-6,
     10,
     1e9,
     14000000},
};

} // namespace

const std::vector<Family>& families() {
    return kFamilies;
}

const Family* familyOf(const std::string& identity) {
    const std::string maker =
        meter::trimmed(std::string_view(identity).substr(0, identity.find(',')));
    for (const Family& f : kFamilies) {
        if (meter::namedIn(f.makers, maker, false)) {
            return &f;
        }
    }
    return nullptr;
}

std::string familyNames() {
    std::string out;
    for (std::size_t i = 0; i < kFamilies.size(); ++i) {
        out += (i == 0 ? "" : i + 1 == kFamilies.size() ? " or " : ", ");
        out += kFamilies[i].name;
    }
    return out;
}

} // namespace qd::scope
