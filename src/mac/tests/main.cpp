#include <QCoreApplication>

#include <gtest/gtest.h>

// The session lock announces changes through the Qt event loop, so every test runs with a
// QCoreApplication.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
