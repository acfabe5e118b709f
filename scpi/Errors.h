#pragma once

#include <string_view>

namespace qd::scpi {

// The SCPI-99 error numbers the instrument reports. The class of a number
// (hundreds) decides which event status bit it sets.
enum ErrorCode : int {
    NoError = 0,
    CommandError = -100,
    SyntaxError = -102,
    DataTypeError = -104,
    ParameterNotAllowed = -108,
    MissingParameter = -109,
    UndefinedHeader = -113,
    InvalidSuffix = -131,
    SuffixNotAllowed = -138,
    ExecutionError = -200,
    SettingsConflict = -221,
    DataOutOfRange = -222,
    IllegalParameterValue = -224,
    HardwareError = -240,
    HardwareMissing = -241,
    DeviceSpecificError = -300,
    SystemError = -310,
    QueueOverflow = -350,
    InputBufferOverrun = -363,
    QueryError = -400,
};

// The standard text of a number; a number without one of its own gets the
// text of its class.
constexpr std::string_view errorText(int code) {
    switch (code) {
    case NoError:
        return "No error";
    case SyntaxError:
        return "Syntax error";
    case DataTypeError:
        return "Data type error";
    case ParameterNotAllowed:
        return "Parameter not allowed";
    case MissingParameter:
        return "Missing parameter";
    case UndefinedHeader:
        return "Undefined header";
    case InvalidSuffix:
        return "Invalid suffix";
    case SuffixNotAllowed:
        return "Suffix not allowed";
    case SettingsConflict:
        return "Settings conflict";
    case DataOutOfRange:
        return "Data out of range";
    case IllegalParameterValue:
        return "Illegal parameter value";
    case HardwareError:
        return "Hardware error";
    case HardwareMissing:
        return "Hardware missing";
    case SystemError:
        return "System error";
    case QueueOverflow:
        return "Queue overflow";
    case InputBufferOverrun:
        return "Input buffer overrun";
    default:
        break;
    }
    if (code <= -100 && code > -200) {
        return "Command error";
    }
    if (code <= -200 && code > -300) {
        return "Execution error";
    }
    if (code <= -300 && code > -400) {
        return "Device-specific error";
    }
    if (code <= -400 && code > -500) {
        return "Query error";
    }
    return "Error";
}

} // namespace qd::scpi
