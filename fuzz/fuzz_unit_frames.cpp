// The unit frame reader fed in reads cut where the input says (FuzzInput.h),
// each frame's length field checked as a requester checks it. However the
// bytes are cut, the same frames come out as from one read of them all.
#include "FuzzInput.h"
#include "UnitFrame.h"

#include <stdexcept>

namespace {

// Every frame the parser hands out for these reads; checks the parser's bounds.
std::vector<std::string> framesOf(const std::vector<std::string>& reads)
{
    UnitFrameParser parser;
    std::vector<std::string> frames;
    for (const std::string& read : reads) {
        parser.append(read.data(), read.size());
        fuzzinput::drainFrames(
            parser,
            [&frames](const std::string& reply) {
                fuzzinput::require(reply.size() <= UnitFrameParser::kMaxReplyBytes, "frame within bound");
                frames.push_back(reply);
                try {
                    const std::string json = verifyUnitReply(reply);
                    fuzzinput::require(reply.compare(reply.size() - json.size(), json.size(), json) == 0,
                                       "the JSON text ends the reply");
                } catch (const std::exception&) {
                    // A bad length field: the requester's error path.
                }
            },
            [](const std::string& error) {
                fuzzinput::require(!error.empty() && error.find('\n') == std::string::npos,
                                   "an error is one line");
            });
        fuzzinput::require(parser.buffered() <= UnitFrameParser::kMaxReplyBytes + 1, "buffer within bound");
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
    const std::vector<std::string> reads = fuzzinput::chunks(data, size);
    std::string all;
    for (const std::string& read : reads)
        all += read;
    // Below the frame bound no frame is given up for length, so the cuts
    // cannot change which frames come out.
    if (all.size() < UnitFrameParser::kMaxReplyBytes)
        fuzzinput::require(framesOf(reads) == framesOf({all}), "frames independent of how reads are cut");
    else
        framesOf(reads);
    return 0;
}
