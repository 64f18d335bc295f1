// The emulated unit's live views: what it keeps for them (MonitorState), its
// control words, the monitor page's HTTP side over raw sockets, and the page
// itself in headless Chromium. Loopback addresses 127.0.15.x, one per test.
#include "ControlWords.h"
#include "HeadlessBrowser.h"
#include "Log.h"
#include "MonitorState.h"
#include "MonitorTestSupport.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>

#include <filesystem>

using namespace std::chrono_literals;
using namespace montest;
namespace pt = boost::property_tree;
using Clock = MonitorState::Clock;

namespace {

pt::ptree messageOf(const std::string& json)
{
    return parseJson(json).get_child("Message");
}

void accept(MonitorState& state, const std::string& json, Clock::time_point at)
{
    state.accept(parseJson(json).get<std::string>("MessageType"), messageOf(json), at);
}

std::vector<int> samplesOf(const pt::ptree& event, const std::string& slot)
{
    std::vector<int> out;
    for (const auto& item : event.get_child("waves." + slot + ".samples"))
        out.push_back(std::stoi(item.second.data()));
    return out;
}

} // namespace

// --- What the views are fed ---

TEST(MonitorState, EventCarriesTheSetVitalsTheLinkAndEachNewSampleOnce)
{
    MonitorState state;
    const auto t0 = Clock::now();
    state.linkChanged(true);
    accept(state, knownVitals(), t0);
    accept(state,
           "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":[50,61],\"ecg\":[],\"abp\":[95,101,99],"
           "\"pap\":[],\"cvp\":[7],\"aux\":[],\"co2\":[]}}",
           t0 + 10ms);

    pt::ptree first = parseJson(state.takeEvent(t0 + 250ms));
    EXPECT_EQ(first.get<std::string>("vitals.hr"), "72");
    EXPECT_EQ(first.get<std::string>("vitals.t1"), "36.5");
    EXPECT_EQ(first.get<std::string>("vitals.spo2Override"), "On");
    EXPECT_EQ(first.get<std::string>("vitals.abpZeroState"), "NotZeroing");
    // Values the bridge sends as "not set" are not shown as values.
    EXPECT_FALSE(first.get_child_optional("vitals.CVP"));
    EXPECT_FALSE(first.get_child_optional("vitals.co2FlowFactor"));
    EXPECT_FALSE(first.get_child_optional("vitals.cvpZeroState"));
    EXPECT_EQ(samplesOf(first, "abp"), (std::vector<int>{95, 101, 99}));
    EXPECT_EQ(samplesOf(first, "pleth"), (std::vector<int>{50, 61}));
    EXPECT_EQ(samplesOf(first, "cvp"), std::vector<int>{7});
    EXPECT_TRUE(samplesOf(first, "pap").empty());
    EXPECT_EQ(first.get<int>("waves.abp.perSecond"), 3);
    EXPECT_TRUE(first.get<bool>("link.connected"));
    EXPECT_EQ(first.get<int>("link.connections"), 1);
    EXPECT_EQ(first.get<int>("link.messages"), 2);
    EXPECT_EQ(first.get<int>("link.messagesPerSecond"), 2);
    EXPECT_EQ(first.get<int>("link.lastMessageMs"), 240);

    // The next event hands out only what came since; the vitals stay.
    state.linkChanged(false);
    accept(state, "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":\"-1\",\"rr\":\"12\"}}", t0 + 1500ms);
    pt::ptree second = parseJson(state.takeEvent(t0 + 1600ms));
    EXPECT_GT(second.get<int>("seq"), first.get<int>("seq"));
    EXPECT_TRUE(samplesOf(second, "abp").empty());
    EXPECT_EQ(second.get<int>("waves.abp.perSecond"), 0);
    EXPECT_EQ(second.get<std::string>("vitals.hr"), "72");
    EXPECT_EQ(second.get<std::string>("vitals.rr"), "12");
    EXPECT_FALSE(second.get<bool>("link.connected"));
    EXPECT_EQ(second.get<int>("link.messagesPerSecond"), 1);
    EXPECT_EQ(second.get<int>("link.lastMessageMs"), 100);
}

TEST(MonitorState, NothingReceivedYet)
{
    MonitorState state;
    pt::ptree event = parseJson(state.takeEvent(Clock::now()));
    EXPECT_EQ(event.get<int>("link.lastMessageMs"), -1);
    EXPECT_FALSE(event.get<bool>("link.connected"));
    EXPECT_TRUE(event.get_child("vitals").empty());
    EXPECT_EQ(state.consoleLine(Clock::now()),
              "hr - spO2 - nibp -/-/- pa -/-/- rr - t1 - t2 - etCO2 - | abp - pap - cvp - pleth - co2 -");
}

TEST(MonitorState, KeepsOnlyWhatItShowsAndBoundsIt)
{
    MonitorState state;
    const auto t0 = Clock::now();
    const std::string longText(500, '7');
    accept(state,
           "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":\"" + longText +
               "\",\"nosuch\":\"1\",\"t1\":{\"a\":1},\"rr\":\"a\\\"b\\\\c\"}}",
           t0);
    // Many samples, some not integers, and slots the views do not draw.
    std::string many = "[";
    for (int i = 0; i < 5000; ++i)
        many += std::to_string(i) + ",";
    many += "\"x\",1.5,{\"a\":1}]";
    accept(state, "{\"MessageType\":\"WaveformData\",\"Message\":{\"abp\":" + many +
                      ",\"weird\":[1,2,3],\"ecg\":[1,2]}}",
           t0);

    const std::string text = state.takeEvent(t0);
    pt::ptree event = parseJson(text);  // still valid JSON, quotes and backslashes escaped
    EXPECT_EQ(event.get<std::string>("vitals.hr"), std::string(MonitorState::kMaxValueBytes, '7'));
    EXPECT_EQ(event.get<std::string>("vitals.rr"), "a\"b\\c");
    EXPECT_FALSE(event.get_child_optional("vitals.nosuch"));
    EXPECT_FALSE(event.get_child_optional("vitals.t1"));
    EXPECT_FALSE(event.get_child_optional("waves.weird"));
    EXPECT_FALSE(event.get_child_optional("waves.ecg"));
    const std::vector<int> abp = samplesOf(event, "abp");
    ASSERT_EQ(abp.size(), MonitorState::kMaxPendingSamples);
    EXPECT_EQ(abp.front(), 5000 - static_cast<int>(MonitorState::kMaxPendingSamples));  // the oldest went
    EXPECT_EQ(abp.back(), 4999);
}

TEST(MonitorState, ConsoleLineShowsValuesAndTheLastSecondOfEachTrace)
{
    MonitorState state;
    const auto t0 = Clock::now();
    accept(state, knownVitals(), t0);
    accept(state, "{\"MessageType\":\"WaveformData\",\"Message\":{\"abp\":[100,117,133],\"co2\":[1]}}", t0);
    accept(state, "{\"MessageType\":\"WaveformData\",\"Message\":{\"abp\":[90,121,110],\"co2\":[38]}}",
           t0 + 600ms);
    EXPECT_EQ(state.consoleLine(t0 + 700ms),
              "hr 72 spO2 97 nibp 120/80/93 pa 25/10/15 rr 14 t1 36.5 t2 37.0 etCO2 38 | "
              "abp 110 (90..133) pap - cvp - pleth - co2 38 (1..38)");
    // A second later only the later samples count; two seconds on, none.
    EXPECT_NE(state.consoleLine(t0 + 1300ms).find("abp 110 (90..121)"), std::string::npos);
    EXPECT_NE(state.consoleLine(t0 + 2000ms).find("abp - pap"), std::string::npos);
}

// --- Command-line and standard-input words ---

TEST(MonitorControl, ControlWords)
{
    EXPECT_EQ(parseControlWord("reset"), ControlWord::Reset);
    EXPECT_EQ(parseControlWord("  reset \r"), ControlWord::Reset);
    EXPECT_EQ(parseControlWord("refuse on"), ControlWord::RefuseOn);
    EXPECT_EQ(parseControlWord("refuse  off"), ControlWord::RefuseOff);
    EXPECT_EQ(parseControlWord("quit"), ControlWord::Quit);
    EXPECT_EQ(parseControlWord(""), ControlWord::Blank);
    EXPECT_EQ(parseControlWord(" \t"), ControlWord::Blank);
    for (const char* bad : {"refuse", "refuseon", "refuse maybe", "Reset", "quit now", "resets"})
        EXPECT_EQ(parseControlWord(bad), ControlWord::Unknown) << bad;
}

TEST(MonitorControl, ListenAddress)
{
    std::string address, why;
    unsigned short port = 0;
    ASSERT_TRUE(parseListenAddress("127.0.0.1:8080", address, port, why)) << why;
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    ASSERT_TRUE(parseListenAddress("[::1]:0", address, port, why)) << why;
    EXPECT_EQ(address, "::1");
    EXPECT_EQ(port, 0);
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", ":80", "localhost:80", "127.0.0.1:65536",
                            "127.0.0.1:8o", "127.0.0.1:-1", "127.0.0.1:99999999999999999999"}) {
        why.clear();
        EXPECT_FALSE(parseListenAddress(bad, address, port, why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

// --- The HTTP side, over raw sockets ---

TEST(MonitorHttp, ServesOnlyGetOfThePageAndTheStream)
{
    Unit unit("127.0.15.1");
    auto ask = [&](const std::string& request) {
        return RawHttpClient(unit.address, kMonitorPort).exchange(request);
    };
    const std::string page = ask("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(page.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
    EXPECT_NE(page.find("<canvas id=\"w-abp\""), std::string::npos);
    EXPECT_NE(page.find("new EventSource(\"events\")"), std::string::npos);
    // The page loads nothing from elsewhere.
    EXPECT_EQ(page.find("http://"), std::string::npos);
    EXPECT_EQ(page.find("https://"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos);

    EXPECT_EQ(ask("GET /index.html?x=1 HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_EQ(ask("GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_EQ(ask("GET /events/../etc HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
    for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS"}) {
        const std::string answer = ask(std::string(method) + " / HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 405 ", 0), 0u) << method << ": " << answer;
        EXPECT_NE(answer.find("Allow: GET\r\n"), std::string::npos) << method;
    }
    EXPECT_EQ(ask("POST /events HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello").rfind("HTTP/1.1 405 ", 0), 0u);
    EXPECT_EQ(ask("\x01\x02 garbage\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);

    // The stream: its header, then events, each a JSON object.
    RawHttpClient viewer(unit.address, kMonitorPort);
    viewer.send(streamRequest(unit.address));
    const std::string first = viewer.nextEvent();
    ASSERT_FALSE(first.empty());
    const std::string second = viewer.nextEvent();
    ASSERT_FALSE(second.empty());
    EXPECT_GT(parseJson(second).get<int>("seq"), parseJson(first).get<int>("seq"));
    EXPECT_TRUE(testsupport::eventually([&] { return unit.monitor.stats().viewers == 1; }, 2000ms));
}

TEST(MonitorHttp, OversizedRequestsAreRefusedAndTheNextClientIsServed)
{
    Unit unit("127.0.15.2");
    const std::string huge(1 << 20, 'a');
    {
        RawHttpClient client(unit.address, kMonitorPort);
        const std::string answer = client.exchange("GET /" + huge + " HTTP/1.1\r\n\r\n", 10000ms);
        EXPECT_EQ(answer.rfind("HTTP/1.1 431 ", 0), 0u) << answer.substr(0, 100);
    }
    {
        RawHttpClient client(unit.address, kMonitorPort);
        const std::string answer =
            client.exchange("GET / HTTP/1.1\r\nHost: x\r\nX-Filler: " + huge + "\r\n\r\n", 10000ms);
        EXPECT_EQ(answer.rfind("HTTP/1.1 431 ", 0), 0u) << answer.substr(0, 100);
    }
    // A client that stops sending mid-request is closed after the request bound.
    RawHttpClient silent(unit.address, kMonitorPort);
    silent.send("GET / HTTP/1.1\r\nHo");
    bool closed = false;
    silent.receive(6000ms, &closed);
    EXPECT_TRUE(closed);

    const std::string page = RawHttpClient(unit.address, kMonitorPort).exchange("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK", 0), 0u);
}

TEST(MonitorHttp, ViewerLimitAnswers503)
{
    auto options = Unit::monitorAt("127.0.15.3");
    options.maxViewers = 1;
    Unit unit("127.0.15.3", options);
    RawHttpClient first(unit.address, kMonitorPort);
    first.send(streamRequest(unit.address));
    ASSERT_FALSE(first.nextEvent().empty());
    const std::string refused = RawHttpClient(unit.address, kMonitorPort).exchange(streamRequest(unit.address));
    EXPECT_EQ(refused.rfind("HTTP/1.1 503 ", 0), 0u) << refused;
    EXPECT_FALSE(first.nextEvent().empty());  // the first viewer goes on
}

// A viewer that never reads: its queue drops the oldest events while the unit
// keeps receiving and another viewer keeps getting every event in order.
TEST(MonitorHttp, StalledViewerLosesOldEventsAndSlowsNobody)
{
    auto options = Unit::monitorAt("127.0.15.4");
    options.viewerSendBuffer = 4096;
    options.viewerQueueEvents = 8;
    options.writeStallLimit = 60000ms;  // kept, so its queue has to do the bounding
    Unit unit("127.0.15.4", options);
    BridgeStandIn bridge(unit.address, 40);

    RawHttpClient stalled(unit.address, kMonitorPort, 4096);
    ASSERT_TRUE(stalled.send(streamRequest(unit.address)));
    RawHttpClient reader(unit.address, kMonitorPort);
    ASSERT_TRUE(reader.send(streamRequest(unit.address)));

    ASSERT_TRUE(testsupport::eventually([&] {
        reader.nextEvent(100ms);  // keep this viewer drained while waiting
        return unit.monitor.stats().droppedEvents > 0;
    }, 20000ms)) << "the stalled viewer's queue never overflowed";

    const auto messagesBefore = unit.emulator.messageCount("WaveformData");
    int lastSeq = 0;
    for (int i = 0; i < 20; ++i) {
        const std::string event = reader.nextEvent();
        ASSERT_FALSE(event.empty()) << "event " << i;
        const int seq = parseJson(event).get<int>("seq");
        if (lastSeq) {
            EXPECT_EQ(seq, lastSeq + 1);  // this viewer loses none
        }
        lastSeq = seq;
    }
    EXPECT_GT(unit.emulator.messageCount("WaveformData"), messagesBefore);
    EXPECT_EQ(unit.monitor.stats().viewers, 2u);
}

TEST(MonitorHttp, ViewerTakingNothingIsDroppedAfterTheStallLimit)
{
    auto options = Unit::monitorAt("127.0.15.5");
    options.viewerSendBuffer = 4096;
    options.writeStallLimit = 300ms;
    Unit unit("127.0.15.5", options);
    BridgeStandIn bridge(unit.address, 40);
    RawHttpClient stalled(unit.address, kMonitorPort, 4096);
    ASSERT_TRUE(stalled.send(streamRequest(unit.address)));
    ASSERT_TRUE(testsupport::eventually([&] { return unit.monitor.stats().viewers == 1; }, 3000ms));
    EXPECT_TRUE(testsupport::eventually([&] { return unit.monitor.stats().viewers == 0; }, 20000ms));
    const std::string page = RawHttpClient(unit.address, kMonitorPort).exchange("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK", 0), 0u);
}

// --- The page in a real browser ---

namespace {

std::string artifactPath(const std::string& name)
{
    std::filesystem::create_directories(SN_TEST_ARTIFACT_DIR);
    return std::string(SN_TEST_ARTIFACT_DIR) + "/" + name;
}

std::string memberShown(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& member)
{
    return browser.evaluate(tab, "document.querySelector('[data-member=\"" + member + "\"]').textContent");
}

bool optionalShown(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& member)
{
    return browser.evaluate(tab, "document.querySelector('[data-member=\"" + member + "\"]').closest('.opt').hidden") ==
           "false";
}

// Pixels the script has painted on a trace's canvas (its grid is a CSS background).
int paintedPixels(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& slot)
{
    return std::stoi(browser.evaluate(
        tab, "(function(){var c=document.getElementById('w-" + slot +
                 "');var d=c.getContext('2d').getImageData(0,0,c.width,c.height).data;var n=0;"
                 "for(var i=3;i<d.length;i+=4)if(d[i])n++;return n;})()"));
}

std::string allTracesDrawn()
{
    std::string e = "true";
    for (const char* slot : MonitorState::shownSlots())
        e += std::string(" && Number(document.getElementById('w-") + slot + "').dataset.points) > 20";
    return e;
}

#define REQUIRE_CHROMIUM(program)                                                                   \
    const std::string program = HeadlessBrowser::find();                                           \
    if (program.empty())                                                                           \
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it)";

} // namespace

TEST(MonitorPage, ShowsWhatTheUnitReceivedAndDrawsEveryTrace)
{
    REQUIRE_CHROMIUM(chromium);
    Unit unit("127.0.15.6");
    testsupport::TempDir profile("sn-chromium");
    HeadlessBrowser browser(chromium, profile.path());
    auto bridge = std::make_unique<BridgeStandIn>(unit.address);
    const HeadlessBrowser::Tab tab = browser.open(unit.url());

    ASSERT_TRUE(browser.waitUntil(tab, "document.body.dataset.link == 'connected' && " + allTracesDrawn(), 20000ms))
        << browser.evaluate(tab, "document.body.outerHTML.slice(0, 3000)");
    const std::map<std::string, std::string> expected = {
        {"hr", "72"},   {"spO2", "97"},          {"sbp", "120"},        {"dbp", "80"},
        {"mbp", "93"},  {"sPAP", "25"},          {"dPAP", "10"},        {"mPAP", "15"},
        {"CVP", "--"},  {"rr", "14"},            {"t1", "36.5"},        {"t2", "37.0"},
        {"etCO2", "38"}, {"abpZeroState", "NotZeroing"}, {"papZeroState", "Zeroing"},
        {"cvpZeroState", "--"}, {"spO2Ratio", "120"}, {"spo2Override", "On"}};
    for (const auto& kv : expected)
        EXPECT_EQ(memberShown(browser, tab, kv.first), kv.second) << kv.first;
    EXPECT_TRUE(optionalShown(browser, tab, "spO2Ratio"));
    EXPECT_FALSE(optionalShown(browser, tab, "co2FlowFactor"));  // never set
    EXPECT_EQ(browser.evaluate(tab, "document.getElementById('link').textContent"), "bridge connected");
    EXPECT_EQ(browser.evaluate(tab, "document.getElementById('conns').textContent"), "connections 1");
    for (const char* slot : MonitorState::shownSlots())
        EXPECT_GT(paintedPixels(browser, tab, slot), 50) << slot;
    const std::string shot = artifactPath("monitor-page.png");
    browser.screenshot(tab, shot);
    snlog::out() << "monitor page screenshot: " << shot;
    EXPECT_GT(std::filesystem::file_size(shot), 10000u);

    // The bridge goes away: the page says so. It comes back: drawing goes on.
    bridge.reset();
    EXPECT_TRUE(browser.waitUntil(tab, "document.body.dataset.link == 'disconnected'", 10000ms));
    EXPECT_EQ(browser.evaluate(tab, "document.getElementById('link').textContent"), "no bridge");
    const int pointsBefore = std::stoi(browser.evaluate(tab, "document.getElementById('w-abp').dataset.points"));
    bridge = std::make_unique<BridgeStandIn>(unit.address);
    EXPECT_TRUE(browser.waitUntil(tab,
                                  "document.body.dataset.link == 'connected' && "
                                  "document.getElementById('conns').textContent == 'connections 2' && "
                                  "Number(document.getElementById('w-abp').dataset.points) > " +
                                      std::to_string(pointsBefore + 30),
                                  20000ms));
    EXPECT_GT(paintedPixels(browser, tab, "abp"), 50);
}

TEST(MonitorPage, ReloadAndTwoViewersBesideOneThatNeverReads)
{
    REQUIRE_CHROMIUM(chromium);
    auto options = Unit::monitorAt("127.0.15.7");
    options.viewerSendBuffer = 4096;
    options.viewerQueueEvents = 8;
    options.writeStallLimit = 60000ms;
    Unit unit("127.0.15.7", options);
    testsupport::TempDir profile("sn-chromium");
    HeadlessBrowser browser(chromium, profile.path());
    BridgeStandIn bridge(unit.address, 20);
    RawHttpClient stalled(unit.address, kMonitorPort, 4096);
    ASSERT_TRUE(stalled.send(streamRequest(unit.address)));

    const HeadlessBrowser::Tab first = browser.open(unit.url());
    const HeadlessBrowser::Tab second = browser.open(unit.url());
    for (const auto& tab : {first, second})
        ASSERT_TRUE(browser.waitUntil(tab, "Number(document.body.dataset.events) > 5 && " + allTracesDrawn(), 20000ms));
    EXPECT_TRUE(testsupport::eventually([&] { return unit.monitor.stats().viewers == 3; }, 5000ms));

    // The viewer that never reads fills its queue; both pages keep going.
    ASSERT_TRUE(testsupport::eventually([&] { return unit.monitor.stats().droppedEvents > 0; }, 20000ms));
    for (const auto& tab : {first, second}) {
        const int events = std::stoi(browser.evaluate(tab, "document.body.dataset.events"));
        EXPECT_TRUE(browser.waitUntil(tab, "Number(document.body.dataset.events) > " + std::to_string(events + 10),
                                      10000ms));
    }

    // A reload starts a fresh page on a fresh stream; the old stream is let go.
    browser.evaluate(first, "window.beforeReload = 1");
    browser.reload(first);
    EXPECT_TRUE(browser.waitUntil(first,
                                  "window.beforeReload === undefined && Number(document.body.dataset.events) > 5 && " +
                                      allTracesDrawn(),
                                  20000ms));
    EXPECT_EQ(memberShown(browser, first, "hr"), "72");
    EXPECT_TRUE(testsupport::eventually([&] { return unit.monitor.stats().viewers == 3; }, 5000ms))
        << unit.monitor.stats().viewers;
    const std::string shot = artifactPath("monitor-page-reloaded.png");
    browser.screenshot(first, shot);
    snlog::out() << "reloaded monitor page screenshot: " << shot;
}
