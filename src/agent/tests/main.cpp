#include <QCoreApplication>

#include <gtest/gtest.h>

// The Agent resumes its credential load through the event loop, and the loopback server hands
// requests to the main thread: every test runs with a QCoreApplication.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
