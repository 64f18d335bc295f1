// The emulated servers' handlers, updates and console words, driven without
// sockets: frames in, frames out.
#include "Log.h"
#include "RawClient.h"
#include "ServerState.h"
#include "SimulatorEmulator.h"

#include <gtest/gtest.h>

using namespace simemu;

namespace {

// The servers' state with clients that are only ids.
struct Servers {
    explicit Servers(SimulatorEmulatorOptions o = {}) : opt(std::move(o)), state(opt) {}
    unsigned connect(int proto) {
        state.clients[next].proto = proto;
        return next++;
    }
    Outgoing send(unsigned client, const Bytes& body, unsigned kind = 0) {
        Outgoing out;
        handleFrame(state, client, kind, body, out);
        return out;
    }
    SimulatorEmulatorOptions opt;
    ServerState state;
    unsigned next = 1;
};

Bytes bodyOf(const Bytes& frame) { return Bytes(frame.begin() + kFrameHeaderSize, frame.end()); }

}  // namespace

TEST(SimEmuHandlers, SimVersionOutputsAndPublishing) {
    SimulatorEmulatorOptions o;
    o.simulatorId = 9;
    Servers servers(o);
    const unsigned c = servers.connect(kSim);
    Bytes v = simRequest(0x0006);
    put32(v, 0);
    Outgoing out = servers.send(c, v);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].first, c);
    Bytes f = bodyOf(out[0].second);
    EXPECT_EQ(messageCode(f), 0x0106u);
    EXPECT_EQ(get32(f, 12) >> 16, 9u);
    EXPECT_EQ(getName(f, 16, 128), "EMU-1.0");
    EXPECT_EQ(get32(f, 148), 1u);

    Bytes request = simRequest(0x0002);
    put32(request, 1);
    put32(request, 1200);
    put32(request, 1);
    putName(request, "MY_OUT");
    out = servers.send(c, request);
    ASSERT_EQ(out.size(), 1u);
    f = bodyOf(out[0].second);
    EXPECT_EQ(messageCode(f), 0x0102u);
    const unsigned id = get32(f, 20);
    EXPECT_EQ(getName(f, 36), "MY_OUT");
    Bytes pub = simRequest(0x0003);
    put32(pub, 0);
    put32(pub, 1);
    put32(pub, id);
    put32(pub, 1);
    put32(pub, std::uint32_t(-5));
    EXPECT_TRUE(servers.send(c, pub).empty());
    Published p;
    ASSERT_TRUE(servers.state.lastPublished(kSim, "MY_OUT", p));
    EXPECT_FLOAT_EQ(p.value, -5.0f);
    EXPECT_EQ(servers.state.outputs[kSim], std::set<std::string>{"MY_OUT"});
    EXPECT_EQ(servers.state.receivedCount(kSim, 2, 0x0003), 1u);
}

TEST(SimEmuHandlers, ScenarioCommandsAnswerWithResponsesAndEventsToEveryAppClient) {
    SimulatorEmulatorOptions o;
    o.patientId = 0;
    Servers servers(o);
    const unsigned c = servers.connect(kApp);
    const unsigned other = servers.connect(kApp);
    servers.connect(kSim);
    Bytes load = messageHeader(1, 2, 0x0002);
    put32(load, 0);
    put32(load, 42);
    Outgoing out = servers.send(c, load);
    ASSERT_EQ(out.size(), 1u);
    Bytes f = bodyOf(out[0].second);
    ASSERT_EQ(f.size(), 28u);
    EXPECT_EQ(messageCode(f), 0x0102u);
    EXPECT_EQ(get32(f, 16), 42u);
    const unsigned pid = get32(f, 20);
    EXPECT_NE(pid, 0u);
    EXPECT_EQ(get32(f, 24), 1u);

    Bytes start = messageHeader(1, 2, 0x0003);
    put32(start, pid);
    put32(start, 1);
    out = servers.send(c, start);
    ASSERT_EQ(out.size(), 3u);  // the response, then the started event to both APP clients
    EXPECT_EQ(messageCode(bodyOf(out[0].second)), 0x0103u);
    EXPECT_EQ(get32(bodyOf(out[0].second), 16), 1u);
    EXPECT_EQ(out[1].first, c);
    EXPECT_EQ(out[2].first, other);
    f = bodyOf(out[2].second);
    EXPECT_EQ(messageCode(f), 0x0112u);
    EXPECT_EQ(f[1], 3);
    EXPECT_EQ(get32(f, 12), pid);
    EXPECT_EQ(servers.state.patientId, pid);

    Bytes speed = messageHeader(1, 2, 0x0004);
    put32(speed, pid);
    putFloat(speed, 4.0f);
    out = servers.send(c, speed);
    ASSERT_EQ(out.size(), 2u);
    f = bodyOf(out[0].second);
    EXPECT_EQ(messageCode(f), 0x0117u);
    EXPECT_FLOAT_EQ(getFloat(f, 16), 4.0f);
    EXPECT_EQ(get32(f, 20), 1u);
    EXPECT_TRUE(servers.state.isRunning());

    Bytes stop = messageHeader(1, 2, 0x000E);
    put32(stop, pid);
    out = servers.send(c, stop);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(messageCode(bodyOf(out[0].second)), 0x0114u);
    EXPECT_EQ(servers.state.patientId, 0u);
    out.clear();
    EXPECT_EQ(stateWord(servers.state, {"stop"}, out), "error: no patient is active");
    EXPECT_EQ(stateWord(servers.state, {"start"}, out), "ok");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(messageCode(bodyOf(out[0].second)), 0x0112u);
}

TEST(SimEmuHandlers, SubscriptionsFeedTheUpdatesOfTheirClientOnly) {
    Servers servers;
    const unsigned sim = servers.connect(kSim);
    servers.connect(kApp);
    Outgoing out = servers.send(sim, simInputSubscription({{"HW_PATSPEED", true}}));
    ASSERT_EQ(out.size(), 1u);
    const unsigned speedId = get32(bodyOf(out[0].second), 20);
    out.clear();
    EXPECT_EQ(stateWord(servers.state, {"run"}, out), "ok");
    EXPECT_EQ(stateWord(servers.state, {"set", "HRPM", "90"}, out), "ok");
    out.clear();
    tickUpdates(servers.state, 0.1, out);
    ASSERT_EQ(out.size(), 1u);  // the APP client subscribed to nothing
    EXPECT_EQ(out[0].first, sim);
    const Bytes f = bodyOf(out[0].second);
    EXPECT_EQ(messageCode(f), 0x0003u);
    ASSERT_EQ(get32(f, 20), 1u);
    EXPECT_EQ(get32(f, 24), speedId);
    EXPECT_EQ(get32(f, 32), 1u);
    out.clear();
    tickUpdates(servers.state, 0.1, out);
    EXPECT_TRUE(out.empty());  // nothing changed since
}

TEST(SimEmuHandlers, FrameReaderTakesFramesHoweverTheyAreCutAndStopsAtABadHeader) {
    Bytes stream = frame(simRequest(0x0006));
    const Bytes second = frame(Bytes{9, 9, 9, 9}, 3);
    stream.insert(stream.end(), second.begin(), second.end());
    Bytes bad = frame(Bytes{1, 2, 3});
    set32(bad, 0, 12);
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.insert(stream.end(), second.begin(), second.end());

    FrameReader reader;
    std::vector<std::pair<unsigned, Bytes>> got;
    std::string why;
    FrameReader::Status status = FrameReader::Status::NeedMore;
    for (std::size_t at = 0; at < stream.size() && status != FrameReader::Status::Bad; at += 5) {
        reader.append(stream.data() + at, std::min<std::size_t>(5, stream.size() - at));
        unsigned kind = 0;
        Bytes body;
        while ((status = reader.next(kind, body, why)) == FrameReader::Status::Frame) got.emplace_back(kind, body);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, 0u);
    EXPECT_EQ(messageCode(got[0].second), 0x0006u);
    EXPECT_EQ(got[1], (std::pair<unsigned, Bytes>{3u, Bytes{9, 9, 9, 9}}));
    EXPECT_EQ(status, FrameReader::Status::Bad);
    EXPECT_EQ(why, "frame length 12 not above 32");
}

TEST(SimEmuHandlers, BadFramesAreCountedAndLogged) {
    SimulatorEmulatorOptions o;
    o.log = true;
    Servers servers(o);
    const unsigned sim = servers.connect(kSim);
    const unsigned app = servers.connect(kApp);
    snlog::Capture capture;
    EXPECT_TRUE(servers.send(sim, Bytes{4, 2, 0}).empty());      // shorter than a message header
    Bytes lying = simRequest(0x0001);
    put32(lying, 1000000);                                         // count far beyond the body
    put32(lying, 0);
    const Outgoing out = servers.send(sim, lying);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(get32(bodyOf(out[0].second), 16), 0u);               // nothing past the body was read
    EXPECT_TRUE(servers.send(app, Bytes{9}, 3).empty());           // flow control too short
    EXPECT_TRUE(servers.send(app, Bytes{1, 2, 0, 0, 0}, 7).empty());  // unknown frame kind
    EXPECT_TRUE(servers.send(99, simRequest(0x0006)).empty());     // no such client
    EXPECT_EQ(servers.state.malformed, 3u);
    EXPECT_EQ(capture.out(),
              "SIMEMU> SIM frame of kind 0 and 3 bytes ignored\n"
              "SIMEMU> SIM subscription of 0 inputs\n"
              "SIMEMU> APP flow-control frame of 1 bytes ignored\n"
              "SIMEMU> APP frame of kind 7 and 5 bytes ignored\n");
}

TEST(SimEmuHandlers, InMemoryClientGetsItsRepliesUpToABadHeader) {
    SimulatorEmulator emu;  // never started
    Bytes stream = frame(simRequest(0x0006));
    Bytes bad = frame(Bytes{1, 2, 3});
    set32(bad, 0, 12);
    stream.insert(stream.end(), bad.begin(), bad.end());
    const Bytes after = frame(simRequest(0x0006));
    stream.insert(stream.end(), after.begin(), after.end());
    const std::vector<Bytes> replies = emu.feedClientBytes(SimProtocol::SIM, stream);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(messageCode(bodyOf(replies[0])), 0x0106u);
    EXPECT_EQ(emu.read([](const SimulatorEmulator::State& s) { return std::make_pair(s.malformed, s.clients.size()); }),
              std::make_pair(1u, std::size_t(0)));
}
