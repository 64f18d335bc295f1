#pragma once

#include <cstddef>
#include <string>

// Gathers the unit's datagram answers: the text of each datagram (up to its
// first NUL) is appended until an "@" ends an answer. Whatever follows that
// "@" in the same datagram is dropped. Works on bytes only, apart from any
// socket.
class UdpAnswerAccumulator {
public:
    // Longest answer gathered across datagrams before it is given up.
    static constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

    enum class Status { NeedMore, Answer, Error };
    // Answer: `answer` holds the text ending with "@". Error: `error` holds a
    // one-line reason and the unfinished answer has been dropped, so the
    // buffer never grows without bound.
    Status add(const char* datagram, std::size_t size, std::string& answer, std::string& error);

    std::size_t buffered() const { return pending_.size(); }

private:
    std::string pending_;
};
