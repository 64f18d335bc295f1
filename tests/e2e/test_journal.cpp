// Under systemd the program's lines carry the journal's priority prefix on
// the stream JOURNAL_STREAM names, and only there.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

namespace {

// Runs the bridge on a configuration file that does not exist, with
// JOURNAL_STREAM naming the pipe behind descriptor `fd` of the child.
std::pair<std::string, std::string> runUnderJournal(int fd)
{
    TempDir dir;
    const std::string script = "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/" +
                               std::to_string(fd) + "); exec \"$0\" \"$@\"";
    ChildProcess child("/bin/sh", {"-c", script, SN_BRIDGE_BINARY, "-f", "absent.xml"},
                       dir.path());
    EXPECT_EQ(1, child.waitForExit(20s).value_or(-1));
    return {child.out(), child.err()};
}

void expectEveryLineStartsWith(const std::string& text, const std::string& prefix)
{
    ASSERT_FALSE(text.empty());
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        EXPECT_EQ(0u, text.compare(start, prefix.size(), prefix))
            << text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
    }
}

}  // namespace

TEST(Journal, ErrorsCarryPriorityThreeOnTheJournalStreamOnly)
{
    const auto [out, err] = runUnderJournal(2);
    expectEveryLineStartsWith(err, "<3>");
    // The messages written without a newline continue the line they are on.
    EXPECT_EQ("<3>SN>ERROR>absent.xml: cannot open file\n"
              "<3>Unable to read the configuration fileSN>ERROR>Unable to read the configuration!"
              "SN>ERROR>Unable to initialize the Sentrel interface module. Leaving now!\n",
              err);
    EXPECT_EQ("SN>Reading configuration file: absent.xml\n", out);
}

TEST(Journal, InformationCarriesPrioritySixAndErrorsStayPlainElsewhere)
{
    const auto [out, err] = runUnderJournal(1);
    EXPECT_EQ("<6>SN>Reading configuration file: absent.xml\n", out);
    EXPECT_EQ(0u, err.rfind("SN>ERROR>", 0)) << err;
    EXPECT_EQ(std::string::npos, err.find("<3>")) << err;
}
