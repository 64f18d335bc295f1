// SimClient and SimulatorProtocol against the emulated RHM server, and the
// protocol's handlers fed with server frames directly.
#include "Log.h"
#include "test_app_support.h"
#include "TestSupport.h"

#include <thread>

using namespace apptest;
using com_vela::SimClient;
using com_vela::SimulatorProtocol;

namespace {

const std::vector<CSClient::InputDef> kHardware = {
    {"HW_PATSPEED", CSClient::PARAMETER_TYPE_INT, 0},
    {"HW_PATMON_ENABLED", CSClient::PARAMETER_TYPE_INT, 0},
    {"HW_PATMON_CALIB_ACTION", CSClient::PARAMETER_TYPE_INT, 0},
    {"HW_PATMON_CALIB_ARG1", CSClient::PARAMETER_TYPE_INT, 0},
};

struct SimRig {
    SimulatorEmulator emu;
    Recorder rec;
    std::unique_ptr<SimClient> client;
    std::string address;
    explicit SimRig(SimulatorEmulator::Options o, unsigned options = 3) : emu(o), address(o.address) {
        client.reset(new SimClient(1, options, quickTiming()));
        client->addCallbackInterface(&rec);
    }
    ~SimRig() {
        client.reset();
        emu.stop();
    }
    bool open() {
        return emu.start() && client->open(address.c_str(), 55580) == CSClient::RESULT_OK &&
               rec.waitFor([&] { return client->getConnectionState() == CSClient::STATE_CONNECTED; }) &&
               emu.waitForClients(SimProtocol::SIM, 1, 5s);
    }
    bool registered() {
        return rec.waitFor([&] { return client->getNumberOfUnregisteredInputParameters() == 0; });
    }
};

Bytes simBody(unsigned code, std::initializer_list<std::uint32_t> words) { return body(4, 2, code, words); }

Bytes simSubscribeResponse(const std::vector<std::tuple<unsigned, std::string, bool, std::uint32_t>>& entries) {
    Bytes b = simBody(0x0101, {1u << 16, std::uint32_t(entries.size())});
    for (const auto& e : entries) {
        simemu::put32(b, std::get<0>(e));
        simemu::put32(b, 0);
        simemu::put32(b, 0);
        simemu::put32(b, std::get<2>(e) ? 1 : 0);
        simemu::put32(b, std::get<3>(e));
        simemu::putName(b, std::get<1>(e));
    }
    return b;
}

Bytes simVersionResponse(unsigned simulatorId, const std::string& text, unsigned protocol, unsigned status) {
    Bytes b = simBody(0x0106, {simulatorId << 16});
    simemu::putName(b, text, 128);
    simemu::put32(b, protocol);
    simemu::put32(b, status);
    return b;
}

}  // namespace

TEST(SimClient, SubscribesGetsCurrentValuesAndUpdates) {
    SimRig rig(emulatorOn("127.0.4.31"));
    // registered before the connection, so that exactly one subscription goes out
    ASSERT_EQ(rig.client->registerInputParameters(kHardware), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.registered());
    ASSERT_TRUE(rig.rec.waitFor([&] { return !rig.rec.batches.empty(); }));
    auto first = rig.rec.locked([&] { return rig.rec.batches.front(); });
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0].type, CSClient::PARAMETER_TYPE_INT);
    EXPECT_EQ(first[0].value.intValue, 0);
    EXPECT_TRUE(rig.client->isInputParameterRegistered("HW_PATSPEED"));
    EXPECT_TRUE(rig.rec.waitFor([&] { return rig.client->getServerVersion() == "EMU-1.0"; }, 2s));

    EXPECT_EQ(rig.emu.execute("run"), "ok");
    EXPECT_EQ(rig.emu.execute("calib 3 60"), "ok");
    CSClient::Parameter p;
    ASSERT_TRUE(rig.rec.waitFor([&] {
        for (const auto& b : rig.rec.batches)
            for (const auto& x : b)
                if (x.id == "HW_PATMON_CALIB_ACTION" && x.value.intValue == 3) return true;
        return false;
    }));
    ASSERT_TRUE(rig.rec.last("HW_PATSPEED", p));
    EXPECT_EQ(p.value.intValue, 1);
    ASSERT_TRUE(rig.rec.last("HW_PATMON_CALIB_ARG1", p));
    EXPECT_EQ(p.value.intValue, 60);
    EXPECT_FALSE(p.override);
}

TEST(SimClient, SubscribeResponseWithCountZeroStillCallsBack) {
    SimRig rig(emulatorOn("127.0.4.32"));
    ASSERT_TRUE(rig.open());
    rig.emu.sendFrame(SimProtocol::SIM, simSubscribeResponse({}));
    ASSERT_TRUE(rig.rec.waitFor([&] { return !rig.rec.inputRegistrations.empty() && !rig.rec.batches.empty(); }));
    rig.rec.locked([&] {
        EXPECT_TRUE(rig.rec.inputRegistrations.front().empty());
        EXPECT_TRUE(rig.rec.batches.front().empty());
    });
}

TEST(SimClient, UpdatesSkipIdZeroAndUnknownIdsAndKeepMessageOrder) {
    auto o = emulatorOn("127.0.4.33");
    o.sendUpdates = false;
    SimRig rig(o);
    // registered before the connection, so that exactly one subscription goes out
    ASSERT_EQ(rig.client->registerInputParameters(kHardware), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.registered());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.rec.batches.size() == 1; }));
    unsigned speed = rig.emu.serverId("HW_PATSPEED"), action = rig.emu.serverId("HW_PATMON_CALIB_ACTION"),
             arg = rig.emu.serverId("HW_PATMON_CALIB_ARG1");
    // ids 0 and unknown only: no callback
    rig.emu.sendFrame(SimProtocol::SIM, simBody(0x0003, {1u << 16, 0, 2, 0, 1, 5, 999, 1, 6}));
    // count 0: no callback
    rig.emu.sendFrame(SimProtocol::SIM, simBody(0x0003, {1u << 16, 0, 0}));
    // three known ids, a float among them, and a count beyond the body
    rig.emu.sendFrame(SimProtocol::SIM, simBody(0x0003, {1u << 16, 0, 3, arg, 1, 60, speed, 0, bits(1.5f), action, 1,
                                                         std::uint32_t(-2)}));
    rig.emu.sendFrame(SimProtocol::SIM, simBody(0x0003, {1u << 16, 0, 100000, speed, 1, 7}));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.rec.batches.size() >= 3; }));
    std::this_thread::sleep_for(100ms);
    rig.rec.locked([&] {
            ASSERT_EQ(rig.rec.batches.size(), 3u);
        const auto& b = rig.rec.batches[1];
        ASSERT_EQ(b.size(), 3u);
        EXPECT_EQ(b[0].id, "HW_PATMON_CALIB_ARG1");
        EXPECT_EQ(b[0].value.intValue, 60);
        EXPECT_EQ(b[1].id, "HW_PATSPEED");
        EXPECT_EQ(b[1].type, CSClient::PARAMETER_TYPE_FLOAT);
        EXPECT_FLOAT_EQ(b[1].value.floatValue, 1.5f);
        EXPECT_EQ(b[2].value.intValue, -2);
        ASSERT_EQ(rig.rec.batches[2].size(), 1u);  // the entry that is in the body
        EXPECT_EQ(rig.rec.batches[2][0].value.intValue, 7);
    });
}

TEST(SimClient, VersionResponseWithSimulatorId40000IsNotAdoptedButResubscribes) {
    SimRig rig(emulatorOn("127.0.4.34"));
    // registered before the connection, so that exactly one subscription goes out
    ASSERT_EQ(rig.client->registerInputParameters(kHardware), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.registered());
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::SIM, 2, 0x0001, 1, 2s));
    // status other than 1 changes nothing
    rig.emu.sendFrame(SimProtocol::SIM, simVersionResponse(3, "IGNORED", 9, 0));
    snlog::Capture capture;
    rig.client.reset(new SimClient(1, 1, quickTiming()));  // not quiet, to see the line
    rig.client->addCallbackInterface(&rig.rec);
    ASSERT_EQ(rig.client->registerInputParameters(kHardware), CSClient::RESULT_OK);
    ASSERT_EQ(rig.client->open("127.0.4.34", 55580), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getConnectionState() == CSClient::STATE_CONNECTED; }));
    ASSERT_TRUE(rig.registered());
    unsigned before = rig.emu.receivedCount(SimProtocol::SIM, 2, 0x0001);
    rig.emu.sendFrame(SimProtocol::SIM, simVersionResponse(40000, "RHM 7", 5, 1));
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::SIM, 2, 0x0001, before + 1, 3s));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getServerVersion() == "RHM 7"; }));
    // The receive thread takes the protocol version and writes its lines
    // after the fresh subscription has gone out: wait for its last line.
    testsupport::eventually(
        [&] { return capture.out().find("Found protocol version: 5\n") != std::string::npos; }, 3000ms);
    std::string out = capture.out();
    EXPECT_NE(out.find("Simulator ID is now 40000 -> reconnecting under the new id"), std::string::npos) << out;
    EXPECT_NE(out.find("Found simulator id: 40000"), std::string::npos);
    EXPECT_NE(out.find("Found protocol version: 5"), std::string::npos);
    EXPECT_EQ(rig.client->engine()->getSimulatorId(), 1u);
    EXPECT_EQ(rig.client->getProtocolVersion(), 5u);
    // the fresh subscription still carries the old id in its simulator word
    auto subs = bodiesOf(rig.emu, SimProtocol::SIM, 2, 0x0001);
    EXPECT_EQ(simemu::get32(subs.back(), 12), 1u << 16);
    EXPECT_EQ(simemu::get32(subs.back(), 16), 4u);
}

TEST(SimClient, SimulatorIdLimitAndRequestsWhileNotConnected) {
    SimulatorProtocol engine(40000, 2);  // the limit does not apply at construction
    EXPECT_EQ(engine.getSimulatorId(), 40000u);
    EXPECT_EQ(engine.setSimulatorId(0x7FFF), CSClient::RESULT_OK);
    EXPECT_EQ(engine.getSimulatorId(), 0x7FFFu);
    EXPECT_EQ(engine.setSimulatorId(0x8000), CSClient::RESULT_INVALID);
    EXPECT_EQ(engine.getSimulatorId(), 0x7FFFu);

    // only protocol 4, subprotocol 2 messages of at least 12 bytes are read
    Recorder rec;
    engine.addCallbackInterface(&rec);
    Bytes foreign = simBody(0x0101, {0, 0});
    foreign[0] = 1;
    engine.handleReceivedMessage(raw(foreign));
    foreign[0] = 4;
    foreign[1] = 3;
    engine.handleReceivedMessage(raw(foreign));
    engine.handleReceivedMessage(raw(Bytes{4, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0x01}));
    EXPECT_EQ(rec.batchCount(), 0u);
    engine.handleReceivedMessage(raw(simBody(0x0101, {0, 0})));
    EXPECT_EQ(rec.batchCount(), 1u);

    SimClient client(1, 2);
    EXPECT_EQ(client.registerInputParameters(kHardware), CSClient::RESULT_OK);
    EXPECT_EQ(client.registerOutputParameter({"OUT", CSClient::PARAMETER_TYPE_INT}), CSClient::RESULT_OK);
    EXPECT_EQ(client.publishParameter(CSClient::Parameter::makeInt("OUT", 4)), CSClient::RESULT_OK);
    EXPECT_EQ(client.engine()->requestSimulatorVersion(), CSClient::RESULT_NOT_CONNECTED);
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 4u);
}

TEST(SimClient, PublishesIntegersWithValueKindOneAndResendsAfterConfirmation) {
    auto o = emulatorOn("127.0.4.35");
    o.answerSubscriptions = false;  // the test confirms outputs itself
    SimRig rig(o);
    ASSERT_EQ(rig.client->registerOutputParameters(std::vector<CSClient::OutputDef>{
                  {"OUT_F", CSClient::PARAMETER_TYPE_FLOAT}, {"OUT_I", CSClient::PARAMETER_TYPE_INT},
                  {"OUT_NEVER", CSClient::PARAMETER_TYPE_INT}}),
              CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_EQ(rig.client->publishParameters(std::vector<CSClient::Parameter>{
                  CSClient::Parameter::makeInt("OUT_I", -5), CSClient::Parameter::makeFloat("OUT_F", 2.5f)}),
              CSClient::RESULT_OK);
    // nothing is confirmed yet: nothing is published
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.emu.receivedCount(SimProtocol::SIM, 2, 0x0003), 0u);

    Bytes confirm = simBody(0x0102, {1u << 16, 4});
    for (auto e : {std::make_pair(71u, "OUT_F"), std::make_pair(72u, "OUT_I"), std::make_pair(73u, "OUT_NEVER"),
                   std::make_pair(74u, "NOT_MINE")}) {
        simemu::put32(confirm, e.first);
        for (int k = 0; k < 3; ++k) simemu::put32(confirm, 0);
        simemu::putName(confirm, e.second);
    }
    snlog::Capture capture;
    rig.emu.sendFrame(SimProtocol::SIM, confirm);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::SIM, 2, 0x0003, 1, 3s));
    ASSERT_TRUE(rig.rec.waitFor([&] { return !rig.rec.outputRegistrations.empty(); }));
    std::string err = capture.err();
    EXPECT_NE(err.find("Parameter not found: NOT_MINE(74)"), std::string::npos) << err;
    EXPECT_EQ(rig.rec.locked([&] { return rig.rec.outputRegistrations.front().size(); }), 3u);
    EXPECT_EQ(rig.client->getNumberOfRegisteredOutputParameters(), 3u);

    auto pub = bodiesOf(rig.emu, SimProtocol::SIM, 2, 0x0003).front();
    EXPECT_EQ(simemu::get32(pub, 16), 0u);  // mode 0
    ASSERT_EQ(simemu::get32(pub, 20), 2u);  // the never-published output is only confirmed
    ASSERT_EQ(pub.size(), 24u + 24);
    EXPECT_EQ(simemu::get32(pub, 24), 71u);
    EXPECT_EQ(simemu::get32(pub, 28), 0u);
    EXPECT_FLOAT_EQ(simemu::getFloat(pub, 32), 2.5f);
    EXPECT_EQ(simemu::get32(pub, 36), 72u);
    EXPECT_EQ(simemu::get32(pub, 40), 1u);
    EXPECT_EQ(simemu::get32(pub, 44), 0xFFFFFFFBu);  // -5

    ASSERT_EQ(rig.client->publishParameter(CSClient::Parameter::makeInt("OUT_I", 12)), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::SIM, 2, 0x0003, 2, 3s));
    auto second = bodiesOf(rig.emu, SimProtocol::SIM, 2, 0x0003).back();
    EXPECT_EQ(simemu::get32(second, 20), 1u);
    EXPECT_EQ(simemu::get32(second, 32), 12u);
}

TEST(SimClient, ServerGoesDownAndComesBackWithEverythingRegisteredAgain) {
    SimRig rig(emulatorOn("127.0.4.36"));
    // registered before the connection, so that exactly one subscription goes out
    ASSERT_EQ(rig.client->registerInputParameters(kHardware), CSClient::RESULT_OK);
    ASSERT_EQ(rig.client->registerOutputParameter({"OUT", CSClient::PARAMETER_TYPE_FLOAT}), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.registered());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfRegisteredOutputParameters() == 1; }));
    ASSERT_EQ(rig.client->publishParameter(CSClient::Parameter::makeFloat("OUT", 4.25f)), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForPublished(SimProtocol::SIM, "OUT", 2s));

    EXPECT_EQ(rig.emu.execute("down"), "ok");
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getConnectionState() != CSClient::STATE_CONNECTED; }));
    EXPECT_EQ(rig.emu.execute("set HW_PATMON_ENABLED 1"), "ok");
    EXPECT_EQ(rig.emu.execute("up"), "ok");
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getConnectionState() == CSClient::STATE_CONNECTED; }, 10s));
    ASSERT_TRUE(rig.emu.waitForSubscribedCount(SimProtocol::SIM, 4, 5s));
    ASSERT_TRUE(rig.registered());
    // the last published value goes out again under the confirmed id
    ASSERT_TRUE(rig.emu.waitForPublishedCount(SimProtocol::SIM, 2, 5s));
    SimulatorEmulator::Published p;
    ASSERT_TRUE(rig.emu.lastPublished(SimProtocol::SIM, "OUT", p));
    EXPECT_FLOAT_EQ(p.value, 4.25f);
    // the subscribe response after the reconnection carries the current value
    ASSERT_TRUE(rig.rec.waitFor([&] {
        CSClient::Parameter x;
        return rig.rec.lastUnlocked("HW_PATMON_ENABLED", x) && x.value.intValue == 1;
    }));
    EXPECT_EQ(rig.emu.connectionsAccepted(SimProtocol::SIM), 2u);
    rig.rec.locked([&] {
        bool lost = false;
        for (const auto& s : rig.rec.states)
            if (s.first == CSClient::STATE_CONNECTED && s.second == CSClient::STATE_CONNECTION_LOST) lost = true;
        EXPECT_TRUE(lost);
    });
}
