#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono;

namespace {

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool hasCompleteLineWith(const std::string& text, const std::string& needle)
{
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        if (text.find('\n', pos + needle.size()) != std::string::npos)
            return true;
    return false;
}

} // namespace

ChildProcess::ChildProcess(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& workDir, Input input)
{
    int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    if (input == Input::Pipe)
        ::signal(SIGPIPE, SIG_IGN);  // a child gone before its input: an error, not a killed test
    if (input == Input::Pipe && ::pipe2(inPipe, O_CLOEXEC) != 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            ::close(fd);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }

    // Everything the child needs is prepared before fork: only
    // async-signal-safe calls run between fork and exec.
    std::vector<std::string> argvText{binary};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]})
            if (fd >= 0)
                ::close(fd);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        int in = inPipe[0] >= 0 ? inPipe[0] : ::open("/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(outPipe[1], 1) < 0 ||
            ::dup2(errPipe[1], 2) < 0 || ::chdir(workDir.c_str()) != 0)
            ::_exit(127);
        // A test that dies must not leave its programs holding loopback ports,
        // and the child must not inherit the test's own listening sockets.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close_range(3, ~0U, 0);
        // The program starts as from a shell, whatever the test did with
        // signals: SIGPIPE at its default, no signal blocked.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    childPid = pid;
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (inPipe[0] >= 0)
        ::close(inPipe[0]);
    inputFd = inPipe[1];
    openReaders = 2;
    outReader = std::thread(&ChildProcess::readLoop, this, outPipe[0], &outText);
    errReader = std::thread(&ChildProcess::readLoop, this, errPipe[0], &errText);
}

ChildProcess::~ChildProcess()
{
    closeInput();
    if (!exited()) {
        ::kill(childPid, SIGTERM);
        if (!waitForExit(seconds(3))) {
            ::kill(childPid, SIGKILL);
            reap(true);
        }
    }
    // The readers end at end of file, which the child's exit brings.
    if (outReader.joinable())
        outReader.join();
    if (errReader.joinable())
        errReader.join();
}

void ChildProcess::readLoop(int fd, std::string* sink)
{
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(mutex);
        sink->append(buf, static_cast<size_t>(n));
        changed.notify_all();
    }
    closeFd(fd);
    std::lock_guard<std::mutex> lock(mutex);
    --openReaders;
    changed.notify_all();
}

const std::string& ChildProcess::textOf(Stream s) const
{
    return s == Stream::Err ? errText : outText;
}

bool ChildProcess::waitForLine(Stream stream, const std::string& text, milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    auto check = [&] {
        if (stream == Stream::Any)
            return hasCompleteLineWith(outText, text) || hasCompleteLineWith(errText, text);
        return hasCompleteLineWith(textOf(stream), text);
    };
    return changed.wait_for(lock, timeout, [&] { return check() || openReaders == 0; }) && check();
}

bool ChildProcess::waitForCount(Stream stream, const std::string& text, std::size_t n,
                                milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    auto check = [&] {
        if (stream == Stream::Any)
            return count(outText, text) + count(errText, text) >= n;
        return count(textOf(stream), text) >= n;
    };
    return changed.wait_for(lock, timeout, [&] { return check() || openReaders == 0; }) && check();
}

void ChildProcess::reap(bool block)
{
    if (status)
        return;
    int st = 0;
    pid_t r;
    do
        r = ::waitpid(childPid, &st, block ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == childPid) {
        if (WIFSIGNALED(st)) {
            wasSignalled = true;
            status = 128 + WTERMSIG(st);
        } else {
            status = WEXITSTATUS(st);
        }
    }
}

std::optional<int> ChildProcess::waitForExit(milliseconds timeout)
{
    const bool ended = testsupport::eventually(
        [this] {
            reap(false);
            return status.has_value();
        },
        timeout, milliseconds(10));
    if (!ended)
        return std::nullopt;
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, seconds(2), [&] { return openReaders == 0; });
    return status;
}

bool ChildProcess::exited() const
{
    return status.has_value();
}

void ChildProcess::sendSignal(int sig)
{
    if (!status)
        ::kill(childPid, sig);
}

bool ChildProcess::writeInput(const std::string& text)
{
    std::size_t done = 0;
    while (inputFd >= 0 && done < text.size()) {
        ssize_t n = ::write(inputFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return inputFd >= 0;
}

void ChildProcess::closeInput()
{
    closeFd(inputFd);
}

std::string ChildProcess::out() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return outText;
}

std::string ChildProcess::err() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return errText;
}

std::size_t ChildProcess::count(const std::string& haystack, const std::string& needle)
{
    if (needle.empty())
        return 0;
    std::size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size()))
        ++n;
    return n;
}
