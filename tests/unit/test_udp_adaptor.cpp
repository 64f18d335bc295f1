// The datagram side channel on loopback: the adaptor binds 127.0.7.x and a
// raw peer (or the emulated unit) stands in for the unit on the next address.
#include "UdpAdaptor.h"
#include "SentrelEmulator.h"
#include "SentrelTestSupport.h"

#include <boost/system/system_error.hpp>

#include <dirent.h>

using namespace std::chrono_literals;
using sntest::RawDatagramPeer;
using Clock = std::chrono::steady_clock;

namespace {

// The adaptor on `local`, the unit's stand-in on `unit`, both on port 14997.
struct Channel {
    Channel(const std::string& local, const std::string& unitAddress)
        : unit(unitAddress, UdpAdaptor::kPort), adaptor(io, unitAddress, local), local(local)
    {
    }
    // The adaptor sends; the peer gets it and answers with each text in turn.
    void exchange(const std::string& request, const std::vector<std::string>& answers)
    {
        std::string text = request;
        boost::system::error_code ec;
        adaptor.sendCommand(text, ec, 0);
        ASSERT_FALSE(ec) << ec.message();
        ASSERT_EQ(unit.receive(2000ms), request);
        for (const auto& a : answers)
            unit.sendTo(a, local);
    }
    boost::asio::io_context io;
    RawDatagramPeer unit;
    UdpAdaptor adaptor;
    std::string local;
};

int threadCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

}  // namespace

TEST(UdpAdaptor, GathersAnAnswerAcrossDatagramsAndLogsInDebugMode)
{
    Channel c("127.0.7.1", "127.0.7.2");
    c.adaptor.enableDebugMode();
    c.adaptor.start_receive();
    testing::internal::CaptureStdout();
    c.exchange("hello@", {"ab", "c@"});
    std::string sender, response;
    ASSERT_TRUE(c.adaptor.waitConnection(sender, response));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(response, "abc@");
    EXPECT_EQ(sender, "127.0.7.2");
    EXPECT_NE(out.find("SN>Sending: hello@\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SN>Received: abc@\n"), std::string::npos) << out;

    c.exchange("again@", {"r@"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.adaptor.waitResponse(), "r@");
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SN>Response: r@\n"), std::string::npos) << out;
    c.adaptor.stop_receive();
}

TEST(UdpAdaptor, DropsTextAfterTheAtSignAndKeepsOnlyTheLatestAnswer)
{
    Channel c("127.0.7.3", "127.0.7.4");
    c.adaptor.start_receive();
    c.exchange("q@", {"x@y"});
    EXPECT_EQ(c.adaptor.waitResponse(), "x@");
    // The y was dropped: it does not start the next answer.
    c.exchange("q@", {"z@"});
    EXPECT_EQ(c.adaptor.waitResponse(), "z@");

    // Two answers before anybody waits leave the second.
    c.exchange("q@", {"first@", "second@"});
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(c.adaptor.waitResponse(), "second@");
    EXPECT_EQ(c.adaptor.waitResponse(), "");
}

TEST(UdpAdaptor, AnAnswerBeforeTheSendIsDiscarded)
{
    Channel c("127.0.7.5", "127.0.7.6");
    c.adaptor.start_receive();
    c.unit.sendTo("early@", "127.0.7.5");
    std::this_thread::sleep_for(200ms);
    c.exchange("q@", {});
    EXPECT_EQ(c.adaptor.waitResponse(), "");
    c.unit.sendTo("late@", "127.0.7.5");
    std::string sender, response = "untouched";
    ASSERT_TRUE(c.adaptor.waitConnection(sender, response));
    EXPECT_EQ(response, "late@");
}

TEST(UdpAdaptor, WaitsEndWithinTheirBounds)
{
    Channel c("127.0.7.7", "127.0.7.8");
    c.adaptor.start_receive();
    std::string sender = "s", response = "r";
    auto t0 = Clock::now();
    EXPECT_FALSE(c.adaptor.waitConnection(sender, response));
    auto waited = Clock::now() - t0;
    EXPECT_GE(waited, 550ms);
    EXPECT_LT(waited, 5s);
    EXPECT_EQ(sender, "s");
    EXPECT_EQ(response, "r");

    t0 = Clock::now();
    EXPECT_EQ(c.adaptor.waitResponse(), "");
    waited = Clock::now() - t0;
    EXPECT_GE(waited, 280ms);
    EXPECT_LT(waited, 5s);
}

TEST(UdpAdaptor, StopAndStartAreSafeToRepeat)
{
    boost::asio::io_context io;
    {
        // Never started: stop does nothing and the socket stays usable.
        RawDatagramPeer unit("127.0.7.10", UdpAdaptor::kPort);
        UdpAdaptor a(io, "127.0.7.10", "127.0.7.9");
        a.stop_receive();
        const int before = threadCount();
        a.start_receive();
        EXPECT_EQ(threadCount(), before + 1);
        a.start_receive();  // no second thread
        EXPECT_EQ(threadCount(), before + 1);
        std::string text = "ping@";
        boost::system::error_code ec;
        a.sendCommand(text, ec, 0);
        EXPECT_EQ(unit.receive(2000ms), "ping@");
        unit.sendTo("pong@", "127.0.7.9");
        EXPECT_EQ(a.waitResponse(), "pong@");
        a.stop_receive();
        EXPECT_EQ(threadCount(), before);
        a.stop_receive();  // closes once, raises nothing
        a.start_receive(); // a stopped adaptor is not restarted
        EXPECT_EQ(threadCount(), before);
    }
    {
        // An empty host names our own socket: the stop text wakes the
        // receive thread at once and is stored as an ordinary answer.
        UdpAdaptor self(io, "", "127.0.7.11");
        self.start_receive();
        std::this_thread::sleep_for(100ms);  // let the thread reach its receive
        auto t0 = Clock::now();
        self.stop_receive();
        EXPECT_LT(Clock::now() - t0, 2s);
        EXPECT_EQ(self.waitResponse(), "[STOPME]@");
    }
}

TEST(UdpAdaptor, BoundsAnAnswerThatNeverEnds)
{
    Channel c("127.0.7.12", "127.0.7.13");
    c.adaptor.start_receive();
    c.exchange("q@", {});
    testing::internal::CaptureStderr();
    const std::string chunk(UdpAdaptor::kReceiveBufferSize, 'a');
    const std::size_t datagrams = UdpAdaptor::kMaxAnswerBytes / chunk.size() + 8;
    for (std::size_t i = 0; i < datagrams; ++i) {
        c.unit.sendTo(chunk, "127.0.7.12");
        if (i % 4 == 3)
            std::this_thread::sleep_for(1ms);  // stay within the receive buffer
    }
    c.unit.sendTo("ok@", "127.0.7.12");
    std::string response;
    for (int i = 0; i < 20 && response.empty(); ++i)
        response = c.adaptor.waitResponse();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(response.size(), UdpAdaptor::kMaxAnswerBytes);
    EXPECT_EQ(response.substr(response.size() - 3), "ok@");
    EXPECT_NE(err.find("without '@' dropped"), std::string::npos) << err;
}

TEST(UdpAdaptor, ConstructionErrorsNameTheirStep)
{
    boost::asio::io_context io;
    try {
        UdpAdaptor a(io, "127.0.7.15", "not-an-address");
        FAIL() << "no error";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("bind", 0), 0u) << e.what();
    }
}

TEST(UdpAdaptor, TheEmulatedUnitAnswersDatagrams)
{
    SentrelEmulator::Options o;
    o.address = "127.0.7.17";
    o.serial = "SN-7";
    SentrelEmulator unit(o);
    unit.start();
    boost::asio::io_context io;
    UdpAdaptor a(io, "127.0.7.17", "127.0.7.16");
    a.start_receive();
    std::string text = "IDENTIFY@";
    boost::system::error_code ec;
    a.sendCommand(text, ec, 0);
    std::string sender, response;
    ASSERT_TRUE(a.waitConnection(sender, response));
    EXPECT_EQ(response, "SENTREL SN-7@");
    EXPECT_EQ(sender, "127.0.7.17");
    a.stop_receive();
    // The unit got the stop text too, and ignores it.
    ASSERT_TRUE(unit.waitForDatagramCount(2, 2s));
    EXPECT_EQ(unit.lastDatagram(), "[STOPME]@");
}
