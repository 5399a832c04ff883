#include <gtest/gtest.h>

#include <QApplication>

#include <clocale>

#include "Core/Media/MediaProcessor.h"
#include "UI/Kit/Theme.h"

#include "Core/Base/Processors.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    vintrelle::MediaProcessor::initialize();
    vintrelle::Theme::install(app);
    testing::InitGoogleTest(&argc, argv);
    // These tests wait for whole passes of the engine, faces included, to
    // end: work that gives way to every other thread may not run at all on
    // a machine busy with other tests and builds (the giving way itself is
    // the core tests' to check).
    vintrelle::setBackgroundThreadsGiveWay(false);
    return RUN_ALL_TESTS();
}
