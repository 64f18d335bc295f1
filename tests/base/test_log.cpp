#include "Log.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

namespace {

// Standard output goes to a file while it lives.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::string& path)
        : saved(::dup(STDOUT_FILENO))
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutToFile()
    {
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }

private:
    int saved;
};

}  // namespace

TEST(Log, LinesFromManyThreadsNeverMix)
{
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/out.txt";
    constexpr int kThreads = 8, kLines = 10000;
    {
        StdoutToFile redirect(path);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                // Some lines longer than one atomic pipe write.
                const std::string body(t % 2 ? 5000 : 20, static_cast<char>('a' + t));
                for (int i = 0; i < kLines; ++i)
                    snlog::out() << "T" << t << " " << i << " " << body << " end";
            });
        for (auto& thread : threads)
            thread.join();
    }
    std::ifstream in(path);
    std::vector<int> next(kThreads, 0);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        int t = -1, i = -1;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "T%d %d ", &t, &i)) << line.substr(0, 80);
        ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 80);
        const std::string body(t % 2 ? 5000 : 20, static_cast<char>('a' + t));
        ASSERT_EQ("T" + std::to_string(t) + " " + std::to_string(i) + " " + body + " end", line);
        ASSERT_EQ(next[t]++, i) << "thread " << t << " lost or reordered a line";
    }
    EXPECT_EQ(kThreads * kLines, count);
}

TEST(Log, ErrorLinesAreErrorsForTheJournalWhateverTheCallSiteSays)
{
    EXPECT_EQ("<3>", snlog::journalPrefix(snlog::Priority::info, "SN>ERROR>bad"));
    EXPECT_EQ("<3>", snlog::journalPrefix(snlog::Priority::info, "SN>ERROR: WIFI configuration failed"));
    EXPECT_EQ("<4>", snlog::journalPrefix(snlog::Priority::warning, "SN>Unit still unreachable"));
    EXPECT_EQ("<6>", snlog::journalPrefix(snlog::Priority::info, "SN>Running..."));
}

TEST(Log, HeldLinesGoOutOnlyWhenReleasedAndOnlyThoseKept)
{
    snlog::Capture capture;
    {
        snlog::ThreadHold hold;
        snlog::out() << "first";
        snlog::err() << "second";
        snlog::out() << "third";
        std::thread other([] { snlog::out() << "other thread"; });
        other.join();
        EXPECT_EQ("other thread\n", capture.out());
        ASSERT_EQ(3u, hold.lines().size());
        hold.release([](std::size_t i, const snlog::Record&) { return i != 1; });
        snlog::out() << "dropped with the hold";
    }
    EXPECT_EQ("other thread\nfirst\nthird\n", capture.out());
    EXPECT_EQ("", capture.err());
}

TEST(Log, AMessageWithoutNewlineIsContinuedByTheNextLine)
{
    snlog::Capture capture;
    snlog::err().withoutNewline() << "SN>ERROR>first\nUnable to read the configuration file";
    snlog::err() << "SN>ERROR>next";
    EXPECT_EQ("SN>ERROR>first\nUnable to read the configuration fileSN>ERROR>next\n", capture.err());
}

TEST(Log, ANestedCaptureTakesTheLinesWhileItLivesThenTheOuterOneAgain)
{
    snlog::Capture outer;
    snlog::out() << "before";
    {
        snlog::Capture inner;
        snlog::out() << "inside";
        EXPECT_EQ("inside\n", inner.out());
    }
    snlog::out() << "after";
    EXPECT_EQ("before\nafter\n", outer.out());
}
