#include "CrashHandler.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

void crashWith(int sig)
{
    installCrashHandler();
    std::raise(sig);
}

// Death tests run in a child: the handler writes symbolised frames
// ("binary(symbol+0x..)[0x..]") to fd 2 and ends it with status 1.
TEST(CrashHandler, SegvAndAbortEndWithBacktraceAndStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(crashWith(SIGSEGV), testing::ExitedWithCode(1), "\\[0x[0-9a-f]+\\]");
    EXPECT_EXIT(crashWith(SIGABRT), testing::ExitedWithCode(1), "\\[0x[0-9a-f]+\\]");
}

TEST(CrashHandler, BacktraceHasAtMostTenFrames)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Eleven "[0x" markers would mean more than ten frames.
    EXPECT_EXIT(crashWith(SIGSEGV), testing::ExitedWithCode(1),
                "^([^[]*\\[0x[0-9a-f]+\\][^[]*){1,10}$");
}

} // namespace
