#pragma once

// The emulated unit's control words, one per line on standard input:
//   reset          close the bridge's connection now, abortively (a reset)
//   refuse on      refuse new connections and close the current one
//   refuse off     accept connections again
//   quit           stop the program cleanly
// Blank lines are ignored; anything else gets a one-line note.

#include <functional>
#include <string>
#include <thread>

class SentrelEmulator;

enum class ControlWord { Blank, Reset, RefuseOn, RefuseOff, Quit, Unknown };

// Words are compared after trimming surrounding white space.
ControlWord parseControlWord(const std::string& line);

// Carries out one line on `emulator`; it or the emulator prints one line on
// standard output saying what was done. Returns true for quit, which the
// caller carries out.
bool applyControlLine(SentrelEmulator& emulator, const std::string& line);

// Reads lines from a file descriptor on a thread of its own and hands each
// to `onLine` (without its line end). Reading ends at the end of the input,
// or at stop(), which also joins the thread. Lines longer than kMaxLineBytes
// are dropped with a note to `onTooLong`.
class LineReader {
public:
    static constexpr std::size_t kMaxLineBytes = 4096;

    LineReader(int fd, std::function<void(const std::string&)> onLine, std::function<void()> onTooLong);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    void stop();

private:
    void run();

    int fd;
    int wake[2] = {-1, -1};  // written by stop() to end a waiting read
    std::function<void(const std::string&)> onLine;
    std::function<void()> onTooLong;
    std::thread thread;
};
