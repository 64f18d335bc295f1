#pragma once

#include "Timing.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Appends what the bridge sends to the unit to a file, one JSON object per
// line:
//   {"time":"2026-12-08T10:15:30.123456Z","type":"VitalsData","message":{...}}
//   {"time":"...","type":"link","event":"connected","address":"127.0.0.1"}
//   {"time":"...","type":"stopped","reason":"SIGTERM"}     (the last line of an orderly stop)
// "time" is UTC with microseconds, taken when the line is handed over.
// "message" is the message's JSON text exactly as written to the unit.
//
// The recording is a side path of the stream: a line handed over goes into a
// bounded queue that the recorder's own thread writes, each line with one
// write call (nothing buffered in the process), so a caller never waits for
// the file. When the queue is full the line is dropped and counted, and the
// thread says once per episode (until the queue has drained) that the
// recording is falling behind. A failure to open or write the file prints one
// "SN>ERROR>" line and ends the recording; the caller goes on.
// Safe to call from several threads.
class SessionRecorder {
public:
    static constexpr std::size_t kDefaultCapacity = 10000;

    // Opens `path` for appending; a FIFO with no reader yet is opened by the
    // writer once one comes, lines queuing meanwhile. `timing` gives the
    // writer's poll step and how long a stop waits for the file.
    explicit SessionRecorder(std::string path, const Timing& timing = Timing(),
                             std::size_t capacity = kDefaultCapacity);
    // Ends the writer like stop(), without a last line.
    ~SessionRecorder();
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // `json` was written to the unit.
    void messageWritten(const std::string& json);
    // The link to the unit at `address` came up or went down.
    void linkChanged(bool connected, const std::string& address);

    // Ends the recording: queues the last line {"type":"stopped","reason":
    // `reason`} and waits until the thread has written everything queued, or
    // for Timing::recordingDrainBound at most (what the file has not taken
    // by then is dropped). Lines handed over later are ignored. Once only.
    void stop(const std::string& reason);

    // False once the recording has stopped, after a failure or a stop.
    bool recording() const;
    // Lines dropped so far because the queue was full.
    unsigned long long droppedLines() const;

    // "2026-12-08T10:15:30.123456Z" for now.
    static std::string utcTimestamp();

private:
    // Builds the line now and queues it, or drops and counts it.
    void append(const std::string& type, const std::string& rest);
    // Ends the thread after what is queued (bounded), then closes the file.
    void finish(const std::string* lastLine);
    void writerLoop();
    int openForAppend() const;
    // The writer's wait for the reader of a FIFO; false when stopped or failed.
    bool openOnceReaderCame();
    enum class Written { whole, failed, abandoned };
    Written writeLine(const std::string& line);
    bool pastDrainDeadline() const;
    void reportFallingBehind();
    void fail(int error);

    const std::string path;
    const Timing timing;
    const std::size_t capacity;
    int fd = -1;  // used by the writer thread only, once started

    mutable std::mutex mutex;  // guards the members below; never held for I/O
    std::condition_variable wake;
    std::deque<std::string> queue;
    bool open = false;        // opened and neither failed nor stopped
    bool finishing = false;   // a stop or the destructor asked the thread to end
    std::chrono::steady_clock::time_point drainDeadline;
    unsigned long long dropped = 0;
    bool behind = false;          // an episode of drops is under way
    bool behindToReport = false;  // ... and the thread has not said so yet

    std::mutex finishMutex;  // one finish at a time: it joins the thread
    std::thread writer;
};
