#include <QCoreApplication>

#include <gtest/gtest.h>

// Awaiting the server's tasks runs a Qt event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
