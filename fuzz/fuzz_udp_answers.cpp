// The datagram answer accumulator fed datagrams cut where the input says
// (FuzzInput.h), each at most one receive buffer long.
#include "FuzzInput.h"
#include "UdpAdaptor.h"
#include "UdpAnswerAccumulator.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
    UdpAnswerAccumulator answers;
    for (std::string datagram : fuzzinput::chunks(data, size)) {
        datagram.resize(std::min(datagram.size(), UdpAdaptor::kReceiveBufferSize));
        std::string answer, error;
        switch (answers.add(datagram.data(), datagram.size(), answer, error)) {
        case UdpAnswerAccumulator::Status::Answer:
            fuzzinput::require(!answer.empty() && answer.find('@') == answer.size() - 1,
                               "an answer ends at its only '@'");
            fuzzinput::require(answer.find('\0') == std::string::npos, "no NUL in an answer");
            fuzzinput::require(answer.size() <= UdpAnswerAccumulator::kMaxAnswerBytes +
                                                     UdpAdaptor::kReceiveBufferSize,
                               "answer within bound");
            break;
        case UdpAnswerAccumulator::Status::Error:
            fuzzinput::require(!error.empty() && error.find('\n') == std::string::npos, "an error is one line");
            break;
        case UdpAnswerAccumulator::Status::NeedMore:
            break;
        }
        fuzzinput::require(answers.buffered() <= UdpAnswerAccumulator::kMaxAnswerBytes, "buffer within bound");
    }
    return 0;
}
