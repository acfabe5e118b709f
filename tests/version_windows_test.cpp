// The About window's version comes from the program's own version resource,
// as Explorer shows it: this test program carries 9.8.7 there and tells Qt
// another version.

#include "ui/ProgramVersion.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

TEST(ProgramVersion, ComesFromTheVersionResource) {
    EXPECT_EQ(qd::ui::programVersion(), QVersionNumber(9, 8, 7));
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion("1.2.3");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
