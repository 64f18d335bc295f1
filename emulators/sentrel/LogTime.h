#pragma once

#include <chrono>
#include <string>

// UTC wall-clock time with milliseconds, ISO-8601 with a trailing Z, for the
// emulated unit's message log: "2026-12-08T10:15:30.123Z".
std::string utcMillisTimestamp(std::chrono::system_clock::time_point t = std::chrono::system_clock::now());
