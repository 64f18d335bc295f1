// The simulator-emulator program: help text, background running with no
// input, scenario files and clean ends.
#include "ChildProcess.h"
#include "RawClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The program in a fresh folder, standard input from /dev/null or a pipe.
struct Program {
    explicit Program(const std::vector<std::string>& args, ChildProcess::Input input = ChildProcess::Input::Null)
        : child(SIMULATOR_EMULATOR_PROGRAM, args, dir.path(), input) {}
    // Exit status within the time, or -1 while it still runs.
    int wait(std::chrono::milliseconds timeout) { return child.waitForExit(timeout).value_or(-1); }
    std::string output() const { return child.out() + child.err(); }

    testsupport::TempDir dir{"simemu"};
    ChildProcess child;
};

bool connectWithin(RawClient& c, const std::string& address, unsigned short port) {
    return testsupport::eventually([&] { return c.connect(address, port); }, 3000ms, 20ms);
}

}  // namespace

TEST(SimEmuProgram, HelpDocumentsConsoleWordsAndScenarioFormat) {
    Program c({"--help"});
    EXPECT_EQ(c.wait(5s), 0);
    std::string out = c.output();
    for (const char* w : {"set NAME VALUE", "run | pause", "enable | disable", "calib ACTION ARG", "quit",
                          "refuse WHICH", "drop WHICH N", "stall WHICH", "badheader WHICH", "Scenario file",
                          "0.5 run", "--quit-on-eof", "--scenario"})
        EXPECT_NE(out.find(w), std::string::npos) << w;
}

TEST(SimEmuProgram, RunsInTheBackgroundWithoutInputAndEndsOnSigterm) {
    testsupport::TempDir files;
    files.write("demo.scenario", "# demo\n0.1 run\n0.2 set HRPM 88\n");
    Program c({"--address", "127.0.4.10", "--scenario", files.file("demo.scenario")});
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
    c.child.sendSignal(SIGTERM);
    EXPECT_EQ(c.wait(5s), 0);
    EXPECT_NE(c.output().find("stopped"), std::string::npos);
}

TEST(SimEmuProgram, QuitOnEofAndQuitWord) {
    Program a({"--address", "127.0.4.11", "--quit-on-eof", "--quiet"});
    EXPECT_EQ(a.wait(5s), 0);
    Program b({"--address", "127.0.4.11"}, ChildProcess::Input::Pipe);
    ASSERT_TRUE(b.child.writeInput("status\nbogus\nquit\n"));
    b.child.closeInput();
    EXPECT_EQ(b.wait(5s), 0);
    EXPECT_NE(b.output().find("error: unknown word 'bogus'"), std::string::npos) << b.output();
    EXPECT_NE(b.output().find("SIM: 0 client(s)"), std::string::npos) << b.output();
}

TEST(SimEmuProgram, BadScenarioFileAndBadOptionsExitWithStatus2) {
    testsupport::TempDir files;
    files.write("bad.scenario", "1 run\nsoon stop\n");
    Program a({"--address", "127.0.4.12", "--scenario", files.file("bad.scenario")});
    EXPECT_EQ(a.wait(5s), 2);
    EXPECT_NE(a.output().find("line 2"), std::string::npos);
    Program b({"--address", "127.0.4.12", "--scenario", "/nonexistent/file"});
    EXPECT_EQ(b.wait(5s), 2);
    Program c({"--no-such-option"});
    EXPECT_EQ(c.wait(5s), 2);
}
