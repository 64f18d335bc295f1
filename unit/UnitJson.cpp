#include "UnitJson.h"

#include "Log.h"
#include "NestingLimit.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/json_parser.hpp>

#include <cstdio>
#include <sstream>

namespace pt = boost::property_tree;

namespace unitjson {

pt::ptree jsonStringToPtree(const std::string& json)
{
    // The reader recurses once per level: refuse absurd nesting before it
    // can exhaust the stack, through the same error as any malformed reply.
    checkJsonNesting(json);
    std::istringstream in(json);
    pt::ptree tree;
    pt::read_json(in, tree);
    return tree;
}

std::string jsonKeyValue(const std::string& json, const std::string& key)
{
    try {
        return jsonStringToPtree(json).get<std::string>(key);
    } catch (const std::exception& e) {
        snlog::err() << "SN>ERROR>" << e.what() << "\nError while trying to locate value for key: " << key;
        return std::string();
    }
}

std::string escapeJsonString(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string quotedJsonString(const std::string& text)
{
    return "\"" + escapeJsonString(text) + "\"";
}

std::string compactJson(const pt::ptree& tree)
{
    std::ostringstream out;
    pt::write_json(out, tree, false);
    std::string text = out.str();
    boost::algorithm::trim_right(text);
    return text;
}

} // namespace unitjson
