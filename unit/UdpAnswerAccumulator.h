#pragma once

#include <cstddef>
#include <map>
#include <string>

// Gathers the unit's datagram answers: the text of each datagram (up to its
// first NUL) is appended to its sender's unfinished answer until an "@" ends
// it. Whatever follows that "@" in the same datagram is dropped. Senders'
// answers never mix. Works on bytes only, apart from any socket.
class UdpAnswerAccumulator {
public:
    // Longest answer gathered across datagrams before it is given up.
    static constexpr std::size_t kMaxAnswerBytes = 64 * 1024;
    // Most senders with an unfinished answer at one time.
    static constexpr std::size_t kMaxSenders = 16;

    enum class Status { NeedMore, Answer, Error };
    // One datagram from `sender`; `cut` says the receive buffer could not
    // hold all of it. Answer: `answer` holds the text ending with "@".
    // Error: `error` holds a one-line reason; the datagram is refused whole
    // and the sender's unfinished answer, which lost its continuation, is
    // dropped with it, so nothing garbled comes out and nothing grows
    // without bound.
    Status add(const std::string& sender, const char* datagram, std::size_t size, bool cut, std::string& answer,
               std::string& error);
    // The same for datagrams that all come from one sender, whole.
    Status add(const char* datagram, std::size_t size, std::string& answer, std::string& error)
    {
        return add(std::string(), datagram, size, false, answer, error);
    }
    // Forgets every unfinished answer: a new request went out.
    void clear() { pending_.clear(); }

    // Bytes of unfinished answers held, over all senders.
    std::size_t buffered() const;

private:
    std::map<std::string, std::string> pending_;  // sender -> its unfinished answer
};
