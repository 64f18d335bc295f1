#pragma once

#include <cstdio>
#include <mutex>
#include <string>

// Appends what the bridge sends to the unit to a file, one JSON object per
// line, each line flushed as written so that a killed process loses nothing
// already recorded:
//   {"time":"2026-12-08T10:15:30.123456Z","type":"VitalsData","message":{...}}
//   {"time":"...","type":"link","event":"connected","address":"127.0.0.1"}
// "time" is UTC with microseconds. "message" is the message's JSON text
// exactly as written to the unit. The first failure to open or write the
// file prints one "SN>ERROR>" line and ends the recording; the caller goes on.
// Safe to call from several threads.
class SessionRecorder {
public:
    explicit SessionRecorder(std::string path);
    ~SessionRecorder();
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // `json` was written to the unit.
    void messageWritten(const std::string& json);
    // The link to the unit at `address` came up or went down.
    void linkChanged(bool connected, const std::string& address);

    // False once recording has stopped after a failure.
    bool recording() const;

    // "2026-12-08T10:15:30.123456Z" for now.
    static std::string utcTimestamp();

private:
    void append(const std::string& type, const std::string& rest);
    void fail(int error);

    const std::string path;
    mutable std::mutex mutex;  // guards file and the writes
    std::FILE* file = nullptr;
};
