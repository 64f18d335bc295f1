// simulator-emulator: the emulated RHM server (SIM, TCP 55580) and simulator
// server (APP, TCP 55557) on one address, driven from the console or a
// scenario file.
#include "Log.h"
#include "SimulatorEmulator.h"
#include "SocketFlags.h"

#include <boost/program_options.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <fstream>
#include <sstream>
#include <sys/select.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace po = boost::program_options;

namespace {
std::atomic<bool> gSignalled{false};
void onSignal(int) { gSignalled = true; }

// How often the main loop looks at the quit flags (a signal only sets one),
// while it waits for console input or, without input, idles.
constexpr std::chrono::milliseconds kQuitCheckStep{100};

// Reads console lines from standard input without blocking the exit: the
// loop looks at the quit flags between short polls.
class ConsoleReader {
public:
    bool poll(std::string& line, bool& eof) {
        eof = false;
        auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        if (closed_) {
            eof = true;
            if (!buffer_.empty()) {
                line.swap(buffer_);
                buffer_.clear();
                return true;
            }
            return false;
        }
        // select(), not poll(): macOS's poll() refuses terminals.
        fd_set in;
        FD_ZERO(&in);
        FD_SET(0, &in);
        timeval wait{0, static_cast<suseconds_t>(std::chrono::microseconds(kQuitCheckStep).count())};
        if (::select(1, &in, nullptr, nullptr, &wait) <= 0) return false;
        char chunk[512];
        ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) return false;
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk, std::size_t(n));
        if (buffer_.size() > 65536) buffer_.clear();  // no console line is that long
        return false;
    }

private:
    std::string buffer_;
    bool closed_ = false;
};
}  // namespace

int main(int argc, char** argv) {
    ignoreSigPipe();
    SimulatorEmulator::Options options;
    std::string scenarioPath;
    bool quitOnEof = false, quiet = false, noStdin = false;
    po::options_description desc("simulator-emulator: emulated RHM (SIM) and simulator (APP) servers\nOptions");
    desc.add_options()
        ("help,h", "this text, the console words and the scenario file format")
        ("address,a", po::value<std::string>(&options.address)->default_value("127.0.0.1"), "IPv4 address to serve on")
        ("sim-port", po::value<unsigned short>(&options.simPort)->default_value(55580), "SIM protocol TCP port")
        ("app-port", po::value<unsigned short>(&options.appPort)->default_value(55557), "APP protocol TCP port")
        ("scenario,s", po::value<std::string>(&scenarioPath), "scenario file of timed console lines")
        ("running", po::bool_switch(&options.running), "start with HW_PATSPEED 1")
        ("enabled", po::bool_switch(&options.enabled), "start with HW_PATMON_ENABLED 1")
        ("no-patient", "start with no active APP patient (use 'start')")
        ("quit-on-eof", po::bool_switch(&quitOnEof), "end when standard input ends (default: keep serving)")
        ("no-stdin", po::bool_switch(&noStdin), "do not read console words from standard input")
        ("quiet,q", po::bool_switch(&quiet), "no log lines");
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, desc), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        snlog::err() << "simulator-emulator: " << e.what() << "\n" << desc;
        return 2;
    }
    if (vm.count("help")) {
        snlog::out() << desc << "\n" << SimulatorEmulator::helpText()
                     << "Ends on SIGINT, SIGTERM or 'quit'; the end of standard input ends it only with\n"
                        "--quit-on-eof, so it can run in the background with no input.";
        return 0;
    }
    if (vm.count("no-patient")) options.patientId = 0;
    options.log = !quiet;

    std::string script;
    if (!scenarioPath.empty()) {
        std::ifstream in(scenarioPath);
        if (!in) {
            snlog::err() << "simulator-emulator: cannot read scenario file " << scenarioPath;
            return 2;
        }
        std::ostringstream s;
        s << in.rdbuf();
        script = s.str();
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    SimulatorEmulator emulator(options);
    if (!script.empty()) {
        std::string why;
        if (!emulator.loadScenario(script, &why)) {
            snlog::err() << "simulator-emulator: " << scenarioPath << ": " << why;
            return 2;
        }
    }
    std::string why;
    if (!emulator.start(&why)) {
        snlog::err() << "simulator-emulator: " << why;
        return 1;
    }
    ConsoleReader console;
    bool stdinOpen = !noStdin;
    // Started with '&' from an interactive shell: reading the terminal would
    // stop the process (SIGTTIN), so the console stays off.
    if (stdinOpen && ::isatty(0) && ::tcgetpgrp(0) != ::getpgrp()) {
        snlog::out() << "simulator-emulator: running in the background; console words are off";
        stdinOpen = false;
    }
    while (!gSignalled && !emulator.quitRequested()) {
        if (!stdinOpen) {
            std::this_thread::sleep_for(kQuitCheckStep);
            continue;
        }
        std::string line;
        bool eof = false;
        if (console.poll(line, eof)) {
            std::string reply = emulator.execute(line);
            if (reply != "ok") snlog::out() << reply;
        }
        if (eof) {
            stdinOpen = false;
            if (quitOnEof) break;
        }
    }
    emulator.stop();
    snlog::out() << "simulator-emulator: stopped";
    return 0;
}
