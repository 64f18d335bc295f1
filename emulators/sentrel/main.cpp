// sentrel-emulator: an emulated Sentrel unit for trying the bridge without one.
#include "ControlWords.h"
#include "Log.h"
#include "MonitorServer.h"
#include "MonitorState.h"
#include "SentrelEmulator.h"
#include "SocketFlags.h"
#include "Timing.h"

#include <boost/program_options.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <pthread.h>
#include <unistd.h>

namespace po = boost::program_options;

namespace {

// The bridge asks for the network status this long after sending the
// credentials: a unit that joins later looks as if it had failed.
const std::chrono::milliseconds kBridgeWifiWait = Timing().wifiJoinWait;

const char* const kReplies =
    "Replies (unit frames holding compact JSON):\n"
    "  StatusRequest requestNetworkStatus false -> StatusData {\"battLvlPerc\":<n>,\"pluggedIn\":<bool>}\n"
    "  StatusRequest requestNetworkStatus true  -> NetworkStatusData {\"ssid\":\"..\",\"ipAddress\":\"..\",\n"
    "      \"wifiConnected\":<bool>,\"wifiStatus\":\"NotConfigured|Joining|Success|Failed\"}\n"
    "  CalListRequest calType T -> CalList {\"calType\":\"T\",\"calNames\":[\"<name>\",..]}\n"
    "  CalData stores (by calName and calType), CalRemove removes, CalSelect is accepted,\n"
    "  WifiCredentials joins --wifi-ssid after --wifi-delay-ms when ssid and password match.\n"
    "  Unsolicited frames: UnitEvent {\"event\":\"Heartbeat\",\"serial\":\"<serial>\"}\n"
    "  Datagrams to UDP --udp-port are answered with \"SENTREL <serial>@\" (\"[STOPME]@\" is ignored).\n"
    "\nControl words, one per line on standard input (read while it is open):\n"
    "  reset           close the bridge's connection now with a reset\n"
    "  refuse on|off   refuse new connections and close the current one / accept again\n"
    "  quit            stop (exit status 0)\n"
    "\n--log-messages prints each received message as\n"
    "  SentrelEmulator> <UTC time with ms, e.g. 2026-12-08T10:15:30.123Z> <MessageType> <JSON>\n"
    "\n--monitor ADDR:PORT serves the live monitor page at http://ADDR:PORT/ (events at /events).\n";

}  // namespace

int main(int argc, char** argv) {
    ignoreSigPipe();
    SentrelEmulatorOptions opts;
    opts.consoleView = true;
    unsigned wifiDelayMs = static_cast<unsigned>(opts.wifiJoinDelay.count());
    bool unplugged = false, noConsole = false;
    std::string monitorAt;

    po::options_description desc("sentrel-emulator: an emulated Sentrel unit\nOptions");
    desc.add_options()
        ("help,h", "show this text")
        ("address,a", po::value(&opts.address)->default_value(opts.address), "address to listen on (TCP port 14997)")
        ("port", po::value(&opts.port)->default_value(opts.port), "TCP port")
        ("udp-port", po::value(&opts.udpPort)->default_value(opts.udpPort), "UDP port for datagrams (0: none)")
        ("serial", po::value(&opts.serial)->default_value(opts.serial), "serial number in unsolicited frames and datagram answers")
        ("battery,b", po::value(&opts.batteryLevel)->default_value(opts.batteryLevel), "battery level, percent")
        ("unplugged", po::bool_switch(&unplugged), "report the charger as unplugged")
        ("wifi-ssid", po::value(&opts.wifiSsid), "the Wi-Fi network the unit can join")
        ("wifi-password", po::value(&opts.wifiPassword), "its password")
        ("wifi-ip", po::value(&opts.wifiIpAddress)->default_value(opts.wifiIpAddress), "address reported once joined")
        ("wifi-delay-ms", po::value(&wifiDelayMs)->default_value(wifiDelayMs), ("time to join, ms (below " + std::to_string(kBridgeWifiWait.count()) + ")").c_str())
        ("refuse-connections", po::bool_switch(&opts.faults.refuseConnections), "fault: do not listen on TCP")
        ("close-after", po::value(&opts.faults.closeAfterFrames)->default_value(0), "fault: close a connection after N frames (0: never)")
        ("never-answer", po::bool_switch(&opts.faults.neverAnswer), "fault: accept and read, never answer")
        ("unsolicited", po::bool_switch(&opts.faults.unsolicitedBeforeReply), "fault: send a UnitEvent frame before each reply")
        ("split-replies", po::bool_switch(&opts.faults.splitReplies), "fault: write each reply in three pieces")
        ("two-frames", po::bool_switch(&opts.faults.twoFramesPerWrite), "fault: write each reply and a UnitEvent frame at once")
        ("no-console", po::bool_switch(&noConsole), "no summary line each second")
        ("log-messages", po::bool_switch(&opts.logMessages), "print every received message with its time")
        ("monitor", po::value(&monitorAt), "serve the live monitor page on ADDR:PORT (e.g. 127.0.0.1:8080)");

    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, desc), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        snlog::err() << "sentrel-emulator: " << e.what() << "\n" << desc;
        return 1;
    }
    if (vm.count("help")) {
        snlog::out() << desc << "\n" << kReplies
                     << "\nConsole line, each second: hr spO2 nibp sbp/dbp/mbp pa sPAP/dPAP/mPAP rr t1 t2 etCO2 |\n"
                        "  per waveform slot: the last sample (min..max of the last second), - when none came";
        return 0;
    }
    if (std::chrono::milliseconds(wifiDelayMs) >= kBridgeWifiWait) {
        snlog::err() << "sentrel-emulator: --wifi-delay-ms must be below " << kBridgeWifiWait.count()
                     << " (the bridge waits " << kBridgeWifiWait.count() / 1000 << " s)";
        return 1;
    }
    opts.pluggedIn = !unplugged;
    opts.consoleView = !noConsole;
    opts.wifiJoinDelay = std::chrono::milliseconds(wifiDelayMs);
    MonitorServer::Options monitorOpts;
    if (!monitorAt.empty()) {
        std::string why;
        if (!parseListenAddress(monitorAt, monitorOpts.address, monitorOpts.port, why)) {
            snlog::err() << "sentrel-emulator: --monitor " << monitorAt << ": " << why;
            return 1;
        }
    }

    // Block the stop signals before any thread starts, so that only sigwait
    // below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    SentrelEmulator emulator(opts);
    try {
        emulator.start();
    } catch (const std::exception& e) {
        snlog::err() << "sentrel-emulator: cannot listen on " << opts.address << ": " << e.what();
        return 1;
    }
    snlog::out() << "SentrelEmulator> listening on " << opts.address << ":" << opts.port
                 << (opts.faults.refuseConnections ? " (refusing connections)" : "");

    std::unique_ptr<MonitorServer> monitor;
    if (!monitorAt.empty()) {
        monitor.reset(new MonitorServer(emulator.monitorState(), monitorOpts));
        try {
            monitor->start();
        } catch (const std::exception& e) {
            snlog::err() << "sentrel-emulator: cannot serve the monitor page on " << monitorAt << ": " << e.what();
            return 1;
        }
        const bool v6 = monitorOpts.address.find(':') != std::string::npos;
        snlog::out() << "SentrelEmulator> monitor page on http://" << (v6 ? "[" : "") << monitorOpts.address
                     << (v6 ? "]" : "") << ":" << monitor->port() << "/";
    }

    // quit ends the wait below as a stop signal would.
    const pthread_t mainThread = pthread_self();
    std::atomic<bool> quitWord{false};
    std::unique_ptr<LineReader> control;
    // Started with '&' from an interactive shell: reading the terminal would
    // stop the process (SIGTTIN), so the control words stay off.
    if (::isatty(0) && ::tcgetpgrp(0) != ::getpgrp()) {
        snlog::out() << "SentrelEmulator> running in the background; control words are off";
    } else {
        control.reset(new LineReader(
            0,
            [&](const std::string& line) {
                if (applyControlLine(emulator, line) && !quitWord.exchange(true))
                    pthread_kill(mainThread, SIGTERM);
            },
            [] { snlog::out() << "SentrelEmulator> control line too long, ignored"; }));
    }

    int sig = 0;
    sigwait(&stopSignals, &sig);
    if (quitWord)
        snlog::out() << "SentrelEmulator> stopping (quit)";
    else
        snlog::out() << "SentrelEmulator> stopping (signal " << sig << ")";
    if (control) control->stop();
    if (monitor) monitor->stop();
    emulator.stop();
    return 0;
}
