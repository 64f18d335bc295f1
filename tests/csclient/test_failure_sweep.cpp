// Failure sweeps: a SIM and an APP client connect, shake hands, register the
// bridge's inputs and get their first updates, with one operation of that
// scenario failing (each in turn, in each way it can fail). Whatever failed,
// the client must end connected with every input registered and updated
// (APP: the active patient known), after exactly one reconnection, and its
// notifications must be one valid path of the state machine.
#include "FaultyLink.h"
#include "Log.h"
#include "TestSupport.h"
#include "test_app_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace apptest;
using com_vela::SimClient;
using cstest::FaultyLink;
using S = CSClient::State;

namespace {

// The inputs the bridge registers on each client.
std::vector<CSClient::InputDef> simInputs() {
    std::vector<CSClient::InputDef> defs;
    for (const char* id : {"HW_PATSPEED", "HW_PATMON_ENABLED", "HW_PATMON_CALIB_ACTION", "HW_PATMON_CALIB_ARG1"})
        defs.push_back({id, CSClient::PARAMETER_TYPE_INT, 0});
    return defs;
}

std::vector<CSClient::InputDef> appInputs() {
    std::vector<CSClient::InputDef> defs;
    for (const char* id : {"ARTERIAL_CATHETER_DEPTH", "CVP_CATHETER_DEPTH", "PA_CATHETER_DEPTH", "PULSE_SENSOR",
                           "SPO2_PROBE", "CAPNOGRAPH_SENSOR", "TEMP_BODY_SENSOR", "TEMP_BLOOD_SENSOR", "NIBP_SENSOR",
                           "SIMULATOR_XCONNECTED"})
        defs.push_back({id, CSClient::PARAMETER_TYPE_INT, 0});
    for (const char* id : {"ARTLINE", "PLINE", "CVPLINE", "CAPNOGRAM", "PLETH"})
        defs.push_back({id, CSClient::PARAMETER_TYPE_FLOAT, 1});
    defs.push_back({"SAO2", CSClient::PARAMETER_TYPE_FLOAT, 0});
    for (const char* id : {"EXT_DABP", "EXT_MAP", "EXT_SABP", "SPA", "DPA", "ETCO2", "HRPM", "RRPM"})
        defs.push_back({id, CSClient::PARAMETER_TYPE_INT, 0});
    for (const char* id : {"BODY_TEMP", "bloodTemp"})
        defs.push_back({id, CSClient::PARAMETER_TYPE_FLOAT, 0});
    return defs;
}

// The value the first update gives the input of a server id: unlike any
// value the emulated server starts with.
float updateValue(unsigned serverId) { return 1000.0f + float(serverId); }

// The server ids a subscribe response of layout L confirms, in order.
template <typename L>
std::vector<unsigned> confirmedIds(const Bytes& body) {
    std::vector<unsigned> ids;
    simemu::forEachEntry<L>(body, [&](std::size_t at) { ids.push_back(simemu::get32(body, at + L::ENTRY_ID)); });
    return ids;
}

// An update of every input a subscribe response confirmed; empty for any
// other reply.
Bytes firstUpdate(SimProtocol p, const Bytes& reply) {
    const Bytes body(reply.begin() + com_vela::FRAME_HEADER_SIZE, reply.end());
    if (p == SimProtocol::APP) {
        using R = com_vela::AppProtocol::SubscribeResponse;
        if (simemu::messageSubprotocol(body) != 2 || simemu::messageCode(body) != 0x0106) return {};
        std::vector<std::pair<unsigned, float>> values;
        for (unsigned id : confirmedIds<R>(body)) values.emplace_back(id, updateValue(id));
        return appUpdate(simemu::get32(body, com_vela::AppProtocol::PATIENT_ID), 0, values);
    }
    using R = com_vela::SimulatorProtocol::SubscribeResponse;
    using U = com_vela::SimulatorProtocol::Publish;
    if (simemu::messageCode(body) != 0x0101) return {};
    const std::vector<unsigned> ids = confirmedIds<R>(body);
    Bytes update = apptest::body(4, 2, 0x0003, {1u << 16, 0, std::uint32_t(ids.size())});
    for (unsigned id : ids) {
        simemu::put32(update, id);
        simemu::put32(update, 1);  // an integer
        simemu::put32(update, std::uint32_t(int(updateValue(id))));
    }
    simemu::set32(update, 4, std::uint32_t(update.size()));
    static_assert(U::ENTRY_SIZE == 12, "id, kind, value");
    return update;
}

// The emulated server of protocol `p`, in memory, with the first update
// right after each subscribe response.
FaultyLink::Server emulatedServer(std::shared_ptr<SimulatorEmulator> emu, SimProtocol p) {
    return [emu, p](const Bytes& frame) {
        std::vector<Bytes> out;
        for (const Bytes& reply : emu->feedClientBytes(p, frame)) {
            out.push_back(reply);
            const Bytes update = firstUpdate(p, reply);
            if (!update.empty()) out.push_back(simemu::frame(update));
        }
        return out;
    };
}

// The moves of the client's state machine.
bool isMove(S from, S to) {
    static const std::vector<std::pair<S, S>> moves = {
        {CSClient::STATE_CLOSED, CSClient::STATE_CONNECTING},
        {CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING},
        {CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED},
        {CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTING},
        {CSClient::STATE_CONNECTED, CSClient::STATE_CONNECTION_LOST},
        {CSClient::STATE_CONNECTION_LOST, CSClient::STATE_CONNECTING},
        {CSClient::STATE_CONNECTING, CSClient::STATE_CLOSING},
        {CSClient::STATE_ESTABLISHING, CSClient::STATE_CLOSING},
        {CSClient::STATE_CONNECTED, CSClient::STATE_CLOSING},
        {CSClient::STATE_CONNECTION_LOST, CSClient::STATE_CLOSING},
        {CSClient::STATE_CLOSING, CSClient::STATE_CLOSED},
    };
    return std::find(moves.begin(), moves.end(), std::make_pair(from, to)) != moves.end();
}

// Empty when the notifications walk the machine from STATE_CLOSED back to
// STATE_CLOSED, each starting where the one before ended.
std::string pathFault(const std::vector<std::pair<S, S>>& changes) {
    S at = CSClient::STATE_CLOSED;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto& c = changes[i];
        if (c.first != at || !isMove(c.first, c.second))
            return "notification " + std::to_string(i) + ": " + std::to_string(c.first) + " -> " +
                   std::to_string(c.second) + " while at " + std::to_string(at);
        at = c.second;
    }
    return at == CSClient::STATE_CLOSED ? "" : "ends at " + std::to_string(at);
}

struct Scenario {
    SimProtocol protocol;
    std::vector<CSClient::InputDef> inputs;
};

// Timing short enough that one run takes milliseconds.
Timing sweepTiming() {
    Timing t;
    t.reconnectPause = std::chrono::milliseconds(2);
    t.facadePollStep = std::chrono::milliseconds(2);
    t.partialFrameGrace = std::chrono::milliseconds(50);
    return t;
}

struct Outcome {
    unsigned operations = 0;
    bool faulted = false;
};

// One run with operation `failAt` (0: none) failing as `fault` does; checks
// the invariant.
Outcome run(const Scenario& sc, unsigned failAt, FaultyLink::Fault fault) {
    const bool app = sc.protocol == SimProtocol::APP;
    auto emu = std::make_shared<SimulatorEmulator>(emulatorOn("127.0.0.1"));  // never started: no socket
    Recorder rec;
    std::unique_ptr<CSClient> client;
    com_vela::CSClientProtocol* engine;
    if (app) {
        auto* c = new AppClient(3, sweepTiming());  // automatic reconnection, quiet
        engine = c->engine();
        client.reset(c);
    } else {
        auto* c = new SimClient(1, 3, sweepTiming());
        engine = c->engine();
        client.reset(c);
    }
    auto* link = new FaultyLink(emulatedServer(emu, sc.protocol), failAt, fault, std::chrono::milliseconds(2));
    EXPECT_TRUE(engine->changeCommsInterface(link));
    client->addCallbackInterface(&rec);
    // Registered before the open, so that every frame of the scenario goes
    // out from the receive thread, in one order.
    EXPECT_EQ(client->registerInputParameters(sc.inputs), CSClient::RESULT_OK);

    snlog::Capture capture;  // the lines of the failures
    EXPECT_EQ(client->open("127.0.0.1", app ? 55557 : 55580), CSClient::RESULT_OK);
    auto updated = [&] {
        return rec.locked([&] {
            for (const CSClient::InputDef& input : sc.inputs) {
                CSClient::Parameter p;
                if (!rec.lastUnlocked(input.id, p)) return false;
                const float v = p.type == CSClient::PARAMETER_TYPE_INT ? float(p.value.intValue) : p.value.floatValue;
                if (v != updateValue(emu->serverId(input.id))) return false;
            }
            return true;
        });
    };
    const bool done = testsupport::eventually(
        [&] {
            return client->getConnectionState() == CSClient::STATE_CONNECTED &&
                   client->getNumberOfRegisteredInputParameters() == sc.inputs.size() &&
                   client->getNumberOfUnregisteredInputParameters() == 0 &&
                   (!app || static_cast<AppClient&>(*client).getActivePatientId() == emu->activePatientId()) &&
                   link->idle() && updated();
        },
        std::chrono::seconds(5), std::chrono::milliseconds(1));
    Outcome o;
    o.operations = link->operations();
    o.faulted = link->faulted();
    const std::string failed = link->failedOperation();
    EXPECT_TRUE(done) << failed << "; state " << client->getConnectionState() << ", registered "
                      << client->getNumberOfRegisteredInputParameters();
    EXPECT_EQ(link->connects(), o.faulted ? 2u : 1u) << failed;
    if (app) {
        EXPECT_EQ(static_cast<AppClient&>(*client).getActiveSce().patientId.load(), emu->activePatientId()) << failed;
    }
    client->close();
    EXPECT_EQ(client->getConnectionState(), CSClient::STATE_CLOSED) << failed;
    client.reset();  // every notification delivered
    const std::string why = rec.locked([&] { return pathFault(rec.states); });
    EXPECT_EQ(why, "") << failed;
    return o;
}

// Runs the scenario once without a failure, then once with each of its
// operations failing, in each way; returns the number of failure points.
unsigned sweep(const Scenario& sc) {
    const Outcome clean = run(sc, 0, FaultyLink::Fault::error);
    EXPECT_FALSE(clean.faulted);
    unsigned points = 0;
    for (FaultyLink::Fault fault : {FaultyLink::Fault::error, FaultyLink::Fault::cut}) {
        for (unsigned n = 1; n <= clean.operations; ++n) {
            SCOPED_TRACE("operation " + std::to_string(n) + (fault == FaultyLink::Fault::error ? " fails" : " is cut"));
            const Outcome o = run(sc, n, fault);
            EXPECT_TRUE(o.faulted);
            ++points;
            if (testing::Test::HasFailure()) return points;
        }
    }
    return points;
}

}  // namespace

TEST(FailureSweep, SimClientRecoversFromEveryFailurePoint) {
    const unsigned points = sweep({SimProtocol::SIM, simInputs()});
    RecordProperty("failure_points", int(points));
    snlog::out() << "SIM scenario: " << points << " failure points swept";
    EXPECT_GE(points, 2u * 9u);  // connect, version request, subscription, three frames of two reads
}

TEST(FailureSweep, AppClientRecoversFromEveryFailurePoint) {
    const unsigned points = sweep({SimProtocol::APP, appInputs()});
    RecordProperty("failure_points", int(points));
    snlog::out() << "APP scenario: " << points << " failure points swept";
    EXPECT_GE(points, 2u * 16u);  // connect, five requests, five frames of two reads
}
