// AppClient handshake, keep-alive, patient list and version exchange.
#include "FaultyLink.h"
#include "Log.h"
#include "TestProtocol.h"
#include "TestSupport.h"
#include "test_app_support.h"

#include <atomic>
#include <future>
#include <thread>

using namespace apptest;
using com_vela::ActiveSce;
using com_vela::AppProtocol;

namespace {
std::vector<CSClient::InputDef> vitals() {
    return {{"HRPM", CSClient::PARAMETER_TYPE_INT, 0},
            {"SAO2", CSClient::PARAMETER_TYPE_FLOAT, 0},
            {"ARTLINE", CSClient::PARAMETER_TYPE_FLOAT, 1}};
}
Bytes grant() {
    Bytes b;
    simemu::put32(b, 1);
    for (int i = 0; i < 4; ++i) simemu::put32(b, 0xFFFFFFFF);
    return b;
}
// On the first entry into STATE_CONNECTED, closes the client from another
// thread and waits (bounded) for that close: it can finish only when the
// notification comes with no engine lock held.
class ClosesWhenConnected : public AppClient::Callback {
public:
    explicit ClosesWhenConnected(AppClient& c) : client(c) {}
    ~ClosesWhenConnected() override {
        if (closing.valid()) closing.wait();
    }
    void connectionStateChanged(CSClient::State, CSClient::State to) override {
        if (to != CSClient::STATE_CONNECTED || closing.valid()) return;
        closing = std::async(std::launch::async, [this] { client.engine()->forceCloseConnection(); });
        closedMeanwhile = closing.wait_for(5s) == std::future_status::ready;
    }
    void parametersUpdated(const std::vector<CSClient::Parameter>&) override {}
    std::atomic<bool> closedMeanwhile{false};

private:
    AppClient& client;
    std::future<void> closing;  // waited for outside the notification
};
}  // namespace

TEST(AppHandshake, ConnectedIsReportedWithNoEngineLockHeld) {
    AppRig rig(emulatorOn("127.0.4.84"));
    ClosesWhenConnected closer(*rig.client);
    rig.client->addCallbackInterface(&closer);
    ASSERT_TRUE(rig.open());
    EXPECT_TRUE(rig.rec.waitFor([&] { return rig.rec.states.size() >= 5; }));
    EXPECT_TRUE(closer.closedMeanwhile);
    // The close made while the connected notification was under way is
    // notified after it, never before.
    rig.rec.locked([&] {
        EXPECT_EQ(rig.rec.states,
                  (std::vector<std::pair<CSClient::State, CSClient::State>>{
                      {CSClient::STATE_CLOSED, CSClient::STATE_CONNECTING},
                      {CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING},
                      {CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED},
                      {CSClient::STATE_CONNECTED, CSClient::STATE_CLOSING},
                      {CSClient::STATE_CLOSING, CSClient::STATE_CLOSED}}));
    });
    rig.client->removeCallbackInterface(&closer);
}

// A write failing inside the handshake (the patient list request: the
// "Continuing..." path; the input subscription of the registration) gives
// the connection up. The handshake then never reports it connected: the
// client connects again and registers everything on the new connection.
TEST(AppHandshake, AWriteFailingInTheHandshakeConnectsOnlyAfterAReconnect) {
    using S = CSClient::State;
    for (const int failing : {3, 4}) {  // flow control, events subscription, patient list request, subscription
        SCOPED_TRACE(failing);
        AppRig rig(emulatorOn(failing == 3 ? "127.0.4.85" : "127.0.4.86"));
        auto* comms = new cstest::SwitchableComms(quickTiming());
        comms->failWrite = failing;
        ASSERT_TRUE(rig.client->engine()->changeCommsInterface(comms));
        ASSERT_EQ(rig.client->registerInputParameters(vitals()), CSClient::RESULT_OK);
        snlog::Capture capture;
        ASSERT_TRUE(rig.open());
        ASSERT_TRUE(rig.connected());
        ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfRegisteredInputParameters() == 3; }));
        EXPECT_EQ(comms->connects.load(), 2);
        EXPECT_EQ(rig.client->getActivePatientId(), 1u);
        rig.rec.locked([&] {
            EXPECT_EQ(rig.rec.states, (std::vector<std::pair<S, S>>{{CSClient::STATE_CLOSED, CSClient::STATE_CONNECTING},
                                                                   {CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING},
                                                                   {CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTING},
                                                                   {CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING},
                                                                   {CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED}}));
        });
        const std::string err = capture.err();
        EXPECT_NE(err.find("Error writing to server (32) \n"), std::string::npos) << err;
        EXPECT_EQ(err.find("Error refreshing active SCE's. Continuing...\n") != std::string::npos, failing == 3) << err;
    }
}

namespace {
// Holds the write of the input subscription until released, as a socket
// write to a server that stops reading does: registration holds the
// registry lock meanwhile.
class HeldSubscription : public cstest::FaultyLink {
public:
    using FaultyLink::FaultyLink;
    int writeMessage(const com_vela::RawMessage& m) override {
        const auto& d = m.getData();
        if (d.size() >= 44 && d[33] == 2 && d[42] == 0 && d[43] == 0x06) {
            std::unique_lock<std::mutex> g(mutex);
            entered = true;
            changed.notify_all();
            changed.wait_for(g, 10s, [&] { return released; });
        }
        return FaultyLink::writeMessage(m);
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> g(mutex);
        return changed.wait_for(g, 5s, [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> g(mutex);
        released = true;
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
};
}  // namespace

TEST(AppHandshake, TheActivePatientIdIsReadWhileRegistrationWaitsOnAWrite) {
    auto emu = std::make_shared<SimulatorEmulator>(emulatorOn("127.0.0.1"));  // in memory: never started
    AppClient client(3, quickTiming());
    auto* link = new HeldSubscription([emu](const Bytes& f) { return emu->feedClientBytes(SimProtocol::APP, f); }, 0,
                                      cstest::FaultyLink::Fault::error, 5ms);
    ASSERT_TRUE(client.engine()->changeCommsInterface(link));
    ASSERT_EQ(client.registerInputParameters(vitals()), CSClient::RESULT_OK);
    ASSERT_EQ(client.open("127.0.0.1", 55557), CSClient::RESULT_OK);
    ASSERT_TRUE(link->waitEntered());

    // The registry lock is held across the write: the full record waits...
    auto record = std::async(std::launch::async, [&] { return client.getActiveSce().patientId.load(); });
    EXPECT_EQ(record.wait_for(100ms), std::future_status::timeout);
    // ...the patient id does not.
    auto id = std::async(std::launch::async, [&] { return client.getActivePatientId(); });
    ASSERT_EQ(id.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(id.get(), emu->activePatientId());

    link->release();
    EXPECT_EQ(record.get(), emu->activePatientId());
    EXPECT_TRUE(testsupport::eventually([&] { return client.getConnectionState() == CSClient::STATE_CONNECTED; }, 5s));
}

TEST(AppHandshake, RunsInOrderAndConnectsAfterThePatientList) {
    auto o = emulatorOn("127.0.4.61");
    o.patientId = 12;
    o.sceId = 7;
    AppRig rig(o);
    ASSERT_EQ(rig.client->registerInputParameters(vitals()), CSClient::RESULT_OK);  // held back: no patient yet
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 2, 0x0051, 1, 3s));
    auto log = rig.emu.received(SimProtocol::APP);
    ASSERT_GE(log.size(), 5u);
    EXPECT_TRUE(log[0].flowControl);
    EXPECT_EQ(log[0].body, (Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0, 0, 0, 3}));
    EXPECT_EQ(log[1].subprotocol(), 1u);
    EXPECT_EQ(log[1].code(), 0x0020u);
    EXPECT_EQ(log[1].body, body(1, 1, 0x0020, {0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}));
    EXPECT_EQ(log[2].body, body(1, 1, 0x0001, {}));
    EXPECT_EQ(log[3].code(), 0x0006u);
    EXPECT_EQ(simemu::get32(log[3].body, 12), 12u);  // for the active patient
    EXPECT_EQ(simemu::get32(log[3].body, 16), 3u);
    EXPECT_EQ(log[4].body, body(1, 2, 0x0051, {0}));

    rig.rec.locked([&] {
        ASSERT_GE(rig.rec.states.size(), 3u);
        EXPECT_EQ(rig.rec.states[0], std::make_pair(CSClient::STATE_CLOSED, CSClient::STATE_CONNECTING));
        EXPECT_EQ(rig.rec.states[1], std::make_pair(CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING));
        EXPECT_EQ(rig.rec.states[2], std::make_pair(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED));
        ASSERT_FALSE(rig.rec.sce.empty());
        EXPECT_EQ(rig.rec.sce[0].what, "started");
        EXPECT_EQ(rig.rec.sce[0].patientId, 12u);
        EXPECT_EQ(rig.rec.sce[0].sceId, 7u);
        EXPECT_EQ(rig.rec.sce[0].result, CSClient::RESULT_OK);
    });
    ActiveSce a = rig.client->getActiveSce();
    EXPECT_EQ(a.patientId.load(), 12u);
    EXPECT_EQ(a.sceId.load(), 7u);
    EXPECT_EQ(a.mode.load(), AppClient::MODE_PAUSED);  // speed 0: the emulator starts paused
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfUnregisteredInputParameters() == 0; }));
    CSClient::Parameter hr;
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.rec.lastUnlocked("HRPM", hr); }));
    EXPECT_EQ(hr.type, CSClient::PARAMETER_TYPE_INT);
    EXPECT_EQ(hr.value.intValue, 75);
    EXPECT_TRUE(rig.rec.waitFor([&] { return rig.client->getServerVersion() == "EMU-1.0"; }, 2s));
    EXPECT_EQ(rig.client->getProtocolVersion(), 1u);

    // events subscriptions with filters
    AppProtocol* engine = rig.client->engine();
    EXPECT_EQ(engine->eventsSubscribe(AppProtocol::EVENTS_FILTER_FIRST, 5), CSClient::RESULT_OK);
    EXPECT_EQ(engine->eventsSubscribe(AppProtocol::EVENTS_FILTER_SECOND, 6), CSClient::RESULT_OK);
    EXPECT_EQ(engine->eventsSubscribe(AppProtocol::EVENTS_FILTER_THIRD, 7), CSClient::RESULT_OK);
    EXPECT_EQ(engine->eventsSubscribe(static_cast<AppProtocol::EventMode>(3), 8), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForReceived(SimProtocol::APP, 1, 0x0020, 5, 2s));
    auto events = bodiesOf(rig.emu, SimProtocol::APP, 1, 0x0020);
    EXPECT_EQ(events[1], body(1, 1, 0x0020, {0x100, 5, 0x7FFFFFFF, 0x7FFFFFFF}));
    EXPECT_EQ(events[2], body(1, 1, 0x0020, {0x200, 0x7FFFFFFF, 6, 0x7FFFFFFF}));
    EXPECT_EQ(events[3], body(1, 1, 0x0020, {0x800, 0x7FFFFFFF, 0x7FFFFFFF, 7}));
    EXPECT_EQ(events[4], body(1, 1, 0x0020, {3}));

    // a grant after the handshake changes nothing
    rig.emu.sendFrame(SimProtocol::APP, grant(), 3);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rig.emu.receivedCount(SimProtocol::APP, 1, 0x0020), 5u);
}

TEST(AppHandshake, KeepAliveSendsNothingWhileEstablishing) {
    auto o = emulatorOn("127.0.4.62");
    o.grantFlowControl = false;
    Timing timing = quickTiming();
    timing.keepAliveInterval = 40ms;
    AppRig rig(o, 3, timing);
    ASSERT_EQ(rig.client->startKeepAlive(), CSClient::RESULT_OK);
    EXPECT_EQ(rig.client->startKeepAlive(), CSClient::RESULT_FAILED);  // already running
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getConnectionState() == CSClient::STATE_ESTABLISHING; }));
    ASSERT_TRUE(rig.emu.waitForClients(SimProtocol::APP, 1, 3s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(rig.emu.keepAliveCount(), 0u);
    EXPECT_EQ(rig.client->getConnectionState(), CSClient::STATE_ESTABLISHING);
    EXPECT_EQ(rig.client->engine()->sendFlowControlMessage(AppProtocol::FLOW_CONTROL_GRANT), CSClient::RESULT_INVALID);

    rig.emu.sendFrame(SimProtocol::APP, grant(), 3);
    ASSERT_TRUE(rig.connected());
    EXPECT_TRUE(rig.emu.waitForKeepAlives(3, 3s));
    rig.client->stopKeepAlive();
    unsigned stopped = rig.emu.keepAliveCount();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(rig.emu.keepAliveCount(), stopped + 1);
    unsigned before = rig.emu.keepAliveCount();
    EXPECT_EQ(rig.client->sendKeepAlive(), CSClient::RESULT_OK);
    EXPECT_TRUE(rig.emu.waitForKeepAlives(before + 1, 2s));
    auto log = rig.emu.received(SimProtocol::APP);
    EXPECT_EQ(log.back().body, (Bytes{0, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(rig.client->startKeepAlive(), CSClient::RESULT_OK);  // may start again after a stop
}

TEST(AppHandshake, PatientListWarningsSpeedsAndStates) {
    AppProtocol engine(0);
    Recorder rec;
    engine.addCallbackInterface(&rec);
    snlog::Capture capture;
    engine.handleReceivedMessage(raw(patientList({2, 21, 4, 5, bits(2.0f), 22, 5, 5, bits(1.0f)})));
    std::string err = capture.err();
    EXPECT_NE(err.find("Warning, multiple patients in a patient list response: 2. Handling only the first one!"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Patient started but unknown speed 2. Reporting as 4x"), std::string::npos) << err;
    ActiveSce a = engine.getActiveSce();
    EXPECT_EQ(a.patientId.load(), 21u);
    EXPECT_EQ(a.sceId.load(), 4u);
    EXPECT_EQ(a.mode.load(), AppClient::MODE_SPEED_4X);
    EXPECT_EQ(rec.sceCount(), 1u);
    EXPECT_EQ(rec.sce[0].what, "refresh");  // not establishing: a refresh

    struct Case {
        std::uint32_t state;
        float speed;
        AppClient::SimulationMode mode;
    };
    for (const Case& c : {Case{5, 0.0f, AppClient::MODE_PAUSED}, Case{5, 1.9f, AppClient::MODE_SPEED_1X},
                          Case{5, 4.0f, AppClient::MODE_SPEED_4X}, Case{5, 8.5f, AppClient::MODE_SPEED_8X},
                          Case{3, 1.0f, AppClient::MODE_STOPPED}}) {
        engine.handleReceivedMessage(raw(patientList({1, 30, 31, c.state, bits(c.speed)})));
        EXPECT_EQ(engine.getActiveSce().mode.load(), c.mode) << c.state << " " << c.speed;
    }
    // no patient: the record is kept, the refresh is still reported
    engine.handleReceivedMessage(raw(patientList({0})));
    EXPECT_EQ(engine.getActiveSce().patientId.load(), 30u);
    EXPECT_EQ(rec.sceCount(), 7u);
    // a count beyond the body reads what is there and nothing more
    engine.handleReceivedMessage(raw(patientList({1, 40})));
    EXPECT_EQ(engine.getActiveSce().patientId.load(), 40u);
    EXPECT_EQ(engine.getActiveSce().sceId.load(), 0u);
}

TEST(AppHandshake, VersionResponseNeedsStatusOne) {
    AppProtocol engine(2);
    Bytes v = body(1, 2, 0x0151, {});
    simemu::putName(v, "SIM 3.2", 128);
    simemu::put32(v, 0);
    simemu::put32(v, 0);
    engine.handleReceivedMessage(raw(v));
    EXPECT_EQ(engine.getServerVersion(), "UNKNOWN");
    simemu::set32(v, 144, 1);
    engine.handleReceivedMessage(raw(v));
    EXPECT_EQ(engine.getServerVersion(), "SIM 3.2");
    EXPECT_EQ(engine.getProtocolVersion(), 1u);
    // short or foreign messages are ignored
    engine.handleReceivedMessage(raw(Bytes{1, 2, 0x7F}));
    engine.handleReceivedMessage(raw(body(1, 9, 0x0151, {1})));
    EXPECT_EQ(engine.getServerVersion(), "SIM 3.2");
}

TEST(AppHandshake, RefreshAfterTheHandshakeReportsARefreshAndRegistersNothing) {
    auto o = emulatorOn("127.0.4.63");
    o.patientId = 5;
    AppRig rig(o);
    ASSERT_EQ(rig.client->registerInputParameters(vitals()), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfUnregisteredInputParameters() == 0; }));
    std::size_t before = rig.rec.sceCount();
    EXPECT_EQ(rig.client->refreshActiveSces(), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.rec.sce.size() > before; }));
    EXPECT_EQ(rig.rec.locked([&] { return rig.rec.sce.back().what; }), "refresh");
    EXPECT_EQ(rig.client->getActiveSce().patientId.load(), 5u);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.emu.receivedCount(SimProtocol::APP, 2, 0x0006), 1u);
}

TEST(AppHandshake, ServerGoesDownAndComesBackWithEverythingRegisteredAgain) {
    auto o = emulatorOn("127.0.4.64");
    o.running = true;
    AppRig rig(o);
    ASSERT_EQ(rig.client->registerInputParameters(vitals()), CSClient::RESULT_OK);
    ASSERT_EQ(rig.client->registerOutputParameter({"OUT", CSClient::PARAMETER_TYPE_INT}), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.open());
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getNumberOfRegisteredOutputParameters() == 1; }));
    ASSERT_EQ(rig.client->publishParameter(CSClient::Parameter::makeInt("OUT", 3)), CSClient::RESULT_OK);
    ASSERT_TRUE(rig.emu.waitForPublished(SimProtocol::APP, "OUT", 2s));

    EXPECT_EQ(rig.emu.execute("down"), "ok");
    ASSERT_TRUE(rig.rec.waitFor([&] { return rig.client->getConnectionState() != CSClient::STATE_CONNECTED; }));
    EXPECT_EQ(rig.emu.execute("set HRPM 101"), "ok");
    EXPECT_EQ(rig.emu.execute("up"), "ok");
    ASSERT_TRUE(rig.emu.waitForSubscribedCount(SimProtocol::APP, 3, 10s));
    ASSERT_TRUE(rig.connected());
    ASSERT_TRUE(rig.rec.waitFor([&] {
        CSClient::Parameter x;
        return rig.rec.lastUnlocked("HRPM", x) && x.value.intValue == 101;
    }));
    ASSERT_TRUE(rig.emu.waitForPublishedCount(SimProtocol::APP, 2, 5s));
    SimulatorEmulator::Published p;
    ASSERT_TRUE(rig.emu.lastPublished(SimProtocol::APP, "OUT", p));
    EXPECT_FLOAT_EQ(p.value, 3.0f);
    EXPECT_EQ(rig.emu.connectionsAccepted(SimProtocol::APP), 2u);
    EXPECT_EQ(rig.emu.receivedCount(SimProtocol::APP, 1, 0x0020), 2u);  // the whole handshake again
    // waveform samples arrive in small batches
    ASSERT_TRUE(rig.rec.waitFor([&] {
        for (const auto& b : rig.rec.batches)
            for (const auto& x : b)
                if (x.id == "ARTLINE") return true;
        return false;
    }));
}
