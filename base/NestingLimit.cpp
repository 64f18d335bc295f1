#include "NestingLimit.h"

#include <boost/property_tree/json_parser/error.hpp>
#include <boost/property_tree/detail/xml_parser_error.hpp>

#include <algorithm>
#include <cstring>

namespace {

// Tracks the current level and notes where it first goes past the limit.
class LevelCounter {
public:
    LevelCounter(const std::string& text, std::size_t limit) : text_(text), limit_(limit) {}

    void open(std::size_t at)
    {
        ++level_;
        if (level_ > result_.depth)
            result_.depth = level_;
        if (level_ > limit_ && result_.line == 0)
            result_.line = 1 + static_cast<std::size_t>(
                                   std::count(text_.begin(), text_.begin() + at, '\n'));
    }
    void close()
    {
        if (level_ > 0)
            --level_;
    }
    NestingScan result() const { return result_; }

private:
    const std::string& text_;
    std::size_t limit_;
    std::size_t level_ = 0;
    NestingScan result_;
};

std::string depthMessage(std::size_t limit)
{
    return "nested deeper than " + std::to_string(limit) + " levels";
}

// XML lexical classes, as the reader defines them.
bool isXmlSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}
bool isElementNameChar(char c)
{
    return c != '\0' && !isXmlSpace(c) && c != '/' && c != '>' && c != '?';
}
bool isAttributeNameChar(char c)
{
    return isElementNameChar(c) && c != '<' && c != '=' && c != '!';
}

// Walks one XML text; positions past the end read as NUL, as in the reader's
// zero-terminated buffer.
class XmlScanner {
public:
    XmlScanner(const std::string& text, std::size_t limit)
        : text_(text), end_(std::min(text.size(), std::strlen(text.c_str()))), levels_(text, limit)
    {
    }

    NestingScan run()
    {
        while (pos_ < end_) {
            if (at(pos_) != '<') {
                ++pos_;  // character data
                continue;
            }
            const std::size_t tag = pos_;
            if (at(tag + 1) == '/') {
                levels_.close();
                skipPast(tag + 2, ">");
            } else if (at(tag + 1) == '?') {
                skipPast(tag + 2, "?>");  // declaration or processing instruction
            } else if (at(tag + 1) == '!') {
                skipMarkup(tag + 2);
            } else if (!startTag(tag + 1)) {
                break;  // the reader stops with an error here: nothing deeper is read
            }
        }
        return levels_.result();
    }

private:
    char at(std::size_t i) const { return i < end_ ? text_[i] : '\0'; }
    bool startsWith(std::size_t i, const char* s) const
    {
        return i <= end_ && text_.compare(i, std::strlen(s), s) == 0;
    }

    void skipPast(std::size_t from, const char* terminator)
    {
        const std::size_t found = from > end_ ? std::string::npos : text_.find(terminator, from);
        pos_ = found == std::string::npos || found >= end_ ? end_ : found + std::strlen(terminator);
    }

    // After "<!": a comment, CDATA, a DOCTYPE (with its bracketed internal
    // subset) or anything else up to the next '>'.
    void skipMarkup(std::size_t i)
    {
        if (startsWith(i, "--")) {
            skipPast(i + 2, "-->");
        } else if (startsWith(i, "[CDATA[")) {
            skipPast(i + 7, "]]>");
        } else if (startsWith(i, "DOCTYPE") && isXmlSpace(at(i + 7))) {
            i += 8;
            while (i < end_ && at(i) != '>') {
                if (at(i) == '[') {
                    std::size_t brackets = 1;
                    for (++i; brackets > 0 && i < end_; ++i) {
                        if (at(i) == '[')
                            ++brackets;
                        else if (at(i) == ']')
                            --brackets;
                    }
                } else {
                    ++i;
                }
            }
            pos_ = std::min(i + 1, end_);
        } else {
            skipPast(i, ">");
        }
    }

    // From the element name: its attributes, then ">" (opens a level) or
    // "/>" (opens none). False where the reader would fail.
    bool startTag(std::size_t i)
    {
        const std::size_t name = i;
        while (isElementNameChar(at(i)))
            ++i;
        if (i == name)
            return false;
        for (;;) {
            while (isXmlSpace(at(i)))
                ++i;
            if (at(i) == '>') {
                levels_.open(name);
                pos_ = i + 1;
                return true;
            }
            if (at(i) == '/' && at(i + 1) == '>') {
                pos_ = i + 2;
                return true;
            }
            if (!isAttributeNameChar(at(i)))
                return false;
            while (isAttributeNameChar(at(i)))
                ++i;
            while (isXmlSpace(at(i)))
                ++i;
            if (at(i) != '=')
                return false;
            ++i;
            while (isXmlSpace(at(i)))
                ++i;
            const char quote = at(i);
            if (quote != '"' && quote != '\'')
                return false;
            const std::size_t close = text_.find(quote, i + 1);
            if (close == std::string::npos || close >= end_)
                return false;
            i = close + 1;
        }
    }

    const std::string& text_;
    const std::size_t end_;
    std::size_t pos_ = 0;
    LevelCounter levels_;
};

}  // namespace

NestingScan scanJsonNesting(const std::string& json, std::size_t limit)
{
    LevelCounter levels(json, limit);
    bool inString = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            levels.open(i);
        } else if (c == ']' || c == '}') {
            levels.close();
        }
    }
    return levels.result();
}

NestingScan scanXmlNesting(const std::string& xml, std::size_t limit)
{
    return XmlScanner(xml, limit).run();
}

void checkJsonNesting(const std::string& json, std::size_t limit)
{
    const NestingScan scan = scanJsonNesting(json, limit);
    if (scan.line != 0)
        throw boost::property_tree::json_parser::json_parser_error(depthMessage(limit), "", scan.line);
}

void checkXmlNesting(const std::string& xml, const std::string& fileName, std::size_t limit)
{
    const NestingScan scan = scanXmlNesting(xml, limit);
    if (scan.line != 0)
        throw boost::property_tree::xml_parser::xml_parser_error(depthMessage(limit), fileName, scan.line);
}
