// The endless connection retry goes quiet after its first passes: the
// reporting rule on its own with made-up times, then the adaptor against a
// loopback address where nothing listens (127.0.11.20) until a unit appears.
#include "AdaptorTestSupport.h"
#include "Log.h"
#include "QuietRetry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

TEST(QuietRetryRule, TenLoudPassesThenOneReportPerPeriod)
{
    QuietRetry quiet(60s);
    const Clock::time_point t0 = Clock::now();
    for (unsigned pass = 1; pass <= QuietRetry::kLoudPasses; ++pass) {
        EXPECT_TRUE(quiet.printsPass(t0)) << pass;
        EXPECT_EQ(quiet.passFailed(10, "Connection refused", t0), "") << pass;
    }
    // A minute of quiet passes, then the first report.
    EXPECT_FALSE(quiet.printsPass(t0 + 1s));
    EXPECT_EQ(quiet.passFailed(10, "Connection refused", t0 + 1s), "");
    EXPECT_FALSE(quiet.printsPass(t0 + 59s));
    EXPECT_EQ(quiet.passFailed(10, "Connection timed out", t0 + 59s), "");
    EXPECT_FALSE(quiet.printsPass(t0 + 60s));  // a report pass holds its lines too
    EXPECT_EQ(quiet.passFailed(10, "Connection refused", t0 + 60s),
              "SN>Unit still unreachable: 30 attempts failed since the last report; last error: Connection refused");
    // The next period counts afresh from the report.
    EXPECT_FALSE(quiet.printsPass(t0 + 61s));
    EXPECT_EQ(quiet.passFailed(7, "No route to host", t0 + 61s), "");
    EXPECT_FALSE(quiet.printsPass(t0 + 125s));
    EXPECT_EQ(quiet.passFailed(10, "No route to host", t0 + 125s),
              "SN>Unit still unreachable: 17 attempts failed since the last report; last error: No route to host");
    EXPECT_FALSE(quiet.printsPass(t0 + 126s));
}

TEST(QuietRetryRule, AQuietPassThatConnectsFirstSumsUpTheAttemptsSinceTheLastReport)
{
    QuietRetry quiet(60s);
    const Clock::time_point t0 = Clock::now();
    for (unsigned pass = 1; pass <= QuietRetry::kLoudPasses; ++pass) {
        quiet.printsPass(t0);
        quiet.passFailed(10, "Connection refused", t0);
    }
    EXPECT_FALSE(quiet.printsPass(t0 + 1s));
    EXPECT_EQ(quiet.passFailed(10, "Connection refused", t0 + 1s), "");
    EXPECT_FALSE(quiet.printsPass(t0 + 2s));
    EXPECT_EQ(quiet.passConnected("Connection refused"),
              "SN>Unit still unreachable: 10 attempts failed since the last report; last error: Connection refused");
    // Counted once: nothing is left for a later summary.
    EXPECT_EQ(quiet.passConnected("Connection refused"), "");
}

// The output cut at each summary line: segment 0 runs up to the first one.
std::vector<std::string> segments(const std::string& out, const std::string& marker)
{
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at = out.find(marker); at != std::string::npos; at = out.find(marker, from)) {
        const std::size_t end = out.find('\n', at);
        parts.push_back(out.substr(from, at - from));
        from = end + 1;
    }
    parts.push_back(out.substr(from));
    return parts;
}

TEST(QuietRetryAdaptor, ARefusingAddressGetsAPassOwnLinesAndOneSummaryPerPeriodThenTheReconnectionPrints)
{
    const std::string address = "127.0.11.20";
    const std::string fixed = "Fixed IP configured: " + address + "\n";
    const std::string connecting = "Connecting to " + address + ":14997...\n";
    const std::string refused = "SentrelAdaptor::connectIP: Error occured! Error code = system:111. "
                                "Message: Connection refused\n";
    const std::string failed = "SN>Failed to find or could not connect to Sentrel on IP " + address + "\n";
    const std::string summary = "SN>Unit still unreachable: ";

    testsupport::TempWorkingDirectory dir;
    Timing timing = quickTiming();
    timing.retryPause = 2ms;
    timing.quietRetryReport = 200ms;
    SentrelAdaptor adaptor(timing);
    std::string out;
    Clock::duration quietSpan{};
    {
        snlog::Capture tap;  // its lines can be read while they arrive
        bool connected = false;
        Clock::time_point quietFrom{};
        std::thread start([&] { connected = adaptor.initialize("", address, "", "", true); });
        // The tenth pass ends the loud ones; then wait for three reports.
        const bool loudDone = testsupport::eventually([&] { return countOf(tap.out(), failed) >= 10; }, 10s);
        quietFrom = Clock::now();
        const bool reported = testsupport::eventually([&] { return countOf(tap.out(), summary) >= 3; }, 10s);
        // Half a report period of quiet passes, whose attempts the
        // connecting pass must not lose.
        std::this_thread::sleep_for(timing.quietRetryReport / 2);
        ScriptedUnitPeer unit(address);
        start.join();
        quietSpan = Clock::now() - quietFrom;
        out = tap.out();
        ASSERT_TRUE(loudDone) << out;
        ASSERT_TRUE(reported) << out;
        EXPECT_TRUE(connected);
        EXPECT_TRUE(unit.waitForConnections(1));
    }

    const std::vector<std::string> parts = segments(out, summary);
    ASSERT_GE(parts.size(), 5u) << out;
    // Reports come no oftener than one per period (counted from the end of
    // the loud passes, with one for the period under way), and one more sums
    // up the quiet attempts before the connecting pass.
    EXPECT_LE(parts.size() - 1, static_cast<std::size_t>(quietSpan / timing.quietRetryReport) + 2) << out;
    // The first 10 passes print every line, then the first report pass its
    // own two: the address it tried and its failure, none of its attempts.
    EXPECT_EQ(countOf(parts[0], fixed), 11u);
    EXPECT_EQ(countOf(parts[0], connecting), 100u);
    EXPECT_EQ(countOf(parts[0], refused), 100u);
    EXPECT_EQ(countOf(parts[0], failed), 11u);
    EXPECT_THAT(parts[0], testing::EndsWith(refused + failed + fixed + failed));
    // Between two reports: one pass's own two lines; the last summary comes
    // right before the connecting pass's lines.
    for (std::size_t i = 1; i + 2 < parts.size(); ++i)
        EXPECT_EQ(parts[i], fixed + failed) << i;
    EXPECT_EQ(parts[parts.size() - 2], "");
    // Each summary counts the quiet passes' attempts and names the last error.
    const std::regex line("SN>Unit still unreachable: (\\d+) attempts failed since the last report; "
                          "last error: Connection refused\n");
    std::size_t silenced = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        const unsigned long n = std::stoul((*it)[1]);
        EXPECT_EQ(n % 10, 0u) << n;
        silenced += n > 10 ? 1 : 0;
    }
    EXPECT_EQ(countOf(out, summary), parts.size() - 1);
    EXPECT_GE(silenced, 1u) << "no pass was left unprinted";
    // The reconnection prints as today: its pass's lines, ending in Connected.
    const std::string& last = parts.back();
    EXPECT_EQ(countOf(last, fixed), 1u) << last;
    EXPECT_EQ(last.rfind(fixed, 0), 0u) << last;
    EXPECT_THAT(last, testing::EndsWith(connecting + "Connected.\n"));
    EXPECT_EQ(countOf(last, failed), 0u);
}

} // namespace
