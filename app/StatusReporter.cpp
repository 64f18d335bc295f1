#include "StatusReporter.h"

#include "Log.h"

#include <ctime>
#include <exception>
#include <utility>

namespace {

// HH:MM:SS of a wall-clock time, local time.
std::string localTimeOfDay(std::chrono::system_clock::time_point t)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

const char* connectedText(bool connected)
{
    return connected ? "connected" : "not connected";
}

void printLine(const std::string& line)
{
    snlog::out() << line;
}

} // namespace

std::string statusLine(const SimulatorSample::Status& s, unsigned long long messagesSinceLast,
                       std::optional<unsigned long long> recordingLinesDropped)
{
    std::string line = "SN>Status: ";
    if (s.unit.connected)
        line += "unit connected to " + s.unit.address;
    else
        line += "unit retrying since " + localTimeOfDay(s.unit.downSince);
    line += std::string("; SIM ") + connectedText(s.simConnected);
    line += std::string("; APP ") + connectedText(s.appConnected);
    line += "; patient " + (s.patientId != 0 ? std::to_string(s.patientId) : std::string("none"));
    line += s.running ? "; running" : "; paused";
    line += s.featureEnabled ? "; feature enabled" : "; feature disabled";
    line += s.calibrating ? "; calibration on" : "; calibration off";
    line += "; " + std::to_string(messagesSinceLast) + " messages to the unit since the last status";
    if (recordingLinesDropped)
        line += "; " + std::to_string(*recordingLinesDropped) + " recording lines dropped";
    return line;
}

// ---------------------------------------------------------------------------
// BridgeHandoff

void BridgeHandoff::publish(SimulatorSample* bridge)
{
    std::lock_guard<std::mutex> lock(mutex);
    current = bridge;
    ++published;
    if (stopped)
        current->stop();
}

void BridgeHandoff::stop()
{
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    if (current)
        current->stop();
}

void BridgeHandoff::withdraw()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!current)
        return;
    // Its count goes on in the total, so the next line still counts them.
    withdrawnMessages += current->status().unit.messagesWritten;
    current = nullptr;
}

std::optional<BridgeHandoff::Reading> BridgeHandoff::read() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!current)
        return std::nullopt;
    Reading r;
    r.status = current->status();
    r.messagesAllBridges = withdrawnMessages + r.status.unit.messagesWritten;
    r.bridgeNumber = published;
    r.progress = current->progress();
    return r;
}

// ---------------------------------------------------------------------------
// StatusReporter

StatusReporter::StatusReporter(const BridgeHandoff& handoff, std::chrono::milliseconds interval, Sink sink,
                               const SessionRecorder* recording)
    : handoff(handoff), interval(interval), recording(recording), sink(sink ? std::move(sink) : Sink(printLine))
{
    if (interval.count() > 0)
        thread = std::make_unique<PeriodicThread>(interval, [this] { turn(); });
}

StatusReporter::~StatusReporter()
{
    thread.reset();
}

void StatusReporter::turn()
{
    try {
        report();
    } catch (const std::exception& e) {
        snlog::err() << "SN>ERROR>Status line: " << e.what();
    }
}

void StatusReporter::report()
{
    const std::optional<BridgeHandoff::Reading> reading = handoff.read();
    if (!reading)
        return;  // between two bridges: their messages count in the next line
    const unsigned long long since = reading->messagesAllBridges - reportedMessages;
    reportedMessages = reading->messagesAllBridges;
    std::optional<unsigned long long> dropped;
    if (recording)
        dropped = recording->droppedLines();
    sink(statusLine(reading->status, since, dropped));
}
