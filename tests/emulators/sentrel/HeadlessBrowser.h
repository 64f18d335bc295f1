#pragma once

// Headless Chromium for page tests, driven over its DevTools pipe (file
// descriptors 3 and 4 of the browser, one JSON message per NUL-terminated
// record), so no debugging port is opened. It opens tabs, evaluates script in
// them, reloads them and takes screenshots; every wait has a bound.

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <string>

#include <sys/types.h>

class HeadlessBrowser {
public:
    using Tab = std::string;  // a DevTools session attached to one tab

    // The chromium program on PATH, "" when there is none.
    static std::string find();

    // Starts the browser with a fresh profile in `profileDir` (its console
    // goes to chromium.log there). Throws std::runtime_error when it cannot
    // start or does not answer within `answerBound`.
    HeadlessBrowser(const std::string& program, const std::string& profileDir,
                    std::chrono::milliseconds answerBound = std::chrono::seconds(20));
    // Closes the browser; ends its processes by their group id if it lingers.
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // A new tab showing `url`, once loaded.
    Tab open(const std::string& url);
    // String(expression) as evaluated in the tab; throws on a script error.
    std::string evaluate(const Tab& tab, const std::string& expression);
    // Polls the expression until it is true or the timeout has passed; a
    // script error (a page still loading) counts as not true yet.
    bool waitUntil(const Tab& tab, const std::string& expression, std::chrono::milliseconds timeout);
    void reload(const Tab& tab);
    // Shows the tab as a screen of width x height CSS pixels; `mobile` also
    // makes it a phone's (its viewport tag counts, scrollbars overlay).
    void setViewport(const Tab& tab, int width, int height, bool mobile = false);
    // Writes a PNG of what the tab shows.
    void screenshot(const Tab& tab, const std::string& path);

private:
    // Sends one command and returns its "result"; throws on an error answer
    // or none within the bound.
    boost::property_tree::ptree call(const std::string& method, const std::string& paramsJson,
                                     const Tab& tab = Tab());
    bool readRecord(std::string& record, std::chrono::steady_clock::time_point deadline);
    void shutdown();

    pid_t pid = -1;
    int toBrowser = -1;
    int fromBrowser = -1;
    std::string pending;  // bytes read past the last whole record
    unsigned nextId = 1;
    std::chrono::milliseconds bound;
};

// Decodes base64 text (as in DevTools screenshots); stops at the first
// character outside the alphabet.
std::string decodeBase64(const std::string& text);
