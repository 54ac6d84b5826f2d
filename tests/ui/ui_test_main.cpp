#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "program/shell.h"

int main(int argc, char** argv) {
    // No display is needed; listing the tests must work without one too.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    lumigrab::ui::PrepareApplication(app);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
