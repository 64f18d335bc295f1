#include "ControlWords.h"

#include "Log.h"
#include "SentrelEmulator.h"

#include <cerrno>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {

std::string trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace

ControlWord parseControlWord(const std::string& line) {
    const std::string word = trimmed(line);
    if (word.empty()) return ControlWord::Blank;
    if (word == "reset") return ControlWord::Reset;
    if (word == "quit") return ControlWord::Quit;
    const std::string refuse = "refuse";
    if (word.compare(0, refuse.size(), refuse) == 0) {
        const std::string arg = trimmed(word.substr(refuse.size()));
        if (word.size() > refuse.size() && (word[refuse.size()] == ' ' || word[refuse.size()] == '\t')) {
            if (arg == "on") return ControlWord::RefuseOn;
            if (arg == "off") return ControlWord::RefuseOff;
        }
    }
    return ControlWord::Unknown;
}

bool applyControlLine(SentrelEmulator& emulator, const std::string& line) {
    switch (parseControlWord(line)) {
    case ControlWord::Blank:
        return false;
    case ControlWord::Reset:
        emulator.resetConnection();  // the emulator says what it reset
        return false;
    case ControlWord::RefuseOn:
        emulator.setRefusing(true);
        snlog::out() << "SentrelEmulator> refusing connections";
        return false;
    case ControlWord::RefuseOff:
        emulator.setRefusing(false);
        snlog::out() << "SentrelEmulator> accepting connections";
        return false;
    case ControlWord::Quit:
        snlog::out() << "SentrelEmulator> quit";
        return true;
    case ControlWord::Unknown:
        break;
    }
    snlog::out() << "SentrelEmulator> unknown control word \"" << trimmed(line).substr(0, 64)
                 << "\" (words: reset, refuse on, refuse off, quit)";
    return false;
}

LineReader::LineReader(int fd, std::function<void(const std::string&)> onLine, std::function<void()> onTooLong)
    : fd(fd), onLine(std::move(onLine)), onTooLong(std::move(onTooLong)) {
    if (::pipe(wake) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    thread = std::thread([this] { run(); });
}

LineReader::~LineReader() {
    stop();
    for (int end : wake)
        if (end >= 0) ::close(end);
}

void LineReader::stop() {
    if (!thread.joinable()) return;
    if (wake[1] >= 0) {
        const char byte = 0;
        while (::write(wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    thread.join();
}

void LineReader::run() {
    std::string line;
    bool tooLong = false;
    char chunk[1024];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (fds[1].revents & POLLIN)) return;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n') {
                if (tooLong)
                    onTooLong();
                else
                    onLine(line);
                line.clear();
                tooLong = false;
            } else if (!tooLong) {
                line += chunk[i];
                if (line.size() > kMaxLineBytes) {
                    tooLong = true;
                    line.clear();
                }
            }
        }
    }
    if (!line.empty() && !tooLong) onLine(line);  // a last line without its line end
}
