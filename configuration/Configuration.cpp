#include "Configuration.h"

#include "Log.h"
#include "NestingLimit.h"

// GCC reports a false "may be used uninitialized" inside the library's
// integer translator when optimising with the sanitizers on.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace pt = boost::property_tree;

namespace {

// Every child counts, whatever its tag: an entry without attributes, or a
// comment, reads as 0 -> 0. Later keys overwrite earlier ones.
void readTable(const pt::ptree& section, std::map<float, float>& table)
{
    for (const auto& child : section) {
        float value = child.second.get<float>("<xmlattr>.value", 0.0f);
        float key = child.second.get<float>("<xmlattr>.key", 0.0f);
        table[key] = value;
    }
}

// 9 significant digits, shortest general form: 45 -> "45", 0.1f -> "0.100000001".
std::string floatText(float v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
    return buf;
}

// The library's read_xml, with the nesting checked before its recursive
// reader sees the text; errors keep the library's form "<path>(<line>): ...".
pt::ptree readXmlFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw pt::xml_parser_error("cannot open file", path, 0);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    checkXmlNesting(text, path);
    std::istringstream stream(text);
    pt::ptree tree;
    pt::xml_parser::read_xml_internal(stream, tree, 0, path);
    return tree;
}

pt::ptree tableTree(const std::map<float, float>& table)
{
    pt::ptree section;
    for (const auto& kv : table) {
        pt::ptree entry;
        entry.put("<xmlattr>.key", floatText(kv.first));
        entry.put("<xmlattr>.value", floatText(kv.second));
        section.add_child("Entry", entry);
    }
    return section;
}

void copyFile(const std::string& from, const std::string& to)
{
    // An unreadable source leaves no backup; the write still goes on.
    std::FILE* src = std::fopen(from.c_str(), "rb");
    if (!src)
        return;
    if (std::FILE* dst = std::fopen(to.c_str(), "wb")) {
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, src)) > 0)
            if (std::fwrite(buf, 1, n, dst) != n)
                break;
        std::fclose(dst);
    }
    std::fclose(src);
}

} // namespace

Configuration::Configuration(const char* path) : filePath(path ? path : "") {}

bool Configuration::readConfiguration()
{
    snlog::out() << "SN>Reading configuration file: " << filePath;
    lastReadError.clear();
    try {
        // No trimming: element text is taken as written.
        const pt::ptree tree = readXmlFile(filePath);

        spo2Scale = tree.get<int>("Sentrel.SPO2Scale");
        serialID = tree.get<std::string>("Sentrel.SerialID");
        ipAddress = tree.get<std::string>("Sentrel.IPAddress");

        readTable(tree.get_child("Sentrel.SPO2Calibration"), spo2Calibration);
        if (spo2Calibration.empty()) {
            lastReadError = "Missing \"Sentrel.SPO2Calibration\" into configuration XML";
            snlog::err() << "SN>ERROR>" << lastReadError;
            return false;
        }
        readTable(tree.get_child("Sentrel.CO2Calibration"), co2Calibration);
        if (co2Calibration.empty()) {
            lastReadError = "Missing \"Sentrel.CO2Calibration\" into configuration XML";
            snlog::err() << "SN>ERROR>" << lastReadError;
            return false;
        }

        try {
            ipRangeStart = tree.get<std::string>("Sentrel.IPRangeStart");
            ipRangeEnd = tree.get<std::string>("Sentrel.IPRangeEnd");
        } catch (const std::exception& e) {
            snlog::err(snlog::Priority::warning).withoutNewline()
                << "SN>ERROR>" << e.what() << "\n"
                << "Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring.";
        }

        try {
            simulatorIP = tree.get<std::string>("Sentrel.SimulatorIP");
            rhmIP = tree.get<std::string>("Sentrel.RHMIP");
        } catch (const std::exception& e) {
            snlog::err(snlog::Priority::warning)
                << "SN>ERROR>" << e.what() << "\n"
                << "Unable to read \"SimulatorIP or RHMIP\" from the configuration file. "
                   "Ignoring and using default of 127.0.0.1 for both.";
        }
    } catch (const std::exception& e) {
        const std::string what = e.what();
        lastReadError = what.substr(0, what.find('\n'));
        snlog::err().withoutNewline() << "SN>ERROR>" << what << "\n"
                                      << "Unable to read the configuration file";
        return false;
    }
    snlog::out() << "SN>Configuration file read succesfully.";
    return true;
}

std::string Configuration::backupFileName(const std::string& path, std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H-%M-%S", &local);
    return path + "." + stamp + ".bak";
}

void Configuration::writeConfiguration()
{
    copyFile(filePath, backupFileName(filePath, std::time(nullptr)));

    pt::ptree tree;
    tree.put("Sentrel.IPAddress", ipAddress);
    tree.put("Sentrel.SimulatorIP", simulatorIP);
    tree.put("Sentrel.RHMIP", rhmIP);
    tree.put("Sentrel.IPRangeStart", ipRangeStart);
    tree.put("Sentrel.IPRangeEnd", ipRangeEnd);
    tree.put("Sentrel.SPO2Scale", spo2Scale);
    tree.put("Sentrel.SerialID", serialID);
    tree.add_child("Sentrel.CO2Calibration", tableTree(co2Calibration));
    tree.add_child("Sentrel.SPO2Calibration", tableTree(spo2Calibration));

    pt::write_xml(filePath, tree, std::locale(),
                  pt::xml_writer_make_settings<std::string>(' ', 4, "utf-8"));

    snlog::out() << "SN>Configuration file has been written at: " << filePath << "\n" << filePath;
}
