#pragma once

#include "BridgeFlags.h"
#include "CSClient.h"
#include "CalibrationProcedure.h"
#include "UnitPort.h"

#include <cstdint>
#include <vector>

// Where simulator values become unit commands. One table lists every
// parameter the bridge subscribes: its name, which client delivers it, how
// its value is read, its update rate and what an update does. The
// subscription lists are that table's rows; a batch of updates is handled
// row by row, then the end-of-batch step runs one streaming tick once 10 or
// more arterial samples have gathered.
//
// apply() runs with the bridge lock held, on a client receive thread. The
// translator writes to the unit only through `unit`, which stores values for
// the adaptor's next streaming pass; calibration parameters go to
// `calibration`.
class ParameterTranslator {
public:
    using CSClient = com_vela::CSClient;

    enum class Protocol { sim, app };

    ParameterTranslator(UnitPort& unit, BridgeFlags& flags, CalibrationProcedure& calibration);
    ParameterTranslator(const ParameterTranslator&) = delete;
    ParameterTranslator& operator=(const ParameterTranslator&) = delete;

    // One batch of updates from either client.
    void apply(const std::vector<CSClient::Parameter>& batch);
    // SpO2 and pleth are sent only while this holds.
    bool IsSpO2ProbeConnected() const;

    // The subscription list of one client, in the table's order; built on
    // the first call and kept for the life of the process.
    static const std::vector<CSClient::InputDef>& inputs(Protocol protocol);

private:
    struct Row;
    static const std::vector<Row>& table();

    // Latest vital values of the patient.
    struct VitalValues {
        int32_t spo2 = 0;
        int32_t etco2 = 0;
        int32_t diastolic = 0;
        int32_t mean = 0;
        int32_t systolic = 0;
        int32_t heartRate = 0;
        int32_t respirationRate = 0;
        float bodyTemp = 0;
        float bloodTemp = 0;
    };

    // Ticks until each vital is sent again; 0 sends it at the next tick.
    struct Countdowns {
        int32_t spo2 = 0;
        int32_t etco2 = 0;
        int32_t nibp = 0;
        int32_t heartRate = 0;
        int32_t respirationRate = 0;
        int32_t temperature = 0;
        int32_t co2Off = 0;
    };

    // Samples gathered between streaming ticks; emptied, not freed.
    struct WaveformBuffers {
        std::vector<float> arterial;
        std::vector<float> pulmonaryArtery;
        std::vector<float> cvp;
        std::vector<float> pleth;
        void clear();
    };

    struct SensorStates {
        bool arterialCatheter = false;
        bool cvpCatheter = false;
        bool paCatheter = false;
        int32_t pulseSensor = 0;
        bool spo2Probe = true;
        bool simulatorXConnected = false;
        bool capnographSensor = false;
        bool bodyTempSensor = false;
        bool bloodTempSensor = false;
        bool nibpSensor = false;
    };

    void runningState(int32_t value);
    void catheterDepth(int32_t depth, const char* label, const char* zeroStateCommand, bool& active);
    void debugValue(const char* label, int32_t value) const;
    void endOfBatch();
    void tick();

    UnitPort& unit;
    BridgeFlags& flags;
    CalibrationProcedure& calibration;

    WaveformBuffers waveforms;
    VitalValues vitals;
    Countdowns countdowns;
    SensorStates sensors;
    // The last values of "HW_PATMON_CALIB_ACTION" and "HW_PATMON_CALIB_ARG1".
    int32_t calibrationAction = 0;
    int32_t calibrationArg = 0;
    // Whether the batch being handled carried a calibration parameter.
    bool calibrationArrived = false;
};
