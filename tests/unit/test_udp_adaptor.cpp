// The datagram side channel on loopback: the adaptor binds 127.0.7.x and a
// raw peer (or the emulated unit) stands in for the unit on the next address.
#include "UdpAdaptor.h"
#include "Log.h"
#include "SentrelEmulator.h"
#include "SentrelTestSupport.h"

#include <boost/system/system_error.hpp>

using namespace std::chrono_literals;
using sntest::RawDatagramPeer;

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

// Short waits, so that a test spending all of them stays quick.
Timing shortWaits()
{
    Timing t;
    t.udpReceivePoll = std::chrono::milliseconds(5);
    t.udpAnswerPoll = std::chrono::milliseconds(2);
    t.udpResponsePoll = std::chrono::milliseconds(1);
    return t;
}

}  // namespace

TEST(UdpAdaptor, GathersAnAnswerAcrossDatagramsAndLogsInDebugMode)
{
    Channel c("127.0.7.1", "127.0.7.2");
    c.adaptor.enableDebugMode();
    c.adaptor.start_receive();
    snlog::Capture capture;
    c.exchange("hello@", {"ab", "c@"});
    std::string sender, response;
    ASSERT_TRUE(c.adaptor.waitConnection(sender, response));
    std::string out = capture.out();
    EXPECT_EQ(response, "abc@");
    EXPECT_EQ(sender, "127.0.7.2");
    EXPECT_NE(out.find("SN>Sending: hello@\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SN>Received: abc@\n"), std::string::npos) << out;

    c.exchange("again@", {"r@"});
    capture.clear();
    EXPECT_EQ(c.adaptor.waitResponse(), "r@");
    out = capture.out();
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

TEST(UdpAdaptor, WaitsWithoutAnAnswerGiveUpAndLeaveTheirArguments)
{
    boost::asio::io_context io;
    RawDatagramPeer unit("127.0.7.8", UdpAdaptor::kPort);
    UdpAdaptor a(io, "127.0.7.8", "127.0.7.7", shortWaits());
    a.start_receive();
    std::string sender = "s", response = "r";
    EXPECT_FALSE(a.waitConnection(sender, response));
    EXPECT_EQ(sender, "s");
    EXPECT_EQ(response, "r");
    EXPECT_EQ(a.waitResponse(), "");

    // The short polls still find an answer that is there.
    unit.sendTo("late@", "127.0.7.7");
    std::string late;
    for (int i = 0; i < 200 && late.empty(); ++i)
        late = a.waitResponse();
    EXPECT_EQ(late, "late@");
}

TEST(UdpAdaptor, StopAndStartAreSafeToRepeat)
{
    boost::asio::io_context io;
    const Timing timing = shortWaits();
    // Sends `text`, has the unit answer in `pieces`, returns what waitResponse saw.
    auto roundTrip = [](UdpAdaptor& a, RawDatagramPeer& unit, const std::string& text,
                        const std::vector<std::string>& pieces) {
        std::string sent = text;
        boost::system::error_code ec;
        a.sendCommand(sent, ec, 0);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(unit.receive(2000ms), text);
        for (const std::string& piece : pieces)
            unit.sendTo(piece, "127.0.7.9");
        std::string answer;
        for (int i = 0; i < 200 && answer.empty(); ++i)
            answer = a.waitResponse();
        return answer;
    };
    {
        // Never started: stop does nothing and the socket stays usable.
        RawDatagramPeer unit("127.0.7.10", UdpAdaptor::kPort);
        UdpAdaptor a(io, "127.0.7.10", "127.0.7.9", timing);
        a.stop_receive();
        a.start_receive();
        a.start_receive();  // still one receiver
        // One receiver gathers every piece of an answer; a second one would
        // take some pieces into an answer of its own.
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(roundTrip(a, unit, "ping@", {"p", "o", "n", "g@"}), "pong@") << i;
        a.stop_receive();
        EXPECT_EQ(unit.receive(2000ms), "[STOPME]@");
        a.stop_receive();  // closes once, raises nothing
        a.start_receive(); // a stopped adaptor is not restarted: nothing is gathered
        unit.sendTo("unheard@", "127.0.7.9");
        EXPECT_EQ(a.waitResponse(), "");
    }
    {
        // Repeated lives, each destroyed while its thread waits for data.
        RawDatagramPeer unit("127.0.7.10", UdpAdaptor::kPort);
        for (int life = 0; life < 5; ++life) {
            {
                UdpAdaptor a(io, "127.0.7.10", "127.0.7.9", timing);
                a.start_receive();
                ASSERT_EQ(roundTrip(a, unit, "hello@", {"hi@"}), "hi@") << life;
            }
            EXPECT_EQ(unit.receive(2000ms), "[STOPME]@") << life;  // the destructor stopped it
        }
    }
    {
        // An empty host names our own socket: the stop text wakes the
        // receive thread at once and is stored as an ordinary answer.
        UdpAdaptor self(io, "", "127.0.7.11");
        self.start_receive();
        // Our own answer back proves the thread is in its receive loop.
        std::string ready = "ready@";
        boost::system::error_code ec;
        self.sendCommand(ready, ec, 0);
        std::string answer;
        for (int i = 0; i < 20 && answer.empty(); ++i)
            answer = self.waitResponse();
        ASSERT_EQ(answer, "ready@");
        self.stop_receive();
        EXPECT_EQ(self.waitResponse(), "[STOPME]@");
    }
}

TEST(UdpAdaptor, BoundsAnAnswerThatNeverEnds)
{
    Channel c("127.0.7.12", "127.0.7.13");
    c.adaptor.start_receive();
    c.exchange("q@", {});
    snlog::Capture capture;
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
    std::string err = capture.err();
    EXPECT_LT(response.size(), UdpAdaptor::kMaxAnswerBytes);
    EXPECT_EQ(response.substr(response.size() - 3), "ok@");
    EXPECT_NE(err.find("without '@' dropped"), std::string::npos) << err;
}

TEST(UdpAdaptor, AnOverLongDatagramIsRefusedWholeAndTheNextAnswerIsIntact)
{
    Channel c("127.0.7.20", "127.0.7.21");
    c.adaptor.start_receive();
    c.exchange("q@", {});
    snlog::Capture capture;
    c.unit.sendTo("part", "127.0.7.20");
    c.unit.sendTo(std::string(UdpAdaptor::kReceiveBufferSize + 50, 'a') + "@", "127.0.7.20");
    c.unit.sendTo("whole@", "127.0.7.20");
    std::string response;
    for (int i = 0; i < 20 && response.empty(); ++i)
        response = c.adaptor.waitResponse();
    EXPECT_EQ(response, "whole@");
    EXPECT_EQ(capture.err(), "SN>ERROR>UDP datagram from 127.0.7.21:14997 longer than the receive buffer dropped\n");
}

TEST(UdpAdaptor, AnswersOfTwoSendersDoNotMix)
{
    Channel c("127.0.7.22", "127.0.7.23");
    RawDatagramPeer second("127.0.7.24", UdpAdaptor::kPort);
    c.adaptor.start_receive();
    c.exchange("q@", {"ab"});
    second.sendTo("xy", "127.0.7.22");
    c.unit.sendTo("c@", "127.0.7.22");
    std::string sender, response;
    ASSERT_TRUE(c.adaptor.waitConnection(sender, response));
    EXPECT_EQ(response, "abc@");
    EXPECT_EQ(sender, "127.0.7.23");
    second.sendTo("z@", "127.0.7.22");
    ASSERT_TRUE(c.adaptor.waitConnection(sender, response));
    EXPECT_EQ(response, "xyz@");
    EXPECT_EQ(sender, "127.0.7.24");
}

TEST(UdpAdaptor, ANewRequestDropsWhatWasGatheredForTheLastOne)
{
    Channel c("127.0.7.25", "127.0.7.26");
    RawDatagramPeer second("127.0.7.27", UdpAdaptor::kPort);
    c.adaptor.start_receive();
    c.exchange("first@", {"stale part"});
    // Datagrams reach the socket in the order sent: once the second sender's
    // answer is in, the stale part has been gathered.
    second.sendTo("done@", "127.0.7.25");
    std::string sender, response;
    ASSERT_TRUE(c.adaptor.waitConnection(sender, response));
    ASSERT_EQ(response, "done@");
    c.exchange("second@", {"fresh@"});
    ASSERT_TRUE(c.adaptor.waitConnection(sender, response));
    EXPECT_EQ(response, "fresh@");
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
