// SIGINT and SIGTERM reach the main thread as a quit request.

#include <gtest/gtest.h>

#include <csignal>

#include "App/QuitSignals.h"
#include "AppFixture.h"

namespace {

TEST(QuitSignals, ReachTheMainThread) {
    vintrelle::QuitSignals quit;
    ASSERT_TRUE(quit.installed());
    std::vector<int> received;
    QObject::connect(&quit, &vintrelle::QuitSignals::received, [&](int s) { received.push_back(s); });
    std::raise(SIGTERM);
    std::raise(SIGINT);
    EXPECT_TRUE(apptest::spinUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
}

}  // namespace
