// The configuration file reader on whatever the file holds. The input goes to
// one scratch file per process, rewritten for every input. The nesting check
// is held to its promise: text it lets through reads no deeper than it says.
#include "Configuration.h"
#include "FuzzInput.h"
#include "NestingLimit.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

const std::string& scratchFile()
{
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/sn-fuzz-config-" +
                        std::to_string(::getpid()) + ".xml";
        std::atexit([] { std::remove(scratchFile().c_str()); });
        return p;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
        out << text;
    }
    Configuration configuration(scratchFile().c_str());
    const bool read = configuration.readConfiguration();
    if (read)
        fuzzinput::require(!configuration.spo2Calibration.empty() && !configuration.co2Calibration.empty(),
                           "a successful read has both tables");

    if (scanXmlNesting(text).line == 0) {
        try {
            std::istringstream in(text);
            boost::property_tree::ptree tree;
            boost::property_tree::read_xml(in, tree);
            // Elements, then an element's <xmlattr> and its attributes.
            fuzzinput::require(fuzzinput::treeDepth(tree) <= kMaxNestingDepth + 2, "accepted XML within the nesting bound");
        } catch (const std::exception&) {
        }
    }
    return 0;
}
