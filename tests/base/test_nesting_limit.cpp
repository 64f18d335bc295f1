// The nesting checks against the property tree's own readers: every text the
// checks let through reads without going deeper than the limit, and every
// text they refuse really nests deeper.
#include "NestingLimit.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace pt = boost::property_tree;

namespace {

std::string nestedJson(std::size_t levels)
{
    return std::string(levels, '[') + std::string(levels, ']');
}

std::string nestedXml(std::size_t levels, const std::string& tag = "<a>", const std::string& end = "</a>")
{
    std::string text;
    for (std::size_t i = 0; i < levels; ++i)
        text += tag;
    for (std::size_t i = 0; i < levels; ++i)
        text += end;
    return text;
}

std::size_t treeDepth(const pt::ptree& tree)
{
    std::size_t deepest = 0;
    for (const auto& child : tree)
        deepest = std::max(deepest, 1 + treeDepth(child.second));
    return deepest;
}

TEST(JsonNesting, CountsArraysAndObjectsOutsideStrings)
{
    EXPECT_EQ(scanJsonNesting("").depth, 0u);
    EXPECT_EQ(scanJsonNesting("{\"a\":[1,{\"b\":[]}]}").depth, 4u);
    // Brackets inside strings, also after escaped quotes and backslashes, are text.
    EXPECT_EQ(scanJsonNesting("{\"a\":\"[[[{{{\"}").depth, 1u);
    EXPECT_EQ(scanJsonNesting("[\"\\\"[[[\",\"\\\\\",[]]").depth, 2u);
    // Closers beyond the top do not hide later openers.
    EXPECT_EQ(scanJsonNesting("]]]]" + nestedJson(3)).depth, 3u);
}

TEST(JsonNesting, SixtyFourLevelsReadAndSixtyFiveAreRefusedLikeMalformedText)
{
    const std::string deepest = nestedJson(kMaxNestingDepth);
    EXPECT_NO_THROW(checkJsonNesting(deepest));
    std::istringstream in(deepest);
    pt::ptree tree;
    pt::read_json(in, tree);
    EXPECT_EQ(treeDepth(tree), kMaxNestingDepth - 1);  // the outer array is the tree itself

    const std::string tooDeep = "{\"a\":\n" + nestedJson(kMaxNestingDepth) + "}";
    EXPECT_EQ(scanJsonNesting(tooDeep).line, 2u);
    try {
        checkJsonNesting(tooDeep);
        FAIL() << "no error";
    } catch (const pt::json_parser_error& e) {
        EXPECT_EQ(e.line(), 2u);
        EXPECT_NE(std::string(e.what()).find("nested deeper than 64 levels"), std::string::npos) << e.what();
    }
}

TEST(JsonNesting, ARepliesWorthOfNestingIsRefusedWithoutRecursion)
{
    const NestingScan scan = scanJsonNesting(nestedJson(200000));
    EXPECT_EQ(scan.depth, 200000u);
    EXPECT_EQ(scan.line, 1u);
    EXPECT_THROW(checkJsonNesting(std::string(200000, '[')), std::runtime_error);
}

TEST(XmlNesting, CountsElementsTheWayTheReaderReadsThem)
{
    EXPECT_EQ(scanXmlNesting(nestedXml(3)).depth, 3u);
    // Empty element tags open nothing; neither do closing tags at the top.
    EXPECT_EQ(scanXmlNesting("<a><e/><e k='1' /><e/></a>").depth, 1u);
    EXPECT_EQ(scanXmlNesting("</x></x>" + nestedXml(2)).depth, 2u);
    // "/>" and ">" in text or attribute values do not close or open anything.
    EXPECT_EQ(scanXmlNesting("<a>/>" + nestedXml(2) + "</a>").depth, 3u);
    EXPECT_EQ(scanXmlNesting("<a k=\"/>\" j='<b>'><b/></a>").depth, 1u);
    // Comments, CDATA, declarations, processing instructions and DOCTYPE hold no elements.
    EXPECT_EQ(scanXmlNesting("<?xml version=\"1.0\"?><!-- <a><a> --><r><![CDATA[<a><a>]]><?pi <a>?></r>").depth,
              1u);
    EXPECT_EQ(scanXmlNesting("<!DOCTYPE r [<!ELEMENT r ANY><!-- [ ] -->]><r>" + nestedXml(2) + "</r>").depth, 3u);
    // The reader stops at a NUL byte, and so does the count.
    EXPECT_EQ(scanXmlNesting(std::string("<a>\0", 4) + nestedXml(100)).depth, 1u);
}

TEST(XmlNesting, TextTheCountRefusesReallyNestsDeeper)
{
    // At the limit the reader reads it; one more is refused with the file's name and line.
    const std::string deepest = nestedXml(kMaxNestingDepth, "<a k='v'>");
    EXPECT_NO_THROW(checkXmlNesting(deepest, "bridge.xml"));
    std::istringstream in(deepest);
    pt::ptree tree;
    pt::read_xml(in, tree);
    EXPECT_EQ(treeDepth(tree), kMaxNestingDepth + 2);  // <xmlattr> and k below the innermost element

    try {
        checkXmlNesting("<r>\n" + nestedXml(kMaxNestingDepth), "bridge.xml");
        FAIL() << "no error";
    } catch (const pt::xml_parser_error& e) {
        EXPECT_EQ(e.filename(), "bridge.xml");
        EXPECT_EQ(e.line(), 2u);
        EXPECT_NE(std::string(e.what()).find("nested deeper than 64 levels"), std::string::npos) << e.what();
    }
    EXPECT_EQ(scanXmlNesting(nestedXml(200000)).depth, 200000u);
}

}  // namespace
