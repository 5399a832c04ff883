#include <gtest/gtest.h>

#include <QGuiApplication>

#include <clocale>
#include <cstdlib>

#include "Core/Base/Processors.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
    QGuiApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    // These tests wait for whole passes of the engine, faces included, to
    // end: work that gives way to every other thread may not run at all on
    // a machine busy with other tests and builds (the giving way itself is
    // the core tests' to check).
    vintrelle::setBackgroundThreadsGiveWay(false);
    return RUN_ALL_TESTS();
}
