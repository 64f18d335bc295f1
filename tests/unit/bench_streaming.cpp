// Cost of what the bridge does per streaming tick: the setters, then one
// streaming pass (build, serialise and frame one VitalsData and one
// WaveformData), without a socket.
#include "PendingMessages.h"
#include "UnitFrame.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using Linked = PendingMessages;  // stores as if the link were up

void setVitals(PendingMessages& a, int i)
{
    a.sendHR_bpm(60 + i % 40);
    a.sendNIBP_mmHg(120, 80, 93);
    a.sendRR_brpm(14);
    a.sendSPO2(97);
    a.sendT1_degC(36.8f);
    a.sendT2_degC(37.1f);
    a.sendCommand("etCO2", 38);
    a.sendCommand("abpZeroState", "NotZeroing");
}

void setWaveforms(PendingMessages& a, int i)
{
    // One tick's worth: 10 arterial samples at 50 Hz, 5 at 25 Hz, 20 ECG at 100 Hz.
    std::vector<float> abp(10), pap(10), pleth(10), cvp(10), ecg(20);
    std::vector<int> co2(10);
    for (int k = 0; k < 10; ++k) {
        abp[k] = 80.0f + static_cast<float>((i + k) % 40);
        pap[k] = 15.0f + static_cast<float>(k);
        pleth[k] = 50.0f + static_cast<float>(k);
        cvp[k] = 5.0f + static_cast<float>(k % 3);
        co2[k] = (i + k) % 40;
    }
    for (int k = 0; k < 20; ++k)
        ecg[k] = static_cast<float>(k % 7) - 3.0f;
    a.sendABP_50Hz(abp);
    a.sendPAP_50Hz(pap);
    a.sendPLETH_50Hz(pleth);
    a.sendCVP_25Hz(cvp);
    a.sendCO2_25Hz(co2);
    a.sendECG_100Hz(ecg);
}

std::size_t passFrames(PendingMessages& a)
{
    std::size_t bytes = 0;
    for (const std::string& json : a.takeChanged())
        bytes += frameUnitMessage(json).size();
    return bytes;
}

void BM_VitalSetters(benchmark::State& state)
{
    Linked a;
    int i = 0;
    for (auto _ : state) {
        setVitals(a, i++);
        state.PauseTiming();
        a.takeChanged();  // a fresh message each round, no overwrite lines
        state.ResumeTiming();
    }
}
BENCHMARK(BM_VitalSetters);

void BM_WaveformSetters(benchmark::State& state)
{
    Linked a;
    int i = 0;
    for (auto _ : state) {
        setWaveforms(a, i++);
        state.PauseTiming();
        a.takeChanged();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_WaveformSetters);

void BM_StreamingPass(benchmark::State& state)
{
    Linked a;
    int i = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        setVitals(a, i);
        setWaveforms(a, i++);
        state.ResumeTiming();
        bytes += passFrames(a);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_StreamingPass);

void BM_SettersAndOnePass(benchmark::State& state)
{
    Linked a;
    int i = 0;
    for (auto _ : state) {
        setVitals(a, i);
        setWaveforms(a, i++);
        benchmark::DoNotOptimize(passFrames(a));
    }
}
BENCHMARK(BM_SettersAndOnePass);

}  // namespace

BENCHMARK_MAIN();
