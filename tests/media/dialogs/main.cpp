// The dialog tests run inside one offscreen Qt application with pellorin's application object.
#include "app/ImagingToolApp.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    pellorin::CImagingToolApp app;
    return RUN_ALL_TESTS();
}
