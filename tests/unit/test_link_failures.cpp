// Failures inside a connection to the unit: a write failing on a socket that
// a newer connection replaced, the order of the recording around a new link,
// and a sweep that fails each input or output operation of a whole session
// in turn (connect, stream, ping, saving a calibration) and checks after each
// that the link comes back whole.
#include "AdaptorTestSupport.h"
#include "Log.h"
#include "SessionRecorder.h"
#include "UnitIoFaults.h"
#include "UnitMessages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>

#include <condition_variable>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using Received = ScriptedUnitPeer::Received;

namespace {

Timing sweepTiming()
{
    Timing t = quickTiming();
    t.streamPeriod = 10ms;
    t.streamIdlePoll = 5ms;
    t.retryPause = 5ms;
    t.replyTimeout = 500ms;
    t.writeTimeout = 500ms;
    return t;
}

// How long a failed link may take to be up again: the test's supervision
// notices within a cycle, and one connection pass then connects.
constexpr auto kReconnectBound = 3s;
constexpr auto kSupervisionCycle = 10ms;

const std::string kCalListSpO2 =
    "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\",\"calNames\":[\"SpaceLabs Xprezzon\"]}}";
const std::string kCalRemoveSpO2 =
    "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\"}}";
const std::string kCalDataSpO2 = "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs "
                                 "Xprezzon\",\"calType\":\"SpO2\",\"calPoints\":[{\"key\":\"45\",\"value\":\"90\"}]}}";

// A unit that answers the SpO2 calibration list request.
void answerCalLists(ScriptedUnitPeer& peer)
{
    peer.setScript([](const std::string& json) {
        if (json == unitmsg::kCalListRequestSpO2)
            return std::vector<std::string>{frameUnitMessage(kCalListSpO2)};
        return std::vector<std::string>{};
    });
}

// The VitalsData members the setters reach (all but CVP, which none does).
std::vector<std::string> settableVitals()
{
    std::vector<std::string> names;
    for (const unitmsg::VitalsMember& m : unitmsg::kVitalsDataMembers)
        if (std::string(m.name) != "CVP")
            names.push_back(m.name);
    return names;
}

void setEveryVital(SentrelAdaptor& a, int hr)
{
    a.sendHR_bpm(hr);
    a.sendNIBP_mmHg(120, 80, 93);
    a.sendCommand("SPA", 25);
    a.sendCommand("DPA", 10);
    a.sendCommand("MPA", 15);
    a.sendT1_degC(37.0f);
    a.sendT2_degC(37.2f);
    a.sendRR_brpm(16);
    a.sendCommand("etCO2", 38);
    a.sendCO2_flowFactor(200);
    a.sendSPO2(97);
    a.sendSPO2_ratio(45);
    a.enableSPO2Probe(true);
    a.sendCommand("abpZeroState", "NotZeroing");
    a.sendCommand("papZeroState", "NotZeroing");
    a.sendCommand("cvpZeroState", "NotZeroing");
}

void streamWaveforms(SentrelAdaptor& a)
{
    std::vector<float> abp = {100, 110, 120, 110, 100};
    std::vector<float> pleth = {50, 60, 70, 60, 50};
    a.sendABP_50Hz(abp);
    a.sendPLETH_50Hz(pleth);
}

// The members of a VitalsData message that are not at their unset value.
std::vector<std::string> setMembers(const std::string& json)
{
    std::istringstream in(json);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(in, tree);
    std::vector<std::string> names;
    for (const auto& member : tree.get_child("Message"))
        if (!unitmsg::isUnsetValue(member.second.data()))
            names.push_back(member.first);
    return names;
}

bool isVitals(const Received& r)
{
    return r.json.rfind("{\"MessageType\":\"VitalsData\"", 0) == 0;
}

// What is wrong with a recording: a message recorded while the link was not
// recorded as up, or two link events in a row of the same kind. "" if nothing.
std::string recordingFault(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    bool up = false;
    std::size_t messages = 0;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.find("\"type\":\"link\"") != std::string::npos) {
            const bool connected = line.find("\"event\":\"connected\"") != std::string::npos;
            if (connected == up)
                return "line " + std::to_string(n) + " repeats the link state: " + line;
            up = connected;
        } else if (!up) {
            return "line " + std::to_string(n) + " is a message of a link that was down: " + line;
        } else {
            ++messages;
        }
    }
    return messages == 0 ? "no message recorded" : "";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------
// A write failing on a replaced socket

// Holds the first write after it is armed until released, then fails it.
class HeldWriteFault : public UnitIoFaults {
public:
    UnitIoFault before(UnitIo operation) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (operation != UnitIo::write || !armed)
            return UnitIoFault::none;
        armed = false;
        holding = true;
        changed.notify_all();
        changed.wait_for(lock, 5s, [this] { return released; });
        return UnitIoFault::fail;
    }
    void arm()
    {
        std::lock_guard<std::mutex> lock(mutex);
        armed = true;
    }
    bool waitHolding()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, [this] { return holding; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool holding = false;
    bool released = false;
};

TEST(LinkFailures, AWriteFailingOnAReplacedSocketLeavesTheNewLinkUpAndStreaming)
{
    testsupport::TempWorkingDirectory dir;
    const std::string address = "127.0.14.1";
    ScriptedUnitPeer peer(address);
    HeldWriteFault fault;
    snlog::Capture capture;
    {
        SessionRecorder recorder("session.jsonl");
        SentrelAdaptor a(sweepTiming(), &fault);
        a.setRecorder(&recorder);
        ASSERT_TRUE(a.initialize("", address, "", "", false));

        // A ping on the first socket, held inside its write while a second
        // connection replaces that socket; then the old write fails.
        fault.arm();
        std::thread pinger([&] { a.sendPing(); });
        ASSERT_TRUE(fault.waitHolding());
        ASSERT_TRUE(a.connectIP("", address, 1));
        fault.release();
        pinger.join();

        EXPECT_TRUE(a.checkConnection());
        EXPECT_TRUE(a.linkStatus().connected);
        EXPECT_THAT(capture.out(), testing::HasSubstr("SentrelAdaptor::writeToWire: Error occured!"));
        // The new link streams on.
        a.enableStreamVitals(true);
        a.sendHR_bpm(72);
        EXPECT_TRUE(peer.waitFor([](const std::vector<Received>& r) {
            return std::any_of(r.begin(), r.end(), [](const Received& x) { return x.connection == 2 && isVitals(x); });
        }));
        a.sendPing();
        EXPECT_TRUE(peer.waitFor([](const std::vector<Received>& r) {
            return std::count_if(r.begin(), r.end(), [](const Received& x) { return x.connection == 2; }) >= 2;
        }));
    }
    const std::string recording = readFile("session.jsonl");
    EXPECT_EQ(recordingFault("session.jsonl"), "") << recording;
    // Connected, the first link's end, connected again; nothing more.
    EXPECT_EQ(countOf(recording, "\"event\":\"connected\""), 2u) << recording;
    EXPECT_EQ(countOf(recording, "\"event\":\"disconnected\""), 1u) << recording;
    EXPECT_LT(recording.rfind("\"event\":\"disconnected\""), recording.rfind("\"event\":\"connected\""))
        << recording;
}

// ---------------------------------------------------------------------------
// The sweep

enum class Kind { fail, shortWrite, peerClose };

const char* kindName(Kind k)
{
    return k == Kind::fail ? "fail" : k == Kind::shortWrite ? "short write" : "peer closes";
}

const char* operationName(UnitIo op)
{
    return op == UnitIo::connect ? "connect" : op == UnitIo::write ? "write" : "read";
}

bool applies(Kind kind, UnitIo op)
{
    switch (kind) {
    case Kind::fail:
        return true;
    case Kind::shortWrite:
        return op == UnitIo::write;
    case Kind::peerClose:
        return op != UnitIo::connect;
    }
    return false;
}

// Counts the link's operations and makes the Nth one (0: none) fail in the
// given way; the peer closing is done by closing the peer's end first.
class NthOperationFault : public UnitIoFaults {
public:
    NthOperationFault(std::size_t n, Kind kind, ScriptedUnitPeer* peer) : n(n), kind(kind), peer(peer) {}

    UnitIoFault before(UnitIo operation) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(operation);
        if (seen.size() != n || !applies(kind, operation))
            return UnitIoFault::none;
        injected = true;
        switch (kind) {
        case Kind::fail:
            return UnitIoFault::fail;
        case Kind::shortWrite:
            return UnitIoFault::shortWrite;
        case Kind::peerClose:
            peer->closeConnection();
            return UnitIoFault::none;
        }
        return UnitIoFault::none;
    }
    std::vector<UnitIo> operations() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
    bool didInject() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return injected;
    }

private:
    const std::size_t n;
    const Kind kind;
    ScriptedUnitPeer* const peer;
    mutable std::mutex mutex;
    std::vector<UnitIo> seen;
    bool injected = false;
};

// Reconnects the adaptor whenever its link is down, as the bridge's
// supervision does, until destroyed.
class Supervision {
public:
    Supervision(SentrelAdaptor& a, const std::string& address)
        : thread([this, &a, address] {
              while (!stop) {
                  if (!a.checkConnection())
                      a.initialize("", address, "", "", false);
                  std::this_thread::sleep_for(kSupervisionCycle);
              }
          })
    {
    }
    ~Supervision()
    {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Waits until the streaming thread's messages arrived, or the link went down.
void awaitStreamed(SentrelAdaptor& a, ScriptedUnitPeer& peer, std::size_t vitals, std::size_t waveforms)
{
    testsupport::eventually(
        [&] {
            return !a.checkConnection() || (peer.receivedOfType("VitalsData").size() >= vitals &&
                                            peer.receivedOfType("WaveformData").size() >= waveforms);
        },
        2s);
}

// Connect, stream vitals and waveforms, ping, and save an SpO2 calibration
// (the stored list asked for around CalRemove and CalData). Returns what
// went wrong in it, "" when nothing.
std::string runSession(std::size_t failAt, Kind kind, const std::string& address, std::vector<UnitIo>* operations,
                       bool* injected)
{
    testsupport::TempWorkingDirectory dir;
    ScriptedUnitPeer peer(address);
    answerCalLists(peer);
    NthOperationFault fault(failAt, kind, &peer);
    std::string problem;
    {
        SessionRecorder recorder("session.jsonl");
        SentrelAdaptor a(sweepTiming(), &fault);
        a.setRecorder(&recorder);
        if (!a.initialize("", address, "", "", false))
            return "the first connection failed";
        setEveryVital(a, 80);
        streamWaveforms(a);
        a.enableStreamVitals(true);  // one pass takes both messages
        awaitStreamed(a, peer, 1, 1);
        std::unique_ptr<Supervision> supervision;
        const auto request = [&] {
            try {
                a.sendRequestStoredCalibrationNamesSpO2();
            } catch (const std::exception&) {
                // The failure under test; the link's state is checked below.
            }
        };
        if (failAt > 0)
            supervision = std::make_unique<Supervision>(a, address);
        a.sendPing();
        request();
        a.sendSnCommand(kCalRemoveSpO2);
        request();
        a.sendSnCommand(kCalDataSpO2);
        request();

        // The invariant: the link is up again within the bound (pings find a
        // dead connection, as the bridge's do), and the first VitalsData of
        // every connection carries every vital.
        int hr = 90;
        const bool back = testsupport::eventually(
            [&] {
                a.sendHR_bpm(hr = hr >= 200 ? 90 : hr + 1);
                a.sendPing();
                const std::vector<Received> r = peer.received();
                return a.checkConnection() &&
                       std::any_of(r.begin(), r.end(), [&](const Received& x) {
                           return x.connection == peer.connections() && isVitals(x);
                       });
            },
            kReconnectBound, 20ms);
        if (!back)
            problem = "the link was not up again within the bound";
        supervision.reset();
        *operations = fault.operations();
        *injected = fault.didInject();

        std::vector<int> seen;
        for (const Received& r : peer.received()) {
            if (!isVitals(r) || std::find(seen.begin(), seen.end(), r.connection) != seen.end())
                continue;
            seen.push_back(r.connection);
            if (problem.empty() && setMembers(r.json) != settableVitals())
                problem = "the first VitalsData of connection " + std::to_string(r.connection) +
                          " lacks vitals: " + r.json;
        }
    }
    if (problem.empty())
        problem = recordingFault("session.jsonl");
    return problem;
}

TEST(LinkFailureSweep, EveryOperationOfASessionFailedOnceInTurnLeavesTheLinkWhole)
{
    std::size_t swept = 0;
    {
    snlog::Capture capture;  // failures print; the lines are not the subject here
    std::vector<UnitIo> operations;
    bool injected = false;
    ASSERT_EQ(runSession(0, Kind::fail, "127.0.13.1", &operations, &injected), "");
    EXPECT_FALSE(injected);
    // The session's own operations, before the probing after it: connect,
    // VitalsData, WaveformData, ping, 3 x (request, reply), CalRemove, CalData.
    const std::vector<UnitIo> session = {UnitIo::connect, UnitIo::write, UnitIo::write, UnitIo::write,
                                         UnitIo::write,   UnitIo::read,  UnitIo::write, UnitIo::write,
                                         UnitIo::read,    UnitIo::write, UnitIo::write, UnitIo::read};
    const std::size_t sessionOperations = session.size();
    ASSERT_GE(operations.size(), sessionOperations);
    ASSERT_TRUE(std::equal(session.begin(), session.end(), operations.begin()));

    int run = 0;
    for (std::size_t n = 1; n <= sessionOperations; ++n) {
        for (Kind kind : {Kind::fail, Kind::shortWrite, Kind::peerClose}) {
            if (!applies(kind, operations[n - 1]))
                continue;
            ++run;
            const std::string address = "127.0.13." + std::to_string(10 + run);
            std::vector<UnitIo> seen;
            const std::string problem = runSession(n, kind, address, &seen, &injected);
            EXPECT_EQ(problem, "") << "operation " << n << " (" << operationName(operations[n - 1]) << "), "
                                   << kindName(kind);
            EXPECT_TRUE(injected) << "operation " << n << ", " << kindName(kind);
            swept += injected ? 1 : 0;
        }
    }
    }
    snlog::out() << "failure points swept: " << swept;
    RecordProperty("failurePointsSwept", static_cast<int>(swept));
    // A connect fails one way, each of 8 writes three ways, each of 3 reads two.
    EXPECT_EQ(swept, 1u + 8u * 3u + 3u * 2u);
}

}  // namespace
