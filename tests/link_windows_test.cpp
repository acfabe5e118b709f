// On Windows the link library takes the firmware path in the ANSI code page,
// one byte per character; a character the code page lacks is the overflow
// error, never a look-alike that names another file.

#include "LinkTestSupport.h"
#include "control/RuntimeError.h"
#include "link/UsbStuff.h"

#include <gtest/gtest.h>
#include <windows.h>

using namespace linktest;

TEST_F(LinkTest, FirmwarePathReachesTheLibraryInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "the cases are those of code page 1252, this system uses " << ::GetACP();
    }
    struct Case {
        const char* what;
        QString folder;
        QByteArray received; // empty: the overflow error
    };
    const Case cases[] = {
        {"the folder of the example", "C:\\Tools\\Board", "C:\\Tools\\Board\\QD1600.hex"},
        {"u with diaeresis, byte FC", QString::fromUtf8("C:\\J\xC3\xBCrgen"),
         "C:\\J\xFCrgen\\QD1600.hex"},
        {"a Greek letter the code page lacks", QString::fromUtf8("C:\\\xCE\xA9"), ""},
        {"A with macron, which best fit would make A", QString::fromUtf8("C:\\\xC4\x80"), ""},
    };
    for (const auto& c : cases) {
        for (const auto& v : variants()) {
            const std::string what = std::string(c.what) + ", " + v.name;
            fake::reset();
            auto binding = v.make();
            UsbStuff stuff;
            try {
                ASSERT_TRUE(stuff.StartBoard(*binding, c.folder)) << what;
                EXPECT_FALSE(c.received.isEmpty()) << what << ": no overflow error";
                ASSERT_FALSE(fake::calls().empty()) << what;
                EXPECT_EQ(QByteArray::fromStdString(fake::calls().back().path), c.received) << what;
            } catch (const qd::control::RuntimeError& e) {
                EXPECT_TRUE(c.received.isEmpty()) << what << ": " << e.what();
                EXPECT_EQ(e.number(), 6) << what;
                EXPECT_TRUE(fake::calls().empty()) << what << ": the library was called";
            }
        }
    }
}
