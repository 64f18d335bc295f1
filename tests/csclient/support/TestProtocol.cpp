#include "TestProtocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

using namespace com_vela;

namespace cstest {

TestProtocol::TestProtocol(unsigned options, const Timing& timing) : CSClientProtocol(options, timing) {}

TestProtocol::~TestProtocol()
{
    releaseReceiveThread();
}

void TestProtocol::handleReceivedMessage(const RawMessage& message)
{
    {
        std::lock_guard<std::mutex> g(mutex);
        messages.push_back(message);
    }
    changed.notify_all();
    if (onReceive)
        onReceive(message);
}

CSClient::Result TestProtocol::sendRequest(unsigned short code, const std::vector<std::string>& ids)
{
    static const char sHeader[12] = {9, 9, 0x7F, static_cast<char>(0xFF), 0, 0, 0, 0, 0x00, 0x7F, 0, 0};
    RawMessage m(RawMessage::TYPE_DATA);
    m.write(sHeader, sizeof sHeader);
    m.writeAt(10u, static_cast<unsigned char>(code >> 8));
    m.writeAt(11u, static_cast<unsigned char>(code));
    m.write(static_cast<unsigned>(ids.size()));
    for (const std::string& id : ids) {
        char field[32] = {0};
        std::memcpy(field, id.data(), std::min<size_t>(id.size(), 31));
        m.write(field, sizeof field);
    }
    CSClient::Result r = sendMessage(m);
    {
        std::lock_guard<std::mutex> g(mutex);
        requestCalls.push_back(RequestCall{code, ids, r});
    }
    // As the real protocols do: the registry keeps what could not be sent.
    return r == CSClient::RESULT_NOT_CONNECTED ? CSClient::RESULT_OK : r;
}

CSClient::Result TestProtocol::requestSimulatorVersion()
{
    return sendRequest(CODE_VERSION, {});
}

template <typename Entry>
static std::vector<std::string> idsOf(const std::vector<Entry*>& entries)
{
    std::vector<std::string> ids;
    for (const Entry* e : entries)
        ids.push_back(e->id);
    return ids;
}

CSClient::Result TestProtocol::sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& e)
{
    return sendRequest(CODE_SUBSCRIBE_INPUTS, idsOf(e));
}

CSClient::Result TestProtocol::sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& e)
{
    return sendRequest(CODE_UNSUBSCRIBE_INPUTS, idsOf(e));
}

CSClient::Result TestProtocol::sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& e)
{
    return sendRequest(CODE_SUBSCRIBE_OUTPUTS, idsOf(e));
}

CSClient::Result TestProtocol::sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& e)
{
    return sendRequest(CODE_UNSUBSCRIBE_OUTPUTS, idsOf(e));
}

CSClient::Result TestProtocol::sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& e, PublishMode)
{
    return sendRequest(CODE_PUBLISH, idsOf(e));
}

namespace {
// A response of the test protocol naming one id: count 1 at 12, then the
// server id and the name.
const CSClientProtocol::ResponseLayout kConfirmation = {12, 16, 36, 0, 4};

RawMessage confirmation(const std::string& id, unsigned serverId)
{
    RawMessage m(RawMessage::TYPE_DATA);
    m.write(std::string(12, '\0').data(), 12);
    m.write(1u);
    m.write(serverId);
    char field[32] = {0};
    std::memcpy(field, id.data(), std::min<size_t>(id.size(), 31));
    m.write(field, sizeof field);
    return m;
}
} // namespace

void TestProtocol::confirmInput(const std::string& id, unsigned serverId)
{
    confirmInputs(confirmation(id, serverId), kConfirmation, "TEST",
                  [](const RawMessage&, unsigned, const InputParameterEntry&, CSClient::Parameter&) { return false; });
}

void TestProtocol::confirmOutput(const std::string& id, unsigned serverId)
{
    confirmOutputs(confirmation(id, serverId), kConfirmation, "TEST", false);
}

void* TestProtocol::occupy(void* self)
{
    TestProtocol* p = static_cast<TestProtocol*>(self);
    while (!p->releaseOccupant.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return nullptr;
}

void TestProtocol::occupyReceiveThread()
{
    releaseOccupant.store(false);
    TestAccess::receiveThread(*this).create(&TestProtocol::occupy, this);
}

void TestProtocol::releaseReceiveThread()
{
    releaseOccupant.store(true);
}

std::vector<RequestCall> TestProtocol::calls()
{
    std::lock_guard<std::mutex> g(mutex);
    return requestCalls;
}

std::vector<RawMessage> TestProtocol::received()
{
    std::lock_guard<std::mutex> g(mutex);
    return messages;
}

bool TestProtocol::waitForReceived(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> g(mutex);
    return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return messages.size() >= count; });
}

TestClient::TestClient(unsigned options, const Timing& timing) : CSClient(options, timing)
{
    protocol = new TestProtocol(options, timing);
}

int FailingBuffer::writeMessage(const RawMessage& message)
{
    if (failFrom >= 0 && writes >= failFrom) {
        errno = EPIPE;
        return -1;
    }
    ++writes;
    return CSCommsInterfaceBuffer::writeMessage(message);
}

int SwitchableComms::writeMessage(const RawMessage& message)
{
    const int number = writes.fetch_add(1) + 1;
    if (failWrites.load() || number == failWrite.load()) {
        failedWrites.fetch_add(1);
        errno = EPIPE;
        return -1;
    }
    return CSCommsInterfaceTCP::writeMessage(message);
}

bool SwitchableComms::openConnection(unsigned ipAddress, unsigned port)
{
    connects.fetch_add(1);
    return CSCommsInterfaceTCP::openConnection(ipAddress, port);
}

void RecordingCallback::connectionStateChanged(CSClient::State oldState, CSClient::State newState)
{
    {
        std::lock_guard<std::mutex> g(mutex);
        seen.emplace_back(oldState, newState);
        if (stateOf)
            states.push_back(stateOf());
    }
    changed.notify_all();
    if (onChange)
        onChange(oldState, newState);
}

void RecordingCallback::parametersUpdated(const std::vector<CSClient::Parameter>&) {}

std::vector<RecordingCallback::Change> RecordingCallback::changes()
{
    std::lock_guard<std::mutex> g(mutex);
    return seen;
}

std::vector<CSClient::State> RecordingCallback::statesSeen()
{
    std::lock_guard<std::mutex> g(mutex);
    return states;
}

bool RecordingCallback::waitForChange(CSClient::State from, CSClient::State to, int timeoutMs, int times)
{
    std::unique_lock<std::mutex> g(mutex);
    return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count(seen.begin(), seen.end(), Change(from, to)) >= times;
    });
}

std::vector<std::string> requestIds(const std::vector<uint8_t>& body)
{
    std::vector<std::string> ids;
    uint32_t n = readU32(body, 12);
    for (size_t off = 16; ids.size() < n && off + 32 <= body.size(); off += 32) {
        const char* p = reinterpret_cast<const char*>(body.data() + off);
        ids.emplace_back(p, strnlen(p, 32));
    }
    return ids;
}

} // namespace cstest
