#include <QGuiApplication>

#include <gtest/gtest.h>

// Sockets need an event loop and painted captures need fonts: one GUI application for all tests.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
