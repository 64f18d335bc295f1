// The engines' whole receive path fed from bytes on the test's own thread
// (CSCommsInterfaceBuffer and runReceiveLoopInline): the console lines of a
// connection from handshake to close, the request bodies byte for byte, the
// APP dispatch of frames of every kind, and re-registration after a failed
// version request.
#include "Log.h"
#include "CSCommsInterfaceBuffer.h"
#include "TestProtocol.h"
#include "test_app_support.h"

#include <functional>

using namespace apptest;
using com_vela::AppProtocol;
using com_vela::CSClientProtocol;
using com_vela::CSCommsInterfaceBuffer;
using com_vela::SimulatorProtocol;

namespace {

struct Frame {
    Bytes body;
    unsigned kind = 0;
};

// Runs `engine` from connect to close over the frames, the end of which
// reads as the server closing; returns the bodies it wrote, oldest first.
std::vector<Bytes> run(CSClientProtocol& engine, const std::vector<Frame>& frames) {
    std::vector<char> input;
    for (const Frame& f : frames) {
        Bytes wire = simemu::frame(f.body, f.kind);
        input.insert(input.end(), wire.begin(), wire.end());
    }
    auto* comms = new CSCommsInterfaceBuffer(input);
    EXPECT_TRUE(engine.changeCommsInterface(comms));
    EXPECT_EQ(engine.runReceiveLoopInline(0x0100007F, 55557), CSClient::RESULT_OK);
    EXPECT_EQ(engine.getState(), CSClient::STATE_CLOSED);
    std::vector<Bytes> bodies;
    for (const auto& w : comms->written()) bodies.emplace_back(w.getData().begin() + 32, w.getData().end());
    return bodies;
}

Bytes bytes(std::initializer_list<unsigned> values) {
    Bytes b;
    for (unsigned v : values) b.push_back(std::uint8_t(v));
    return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// A name in its 32-byte field.
Bytes name32(const std::string& name) {
    Bytes b(name.begin(), name.end());
    b.resize(32, 0);
    return b;
}

Bytes grant() {
    Bytes b;
    simemu::put32(b, 1);
    for (int i = 0; i < 4; ++i) simemu::put32(b, 0xFFFFFFFF);
    return b;
}

Bytes appVersion(const std::string& text) {
    Bytes v = body(1, 2, 0x0151, {});
    simemu::putName(v, text, 128);
    simemu::put32(v, 0);
    simemu::put32(v, 1);
    simemu::set32(v, 4, std::uint32_t(v.size()));
    return v;
}

// A recorder whose notifications can act on the engine as they arrive.
class Hooked : public Recorder {
public:
    std::function<void()> onInputsConfirmed, onOutputsConfirmed, onStarted;
    std::function<void(const std::vector<CSClient::Parameter>&)> onValues;
    void registrationComplete(const std::vector<CSClient::InputDef>& d) override {
        Recorder::registrationComplete(d);
        if (onInputsConfirmed) onInputsConfirmed();
    }
    void registrationComplete(const std::vector<CSClient::OutputDef>& d) override {
        Recorder::registrationComplete(d);
        if (onOutputsConfirmed) onOutputsConfirmed();
    }
    void parametersUpdated(const std::vector<CSClient::Parameter>& p) override {
        Recorder::parametersUpdated(p);
        if (onValues) onValues(p);
    }
    void sceStarted(unsigned p, unsigned s, unsigned x, CSClient::Result r) override {
        Recorder::sceStarted(p, s, x, r);
        if (onStarted) onStarted();
    }
};

struct Captured {
    std::string out, err;
};
template <typename F>
Captured captured(F f) {
    snlog::Capture capture;
    f();
    Captured c;
    c.err = capture.err();
    c.out = capture.out();
    return c;
}

const CSClient::State CLOSED = CSClient::STATE_CLOSED, CONNECTING = CSClient::STATE_CONNECTING,
                      ESTABLISHING = CSClient::STATE_ESTABLISHING, CONNECTED = CSClient::STATE_CONNECTED,
                      CLOSING = CSClient::STATE_CLOSING;

}  // namespace

TEST(csclient_ReceivePath, AppConnectionLinesFromHandshakeToClose) {
    AppProtocol engine(0);
    Recorder rec;
    engine.addCallbackInterface(&rec);
    const CSClient::InputDef hr{"HRPM", CSClient::PARAMETER_TYPE_INT, 1};
    const CSClient::OutputDef out{"OUT", CSClient::PARAMETER_TYPE_FLOAT};
    ASSERT_EQ(engine.registerInputParameters(&hr, 1), CSClient::RESULT_OK);  // no patient yet: held back
    ASSERT_EQ(engine.registerOutputParameters(&out, 1), CSClient::RESULT_OK);

    std::vector<Bytes> written;
    Captured c = captured([&] {
        written = run(engine, {{grant(), 3},
                               {patientList({1, 7, 3, 5, bits(1.0f)})},
                               {appSubscribeResponse(7, {{101, "HRPM", 72.9f}})},
                               {appPublishResponse(7, {{102, "OUT", 0}})},
                               {appVersion("EMU-9")}});
    });
    EXPECT_EQ(c.out,
              "Sending flow control request...\n"
              "Sending subscribe to all events...\n"
              "Refreshing Active Sces...\n"
              "Registering input parameters (1)...\n"
              "Registering 1 input parameters with server...\n"
              "Registering output parameters (1)...\n"
              "Registering 1 output parameters with server...\n"
              "Sending server version request...\n"
              "Successful registration of APP input HRPM as ID 101\n"
              "Successful registration of APP output OUT as ID 102\n"
              "Found server version: EMU-9\n");
    EXPECT_EQ(c.err, "Connection closed by server.\n");

    ASSERT_EQ(written.size(), 6u);
    EXPECT_EQ(written[0], bytes({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0, 0, 0, 3}));
    EXPECT_EQ(written[1], bytes({1, 1, 0x7F, 0xFF, 0, 0, 0, 28, 0, 0x7F, 0, 0x20, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF,
                                 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(written[2], bytes({1, 1, 0x7F, 0xFF, 0, 0, 0, 12, 0, 0x7F, 0, 0x01}));
    EXPECT_EQ(written[3], bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 60, 0, 0x7F, 0, 0x06, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0x2E,
                                 0xE0, 0, 0, 0, 0}) +
                              name32("HRPM"));
    EXPECT_EQ(written[4],
              bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 56, 0, 0x7F, 0, 0x07, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0x04, 0xB0}) +
                  name32("OUT"));
    EXPECT_EQ(written[5], bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 16, 0, 0x7F, 0, 0x51, 0, 0, 0, 0}));

    rec.locked([&] {
        EXPECT_EQ(rec.states, (std::vector<std::pair<CSClient::State, CSClient::State>>{{CLOSED, CONNECTING},
                                                                                         {CONNECTING, ESTABLISHING},
                                                                                         {ESTABLISHING, CONNECTED},
                                                                                         {CONNECTED, CLOSING},
                                                                                         {CLOSING, CLOSED}}));
        ASSERT_EQ(rec.batches.size(), 1u);
        ASSERT_EQ(rec.batches[0].size(), 1u);
        EXPECT_EQ(rec.batches[0][0].value.intValue, 72);
    });
    EXPECT_EQ(engine.getServerVersion(), "EMU-9");
}

TEST(csclient_ReceivePath, AppParameterTrafficLines) {
    AppProtocol engine(0);
    Hooked rec;
    engine.addCallbackInterface(&rec);
    std::vector<CSClient::OutputDef> outputs;
    for (int i = 0; i < 121; ++i) outputs.push_back({"O" + std::to_string(i), CSClient::PARAMETER_TYPE_FLOAT});
    const CSClient::InputDef hr{"HRPM", CSClient::PARAMETER_TYPE_FLOAT, 0};
    ASSERT_EQ(engine.registerInputParameters(&hr, 1), CSClient::RESULT_OK);
    rec.onInputsConfirmed = [&] { engine.unregisterInputParameters({"HRPM"}); };
    rec.onOutputsConfirmed = [&] { engine.unregisterOutputParameters({"O0"}); };
    std::vector<Bytes> written;
    Captured c = captured([&] {
        ASSERT_EQ(engine.registerOutputParameters(outputs.data(), 121), CSClient::RESULT_OK);
        written = run(engine, {{grant(), 3},
                               {patientList({1, 7, 3, 5, bits(1.0f)})},
                               {appSubscribeResponse(7, {{101, "HRPM", 1}})},
                               {appPublishResponse(7, {{102, "O0", 0}})}});
    });
    const std::vector<std::string> lines = {
        "Splitting large output subscription: 121 parameters requested\n",  // no patient: nothing sent
        "Registering output parameters (121)...\n",
        "Registering 121 output parameters with server...\n",
        "Splitting large output subscription: 121 parameters requested\n",
        "Successful registration of APP input HRPM as ID 101\n",
        "Unsubscribing from 1 inputs for SIM ID: 7\n",
        "Successful registration of APP output O0 as ID 102\n",
        "Unsubscribing from 1 outputs for SCE ID: 7\n",
    };
    std::size_t at = 0;
    for (const auto& line : lines) {
        at = c.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in\n" << c.out;
        at += line.size();
    }
    std::vector<std::uint32_t> subscriptionCounts;
    for (const auto& w : written)
        if (w[11] == 0x07) subscriptionCounts.push_back(simemu::get32(w, 16));
    EXPECT_EQ(subscriptionCounts, (std::vector<std::uint32_t>{60, 61}));
    EXPECT_EQ(written.back(), bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 24, 0, 0x7F, 0, 0x15, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0,
                                     102}));
    EXPECT_EQ(written[written.size() - 2],
              bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 24, 0, 0x7F, 0, 0x14, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 101}));
}

TEST(csclient_ReceivePath, AppSpeedsOfOneAndEightTimesOnTheWire) {
    AppProtocol engine(2);
    Hooked rec;
    engine.addCallbackInterface(&rec);
    std::vector<CSClient::Result> results;
    rec.onStarted = [&] {
        results.push_back(engine.setSimulationMode(AppClient::MODE_SPEED_8X));
        results.push_back(engine.setSimulationMode(AppClient::MODE_SPEED_1X));
    };
    const std::vector<Bytes> written = run(engine, {{grant(), 3}, {patientList({1, 7, 3, 5, bits(1.0f)})}});
    EXPECT_EQ(results, (std::vector<CSClient::Result>{CSClient::RESULT_OK, CSClient::RESULT_OK}));
    const Bytes resume = bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 20, 0, 0x7F, 0, 0x05, 0, 0, 0, 7, 0, 0, 0, 0});
    ASSERT_GE(written.size(), 7u);
    EXPECT_EQ(written[3], resume);
    EXPECT_EQ(written[4], bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 20, 0, 0x7F, 0, 0x04, 0, 0, 0, 7, 0x41, 0, 0, 0}));
    EXPECT_EQ(written[5], resume);
    EXPECT_EQ(written[6], bytes({1, 2, 0x7F, 0xFF, 0, 0, 0, 20, 0, 0x7F, 0, 0x04, 0, 0, 0, 7, 0x3F, 0x80, 0, 0}));
}

TEST(csclient_ReceivePath, AppDispatchesBySubprotocolWhateverTheFrameKind) {
    AppProtocol engine(2);
    Recorder rec;
    engine.addCallbackInterface(&rec);
    const std::vector<Bytes> written = run(engine, {{appEvent(0x0115, {7, 1}), 4},   // an unknown kind
                                                    {appEvent(0x0115, {7, 0}), 3},   // a flow-control kind
                                                    {grant(), 0}});                  // a grant in a data frame
    rec.locked([&] {
        ASSERT_EQ(rec.sce.size(), 2u);
        EXPECT_EQ(rec.sce[0].what, "reset");
        EXPECT_EQ(rec.sce[0].patientId, 7u);
        EXPECT_EQ(rec.sce[0].result, CSClient::RESULT_OK);
        EXPECT_EQ(rec.sce[1].what, "reset");
        EXPECT_EQ(rec.sce[1].result, CSClient::RESULT_REFUSED);  // a failing status
        // The grant counts only in a flow-control frame: the handshake never went on.
        EXPECT_EQ(rec.states.at(2), std::make_pair(ESTABLISHING, CLOSING));
    });
    EXPECT_EQ(written.size(), 1u);  // the flow-control request alone
}

TEST(csclient_ReceivePath, SimConnectionLinesAndRequestBodies) {
    SimulatorProtocol engine(1, 0);
    Hooked rec;
    engine.addCallbackInterface(&rec);
    const CSClient::InputDef speed{"HW_PATSPEED", CSClient::PARAMETER_TYPE_INT, 1};
    const std::vector<CSClient::OutputDef> outputs = {{"OUT_I", CSClient::PARAMETER_TYPE_INT},
                                                      {"OUT_F", CSClient::PARAMETER_TYPE_FLOAT}};
    ASSERT_EQ(engine.registerInputParameters(&speed, 1), CSClient::RESULT_OK);
    ASSERT_EQ(engine.registerOutputParameters(outputs.data(), 2), CSClient::RESULT_OK);
    const std::vector<CSClient::Parameter> values = {CSClient::Parameter::makeInt("OUT_I", -5),
                                                     CSClient::Parameter::makeFloat("OUT_F", 2.5f)};
    ASSERT_EQ(engine.publishParameters(values.data(), 2, CSClientProtocol::PUBLISH_PLAIN), CSClient::RESULT_OK);
    // The update (the second batch) unsubscribes the input and one output.
    rec.onValues = [&](const std::vector<CSClient::Parameter>&) {
        if (rec.batchCount() != 2) return;
        engine.unregisterInputParameters({"HW_PATSPEED"});
        engine.unregisterOutputParameters({"OUT_F"});
    };

    Bytes subscribed = simemu::messageHeader(4, 2, 0x0101);
    for (unsigned w : {1u << 16, 1u, 11u, 0u, 0u, 1u, 1u}) simemu::put32(subscribed, w);
    simemu::putName(subscribed, "HW_PATSPEED");
    Bytes published = simemu::messageHeader(4, 2, 0x0102);
    for (unsigned w : {1u << 16, 3u}) simemu::put32(published, w);
    for (const auto& e : std::vector<std::pair<unsigned, std::string>>{{21, "OUT_F"}, {22, "OUT_I"}, {23, "NOPE"}}) {
        for (unsigned w : {e.first, 0u, 0u, 0u}) simemu::put32(published, w);
        simemu::putName(published, e.second);
    }
    Bytes update = simemu::messageHeader(4, 2, 0x0003);
    for (unsigned w : {1u << 16, 0u, 1u, 11u, 1u, 0u}) simemu::put32(update, w);
    Bytes version = simemu::messageHeader(4, 2, 0x0106);
    simemu::put32(version, 1u << 16);
    simemu::putName(version, "RHM-2", 128);
    simemu::put32(version, 7);
    simemu::put32(version, 1);

    std::vector<Bytes> written;
    Captured c = captured([&] { written = run(engine, {{subscribed}, {published}, {update}, {version}}); });
    EXPECT_EQ(c.out,
              "Re-registering input/output parameters (1/2)...\n"
              "Registering 1 input parameters with server...\n"
              "Registering 2 output parameters with server...\n"
              "Successful registration of SE input HW_PATSPEED as ID 11\n"
              "Successful registration of SE output OUT_F as ID 21\n"
              "Successful registration of SE output OUT_I as ID 22\n"
              "Publish float parameter OUT_F=2.5\n"
              "Publish int parameter OUT_I=-5\n"
              "Found server version: RHM-2\n"
              "Found simulator id: 1\n"
              "Found protocol version: 7\n");
    EXPECT_EQ(c.err, "Parameter not found: NOPE(23)\nConnection closed by server.\n");

    const Bytes header = bytes({4, 2, 0x7F, 0xFF});
    const Bytes simulatorWord = bytes({0, 1, 0, 0});
    ASSERT_EQ(written.size(), 6u);
    EXPECT_EQ(written[0], header + bytes({0, 0, 0, 20, 0, 0x7F, 0, 0x06}) + simulatorWord + bytes({0, 0, 0, 0}));
    EXPECT_EQ(written[1], header + bytes({0, 0, 0, 64, 0, 0x7F, 0, 0x01}) + simulatorWord +
                              bytes({0, 0, 0, 1, 0, 0, 0x2E, 0xE0, 0, 0, 0x2E, 0xE0, 0, 0, 0, 1}) +
                              name32("HW_PATSPEED"));
    EXPECT_EQ(written[2], header + bytes({0, 0, 0, 100, 0, 0x7F, 0, 0x02}) + simulatorWord +
                              bytes({0, 0, 0, 2, 0, 0, 0x04, 0xB0, 0, 0, 0, 0}) + name32("OUT_F") +
                              bytes({0, 0, 0x04, 0xB0, 0, 0, 0, 1}) + name32("OUT_I"));
    EXPECT_EQ(written[3], header + bytes({0, 0, 0, 48, 0, 0x7F, 0, 0x03}) + simulatorWord +
                              bytes({0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 21, 0, 0, 0, 0, 0x40, 0x20, 0, 0, 0, 0, 0, 22, 0,
                                     0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_EQ(written[4],
              header + bytes({0, 0, 0, 24, 0, 0x7F, 0, 0x04}) + simulatorWord + bytes({0, 0, 0, 1, 0, 0, 0, 11}));
    EXPECT_EQ(written[5],
              header + bytes({0, 0, 0, 24, 0, 0x7F, 0, 0x05}) + simulatorWord + bytes({0, 0, 0, 1, 0, 0, 0, 21}));
}

TEST(csclient_ReceivePath, AFailedVersionRequestStillReregisters) {
    cstest::TestProtocol engine(0);
    const CSClient::InputDef hr = cstest::input("HRPM");
    ASSERT_EQ(engine.registerInputParameters(&hr, 1), CSClient::RESULT_OK);
    ASSERT_TRUE(engine.changeCommsInterface(new cstest::FailingBuffer({}, 0)));
    Captured c = captured([&] { EXPECT_EQ(engine.runReceiveLoopInline(0x0100007F, 1), CSClient::RESULT_OK); });
    EXPECT_EQ(c.err, "Error writing to server (32) \n");
    EXPECT_EQ(c.out,
              "Re-registering input/output parameters (1/0)...\n"
              "Registering 1 input parameters with server...\n");
    const std::vector<cstest::RequestCall> calls = engine.calls();  // the first: registering while closed
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].code, cstest::CODE_VERSION);
    EXPECT_EQ(calls[1].sendResult, CSClient::RESULT_FAILED);
    EXPECT_EQ(calls[2].code, cstest::CODE_SUBSCRIBE_INPUTS);
    EXPECT_EQ(calls[2].ids, std::vector<std::string>{"HRPM"});
    EXPECT_EQ(engine.getState(), CSClient::STATE_CLOSED);
}

TEST(csclient_ReceivePath, InlineRunRefusesWhatCouldNotEnd) {
    cstest::TestProtocol reconnecting(CSClientProtocol::OPTION_AUTO_RECONNECT);
    EXPECT_EQ(reconnecting.runReceiveLoopInline(0x0100007F, 1), CSClient::RESULT_INVALID);
    EXPECT_EQ(reconnecting.getState(), CSClient::STATE_CLOSED);
}
