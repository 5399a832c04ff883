#include <gtest/gtest.h>

#include <QApplication>

#include <clocale>

#include "Core/Media/MediaProcessor.h"
#include "UI/Kit/Theme.h"

#include "fixtures/Patience.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    vintrelle::MediaProcessor::initialize();
    vintrelle::Theme::install(app);
    testing::InitGoogleTest(&argc, argv);
    // These tests wait for whole passes of the engine, faces included (the
    // giving way itself is the core tests' to check).
    fixtures::OrdinaryBackgroundThreads ordinary;
    return RUN_ALL_TESTS();
}
