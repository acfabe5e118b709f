#pragma once

// A link library that records every call the programs make, exporting the
// functions of both variants under the names the bindings look up. Tests
// link it directly to read the record; the binding under test loads the
// same library through its own loading code.

#include "board/LinkAbi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The record's functions, exported for the tests that link the library.
#if defined(_WIN32) && defined(QD_FAKE_BUILD)
#define QD_FAKE_API __declspec(dllexport)
#elif defined(_WIN32)
#define QD_FAKE_API
#else
#define QD_FAKE_API __attribute__((visibility("default")))
#endif

namespace fake {

struct Call {
    std::string function;
    std::vector<long long> args;            // integers as passed, widened
    std::string path;                       // the NUL-terminated path, where there is one
    std::vector<std::uint8_t> bufferBefore; // first `length` bytes on entry
    const void* buffer = nullptr;
};

struct Behaviour {
    std::int16_t loadFirmWareResult = 1;
    std::int16_t downloadFirmwareResult = 0;
    std::int16_t requestResult = 1;
    // Written into a read request's buffer; nothing is written when empty.
    std::vector<std::uint8_t> reply;
    std::vector<std::uint8_t> boards = {1}; // what Search_For_Boards lists
    std::int32_t handle = 0x1234567;        // what Connect hands out
};

QD_FAKE_API std::vector<Call>& calls();
QD_FAKE_API Behaviour& behaviour();
QD_FAKE_API void reset();

} // namespace fake
