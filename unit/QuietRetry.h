#pragma once

#include <chrono>
#include <string>

// How an endless connection retry reports itself. The first passes print
// every line; after them a refusing unit would flood the log (some 220 lines
// a second), so only one pass per report period prints its own lines (the
// address it tried and its failure), followed by one summary line of the
// attempts that failed since the last report and the last error. A quiet
// pass that connects prints all its lines, as a loud one does, after the
// summary of the quiet attempts before it.
class QuietRetry {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kLoudPasses = 10;

    explicit QuietRetry(Clock::duration reportPeriod) : period(reportPeriod) {}

    // Whether the pass about to start prints its lines as they come (one of
    // the first passes); a quiet pass holds them.
    bool printsPass(Clock::time_point now)
    {
        ++pass;
        reporting = pass > kLoudPasses && now - lastReport >= period;
        return pass <= kLoudPasses;
    }

    // The pass ended without a connection after `attempts` failed attempts,
    // the last with `error`. Returns the summary line to print after the
    // pass's own lines, or "" when this pass makes no report.
    std::string passFailed(unsigned attempts, const std::string& error, Clock::time_point now)
    {
        if (pass <= kLoudPasses) {
            if (pass == kLoudPasses)
                lastReport = now;  // the quiet periods start here
            return std::string();
        }
        failed += attempts;
        if (!reporting)
            return std::string();
        lastReport = now;
        return summary(error);
    }

    // A quiet pass connected: the summary of the attempts that failed since
    // the last report, to print before that pass's lines ("" when none did).
    std::string passConnected(const std::string& error)
    {
        return failed == 0 ? std::string() : summary(error);
    }

private:
    std::string summary(const std::string& error)
    {
        const std::string line = "SN>Unit still unreachable: " + std::to_string(failed) +
                                 " attempts failed since the last report; last error: " + error;
        failed = 0;
        return line;
    }

    Clock::duration period;
    unsigned long pass = 0;
    unsigned long failed = 0;  // attempts of the quiet passes since the last report
    bool reporting = false;    // the current pass is a report pass
    Clock::time_point lastReport;
};
