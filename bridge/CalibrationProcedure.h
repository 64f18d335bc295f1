#pragma once

#include "BridgeFlags.h"
#include "Timing.h"
#include "UnitPort.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// The operator's calibration of the unit's SpO2 and CO2 output for a
// "SpaceLabs Xprezzon" monitor: the actions of "HW_PATMON_CALIB_ACTION", the
// counters and saved points they set, the save sequence that replaces the
// unit's stored calibrations, and the calibration thread that keeps the
// unit's vitals streaming on (and the pings off) while calibration mode is
// active.
//
// performCalibration runs with the bridge lock held; the calibration thread
// takes that lock to see whether calibration mode is still active, and to
// hand the ping and streaming settings back when it is not.
class CalibrationProcedure {
public:
    static const char* const kCalRemoveSpO2;
    static const char* const kCalRemoveCO2;
    // The compact CalData text for one point table ("SpO2" or "CO2").
    static std::string buildCalDataText(const char* calType, const std::map<int32_t, int32_t>& points);

    // `bridgeLock` is the bridge lock; `timing` gives the thread's poll, the
    // save's pauses and how long finish() waits before saying so.
    CalibrationProcedure(UnitPort& unit, BridgeFlags& flags, std::mutex& bridgeLock, const Timing& timing);
    ~CalibrationProcedure();  // finish()
    CalibrationProcedure(const CalibrationProcedure&) = delete;
    CalibrationProcedure& operator=(const CalibrationProcedure&) = delete;

    // One action with its argument; called with the bridge lock held.
    void performCalibration(int action, int arg);
    // Ends calibration mode and waits for the calibration thread; called
    // without the bridge lock.
    void finish();

private:
    // Body of the calibration thread.
    void calibrationData();
    void startCalibrationThread();
    void saveCalibration();
    void saveTable(const char* calType, const std::map<int32_t, int32_t>& points, const char* removeText,
                   const char* firstLine, const char* lastLine);

    UnitPort& unit;
    BridgeFlags& flags;
    std::mutex& bridgeLock;
    const Timing timing;

    // Guarded by the bridge lock.
    int32_t co2Counter = 0;
    int32_t spo2Counter = 45;
    std::map<int32_t, int32_t> co2Points;
    std::map<int32_t, int32_t> spo2Points;

    // The calibration thread. `calibrationLoopActive` is cleared by the thread
    // itself, under the bridge lock, when it has seen calibration mode end, so
    // a new start knows whether it must start a new thread.
    std::thread calibrationThread;
    bool calibrationLoopActive = false;
    std::mutex calibrationDoneMutex;
    std::condition_variable calibrationDoneCv;
    bool calibrationThreadDone = true;
};
