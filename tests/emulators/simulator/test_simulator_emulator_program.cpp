// The simulator-emulator program: help text, background running with no
// input, scenario files and clean ends.
#include "RawClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Child {
    pid_t pid = -1;
    std::string outPath;
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (!outPath.empty()) std::remove(outPath.c_str());
    }
    // Exit status within the time, or -1.
    int wait(std::chrono::milliseconds timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    std::string output() const {
        std::ifstream in(outPath);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

// Starts the program with stdin from `stdinPath` and stdout+stderr to a file.
void spawn(Child& c, const std::vector<std::string>& args, const std::string& stdinPath = "/dev/null") {
    char tmpl[] = "/tmp/simemu-out-XXXXXX";
    int fd = ::mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    c.outPath = tmpl;
    c.pid = ::fork();
    ASSERT_GE(c.pid, 0);
    if (c.pid == 0) {
        int in = ::open(stdinPath.c_str(), O_RDONLY);
        ::dup2(in, 0);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        std::string prog = SIMULATOR_EMULATOR_PROGRAM;
        argv.push_back(&prog[0]);
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        ::execv(prog.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fd);
}

std::string writeTemp(const std::string& text) {
    char tmpl[] = "/tmp/simemu-scn-XXXXXX";
    int fd = ::mkstemp(tmpl);
    if (::write(fd, text.data(), text.size()) != ssize_t(text.size())) return "";
    ::close(fd);
    return tmpl;
}

bool connectWithin(RawClient& c, const std::string& address, unsigned short port) {
    for (int i = 0; i < 150; ++i) {
        if (c.connect(address, port)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

}  // namespace

TEST(SimEmuProgram, HelpDocumentsConsoleWordsAndScenarioFormat) {
    Child c;
    spawn(c, {"--help"});
    EXPECT_EQ(c.wait(5s), 0);
    std::string out = c.output();
    for (const char* w : {"set NAME VALUE", "run | pause", "enable | disable", "calib ACTION ARG", "quit",
                          "refuse WHICH", "drop WHICH N", "stall WHICH", "badheader WHICH", "Scenario file",
                          "0.5 run", "--quit-on-eof", "--scenario"})
        EXPECT_NE(out.find(w), std::string::npos) << w;
}

TEST(SimEmuProgram, RunsInTheBackgroundWithoutInputAndEndsOnSigterm) {
    std::string scenario = writeTemp("# demo\n0.1 run\n0.2 set HRPM 88\n");
    Child c;
    spawn(c, {"--address", "127.0.4.10", "--scenario", scenario});
    RawClient sim;
    ASSERT_TRUE(connectWithin(sim, "127.0.4.10", 55580));
    ASSERT_TRUE(sim.sendBody(simInputSubscription({{"HW_PATSPEED", true}})));
    RawFrame f;
    bool running = false;
    for (int i = 0; i < 20 && !running; ++i) {
        ASSERT_TRUE(sim.readFrame(f));
        if (f.code() == 0x0101) running = simemu::get32(f.body, 36) == 1;
        if (f.code() == 0x0003) running = simemu::get32(f.body, 32) == 1;
    }
    EXPECT_TRUE(running);          // the scenario ran although stdin ended at once
    EXPECT_EQ(c.wait(300ms), -1);  // and it keeps serving
    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(c.wait(5s), 0);
    EXPECT_NE(c.output().find("stopped"), std::string::npos);
    std::remove(scenario.c_str());
}

TEST(SimEmuProgram, QuitOnEofAndQuitWord) {
    Child a;
    spawn(a, {"--address", "127.0.4.11", "--quit-on-eof", "--quiet"});
    EXPECT_EQ(a.wait(5s), 0);
    std::string words = writeTemp("status\nbogus\nquit\n");
    Child b;
    spawn(b, {"--address", "127.0.4.11"}, words);
    EXPECT_EQ(b.wait(5s), 0);
    EXPECT_NE(b.output().find("error: unknown word 'bogus'"), std::string::npos) << b.output();
    EXPECT_NE(b.output().find("SIM: 0 client(s)"), std::string::npos) << b.output();
    std::remove(words.c_str());
}

TEST(SimEmuProgram, BadScenarioFileAndBadOptionsExitWithStatus2) {
    std::string bad = writeTemp("1 run\nsoon stop\n");
    Child a;
    spawn(a, {"--address", "127.0.4.12", "--scenario", bad});
    EXPECT_EQ(a.wait(5s), 2);
    EXPECT_NE(a.output().find("line 2"), std::string::npos);
    Child b;
    spawn(b, {"--address", "127.0.4.12", "--scenario", "/nonexistent/file"});
    EXPECT_EQ(b.wait(5s), 2);
    Child c;
    spawn(c, {"--no-such-option"});
    EXPECT_EQ(c.wait(5s), 2);
    std::remove(bad.c_str());
}
