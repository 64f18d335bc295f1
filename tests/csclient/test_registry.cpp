#include "Log.h"
#include "CSClient.h"
#include "CSClientProtocol.h"
#include "ScriptedServer.h"
#include "TestProtocol.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using com_vela::CSClient;
using com_vela::CSClientProtocol;
using cstest::RequestCall;
using cstest::TestClient;
using cstest::input;
using cstest::output;

namespace {

size_t count(const std::vector<RequestCall>& calls, unsigned short code)
{
    size_t n = 0;
    for (const RequestCall& c : calls)
        n += c.code == code;
    return n;
}

// Runs `f` with standard error captured and returns what was printed.
template <typename F>
std::string stderrOf(F f)
{
    snlog::Capture capture;
    f();
    return capture.err();
}

} // namespace

TEST(csclient_Registry, RegistersInputsAndRefusesBadCallsWithoutPartialEntries)
{
    TestClient client(0);
    EXPECT_EQ(client.registerInputParameters(nullptr, 0), CSClient::RESULT_OK);
    EXPECT_EQ(client.registerInputParameters(std::vector<CSClient::InputDef>()), CSClient::RESULT_OK);
    EXPECT_TRUE(client.engine().calls().empty());

    const std::string id31(31, 'x'), id32(32, 'y');
    EXPECT_EQ(client.registerInputParameter(input(id31)), CSClient::RESULT_OK);

    std::string err = stderrOf([&] { EXPECT_EQ(client.registerInputParameter(input(id32)), CSClient::RESULT_INVALID); });
    EXPECT_EQ(err, "Length of parameter id string '" + id32 + "' exceeds maximum 32\n");

    err = stderrOf([&] {
        EXPECT_EQ(client.registerInputParameter(input("BAD", CSClient::PARAMETER_TYPE_INVALID)),
                  CSClient::RESULT_INVALID);
    });
    EXPECT_EQ(err, "Subscription type of parameter id string 'BAD' is invalid!\n");

    std::vector<CSClient::InputDef> aba = {input("A"), input("B"), input("A")};
    err = stderrOf([&] { EXPECT_EQ(client.registerInputParameters(aba), CSClient::RESULT_INVALID); });
    EXPECT_EQ(err, "Parameter 'A' is requested more than once in the same subscription call.\n");
    // A refused call adds nothing: B can still be registered.
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 1u);
    EXPECT_EQ(client.registerInputParameter(input("B")), CSClient::RESULT_OK);

    err = stderrOf([&] { EXPECT_EQ(client.registerInputParameter(input("B")), CSClient::RESULT_INVALID); });
    EXPECT_EQ(err, "Parameter 'B' already registered.\n");

    // C, then B already registered: C is not left behind either.
    std::vector<CSClient::InputDef> cb = {input("C"), input("B")};
    EXPECT_EQ(client.registerInputParameters(cb.data(), 2), CSClient::RESULT_INVALID);
    EXPECT_EQ(client.registerInputParameter(input("C")), CSClient::RESULT_OK);

    // One request per accepted call, carrying that call's definitions.
    std::vector<RequestCall> calls = client.engine().calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].ids, std::vector<std::string>{id31});
    EXPECT_EQ(calls[1].ids, std::vector<std::string>{"B"});
    EXPECT_EQ(calls[2].ids, std::vector<std::string>{"C"});
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 3u);
    EXPECT_EQ(client.getNumberOfRegisteredInputParameters(), 0u);
}

TEST(csclient_Registry, ValidationLinesIgnoreTheQuietOptionExceptOutputLength)
{
    TestClient client(CSClientProtocol::OPTION_QUIET);
    const std::string id32(32, 'q');
    std::string err = stderrOf([&] { client.registerInputParameter(input(id32)); });
    EXPECT_EQ(err, "Length of parameter id string '" + id32 + "' exceeds maximum 32\n");
    err = stderrOf([&] { EXPECT_EQ(client.registerOutputParameter(output(id32)), CSClient::RESULT_INVALID); });
    EXPECT_EQ(err, "");
    err = stderrOf([&] {
        EXPECT_EQ(client.registerOutputParameter(output("O", CSClient::PARAMETER_TYPE_INVALID)),
                  CSClient::RESULT_INVALID);
    });
    EXPECT_EQ(err, "Invalid parameter type for output id string 'O'!\n");
    ASSERT_EQ(client.registerOutputParameter(output("O")), CSClient::RESULT_OK);
    err = stderrOf([&] { client.registerOutputParameter(output("O")); });
    EXPECT_EQ(err, "Parameter 'O' already registered.\n");
    std::vector<CSClient::OutputDef> twice = {output("P"), output("P")};
    err = stderrOf([&] { client.registerOutputParameters(twice); });
    EXPECT_EQ(err, "Parameter 'P' is requested more than once in the same subscription call.\n");
    EXPECT_FALSE(client.engine().hasOutputParameter("P", false));
}

TEST(csclient_Registry, UnregisteringSendsOnlyConfirmedEntries)
{
    TestClient client(0);
    ASSERT_EQ(client.registerInputParameters(std::vector<CSClient::InputDef>{input("A"), input("B"), input("C")}),
              CSClient::RESULT_OK);
    client.engine().confirmInput("A", 7);
    client.engine().confirmInput("B", 8);
    EXPECT_TRUE(client.isInputParameterRegistered("A"));
    EXPECT_FALSE(client.isInputParameterRegistered("C"));
    EXPECT_TRUE(client.engine().hasInputParameter("C", false));
    EXPECT_EQ(client.getNumberOfRegisteredInputParameters(), 2u);
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 1u);

    // Never registered: nothing sent.
    EXPECT_EQ(client.unregisterInputParameter("NOPE"), CSClient::RESULT_OK);
    EXPECT_EQ(count(client.engine().calls(), cstest::CODE_UNSUBSCRIBE_INPUTS), 0u);

    // Still waiting: the request goes out with an empty list, the entry goes.
    EXPECT_EQ(client.unregisterInputParameter("C"), CSClient::RESULT_OK);
    std::vector<RequestCall> calls = client.engine().calls();
    ASSERT_EQ(count(calls, cstest::CODE_UNSUBSCRIBE_INPUTS), 1u);
    EXPECT_TRUE(calls.back().ids.empty());
    EXPECT_FALSE(client.engine().hasInputParameter("C", false));

    // Confirmed, given twice and mixed with unknown ids.
    EXPECT_EQ(client.unregisterInputParameters(std::vector<std::string>{"B", "X", "B"}), CSClient::RESULT_OK);
    EXPECT_EQ(client.engine().calls().back().ids, std::vector<std::string>{"B"});
    EXPECT_EQ(client.getNumberOfRegisteredInputParameters(), 1u);

    CSClient::InputDef a = input("A");
    EXPECT_EQ(client.unregisterInputParameters(&a, 1), CSClient::RESULT_OK);
    EXPECT_EQ(client.engine().getNumberOfInputParameters(false), 0u);
    EXPECT_EQ(client.getNumberOfRegisteredInputParameters(), 0u);

    // All outputs at once.
    ASSERT_EQ(client.registerOutputParameters(std::vector<CSClient::OutputDef>{output("O1"), output("O2")}),
              CSClient::RESULT_OK);
    client.engine().confirmOutput("O2", 40);
    EXPECT_EQ(client.unregisterAllOutputParameters(), CSClient::RESULT_OK);
    EXPECT_EQ(client.engine().calls().back().code, cstest::CODE_UNSUBSCRIBE_OUTPUTS);
    EXPECT_EQ(client.engine().calls().back().ids, std::vector<std::string>{"O2"});
    EXPECT_EQ(client.engine().getNumberOfOutputParameters(false), 0u);
    EXPECT_EQ(client.unregisterAllInputParameters(), CSClient::RESULT_OK);
}

TEST(csclient_Registry, OutputConfirmedUnderSeveralIdsLeavesNoStaleId)
{
    TestClient client(0);
    ASSERT_EQ(client.registerOutputParameter(output("O")), CSClient::RESULT_OK);
    client.engine().confirmOutput("O", 5);
    client.engine().confirmOutput("O", 9);   // a later connection's id replaces the old one
    EXPECT_EQ(client.getNumberOfRegisteredOutputParameters(), 1u);
    EXPECT_EQ(client.getNumberOfUnregisteredOutputParameters(), 0u);   // never below zero
    EXPECT_EQ(client.unregisterOutputParameter("O"), CSClient::RESULT_OK);
    EXPECT_EQ(client.getNumberOfRegisteredOutputParameters(), 0u);
}

TEST(csclient_Registry, PublishingChecksTheWholeCallFirst)
{
    TestClient client(0);
    ASSERT_EQ(client.registerOutputParameters(
                  std::vector<CSClient::OutputDef>{output("F"), output("I", CSClient::PARAMETER_TYPE_INT)}),
              CSClient::RESULT_OK);
    EXPECT_EQ(client.publishParameters(std::vector<CSClient::Parameter>()), CSClient::RESULT_OK);
    EXPECT_EQ(client.publishParameters(nullptr, 0), CSClient::RESULT_OK);

    std::vector<CSClient::Parameter> bad = {CSClient::Parameter::makeFloat("F", 2.5f),
                                            CSClient::Parameter::makeFloat("NOPE", 1.0f)};
    std::string err = stderrOf([&] { EXPECT_EQ(client.publishParameters(bad), CSClient::RESULT_INVALID); });
    EXPECT_EQ(err, "Unknown parameter ID: NOPE\n");
    CSClient::Parameter p;
    ASSERT_TRUE(client.findPublishedParameter("F", p));   // reported though never published
    EXPECT_EQ(p.value.floatValue, 0.0f);
    EXPECT_EQ(count(client.engine().calls(), cstest::CODE_PUBLISH), 0u);

    CSClient::Parameter invalid;
    invalid.id = "F";
    err = stderrOf([&] { EXPECT_EQ(client.publishParameter(invalid), CSClient::RESULT_INVALID); });
    EXPECT_EQ(err, "Subscription type of parameter id string 'F' is invalid!\n");
    err = stderrOf([&] {
        EXPECT_EQ(client.publishParameter(CSClient::Parameter::makeInt(std::string(40, 'z'), 1)),
                  CSClient::RESULT_INVALID);
    });
    EXPECT_EQ(err, "Length of parameter id string '" + std::string(40, 'z') + "' exceeds maximum 32\n");

    // The same id twice: two list items, the later value kept.
    std::vector<CSClient::Parameter> twice = {CSClient::Parameter::makeFloat("F", 1.5f),
                                              CSClient::Parameter::makeInt("I", -5, true),
                                              CSClient::Parameter::makeFloat("F", 3.25f)};
    EXPECT_EQ(client.publishParameters(twice), CSClient::RESULT_OK);
    EXPECT_EQ(client.engine().calls().back().ids, (std::vector<std::string>{"F", "I", "F"}));
    ASSERT_TRUE(client.findPublishedParameter("F", p));
    EXPECT_EQ(p.value.floatValue, 3.25f);
    EXPECT_EQ(p.type, CSClient::PARAMETER_TYPE_FLOAT);
    ASSERT_TRUE(client.findPublishedParameter("I", p));
    EXPECT_EQ(p.value.intValue, -5);
    EXPECT_EQ(p.type, CSClient::PARAMETER_TYPE_INT);
    EXPECT_TRUE(p.override);
    EXPECT_FALSE(client.findPublishedParameter("NOPE", p));

    std::vector<CSClient::Parameter> all = {CSClient::Parameter::makeInt("keep", 1)};
    client.getAllPublishedParameters(all);
    ASSERT_EQ(all.size(), 3u);   // appended, in id order
    EXPECT_EQ(all[0].id, "keep");
    EXPECT_EQ(all[1].id, "F");
    EXPECT_EQ(all[2].id, "I");
}

TEST(csclient_Registry, ReregistrationResetsInputsAndKeepsOutputs)
{
    TestClient client(0);
    ASSERT_EQ(client.registerInputParameters(std::vector<CSClient::InputDef>{input("Z"), input("M")}),
              CSClient::RESULT_OK);
    ASSERT_EQ(client.registerOutputParameter(output("OUT", CSClient::PARAMETER_TYPE_INT)), CSClient::RESULT_OK);
    client.engine().confirmInput("Z", 1);
    client.engine().confirmInput("M", 2);
    client.engine().confirmOutput("OUT", 3);
    ASSERT_EQ(client.publishParameter(CSClient::Parameter::makeInt("OUT", 42)), CSClient::RESULT_OK);

    snlog::Capture capture;
    client.engine().reregisterAllInputParameters();
    client.engine().reregisterAllOutputParameters();
    const std::string out = capture.out();
    EXPECT_EQ(out, "Registering 2 input parameters with server...\nRegistering 1 output parameters with server...\n");

    std::vector<RequestCall> calls = client.engine().calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].ids, (std::vector<std::string>{"M", "Z"}));   // one request, id order
    EXPECT_EQ(calls.back().ids, std::vector<std::string>{"OUT"});
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 2u);
    EXPECT_EQ(client.getNumberOfRegisteredInputParameters(), 0u);
    EXPECT_TRUE(client.isOutputParameterRegistered("OUT"));
    CSClient::Parameter p;
    ASSERT_TRUE(client.findPublishedParameter("OUT", p));
    EXPECT_EQ(p.value.intValue, 42);

    // Empty registry: nothing printed, nothing sent.
    TestClient empty(0);
    capture.clear();
    empty.engine().reregisterAllInputParameters();
    empty.engine().reregisterAllOutputParameters();
    EXPECT_EQ(capture.out(), "");
    EXPECT_TRUE(empty.engine().calls().empty());
}

TEST(csclient_Registry, WaitsAndFacadeDefaults)
{
    TestClient client(CSClientProtocol::OPTION_AUTO_RECONNECT | 4);
    EXPECT_EQ(CSClient::getClientVersion(), "2-1-50-0");
    EXPECT_EQ(client.getOptions(), 5u);
    EXPECT_TRUE(client.hasOptions(1));
    EXPECT_TRUE(client.hasOptions(5));
    EXPECT_FALSE(client.hasOptions(3));
    EXPECT_EQ(client.getServerVersion(), "UNKNOWN");
    EXPECT_EQ(client.getProtocolVersion(), 0u);
    EXPECT_EQ(client.getServerIPAddress(), "0.0.0.0");

    // Nothing waits, but 0 seconds gives false at once.
    EXPECT_FALSE(client.waitForInputsToBeRegistered(0));
    EXPECT_FALSE(client.waitForOutputsToBeRegistered(0));
    EXPECT_TRUE(client.waitForInputsToBeRegistered(1));
    EXPECT_TRUE(client.waitForOutputsToBeRegistered(1));
    EXPECT_TRUE(client.waitForConnectionState(CSClient::STATE_CLOSED, 0));
    EXPECT_FALSE(client.waitForConnectionState(CSClient::STATE_CONNECTED, 0));

    ASSERT_EQ(client.registerInputParameter(input("W")), CSClient::RESULT_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.waitForInputsToBeRegistered(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    client.engine().confirmInput("W", 3);
    EXPECT_TRUE(client.waitForInputsToBeRegistered(1));
}

TEST(csclient_Registry, CloseAndNewOpenLeaveAnEmptyRegistry)
{
    cstest::ScriptedServer server;
    TestClient client(CSClientProtocol::OPTION_QUIET);
    ASSERT_EQ(client.registerInputParameter(input("HRPM")), CSClient::RESULT_OK);
    ASSERT_EQ(client.registerOutputParameter(output("OUT")), CSClient::RESULT_OK);
    ASSERT_EQ(client.open("127.0.0.1", server.port()), CSClient::RESULT_OK);
    auto conn = server.accept(3000);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(client.waitForConnectionState(CSClient::STATE_CONNECTED, 3));
    client.engine().confirmInput("HRPM", 1);

    client.close();
    ASSERT_TRUE(testsupport::eventually([&] { return client.getConnectionState() == CSClient::STATE_CLOSED; },
                                        std::chrono::milliseconds(5000)));
    EXPECT_EQ(client.engine().getNumberOfInputParameters(false), 0u);
    EXPECT_EQ(client.engine().getNumberOfOutputParameters(false), 0u);

    ASSERT_EQ(client.open("127.0.0.1", server.port()), CSClient::RESULT_OK);
    auto again = server.accept(3000);
    ASSERT_TRUE(again);
    ASSERT_TRUE(client.waitForConnectionState(CSClient::STATE_CONNECTED, 3));
    EXPECT_FALSE(client.engine().hasInputParameter("HRPM", false));
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 0u);
    EXPECT_EQ(client.registerInputParameter(input("HRPM")), CSClient::RESULT_OK);   // must register again
}
