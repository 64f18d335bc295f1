// Bytes from the unit as a requester reads them: frames, their length check
// (verifyMessage), the members the requesters and the calibration read
// (getJsonKeyValue), the calibration names list (jsonStringToPtree) and the
// printed reply (printJson). A default adaptor has no connection; none of
// these touch one.
//
// Input: an even first byte makes the rest one JSON reply, framed here, so
// that mutations reach the JSON reading without having to keep a length
// field right; an odd one makes the rest raw bytes from the unit.
#include "FuzzInput.h"
#include "NestingLimit.h"
#include "SentrelAdaptor.h"

#include <boost/property_tree/ptree.hpp>

#include <stdexcept>

namespace {

const char* const kReadMembers[] = {"MessageType",          "Message.calType",    "Message.battLvlPerc",
                                    "Message.pluggedIn",    "Message.ssid",       "Message.ipAddress",
                                    "Message.wifiConnected", "Message.wifiStatus"};

void readReply(SentrelAdaptor& adaptor, const std::string& reply)
{
    std::string json;
    try {
        json = adaptor.verifyMessage(reply);
    } catch (const std::exception&) {
        return;  // the requester's error path
    }
    for (const char* member : kReadMembers)
        adaptor.getJsonKeyValue(json, member);  // never raises
    try {
        const boost::property_tree::ptree tree = adaptor.jsonStringToPtree(json);
        // Text deeper than the bound never reaches the recursive reader; the
        // outermost object is the tree itself.
        fuzzinput::require(fuzzinput::treeDepth(tree) < kMaxNestingDepth, "parsed reply within the nesting bound");
        if (const auto names = tree.get_child_optional("Message.calNames"))
            for (const auto& name : *names)
                (void)name.second.get_value<std::string>();
        adaptor.printJson(json);
    } catch (const std::exception&) {
        // Malformed JSON raises to the caller.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
    static SentrelAdaptor adaptor;
    if (size == 0)
        return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string bytes = data[0] % 2 == 0 ? frameUnitMessage(rest) : rest;
    UnitFrameParser parser;
    parser.append(bytes.data(), bytes.size());
    fuzzinput::drainFrames(
        parser, [](const std::string& reply) { readReply(adaptor, reply); }, [](const std::string&) {});
    return 0;
}
