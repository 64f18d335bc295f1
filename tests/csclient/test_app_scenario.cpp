// APP scenario and patient commands, their refusals and bytes, the
// responses and the scenario events.
#include "Log.h"
#include "test_app_support.h"

#include <thread>

using namespace apptest;
using com_vela::ActiveSce;
using com_vela::AppProtocol;

namespace {

Bytes loadResponse(unsigned sce, unsigned patient, int status = -1) {
    Bytes b = body(1, 2, 0x0102, {0, sce, patient});
    if (status >= 0) simemu::put32(b, std::uint32_t(status));
    return b;
}

struct EngineRig {
    AppProtocol engine{2};
    Recorder rec;
    EngineRig() { engine.addCallbackInterface(&rec); }
    void feed(const Bytes& b) { engine.handleReceivedMessage(raw(b)); }
    ActiveSce sce() const { return engine.getActiveSce(); }
};

}  // namespace

TEST(AppScenario, CommandsRefusedWithoutAPatient) {
    EngineRig r;
    AppProtocol& e = r.engine;
    EXPECT_EQ(e.stopSce(), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.deliverBaby(), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.pauseDelivery(true), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.transferToPostpartum(), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.administerDrug("X", AppClient::DRUG_ADMINISTRATION_BOLUS, 1), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.resetDrugConcentration("X"), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.bookmarkPatient(1), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.rewindPatient(1), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.savePatient(1), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.pauseSce(true), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.changeSpeedSce(4), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.setSimulationMode(AppClient::MODE_STOPPED), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.setSimulationMode(AppClient::MODE_PAUSED), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.setSimulationMode(AppClient::MODE_SPEED_8X), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.setSimulationMode(AppClient::MODE_LOADED), CSClient::RESULT_REFUSED);
    EXPECT_EQ(e.setSimulationMode(static_cast<AppClient::SimulationMode>(9)), CSClient::RESULT_REFUSED);
    EXPECT_EQ(e.sendStartSce(0, true), CSClient::RESULT_REFUSED);
    // these go to the wire (and find it closed)
    EXPECT_EQ(e.sendSentrelCalibrationCommand(1, 2), CSClient::RESULT_NOT_CONNECTED);
    EXPECT_EQ(e.loadSce(7, 9), CSClient::RESULT_NOT_CONNECTED);
    EXPECT_EQ(r.sce().secondaryId.load(), 0u);  // the record reads all zero while no patient is active
    EXPECT_EQ(r.rec.sceCount(), 0u);
}

TEST(AppScenario, LoadedScenarioRefusesWhatNeedsARunningOne) {
    EngineRig r;
    AppProtocol& e = r.engine;
    EXPECT_EQ(e.loadSce(7, 9), CSClient::RESULT_NOT_CONNECTED);
    r.feed(loadResponse(7, 12, 1));
    ActiveSce a = r.sce();
    EXPECT_EQ(a.mode.load(), AppClient::MODE_LOADED);
    EXPECT_EQ(a.patientId.load(), 12u);
    EXPECT_EQ(a.sceId.load(), 7u);
    EXPECT_EQ(a.secondaryId.load(), 9u);
    ASSERT_EQ(r.rec.sceCount(), 1u);
    EXPECT_EQ(r.rec.sce[0].what, "loaded");
    EXPECT_EQ(r.rec.sce[0].patientId, 12u);
    EXPECT_EQ(r.rec.sce[0].sceId, 7u);
    EXPECT_EQ(r.rec.sce[0].secondaryId, 9u);

    EXPECT_EQ(e.loadSce(1, 1), CSClient::RESULT_BUSY);
    EXPECT_EQ(e.startSce(8, 10), CSClient::RESULT_BUSY);
    EXPECT_EQ(e.startSce(7, 0), CSClient::RESULT_NOT_CONNECTED);  // matching scenario: start is sent
    EXPECT_EQ(e.startSce(8, 9), CSClient::RESULT_NOT_CONNECTED);  // matching secondary id
    EXPECT_EQ(e.setSimulationMode(AppClient::MODE_SPEED_4X), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.setSimulationMode(AppClient::MODE_PAUSED), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.deliverBaby(), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.administerDrug("X", AppClient::DRUG_ADMINISTRATION_INFUSION, 1), CSClient::RESULT_NOT_RUNNING);
    EXPECT_EQ(e.resetDrugConcentration("X"), CSClient::RESULT_NOT_RUNNING);
    // patient commands only need the patient
    EXPECT_EQ(e.bookmarkPatient(1), CSClient::RESULT_NOT_CONNECTED);
    EXPECT_EQ(e.rewindPatient(1), CSClient::RESULT_NOT_CONNECTED);
    EXPECT_EQ(e.savePatient(1), CSClient::RESULT_NOT_CONNECTED);
    EXPECT_EQ(e.stopSce(), CSClient::RESULT_NOT_CONNECTED);
}

TEST(AppScenario, CommandBytesOnTheWire) {
    auto o = emulatorOn("127.0.4.81");
    o.patientId = 0;
    o.answerScenario = false;
    AppRig rig(o);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.emu.waitForClients(SimProtocol::APP, 1, 2s));
    AppClient& c = *rig.client;
    EXPECT_EQ(c.loadSce(7, 9), CSClient::RESULT_OK);
    rig.emu.sendFrame(SimProtocol::APP, loadResponse(7, 12, 1));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getActiveSce().mode == AppClient::MODE_LOADED; }));
    EXPECT_EQ(c.startSce(7, 0), CSClient::RESULT_OK);
    rig.emu.sendFrame(SimProtocol::APP, appEvent(0x0112, {12, 1}));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getActiveSce().mode == AppClient::MODE_SPEED_1X; }));
    EXPECT_EQ(c.setSimulationMode(AppClient::MODE_SPEED_4X), CSClient::RESULT_OK);
    EXPECT_EQ(c.setSimulationMode(AppClient::MODE_PAUSED), CSClient::RESULT_OK);
    EXPECT_EQ(c.deliverBaby(), CSClient::RESULT_OK);
    EXPECT_EQ(c.pauseDelivery(true), CSClient::RESULT_OK);
    EXPECT_EQ(c.transferToPostpartum(), CSClient::RESULT_OK);
    EXPECT_EQ(c.administerDrug("X", AppClient::DRUG_ADMINISTRATION_INFUSION, 2.5f), CSClient::RESULT_OK);
    EXPECT_EQ(c.resetDrugConcentration("AB"), CSClient::RESULT_OK);
    EXPECT_EQ(c.bookmarkPatient(-42), CSClient::RESULT_OK);
    EXPECT_EQ(c.rewindPatient(5), CSClient::RESULT_OK);
    EXPECT_EQ(c.savePatient(-1), CSClient::RESULT_OK);
    EXPECT_EQ(c.sendSentrelCalibrationCommand(3, 60), CSClient::RESULT_OK);
    EXPECT_EQ(c.stopSce(), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x000E, 1, 3s));

    std::vector<Bytes> got;
    for (const auto& m : rig.emu.received(SimProtocol::APP))
        if (!m.flowControl && (m.subprotocol() == 2 || m.subprotocol() == 4) && m.code() != 0x0051) got.push_back(m.body);
    Bytes drug = body(1, 2, 0x0013, {12, 0, 1, bits(2.5f)});
    drug.push_back('X');
    drug.push_back(0);
    Bytes reset = body(1, 2, 0x0019, {12, 0});
    for (char ch : {'A', 'B', '\0'}) reset.push_back(std::uint8_t(ch));
    Bytes bookmark = body(1, 2, 0x000F, {12, 3});
    for (char ch : {'-', '4', '2'}) bookmark.push_back(std::uint8_t(ch));
    Bytes calib = body(4, 4, 0x0008, {1, 3, 60});
    std::vector<Bytes> want = {
        body(1, 2, 0x0002, {0, 7}),
        body(1, 2, 0x0003, {12, 1}),
        body(1, 2, 0x0005, {12, 0}),
        body(1, 2, 0x0004, {12, bits(4.0f)}),
        body(1, 2, 0x0005, {12, 1}),
        body(1, 2, 0x0030, {12, 0, 0}),
        body(1, 2, 0x0030, {12, 1, 1}),
        body(1, 2, 0x0030, {12, 3, 0}),
        drug,
        reset,
        bookmark,
        body(1, 2, 0x0010, {12, 5}),
        body(1, 2, 0x000A, {12, 0xFFFFFFFF}),
        calib,
        body(1, 2, 0x000E, {12}),
    };
    // the engine writes the real body length at offset 4
    for (auto& w : want) simemu::set32(w, 4, std::uint32_t(w.size()));
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "message " << i;
    EXPECT_EQ(drug.size(), 30u);
    EXPECT_EQ(bookmark.size(), 23u);
}

TEST(AppScenario, TrainingCaseAndItsResponse) {
    auto o = emulatorOn("127.0.4.82");
    o.patientId = 0;
    AppRig rig(o);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.emu.waitForClients(SimProtocol::APP, 1, 2s));
    EXPECT_EQ(rig.client->startSce(5, 6), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getActiveSce().sceId == 5; }));
    auto run = bodiesOf(rig.emu, SimProtocol::APP, 2, 0x0050);
    ASSERT_EQ(run.size(), 1u);
    EXPECT_EQ(simemu::get32(run[0], 12), 5u);
    EXPECT_EQ(simemu::get32(run[0], 16), 6u);
    EXPECT_EQ(run[0].size(), 20u);
    ActiveSce a = rig.client->getActiveSce();
    EXPECT_EQ(a.mode.load(), AppClient::MODE_SPEED_1X);
    EXPECT_EQ(a.secondaryId.load(), 6u);
    EXPECT_EQ(a.patientId.load(), rig.emu.activePatientId());
    EXPECT_EQ(rig.client->startSce(5, 6), CSClient::RESULT_BUSY);

    EngineRig r;
    r.feed(appEvent(0x0112, {30, 1}));
    r.feed(body(1, 2, 0x0150, {8, 9, 31, 1}));  // another patient: ignored
    EXPECT_EQ(r.sce().sceId.load(), 0u);
    r.feed(body(1, 2, 0x0150, {8, 9, 30, 1}));
    EXPECT_EQ(r.sce().sceId.load(), 8u);
    EXPECT_EQ(r.sce().secondaryId.load(), 9u);
    r.feed(body(1, 2, 0x0150, {8, 9, 30, 0}));
    EXPECT_EQ(r.sce().patientId.load(), 0u);
}

TEST(AppScenario, LoadAndStartResponses) {
    struct Case {
        Bytes message;
        bool success;
    };
    Bytes long32 = loadResponse(7, 12, 0);
    simemu::put32(long32, 0);
    for (const Case& c : {Case{loadResponse(7, 12), true}, Case{long32, true}, Case{loadResponse(7, 12, 1), true},
                          Case{loadResponse(7, 12, 0), false}}) {
        EngineRig r;
        r.engine.loadSce(7, 9);
        r.feed(c.message);
        ASSERT_EQ(r.rec.sceCount(), 1u) << c.message.size();
        if (c.success) {
            EXPECT_EQ(r.rec.sce[0].what, "loaded");
            EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_LOADED);
        } else {
            EXPECT_EQ(r.rec.sce[0].what, "started");
            EXPECT_EQ(r.rec.sce[0].result, CSClient::RESULT_REFUSED);
            EXPECT_EQ(r.rec.sce[0].secondaryId, 9u);
            EXPECT_EQ(r.sce().patientId.load(), 0u);
        }
    }
    EngineRig r;
    r.feed(body(1, 2, 0x0102, {0, 7}));  // shorter than 24: ignored
    EXPECT_EQ(r.rec.sceCount(), 0u);
    r.engine.loadSce(7, 9);
    r.feed(loadResponse(7, 12, 1));
    r.feed(body(1, 2, 0x0103, {12, 1}));  // accepted: the event will tell
    EXPECT_EQ(r.rec.sceCount(), 1u);
    r.feed(body(1, 2, 0x0103, {12, 0}));
    ASSERT_EQ(r.rec.sceCount(), 2u);
    EXPECT_EQ(r.rec.sce[1].what, "started");
    EXPECT_EQ(r.rec.sce[1].patientId, 12u);
    EXPECT_EQ(r.rec.sce[1].sceId, 7u);
    EXPECT_EQ(r.rec.sce[1].secondaryId, 9u);
    EXPECT_EQ(r.rec.sce[1].result, CSClient::RESULT_REFUSED);
    // ids cleared, mode kept (read straight from the engine's record)
    EXPECT_EQ(r.engine.getActiveSce().patientId.load(), 0u);
    EXPECT_EQ(r.engine.setSimulationMode(AppClient::MODE_SPEED_1X), CSClient::RESULT_NOT_RUNNING);
}

TEST(AppScenario, EventsChangeTheRecord) {
    EngineRig r;
    r.feed(appEvent(0x0111, {12, 7, 0}));
    ASSERT_EQ(r.rec.sceCount(), 1u);
    EXPECT_EQ(r.rec.sce[0].what, "started");
    EXPECT_EQ(r.rec.sce[0].result, CSClient::RESULT_REFUSED);
    r.feed(appEvent(0x0111, {12, 7, 1}));
    EXPECT_EQ(r.rec.sceCount(), 1u);  // success: no callback
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_PAUSED);
    EXPECT_EQ(r.sce().sceId.load(), 7u);
    r.feed(appEvent(0x0112, {12, 1}));
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_SPEED_1X);
    EXPECT_EQ(r.rec.sce.back().what, "started");
    EXPECT_EQ(r.rec.sce.back().sceId, 7u);
    EXPECT_EQ(r.rec.sce.back().result, CSClient::RESULT_OK);

    r.feed(appEvent(0x0113, {99, 1}));  // another patient: reported, record kept
    EXPECT_EQ(r.rec.sce.back().what, "mode");
    EXPECT_EQ(r.rec.sce.back().patientId, 99u);
    EXPECT_EQ(r.rec.sce.back().mode, AppClient::MODE_PAUSED);
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_SPEED_1X);
    r.feed(appEvent(0x0113, {12, 0}));
    EXPECT_EQ(r.rec.sce.back().result, CSClient::RESULT_REFUSED);
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_SPEED_1X);
    r.feed(appEvent(0x0113, {12, 1}));
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_PAUSED);

    std::size_t n = r.rec.sceCount();
    AppProtocol loud(0);
    Recorder rec2;
    loud.addCallbackInterface(&rec2);
    loud.handleReceivedMessage(raw(appEvent(0x0112, {12, 1})));
    {
        snlog::Capture capture;
        loud.handleReceivedMessage(raw(appEvent(0x0117, {12, bits(2.0f), 1})));
        EXPECT_EQ(capture.err(), "Sce 12 Event with unknown speed: 2\n");
    }
    EXPECT_EQ(rec2.sceCount(), 1u);
    r.feed(appEvent(0x0117, {12, bits(0.0f), 1}));  // speed 0 is no pause
    EXPECT_EQ(r.rec.sceCount(), n);
    r.feed(appEvent(0x0117, {12, bits(4.0f), 1}));
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_SPEED_4X);
    EXPECT_EQ(r.rec.sce.back().mode, AppClient::MODE_SPEED_4X);
    EXPECT_EQ(r.rec.sce.back().result, CSClient::RESULT_OK);
    r.feed(appEvent(0x0117, {12, bits(8.0f), 0}));
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_SPEED_4X);
    EXPECT_EQ(r.rec.sce.back().result, CSClient::RESULT_REFUSED);
    r.feed(appEvent(0x0117, {12, bits(8.0f)}));  // shorter than 24: ignored
    EXPECT_EQ(r.rec.sce.back().mode, AppClient::MODE_SPEED_8X);
    std::size_t before = r.rec.sceCount();
    r.feed(appEvent(0x0117, {12, bits(8.0f)}));
    r.feed(appEvent(0x0116, {12, 1}));        // not an event we know
    r.feed(appEvent(0x0112, {12}));           // too short
    EXPECT_EQ(r.rec.sceCount(), before);

    r.feed(appEvent(0x0115, {12, 1}));
    EXPECT_EQ(r.rec.sce.back().what, "reset");
    EXPECT_EQ(r.rec.sce.back().sceId, 7u);
    EXPECT_EQ(r.sce().mode.load(), AppClient::MODE_SPEED_4X);
    r.feed(appEvent(0x0114, {12, 0}));
    EXPECT_EQ(r.sce().patientId.load(), 12u);  // a failed stop keeps the record
    EXPECT_EQ(r.rec.sce.back().result, CSClient::RESULT_REFUSED);
    r.feed(appEvent(0x0114, {12, 1}));
    EXPECT_EQ(r.rec.sce.back().what, "stopped");
    EXPECT_EQ(r.rec.sce.back().sceId, 7u);
    ActiveSce a = r.engine.getActiveSce();
    EXPECT_EQ(a.patientId.load(), 0u);
    EXPECT_EQ(a.sceId.load(), 0u);
    EXPECT_EQ(a.mode.load(), AppClient::MODE_STOPPED);
}

TEST(AppScenario, StoppedEventForgetsServerIdsUntilTheNextStart) {
    auto o = emulatorOn("127.0.4.83");
    o.sendUpdates = false;
    AppRig rig(o);
    ASSERT_EQ(rig.client->registerInputParameter({"HRPM", CSClient::PARAMETER_TYPE_INT, 0}), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->isInputParameterRegistered("HRPM"); }));
    ASSERT_TRUE(rig.emu.waitForClients(SimProtocol::APP, 1, 2s));
    unsigned hr = rig.emu.serverId("HRPM");
    ASSERT_TRUE(rig.rec.waitFor([&] { return !rig.rec.batches.empty(); }));  // the subscribe response's values
    std::size_t base = rig.rec.batchCount();
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(1, 0, {{hr, 80.0f}}));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.rec.batches.size() == base + 1; }));

    EXPECT_EQ(rig.emu.execute("stop"), "ok");
    ASSERT_TRUE(rig.rec.waitFor([&] { return !rig.rec.sce.empty() && rig.rec.sce.back().what == "stopped"; }));
    EXPECT_EQ(rig.client->getActiveSce().patientId.load(), 0u);
    EXPECT_EQ(rig.client->getNumberOfRegisteredInputParameters(), 0u);  // the id maps are empty
    EXPECT_EQ(rig.client->getNumberOfUnregisteredInputParameters(), 1u);
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(1, 0, {{hr, 81.0f}}));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rig.rec.batchCount(), base + 1);  // the old id maps to nothing

    unsigned subs = rig.emu.receivedCount(SimProtocol::APP, 2, 0x0006);
    EXPECT_EQ(rig.emu.execute("start"), "ok");  // started event: registered again
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x0006, subs + 1, 3s));
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfRegisteredInputParameters() == 1; }));
    rig.emu.sendFrame(SimProtocol::APP, appUpdate(rig.emu.activePatientId(), 0, {{hr, 82.0f}}));
    EXPECT_TRUE(rig.rec.waitFor([&] {
        CSClient::Parameter p;
        return rig.rec.lastUnlocked("HRPM", p) && p.value.intValue == 82;
    }));
}
