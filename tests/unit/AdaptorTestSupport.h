#pragma once

#include "SentrelAdaptor.h"
#include "ScriptedUnitPeer.h"
#include "TestSupport.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

// A fresh temporary folder that is the working directory for the life of the
// object: the adaptor writes its last-connected file there.
class WorkingDirectory {
public:
    WorkingDirectory()
    {
        char cwd[4096];
        previous = ::getcwd(cwd, sizeof cwd) ? cwd : "/tmp";
        if (::chdir(dir.path().c_str()) != 0)
            throw std::runtime_error("chdir " + dir.path());
    }
    ~WorkingDirectory()
    {
        if (::chdir(previous.c_str()) != 0) {
        }
    }
    const std::string& path() const { return dir.path(); }
    std::string read(const std::string& name) const { return dir.read(name); }
    void write(const std::string& name, const std::string& text) const { dir.write(name, text); }

private:
    testsupport::TempDir dir{"sn-unit"};
    std::string previous;
};

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
