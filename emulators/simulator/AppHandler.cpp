// The APP protocol side of the emulated simulator server: one client frame
// in, the frames to send out (to that client, or scenario events to every
// APP client).
#include "ServerState.h"

#include "AppProtocol.h"

#include <type_traits>

namespace simemu {

namespace {
using App = com_vela::AppProtocol;

void flowControl(ServerState& s, unsigned client, const Bytes& body, Outgoing& out) {
    const std::uint32_t type = get32(body, App::FlowControl::TYPE);
    if (body.size() < App::FlowControl::TYPE + 4) {
        ++s.malformed;
        s.log("APP flow-control frame of " + std::to_string(body.size()) + " bytes ignored");
    } else if (type == App::FLOW_CONTROL_REQUEST) {
        s.log("APP flow-control request");
        if (s.opt.grantFlowControl) {
            Bytes g;
            put32(g, App::FLOW_CONTROL_GRANT);
            for (int k = 0; k < 4; ++k) put32(g, 0xFFFFFFFF);
            out.emplace_back(client, frame(g, com_vela::FRAME_KIND_FLOW_CONTROL));
        }
    } else if (type == App::FLOW_CONTROL_KEEP_ALIVE) {
        ++s.keepAlives;
    } else {
        s.log("APP flow-control type " + std::to_string(type) + " ignored");
    }
}

void handshake(ServerState& s, unsigned client, unsigned code, const Bytes& body, Outgoing& out) {
    if (code == App::CODE_PATIENT_LIST_REQUEST)
        out.emplace_back(client, s.patientList());
    else if (code == App::CODE_EVENTS_SUBSCRIPTION)
        s.log("APP events subscription, mode " +
              std::to_string(std::int32_t(get32(body, App::EventsSubscription::MODE))));
    else
        s.log("APP message 1/" + std::to_string(code) + " unknown; ignored");
}

// Input (with their values) or output subscription for the active patient.
template <typename L>
void subscription(ServerState& s, ServerState::Client& c, unsigned client, std::uint32_t pid, const Bytes& body,
                  Outgoing& out) {
    constexpr bool inputs = std::is_same<L, App::InputSubscription>::value;
    if (pid != s.patientId || !pid) {
        s.log(std::string("APP ") + (inputs ? "input" : "output") + " subscription for patient " +
              std::to_string(pid) + " not active; ignored");
        return;
    }
    Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, inputs ? App::CODE_SUBSCRIBE_RESPONSE : App::CODE_PUBLISH_RESPONSE);
    put32(r, pid);
    put32(r, 0);
    std::uint32_t count = 0;
    forEachEntry<L>(body, [&](std::size_t off) {
        const std::string name = getName(body, off + L::ENTRY_NAME);
        const unsigned id = s.idFor(name);
        if (!id) return;
        if (inputs) {
            c.inputs[id] = false;
        } else {
            c.outputs.insert(id);
            s.outputs[kApp].insert(name);
        }
        put32(r, id);
        put32(r, 0);
        put32(r, 0);
        if (inputs) putFloat(r, s.model.value(name));
        putName(r, name);
        ++count;
    });
    set32(r, inputs ? App::SubscribeResponse::COUNT : App::PublishResponse::COUNT, count);
    if (inputs) s.log("APP subscription of " + std::to_string(count) + " inputs");
    if (s.opt.answerSubscriptions) out.emplace_back(client, frame(r));
}

void signalParameter(ServerState& s, const Bytes& body) {
    using L = App::SignalParameter;
    if (body.size() < L::SIZE) {
        ++s.malformed;
        s.log("APP signal parameter of " + std::to_string(body.size()) + " bytes ignored");
        return;
    }
    Published p;
    p.serverId = get32(body, L::SERVER_ID);
    auto it = s.namesById.find(p.serverId);
    if (it != s.namesById.end()) p.name = it->second;
    p.value = getFloat(body, L::VALUE);
    s.addPublished(kApp, p);
}

// Load, start, training case, speed, pause and stop.
void scenarioCommand(ServerState& s, unsigned client, unsigned code, std::uint32_t pid, const Bytes& body,
                     Outgoing& out) {
    switch (code) {
    case App::CODE_LOAD_SCENARIO: {
        const unsigned sce = get32(body, App::LoadScenario::SCE_ID);
        Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_LOAD_RESPONSE);
        put32(r, 0);
        put32(r, sce);
        if (s.patientId) {
            put32(r, s.patientId);
            put32(r, 0);
        } else {
            s.patientId = s.nextPatientId++;
            s.sceId = sce;
            s.loaded = true;
            put32(r, s.patientId);
            put32(r, 1);
        }
        out.emplace_back(client, frame(r));
        break;
    }
    case App::CODE_START_LOADED: {
        const bool ok = s.loaded && pid == s.patientId && pid != 0;
        Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_START_RESPONSE);
        put32(r, pid);
        put32(r, ok ? 1 : 0);
        out.emplace_back(client, frame(r));
        if (ok) s.startPatient(pid, out);
        break;
    }
    case App::CODE_RUN_TRAINING_CASE: {
        const unsigned sce = get32(body, App::RunTrainingCase::SCE_ID);
        const unsigned secondary = get32(body, App::RunTrainingCase::SECONDARY_ID);
        const bool ok = s.patientId == 0;
        if (ok) {
            s.sceId = sce;
            s.startPatient(s.nextPatientId++, out);
        }
        Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_RUN_TRAINING_CASE_RESPONSE);
        put32(r, sce);
        put32(r, secondary);
        put32(r, s.patientId);
        put32(r, ok ? 1 : 0);
        out.emplace_back(client, frame(r));
        break;
    }
    case App::CODE_CHANGE_SPEED: {
        float speed = getFloat(body, App::Command::ARGUMENT);
        if (pid == s.patientId && pid) {
            s.setRunning(speed > 0);
            s.broadcast(kApp, s.event(App::CODE_EVENT_SPEED_MODIFIED, pid, App::STATUS_SUCCESS, &speed), out);
        }
        break;
    }
    case App::CODE_PAUSE:
        if (pid == s.patientId && pid) {
            const bool pause = get32(body, App::Command::ARGUMENT) != 0;
            s.setRunning(!pause);
            s.broadcast(kApp, s.runEvent(!pause, pid), out);
        }
        break;
    case App::CODE_STOP_SCENARIO:
        if (pid == s.patientId) s.stopPatient(out);
        break;
    default:
        s.log("APP command " + std::to_string(code) + " for patient " + std::to_string(pid) + " recorded");
    }
}

}  // namespace

void handleAppFrame(ServerState& s, ServerState::Client& c, unsigned client, unsigned kind, const Bytes& body,
                    Outgoing& out) {
    if (kind == com_vela::FRAME_KIND_FLOW_CONTROL) {
        flowControl(s, client, body, out);
        return;
    }
    const unsigned sub = messageSubprotocol(body);
    const unsigned code = messageCode(body);
    if (sub == App::SUBPROTOCOL_HANDSHAKE) {
        handshake(s, client, code, body, out);
        return;
    }
    if (messageProtocol(body) == App::CALIBRATION_PROTOCOL && sub == App::CALIBRATION_SUBPROTOCOL) {
        s.log("APP Sentrel calibration command " + std::to_string(get32(body, App::Command::ARGUMENT)) + " " +
              std::to_string(get32(body, App::Command::SECOND_ARGUMENT)));
        return;
    }
    if (sub != App::SUBPROTOCOL_PATIENT) {
        s.log("APP message " + std::to_string(sub) + "/" + std::to_string(code) + " unknown; ignored");
        return;
    }
    const std::uint32_t pid = get32(body, App::PATIENT_ID);
    switch (code) {
    case App::CODE_INPUT_SUBSCRIPTION:
        subscription<App::InputSubscription>(s, c, client, pid, body, out);
        return;
    case App::CODE_OUTPUT_SUBSCRIPTION:
        subscription<App::OutputSubscription>(s, c, client, pid, body, out);
        return;
    case App::CODE_PUBLISH:
    case App::CODE_PUBLISH_NO_LOG: {
        using L = App::Publish;
        s.recordPublished<L>(kApp, body,
                             [&](std::size_t off) { return getFloat(body, off + L::ENTRY_VALUE); });
        return;
    }
    case App::CODE_SIGNAL_PARAMETER:
        signalParameter(s, body);
        return;
    case App::CODE_INPUT_UNSUBSCRIPTION:
    case App::CODE_OUTPUT_UNSUBSCRIPTION:
        s.unsubscribe(c, body, code == App::CODE_INPUT_UNSUBSCRIPTION);
        return;
    case App::CODE_VERSION_REQUEST: {
        Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_VERSION_RESPONSE);
        putName(r, s.opt.serverVersion, App::VersionResponse::TEXT_SIZE);
        put32(r, 0);
        put32(r, App::STATUS_SUCCESS);
        out.emplace_back(client, frame(r));
        return;
    }
    default:
        break;
    }
    if (s.opt.answerScenario) scenarioCommand(s, client, code, pid, body, out);
}

}  // namespace simemu
