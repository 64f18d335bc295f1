// The session recording: its line format on its own, and through the real
// adaptor against the emulated unit on loopback (127.0.11.x): every message
// the unit received is recorded once, in order, byte for byte; link changes
// are recorded; a recording that cannot be written says so once, and one
// that cannot keep up drops lines, and the stream goes on either way.
#include "AdaptorTestSupport.h"
#include "Log.h"
#include "SentrelEmulator.h"
#include "SessionRecorder.h"
#include "StalledFifo.h"

#include <boost/property_tree/json_parser.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

namespace pt = boost::property_tree;

struct Line {
    std::string text;  // the whole line
    pt::ptree tree;    // parsed
};

std::vector<Line> recordedLines(const std::string& path)
{
    std::vector<Line> lines;
    std::ifstream in(path, std::ios::binary);
    std::string text;
    while (std::getline(in, text)) {
        Line line{text, {}};
        std::istringstream json(text);
        pt::read_json(json, line.tree);  // every line is one JSON object
        lines.push_back(line);
    }
    return lines;
}

// The "message" member exactly as it stands in the line.
std::string messageText(const std::string& line)
{
    const std::string key = ",\"message\":";
    const std::size_t at = line.find(key);
    return at == std::string::npos ? "" : line.substr(at + key.size(), line.size() - at - key.size() - 1);
}

std::vector<std::string> recordedMessages(const std::string& path)
{
    std::vector<std::string> out;
    for (const Line& line : recordedLines(path))
        if (line.tree.get<std::string>("type") != "link")
            out.push_back(messageText(line.text));
    return out;
}

std::vector<std::string> linkEvents(const std::string& path)
{
    std::vector<std::string> out;
    for (const Line& line : recordedLines(path))
        if (line.tree.get<std::string>("type") == "link")
            out.push_back(line.tree.get<std::string>("event") + " " + line.tree.get<std::string>("address"));
    return out;
}

std::unique_ptr<SentrelEmulator> startUnit(const std::string& address)
{
    SentrelEmulator::Options o;
    o.address = address;
    o.udpPort = 0;
    auto unit = std::make_unique<SentrelEmulator>(o);
    unit->start();
    return unit;
}

bool hasLines(const std::string& path, std::size_t count)
{
    return testsupport::eventually([&] { return recordedLines(path).size() >= count; }, 5000ms);
}

using StalledReader = testsupport::StalledFifo;

Timing recorderTiming()
{
    Timing t = quickTiming();
    t.recordingWritePoll = 10ms;
    t.recordingDrainBound = 200ms;
    return t;
}

std::vector<std::string> receivedByUnit(const SentrelEmulator& unit)
{
    std::vector<std::string> out;
    for (const auto& m : unit.messageLog())
        out.push_back(m.json);
    return out;
}

TEST(SessionRecorderLines, MessagesAndLinkChangesInTheRecordingFormat)
{
    testsupport::TempDir dir("sn-record");
    const std::string path = dir.file("session.jsonl");
    dir.write("session.jsonl", "{\"earlier\":true}\n");  // appended to, never truncated
    {
        SessionRecorder recorder(path);
        recorder.linkChanged(true, "127.0.0.1");
        recorder.messageWritten(unitmsg::kCalSelectPing);
        recorder.messageWritten("{\"MessageType\":\"WaveformData\",\"Message\":{\"abp\":[1,2,4],\"aux\":[]}}");
        recorder.linkChanged(false, "::1");
        EXPECT_TRUE(recorder.recording());
        // Written as handed over: readable before the recorder goes.
        EXPECT_TRUE(hasLines(path, 5));
    }
    const auto lines = recordedLines(path);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text, "{\"earlier\":true}");
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(testsupport::startsWithRecordTime(lines[i].text)) << lines[i].text;
    EXPECT_THAT(lines[1].text, testing::EndsWith("\"type\":\"link\",\"event\":\"connected\",\"address\":\"127.0.0.1\"}"));
    EXPECT_THAT(lines[2].text, testing::EndsWith(std::string("\"type\":\"CalSelect\",\"message\":") +
                                                 unitmsg::kCalSelectPing + "}"));
    EXPECT_THAT(lines[3].text, testing::EndsWith("\"type\":\"WaveformData\",\"message\":{\"MessageType\":"
                                                 "\"WaveformData\",\"Message\":{\"abp\":[1,2,4],\"aux\":[]}}}"));
    EXPECT_EQ(lines[3].tree.get_child("message.Message.abp").size(), 3u);  // arrays stay arrays
    EXPECT_THAT(lines[4].text, testing::EndsWith("\"event\":\"disconnected\",\"address\":\"::1\"}"));
}

TEST(SessionRecorderLines, TheTypeOfAMessageNotStartingWithItIsStillFound)
{
    testsupport::TempDir dir("sn-record");
    {
        SessionRecorder recorder(dir.file("r.jsonl"));
        recorder.messageWritten("{ \"Message\":{}, \"MessageType\":\"Odd\\\"Type\"}");
        recorder.messageWritten("{\"Message\":{}}");
    }  // the writer has written what it was handed
    const auto lines = recordedLines(dir.file("r.jsonl"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].tree.get<std::string>("type"), "Odd\"Type");
    EXPECT_EQ(lines[1].tree.get<std::string>("type"), "");
}

TEST(SessionRecorderLines, AnUnwritableFileGivesOneErrorLineAndStops)
{
    testsupport::TempDir dir("sn-record");
    for (const std::string& path : {dir.file("missing/folder/r.jsonl"), dir.path()}) {
        snlog::Capture capture;
        SessionRecorder recorder(path);
        recorder.linkChanged(true, "127.0.0.1");
        recorder.messageWritten(unitmsg::kCalSelectPing);
        recorder.stop("exit");
        const std::string err = capture.err();
        EXPECT_EQ(err.rfind("SN>ERROR>Recording to " + path + " stopped: ", 0), 0u) << err;
        EXPECT_EQ(countOf(err, "\n"), 1u) << err;
        EXPECT_FALSE(recorder.recording());
    }
}

TEST(SessionRecorderLines, AFullDiskGivesOneErrorLineAtTheFirstWrite)
{
    snlog::Capture capture;
    SessionRecorder recorder("/dev/full");
    EXPECT_TRUE(recorder.recording());
    EXPECT_EQ(capture.err(), "");
    for (int i = 0; i < 5; ++i)
        recorder.messageWritten(unitmsg::kCalSelectPing);
    EXPECT_TRUE(testsupport::eventually([&] { return !recorder.recording(); }, 5000ms));
    recorder.stop("exit");
    EXPECT_EQ(capture.err(), "SN>ERROR>Recording to /dev/full stopped: No space left on device\n");
}

TEST(SessionRecorderLines, AStopWritesTheLastLineAfterEverythingQueued)
{
    testsupport::TempDir dir("sn-record");
    SessionRecorder recorder(dir.file("r.jsonl"));
    for (int i = 0; i < 100; ++i)
        recorder.messageWritten(unitmsg::kCalSelectPing);
    recorder.stop("SIGTERM");
    recorder.messageWritten(unitmsg::kCalSelectPing);  // after the stop: ignored
    EXPECT_FALSE(recorder.recording());
    const auto lines = recordedLines(dir.file("r.jsonl"));
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_TRUE(testsupport::startsWithRecordTime(lines.back().text)) << lines.back().text;
    EXPECT_THAT(lines.back().text, testing::EndsWith("Z\",\"type\":\"stopped\",\"reason\":\"SIGTERM\"}"));
    EXPECT_EQ(lines.back().text.size(), 74u);  // nothing else in it
    EXPECT_EQ(recorder.droppedLines(), 0u);
}

// A reader that stops reading never holds up the caller: once the queue is
// full, lines are dropped and counted, and the recording says so once per
// episode. A stop then ends within its bound, though the reader takes nothing.
TEST(SessionRecorderLines, AStalledReaderCostsDroppedLinesNeverAWait)
{
    testsupport::TempDir dir("sn-record");
    StalledReader reader(dir.file("fifo"));
    snlog::Capture capture;
    SessionRecorder recorder(dir.file("fifo"), recorderTiming(), 20);
    const std::string wave = "{\"MessageType\":\"WaveformData\",\"Message\":{\"abp\":[" + std::string(300, '1') + "]}}";
    auto handOver = [&](int lines) {
        std::atomic<bool> done{false};
        std::thread caller([&] {
            for (int i = 0; i < lines; ++i)
                recorder.messageWritten(wave);
            done = true;
        });
        const bool returned = testsupport::eventually([&] { return done.load(); }, 10000ms);
        caller.join();
        return returned;
    };
    ASSERT_TRUE(handOver(1000));
    EXPECT_GT(recorder.droppedLines(), 900u);
    const std::string behind = "SN>ERROR>Recording to " + dir.file("fifo") + " is falling behind: lines are dropped\n";
    ASSERT_TRUE(testsupport::eventually([&] { return capture.err() == behind; }, 5000ms)) << capture.err();

    // The reader catches up: the queue drains, and the next overflow is a new
    // episode. Every line taken in has been read once the queue is empty.
    const unsigned long long taken = 1000 - recorder.droppedLines();
    std::string read;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            read += reader.drain();
            return countOf(read, "\n") >= taken;
        },
        5000ms));
    const unsigned long long droppedBefore = recorder.droppedLines();
    ASSERT_TRUE(handOver(1000));
    EXPECT_GT(recorder.droppedLines(), droppedBefore);
    ASSERT_TRUE(testsupport::eventually([&] { return capture.err() == behind + behind; }, 5000ms)) << capture.err();
    EXPECT_TRUE(recorder.recording());

    recorder.stop("SIGTERM");  // nothing reads: bounded by the drain bound
    EXPECT_FALSE(recorder.recording());
    EXPECT_EQ(countOf(capture.err(), "\n"), 2u) << capture.err();
}

// A reader gone before the first line: one error line, no signal.
TEST(SessionRecorderLines, AReaderGoneStopsTheRecordingWithOneLine)
{
    testsupport::TempDir dir("sn-record");
    StalledReader reader(dir.file("fifo"));
    snlog::Capture capture;
    SessionRecorder recorder(dir.file("fifo"), recorderTiming());
    reader.close();
    recorder.linkChanged(true, "127.0.0.1");
    recorder.messageWritten(unitmsg::kCalSelectPing);
    EXPECT_TRUE(testsupport::eventually([&] { return !recorder.recording(); }, 5000ms));
    recorder.stop("exit");
    EXPECT_EQ(capture.err(), "SN>ERROR>Recording to " + dir.file("fifo") + " stopped: Broken pipe\n");
}

// A FIFO nobody reads yet holds no caller, not even the one that makes the
// recorder: lines queue until a reader comes, and a stop ends the wait.
TEST(SessionRecorderLines, AFifoWithNoReaderYetIsOpenedOnceOneComes)
{
    testsupport::TempDir dir("sn-record");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    snlog::Capture capture;
    std::unique_ptr<SessionRecorder> recorder;
    std::atomic<bool> made{false};
    std::thread maker([&] {
        recorder = std::make_unique<SessionRecorder>(fifo, recorderTiming());
        made = true;
    });
    const bool madeAtOnce = testsupport::eventually([&] { return made.load(); }, 5000ms);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // also frees a maker that waits
    maker.join();
    ASSERT_TRUE(madeAtOnce);
    ASSERT_GE(reader, 0);
    recorder->linkChanged(true, "127.0.0.1");
    recorder->messageWritten(unitmsg::kCalSelectPing);
    std::string read;
    const bool arrived = testsupport::eventually(
        [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
                read.append(buffer, static_cast<std::size_t>(n));
            return countOf(read, "\n") == 2;
        },
        5000ms);
    ::close(reader);
    EXPECT_TRUE(arrived) << read;
    EXPECT_NE(read.find(unitmsg::kCalSelectPing), std::string::npos) << read;
    recorder.reset();

    // Nobody ever reads: the stop ends the wait, with nothing to say.
    SessionRecorder waiting(fifo, recorderTiming());
    waiting.messageWritten(unitmsg::kCalSelectPing);
    EXPECT_TRUE(waiting.recording());
    waiting.stop("SIGTERM");
    EXPECT_FALSE(waiting.recording());
    EXPECT_EQ(waiting.droppedLines(), 2u);
    EXPECT_EQ(capture.err(), "");
}

// --- Through the adaptor ---

struct RecordedSession : testing::Test {
    void start(const std::string& address, const std::string& recording,
               std::size_t capacity = SessionRecorder::kDefaultCapacity)
    {
        unit = startUnit(address);
        recorder = std::make_unique<SessionRecorder>(recording, recorderTiming(), capacity);
        adaptor = std::make_unique<SentrelAdaptor>(quickTiming());
        adaptor->setRecorder(recorder.get());  // before initialize
        ASSERT_TRUE(adaptor->initialize("", address, "", "", false));
    }
    // Some of everything the bridge writes: vitals and waveforms through the
    // streaming thread, pings, and a request with its reply.
    void drive(int rounds = 5)
    {
        adaptor->enableStreamVitals(true);
        for (int round = 0; round < rounds; ++round) {
            adaptor->sendHR_bpm(60 + round);
            std::vector<float> abp = {80, 90, 100, 110, 120};
            adaptor->sendABP_50Hz(abp);
            ASSERT_TRUE(unit->waitForMessageCount("WaveformData", round + 1, 5s));
            adaptor->sendPing();
        }
        EXPECT_EQ(adaptor->getJsonKeyValue(adaptor->sendRequestOtherStatus(), "MessageType"), "StatusData");
    }
    std::string recordingPath() const { return dir.file("session.jsonl"); }

    testsupport::TempWorkingDirectory workDir;
    testsupport::TempDir dir{"sn-record"};
    std::unique_ptr<SentrelEmulator> unit;
    std::unique_ptr<SessionRecorder> recorder;
    std::unique_ptr<SentrelAdaptor> adaptor;  // goes first: its thread uses the recorder
};

TEST_F(RecordedSession, EveryMessageTheUnitReceivedIsRecordedOnceInOrderByteForByte)
{
    start("127.0.11.1", recordingPath());
    drive();
    const std::uint64_t total = unit->totalMessageCount();
    ASSERT_GE(total, 11u);
    ASSERT_TRUE(testsupport::eventually([&] { return recordedMessages(recordingPath()).size() >= total; }, 5000ms));
    adaptor.reset();
    EXPECT_EQ(recordedMessages(recordingPath()), receivedByUnit(*unit));
    for (const Line& line : recordedLines(recordingPath())) {
        const std::string type = line.tree.get<std::string>("type");
        EXPECT_EQ(type, type == "link" ? "link" : line.tree.get<std::string>("message.MessageType"));
    }
}

TEST_F(RecordedSession, LinkChangesAreRecordedWithTheAddress)
{
    start("127.0.11.2", recordingPath());
    ASSERT_TRUE(hasLines(recordingPath(), 1));
    EXPECT_EQ(linkEvents(recordingPath()), std::vector<std::string>{"connected 127.0.11.2"});

    adaptor->close();
    adaptor->sendPing();  // fails on the closed link: no second "disconnected"
    EXPECT_FALSE(adaptor->checkConnection());
    ASSERT_TRUE(adaptor->initialize("", "127.0.11.2", "", "", false));
    // The unit goes away: the next write finds the link lost.
    unit->stop();
    const bool lost = testsupport::eventually(
        [&] {
            adaptor->sendPing();
            return !adaptor->checkConnection();
        },
        5000ms, 10ms);
    EXPECT_TRUE(lost);
    recorder->stop("exit");
    EXPECT_EQ(linkEvents(recordingPath()),
              (std::vector<std::string>{"connected 127.0.11.2", "disconnected 127.0.11.2", "connected 127.0.11.2",
                                        "disconnected 127.0.11.2"}));
    // Only messages the unit took are recorded: the failed pings are not.
    for (const Line& line : recordedLines(recordingPath())) {
        const std::string type = line.tree.get<std::string>("type");
        if (type != "link" && type != "stopped") {
            EXPECT_EQ(messageText(line.text), unitmsg::kCalSelectPing);
        }
    }
}

TEST_F(RecordedSession, AnUnwritableRecordingSaysSoOnceAndStreamingGoesOn)
{
    snlog::Capture capture;
    start("127.0.11.3", dir.file("no/such/folder/session.jsonl"));
    drive();
    const std::string err = capture.err();
    EXPECT_EQ(countOf(err, "SN>ERROR>"), 1u) << err;
    EXPECT_THAT(err, HasSubstr("SN>ERROR>Recording to " + dir.file("no/such/folder/session.jsonl") + " stopped: "));
    EXPECT_GE(unit->messageCount("VitalsData"), 1u);
    EXPECT_EQ(unit->messageCount("WaveformData"), 5u);
    EXPECT_EQ(unit->messageCount("CalSelect"), 5u);
}

TEST_F(RecordedSession, AFullDiskStopsTheRecordingNotTheStream)
{
    snlog::Capture capture;
    start("127.0.11.4", "/dev/full");
    drive();
    EXPECT_TRUE(testsupport::eventually([&] { return !recorder->recording(); }, 5000ms));
    EXPECT_EQ(capture.err(), "SN>ERROR>Recording to /dev/full stopped: No space left on device\n");
    EXPECT_EQ(unit->messageCount("WaveformData"), 5u);
    EXPECT_EQ(unit->messageCount("StatusRequest"), 1u);
}

// The recording's reader stalls: the unit gets every message as ever, the
// recording drops what does not fit in its queue.
TEST_F(RecordedSession, AStalledRecordingNeverHoldsUpTheStream)
{
    StalledReader reader(dir.file("fifo"));
    snlog::Capture capture;
    start("127.0.11.5", dir.file("fifo"), 4);
    drive(40);
    EXPECT_EQ(unit->messageCount("WaveformData"), 40u);
    EXPECT_EQ(unit->messageCount("CalSelect"), 40u);
    EXPECT_GT(recorder->droppedLines(), 0u);
    EXPECT_TRUE(testsupport::eventually([&] { return countOf(capture.err(), "is falling behind") == 1; }, 5000ms))
        << capture.err();
}

} // namespace
