// APP parameter traffic: subscription splitting, no-patient refusals,
// updates and their override flags, publishing and its re-sending.
#include "Log.h"
#include "test_app_support.h"

#include <deque>
#include <thread>

using namespace apptest;
using com_vela::AppProtocol;
using com_vela::CSClientProtocol;

namespace {

std::vector<CSClient::InputDef> many(const std::string& prefix, unsigned n) {
    std::vector<CSClient::InputDef> v;
    for (unsigned i = 0; i < n; ++i) v.push_back({prefix + std::to_string(i), CSClient::PARAMETER_TYPE_FLOAT, 0});
    return v;
}

// Sizes of the messages the splitting would send, with scripted results.
class SplitRecorder : public AppProtocol {
public:
    SplitRecorder() : AppProtocol(2) {}
    std::vector<std::size_t> inputs, outputs;
    std::deque<CSClient::Result> results;
    CSClient::Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& e) override {
        if (e.size() > MAX_SUBSCRIPTION_ENTRIES) return AppProtocol::sendInputSubscriptionRequest(e);
        inputs.push_back(e.size());
        return next();
    }
    CSClient::Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& e) override {
        if (e.size() > MAX_SUBSCRIPTION_ENTRIES) return AppProtocol::sendOutputSubscriptionRequest(e);
        outputs.push_back(e.size());
        return next();
    }

private:
    CSClient::Result next() {
        if (results.empty()) return CSClient::RESULT_OK;
        CSClient::Result r = results.front();
        results.pop_front();
        return r;
    }
};

}  // namespace

TEST(AppParameters, LargeSubscriptionsAreSplitOnTheWire) {
    auto o = emulatorOn("127.0.4.71");
    o.sendUpdates = false;
    AppRig rig(o);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_EQ(rig.client->registerInputParameters(many("A", 121)), CSClient::RESULT_OK);
    ASSERT_EQ(rig.client->registerInputParameters(many("B", 240)), CSClient::RESULT_OK);
    ASSERT_EQ(rig.client->registerInputParameters(many("C", 241)), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x0006, 7, 5s));
    std::vector<std::uint32_t> counts;
    for (const auto& b : bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0006)) {
        counts.push_back(simemu::get32(b, 16));
        EXPECT_EQ(b.size(), 20u + 40 * simemu::get32(b, 16));
    }
    EXPECT_EQ(counts, (std::vector<std::uint32_t>{60, 61, 120, 120, 120, 60, 61}));
    auto first = bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0006).front();
    EXPECT_EQ(simemu::getName(first, 20 + 8), "A0");     // in id order, the first half first
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfUnregisteredInputParameters() == 0; }));
    EXPECT_EQ(rig.client->getNumberOfRegisteredInputParameters(), 602u);
}

TEST(AppParameters, SplittingStopsAtTheFirstFailedHalf) {
    SplitRecorder engine;
    snlog::Capture capture;
    engine.results = {CSClient::RESULT_FAILED};
    EXPECT_EQ(engine.registerInputParameters(many("X", 241).data(), 241), CSClient::RESULT_FAILED);
    EXPECT_EQ(engine.inputs, (std::vector<std::size_t>{120}));

    engine.unregisterAllLocalParameters();
    engine.inputs.clear();
    engine.results = {CSClient::RESULT_OK, CSClient::RESULT_FAILED};
    EXPECT_EQ(engine.registerInputParameters(many("Y", 241).data(), 241), CSClient::RESULT_FAILED);
    EXPECT_EQ(engine.inputs, (std::vector<std::size_t>{120, 60}));  // the 61 never go out

    std::vector<CSClient::OutputDef> outs;
    for (unsigned i = 0; i < 121; ++i) outs.push_back({"O" + std::to_string(i), CSClient::PARAMETER_TYPE_INT});
    engine.results = {};
    EXPECT_EQ(engine.registerOutputParameters(outs.data(), 121), CSClient::RESULT_OK);
    EXPECT_EQ(engine.outputs, (std::vector<std::size_t>{60, 61}));
    EXPECT_EQ(capture.out(), "");  // quiet

    AppProtocol loud(0);
    capture.clear();
    EXPECT_EQ(loud.registerInputParameters(many("Z", 121).data(), 121), CSClient::RESULT_OK);
    std::string out = capture.out();
    EXPECT_NE(out.find("Splitting large input subscription: 121 parameters requested"), std::string::npos) << out;
}

TEST(AppParameters, RefusalsWithoutAnActivePatient) {
    auto o = emulatorOn("127.0.4.72");
    o.patientId = 0;
    AppRig rig(o);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    EXPECT_EQ(rig.client->getActiveSce().patientId.load(), 0u);
    EXPECT_EQ(rig.client->registerInputParameters(many("P", 3)), CSClient::RESULT_OK);
    EXPECT_EQ(rig.client->registerOutputParameter({"OUT", CSClient::PARAMETER_TYPE_FLOAT}), CSClient::RESULT_OK);
    EXPECT_EQ(rig.client->publishParameter(CSClient::Parameter::makeFloat("OUT", 1)), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(rig.client->publishOverrideParameter(CSClient::Parameter::makeFloat("OUT", 1)),
              CSClient::RESULT_NOT_RUNNING);
    AppProtocol* engine = rig.client->engine();
    CSClientProtocol::InputParameterEntry in;
    in.serverId = 5;
    CSClientProtocol::OutputParameterEntry out;
    out.serverId = 6;
    EXPECT_EQ(engine->sendInputUnsubscriptionRequest({&in}), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(engine->sendOutputUnsubscriptionRequest({&out}), CSClient::RESULT_OK);
    EXPECT_EQ(engine->sendInputUnsubscriptionRequest({}), CSClient::RESULT_OK);
    std::this_thread::sleep_for(150ms);
    for (unsigned code : {0x0006u, 0x0007u, 0x0008u, 0x0014u, 0x0015u})
        EXPECT_EQ(rig.emu.receivedCount(SimProtocol::APP, 2, code), 0u) << code;
    // the held-back subscriptions go out once a patient starts
    EXPECT_EQ(rig.emu.execute("start"), "ok");
    ASSERT_TRUE(rig.emu.waitForSubscribedCount(SimProtocol::APP, 3, 3s));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfRegisteredOutputParameters() == 1; }));
}

TEST(AppParameters, SignalParameterChecksThenNeedsAPatient) {
    AppProtocol engine(2);
    Recorder rec;
    engine.addCallbackInterface(&rec);
    CSClient::OutputDef defs[] = {{"SIG", CSClient::PARAMETER_TYPE_INT}, {"WAITING", CSClient::PARAMETER_TYPE_INT}};
    ASSERT_EQ(engine.registerOutputParameters(defs, 2), CSClient::RESULT_OK);
    engine.handleReceivedMessage(raw(patientList({1, 9, 1, 5, bits(1.0f)})));
    engine.handleReceivedMessage(raw(appPublishResponse(9, {{44, "SIG", 0}})));
    EXPECT_TRUE(engine.hasOutputParameter("SIG", true));

    snlog::Capture capture;
    CSClient::Parameter bad;
    bad.id = "SIG";
    EXPECT_EQ(engine.publishSignalParameter(bad, 1), CSClient::RESULT_INVALID);
    EXPECT_EQ(engine.publishSignalParameter(CSClient::Parameter::makeInt(std::string(32, 'L'), 1), 1),
              CSClient::RESULT_INVALID);
    EXPECT_EQ(engine.publishSignalParameter(CSClient::Parameter::makeInt("NOPE", 1), 1), CSClient::RESULT_INVALID);
    EXPECT_EQ(engine.publishSignalParameter(CSClient::Parameter::makeInt("WAITING", 1), 1), CSClient::RESULT_REFUSED);
    std::string err = capture.err();
    EXPECT_NE(err.find("Subscription type of parameter id string 'SIG' is invalid!"), std::string::npos) << err;
    EXPECT_NE(err.find("exceeds maximum 32"), std::string::npos);
    EXPECT_NE(err.find("Unknown parameter: NOPE"), std::string::npos);
    EXPECT_NE(err.find("No subscription for: WAITING"), std::string::npos);
    EXPECT_EQ(engine.publishSignalParameter(CSClient::Parameter::makeInt("SIG", 1), 1), CSClient::RESULT_NOT_CONNECTED);

    // stopped: the output keeps its server id, but there is no patient
    engine.handleReceivedMessage(raw(appEvent(0x0114, {9, 1})));
    EXPECT_EQ(engine.publishSignalParameter(CSClient::Parameter::makeInt("SIG", 1), 1), CSClient::RESULT_NOT_RUNNING);
}

TEST(AppParameters, UpdatesTruncateIntegersAndCarryOverrideFlags) {
    auto o = emulatorOn("127.0.4.73");
    o.sendUpdates = false;
    AppRig rig(o);
    ASSERT_EQ(rig.client->registerInputParameters(std::vector<CSClient::InputDef>{
                  {"HRPM", CSClient::PARAMETER_TYPE_INT, 0}, {"SAO2", CSClient::PARAMETER_TYPE_FLOAT, 0}}),
              CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfUnregisteredInputParameters() == 0; }));
    ASSERT_TRUE(rig.emu.waitForClients(SimProtocol::APP, 1, 2s));
    ASSERT_TRUE(rig.rec.waitFor([&] { return !rig.rec.batches.empty(); }));  // the subscribe response's values
    std::size_t base = rig.rec.batchCount();
    unsigned hr = rig.emu.serverId("HRPM"), spo2 = rig.emu.serverId("SAO2");
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(1, 0, {{hr, 7.9f}, {spo2, 97.5f}, {999, 1.0f}}));
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(1, 1, {{hr, 50.0f}}));           // mode 1: dropped
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(1, 0, {{999, 50.0f}}));          // nothing known
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(1, 2, {{hr, -7.9f}}));
    rig.emu.sendFrame(SimProtocol::APP, body(1, 2, 0x0008, {1, 0, 50000, hr}));    // count past the body
    rig.emu.sendFrame(SimProtocol::APP, appSubscribeResponse(77, {{hr, "HRPM", 1}})); // another patient
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(1, 0, {{hr, 3e10f}}));           // beyond int range
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.rec.batches.size() >= base + 3; }));
    std::this_thread::sleep_for(100ms);
    rig.rec.locked([&] {
        ASSERT_EQ(rig.rec.batches.size(), base + 3);
        const auto& a = rig.rec.batches[base];
        ASSERT_EQ(a.size(), 2u);
        EXPECT_EQ(a[0].id, "HRPM");
        EXPECT_EQ(a[0].type, CSClient::PARAMETER_TYPE_INT);
        EXPECT_EQ(a[0].value.intValue, 7);
        EXPECT_FALSE(a[0].override);
        EXPECT_EQ(a[1].type, CSClient::PARAMETER_TYPE_FLOAT);
        EXPECT_FLOAT_EQ(a[1].value.floatValue, 97.5f);
        const auto& b = rig.rec.batches[base + 1];
        ASSERT_EQ(b.size(), 1u);
        EXPECT_EQ(b[0].value.intValue, -7);
        EXPECT_TRUE(b[0].override);
        EXPECT_EQ(rig.rec.batches[base + 2][0].value.intValue, 2147483647);
    });
}

TEST(AppParameters, PublishResponseResendsPlainThenOverrideValues) {
    auto o = emulatorOn("127.0.4.74");
    o.answerSubscriptions = false;
    AppRig rig(o);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.emu.waitForClients(SimProtocol::APP, 1, 2s));
    ASSERT_EQ(rig.client->registerOutputParameters(std::vector<CSClient::OutputDef>{
                  {"PLAIN", CSClient::PARAMETER_TYPE_FLOAT}, {"OVER", CSClient::PARAMETER_TYPE_INT},
                  {"QUIET", CSClient::PARAMETER_TYPE_FLOAT}}),
              CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x0007, 1, 2s));
    auto sub = bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0007).front();
    ASSERT_EQ(sub.size(), 20u + 3 * 36);
    EXPECT_EQ(simemu::get32(sub, 20), 1200u);
    EXPECT_EQ(simemu::getName(sub, 24), "PLAIN");  // in the order registered
    EXPECT_EQ(rig.client->publishParameter(CSClient::Parameter::makeFloat("PLAIN", 1.5f)), CSClient::RESULT_OK);
    EXPECT_EQ(rig.client->publishOverrideParameter(CSClient::Parameter::makeInt("OVER", 7, true)), CSClient::RESULT_OK);
    rig.emu.sendFrame(SimProtocol::APP, appPublishResponse(1, {{81, "PLAIN", 0}, {82, "OVER", 0}, {83, "QUIET", 0}}));
    ASSERT_TRUE(rig.emu.waitForPublishedCount(SimProtocol::APP, 2, 3s));
    auto pubs = bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0008);
    ASSERT_EQ(pubs.size(), 2u);
    EXPECT_EQ(pubs[0], body(1, 2, 0x0008, {1, 0, 1, 81, bits(1.5f)}));
    EXPECT_EQ(pubs[1], body(1, 2, 0x0008, {1, 2, 1, 82, bits(7.0f)}));
    ASSERT_TRUE(rig.rec.waitFor([&] { return !rig.rec.outputRegistrations.empty(); }));
    EXPECT_EQ(rig.rec.locked([&] { return rig.rec.outputRegistrations[0].size(); }), 3u);

    EXPECT_EQ(rig.client->resetOverrideParameter(CSClient::Parameter::makeInt("OVER", 2)), CSClient::RESULT_OK);
    EXPECT_EQ(rig.client->publishDeltaParameters(std::vector<CSClient::Parameter>{
                  CSClient::Parameter::makeFloat("QUIET", -0.5f)}),
              CSClient::RESULT_OK);
    EXPECT_EQ(rig.client->publishDeltaParameters(std::vector<CSClient::Parameter>{}), CSClient::RESULT_OK);
    EXPECT_EQ(rig.client->sendSignalParameter(CSClient::Parameter::makeInt("OVER", 3), 9), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForPublishedCount(SimProtocol::APP, 5, 3s));
    pubs = bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0008);
    ASSERT_EQ(pubs.size(), 4u);
    EXPECT_EQ(pubs[2], body(1, 2, 0x0008, {1, 3, 1, 82, bits(2.0f)}));
    EXPECT_EQ(pubs[3], body(1, 2, 0x0008, {1, 0x10000, 1, 83, bits(-0.5f)}));
    auto sig = bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0012);
    ASSERT_EQ(sig.size(), 1u);
    EXPECT_EQ(sig[0], body(1, 2, 0x0012, {1, 0, 1, 82, bits(3.0f), 9}));

    EXPECT_EQ(rig.client->unregisterOutputParameter("QUIET"), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x0015, 1, 2s));
    EXPECT_EQ(bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0015)[0], body(1, 2, 0x0015, {1, 1, 83}));
}

TEST(AppParameters, NoLogOptionUsesItsOwnCodeAndUnsubscriptionCarriesIds) {
    auto o = emulatorOn("127.0.4.75");
    o.sendUpdates = false;
    AppRig rig(o, 8 | 2 | 1);
    ASSERT_EQ(rig.client->registerOutputParameter({"OUT", CSClient::PARAMETER_TYPE_INT}), CSClient::RESULT_OK);
    ASSERT_EQ(rig.client->registerInputParameter({"HRPM", CSClient::PARAMETER_TYPE_INT, 3}), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfRegisteredOutputParameters() == 1; }));
    auto sub = bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0006).front();
    EXPECT_EQ(simemu::get32(sub, 20), 120000u);  // rate code 3
    EXPECT_EQ(rig.client->publishParameter(CSClient::Parameter::makeInt("OUT", -4)), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x0038, 1, 2s));
    EXPECT_EQ(rig.emu.receivedCount(SimProtocol::APP, 2, 0x0008), 0u);
    unsigned out = rig.emu.serverId("OUT");
    EXPECT_EQ(bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0038)[0], body(1, 2, 0x0038, {1, 0, 1, out, bits(-4.0f)}));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->isInputParameterRegistered("HRPM"); }));
    EXPECT_EQ(rig.client->unregisterInputParameter("HRPM"), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x0014, 1, 2s));
    EXPECT_EQ(bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0014)[0],
              body(1, 2, 0x0014, {1, 1, rig.emu.serverId("HRPM")}));
}

TEST(AppParameters, ArbitraryBodiesNeverReadPastTheirEnd) {
    AppProtocol app(2);
    com_vela::SimulatorProtocol sim(1, 2);
    Recorder rec;
    app.addCallbackInterface(&rec);
    sim.addCallbackInterface(&rec);
    CSClient::InputDef hr{"HRPM", CSClient::PARAMETER_TYPE_INT, 0};
    app.registerInputParameters(&hr, 1);
    sim.registerInputParameters(&hr, 1);
    app.handleReceivedMessage(raw(patientList({1, 4, 1, 5, bits(1.0f)})));
    app.handleReceivedMessage(raw(appSubscribeResponse(4, {{50, "HRPM", 60}})));
    ASSERT_TRUE(app.hasInputParameter("HRPM", true));

    const unsigned codes[] = {0x0002, 0x0008, 0x0106, 0x0107, 0x0102, 0x0103, 0x0150, 0x0151, 0x0111, 0x0112,
                              0x0113, 0x0114, 0x0115, 0x0117, 0x0101, 0x0003, 0x0006};
    std::unique_ptr<snlog::Capture> capture(new snlog::Capture);  // the warnings of the broken messages
    std::uint32_t seed = 12345;
    auto rnd = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int i = 0; i < 5000; ++i) {
        Bytes b(rnd() % 200);
        for (auto& x : b) x = std::uint8_t(rnd() >> 24);
        if (b.size() >= 12) {
            unsigned code = codes[rnd() % (sizeof codes / sizeof codes[0])];
            b[0] = (i % 2) ? 1 : 4;
            b[1] = std::uint8_t(1 + rnd() % 3);
            b[10] = std::uint8_t(code >> 8);
            b[11] = std::uint8_t(code);
            if (rnd() % 2) simemu::set32(b, 16 + 4 * (rnd() % 2), 0xFFFFFFFFu);  // absurd counts
        }
        auto type = (rnd() % 5 == 0) ? com_vela::RawMessage::TYPE_FLOW_CONTROL : com_vela::RawMessage::TYPE_DATA;
        app.handleReceivedMessage(raw(b, type));
        sim.handleReceivedMessage(raw(b, type));
    }
    capture.reset();
    // still decoding: a well-formed update for a known id arrives whole
    app.handleReceivedMessage(raw(patientList({1, 4, 1, 5, bits(1.0f)})));
    app.handleReceivedMessage(raw(appSubscribeResponse(4, {{50, "HRPM", 60}})));
    std::size_t before = rec.batchCount();
    app.handleReceivedMessage(raw(appUpdate(4, 0, {{50, 99.0f}})));
    ASSERT_EQ(rec.batchCount(), before + 1);
    CSClient::Parameter p;
    ASSERT_TRUE(rec.last("HRPM", p));
    EXPECT_EQ(p.value.intValue, 99);
}
