#include <gtest/gtest.h>

#include "Core/Media/MediaProcessor.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vintrelle::MediaProcessor::initialize();
    return RUN_ALL_TESTS();
}
