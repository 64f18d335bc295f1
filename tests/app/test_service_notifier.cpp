// systemd's notifications: the datagrams on a stand-in notification socket,
// and the watchdog's rule (fed only while every loop moves), with the
// bridge's progress stood in for by the test.
#include "ServiceNotifier.h"

#include "NotifyListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::NotifyListener;

namespace {

ServiceProgress progressOf(unsigned long long bridge, unsigned long mainLoop, bool streamingThread,
                           unsigned long streaming)
{
    return ServiceProgress{bridge, mainLoop, streamingThread, streaming};
}

// The loops the notifier watches, moved (or held) by the test.
struct Loops {
    std::atomic<bool> bridgePublished{true};
    std::atomic<unsigned long long> bridge{1};
    std::atomic<unsigned long> mainLoop{0};
    std::atomic<bool> streamingThread{true};
    std::atomic<unsigned long> streaming{0};
    std::atomic<bool> holdMain{false};
    std::atomic<bool> holdStreaming{false};

    ServiceNotifier::ProgressSource source()
    {
        return [this]() -> std::optional<ServiceProgress> {
            if (!bridgePublished)
                return std::nullopt;
            // Each look finds the loops one step further unless held.
            if (!holdMain)
                ++mainLoop;
            if (!holdStreaming)
                ++streaming;
            return progressOf(bridge, mainLoop, streamingThread, streaming);
        };
    }
};

}  // namespace

TEST(ServiceProgressRule, EveryLoopMustMoveAndANewBridgeCounts)
{
    const auto base = progressOf(1, 5, true, 100);
    EXPECT_TRUE(madeProgress(std::nullopt, base));                      // the first look
    EXPECT_FALSE(madeProgress(base, std::nullopt));                     // between two bridges
    EXPECT_TRUE(madeProgress(base, progressOf(1, 6, true, 101)));
    EXPECT_FALSE(madeProgress(base, progressOf(1, 6, true, 100)));      // streaming held
    EXPECT_FALSE(madeProgress(base, progressOf(1, 5, true, 101)));      // main loop held
    EXPECT_TRUE(madeProgress(progressOf(1, 5, false, 0), progressOf(1, 6, false, 0)));  // no streaming thread yet
    EXPECT_TRUE(madeProgress(progressOf(1, 5, false, 0), progressOf(1, 6, true, 0)));   // it just started
    EXPECT_TRUE(madeProgress(base, progressOf(2, 0, false, 0)));        // a rebuilt bridge
}

TEST(NotifySocket, SendsToAPathAndToAnAbstractName)
{
    NotifyListener listener;
    NotifySocket toPath(listener.path());
    ASSERT_TRUE(toPath.active());
    EXPECT_TRUE(toPath.send("READY=1"));
    EXPECT_TRUE(listener.waitFor("READY=1", 5s));

    const std::string name = "@sn-notify-test-" + std::to_string(::getpid());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::memcpy(at.sun_path + 1, name.data() + 1, name.size() - 1);
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<const sockaddr*>(&at),
                        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())));
    NotifySocket toAbstract(name);
    EXPECT_TRUE(toAbstract.send("STATUS=abstract"));
    char buffer[64] = {};
    EXPECT_EQ(15, ::recv(fd, buffer, sizeof buffer, 0));
    EXPECT_STREQ("STATUS=abstract", buffer);
    ::close(fd);

    // Not under systemd, or a name no socket has: nothing is sent, nothing waits.
    EXPECT_FALSE(NotifySocket("").active());
    EXPECT_FALSE(NotifySocket("relative/name").active());
    NotifySocket nobody(listener.path() + ".absent");
    EXPECT_FALSE(nobody.send("READY=1"));
    EXPECT_EQ(1u, nobody.dropped());
}

TEST(NotifySocket, AFullSocketDropsInsteadOfWaiting)
{
    NotifyListener listener;  // never read in this test until the end
    NotifySocket socket(listener.path());
    const std::string big(16 * 1024, 'x');
    bool dropped = false;
    for (int i = 0; i < 10000 && !dropped; ++i)
        dropped = !socket.send("STATUS=" + big);
    EXPECT_TRUE(dropped);
    EXPECT_GE(socket.dropped(), 1u);
}

TEST(ServiceNotifierSettings, ReadsTheEnvironmentAndIgnoresAnotherProcessWatchdog)
{
    ::setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
    ::setenv("WATCHDOG_USEC", "30000000", 1);
    ::unsetenv("WATCHDOG_PID");
    auto s = ServiceNotifier::fromEnvironment();
    EXPECT_EQ("/run/systemd/notify", s.socketAddress);
    EXPECT_EQ(std::chrono::microseconds(30000000), s.watchdog);

    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    EXPECT_EQ(std::chrono::microseconds(30000000), ServiceNotifier::fromEnvironment().watchdog);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
    EXPECT_EQ(0, ServiceNotifier::fromEnvironment().watchdog.count());
    ::unsetenv("WATCHDOG_PID");
    for (const char* bad : {"abc", "-5", "0", "12x", ""}) {
        ::setenv("WATCHDOG_USEC", bad, 1);
        EXPECT_EQ(0, ServiceNotifier::fromEnvironment().watchdog.count()) << bad;
    }
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    EXPECT_TRUE(ServiceNotifier::fromEnvironment().socketAddress.empty());
}

// While the start waits: EXTEND_TIMEOUT_USEC with WATCHDOG=1 as long as the
// loops move; then READY=1 once, STATUS= lines, and WATCHDOG=1 only while
// both the main loop and the streaming thread move, or a new bridge comes.
TEST(ServiceNotifier, FeedsTheWatchdogOnlyWhileEveryLoopMoves)
{
    NotifyListener listener;
    Loops loops;
    ServiceNotifier notifier({listener.path(), std::chrono::microseconds(200000)}, loops.source());
    ASSERT_TRUE(notifier.active());

    EXPECT_TRUE(listener.waitFor("EXTEND_TIMEOUT_USEC=200000\nWATCHDOG=1", 5s));
    EXPECT_EQ(listener.indexOf("READY=1"), NotifyListener::npos);

    notifier.ready();
    notifier.ready();
    notifier.status("SN>Status: unit connected to 127.0.0.1;\nsecond line");
    ASSERT_TRUE(listener.waitFor("READY=1", 5s));
    const std::size_t ready = listener.indexOf("READY=1");
    EXPECT_TRUE(listener.waitFor("STATUS=SN>Status: unit connected to 127.0.0.1; second line", 5s));
    EXPECT_TRUE(listener.waitFor("WATCHDOG=1", 5s, ready));
    EXPECT_EQ(listener.indexOf("READY=1", ready + 1), NotifyListener::npos);  // once only
    EXPECT_EQ(listener.indexOf("EXTEND_TIMEOUT_USEC=", ready), NotifyListener::npos);

    // The streaming thread held: after at most one feed already decided, none.
    const auto silentAfter = [&](std::atomic<bool>& hold) {
        hold = true;
        std::this_thread::sleep_for(250ms);  // a look that began before the hold
        const std::size_t from = listener.messages().size();
        std::this_thread::sleep_for(600ms);  // three watchdog looks
        const bool silent = listener.indexOf("WATCHDOG=1", from) == NotifyListener::npos;
        hold = false;
        return silent;
    };
    EXPECT_TRUE(silentAfter(loops.holdStreaming));
    std::size_t from = listener.messages().size();
    EXPECT_TRUE(listener.waitFor("WATCHDOG=1", 5s, from));

    // The main loop held likewise.
    EXPECT_TRUE(silentAfter(loops.holdMain));
    from = listener.messages().size();
    EXPECT_TRUE(listener.waitFor("WATCHDOG=1", 5s, from));

    // Between two bridges nothing moves; the next bridge feeds it again.
    loops.bridgePublished = false;
    std::this_thread::sleep_for(250ms);
    from = listener.messages().size();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(listener.indexOf("WATCHDOG=1", from), NotifyListener::npos);
    loops.bridge = 2;
    loops.streamingThread = false;
    loops.bridgePublished = true;
    EXPECT_TRUE(listener.waitFor("WATCHDOG=1", 5s, from));

    notifier.stopping();
    EXPECT_TRUE(listener.waitFor("STOPPING=1", 5s));
}

// Without a watchdog the start is still extended while it moves (every 15 s);
// after READY=1 nothing is sent but what the program says.
TEST(ServiceNotifier, WithoutAWatchdogSendsNoWatchdogFeeds)
{
    NotifyListener listener;
    Loops loops;
    ServiceNotifier notifier({listener.path(), std::chrono::microseconds(0)}, loops.source());
    notifier.ready();
    ASSERT_TRUE(listener.waitFor("READY=1", 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(1u, listener.messages().size());
}
