#include "HeadlessBrowser.h"

#include "TestSupport.h"
#include "UnitJson.h"

#include <boost/property_tree/json_parser.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pt = boost::property_tree;
using namespace std::chrono;

using unitjson::quotedJsonString;

namespace {

// DevTools pipe ends as the browser sees them.
constexpr int kBrowserReadsFd = 3;
constexpr int kBrowserWritesFd = 4;

bool waitForChild(pid_t pid, milliseconds timeout)
{
    return testsupport::eventually(
        [pid] {
            int status = 0;
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            return r == pid || (r < 0 && errno == ECHILD);
        },
        timeout, milliseconds(20));
}

} // namespace

std::string HeadlessBrowser::find()
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/chromium";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

HeadlessBrowser::HeadlessBrowser(const std::string& program, const std::string& profileDir,
                                 milliseconds answerBound)
    : bound(answerBound)
{
    ::signal(SIGPIPE, SIG_IGN);  // a browser gone mid-command: an error, not a killed test
    int in[2], out[2];  // in: we write, browser reads; out: browser writes
    if (::pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const std::string log = profileDir + "/chromium.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::string> args = {program,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-extensions",
                                     "--disable-default-apps",
                                     "--mute-audio",
                                     "--hide-scrollbars",
                                     "--window-size=1280,800",
                                     "--user-data-dir=" + profileDir,
                                     "--remote-debugging-pipe",
                                     "about:blank"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid = ::fork();
    if (pid < 0) {
        for (int fd : {in[0], in[1], out[0], out[1], logFd})
            if (fd >= 0)
                ::close(fd);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Its own process group, so that its helper processes end with it.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Move the pipe ends above 4 first: they may be 3 or 4 already.
        const int readEnd = ::fcntl(in[0], F_DUPFD, 10);
        const int writeEnd = ::fcntl(out[1], F_DUPFD, 10);
        const int devNull = ::open("/dev/null", O_RDWR);
        const int sink = logFd >= 0 ? logFd : devNull;
        if (readEnd < 0 || writeEnd < 0 || devNull < 0 || ::dup2(devNull, 0) < 0 || ::dup2(sink, 1) < 0 ||
            ::dup2(sink, 2) < 0 || ::dup2(readEnd, kBrowserReadsFd) < 0 ||
            ::dup2(writeEnd, kBrowserWritesFd) < 0)
            ::_exit(127);
        ::close_range(kBrowserWritesFd + 1, ~0U, 0);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // also from here: whichever runs first
    ::close(in[0]);
    ::close(out[1]);
    if (logFd >= 0)
        ::close(logFd);
    toBrowser = in[1];
    fromBrowser = out[0];
    try {
        call("Browser.getVersion", "{}");
    } catch (...) {
        shutdown();
        throw;
    }
}

HeadlessBrowser::~HeadlessBrowser()
{
    shutdown();
}

void HeadlessBrowser::shutdown()
{
    if (pid > 0) {
        try {
            bound = seconds(5);
            call("Browser.close", "{}");
        } catch (const std::exception&) {
        }
        if (!waitForChild(pid, seconds(5)))
            ::kill(pid, SIGKILL);
        ::kill(-pid, SIGKILL);  // helpers still in its group
        waitForChild(pid, seconds(5));
        pid = -1;
    }
    for (int* fd : {&toBrowser, &fromBrowser})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

bool HeadlessBrowser::readRecord(std::string& record, steady_clock::time_point deadline)
{
    for (;;) {
        const auto end = pending.find('\0');
        if (end != std::string::npos) {
            record = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fromBrowser, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buf[65536];
        const ssize_t n = ::read(fromBrowser, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;  // the browser is gone
        pending.append(buf, static_cast<std::size_t>(n));
    }
}

pt::ptree HeadlessBrowser::call(const std::string& method, const std::string& paramsJson, const Tab& tab)
{
    const unsigned id = nextId++;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":" + quotedJsonString(method) +
                          ",\"params\":" + paramsJson;
    if (!tab.empty())
        message += ",\"sessionId\":" + quotedJsonString(tab);
    message += "}";
    message.push_back('\0');
    for (std::size_t done = 0; done < message.size();) {
        const ssize_t n = ::write(toBrowser, message.data() + done, message.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("DevTools pipe closed while sending " + method);
        done += static_cast<std::size_t>(n);
    }
    const auto deadline = steady_clock::now() + bound;
    std::string record;
    while (readRecord(record, deadline)) {
        pt::ptree answer;
        std::istringstream in(record);
        try {
            pt::read_json(in, answer);
        } catch (const pt::json_parser_error&) {
            continue;  // an event the property tree cannot hold; not ours
        }
        if (answer.get<unsigned>("id", 0) != id)
            continue;  // an event, or the answer to an earlier command
        if (answer.get_child_optional("error"))
            throw std::runtime_error(method + " failed: " + answer.get<std::string>("error.message", "?"));
        return answer.get_child("result", pt::ptree());
    }
    throw std::runtime_error("no answer from the browser to " + method);
}

HeadlessBrowser::Tab HeadlessBrowser::open(const std::string& url)
{
    const std::string target = call("Target.createTarget", "{\"url\":" + quotedJsonString(url) + "}").get<std::string>("targetId");
    const Tab tab = call("Target.attachToTarget", "{\"targetId\":" + quotedJsonString(target) + ",\"flatten\":true}")
                        .get<std::string>("sessionId");
    if (!waitUntil(tab, "location.href != 'about:blank' && document.readyState == 'complete'", bound))
        throw std::runtime_error("the browser did not load " + url);
    return tab;
}

std::string HeadlessBrowser::evaluate(const Tab& tab, const std::string& expression)
{
    const pt::ptree result = call("Runtime.evaluate",
                                  "{\"expression\":" + quotedJsonString("String(" + expression + ")") +
                                      ",\"returnByValue\":true}",
                                  tab);
    if (result.get_child_optional("exceptionDetails"))
        throw std::runtime_error("script error in: " + expression + ": " +
                                 result.get<std::string>("exceptionDetails.exception.description",
                                                         result.get<std::string>("exceptionDetails.text", "?")));
    return result.get<std::string>("result.value", "");
}

bool HeadlessBrowser::waitUntil(const Tab& tab, const std::string& expression, milliseconds timeout)
{
    // A page still loading may not have the elements yet: not true so far.
    const std::string guarded = "(function(){try{return !!(" + expression + ");}catch(e){return false;}})()";
    return testsupport::eventually([&] { return evaluate(tab, guarded) == "true"; }, timeout, milliseconds(50));
}

void HeadlessBrowser::reload(const Tab& tab)
{
    call("Page.reload", "{\"ignoreCache\":true}", tab);
}

void HeadlessBrowser::setViewport(const Tab& tab, int width, int height, bool mobile)
{
    call("Emulation.setDeviceMetricsOverride",
         "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
             ",\"deviceScaleFactor\":1,\"mobile\":" + (mobile ? "true" : "false") + "}",
         tab);
}

void HeadlessBrowser::screenshot(const Tab& tab, const std::string& path)
{
    const std::string png = decodeBase64(call("Page.captureScreenshot", "{\"format\":\"png\"}", tab).get<std::string>("data"));
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << png;
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

std::string decodeBase64(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const auto value = alphabet.find(c);
        if (value == std::string::npos)
            break;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}
