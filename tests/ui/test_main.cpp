#include <gtest/gtest.h>

#include <QApplication>

#include <clocale>

#include "Core/Media/MediaProcessor.h"
#include "UI/Kit/Theme.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    vintrelle::MediaProcessor::initialize();
    vintrelle::Theme::install(app);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
