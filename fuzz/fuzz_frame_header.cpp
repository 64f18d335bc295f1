// The 32-byte frame header and the frame length: the header decoder and the
// frame builder agree with each other, and the engine reads frames of any
// announced length from a stream without reading past it.
#include "CsclientFuzzing.h"
#include "FuzzInput.h"
#include "RawMessage.h"

#include <cstdlib>

using com_vela::CSClient;
using com_vela::CSClientProtocol;
using com_vela::RawMessage;

namespace {

// An engine that only counts what it is handed.
class Counting : public CSClientProtocol {
public:
    explicit Counting(unsigned options) : CSClientProtocol(options) {}
    void handleReceivedMessage(const RawMessage& m) override { bytes += m.getSize(); }
    CSClient::Result requestSimulatorVersion() override { return CSClient::RESULT_OK; }
    CSClient::Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>&) override { return {}; }
    CSClient::Result sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>&) override { return {}; }
    CSClient::Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>&) override { return {}; }
    CSClient::Result sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>&) override { return {}; }
    CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>&, PublishMode) override
    {
        return {};
    }
    std::size_t bytes = 0;
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
    const char* bytes = reinterpret_cast<const char*>(data);

    // The decoder on the first 32 bytes (or fewer).
    RawMessage header(bytes, unsigned(std::min<std::size_t>(size, com_vela::FRAME_HEADER_SIZE)), RawMessage::TYPE_DATA);
    RawMessage::Type type = RawMessage::TYPE_INVALID;
    unsigned frameLength = 0, bodyLength = 0;
    const com_vela::FrameHeaderStatus status = com_vela::decodeFrameHeader(header, type, frameLength, bodyLength);
    if (status == com_vela::FRAME_HEADER_OK)
        check(frameLength > com_vela::FRAME_HEADER_SIZE && frameLength <= com_vela::MAX_FRAME_SIZE &&
              bodyLength == frameLength - com_vela::FRAME_HEADER_SIZE);
    else
        check(status == com_vela::FRAME_HEADER_SHORT ? size < com_vela::FRAME_HEADER_SIZE
                                                     : size >= com_vela::FRAME_HEADER_SIZE);

    // A frame built around the input reads back as what was built.
    for (RawMessage::Type kind : {RawMessage::TYPE_DATA, RawMessage::TYPE_FLOW_CONTROL}) {
        const RawMessage body(bytes, unsigned(size), kind);
        RawMessage frame(kind);
        check(com_vela::buildFrame(body, frame));
        check(frame.getSize() == com_vela::FRAME_HEADER_SIZE + size);
        RawMessage again(frame.getData().data(), com_vela::FRAME_HEADER_SIZE, RawMessage::TYPE_DATA);
        RawMessage::Type readType = RawMessage::TYPE_INVALID;
        unsigned readFrame = 0, readBody = 0;
        const com_vela::FrameHeaderStatus s = com_vela::decodeFrameHeader(again, readType, readFrame, readBody);
        const bool fits = size > 0 && size <= com_vela::MAX_FRAME_SIZE - com_vela::FRAME_HEADER_SIZE;
        check(s == (fits ? com_vela::FRAME_HEADER_OK : com_vela::FRAME_HEADER_BAD_LENGTH));
        if (s == com_vela::FRAME_HEADER_OK)
            check(readType == kind && readBody == size);
    }
    RawMessage invalid(bytes, unsigned(size), RawMessage::TYPE_INVALID), untouched(RawMessage::TYPE_DATA);
    check(!com_vela::buildFrame(invalid, untouched) && untouched.getSize() == 0);

    // The engine reading the whole input as a stream of frames: it is never
    // handed more than the stream held.
    Counting engine(CSClientProtocol::OPTION_QUIET);
    engine.changeCommsInterface(new com_vela::CSCommsInterfaceBuffer(std::vector<char>(bytes, bytes + size)));
    engine.runReceiveLoopInline(0x0100007Fu, 1);
    check(engine.bytes <= size);
    return 0;
}
