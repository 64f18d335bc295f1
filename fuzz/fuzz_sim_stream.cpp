// The SIM client's receive path: frame headers, bodies and every SIM message
// from the RHM server, with the registry behind them.
#include "CsclientFuzzing.h"
#include "FuzzInput.h"
#include "SimulatorProtocol.h"

using com_vela::CSClient;
using com_vela::CSClientProtocol;
using com_vela::SimulatorProtocol;

namespace {

class Listener : public csfuzz::Listening<CSClient::CallbackIface> {
public:
    using Listening::Listening;

private:
    void publish(std::size_t batchSize) override
    {
        const CSClient::Parameter out = CSClient::Parameter::makeInt("OUT_I", int(batchSize));
        engine.publishParameters(&out, 1, CSClientProtocol::PUBLISH_PLAIN);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
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
