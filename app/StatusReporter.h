#pragma once

#include "PeriodicThread.h"
#include "SessionRecorder.h"
#include "SimulatorSample.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The status line of unattended runs, e.g.
//   SN>Status: unit connected to 127.0.0.1; SIM connected; APP connected;
//   patient 3; running; feature enabled; calibration off; 812 messages to the
//   unit since the last status
// (one line). While the unit is away: "unit retrying since HH:MM:SS", local
// time. With a recording, "; N recording lines dropped" follows (dropped so
// far). A pure function of what it is given.
std::string statusLine(const SimulatorSample::Status& status, unsigned long long messagesSinceLast,
                       std::optional<unsigned long long> recordingLinesDropped = std::nullopt);

// Which bridge main runs now, for the reporter's thread and a stop signal.
// Main publishes a bridge once built and withdraws it before destroying it; a
// read or stop in progress ends first, since all hold the handoff's lock, so
// none reaches a destroyed bridge.
class BridgeHandoff {
public:
    struct Reading {
        SimulatorSample::Status status;
        // Messages written to the unit by every bridge so far, withdrawn ones included.
        unsigned long long messagesAllBridges = 0;
        // Which bridge this is (1 for the first one published), and how far
        // its loops have come.
        unsigned long long bridgeNumber = 0;
        SimulatorSample::Progress progress;
    };

    void publish(SimulatorSample* bridge);
    void withdraw();
    // Stops the current bridge and every one published from now on.
    void stop();
    // The current bridge's status; nothing while no bridge is published.
    std::optional<Reading> read() const;

private:
    mutable std::mutex mutex;
    SimulatorSample* current = nullptr;
    unsigned long long published = 0;  // bridges published so far
    unsigned long long withdrawnMessages = 0;  // written by the bridges withdrawn so far
    bool stopped = false;
};

// A thread that prints one status line every `interval` while a bridge is
// published (interval 0: no thread, no lines), with the dropped lines of
// `recording` (not owned; nullptr: none). Each line goes to `sink`
// whole; the default writes it to standard output with its newline in one
// write, so it never mixes with other threads' lines. The destructor stops
// and joins the thread.
class StatusReporter {
public:
    using Sink = std::function<void(const std::string& line)>;

    StatusReporter(const BridgeHandoff& handoff, std::chrono::milliseconds interval, Sink sink = Sink(),
                   const SessionRecorder* recording = nullptr);
    ~StatusReporter();
    StatusReporter(const StatusReporter&) = delete;
    StatusReporter& operator=(const StatusReporter&) = delete;

private:
    void turn();
    void report();

    const BridgeHandoff& handoff;
    const std::chrono::milliseconds interval;
    const SessionRecorder* const recording;
    const Sink sink;
    unsigned long long reportedMessages = 0;  // messages counted by the lines so far

    std::unique_ptr<PeriodicThread> thread;  // last: stopped before the members it reads go
};
