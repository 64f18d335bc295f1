// The APP client's receive path: frame headers, bodies, the handshake, the
// patient's parameter messages, scenario responses and events, with the
// registry and the active patient behind them.
#include "AppClient.h"
#include "AppProtocol.h"
#include "CsclientFuzzing.h"
#include "FuzzInput.h"

using com_vela::AppClient;
using com_vela::AppProtocol;
using com_vela::CSClient;
using com_vela::CSClientProtocol;

namespace {

// With ACTING the scenario notifications send commands too.
class Listener : public csfuzz::Listening<AppClient::Callback> {
public:
    Listener(AppProtocol& e, bool acting) : Listening(e, acting), app(e) {}
    void sceStarted(unsigned, unsigned, unsigned, CSClient::Result) override
    {
        if (acting) {
            app.setSimulationMode(AppClient::MODE_SPEED_8X);
            app.bookmarkPatient(-42);
        }
    }
    void sceLoaded(unsigned patientId, unsigned, unsigned) override
    {
        if (acting)
            app.sendStartSce(patientId, true);
    }
    void sceModeChanged(unsigned, AppClient::SimulationMode mode, CSClient::Result) override
    {
        if (acting && mode == AppClient::MODE_PAUSED)
            app.stopSce();
    }
    void sceActiveRefresh() override
    {
        if (acting)
            app.getActiveSce();
    }

private:
    void publish(std::size_t batchSize) override
    {
        const CSClient::Parameter out = CSClient::Parameter::makeFloat("OUT", float(batchSize), true);
        app.publishParameters(&out, 1, CSClientProtocol::PUBLISH_OVERRIDE);
        app.publishSignalParameter(out, 7);
    }
    AppProtocol& app;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzinput::QuietConsole quiet;
    const std::uint8_t flags = size > 0 ? data[0] : 0;
    AppProtocol engine(csfuzz::options(flags));
    Listener listener(engine, (flags & csfuzz::ACTING) != 0);
    engine.addCallbackInterface(&listener);
    const CSClient::InputDef inputs[] = {{"HRPM", CSClient::PARAMETER_TYPE_INT, 0},
                                         {"SAO2", CSClient::PARAMETER_TYPE_FLOAT, 1},
                                         {"ARTLINE", CSClient::PARAMETER_TYPE_FLOAT, 3}};
    const CSClient::OutputDef outputs[] = {{"OUT", CSClient::PARAMETER_TYPE_FLOAT},
                                           {"OUT_I", CSClient::PARAMETER_TYPE_INT}};
    engine.registerInputParameters(inputs, 3);
    engine.registerOutputParameters(outputs, 2);
    const CSClient::Parameter published = CSClient::Parameter::makeInt("OUT_I", -3);
    engine.publishParameters(&published, 1, CSClientProtocol::PUBLISH_PLAIN);
    csfuzz::run(engine, data, size, 55557);
    return 0;
}
