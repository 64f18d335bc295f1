// The SIM protocol side of the emulated RHM server: one client frame in, the
// frames to send out.
#include "ServerState.h"

#include "SimulatorProtocol.h"

namespace simemu {

namespace {
using Sim = com_vela::SimulatorProtocol;

void inputSubscription(ServerState& s, ServerState::Client& c, unsigned client, const Bytes& body, Outgoing& out) {
    using L = Sim::InputSubscription;
    Bytes r = s.simHeader(Sim::CODE_SUBSCRIBE_RESPONSE);
    put32(r, 0);
    std::uint32_t count = 0;
    forEachEntry<L>(body, [&](std::size_t off) {
        const bool isInt = get32(body, off + L::ENTRY_IS_INT) != 0;
        const std::string name = getName(body, off + L::ENTRY_NAME);
        const unsigned id = s.idFor(name);
        if (!id) return;
        c.inputs[id] = isInt;
        put32(r, id);
        put32(r, 0);
        put32(r, 0);
        put32(r, isInt ? 1 : 0);
        const float v = s.model.value(name);
        if (isInt)
            put32(r, std::uint32_t(std::int32_t(v)));
        else
            putFloat(r, v);
        putName(r, name);
        ++count;
    });
    set32(r, Sim::SubscribeResponse::COUNT, count);
    s.log("SIM subscription of " + std::to_string(count) + " inputs");
    if (s.opt.answerSubscriptions) out.emplace_back(client, frame(r));
}

void outputSubscription(ServerState& s, ServerState::Client& c, unsigned client, const Bytes& body, Outgoing& out) {
    using L = Sim::OutputSubscription;
    Bytes r = s.simHeader(Sim::CODE_PUBLISH_RESPONSE);
    put32(r, 0);
    std::uint32_t count = 0;
    forEachEntry<L>(body, [&](std::size_t off) {
        const std::string name = getName(body, off + L::ENTRY_NAME);
        const unsigned id = s.idFor(name);
        if (!id) return;
        c.outputs.insert(id);
        s.outputs[kSim].insert(name);
        put32(r, id);
        for (int k = 0; k < 3; ++k) put32(r, 0);
        putName(r, name);
        ++count;
    });
    set32(r, Sim::PublishResponse::COUNT, count);
    if (s.opt.answerSubscriptions) out.emplace_back(client, frame(r));
}

}  // namespace

void handleFrame(ServerState& s, unsigned client, unsigned kind, const Bytes& body, Outgoing& out) {
    auto found = s.clients.find(client);
    if (found == s.clients.end()) return;
    ServerState::Client& c = found->second;
    s.record(c.proto, kind, body);
    const bool flowControl = c.proto == kApp && kind == com_vela::FRAME_KIND_FLOW_CONTROL;
    if (!flowControl && (kind != com_vela::FRAME_KIND_DATA || body.size() < kMessageHeaderSize)) {
        ++s.malformed;
        s.log(std::string(label(c.proto)) + " frame of kind " + std::to_string(kind) + " and " +
              std::to_string(body.size()) + " bytes ignored");
        return;
    }
    if (c.proto == kSim)
        handleSimFrame(s, c, client, body, out);
    else
        handleAppFrame(s, c, client, kind, body, out);
}

void handleStream(ServerState& s, unsigned client, const Bytes& stream, Outgoing& out) {
    FrameReader frames;
    frames.append(stream.data(), stream.size());
    unsigned kind = 0;
    Bytes body;
    std::string why;
    FrameReader::Status status;
    while ((status = frames.next(kind, body, why)) == FrameReader::Status::Frame)
        handleFrame(s, client, kind, body, out);
    if (status == FrameReader::Status::Bad) ++s.malformed;
}

void handleSimFrame(ServerState& s, ServerState::Client& c, unsigned client, const Bytes& body, Outgoing& out) {
    const unsigned code = messageCode(body);
    if (messageProtocol(body) != Sim::PROTOCOL || messageSubprotocol(body) != Sim::SUBPROTOCOL) {
        s.log("SIM message of protocol " + std::to_string(messageProtocol(body)) + "/" +
              std::to_string(messageSubprotocol(body)) + " ignored");
        return;
    }
    switch (code) {
    case Sim::CODE_INPUT_SUBSCRIPTION:
        inputSubscription(s, c, client, body, out);
        break;
    case Sim::CODE_OUTPUT_SUBSCRIPTION:
        outputSubscription(s, c, client, body, out);
        break;
    case Sim::CODE_PUBLISH: {
        using L = Sim::Publish;
        s.recordPublished<L>(kSim, body, [&](std::size_t off) {
            return get32(body, off + L::ENTRY_KIND) ? float(std::int32_t(get32(body, off + L::ENTRY_VALUE)))
                                                    : getFloat(body, off + L::ENTRY_VALUE);
        });
        break;
    }
    case Sim::CODE_INPUT_UNSUBSCRIPTION:
    case Sim::CODE_OUTPUT_UNSUBSCRIPTION:
        s.unsubscribe(c, body, code == Sim::CODE_INPUT_UNSUBSCRIPTION);
        break;
    case Sim::CODE_VERSION_REQUEST: {
        Bytes r = s.simHeader(Sim::CODE_VERSION_RESPONSE);
        putName(r, s.opt.serverVersion, Sim::VersionResponse::TEXT_SIZE);
        put32(r, 2);  // protocol version
        put32(r, Sim::VersionResponse::STATUS_VALID);
        out.emplace_back(client, frame(r));
        break;
    }
    default:
        s.log("SIM message code " + std::to_string(code) + " unknown; ignored");
    }
}

}  // namespace simemu
