// The stop path on its own, in death-test children: a stop signal whose main
// thread never winds down is ended by the stop thread after the bound, and
// every end runs the closing step once with its reason.
#include "Log.h"
#include "StopSignals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

[[noreturn]] void stopWhoseMainNeverEnds()
{
    StopSignals stops(50ms);
    stops.whenStopped([] { snlog::err() << "asked to stop"; });
    stops.closeWith([](const std::string& reason) { snlog::err() << "closing: " << reason; });
    ::kill(::getpid(), SIGTERM);  // to the process: the stop thread takes it
    for (;;)
        std::this_thread::sleep_for(10ms);  // a main thread stuck elsewhere
}

[[noreturn]] void orderlyEnd()
{
    StopSignals stops(50ms);
    stops.closeWith([](const std::string& reason) { snlog::err() << "closing: " << reason; });
    stops.end(3);
}

TEST(StopSignals, AStopTheMainThreadDoesNotFinishEndsAfterTheBound)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(stopWhoseMainNeverEnds(), testing::ExitedWithCode(0),
                "^asked to stop\nSN>ERROR>The stop took longer than 50 ms; ending now.\nclosing: SIGTERM\n$");
}

TEST(StopSignals, AnOrderlyEndClosesWithExitAndKeepsItsStatus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(orderlyEnd(), testing::ExitedWithCode(3), "^closing: exit\n$");
}

} // namespace
