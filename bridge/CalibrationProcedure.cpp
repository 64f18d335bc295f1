#include "CalibrationProcedure.h"

#include "Log.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cstring>
#include <sstream>

namespace {

// 9 significant digits, shortest general form: 45 -> "45".
std::string floatText(float f) {
    std::ostringstream os;
    os.precision(9);
    os << f;
    return os.str();
}

}  // namespace

const char* const CalibrationProcedure::kCalRemoveSpO2 =
    "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\"}}";
const char* const CalibrationProcedure::kCalRemoveCO2 =
    "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\"}}";

CalibrationProcedure::CalibrationProcedure(UnitPort& unit, BridgeFlags& flags, std::mutex& bridgeLock,
                                           const Timing& timing)
    : unit(unit), flags(flags), bridgeLock(bridgeLock), timing(timing) {}

CalibrationProcedure::~CalibrationProcedure() { finish(); }

void CalibrationProcedure::performCalibration(int action, int arg) {
    snlog::out() << "Calling performCalibration with action: [" << action << "] and arg: [" << arg << "]";
    if (action <= 0) {
        if (flags.calibrating) {
            snlog::out() << "SN>CALIBRATION>Stopping calibration";
            flags.calibrating = false;
        }
        return;
    }
    if (!flags.calibrating) {
        if (action != 1) {
            snlog::out() << "SN>CALIBRATION>Ignoring calibration until a 'Start' action is received.";
            return;
        }
        snlog::out() << "SN>CALIBRATION>Starting calibration";
        flags.calibrating = true;
        startCalibrationThread();
    }
    switch (action) {
    case 1:
        snlog::out() << "SN>CALIBRATION>Start/reset calibration";
        spo2Points.clear();
        co2Points.clear();
        co2Counter = 0;
        break;
    case 2:
        snlog::out() << "SN>CALIBRATION>Set SPO2 scale to " << arg;
        break;
    case 3:
        snlog::out() << "SN>CALIBRATION>Set SPO2 Counter to " << arg;
        spo2Counter = arg;
        if (arg >= 1) unit.sendSPO2_ratio(arg);
        break;
    case 4:
        snlog::out() << "SN>CALIBRATION>Set CO2 Counter to " << arg;
        co2Counter = arg;
        if (arg >= 1) {
            snlog::out() << "Sending co2FlowFactor of " << co2Counter;
            unit.sendRR_brpm(10);
            unit.sendCO2_flowFactor(co2Counter);
        }
        break;
    case 30:
        snlog::out() << "SN>CALIBRATION>Save SPO2 point " << arg << " -> " << spo2Counter;
        spo2Points[spo2Counter] = arg;
        break;
    case 39:
        snlog::out() << "SN>CALIBRATION>Skipping SPO2";
        spo2Points.clear();
        break;
    case 40:
        snlog::out() << "SN>CALIBRATION>Save CO2 point " << arg << " -> " << co2Counter;
        co2Points[co2Counter] = arg;
        break;
    case 49:
        snlog::out() << "SN>CALIBRATION>Skipping CO2";
        co2Points.clear();
        break;
    case 100:
        saveCalibration();
        break;
    default:
        break;
    }
}

std::string CalibrationProcedure::buildCalDataText(const char* calType, const std::map<int32_t, int32_t>& points) {
    namespace pt = boost::property_tree;
    pt::ptree tree;
    tree.put("MessageType", "CalData");
    tree.put("Message.calName", "SpaceLabs Xprezzon");
    tree.put("Message.calType", calType);
    pt::ptree list;
    for (auto it = points.rbegin(); it != points.rend(); ++it) {
        pt::ptree item;
        item.put("Item1", floatText(static_cast<float>(it->first)));
        item.put("Item2", floatText(static_cast<float>(it->second)));
        list.push_back(std::make_pair("", item));
    }
    tree.add_child("Message.calPts", list);
    std::ostringstream os;
    pt::write_json(os, tree, false);
    std::string text = os.str();
    boost::algorithm::trim_right(text);
    boost::algorithm::replace_all(text, "        ", "");
    return text;
}

// The save runs with the bridge lock held, pauses included: the unit's
// requests and messages go out under it.
void CalibrationProcedure::saveTable(const char* calType, const std::map<int32_t, int32_t>& points,
                                     const char* removeText, const char* firstLine, const char* lastLine) {
    const bool spo2Type = std::strcmp(calType, "SpO2") == 0;
    auto request = [&] {
        return spo2Type ? unit.sendRequestStoredCalibrationNamesSpO2() : unit.sendRequestStoredCalibrationNamesCO2();
    };
    const std::string calData = buildCalDataText(calType, points);
    snlog::out() << firstLine;
    unit.printJson(request());
    unit.sendSnCommand(removeText);
    std::this_thread::sleep_for(timing.savePause);
    snlog::out() << "New calibration list:";
    unit.printJson(request());
    unit.sendSnCommand(calData);
    snlog::out() << lastLine;
    unit.printJson(request());
}

void CalibrationProcedure::saveCalibration() {
    snlog::out() << "SN>CALIBRATION>Saving calibration file!";
    std::this_thread::sleep_for(timing.savePause);
    if (!spo2Points.empty())
        saveTable("SpO2", spo2Points, kCalRemoveSpO2, "Removing previous calibration:", "After SpO2:");
    if (!co2Points.empty())
        saveTable("CO2", co2Points, kCalRemoveCO2, "Removing previous calibration", "After CO2:");
    flags.calibrating = false;
}

// Called with the bridge lock held.
void CalibrationProcedure::startCalibrationThread() {
    // A previous thread that has not yet noticed the end of the last
    // calibration mode simply carries on; no second thread is started.
    if (calibrationLoopActive) return;
    // A previous thread that has left its loop takes the bridge lock no more;
    // joining it here keeps its final settings from overriding the new ones.
    if (calibrationThread.joinable()) calibrationThread.join();
    {
        std::lock_guard<std::mutex> doneLock(calibrationDoneMutex);
        calibrationThreadDone = false;
    }
    calibrationLoopActive = true;
    try {
        calibrationThread = std::thread(&CalibrationProcedure::calibrationData, this);
    } catch (...) {
        calibrationLoopActive = false;
        std::lock_guard<std::mutex> doneLock(calibrationDoneMutex);
        calibrationThreadDone = true;
        throw;
    }
}

void CalibrationProcedure::calibrationData() {
    bool loopLeft = false;
    try {
        const auto start = std::chrono::steady_clock::now();
        snlog::out() << "Entered calibration mode...";
        setPinging(flags, unit, false);
        auto deadline = start;
        for (;;) {
            deadline += timing.calibrationPoll;
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (remaining.count() > 0) std::this_thread::sleep_for(remaining);
            std::lock_guard<std::mutex> lock(bridgeLock);
            if (!flags.calibrating) {
                calibrationLoopActive = false;
                loopLeft = true;
                // Calibration mode is over: the settings go back to those of
                // the simulation's state, in the same step as the check. A
                // simulation that is running (its start is what ended the
                // mode) has switched the streaming on and the pings off; that
                // stands. Only a paused one gets its pings back.
                if (!flags.running) setPinging(flags, unit, true);
                break;
            }
        }
        snlog::out() << "exiting calibration mode...";
    } catch (const std::exception& e) {
        snlog::out() << e.what();
        // Once out of the loop a new start may be joining this thread with the
        // bridge lock held: the lock is only needed while still in the loop.
        if (!loopLeft) {
            std::lock_guard<std::mutex> lock(bridgeLock);
            calibrationLoopActive = false;
        }
    }
    std::lock_guard<std::mutex> doneLock(calibrationDoneMutex);
    calibrationThreadDone = true;
    calibrationDoneCv.notify_all();
}

void CalibrationProcedure::finish() {
    {
        std::lock_guard<std::mutex> lock(bridgeLock);
        flags.calibrating = false;
    }
    if (!calibrationThread.joinable()) return;
    {
        std::unique_lock<std::mutex> doneLock(calibrationDoneMutex);
        if (!calibrationDoneCv.wait_for(doneLock, timing.calibrationJoinBound,
                                        [this] { return calibrationThreadDone; })) {
            // Leaving it running would let it reach a destroyed bridge; the
            // thread only sleeps and polls, so the join below still ends.
            snlog::err() << "SN>ERROR>The calibration thread is slow to end; waiting for it.";
        }
    }
    calibrationThread.join();
}
