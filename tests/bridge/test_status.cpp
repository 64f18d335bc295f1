// The status line of unattended runs through the real bridge, against the
// in-process emulated unit and simulator servers on loopback (127.0.18.10-19):
// what a line says in each state of the unit link and of the simulator, how
// often lines come, that their message counts add up to what the unit
// received, and that the streaming goes on unchanged while they are read.
// The reporter reads the bridge through the handoff, as main does.
#include "BridgeTestSupport.h"

#include "SessionRecorder.h"
#include "EmulatedPeers.h"
#include "StatusReporter.h"

#include <gmock/gmock.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <regex>
#include <thread>

using namespace bridgetest;
using namespace std::chrono_literals;
using SystemClock = std::chrono::system_clock;

namespace {

// The lines a reporter printed.
class LineLog {
public:
    StatusReporter::Sink sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        };
    }
    std::vector<std::string> all() const {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return lines.size();
    }
    // The first line from index `from` on that matches `pattern` in full;
    // "" when none came within the bound. `at` gets its index.
    std::string await(const std::regex& pattern, std::size_t from = 0, std::size_t* at = nullptr) const {
        std::string found;
        testsupport::eventually(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                for (std::size_t i = from; i < lines.size(); ++i) {
                    if (std::regex_match(lines[i], pattern)) {
                        found = lines[i];
                        if (at) *at = i;
                        return true;
                    }
                }
                return false;
            },
            10000ms);
        return found;
    }
    // Likewise for the first line that starts with `prefix`.
    std::string awaitStart(const std::string& prefix, std::size_t from = 0, std::size_t* at = nullptr) const {
        return await(std::regex(escaped(prefix) + ".*"), from, at);
    }

private:
    static std::string escaped(const std::string& text) {
        static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
        return std::regex_replace(text, special, R"(\$&)");
    }

    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

// The number of messages a line reports.
unsigned long long messagesOf(const std::string& line) {
    static const std::regex tail(R"(; (\d+) messages to the unit since the last status$)");
    std::smatch m;
    if (!std::regex_search(line, m, tail)) throw std::runtime_error("no message count in: " + line);
    return std::stoull(m[1]);
}

unsigned long long sumOfMessages(const std::vector<std::string>& lines) {
    unsigned long long sum = 0;
    for (const std::string& line : lines) sum += messagesOf(line);
    return sum;
}

// Whether `line` says the unit is retrying since a time of day between `from`
// and `to` (local time, whole seconds).
bool retryingSinceBetween(const std::string& line, SystemClock::time_point from, SystemClock::time_point to) {
    for (auto t = std::chrono::floor<std::chrono::seconds>(from); t <= to; t += std::chrono::seconds(1)) {
        const std::time_t secs = SystemClock::to_time_t(t);
        std::tm local{};
        localtime_r(&secs, &local);
        char text[16];
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
        if (line.rfind(std::string("SN>Status: unit retrying since ") + text + ";", 0) == 0) return true;
    }
    return false;
}

std::string messagesPattern() { return R"(\d+ messages to the unit since the last status)"; }

// Shorter waits, and a supervision cycle short enough to follow the unit away and back.
Timing statusTiming() {
    Timing t = shortTiming();
    t.supervisionCycle = 100ms;
    return t;
}

class StatusLines : public ::testing::Test {
protected:
    ~StatusLines() override {
        // As main: no reader left before the bridge goes.
        reporter.reset();
        if (starting.joinable()) starting.join();
        if (bridge) {
            bridge->stop();
            if (loop.joinable()) loop.join();
            handoff.withdraw();
            bridge.reset();
        }
    }

    // A bridge on the configuration for `address`, published for the reporter.
    void buildBridge(const std::string& address) {
        config.reset(new Configuration(writeConfig(dir, address).c_str()));
        bridge.reset(new SimulatorSample(config.get(), statusTiming()));
        if (recorder) bridge->setRecorder(recorder.get());
        handoff.publish(bridge.get());
    }
    void startReporter(std::chrono::milliseconds interval) {
        reporter = std::make_unique<StatusReporter>(handoff, interval, log.sink());
    }
    // initialize on its own thread: it waits for the unit.
    void startInitialize() {
        starting = std::thread([this] { initialized = bridge->initialize(false); });
    }
    bool awaitInitialized() {
        starting.join();
        return initialized;
    }
    void startLoop() {
        loop = std::thread([this] { bridge->run(); });
    }
    SentrelAdaptor& adaptor() { return Access::adaptor(*bridge); }
    // Paused, with no supervision loop to ping: once the last pass is out,
    // nothing more goes to the unit.
    void pauseAndLetTheUnitCatchUp() {
        ASSERT_EQ(servers->execute("pause"), "ok");
        ASSERT_TRUE(testsupport::eventually([&] { return !streamingVitals(adaptor()); }, kWait));
        ASSERT_TRUE(testsupport::eventually(
            [&] { return unit->totalMessageCount() == bridge->status().unit.messagesWritten; }, kWait));
    }

    testsupport::TempWorkingDirectory dir;
    std::unique_ptr<SimulatorEmulator> servers;
    std::unique_ptr<SentrelEmulator> unit;
    std::unique_ptr<SessionRecorder> recorder;
    std::unique_ptr<Configuration> config;
    std::unique_ptr<SimulatorSample> bridge;
    BridgeHandoff handoff;
    LineLog log;
    std::unique_ptr<StatusReporter> reporter;
    std::thread starting, loop;
    std::atomic<bool> initialized{false};
};

// Retrying while initialize holds the bridge lock, connected once the unit
// answers, retrying from the moment it went away, connected again once back.
TEST_F(StatusLines, FollowTheUnitLinkThroughRetryConnectionLossAndReconnection) {
    const std::string address = "127.0.18.10";
    servers = testsupport::startedServers(address, true, true, 3);
    buildBridge(address);
    startReporter(20ms);

    const auto attemptFrom = SystemClock::now();
    startInitialize();
    const std::string waiting = log.awaitStart("SN>Status: unit retrying since ");
    const auto attemptTo = SystemClock::now();
    EXPECT_TRUE(retryingSinceBetween(waiting, attemptFrom, attemptTo)) << waiting;
    // Nothing else is open yet: initialize opens the servers after the unit.
    EXPECT_THAT(waiting, testing::EndsWith("; SIM not connected; APP not connected; patient none; paused; "
                                           "feature disabled; calibration off; 0 messages to the unit since the "
                                           "last status"));

    unit = startedUnit(address);
    ASSERT_TRUE(awaitInitialized());
    startLoop();
    std::size_t upAt = 0;
    const std::string up = log.await(
        std::regex("SN>Status: unit connected to 127\\.0\\.18\\.10; SIM connected; APP connected; patient 3; "
                   "running; feature enabled; calibration off; " + messagesPattern()),
        0, &upAt);
    ASSERT_FALSE(up.empty()) << log.all().back();

    const auto lossFrom = SystemClock::now();
    unit->stop();
    std::size_t lostAt = 0;
    const std::string lost = log.awaitStart("SN>Status: unit retrying since ", upAt, &lostAt);
    const auto lossTo = SystemClock::now();
    EXPECT_TRUE(retryingSinceBetween(lost, lossFrom, lossTo)) << lost;

    unit = startedUnit(address);
    EXPECT_FALSE(log.awaitStart("SN>Status: unit connected to 127.0.18.10; SIM connected; APP connected; ", lostAt)
                     .empty());
    EXPECT_TRUE(unit->waitForMessageCount("WaveformData", 1, kWait));
}

// The simulator's side: paused, calibrating, feature off, and both servers away.
TEST_F(StatusLines, FollowTheSimulatorState) {
    const std::string address = "127.0.18.11";
    servers = testsupport::startedServers(address, true, true, 7);
    unit = startedUnit(address);
    buildBridge(address);
    startReporter(20ms);
    startInitialize();
    ASSERT_TRUE(awaitInitialized());
    const std::string prefix = "SN>Status: unit connected to 127.0.18.11; SIM connected; APP connected; patient 7; ";
    EXPECT_FALSE(log.awaitStart(prefix + "running; feature enabled; calibration off; ").empty());

    std::size_t from = log.size();
    ASSERT_EQ(servers->execute("pause"), "ok");
    ASSERT_EQ(servers->execute("calib 1 0"), "ok");
    EXPECT_FALSE(log.awaitStart(prefix + "paused; feature enabled; calibration on; ", from).empty());

    from = log.size();
    ASSERT_EQ(servers->execute("calib 0 0"), "ok");
    ASSERT_EQ(servers->execute("disable"), "ok");
    EXPECT_FALSE(log.awaitStart(prefix + "paused; feature disabled; calibration off; ", from).empty());

    from = log.size();
    ASSERT_EQ(servers->execute("down"), "ok");
    EXPECT_FALSE(
        log.awaitStart("SN>Status: unit connected to 127.0.18.11; SIM not connected; APP not connected; ", from)
            .empty());
}

// Lines come one per interval while a bridge is published; an interval of 0
// prints none, and neither does a reporter with no bridge to read.
TEST_F(StatusLines, OnePerIntervalNoneWhenOffOrWithoutABridge) {
    buildBridge("127.0.18.12");  // never initialized: its state is still readable
    startReporter(10ms);
    LineLog off, other;
    StatusReporter silent(handoff, 0ms, off.sink());
    BridgeHandoff otherHandoff;
    StatusReporter otherReporter(otherHandoff, 10ms, other.sink());

    ASSERT_TRUE(testsupport::eventually([&] { return log.size() >= 10; }, kWait)) << log.size();
    EXPECT_EQ(off.size(), 0u);
    EXPECT_EQ(other.size(), 0u);
    for (const std::string& line : log.all())
        EXPECT_EQ(line.rfind("SN>Status: unit retrying since ", 0), 0u) << line;

    // Withdrawn from one handoff and published in the other: the lines move over.
    handoff.withdraw();
    const std::size_t before = log.size();
    otherHandoff.publish(bridge.get());
    EXPECT_TRUE(testsupport::eventually([&] { return other.size() >= 10; }, kWait)) << other.size();
    otherHandoff.withdraw();
    EXPECT_LE(log.size(), before + 1);  // at most the one being printed at the withdrawal
    EXPECT_EQ(off.size(), 0u);
}

// The counts of the lines add up to what the unit received; with nothing
// sent in between, a line says 0.
TEST_F(StatusLines, MessageCountsAddUpToWhatTheUnitReceived) {
    const std::string address = "127.0.18.13";
    servers = testsupport::startedServers(address, true, true);
    unit = startedUnit(address);
    buildBridge(address);
    startReporter(100ms);
    startInitialize();
    ASSERT_TRUE(awaitInitialized());
    ASSERT_TRUE(unit->waitForMessageCount("WaveformData", 10, 10000ms));
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            int counting = 0;
            for (const std::string& line : log.all()) counting += messagesOf(line) > 0 ? 1 : 0;
            return counting >= 2;
        },
        kWait));

    pauseAndLetTheUnitCatchUp();
    const std::size_t quiet = log.size();
    ASSERT_TRUE(testsupport::eventually([&] { return log.size() >= quiet + 2; }, kWait));
    EXPECT_EQ(messagesOf(log.all().back()), 0u) << log.all().back();
    EXPECT_TRUE(testsupport::eventually([&] { return sumOfMessages(log.all()) == unit->totalMessageCount(); }, kWait))
        << sumOfMessages(log.all()) << " reported, " << unit->totalMessageCount() << " received";
}

// Main replaces bridges while a reporter reads as fast as it can: no read
// reaches a destroyed bridge, and the messages of the bridges gone still
// count in the next line.
TEST_F(StatusLines, ReplacedBridgesKeepTheirCountAndAreNeverReadWhenGone) {
    const std::string address = "127.0.18.14";
    unit = startedUnit(address);
    Configuration configuration(writeConfig(dir, address).c_str());
    startReporter(1ms);
    Timing timing = statusTiming();
    timing.clientCloseBound = 100ms;  // no servers: nothing to wait for
    constexpr unsigned kBridges = 4, kPings = 3;
    for (unsigned i = 0; i < kBridges; ++i) {
        auto next = std::make_unique<SimulatorSample>(&configuration, timing);
        handoff.publish(next.get());
        ASSERT_TRUE(next->initialize(false));
        for (unsigned p = 0; p < kPings; ++p) Access::adaptor(*next).sendPing();
        handoff.withdraw();
        next.reset();
    }
    ASSERT_TRUE(unit->waitForMessageCount("CalSelect", kBridges * kPings, kWait));
    buildBridge(address);  // published, not initialized: the lines go on
    EXPECT_TRUE(testsupport::eventually([&] { return sumOfMessages(log.all()) == kBridges * kPings; }, kWait))
        << sumOfMessages(log.all());
    // A reporter that starts now counts them all in its first line.
    LineLog late;
    StatusReporter lateReporter(handoff, 10ms, late.sink());
    ASSERT_TRUE(testsupport::eventually([&] { return late.size() >= 1; }, kWait));
    EXPECT_EQ(messagesOf(late.all().front()), kBridges * kPings) << late.all().front();
}

// A reporter reading as fast as it can takes nothing from the streaming: every
// WaveformData the bridge wrote reached the unit, and each came from a pass.
TEST_F(StatusLines, StreamingGoesOnUnchangedWhileTheLinesAreRead) {
    const std::string address = "127.0.18.15";
    servers = testsupport::startedServers(address, true, true);
    unit = startedUnit(address);
    recorder = std::make_unique<SessionRecorder>(dir.file("session.jsonl"));
    buildBridge(address);
    startReporter(1ms);
    startInitialize();
    ASSERT_TRUE(awaitInitialized());
    ASSERT_TRUE(unit->waitForMessageCount("WaveformData", 10, 10000ms));
    EXPECT_GT(log.size(), 10u);

    pauseAndLetTheUnitCatchUp();
    // The recorder's own thread writes the file after the message went out:
    // the last lines may still be on their way once the unit has them all.
    auto recordedWaves = [&] {
        std::ifstream in(dir.file("session.jsonl"));
        std::uint64_t n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.find("\"type\":\"WaveformData\"") != std::string::npos ? 1 : 0;
        return n;
    };
    const std::uint64_t received = unit->messageCount("WaveformData");
    testsupport::eventually([&] { return recordedWaves() >= received; }, kWait);
    const std::uint64_t recorded = recordedWaves();
    EXPECT_EQ(received, recorded);
    EXPECT_GE(SentrelAdaptor::TestAccess::streamingPasses(adaptor()), recorded);
    EXPECT_EQ(unit->malformedFrameCount(), 0u);
}

}  // namespace
