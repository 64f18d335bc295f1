#pragma once

// Helpers shared by the fuzz targets.

#include "Log.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace fuzzinput {

// The programs print a line for most bad input; at fuzzing speed that is
// only noise. One of these per input: the console streams stay quiet for the
// rest of the process, and the lines written through the log facility on the
// fuzzing thread are held while it lives and dropped.
class QuietConsole {
public:
    QuietConsole() { silenceStreams(); }

private:
    static void silenceStreams()
    {
        static const bool once = [] {
            std::cout.rdbuf(nullptr);
            std::cerr.rdbuf(nullptr);
            return true;
        }();
        (void)once;
    }
    snlog::ThreadHold held;
};

// An input that says how to cut itself into reads: byte 0 gives the number
// n (1 to 8) of size bytes that follow; each size byte s gives a read of
// s + 1 bytes, the sizes repeating until the rest of the input is used up.
inline std::vector<std::string> chunks(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> reads;
    if (size == 0)
        return reads;
    const std::size_t n = data[0] % 8 + 1;
    if (size < 1 + n)
        return reads;
    const std::uint8_t* sizes = data + 1;
    const char* bytes = reinterpret_cast<const char*>(data + 1 + n);
    std::size_t left = size - 1 - n;
    for (std::size_t i = 0; left > 0; ++i) {
        const std::size_t take = std::min<std::size_t>(left, sizes[i % n] + 1u);
        reads.emplace_back(bytes, take);
        bytes += take;
        left -= take;
    }
    return reads;
}

// Takes every frame a frame parser holds now: onFrame(reply) for each frame,
// onError(error) for each error it reports.
template <class Parser, class OnFrame, class OnError>
void drainFrames(Parser& parser, OnFrame onFrame, OnError onError)
{
    for (;;) {
        std::string reply, error;
        const typename Parser::Status status = parser.next(reply, error);
        if (status == Parser::Status::NeedMore)
            return;
        if (status == Parser::Status::Frame)
            onFrame(reply);
        else
            onError(error);
    }
}

// Levels of a property tree (a tree without children has none).
template <class Tree>
std::size_t treeDepth(const Tree& tree)
{
    std::size_t deepest = 0;
    for (const auto& child : tree)
        deepest = std::max(deepest, 1 + treeDepth(child.second));
    return deepest;
}

// A broken promise of the code under test: abort, so that the fuzzer keeps the input.
inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzzinput
