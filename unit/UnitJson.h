#pragma once

#include <boost/property_tree/ptree.hpp>

#include <string>

// JSON texts exchanged with the unit, apart from any socket.
namespace unitjson {

// Parses one JSON text into a tree; a parse error is raised. Every reply read
// from the unit is parsed here and nowhere else.
boost::property_tree::ptree jsonStringToPtree(const std::string& json);

// The text at the dotted path `key` of `json` (numbers and booleans as their
// JSON text). A text that does not parse or lacks the key gives "" after two
// lines on standard error: "SN>ERROR>" with the reason, then the key.
std::string jsonKeyValue(const std::string& json, const std::string& key);

// The contents of a JSON string (no quotes) holding `text`: quote, backslash
// and every control character escaped, other bytes as they are.
std::string escapeJsonString(const std::string& text);
// The same as a whole JSON string, quotes included.
std::string quotedJsonString(const std::string& text);

// The tree as one line of JSON with no spaces and no trailing white space
// (every value a string, members in the tree's order).
std::string compactJson(const boost::property_tree::ptree& tree);

} // namespace unitjson
