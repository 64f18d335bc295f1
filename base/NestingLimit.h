#pragma once

#include <cstddef>
#include <string>

// The JSON and XML readers of the property-tree library recurse once per
// nesting level, so a peer or a file with a few hundred thousand levels ends
// the process on a stack overflow. These checks count the levels without
// recursion and refuse such text before it reaches a reader.

constexpr std::size_t kMaxNestingDepth = 64;

struct NestingScan {
    std::size_t depth = 0;  // deepest level seen
    std::size_t line = 0;   // line (from 1) where that level was first exceeded; 0 when within `limit`
};

// Arrays and objects of a JSON text, outside strings (escapes respected).
NestingScan scanJsonNesting(const std::string& json, std::size_t limit = kMaxNestingDepth);

// Elements of an XML text, read the way the property tree's XML reader reads
// them: comments, CDATA, declarations, processing instructions, DOCTYPE and
// quoted attribute values hold no elements; an empty element tag opens none.
// Counting stops at a NUL byte, where the reader stops too.
NestingScan scanXmlNesting(const std::string& xml, std::size_t limit = kMaxNestingDepth);

// Throw boost::property_tree::json_parser_error / xml_parser_error (the
// errors of a malformed text) when the text nests deeper than `limit`.
void checkJsonNesting(const std::string& json, std::size_t limit = kMaxNestingDepth);
void checkXmlNesting(const std::string& xml, const std::string& fileName,
                     std::size_t limit = kMaxNestingDepth);
