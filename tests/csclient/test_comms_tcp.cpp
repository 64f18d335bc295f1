#include "Log.h"
#include "CSCommsInterfaceTCP.h"
#include "CSMutex.h"
#include "CSThread.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using com_vela::CSCommsInterfaceTCP;
using com_vela::CSMutex;
using com_vela::CSThread;
using com_vela::RawMessage;
using cstest::ScriptedServer;

namespace {

std::vector<uint8_t> bytes(const RawMessage& m)
{
    return std::vector<uint8_t>(m.getData().begin(), m.getData().end());
}

int intOption(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(fd, level, name, &v, &len);
    return v;
}

} // namespace

TEST(csclient_CommsTcp, OctetAddressesKeepNetworkOrder)
{
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPAddressToOctet("1.2.3.4"), 0x04030201u);
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPAddressToOctet("10.1.2.3"), 0x0302010Au);
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPOctetToAddress(
                  CSCommsInterfaceTCP::convertIPAddressToOctet("192.168.0.10")),
              "192.168.0.10");
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPOctetToAddress(0), "0.0.0.0");
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPAddressToOctet("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPAddressToOctet(nullptr), 0xFFFFFFFFu);
}

TEST(csclient_CommsTcp, ConnectsWithTheFixedSocketOptions)
{
    ScriptedServer server;
    CSCommsInterfaceTCP comms;
    ASSERT_TRUE(comms.openConnection("127.0.0.1", server.port()));
    const int fd = comms.getSocket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL, 0) & O_NONBLOCK, 0);   // blocking, for the receive timeout
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);

    timeval tv = {};
    socklen_t len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 0);
    len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 30);

    linger l = {};
    len = sizeof l;
    getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len);
    EXPECT_EQ(l.l_onoff, 1);
    EXPECT_EQ(l.l_linger, 0);

    // Buffer sizes 0 leave the defaults of a fresh socket (the send side is
    // tuned by the kernel once connected, so only the receive side compares).
    int fresh = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_RCVBUF), intOption(fresh, SOL_SOCKET, SO_RCVBUF));
    ::close(fresh);
}

TEST(csclient_CommsTcp, BufferSizesApplyAtTheNextConnect)
{
    ScriptedServer server;
    CSCommsInterfaceTCP comms;
    CSCommsInterfaceTCP::Options o;
    o.receiveBufferSize = 12345;
    o.sendBufferSize = 23456;
    comms.setOptions(o);
    ASSERT_TRUE(comms.openConnection(ScriptedServer::loopbackOctet(), server.port()));
    // The kernel doubles the requested value for its bookkeeping.
    EXPECT_EQ(intOption(comms.getSocket(), SOL_SOCKET, SO_RCVBUF), 2 * 12345);
    EXPECT_EQ(intOption(comms.getSocket(), SOL_SOCKET, SO_SNDBUF), 2 * 23456);
}

TEST(csclient_CommsTcp, FailedConnectLeavesNoSocket)
{
    CSCommsInterfaceTCP comms;
    EXPECT_FALSE(comms.openConnection(ScriptedServer::loopbackOctet(), ScriptedServer::unusedPort()));
    EXPECT_EQ(comms.getSocket(), -1);
}

TEST(csclient_CommsTcp, OpeningAgainClosesTheFirstSocket)
{
    ScriptedServer server;
    CSCommsInterfaceTCP comms;
    ASSERT_TRUE(comms.openConnection(ScriptedServer::loopbackOctet(), server.port()));
    auto first = server.accept(2000);
    ASSERT_TRUE(first);
    ASSERT_TRUE(comms.openConnection(ScriptedServer::loopbackOctet(), server.port()));
    EXPECT_TRUE(first->waitForPeerClose(2000));
    auto second = server.accept(2000);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->waitForPeerClose(100));
}

TEST(csclient_CommsTcp, PartialReadsAndTimeoutsAppendOnlyWhatArrived)
{
    ScriptedServer server;
    CSCommsInterfaceTCP comms;
    ASSERT_TRUE(comms.openConnection(ScriptedServer::loopbackOctet(), server.port()));
    auto peer = server.accept(2000);
    ASSERT_TRUE(peer);

    RawMessage m(RawMessage::TYPE_DATA);
    m.write("ab", 2);
    // Nothing arrives: timeout, message unchanged.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(comms.readMessage(32, m), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(bytes(m), (std::vector<uint8_t>{'a', 'b'}));

    // 10 of 32 bytes arrive: after the timeout those 10 are appended.
    std::vector<uint8_t> ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(peer->sendBytes(ten));
    EXPECT_EQ(comms.readMessage(32, m), 10);
    std::vector<uint8_t> expected = {'a', 'b'};
    expected.insert(expected.end(), ten.begin(), ten.end());
    EXPECT_EQ(bytes(m), expected);

    // A complete request returns at once with exactly the bytes asked for.
    ASSERT_TRUE(peer->sendBytes({20, 21, 22, 23, 24}));
    EXPECT_EQ(comms.readMessage(3, m), 3);
    EXPECT_EQ(comms.readMessage(2, m), 2);
    expected.insert(expected.end(), {20, 21, 22, 23, 24});
    EXPECT_EQ(bytes(m), expected);
}

TEST(csclient_CommsTcp, PeerCloseAndResetReadAsZero)
{
    ScriptedServer server;
    CSCommsInterfaceTCP comms;
    RawMessage m(RawMessage::TYPE_DATA);

    ASSERT_TRUE(comms.openConnection(ScriptedServer::loopbackOctet(), server.port()));
    auto peer = server.accept(2000);
    ASSERT_TRUE(peer);
    peer->close();
    EXPECT_EQ(comms.readMessage(4, m), 0);

    ASSERT_TRUE(comms.openConnection(ScriptedServer::loopbackOctet(), server.port()));
    peer = server.accept(2000);
    ASSERT_TRUE(peer);
    peer->close(true);
    EXPECT_EQ(comms.readMessage(4, m), 0);
    EXPECT_EQ(m.getSize(), 0u);

    comms.close();
    EXPECT_EQ(comms.getSocket(), -1);
    EXPECT_EQ(comms.readMessage(4, m), -1);   // no socket: a plain read error
}

TEST(csclient_CommsTcp, WritesTheWholeBodyInOneCall)
{
    ScriptedServer server;
    CSCommsInterfaceTCP comms;
    ASSERT_TRUE(comms.openConnection(ScriptedServer::loopbackOctet(), server.port()));
    auto peer = server.accept(2000);
    ASSERT_TRUE(peer);
    RawMessage frame(RawMessage::TYPE_DATA);
    ASSERT_TRUE(com_vela::buildFrame(RawMessage("hello", 5, RawMessage::TYPE_DATA), frame));
    EXPECT_EQ(comms.writeMessage(frame), 37);
    cstest::Frame got;
    ASSERT_TRUE(peer->readFrame(got, 2000));
    EXPECT_EQ(got.length, 37u);
    EXPECT_EQ(got.body, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));

    comms.close();
    EXPECT_EQ(comms.writeMessage(frame), -1);
}

TEST(csclient_Mutex, RecursiveMutexMayBeTakenAgainByItsHolder)
{
    CSMutex recursive(true);
    EXPECT_EQ(recursive.lock(), 0);
    EXPECT_EQ(recursive.lock(), 0);
    EXPECT_TRUE(recursive.isHeldByCurrentThread());
    EXPECT_EQ(recursive.unlock(), 0);
    EXPECT_TRUE(recursive.isHeldByCurrentThread());
    int fromOther = -1;
    std::thread([&] { fromOther = recursive.tryLock(); }).join();
    EXPECT_EQ(fromOther, 1);
    EXPECT_EQ(recursive.unlock(), 0);
    EXPECT_FALSE(recursive.isHeldByCurrentThread());
    EXPECT_EQ(recursive.unlock(), 2);   // not held

    CSMutex plain;
    EXPECT_EQ(plain.lock(), 0);
    EXPECT_EQ(plain.tryLock(), 1);
    bool heldElsewhere = true;
    std::thread([&] { heldElsewhere = plain.isHeldByCurrentThread(); }).join();
    EXPECT_FALSE(heldElsewhere);
    EXPECT_EQ(plain.unlock(), 0);
}

namespace {

std::atomic<int> loops{0};

void* cooperativeLoop(void*)
{
    while (!CSThread::sleepUnlessStopped(std::chrono::milliseconds(20)))
        loops.fetch_add(1);
    return nullptr;
}

void* blockUntil(void* flag)
{
    while (!static_cast<std::atomic<bool>*>(flag)->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return nullptr;
}

void* killItself(void* thread)
{
    static_cast<CSThread*>(thread)->kill();
    return nullptr;
}

} // namespace

TEST(csclient_Thread, KillStopsACooperativeThreadWithoutCancelling)
{
    CSThread t;
    EXPECT_FALSE(t.waitForThread());
    EXPECT_FALSE(t.isActive());
    EXPECT_FALSE(CSThread::stopRequested());   // not a CSThread thread

    loops = 0;
    ASSERT_TRUE(t.create(&cooperativeLoop, nullptr));
    EXPECT_TRUE(t.isActive());
    EXPECT_FALSE(t.isStopRequested());
    EXPECT_FALSE(t.create(&cooperativeLoop, nullptr));   // one thread at a time
    ASSERT_TRUE(testsupport::eventually([] { return loops.load() >= 2; }, std::chrono::seconds(5)));

    // Joined, not left behind: a thread that missed its stop bound would be
    // detached with a line on standard error.
    {
        snlog::Capture capture;
        t.kill();
        EXPECT_EQ(capture.err(), "");
    }
    EXPECT_FALSE(t.isActive());
    const int after = loops.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(loops.load(), after);   // really stopped

    ASSERT_TRUE(t.create(&cooperativeLoop, nullptr));   // reusable
    t.kill();
}

TEST(csclient_Thread, JoinsBoundedAndReleasesItself)
{
    std::atomic<bool> go{false};
    CSThread t;
    ASSERT_TRUE(t.create(&blockUntil, &go));
    EXPECT_FALSE(t.joinWithin(std::chrono::milliseconds(50)));   // still running: handle kept
    EXPECT_TRUE(t.isActive());
    go = true;
    EXPECT_TRUE(t.joinWithin(std::chrono::milliseconds(2000)));
    EXPECT_FALSE(t.isActive());

    CSThread self;
    ASSERT_TRUE(self.create(&killItself, &self));
    EXPECT_TRUE(testsupport::eventually([&] { return !self.isActive(); }, std::chrono::seconds(2)));
}

TEST(csclient_CommsTcp, ConnectToAServerThatNeverAnswersIsBounded)
{
    // A listener whose accept queue is full drops further connection
    // requests, so a connect there gets no answer at all.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    Timing timing;
    timing.connectBound = std::chrono::milliseconds(1000);
    CSCommsInterfaceTCP comms(timing);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(comms.openConnection(ScriptedServer::loopbackOctet(), ntohs(a.sin_port)));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, timing.connectBound - std::chrono::milliseconds(500));
    EXPECT_LT(took, timing.connectBound + std::chrono::milliseconds(3000));
    EXPECT_EQ(comms.getSocket(), -1);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}
