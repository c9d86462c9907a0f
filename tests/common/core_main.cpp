// Test main for the worker tests: a QCoreApplication (the adb start's process
// and the settings store want one) without a GUI platform.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
