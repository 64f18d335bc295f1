#include "ConfigCheck.h"
#include "Configuration.h"
#include "CrashHandler.h"
#include "Log.h"
#include "SentrelAdaptor.h"
#include "ServiceNotifier.h"
#include "SessionRecorder.h"
#include "SimulatorSample.h"
#include "SocketFlags.h"
#include "StatusReporter.h"
#include "StopSignals.h"
#include "Timing.h"

#include <boost/program_options.hpp>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace po = boost::program_options;

namespace {

// The status line's interval: seconds, 0 switches it off. A week at most,
// which keeps the reporter's clock arithmetic far from overflowing.
constexpr long long kDefaultStatusSeconds = 60;
constexpr long long kMaxStatusSeconds = 7 * 24 * 3600;

// Every end of the process goes through stops.end(status): the bridge or the
// adaptor is alive and its threads may still be using it, so nothing is
// destroyed.

// Bridge mode and the configuration check need the file's path.
void requireConfigPath(const std::string& configPath, const po::options_description& usage, StopSignals& stops)
{
    if (configPath.empty()) {
        snlog::err() << "SN>Missing configuration file path in parameters";
        snlog::out() << usage;
        stops.end(1);
    }
}

[[noreturn]] void runBridge(const std::string& configPath, bool debug, SessionRecorder* recorder,
                            std::chrono::seconds statusInterval, const po::options_description& usage,
                            StopSignals& stops)
{
    requireConfigPath(configPath, usage, stops);
    // Lives for the whole process and is re-read by every bridge.
    Configuration* configuration = new Configuration(configPath.c_str());
    // The status line reads whichever bridge is current, also while its
    // initialize waits for the unit; under systemd the line is also the
    // service's status, and the watchdog is fed while the bridge's loops move.
    BridgeHandoff handoff;
    ServiceNotifier notifier(ServiceNotifier::fromEnvironment(), [&handoff]() -> std::optional<ServiceProgress> {
        const std::optional<BridgeHandoff::Reading> reading = handoff.read();
        if (!reading)
            return std::nullopt;
        const SimulatorSample::Progress& p = reading->progress;
        return ServiceProgress{reading->bridgeNumber, p.mainLoop, p.streamingThread, p.streaming};
    });
    StatusReporter reporter(
        handoff, statusInterval,
        [&notifier](const std::string& line) {
            snlog::out() << line;
            notifier.status(line);
        },
        recorder);
    // A stop ends the bridge's loops; the bridge then goes as after a
    // disconnection, and the loop ends. The service manager hears of it first.
    stops.whenStopped([&handoff, &notifier] {
        notifier.stopping();
        handoff.stop();
    });
    while (!stops.requested()) {
        SimulatorSample* bridge = new SimulatorSample(configuration);
        bridge->setRecorder(recorder);
        handoff.publish(bridge);
        const bool initialized = bridge->initialize(debug);
        if (!initialized && !bridge->stopped()) {
            snlog::err() << "SN>ERROR>Unable to initialize the Sentrel interface module. Leaving now!";
            stops.end(1);
        }
        if (initialized && !bridge->stopped()) {
            snlog::out() << "SN>Running...";
            notifier.ready();
            bridge->run();
            if (!bridge->stopped())
                snlog::out() << "SN>Disconnected!!";
        }
        handoff.withdraw();
        delete bridge;
    }
    stops.end(0);
}

// A stop signal ends this mode at once (no request is set).
[[noreturn]] void runWifi(const std::vector<std::string>& wifi, SessionRecorder* recorder,
                          const po::options_description& usage, StopSignals& stops)
{
    if (wifi.size() != 3) {
        snlog::err() << "SN>Incorrect parameters for wifi configuration mode";
        snlog::out() << usage;
        stops.end(1);
    }
    const std::string& ip = wifi[0];
    const std::string& ssid = wifi[1];
    const std::string& password = wifi[2];
    snlog::out() << "SN>>Configuration of the SN unit @ IP <" << ip << "> for SSID <" << ssid
                 << "> and password <" << password << ">";

    SentrelAdaptor* adaptor = new SentrelAdaptor();
    adaptor->setRecorder(recorder);
    if (!adaptor->initialize("", ip, "", "", false)) {
        snlog::err() << "SN>Unable to initialize the Sentrel adapter. Leaving now!";
        stops.end(1);
    }
    snlog::out() << "WIFI configuration...";
    if (adaptor->setWifiCfg(ssid.c_str(), password.c_str())) {
        snlog::out() << "SN>WIFI configuration succeeded.";
        stops.end(0);
    }
    snlog::err() << "SN>ERROR: WIFI configuration failed; please revalidate your SSID and Password...";
    stops.end(1);
}

} // namespace

int main(int argc, char** argv)
{
    ignoreSigPipe();
    installCrashHandler();
    const Timing timing;
    StopSignals stops(timing.stopBound);  // before any other thread

    std::string configPath;
    std::vector<std::string> wifi;
    std::string recordPath;
    long long statusSeconds = kDefaultStatusSeconds;
    po::options_description usage("PatientSimulatorSentrel Usage");
    usage.add_options()
        ("help,h", "Print usage message")
        ("debug,d", "Print debug info")
        ("nogui,n", "Hide the console, Windows only")
        ("configfile,f", po::value<std::string>(&configPath),
         "Pathname to the configuration XML file")
        ("wifi,w", po::value<std::vector<std::string>>(&wifi)->multitoken(),
         "Configure WIFI settings (arg: SN_IP WIFI_SSID WIFI_PWD)")
        ("record", po::value<std::string>(&recordPath),
         "Append every message sent to the unit to FILE (JSON lines)")
        // Short enough to leave the other options' columns where they were.
        ("status-interval", po::value<long long>(&statusSeconds),
         "Seconds between status lines while the bridge runs (default 60, 0: none)")
        ("check-config", "Check the configuration file (-f), print its settings and exit: 0 usable, 1 not");

    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, usage), vm);
    } catch (const std::exception& e) {
        // A syntax error is a failure: status 1, not 0.
        snlog::err() << "SN>ERROR>" << e.what();
        snlog::out() << "SN>ERROR>" << usage;
        return 1;
    }

    if (vm.count("help")) {
        snlog::out() << "\n" << usage;
        return 0;
    }

    try {
        po::notify(vm);
        if (statusSeconds < 0 || statusSeconds > kMaxStatusSeconds) {
            // Worded as the parser words a value it cannot read.
            po::validation_error outOfRange(po::validation_error::invalid_option_value, "status-interval",
                                            "--status-interval", po::command_line_style::allow_long);
            outOfRange.set_substitute("value", std::to_string(statusSeconds));
            throw outOfRange;
        }
    } catch (const std::exception& e) {
        snlog::err() << "SN>ERROR>" << e.what();
        snlog::out() << "SN>ERROR>" << usage;
        return 1;
    }

    bool debug = vm.count("debug") > 0;
    if (debug)
        snlog::out() << "SN>Debug mode enabled";

    if (vm.count("check-config")) {
        if (!wifi.empty()) {
            snlog::err() << "SN>ERROR>--check-config checks the configuration file of bridge mode; it does not go with --wifi";
            snlog::out() << "SN>ERROR>" << usage;
            stops.end(1);
        }
        requireConfigPath(configPath, usage, stops);
        stops.end(checkConfiguration(configPath) ? 0 : 1);
    }

    try {
        // One recording for the whole process, whichever bridge is current.
        SessionRecorder* recorder = recordPath.empty() ? nullptr : new SessionRecorder(recordPath, timing);
        // Its last line says how the process ended.
        stops.closeWith([recorder](const std::string& reason) {
            if (recorder)
                recorder->stop(reason);
        });
        if (!wifi.empty())
            runWifi(wifi, recorder, usage, stops);
        runBridge(configPath, debug, recorder, std::chrono::seconds(statusSeconds), usage, stops);
    } catch (const std::exception& e) {
        snlog::err() << "SN>ERROR>" << e.what();
        stops.end(1);
    }
}
