#include "Log.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace snlog {
namespace {

thread_local ThreadHold* threadHold = nullptr;

// The newest capture of a test, if any.
std::mutex captureMutex;
Capture* capture = nullptr;

// Serialises the write calls, so that a line longer than the system's atomic
// pipe write, or one written to a terminal, still goes out unbroken.
std::mutex writeMutex;
// Per stream: whether the last write ended its line (guarded by writeMutex).
// A message written without a newline is continued by the next one, which
// then gets no journal prefix of its own.
bool atLineStart[2] = {true, true};

int descriptor(Stream stream) { return stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO; }

// Whether JOURNAL_STREAM ("device:inode") names the file behind `fd`.
bool journalStream(int fd)
{
    const char* named = std::getenv("JOURNAL_STREAM");
    if (!named)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    const std::string expected =
        std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
        std::to_string(static_cast<unsigned long long>(st.st_ino));
    return expected == named;
}

bool underJournal(Stream stream)
{
    // Looked up once: the streams a process starts with do not change.
    static const bool out = journalStream(STDOUT_FILENO);
    static const bool err = journalStream(STDERR_FILENO);
    return stream == Stream::out ? out : err;
}

void writeAll(int fd, const std::string& bytes)
{
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a console that is gone: nothing better to do with the line
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

void emit(const Record& record)
{
    {
        std::lock_guard<std::mutex> lock(captureMutex);
        if (capture) {
            keep(*capture, record);
            return;
        }
    }
    const int index = record.stream == Stream::out ? 0 : 1;
    std::lock_guard<std::mutex> lock(writeMutex);
    std::string bytes;
    if (underJournal(record.stream)) {
        const std::string prefix = journalPrefix(record.priority, record.text);
        bytes.reserve(record.text.size() + prefix.size() + 1);
        if (atLineStart[index])
            bytes += prefix;
        for (char c : record.text) {
            bytes += c;
            if (c == '\n')
                bytes += prefix;  // journald reads each physical line as an entry
        }
    } else {
        bytes = record.text;
    }
    if (record.newline)
        bytes += '\n';
    atLineStart[index] = record.newline || (atLineStart[index] && record.text.empty());
    writeAll(descriptor(record.stream), bytes);
}

}  // namespace

void keep(Capture& into, const Record& record) { into.kept.push_back(record); }

std::string journalPrefix(Priority priority, const std::string& text)
{
    if (text.compare(0, 9, "SN>ERROR>") == 0 || text.compare(0, 9, "SN>ERROR:") == 0)
        priority = Priority::error;
    return "<" + std::to_string(static_cast<int>(priority)) + ">";
}

void write(Stream stream, Priority priority, const std::string& text, bool newline)
{
    if (threadHold) {
        threadHold->held.push_back(Record{stream, priority, text, newline});
        return;
    }
    emit(Record{stream, priority, text, newline});
}

ThreadHold::ThreadHold() : previous(threadHold) { threadHold = this; }

ThreadHold::~ThreadHold() { threadHold = previous; }

void ThreadHold::release(const std::function<bool(std::size_t, const Record&)>& keep)
{
    std::vector<Record> lines;
    lines.swap(held);
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!keep || keep(i, lines[i]))
            emit(lines[i]);
}

Capture::Capture()
{
    std::lock_guard<std::mutex> lock(captureMutex);
    previous = capture;
    capture = this;
}

Capture::~Capture()
{
    std::lock_guard<std::mutex> lock(captureMutex);
    capture = previous;
}

std::vector<Record> Capture::records() const
{
    std::lock_guard<std::mutex> lock(captureMutex);
    return kept;
}

std::string Capture::text(Stream stream) const
{
    std::string all;
    for (const Record& r : records())
        if (r.stream == stream)
            all += r.newline ? r.text + "\n" : r.text;
    return all;
}

void Capture::clear()
{
    std::lock_guard<std::mutex> lock(captureMutex);
    kept.clear();
}

}  // namespace snlog
