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
    EXPECT_NE(page.find("fetch(\"events\""), std::string::npos);
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

std::string js(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& expression)
{
    return browser.evaluate(tab, expression);
}

std::string memberShown(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& member)
{
    return js(browser, tab, "document.querySelector('[data-member=\"" + member + "\"]').textContent");
}

bool optionalShown(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& member)
{
    return js(browser, tab, "document.querySelector('[data-member=\"" + member + "\"]').closest('.opt').hidden") ==
           "false";
}

std::string pressure(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& slot,
                     const std::string& field)
{
    return js(browser, tab, "document.querySelector('[data-press=\"" + slot + "\"]').dataset." + field);
}

// Pixels the script has painted on a trace's canvas (its grid is a CSS background).
int paintedPixels(HeadlessBrowser& browser, const HeadlessBrowser::Tab& tab, const std::string& slot)
{
    return std::stoi(js(browser, tab,
                        "(function(){var c=document.getElementById('w-" + slot +
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

// Live: the stream is open, data is fresh and no part of the page is marked old.
const std::string kLive = "document.body.dataset.link == 'connected' && document.body.dataset.stale == 'false' && "
                          "document.querySelectorAll('.row[data-stale=\"true\"]').length == 0";

// Every numeric and every trace marked old, each with the data's age.
const std::string kAllStaleWithAge =
    "document.body.dataset.stale == 'true' && "
    "/^no data for \\d+ s$/.test(document.getElementById('numerics-age').textContent) && "
    "getComputedStyle(document.getElementById('numerics-age')).display != 'none' && "
    "getComputedStyle(document.querySelector('[data-needs=hr]')).filter.indexOf('grayscale') >= 0 && "
    "Array.prototype.every.call(document.querySelectorAll('.row'), function (r) {"
    "  var age = r.querySelector('.age');"
    "  return r.dataset.stale == 'true' && /^no data for \\d+ s$/.test(age.textContent) &&"
    "    getComputedStyle(age).display != 'none' &&"
    "    getComputedStyle(r.querySelector('canvas')).filter.indexOf('grayscale') >= 0; })";

#define REQUIRE_CHROMIUM(program)                                                                   \
    const std::string program = HeadlessBrowser::find();                                           \
    if (program.empty())                                                                           \
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it)";

} // namespace

// The values, the badges and the computed pressures; the sweep's steps; the
// bridge going away (everything marked old with its age) and coming back.
TEST(MonitorPage, ShowsWhatTheUnitReceivedSweepsAndMarksOldData)
{
    REQUIRE_CHROMIUM(chromium);
    Unit unit("127.0.15.6");
    testsupport::TempDir profile("sn-chromium");
    HeadlessBrowser browser(chromium, profile.path());
    auto bridge = std::make_unique<BridgeStandIn>(unit.address);
    const HeadlessBrowser::Tab tab = browser.open(unit.url());

    ASSERT_TRUE(browser.waitUntil(tab, kLive + " && " + allTracesDrawn() +
                                           " && document.querySelector('[data-press=abp]').dataset.source == 'waveform'",
                                  20000ms))
        << js(browser, tab, "document.body.outerHTML.slice(0, 3000)");
    const std::map<std::string, std::string> expected = {
        {"hr", "72"}, {"spO2", "97"}, {"sbp", "120"}, {"dbp", "80"}, {"mbp", "93"}, {"rr", "14"},
        {"t1", "36.5"}, {"t2", "37.0"}, {"etCO2", "38"}, {"spO2Ratio", "120"}, {"spo2Override", "probe on"}};
    for (const auto& kv : expected)
        EXPECT_EQ(memberShown(browser, tab, kv.first), kv.second) << kv.first;
    EXPECT_TRUE(optionalShown(browser, tab, "spO2Ratio"));
    EXPECT_FALSE(optionalShown(browser, tab, "co2FlowFactor"));  // never set
    // A zero badge only while that line zeroes.
    EXPECT_EQ(js(browser, tab, "document.querySelector('[data-zero=papZeroState]').hidden"), "false");
    EXPECT_EQ(js(browser, tab, "document.querySelector('[data-zero=papZeroState]').textContent"), "ZEROING");
    EXPECT_EQ(js(browser, tab, "document.querySelector('[data-zero=abpZeroState]').hidden"), "true");
    EXPECT_EQ(js(browser, tab, "document.querySelector('[data-zero=cvpZeroState]').hidden"), "true");
    EXPECT_EQ(js(browser, tab, "document.body.innerText.indexOf('NotZeroing')"), "-1");
    // PA as received; ART (no numerics exist) and CVP (sent unset) from their traces.
    EXPECT_EQ(pressure(browser, tab, "pap", "source"), "received");
    EXPECT_EQ(js(browser, tab, "document.querySelector('[data-press=pap] .press').textContent"), "25/10 (15)");
    EXPECT_EQ(pressure(browser, tab, "abp", "source"), "waveform");
    EXPECT_NEAR(std::stod(pressure(browser, tab, "abp", "sys")), 120, 2);
    EXPECT_NEAR(std::stod(pressure(browser, tab, "abp", "dia")), 80, 2);
    EXPECT_NEAR(std::stod(pressure(browser, tab, "abp", "mean")), 100, 2);
    EXPECT_NE(js(browser, tab, "document.querySelector('[data-press=abp] .src').textContent").find("computed from the waveform"),
              std::string::npos);
    EXPECT_EQ(pressure(browser, tab, "cvp", "source"), "waveform");
    EXPECT_NEAR(std::stod(pressure(browser, tab, "cvp", "mean")), 5.5, 2);
    EXPECT_EQ(js(browser, tab, "document.getElementById('link').textContent"), "bridge connected");
    EXPECT_EQ(js(browser, tab, "document.getElementById('conns').textContent"), "connections 1");
    for (const char* slot : MonitorState::shownSlots())
        EXPECT_GT(paintedPixels(browser, tab, slot), 50) << slot;
    const std::string shot = artifactPath("monitor-page.png");
    browser.screenshot(tab, shot);
    snlog::out() << "monitor page screenshot: " << shot;
    EXPECT_GT(std::filesystem::file_size(shot), 10000u);

    // The sweep: over one second of frames the ART trace moves on in small steps.
    js(browser, tab,
       "(function(){var c=document.getElementById('w-abp'),end=performance.now()+1000;window.sweep=[];"
       "(function rec(){sweep.push(Number(c.dataset.x));"
       "if(performance.now()<end)requestAnimationFrame(rec);else window.sweepDone=true;})();})()");
    ASSERT_TRUE(browser.waitUntil(tab, "window.sweepDone", 10000ms));
    const std::string steps = js(browser, tab,
                                 "(function(){var w=document.getElementById('w-abp').getBoundingClientRect().width,"
                                 "max=0,sum=0;for(var i=1;i<sweep.length;i++){var d=sweep[i]-sweep[i-1];"
                                 "if(d<0)d+=w;max=Math.max(max,d);sum+=d;}return max+' '+sum+' '+sweep.length;})()");
    double maxStep = 0, advanced = 0;
    int frames = 0;
    std::istringstream(steps) >> maxStep >> advanced >> frames;
    EXPECT_LE(maxStep, 10.0) << steps;
    EXPECT_GE(advanced, 20.0) << steps;  // it moved...
    EXPECT_GE(frames, 5) << steps;       // ...over several frames

    // The bridge goes away: within 3 s every value is marked old, with its age.
    bridge.reset();
    EXPECT_TRUE(browser.waitUntil(tab, "document.body.dataset.link == 'disconnected'", 3000ms));
    EXPECT_TRUE(browser.waitUntil(tab, kAllStaleWithAge, 3000ms))
        << js(browser, tab, "document.getElementById('numerics-age').textContent");
    EXPECT_EQ(js(browser, tab, "document.getElementById('link').textContent"), "no bridge");
    EXPECT_EQ(memberShown(browser, tab, "hr"), "72");  // the last value, shown as old
    browser.screenshot(tab, artifactPath("monitor-page-stale.png"));

    // Data again: everything live.
    const int pointsBefore = std::stoi(js(browser, tab, "document.getElementById('w-abp').dataset.points"));
    bridge = std::make_unique<BridgeStandIn>(unit.address);
    EXPECT_TRUE(browser.waitUntil(tab,
                                  kLive + " && document.getElementById('conns').textContent == 'connections 2' && "
                                          "Number(document.getElementById('w-abp').dataset.points) > " +
                                      std::to_string(pointsBefore + 30),
                                  20000ms));
}

// The emulated unit itself goes and comes back: the page says so without
// contradiction, and reconnects by itself.
TEST(MonitorPage, ReconnectsAfterTheUnitRestarts)
{
    REQUIRE_CHROMIUM(chromium);
    const std::string address = "127.0.15.8";
    auto unit = std::make_unique<Unit>(address);
    auto bridge = std::make_unique<BridgeStandIn>(address);
    testsupport::TempDir profile("sn-chromium");
    HeadlessBrowser browser(chromium, profile.path());
    const HeadlessBrowser::Tab tab = browser.open(unit->url());
    ASSERT_TRUE(browser.waitUntil(tab, kLive + " && " + allTracesDrawn(), 20000ms));
    js(browser, tab, "window.marker = 1");

    bridge.reset();
    unit.reset();
    ASSERT_TRUE(browser.waitUntil(tab, "document.body.dataset.link == 'offline'", 5000ms));
    // While down no part of the page claims data flows.
    ASSERT_TRUE(browser.waitUntil(tab, kAllStaleWithAge, 5000ms));
    EXPECT_EQ(js(browser, tab, "/^monitor offline: retrying in \\d+ s$/.test(document.getElementById('link').textContent)"),
              "true")
        << js(browser, tab, "document.getElementById('link').textContent");
    EXPECT_EQ(js(browser, tab, "document.getElementById('rate').textContent"), "-- msg/s");
    EXPECT_EQ(js(browser, tab, "document.getElementById('conns').textContent"), "connections --");
    EXPECT_EQ(js(browser, tab, "/^last message \\d/.test(document.getElementById('last').textContent)"), "true");
    for (const char* slot : MonitorState::shownSlots())
        EXPECT_EQ(js(browser, tab, std::string("document.getElementById('rate-") + slot + "').textContent"), "--/s")
            << slot;

    unit = std::make_unique<Unit>(address);
    bridge = std::make_unique<BridgeStandIn>(address);
    EXPECT_TRUE(browser.waitUntil(tab, kLive, 5000ms)) << js(browser, tab, "document.getElementById('link').textContent");
    EXPECT_EQ(js(browser, tab, "window.marker"), "1");  // the same page: no reload
    EXPECT_EQ(memberShown(browser, tab, "hr"), "72");
}

// The 17th viewer is told why it waits, and gets in once another leaves.
TEST(MonitorPage, TooManyViewersWaitsThenShowsLiveData)
{
    REQUIRE_CHROMIUM(chromium);
    auto options = Unit::monitorAt("127.0.15.9");
    options.writeStallLimit = 60000ms;  // the raw viewers below read nothing
    Unit unit("127.0.15.9", options);
    BridgeStandIn bridge(unit.address);
    std::vector<std::unique_ptr<RawHttpClient>> viewers;
    for (std::size_t i = 0; i < options.maxViewers; ++i) {
        viewers.push_back(std::make_unique<RawHttpClient>(unit.address, kMonitorPort));
        ASSERT_TRUE(viewers.back()->send(streamRequest(unit.address)));
    }
    ASSERT_TRUE(testsupport::eventually([&] { return unit.monitor.stats().viewers == options.maxViewers; }, 5000ms));

    testsupport::TempDir profile("sn-chromium");
    HeadlessBrowser browser(chromium, profile.path());
    const HeadlessBrowser::Tab tab = browser.open(unit.url());
    ASSERT_TRUE(browser.waitUntil(tab,
                                  "document.body.dataset.link == 'refused' && "
                                  "/^too many viewers: retrying in \\d+ s$/.test(document.getElementById('link').textContent)",
                                  10000ms))
        << js(browser, tab, "document.getElementById('link').textContent");
    EXPECT_EQ(js(browser, tab, "document.body.dataset.stale"), "true");
    EXPECT_EQ(js(browser, tab, "document.getElementById('conns').textContent"), "connections --");
    js(browser, tab, "window.marker = 1");

    viewers.pop_back();
    EXPECT_TRUE(browser.waitUntil(tab, kLive + " && " + allTracesDrawn(), 20000ms))
        << js(browser, tab, "document.getElementById('link').textContent");
    EXPECT_EQ(js(browser, tab, "window.marker"), "1");
    EXPECT_EQ(unit.monitor.stats().viewers, options.maxViewers);
}

// From a phone to a large screen: every trace at least 300 px wide, nothing
// wider than the window, the header whole.
TEST(MonitorPage, FitsPhoneTabletAndDesktopScreens)
{
    REQUIRE_CHROMIUM(chromium);
    Unit unit("127.0.15.13");
    BridgeStandIn bridge(unit.address);
    testsupport::TempDir profile("sn-chromium");
    HeadlessBrowser browser(chromium, profile.path());
    const HeadlessBrowser::Tab tab = browser.open(unit.url());
    struct Screen {
        int width, height;
        bool mobile;
    };
    for (const Screen& s : {Screen{390, 844, true}, Screen{360, 740, true}, Screen{800, 600, false},
                            Screen{1920, 1080, false}}) {
        const std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
        browser.setViewport(tab, s.width, s.height, s.mobile);
        ASSERT_TRUE(browser.waitUntil(tab, "document.documentElement.clientWidth == " + std::to_string(s.width), 5000ms))
            << size;
        // Drawn since the resize, which clears every trace.
        js(browser, tab, "window.pointsAtResize = Number(document.getElementById('w-abp').dataset.points)");
        ASSERT_TRUE(browser.waitUntil(tab, kLive + " && Number(document.getElementById('w-abp').dataset.points) > "
                                                   "window.pointsAtResize + 30 && "
                                                   "document.querySelector('[data-press=abp]').dataset.source == 'waveform'",
                                      10000ms))
            << size;
        EXPECT_EQ(js(browser, tab,
                     "Array.prototype.map.call(document.querySelectorAll('canvas'), function (c) {"
                     "  return c.getBoundingClientRect().width >= 300; }).join()"),
                  "true,true,true,true,true")
            << size;
        EXPECT_EQ(js(browser, tab, "document.documentElement.scrollWidth == document.documentElement.clientWidth"),
                  "true")
            << size;
        // The header wraps rather than clipping, and every tile's text stays in its tile.
        EXPECT_EQ(js(browser, tab,
                     "Array.prototype.every.call(document.querySelectorAll('#bar > span, .tile, .lbl'), function (e) {"
                     "  return e.scrollWidth <= e.clientWidth + 1 && e.getBoundingClientRect().right <= "
                     "document.documentElement.clientWidth + 0.5; })"),
                  "true")
            << size;
        if (s.width != 360) {
            const std::string shot = artifactPath("monitor-page-" + size + ".png");
            browser.screenshot(tab, shot);
            std::cout << "monitor page at " << size << ": " << shot << std::endl;
        }
    }
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
        const int events = std::stoi(js(browser, tab, "document.body.dataset.events"));
        EXPECT_TRUE(browser.waitUntil(tab, "Number(document.body.dataset.events) > " + std::to_string(events + 10),
                                      10000ms));
    }

    // A reload starts a fresh page on a fresh stream; the old stream is let go.
    js(browser, first, "window.beforeReload = 1");
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
