#pragma once

#include "SentrelAdaptor.h"
#include "ScriptedUnitPeer.h"
#include "TestSupport.h"

#include <chrono>
#include <stdexcept>
#include <string>

// Short waits for tests; everything else keeps the program's values.
inline Timing quickTiming()
{
    using std::chrono::milliseconds;
    Timing t;
    t.retryPause = milliseconds(10);
    t.wifiJoinWait = milliseconds(10);
    t.replyTimeout = milliseconds(3000);
    t.writeTimeout = milliseconds(3000);
    t.interfaceLookupPause = milliseconds(10);
    return t;
}

inline std::size_t countOf(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}
