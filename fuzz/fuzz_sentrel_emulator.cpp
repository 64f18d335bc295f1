// What the emulated unit reads from a client: the input is the client's
// bytes on a fresh connection, handed to the unit's behaviour in one read.
// Every reply it writes must be a well-formed frame of readable JSON, and
// what it keeps stays within its bounds.
#include "FuzzInput.h"
#include "SentrelUnit.h"
#include "UnitFrame.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sstream>

namespace {

void checkReplies(const std::string& written)
{
    UnitFrameParser parser;
    parser.append(written.data(), written.size());
    fuzzinput::drainFrames(
        parser,
        [](const std::string& reply) {
            try {
                std::istringstream json(verifyUnitReply(reply));
                boost::property_tree::ptree tree;
                boost::property_tree::read_json(json, tree);
            } catch (const std::exception&) {
                fuzzinput::require(false, "a reply has a matching length field and readable JSON");
            }
        },
        [](const std::string&) { fuzzinput::require(false, "replies are whole frames"); });
    fuzzinput::require(parser.buffered() == 0, "nothing after the last reply");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
    SentrelUnit::Options options;
    options.udpPort = 0;
    SentrelUnit unit(options);
    UnitSession session;
    checkReplies(unit.receive(session, reinterpret_cast<const char*>(data), size).bytes());

    const std::size_t bound = SentrelUnit::kMaxKeptNames;
    fuzzinput::require(unit.vitals().size() <= bound + SentrelUnit::vitalMembers().size(), "vitals bounded");
    std::size_t logBytes = 0;
    for (const auto& m : unit.messageLog())
        logBytes += m.json.size();
    fuzzinput::require(unit.messageLog().size() <= options.messageLogSize, "log bounded in count");
    fuzzinput::require(unit.messageLog().size() <= 1 || logBytes <= options.messageLogBytes, "log bounded in bytes");
    return 0;
}
