#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <vector>

// The one way a console line leaves the programs. A line is built whole and
// written with one write call to its stream, so lines from different threads
// never mix, and each goes out as soon as it is complete.
//
//   snlog::out() << "SN>Running...";                  // standard output
//   snlog::err() << "SN>ERROR>" << e.what();          // standard error
//
// Streams: each line keeps the stream it has always had. Where nothing fixes
// one, the rule is: errors and refusals of the command line go to standard
// error, everything else (progress, state, debug lines) to standard output.
//
// Priorities only matter under systemd: when JOURNAL_STREAM names the stream
// a line goes to, every physical line is prefixed "<3>" (errors), "<4>"
// (warnings) or "<6>" (the rest), so that `journalctl -p err` finds the
// errors. A line starting "SN>ERROR" is an error whatever its call site says.
// Elsewhere the bytes are exactly the line and its newline.
namespace snlog {

enum class Stream { out, err };
enum class Priority { error = 3, warning = 4, info = 6 };

struct Record {
    Stream stream;
    Priority priority;
    std::string text;  // without the final newline; may hold inner newlines
    bool newline = true;  // false for the few messages written without one
};

// Writes `text` and a newline as one line (held or captured, see below);
// without the newline when `newline` is false.
void write(Stream stream, Priority priority, const std::string& text, bool newline = true);

// Builds a line with << and writes it whole when it goes out of scope.
class Line {
public:
    Line(Stream stream, Priority priority) : stream(stream), priority(priority) {}
    ~Line() { write(stream, priority, text.str(), newline); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // For the few messages that go out without a newline:
    //   snlog::err().withoutNewline() << "Unable to read the configuration file";
    Line& withoutNewline()
    {
        newline = false;
        return *this;
    }

    template <class T>
    Line& operator<<(const T& value)
    {
        text << value;
        return *this;
    }
    // Manipulators such as std::fixed or std::hex.
    Line& operator<<(std::ostream& (*manipulator)(std::ostream&))
    {
        text << manipulator;
        return *this;
    }
    Line& operator<<(std::ios_base& (*manipulator)(std::ios_base&))
    {
        text << manipulator;
        return *this;
    }

private:
    Stream stream;
    Priority priority;
    bool newline = true;
    std::ostringstream text;
};

inline Line out(Priority priority = Priority::info) { return Line(Stream::out, priority); }
inline Line err(Priority priority = Priority::error) { return Line(Stream::err, priority); }

// The journal prefix a line gets under systemd ("<3>", "<4>" or "<6>").
std::string journalPrefix(Priority priority, const std::string& text);

// Holds the lines this thread writes while it lives, instead of writing
// them; the holder then decides which to write. Nested holds on one thread
// are not supported (the inner one wins while it lives).
class ThreadHold {
public:
    ThreadHold();
    ~ThreadHold();  // lines still held are dropped
    ThreadHold(const ThreadHold&) = delete;
    ThreadHold& operator=(const ThreadHold&) = delete;

    const std::vector<Record>& lines() const { return held; }
    // Writes the held lines (all, or those `keep` accepts) and forgets them.
    void release(const std::function<bool(std::size_t index, const Record&)>& keep = nullptr);

private:
    friend void write(Stream, Priority, const std::string&, bool);
    std::vector<Record> held;
    ThreadHold* previous;
};

// For tests: while a Capture lives, every line of every thread is kept by it
// instead of reaching the console (lines a ThreadHold releases included).
// Captures nest: the newest one alive takes the lines, and when it ends the
// one before it takes them again.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<Record> records() const;
    // The captured bytes of `stream` (each line with its newline), in order.
    std::string text(Stream stream) const;
    std::string out() const { return text(Stream::out); }
    std::string err() const { return text(Stream::err); }
    void clear();

private:
    friend void keep(Capture&, const Record&);
    std::vector<Record> kept;  // guarded by the facility's capture lock
    Capture* previous;
};

}  // namespace snlog
