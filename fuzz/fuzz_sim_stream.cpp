// The SIM client's receive path: frame headers, bodies and every SIM message
// from the RHM server, with the registry behind them.
#include "CsclientFuzzing.h"
#include "SimulatorProtocol.h"

using com_vela::CSClient;
using com_vela::CSClientProtocol;
using com_vela::SimulatorProtocol;

namespace {

// Takes the values; with ACTING it also unsubscribes and publishes from
// inside the notifications, as an application may.
class Listener : public CSClient::CallbackIface {
public:
    Listener(SimulatorProtocol& e, bool acting) : engine(e), acting(acting) {}
    void connectionStateChanged(CSClient::State, CSClient::State) override {}
    void parametersUpdated(const std::vector<CSClient::Parameter>& values) override
    {
        for (const auto& p : values)
            sum += p.type == CSClient::PARAMETER_TYPE_INT ? float(p.value.intValue) : p.value.floatValue;
        if (acting && !values.empty()) {
            const CSClient::Parameter out = CSClient::Parameter::makeInt("OUT_I", int(values.size()));
            engine.publishParameters(&out, 1, CSClientProtocol::PUBLISH_PLAIN);
        }
    }
    void registrationComplete(const std::vector<CSClient::InputDef>& defs) override
    {
        if (acting && defs.size() > 1)
            engine.unregisterInputParameters({defs.front().id});
    }
    float sum = 0;

private:
    SimulatorProtocol& engine;
    const bool acting;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    csfuzz::silenceConsole();
    const std::uint8_t flags = size > 0 ? data[0] : 0;
    SimulatorProtocol engine(1, csfuzz::options(flags));
    Listener listener(engine, (flags & csfuzz::ACTING) != 0);
    engine.addCallbackInterface(&listener);
    const CSClient::InputDef inputs[] = {{"HW_PATSPEED", CSClient::PARAMETER_TYPE_INT, 0},
                                         {"HW_PATMON_ENABLED", CSClient::PARAMETER_TYPE_INT, 1},
                                         {"HW_PATMON_CALIB_ACTION", CSClient::PARAMETER_TYPE_INT, 2},
                                         {"HW_PATMON_CALIB_ARG1", CSClient::PARAMETER_TYPE_FLOAT, 3}};
    const CSClient::OutputDef outputs[] = {{"OUT_I", CSClient::PARAMETER_TYPE_INT},
                                           {"OUT_F", CSClient::PARAMETER_TYPE_FLOAT}};
    engine.registerInputParameters(inputs, 4);
    engine.registerOutputParameters(outputs, 2);
    const CSClient::Parameter published = CSClient::Parameter::makeFloat("OUT_F", 2.5f);
    engine.publishParameters(&published, 1, CSClientProtocol::PUBLISH_PLAIN);
    csfuzz::run(engine, data, size, 55580);
    return 0;
}
