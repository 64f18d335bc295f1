#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "TestSupport.h"

// A program run as a child process for end-to-end tests: its standard output
// and standard error are collected on two reader threads, so a test can wait
// for a line or for the exit with a bound. The destructor ends the child
// (SIGTERM, then SIGKILL after a grace period) and joins the readers.
class ChildProcess {
public:
    enum class Stream { Out, Err, Any };
    // Standard input: /dev/null, or a pipe the test writes with writeInput.
    enum class Input { Null, Pipe };

    // Starts `binary` with `args` (argv[1..]) in `workDir`.
    // Throws std::runtime_error when the child cannot be created.
    ChildProcess(const std::string& binary, const std::vector<std::string>& args,
                 const std::string& workDir, Input input = Input::Null);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return childPid; }

    // True once a complete line containing `text` has been seen on the stream
    // (Any: either), or false after `timeout`.
    bool waitForLine(Stream stream, const std::string& text, std::chrono::milliseconds timeout);
    // True once `text` occurs `count` times in the stream (lines need not be complete).
    bool waitForCount(Stream stream, const std::string& text, std::size_t count,
                      std::chrono::milliseconds timeout);

    // Exit status (128 + signal number for a signalled child), or nothing when
    // the child is still running after `timeout`. Once it has exited, waits a
    // little for the readers to collect the last output.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool exited() const;
    bool signalled() const { return wasSignalled; }

    void sendSignal(int sig);

    // With Input::Pipe: writes to the child's standard input (false when it
    // cannot take the bytes), and closes it (the child reads end of file).
    bool writeInput(const std::string& text);
    void closeInput();

    std::string out() const;
    std::string err() const;
    static std::size_t count(const std::string& haystack, const std::string& needle);

private:
    void readLoop(int fd, std::string* sink);
    const std::string& textOf(Stream s) const;  // Out or Err
    void reap(bool block);

    pid_t childPid = -1;
    int inputFd = -1;
    std::optional<int> status;
    bool wasSignalled = false;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string outText, errText;
    int openReaders = 0;
    std::thread outReader, errReader;
};

// The e2e tests' working directories: the shared temporary folder.
using testsupport::TempDir;
