// Decoding one APP patient update of 26 entries (the bridge's subscription)
// and dispatching it to one callback.
#include "AppProtocol.h"
#include "EmulatorWire.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

using namespace com_vela;

namespace {

const char* kNames[26] = {"ARTERIAL_CATHETER_DEPTH", "CVP_CATHETER_DEPTH", "PA_CATHETER_DEPTH", "PULSE_SENSOR",
                          "SPO2_PROBE", "CAPNOGRAPH_SENSOR", "TEMP_BODY_SENSOR", "TEMP_BLOOD_SENSOR", "NIBP_SENSOR",
                          "SIMULATOR_XCONNECTED", "ARTLINE", "PLINE", "CVPLINE", "CAPNOGRAM", "PLETH", "SAO2",
                          "EXT_DABP", "EXT_MAP", "EXT_SABP", "SPA", "DPA", "ETCO2", "HRPM", "RRPM", "BODY_TEMP",
                          "bloodTemp"};

struct Counter : CSClient::CallbackIface {
    std::size_t values = 0;
    void connectionStateChanged(CSClient::State, CSClient::State) override {}
    void parametersUpdated(const std::vector<CSClient::Parameter>& p) override { values += p.size(); }
};

RawMessage message(const simemu::Bytes& b) {
    return RawMessage(reinterpret_cast<const char*>(b.data()), unsigned(b.size()), RawMessage::TYPE_DATA);
}

void BM_PatientUpdate26(benchmark::State& state) {
    AppProtocol engine(CSClientProtocol::OPTION_QUIET);
    Counter counter;
    std::vector<CSClient::InputDef> defs;
    for (int i = 0; i < 26; ++i) {
        bool wave = i >= 10 && i <= 14;
        bool isFloat = wave || i == 15 || i >= 24;
        defs.push_back({kNames[i], isFloat ? CSClient::PARAMETER_TYPE_FLOAT : CSClient::PARAMETER_TYPE_INT,
                        wave ? 1u : 0u});
    }
    engine.registerInputParameters(defs.data(), unsigned(defs.size()));

    simemu::Bytes list = simemu::messageHeader(1, 1, 0x0002);
    for (std::uint32_t w : {1u, 3u, 1u, 5u, 0x3F800000u}) simemu::put32(list, w);
    engine.handleReceivedMessage(message(list));
    simemu::Bytes sub = simemu::messageHeader(1, 2, 0x0106);
    simemu::put32(sub, 3);
    simemu::put32(sub, 26);
    for (int i = 0; i < 26; ++i) {
        simemu::put32(sub, 100 + i);
        simemu::put32(sub, 0);
        simemu::put32(sub, 0);
        simemu::putFloat(sub, 0);
        simemu::putName(sub, kNames[i]);
    }
    engine.handleReceivedMessage(message(sub));
    engine.addCallbackInterface(&counter);

    simemu::Bytes upd = simemu::messageHeader(1, 2, 0x0008);
    simemu::put32(upd, 3);
    simemu::put32(upd, 0);
    simemu::put32(upd, 26);
    for (int i = 0; i < 26; ++i) {
        simemu::put32(upd, 100 + i);
        simemu::putFloat(upd, 10.5f + float(i));
    }
    RawMessage update = message(upd);
    for (auto _ : state) engine.handleReceivedMessage(update);
    if (counter.values != std::size_t(state.iterations()) * 26) state.SkipWithError("values lost");
    state.SetItemsProcessed(std::int64_t(counter.values));
    state.counters["values/s"] = benchmark::Counter(double(counter.values), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PatientUpdate26);

}  // namespace

BENCHMARK_MAIN();
