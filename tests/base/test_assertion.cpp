#include "AssertionFailureException.h"

#include <gtest/gtest.h>

namespace {

TEST(AssertionFailure, ReportForms)
{
    AssertionFailureException plain("x > 0", "a", 7, "");
    EXPECT_STREQ(plain.what(), "Assertion 'x > 0' failed in file 'a:7'");

    AssertionFailureException unreachable("0", "a", 7, "m");
    EXPECT_STREQ(unreachable.what(), "m: Unreachable code assertion failed in file 'a:7'");

    for (const char* expr : {"false", "FALSE"}) {
        AssertionFailureException e(expr, "f.cpp", 121, "We've got a problem, you reached here.");
        EXPECT_EQ(e.report,
                  "We've got a problem, you reached here.: Unreachable code assertion failed in file 'f.cpp:121'");
    }
    // Only the exact words count as unreachable markers.
    AssertionFailureException notMarker("false && x", "a", 1, "");
    EXPECT_EQ(notMarker.report, "Assertion 'false && x' failed in file 'a:1'");
}

TEST(AssertionFailure, LogsItselfWhenBuilt)
{
    testing::internal::CaptureStderr();
    AssertionFailureException e("x", "b", 3, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Assertion 'x' failed in file 'b:3'\n");
}

TEST(AssertionFailure, MacroThrowsWithLocationAndStreamedMessage)
{
    const int count = -2;
    testing::internal::CaptureStderr();
    try {
        SN_ASSERT(count > 0, "count " << count);
        FAIL() << "no throw";
    } catch (const AssertionFailureException& e) {
        EXPECT_STREQ(e.expression, "count > 0");
        EXPECT_EQ(e.message, "count -2");
        EXPECT_EQ(e.line, __LINE__ - 5);
        EXPECT_NE(std::string(e.file).find("test_assertion.cpp"), std::string::npos);
    }
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("count -2: Assertion 'count > 0' failed"), std::string::npos);

    // A true condition neither throws nor evaluates the message.
    int evaluated = 0;
    auto touch = [&] { ++evaluated; return 1; };
    EXPECT_NO_THROW(SN_ASSERT(count < 0, touch()));
    EXPECT_EQ(evaluated, 0);
}

} // namespace
