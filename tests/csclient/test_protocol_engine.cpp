#include "Log.h"
#include "CSClient.h"
#include "CSClientProtocol.h"
#include "ScriptedServer.h"
#include "TestProtocol.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <future>
#include <string>
#include <thread>

using com_vela::CSClient;
using com_vela::CSClientProtocol;
using com_vela::RawMessage;
using testsupport::eventually;
using cstest::input;
using cstest::output;
using cstest::quickReconnect;
using cstest::Frame;
using cstest::RecordingCallback;
using cstest::ScriptedServer;
using cstest::ServerConnection;
using cstest::SwitchableComms;
using cstest::TestClient;
using cstest::readU32;

typedef RecordingCallback::Change Change;

namespace {

const CSClient::State CLOSED = CSClient::STATE_CLOSED;
const CSClient::State CONNECTING = CSClient::STATE_CONNECTING;
const CSClient::State ESTABLISHING = CSClient::STATE_ESTABLISHING;
const CSClient::State CLOSING = CSClient::STATE_CLOSING;
const CSClient::State CONNECTED = CSClient::STATE_CONNECTED;
const CSClient::State LOST = CSClient::STATE_CONNECTION_LOST;

const unsigned RECONNECT = CSClientProtocol::OPTION_AUTO_RECONNECT;

// Accepts the client's connection and reads its version request.
std::unique_ptr<ServerConnection> acceptClient(ScriptedServer& server, Frame* version = nullptr)
{
    std::unique_ptr<ServerConnection> conn = server.accept(3000);
    if (!conn)
        return nullptr;
    Frame f;
    if (!conn->readFrame(f, 3000) || readU32(f.body, 8) != 0x007F0006u)
        return nullptr;
    if (version)
        *version = f;
    return conn;
}

// The same, passing over connections the client gave up before its version
// request went out.
std::unique_ptr<ServerConnection> acceptWorkingClient(ScriptedServer& server)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    while (std::chrono::steady_clock::now() < end) {
        std::unique_ptr<ServerConnection> conn = server.accept(3000);
        if (!conn)
            return nullptr;
        Frame f;
        if (conn->readFrame(f, 3000) && readU32(f.body, 8) == 0x007F0006u)
            return conn;
    }
    return nullptr;
}



// A client whose writes can be made to fail; they work again once the
// connection is lost, so that the reconnection goes through.
struct FailingWrites {
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client;
    SwitchableComms* comms = new SwitchableComms;   // the client's once adopted

    FailingWrites(unsigned options, const Timing& timing) : client(options, timing)
    {
        client.engine().changeCommsInterface(comms);
        cb.onChange = [this](CSClient::State, CSClient::State to) {
            if (to == LOST)
                comms->failWrites = false;
        };
        client.addCallbackInterface(&cb);
    }
    CSClient::Result open() { return client.open(ScriptedServer::loopbackOctet(), server.port()); }
};

std::vector<uint8_t> headerAnnouncing(uint32_t frameLength, uint32_t kind = 0)
{
    std::vector<uint8_t> h;
    cstest::appendU32(h, frameLength);
    cstest::appendU32(h, 32);
    cstest::appendU32(h, kind);
    cstest::appendU32(h, 0);
    h.insert(h.end(), 16, 0xFF);
    return h;
}

} // namespace

TEST(csclient_ProtocolEngine, WithoutReconnectionAnAbsentServerEndsClosed)
{
    RecordingCallback cb;
    TestClient client(0);
    client.addCallbackInterface(&cb);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), ScriptedServer::unusedPort()), CSClient::RESULT_OK);
    ASSERT_TRUE(cb.waitForChange(CLOSING, CLOSED, 5000));
    EXPECT_EQ(cb.changes(), (std::vector<Change>{{CLOSED, CONNECTING}, {CONNECTING, CLOSING}, {CLOSING, CLOSED}}));
    EXPECT_EQ(client.getServerIPAddress(), "0.0.0.0");
    EXPECT_EQ(client.getServerPort(), 0u);
    // The receive thread has ended: the engine opens again.
    ASSERT_EQ(client.open("127.0.0.1", ScriptedServer::unusedPort()), CSClient::RESULT_OK);
    EXPECT_TRUE(cb.waitForChange(CLOSING, CLOSED, 5000, 2));
}

TEST(csclient_ProtocolEngine, WithReconnectionAnAbsentServerIsRetriedOnceASecond)
{
    RecordingCallback cb;
    TestClient client(RECONNECT);
    SwitchableComms* comms = new SwitchableComms;
    ASSERT_TRUE(client.engine().changeCommsInterface(comms));
    // The receive thread takes CLOSED before it tells the callbacks; a slow
    // callback shows whether close waits for them.
    std::atomic<bool> closedHeard{false};
    cb.onChange = [&](CSClient::State, CSClient::State to) {
        if (to != CLOSED)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        closedHeard = true;
    };
    client.addCallbackInterface(&cb);
    const unsigned port = ScriptedServer::unusedPort();
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), port), CSClient::RESULT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_GE(comms->connects.load(), 2);
    EXPECT_LE(comms->connects.load(), 4);
    EXPECT_EQ(cb.changes(), (std::vector<Change>{{CLOSED, CONNECTING}}));
    EXPECT_EQ(client.getConnectionState(), CONNECTING);
    EXPECT_EQ(client.getServerPort(), port);
    EXPECT_EQ(client.getServerIPAddress(), "127.0.0.1");

    // Not closed: a second open fails and changes nothing; nothing can be sent.
    EXPECT_EQ(client.open(ScriptedServer::loopbackOctet(), port + 1), CSClient::RESULT_FAILED);
    EXPECT_EQ(client.getServerPort(), port);
    RawMessage m(RawMessage::TYPE_DATA);
    m.write(1u);
    EXPECT_EQ(client.sendMessage(m), CSClient::RESULT_NOT_CONNECTED);
    EXPECT_EQ(comms->writes.load(), 0);

    // A close request cuts the pause between attempts short.
    auto start = std::chrono::steady_clock::now();
    client.close();
    EXPECT_EQ(client.getConnectionState(), CLOSED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_TRUE(closedHeard.load());
    EXPECT_EQ(cb.changes().back(), Change(CLOSING, CLOSED));
}

TEST(csclient_ProtocolEngine, ConnectEstablishesThenConnectsNestedAndAsksForTheVersion)
{
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client(0);
    // The state each notification sees, recorded under the recorder's lock.
    cb.stateOf = [&] { return client.getConnectionState(); };
    client.addCallbackInterface(&cb);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    Frame version;
    auto conn = acceptClient(server, &version);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(cb.waitForChange(ESTABLISHING, CONNECTED, 3000));
    ASSERT_TRUE(eventually([&] { return cb.statesSeen().size() >= 3; }, std::chrono::milliseconds(3000)));
    EXPECT_EQ(cb.changes(),
              (std::vector<Change>{{CLOSED, CONNECTING}, {CONNECTING, ESTABLISHING}, {ESTABLISHING, CONNECTED}}));
    // The callbacks hear of a move once the engine has made it and every
    // move nested in it: the establishing one after the nested connect.
    EXPECT_EQ(cb.statesSeen(), (std::vector<CSClient::State>{CONNECTING, CONNECTED, CONNECTED}));

    // The version request as framed by the engine: 16-byte body, its length
    // patched into the message header.
    EXPECT_EQ(version.length, 48u);
    EXPECT_EQ(readU32(version.header, 4), 32u);
    EXPECT_EQ(version.kindCode, 0u);
    EXPECT_EQ(version.header[31], 0xFF);
    ASSERT_EQ(version.body.size(), 16u);
    EXPECT_EQ(version.body[0], 9);
    EXPECT_EQ(readU32(version.body, 4), 16u);
    // Nothing registered: the version request is the only request.
    EXPECT_TRUE(eventually([&] { return client.engine().calls().size() == 1; }, std::chrono::milliseconds(2000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(client.engine().calls().size(), 1u);
    EXPECT_EQ(client.getServerIPAddress(), "127.0.0.1");
}

TEST(csclient_ProtocolEngine, SendsOnlyWhileEstablishingOrConnected)
{
    TestClient closedClient(0);
    RawMessage m(RawMessage::TYPE_DATA);
    m.write("\x01\x02\x7f\xff\x00\x00\x00\x00\x00\x7f\x00\x42", 12);
    EXPECT_EQ(closedClient.sendMessage(m), CSClient::RESULT_NOT_CONNECTED);

    ScriptedServer server;
    TestClient client(0);
    SwitchableComms* comms = new SwitchableComms;
    ASSERT_TRUE(client.engine().changeCommsInterface(comms));
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    auto conn = acceptClient(server);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(client.waitForConnectionState(CONNECTED, 3));
    SwitchableComms refused;   // not adopted: stays the caller's
    EXPECT_FALSE(client.engine().changeCommsInterface(&refused));   // only while closed
    EXPECT_FALSE(client.engine().changeCommsInterface(nullptr));

    const int writesBefore = comms->writes.load();
    RawMessage invalid("abc", 3, RawMessage::TYPE_INVALID);
    EXPECT_EQ(client.sendMessage(invalid), CSClient::RESULT_INVALID);
    EXPECT_EQ(comms->writes.load(), writesBefore);

    EXPECT_EQ(client.sendMessage(m), CSClient::RESULT_OK);
    RawMessage flow(RawMessage::TYPE_FLOW_CONTROL);
    for (unsigned w : {3u, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu})
        flow.write(w);
    EXPECT_EQ(client.sendMessage(flow), CSClient::RESULT_OK);

    Frame f;
    ASSERT_TRUE(conn->readFrame(f, 3000));
    EXPECT_EQ(f.length, 44u);
    EXPECT_EQ(readU32(f.body, 4), 12u);
    EXPECT_EQ(f.body[11], 0x42);
    ASSERT_TRUE(conn->readFrame(f, 3000));
    EXPECT_EQ(f.length, 52u);
    EXPECT_EQ(f.kindCode, 3u);
    EXPECT_EQ(readU32(f.header, 12), 2u);
    EXPECT_EQ(f.header[31], 0xFE);
    EXPECT_EQ(readU32(f.body, 0), 3u);
    EXPECT_EQ(readU32(f.body, 4), 0xFFFFFFFFu);   // no length patched into a flow-control body
}

TEST(csclient_ProtocolEngine, ReceivesWholeFramesOfEveryKind)
{
    ScriptedServer server;
    TestClient client(0);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    auto conn = acceptClient(server);
    ASSERT_TRUE(conn);

    std::vector<uint8_t> data = cstest::messageHeader(4, 2, 0x0106);
    data.push_back(0x5A);
    ASSERT_TRUE(conn->sendFrame(data, 0));
    ASSERT_TRUE(conn->sendFrame({0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF}, 3));
    ASSERT_TRUE(conn->sendFrame({1, 2, 3, 4, 5}, 4));   // unknown kind: read whole
    ASSERT_TRUE(conn->sendFrame({0x77}, 0));            // 33-byte frame: 1-byte body
    // A frame split into pieces still arrives whole.
    std::vector<uint8_t> split = headerAnnouncing(32 + 6);
    split.insert(split.end(), {9, 8, 7});
    ASSERT_TRUE(conn->sendBytes(split));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(conn->sendBytes({6, 5, 4}));

    ASSERT_TRUE(client.engine().waitForReceived(5, 3000));
    std::vector<RawMessage> got = client.engine().received();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].getType(), RawMessage::TYPE_DATA);
    EXPECT_EQ(got[0].getSize(), 13u);
    EXPECT_EQ(got[0].getWord(10), 0x0106);
    EXPECT_EQ(got[1].getType(), RawMessage::TYPE_FLOW_CONTROL);
    EXPECT_EQ(got[1].getDoubleWord(0), 1u);
    EXPECT_EQ(got[2].getType(), RawMessage::TYPE_INVALID);
    EXPECT_EQ(got[2].getSize(), 5u);
    EXPECT_EQ(got[3].getSize(), 1u);
    EXPECT_EQ(got[3].getProtocol(), 0x77);
    EXPECT_EQ(std::vector<char>(got[4].getData()), (std::vector<char>{9, 8, 7, 6, 5, 4}));
    EXPECT_EQ(client.getConnectionState(), CONNECTED);
}

TEST(csclient_ProtocolEngine, BadHeadersAreReportedAndCloseTheConnection)
{
    struct Case {
        std::vector<uint8_t> bytes;
        std::string line;
    } cases[] = {
        {headerAnnouncing(32), "Invalid message data received (32). Closing connection.\n"},
        {headerAnnouncing(0x40000000u), "Invalid message data received (1073741824). Closing connection.\n"},
        {headerAnnouncing(com_vela::MAX_FRAME_SIZE + 1),
         "Invalid message data received (" + std::to_string(com_vela::MAX_FRAME_SIZE + 1) +
             "). Closing connection.\n"},
        {{0, 0, 0, 40, 0, 0, 0, 32, 0, 0}, "Couldn't read a complete header. Closing connection.\n"},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        RecordingCallback cb;
        TestClient client(0);
        client.addCallbackInterface(&cb);
        ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
        auto conn = acceptClient(server);
        ASSERT_TRUE(conn);
        ASSERT_TRUE(cb.waitForChange(ESTABLISHING, CONNECTED, 3000));
        snlog::Capture capture;
        ASSERT_TRUE(conn->sendBytes(c.bytes));
        const bool closed = cb.waitForChange(CLOSING, CLOSED, 5000);
        const std::string err = capture.err();
        EXPECT_TRUE(closed);
        EXPECT_NE(err.find(c.line), std::string::npos) << err;
        EXPECT_TRUE(conn->waitForPeerClose(3000));
        EXPECT_EQ(cb.changes().back(), Change(CLOSING, CLOSED));
        EXPECT_TRUE(client.engine().received().empty());
    }
}

TEST(csclient_ProtocolEngine, QuietOptionSilencesReadFailures)
{
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client(CSClientProtocol::OPTION_QUIET);
    client.addCallbackInterface(&cb);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    auto conn = acceptClient(server);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(cb.waitForChange(ESTABLISHING, CONNECTED, 3000));
    snlog::Capture capture;
    conn->sendBytes(headerAnnouncing(32));
    const bool closed = cb.waitForChange(CLOSING, CLOSED, 5000);
    const std::string err = capture.err();
    EXPECT_TRUE(closed);
    EXPECT_EQ(err, "");
}

TEST(csclient_ProtocolEngine, ServerCloseWithReconnectionReconnectsAndReregisters)
{
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client(RECONNECT, quickReconnect(std::chrono::milliseconds(200)));
    client.addCallbackInterface(&cb);
    std::vector<CSClient::InputDef> inputs = {input("SPO2"), input("HRPM"), input("ETCO2")};
    ASSERT_EQ(client.registerInputParameters(inputs), CSClient::RESULT_OK);
    ASSERT_EQ(client.registerOutputParameter(output("OUT1")), CSClient::RESULT_OK);

    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    auto first = acceptClient(server);
    ASSERT_TRUE(first);
    Frame f;
    ASSERT_TRUE(first->readFrame(f, 3000));
    EXPECT_EQ(cstest::requestIds(f.body), (std::vector<std::string>{"ETCO2", "HRPM", "SPO2"}));
    ASSERT_TRUE(first->readFrame(f, 3000));
    EXPECT_EQ(cstest::requestIds(f.body), (std::vector<std::string>{"OUT1"}));
    client.engine().confirmInput("HRPM", 11);
    client.engine().confirmInput("SPO2", 12);
    client.engine().confirmInput("ETCO2", 13);
    client.engine().confirmOutput("OUT1", 21);
    EXPECT_EQ(client.getNumberOfRegisteredInputParameters(), 3u);

    snlog::Capture capture;
    first->close();
    auto second = acceptClient(server);
    const bool reconnected = cb.waitForChange(ESTABLISHING, CONNECTED, 5000, 2);
    Frame in2, out2;
    const bool gotInputs = second && second->readFrame(in2, 3000);
    const bool gotOutputs = second && second->readFrame(out2, 3000);
    const std::string out = capture.out();
    const std::string err = capture.err();

    ASSERT_TRUE(second);
    EXPECT_TRUE(reconnected);
    EXPECT_NE(err.find("Connection closed by server.\n"), std::string::npos) << err;
    const size_t attempt = out.find("Attempting to reconnect...\n");
    const size_t rereg = out.find("Re-registering input/output parameters (3/1)...\n");
    const size_t regIn = out.find("Registering 3 input parameters with server...\n");
    const size_t regOut = out.find("Registering 1 output parameters with server...\n");
    EXPECT_NE(attempt, std::string::npos) << out;
    EXPECT_NE(rereg, std::string::npos) << out;
    EXPECT_TRUE(attempt < rereg && rereg < regIn && regIn < regOut) << out;

    std::vector<Change> changes = cb.changes();
    std::vector<Change> expected = {{CLOSED, CONNECTING},   {CONNECTING, ESTABLISHING}, {ESTABLISHING, CONNECTED},
                                    {CONNECTED, LOST},      {LOST, CONNECTING},         {CONNECTING, ESTABLISHING},
                                    {ESTABLISHING, CONNECTED}};
    EXPECT_EQ(changes, expected);

    ASSERT_TRUE(gotInputs);
    ASSERT_TRUE(gotOutputs);
    EXPECT_EQ(cstest::requestIds(in2.body), (std::vector<std::string>{"ETCO2", "HRPM", "SPO2"}));
    EXPECT_EQ(cstest::requestIds(out2.body), (std::vector<std::string>{"OUT1"}));
    // Inputs wait for confirmation again; the output keeps its server id.
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 3u);
    EXPECT_EQ(client.getNumberOfRegisteredOutputParameters(), 1u);
}

TEST(csclient_ProtocolEngine, AServerThatRefusesAtOnceIsRetried)
{
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client(RECONNECT | CSClientProtocol::OPTION_QUIET, quickReconnect(std::chrono::milliseconds(100)));
    SwitchableComms* comms = new SwitchableComms;
    ASSERT_TRUE(client.engine().changeCommsInterface(comms));
    client.addCallbackInterface(&cb);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    // Accepted and reset at once: seen as a failed connect or as a lost
    // connection, depending on how far the client got; retried either way.
    for (int i = 0; i < 2; ++i) {
        auto conn = server.accept(3000);
        ASSERT_TRUE(conn);
        conn->close(true);
    }
    auto conn = acceptWorkingClient(server);
    ASSERT_TRUE(conn);
    EXPECT_TRUE(client.waitForConnectionState(CONNECTED, 3));
    EXPECT_GE(comms->connects.load(), 3);
    for (const Change& c : cb.changes())
        EXPECT_NE(c.second, CLOSING);
}

TEST(csclient_ProtocolEngine, CloseGivesUpAFrameStalledMidBody)
{
    ScriptedServer server;
    TestClient client(RECONNECT);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    auto conn = acceptClient(server);
    ASSERT_TRUE(conn);
    std::vector<uint8_t> partial = headerAnnouncing(32 + 100);
    partial.insert(partial.end(), 10, 0x33);
    ASSERT_TRUE(conn->sendBytes(partial));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    auto start = std::chrono::steady_clock::now();
    client.close();
    ASSERT_TRUE(eventually([&] { return client.getConnectionState() == CLOSED; }, std::chrono::milliseconds(8000)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(client.engine().received().empty());
    EXPECT_TRUE(conn->waitForPeerClose(2000));
}

TEST(csclient_ProtocolEngine, AFailedSendGivesUpAFrameStalledMidBodyAndReconnects)
{
    FailingWrites rig(RECONNECT | CSClientProtocol::OPTION_QUIET, quickReconnect(std::chrono::milliseconds(100)));
    ScriptedServer& server = rig.server;
    RecordingCallback& cb = rig.cb;
    TestClient& client = rig.client;
    ASSERT_EQ(rig.open(), CSClient::RESULT_OK);
    auto first = acceptClient(server);
    ASSERT_TRUE(first);
    std::vector<uint8_t> partial = headerAnnouncing(32 + 100);
    partial.insert(partial.end(), 10, 0x33);
    ASSERT_TRUE(first->sendBytes(partial));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    rig.comms->failWrites = true;
    snlog::Capture capture;
    EXPECT_EQ(client.registerInputParameter(input("LATE")), CSClient::RESULT_FAILED);
    const bool lost = cb.waitForChange(CONNECTED, LOST, 6000);
    EXPECT_TRUE(lost);
    auto second = acceptWorkingClient(server);
    ASSERT_TRUE(second);
    Frame f;
    ASSERT_TRUE(second->readFrame(f, 3000));
    EXPECT_EQ(cstest::requestIds(f.body), (std::vector<std::string>{"LATE"}));
    EXPECT_TRUE(client.engine().received().empty());
}

TEST(csclient_ProtocolEngine, SendFailingInsideAStateChangeReentersTheConnectionLock)
{
    FailingWrites rig(RECONNECT, quickReconnect(std::chrono::milliseconds(100)));
    ScriptedServer& server = rig.server;
    RecordingCallback& cb = rig.cb;
    TestClient& client = rig.client;
    SwitchableComms* comms = rig.comms;
    comms->failWrites = true;
    ASSERT_EQ(client.registerInputParameter(input("HRPM")), CSClient::RESULT_OK);

    snlog::Capture capture;
    ASSERT_EQ(rig.open(), CSClient::RESULT_OK);
    // The version request fails inside startConnection's state change, which
    // holds the connection lock; the close it makes takes it again.
    const bool lost = cb.waitForChange(LOST, CONNECTING, 5000);
    auto conn = acceptWorkingClient(server);   // a later connection: version request arrives
    const bool connectedAgain = cb.waitForChange(ESTABLISHING, CONNECTED, 5000, 2);
    Frame f;
    const bool gotInputs = conn && conn->readFrame(f, 3000);
    const std::string err = capture.err();

    EXPECT_TRUE(lost);
    EXPECT_TRUE(connectedAgain);
    EXPECT_GE(comms->failedWrites.load(), 1);
    EXPECT_NE(err.find("Error writing to server (32) \n"), std::string::npos) << err;
    std::vector<Change> changes = cb.changes();
    ASSERT_GE(changes.size(), 5u);
    EXPECT_EQ(std::vector<Change>(changes.begin(), changes.begin() + 5),
              (std::vector<Change>{{CLOSED, CONNECTING},
                                   {CONNECTING, ESTABLISHING},
                                   {ESTABLISHING, CONNECTED},
                                   {CONNECTED, LOST},
                                   {LOST, CONNECTING}}));
    ASSERT_TRUE(gotInputs);
    EXPECT_EQ(cstest::requestIds(f.body), (std::vector<std::string>{"HRPM"}));
}

TEST(csclient_ProtocolEngine, SendFailingInsideAStateChangeWithoutReconnectionCloses)
{
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client(0);
    SwitchableComms* comms = new SwitchableComms;
    comms->failWrites = true;
    ASSERT_TRUE(client.engine().changeCommsInterface(comms));
    client.addCallbackInterface(&cb);
    snlog::Capture capture;
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    const bool closed = cb.waitForChange(CLOSING, CLOSED, 5000);
    EXPECT_TRUE(closed);
    EXPECT_EQ(cb.changes(), (std::vector<Change>{{CLOSED, CONNECTING},
                                                 {CONNECTING, ESTABLISHING},
                                                 {ESTABLISHING, CONNECTED},
                                                 {CONNECTED, CLOSING},
                                                 {CLOSING, CLOSED}}));
}

TEST(csclient_ProtocolEngine, SendFailingUnderTheRegistryLockClosesOnceTheLockIsReleased)
{
    FailingWrites rig(RECONNECT, quickReconnect(std::chrono::milliseconds(100)));
    ScriptedServer& server = rig.server;
    RecordingCallback& cb = rig.cb;
    TestClient& client = rig.client;
    ASSERT_EQ(rig.open(), CSClient::RESULT_OK);
    auto first = acceptClient(server);
    ASSERT_TRUE(first);
    ASSERT_TRUE(cb.waitForChange(ESTABLISHING, CONNECTED, 3000));

    rig.comms->failWrites = true;
    snlog::Capture capture;
    EXPECT_EQ(client.registerInputParameter(input("RESP")), CSClient::RESULT_FAILED);
    const bool lost = cb.waitForChange(CONNECTED, LOST, 4000);
    auto second = acceptWorkingClient(server);
    Frame f;
    const bool gotInputs = second && second->readFrame(f, 3000);
    EXPECT_TRUE(lost);
    ASSERT_TRUE(gotInputs);
    EXPECT_EQ(cstest::requestIds(f.body), (std::vector<std::string>{"RESP"}));
}

TEST(csclient_ProtocolEngine, EndsClosedWhenTheReceiveThreadCannotStart)
{
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client(0);
    client.addCallbackInterface(&cb);
    client.engine().occupyReceiveThread();
    EXPECT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_FAILED);
    EXPECT_EQ(client.getConnectionState(), CLOSED);
    EXPECT_EQ(cb.changes(), (std::vector<Change>{{CLOSED, CONNECTING}, {CONNECTING, CLOSING}, {CLOSING, CLOSED}}));
    EXPECT_EQ(client.getServerPort(), 0u);

    client.engine().releaseReceiveThread();
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    EXPECT_TRUE(acceptClient(server));
    EXPECT_TRUE(cb.waitForChange(ESTABLISHING, CONNECTED, 3000));
}

TEST(csclient_ProtocolEngine, CallbackAddedTwiceIsNotifiedOnce)
{
    RecordingCallback cb, other;
    TestClient client(0);
    EXPECT_TRUE(client.addCallbackInterface(&cb));
    EXPECT_FALSE(client.addCallbackInterface(&cb));
    EXPECT_TRUE(client.addCallbackInterface(&other));
    EXPECT_EQ(client.getNumCallbackInterfaces(), 2u);
    EXPECT_TRUE(client.hasCallbackInterface(&cb));
    std::set<CSClient::CallbackIface*> set = {nullptr};
    client.getCallbackInterfaces(set);
    EXPECT_EQ(set, (std::set<CSClient::CallbackIface*>{&cb, &other}));
    client.removeCallbackInterface(&other);
    EXPECT_FALSE(client.hasCallbackInterface(&other));

    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), ScriptedServer::unusedPort()), CSClient::RESULT_OK);
    ASSERT_TRUE(cb.waitForChange(CLOSING, CLOSED, 5000));
    EXPECT_EQ(cb.changes().size(), 3u);
    EXPECT_TRUE(other.changes().empty());
}

TEST(csclient_ProtocolEngine, CallbackMayCallBackIntoTheClientFromANotification)
{
    ScriptedServer server;
    RecordingCallback cb, later;
    std::atomic<bool> registeredInside{false};
    std::atomic<unsigned> countInside{0};
    TestClient client(0);
    cb.onChange = [&](CSClient::State, CSClient::State to) {
        if (to != CONNECTED)
            return;
        // On the receive thread, after the engine's own reaction to the move.
        const bool registered = client.registerInputParameter(input("TEMP")) == CSClient::RESULT_OK;
        countInside = client.getNumberOfUnregisteredInputParameters();
        registeredInside = registered;
        client.addCallbackInterface(&later);
        client.removeCallbackInterface(&cb);
    };
    client.addCallbackInterface(&cb);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    auto conn = server.accept(3000);
    ASSERT_TRUE(conn);
    Frame f;
    ASSERT_TRUE(conn->readFrame(f, 3000));
    EXPECT_EQ(readU32(f.body, 8), 0x007F0006u);                                  // the version request
    ASSERT_TRUE(conn->readFrame(f, 3000));
    EXPECT_EQ(cstest::requestIds(f.body), (std::vector<std::string>{"TEMP"}));   // then, from the callback
    // Set once the callback's calls have returned, after the frame went out.
    EXPECT_TRUE(eventually([&] { return registeredInside.load(); }, std::chrono::milliseconds(3000)));
    EXPECT_EQ(countInside.load(), 1u);

    // The set changes apply from the next notification.
    client.close();
    EXPECT_EQ(client.getConnectionState(), CLOSED);
    EXPECT_EQ(cb.changes().back(), Change(ESTABLISHING, CONNECTED));
    EXPECT_EQ(later.changes(), (std::vector<Change>{{CONNECTED, CLOSING}, {CLOSING, CLOSED}}));
}

TEST(csclient_ProtocolEngine, ACallbackMayCloseTheClientFromANotification)
{
    ScriptedServer server;
    RecordingCallback cb;
    TestClient client(RECONNECT);
    cb.onChange = [&](CSClient::State, CSClient::State to) {
        if (to == CONNECTED)
            client.engine().forceCloseConnection();
    };
    client.addCallbackInterface(&cb);
    ASSERT_EQ(client.open(ScriptedServer::loopbackOctet(), server.port()), CSClient::RESULT_OK);
    auto conn = server.accept(3000);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(cb.waitForChange(CLOSING, CLOSED, 5000));
    std::vector<Change> changes = cb.changes();
    EXPECT_EQ(changes, (std::vector<Change>{{CLOSED, CONNECTING},
                                            {CONNECTING, ESTABLISHING},
                                            {ESTABLISHING, CONNECTED},
                                            {CONNECTED, CLOSING},
                                            {CLOSING, CLOSED}}));
    EXPECT_TRUE(conn->waitForPeerClose(3000));
}

TEST(csclient_ProtocolEngine, AFailedSendPausesTheSendingThreadWhileTheReceiveThreadReconnects)
{
    // A pause long enough to tell which thread makes it: the receive thread
    // connects again at once while the thread whose send failed waits; the
    // close at the end cuts its pause short.
    for (const bool underRegistryLock : {true, false}) {
        SCOPED_TRACE(underRegistryLock ? "registering" : "sending");
        FailingWrites rig(RECONNECT | CSClientProtocol::OPTION_QUIET, quickReconnect(std::chrono::seconds(30)));
        TestClient& client = rig.client;
        ASSERT_EQ(rig.open(), CSClient::RESULT_OK);
        auto first = acceptClient(rig.server);
        ASSERT_TRUE(first);
        ASSERT_TRUE(rig.cb.waitForChange(ESTABLISHING, CONNECTED, 3000));

        rig.comms->failWrites = true;
        snlog::Capture capture;
        std::future<CSClient::Result> failing = std::async(std::launch::async, [&] {
            if (underRegistryLock)
                return client.registerInputParameter(input("LATE"));
            RawMessage m(RawMessage::TYPE_DATA);
            m.write("\x09\x09\x7f\xff\x00\x00\x00\x00\x00\x7f\x00\x42", 12);
            return client.sendMessage(m);
        });
        auto second = acceptWorkingClient(rig.server);
        const bool stillPausing = failing.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
        client.close();
        const CSClient::Result result = failing.get();
        const std::string err = capture.err();

        EXPECT_TRUE(second);
        EXPECT_TRUE(stillPausing);
        EXPECT_EQ(result, CSClient::RESULT_FAILED);
        EXPECT_NE(err.find("Error writing to server (32) \n"), std::string::npos) << err;
        EXPECT_TRUE(rig.cb.waitForChange(CONNECTED, LOST, 0));
    }
}
