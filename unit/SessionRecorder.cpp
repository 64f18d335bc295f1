#include "SessionRecorder.h"

#include "Log.h"
#include "UnitJson.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// The MessageType of one of our messages, which all begin with it; "" when
// the text does not say.
std::string messageTypeOf(const std::string& json)
{
    static const std::string kLead = "{\"MessageType\":\"";
    if (json.compare(0, kLead.size(), kLead) == 0) {
        const std::size_t end = json.find('"', kLead.size());
        if (end != std::string::npos && json.find('\\', kLead.size()) > end)
            return json.substr(kLead.size(), end - kLead.size());
    }
    try {
        return unitjson::jsonStringToPtree(json).get<std::string>("MessageType", "");
    } catch (const std::exception&) {
        return std::string();
    }
}

// One line of the recording, time-stamped now.
std::string recordLine(const std::string& type, const std::string& rest)
{
    return "{\"time\":\"" + SessionRecorder::utcTimestamp() + "\",\"type\":\"" + unitjson::escapeJsonString(type) +
           "\"," + rest + "}\n";
}

} // namespace

SessionRecorder::SessionRecorder(std::string path, const Timing& timing, std::size_t capacity)
    : path(std::move(path)), timing(timing), capacity(capacity)
{
    // Non-blocking, so the writer waits for a slow reader in poll(), where it
    // can see a stop, and so a FIFO nobody reads yet refuses at once (ENXIO)
    // instead of holding the bridge before it has even reached the unit.
    fd = openForAppend();
    if (fd < 0 && errno != ENXIO) {
        fail(errno);
        return;
    }
    open = true;
    writer = std::thread(&SessionRecorder::writerLoop, this);
}

SessionRecorder::~SessionRecorder()
{
    finish(nullptr);
}

void SessionRecorder::messageWritten(const std::string& json)
{
    append(messageTypeOf(json), "\"message\":" + json);
}

void SessionRecorder::linkChanged(bool connected, const std::string& address)
{
    append("link", std::string("\"event\":\"") + (connected ? "connected" : "disconnected") + "\",\"address\":\"" +
                       unitjson::escapeJsonString(address) + "\"");
}

void SessionRecorder::stop(const std::string& reason)
{
    const std::string last = recordLine("stopped", "\"reason\":\"" + unitjson::escapeJsonString(reason) + "\"");
    finish(&last);
}

bool SessionRecorder::recording() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return open && !finishing;
}

unsigned long long SessionRecorder::droppedLines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return dropped;
}

std::string SessionRecorder::utcTimestamp()
{
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::universal_time();
    const boost::gregorian::date day = now.date();
    const boost::posix_time::time_duration tod = now.time_of_day();
    char text[64];  // room for any value of each field, which these never take
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02ld:%02ld:%02ld.%06ldZ", static_cast<int>(day.year()),
                  static_cast<int>(day.month()), static_cast<int>(day.day()), static_cast<long>(tod.hours()),
                  static_cast<long>(tod.minutes()), static_cast<long>(tod.seconds()),
                  static_cast<long>(tod.total_microseconds() % 1000000));
    return text;
}

void SessionRecorder::append(const std::string& type, const std::string& rest)
{
    std::string line = recordLine(type, rest);
    std::lock_guard<std::mutex> lock(mutex);
    if (!open || finishing)
        return;
    if (queue.size() >= capacity) {
        ++dropped;
        if (!behind) {
            behind = true;
            behindToReport = true;
            wake.notify_one();
        }
        return;
    }
    queue.push_back(std::move(line));
    wake.notify_one();
}

void SessionRecorder::finish(const std::string* lastLine)
{
    std::lock_guard<std::mutex> once(finishMutex);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!finishing) {
            finishing = true;
            drainDeadline = std::chrono::steady_clock::now() + timing.recordingDrainBound;
            // The last line gets its place even in a full queue.
            if (lastLine && open)
                queue.push_back(*lastLine);
            wake.notify_one();
        }
    }
    if (writer.joinable())
        writer.join();
    std::lock_guard<std::mutex> lock(mutex);
    dropped += queue.size();  // what the file did not take in time
    queue.clear();
    open = false;
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void SessionRecorder::writerLoop()
{
    // A reader gone is a write error (EPIPE) here, whatever the process does
    // with SIGPIPE: the signal a write raises goes to this thread, which
    // blocks it.
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
    if (fd < 0 && !openOnceReaderCame())
        return;
    for (;;) {
        std::string line;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return !queue.empty() || finishing || behindToReport; });
            if (queue.empty() && finishing)
                return;
            if (!queue.empty()) {
                line = std::move(queue.front());
                queue.pop_front();
                if (queue.empty())
                    behind = false;  // caught up: the next drop is a new episode
            }
        }
        reportFallingBehind();
        if (!line.empty() && writeLine(line) != Written::whole)
            return;
    }
}

SessionRecorder::Written SessionRecorder::writeLine(const std::string& line)
{
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (pastDrainDeadline())
                return Written::abandoned;
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, static_cast<int>(timing.recordingWritePoll.count()));
            reportFallingBehind();
            continue;
        }
        fail(n < 0 ? errno : 0);
        return Written::failed;
    }
    return Written::whole;
}

int SessionRecorder::openForAppend() const
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
}

bool SessionRecorder::openOnceReaderCame()
{
    // Lines queue meanwhile (and are dropped and counted once the queue is
    // full); a stop ends the wait.
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (wake.wait_for(lock, timing.recordingWritePoll, [this] { return finishing; }))
                return false;
        }
        reportFallingBehind();
        fd = openForAppend();
        if (fd >= 0)
            return true;
        if (errno != ENXIO) {
            fail(errno);
            return false;
        }
    }
}

bool SessionRecorder::pastDrainDeadline() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return finishing && std::chrono::steady_clock::now() >= drainDeadline;
}

void SessionRecorder::reportFallingBehind()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!behindToReport)
            return;
        behindToReport = false;
    }
    snlog::err() << "SN>ERROR>Recording to " << path << " is falling behind: lines are dropped";
}

void SessionRecorder::fail(int error)
{
    snlog::err() << "SN>ERROR>Recording to " << path << " stopped: " << (error ? std::strerror(error) : "write failed");
    std::lock_guard<std::mutex> lock(mutex);
    open = false;
    queue.clear();
}
