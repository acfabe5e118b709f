#pragma once

// What the binding tests share: the recording fake library, bound as each
// program binds its link library.

#include "fake/FakeLink.h"
#include "link/Binding.h"

#include <QCoreApplication>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace linktest {

using namespace qd::link;

// The fake library sits beside the tests; variant 1 finds it by name through
// the test program's run path, variant 2 by its absolute path.
inline const char* const kFakeName = "QdFakeLink";

// The file a library of ours has beside the tests, by its name.
inline std::string libraryFile(const std::string& name) {
    return qd::link::DynamicLibrary::byName(name).fileName();
}

inline std::string binDir() {
    return QCoreApplication::applicationDirPath().toStdString();
}

inline std::string fakePath() {
    return binDir() + "/" + libraryFile(kFakeName);
}

// A program folder, and the firmware path the library receives for it.
#ifdef _WIN32
inline const QByteArray kBoardDir = "C:\\Tools\\Board";
inline const char* const kBoardFirmware = "C:\\Tools\\Board\\QD1600.hex";
#else
inline const QByteArray kBoardDir = "/opt/board";
inline const char* const kBoardFirmware = "/opt/board/QD1600.hex";
#endif

struct Variant {
    const char* name;
    std::function<std::unique_ptr<LinkBinding>()> make;
    const char* requestFunction;
    std::size_t valueArg; // position of the value; the handle stands before it in variant 2
};

inline std::vector<Variant> variants() {
    return {
        {"variant 1", [] { return std::make_unique<UsbFunctionsBinding>(kFakeName); },
         "VendorIORequest", 1},
        {"variant 2",
         [] {
             auto b = std::make_unique<QnsBinding>(fakePath());
             b->BoardHandle = 0x1234567;
             return b;
         },
         "Vendor_Request", 2},
    };
}

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
};

} // namespace linktest
