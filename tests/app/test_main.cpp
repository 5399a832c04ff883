#include <gtest/gtest.h>

#include <QApplication>

#include <clocale>
#include <cstdlib>

#include "fixtures/Patience.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    // These tests wait for whole passes of the engine, faces included (the
    // giving way itself is the core tests' to check).
    fixtures::OrdinaryBackgroundThreads ordinary;
    return RUN_ALL_TESTS();
}
