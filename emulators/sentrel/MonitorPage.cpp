// The emulated unit's monitor page, served whole by MonitorServer: it loads
// nothing else. Its script opens the event stream (/events) and, per event,
// shows the vitals the unit last received, the link state and sweeps the new
// waveform samples across one canvas per slot.
//
// What tests read: every value element carries data-member (its VitalsData
// member) and shows "--" until a value is set; each canvas carries
// data-points, the number of samples drawn on it; <body> carries data-events,
// the number of events received, and data-link (connected, disconnected,
// offline).
#include "MonitorServer.h"

const std::string& monitorPageHtml() {
    static const std::string page = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Sentrel unit monitor</title>
<style>
  * { box-sizing: border-box; }
  html, body { margin: 0; height: 100%; background: #000; color: #d8d8d8;
    font-family: "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; }
  body { display: flex; flex-direction: column; }
  #bar { display: flex; align-items: center; gap: 22px; padding: 6px 14px; background: #101418;
    border-bottom: 1px solid #2a3038; font-size: 15px; }
  #bar .title { font-weight: bold; letter-spacing: 2px; color: #fff; }
  #link { padding: 2px 10px; border-radius: 10px; font-weight: bold; background: #444; color: #eee; }
  body[data-link="connected"] #link { background: #0a5d1f; color: #b8ffc8; }
  body[data-link="disconnected"] #link { background: #8a1010; color: #ffd0d0; }
  #clock { margin-left: auto; font-variant-numeric: tabular-nums; color: #9aa; }
  #screen { flex: 1; display: flex; min-height: 0; }
  #waves { flex: 1; display: flex; flex-direction: column; min-width: 0; }
  .row { flex: 1; display: flex; border-bottom: 1px solid #1b1f24; min-height: 70px; }
  .row .lbl { width: 112px; padding: 4px 8px; display: flex; flex-direction: column;
    justify-content: space-between; font-size: 12px; }
  .row .lbl b { font-size: 16px; }
  .row .scale { font-variant-numeric: tabular-nums; opacity: 0.85; }
  .row .note { font-size: 11px; opacity: 0.8; }
  .row canvas { flex: 1; min-width: 0; height: 100%; display: block;
    background-image: linear-gradient(to bottom, transparent 49.5%, #1c2228 49.5%, #1c2228 50.5%, transparent 50.5%);
  }
  #numerics { width: 330px; display: grid; grid-template-columns: 1fr 1fr; grid-auto-rows: minmax(86px, auto);
    border-left: 1px solid #2a3038; }
  .tile { padding: 6px 10px; border-bottom: 1px solid #1b1f24; border-right: 1px solid #1b1f24;
    display: flex; flex-direction: column; }
  .tile.wide { grid-column: span 2; }
  .tile label { font-size: 13px; font-weight: bold; }
  .tile .big { font-size: 44px; font-weight: bold; line-height: 1.05; font-variant-numeric: tabular-nums; }
  .tile .mid { font-size: 28px; font-weight: bold; font-variant-numeric: tabular-nums; }
  .tile small { font-size: 12px; opacity: 0.8; }
  .opt[hidden] { display: none; }
  .zero[data-state="Zeroing"] { color: #ffb000; font-weight: bold; }
  .c-hr { color: #3cff5a; } .c-spo2 { color: #33e0ff; } .c-nibp { color: #f2f2f2; }
  .c-abp { color: #ff4b4b; } .c-pap { color: #ffe14d; } .c-cvp { color: #5aa9ff; }
  .c-rr { color: #fff59a; } .c-temp { color: #f0c0ff; } .c-co2 { color: #c9c9ff; } .c-pleth { color: #33e0ff; }
</style>
</head>
<body data-link="offline" data-events="0">
<div id="bar">
  <span class="title">SENTREL UNIT</span>
  <span id="link">monitor offline</span>
  <span id="last">no message yet</span>
  <span id="rate">-- msg/s</span>
  <span id="conns">connections 0</span>
  <span id="clock"></span>
</div>
<div id="screen">
  <div id="waves">
    <div class="row" data-slot="abp"><div class="lbl c-abp"><b>ART</b><span class="scale" id="hi-abp"></span>
      <span class="note">zero <span class="zero" data-member="abpZeroState">--</span></span>
      <span class="note" id="rate-abp"></span><span class="scale" id="lo-abp"></span></div>
      <canvas id="w-abp" data-points="0"></canvas></div>
    <div class="row" data-slot="pap"><div class="lbl c-pap"><b>PA</b><span class="scale" id="hi-pap"></span>
      <span class="note">zero <span class="zero" data-member="papZeroState">--</span></span>
      <span class="note" id="rate-pap"></span><span class="scale" id="lo-pap"></span></div>
      <canvas id="w-pap" data-points="0"></canvas></div>
    <div class="row" data-slot="cvp"><div class="lbl c-cvp"><b>CVP</b><span class="scale" id="hi-cvp"></span>
      <span class="note">zero <span class="zero" data-member="cvpZeroState">--</span></span>
      <span class="note" id="rate-cvp"></span><span class="scale" id="lo-cvp"></span></div>
      <canvas id="w-cvp" data-points="0"></canvas></div>
    <div class="row" data-slot="pleth"><div class="lbl c-pleth"><b>Pleth</b><span class="scale" id="hi-pleth"></span>
      <span class="note" id="rate-pleth"></span><span class="scale" id="lo-pleth"></span></div>
      <canvas id="w-pleth" data-points="0"></canvas></div>
    <div class="row" data-slot="co2"><div class="lbl c-co2"><b>CO2</b><span class="scale" id="hi-co2"></span>
      <span class="note" id="rate-co2"></span><span class="scale" id="lo-co2"></span></div>
      <canvas id="w-co2" data-points="0"></canvas></div>
  </div>
  <div id="numerics">
    <div class="tile c-hr"><label>HR</label><span class="big" data-member="hr">--</span><small>bpm</small></div>
    <div class="tile c-spo2"><label>SpO2</label><span class="big" data-member="spO2">--</span><small>%</small>
      <small class="opt" hidden>ratio <span data-member="spO2Ratio">--</span></small>
      <small class="opt" hidden>probe <span data-member="spo2Override">--</span></small></div>
    <div class="tile wide c-nibp"><label>NIBP <small>mmHg</small></label>
      <span class="big"><span data-member="sbp">--</span>/<span data-member="dbp">--</span>
      <span class="mid">(<span data-member="mbp">--</span>)</span></span></div>
    <div class="tile wide c-pap"><label>PA <small>mmHg</small></label>
      <span class="mid"><span data-member="sPAP">--</span>/<span data-member="dPAP">--</span>
      (<span data-member="mPAP">--</span>)</span></div>
    <div class="tile c-cvp"><label>CVP <small>mmHg</small></label><span class="big" data-member="CVP">--</span></div>
    <div class="tile c-rr"><label>RR</label><span class="big" data-member="rr">--</span><small>rpm</small></div>
    <div class="tile c-temp"><label>T1 <small>&deg;C</small></label><span class="mid" data-member="t1">--</span></div>
    <div class="tile c-temp"><label>T2 <small>&deg;C</small></label><span class="mid" data-member="t2">--</span></div>
    <div class="tile wide c-co2"><label>etCO2 <small>mmHg</small></label><span class="big" data-member="etCO2">--</span>
      <small class="opt" hidden>flow factor <span data-member="co2FlowFactor">--</span></small></div>
  </div>
</div>
<script>
"use strict";
// Samples per second as the unit receives them from the bridge (3 of every 5
// samples of its 50/s signals, 3 of every 10 of its 25/s ones) until the
// measured rate takes over, and the scales each trace may take: the smallest
// that holds the samples is used.
var TRACES = [
  { slot: "abp", color: "#ff4b4b", rate: 30, scales: [[0, 160], [0, 200], [0, 300]] },
  { slot: "pap", color: "#ffe14d", rate: 30, scales: [[0, 40], [0, 60], [0, 100], [-50, 300]] },
  { slot: "cvp", color: "#5aa9ff", rate: 7.5, scales: [[0, 20], [0, 40], [0, 100]] },
  { slot: "pleth", color: "#33e0ff", rate: 30, scales: [[0, 100]] },
  { slot: "co2", color: "#c9c9ff", rate: 7.5, scales: [[0, 50], [0, 80]] }
];
var SWEEP_SECONDS = 6;  // one sweep across a canvas
var ERASE_AHEAD = 12;   // css pixels cleared in front of the sweep
var RATE_FOLLOW = 0.05; // per event: how far the sweep's rate moves to the measured one

function Trace(cfg) {
  this.cfg = cfg;
  this.canvas = document.getElementById("w-" + cfg.slot);
  this.ctx = this.canvas.getContext("2d");
  this.points = 0;
  this.rate = cfg.rate;
  this.scale = 0;
  this.sweepMin = Infinity;
  this.sweepMax = -Infinity;
  this.resize();
}
Trace.prototype.resize = function () {
  var r = this.canvas.getBoundingClientRect();
  this.dpr = window.devicePixelRatio || 1;
  this.canvas.width = Math.max(1, Math.round(r.width * this.dpr));
  this.canvas.height = Math.max(1, Math.round(r.height * this.dpr));
  this.restart();
};
Trace.prototype.restart = function () {
  this.x = 0;
  this.lastY = null;
  this.ctx.clearRect(0, 0, this.canvas.width, this.canvas.height);
  var s = this.cfg.scales[this.scale];
  document.getElementById("hi-" + this.cfg.slot).textContent = s[1];
  document.getElementById("lo-" + this.cfg.slot).textContent = s[0];
};
Trace.prototype.fitScale = function (lo, hi) {
  var i = 0, scales = this.cfg.scales;
  while (i < scales.length - 1 && (hi > scales[i][1] || lo < scales[i][0])) i++;
  return i;
};
// Sweeps at the rate the samples arrive, smoothed over a few seconds.
Trace.prototype.follow = function (perSecond) {
  if (perSecond > 0) this.rate += (perSecond - this.rate) * RATE_FOLLOW;
};
Trace.prototype.push = function (samples) {
  var c = this.ctx, w = this.canvas.width, h = this.canvas.height, pad = 4 * this.dpr;
  var dx = w / (this.rate * SWEEP_SECONDS);
  for (var i = 0; i < samples.length; i++) {
    var v = samples[i];
    var need = this.fitScale(v, v);
    if (need > this.scale) { this.scale = need; this.restart(); }
    if (this.x + dx > w) {
      // A new sweep: the scale may shrink again to what the last one needed.
      var fit = this.fitScale(this.sweepMin, this.sweepMax);
      this.sweepMin = Infinity;
      this.sweepMax = -Infinity;
      if (fit !== this.scale) { this.scale = fit; this.restart(); }
      this.x = 0;
      this.lastY = null;
    }
    this.sweepMin = Math.min(this.sweepMin, v);
    this.sweepMax = Math.max(this.sweepMax, v);
    var s = this.cfg.scales[this.scale];
    var y = h - pad - (Math.min(Math.max(v, s[0]), s[1]) - s[0]) / (s[1] - s[0]) * (h - 2 * pad);
    var nx = this.x + dx;
    c.clearRect(this.x + 1, 0, dx + ERASE_AHEAD * this.dpr, h);
    c.strokeStyle = this.cfg.color;
    c.lineWidth = 2 * this.dpr;
    c.lineJoin = "round";
    c.beginPath();
    c.moveTo(this.x, this.lastY === null ? y : this.lastY);
    c.lineTo(nx, y);
    c.stroke();
    this.x = nx;
    this.lastY = y;
    this.points++;
  }
  this.canvas.dataset.points = this.points;
};

var traces = TRACES.map(function (cfg) { return new Trace(cfg); });
window.addEventListener("resize", function () { traces.forEach(function (t) { t.resize(); }); });

function setText(id, text) { document.getElementById(id).textContent = text; }

function showVitals(vitals) {
  var shown = document.querySelectorAll("[data-member]");
  for (var i = 0; i < shown.length; i++) {
    var el = shown[i], member = el.dataset.member;
    var set = Object.prototype.hasOwnProperty.call(vitals, member);
    el.textContent = set ? vitals[member] : "--";
    if (el.classList.contains("zero")) el.dataset.state = set ? vitals[member] : "";
    var opt = el.closest(".opt");
    if (opt) opt.hidden = !set;
  }
}

function showLink(link) {
  document.body.dataset.link = link.connected ? "connected" : "disconnected";
  setText("link", link.connected ? "bridge connected" : "no bridge");
  setText("last", link.lastMessageMs < 0 ? "no message yet"
                  : "last message " + (link.lastMessageMs / 1000).toFixed(1) + " s ago");
  setText("rate", link.messagesPerSecond + " msg/s");
  setText("conns", "connections " + link.connections);
}

var received = 0;
function onEvent(e) {
  var ev = JSON.parse(e.data);
  received++;
  document.body.dataset.events = received;
  showLink(ev.link);
  showVitals(ev.vitals);
  traces.forEach(function (t) {
    var w = ev.waves[t.cfg.slot];
    if (!w) return;
    t.follow(w.perSecond);
    t.push(w.samples);
    setText("rate-" + t.cfg.slot, w.perSecond ? w.perSecond + "/s" : "no signal");
  });
}

var source = new EventSource("events");
source.onmessage = onEvent;
source.onerror = function () {  // the browser reconnects by itself
  document.body.dataset.link = "offline";
  setText("link", "monitor offline");
};

function tick() {
  var d = new Date();
  function two(n) { return (n < 10 ? "0" : "") + n; }
  setText("clock", two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds()));
}
tick();
setInterval(tick, 1000);
</script>
</body>
</html>
)PAGE";
    return page;
}
