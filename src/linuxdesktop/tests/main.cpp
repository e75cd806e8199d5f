#include <QCoreApplication>

#include <gtest/gtest.h>

// D-Bus replies, signals and the sound server's answers reach the ports through the Qt event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
