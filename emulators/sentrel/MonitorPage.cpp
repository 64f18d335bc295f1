// The emulated unit's monitor page, served whole by MonitorServer: it loads
// nothing else. Its script reads the event stream (/events) with fetch, so it
// sees a refusal's status, and opens it again after any end, waiting 1, 2, 4,
// 8, then 10 s between tries. Per event it shows the vitals the unit last
// received and the link state, and queues the new waveform samples, which
// are played out at their measured rate a quarter second late, so each trace
// sweeps smoothly. Once no data has arrived for 2 s, or while the stream is
// down, every value and trace is greyed and hatched with the data's age.
//
// What tests read: every value element carries data-member (its VitalsData
// member) and shows "--" until a value is set; a zero badge carries
// data-zero and shows only while that line is zeroing; the ART, PA and CVP
// tiles carry data-press with data-source ("received", "waveform" or "none")
// and data-sys, data-dia, data-mean; each canvas carries data-points (samples
// drawn), data-x (the sweep's position in CSS pixels) and data-rate (measured
// samples per second); each trace row and <body> carry data-stale; <body>
// carries data-events (events received) and data-link (connecting,
// connected, disconnected, offline, refused).
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
  html { font-size: clamp(13px, calc(0.45vw + 8px), 26px); }
  html, body { margin: 0; background: #000; color: #d8d8d8;
    font-family: "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; }
  body { min-height: 100vh; display: flex; flex-direction: column; overflow-x: hidden; }
  #bar { display: flex; flex-wrap: wrap; align-items: center; gap: 0.3rem 1.3rem; padding: 0.4rem 0.9rem;
    background: #101418; border-bottom: 1px solid #2a3038; font-size: 1rem; }
  #bar .title { font-weight: bold; letter-spacing: 0.12em; color: #fff; }
  #link { padding: 0.1rem 0.7rem; border-radius: 0.7rem; font-weight: bold; background: #444; color: #eee; }
  body[data-link="connected"] #link { background: #0a5d1f; color: #b8ffc8; }
  body[data-link="connected"][data-stale="true"] #link { background: #7a5a00; color: #ffe9a8; }
  body[data-link="disconnected"] #link { background: #8a1010; color: #ffd0d0; }
  body[data-link="refused"] #link { background: #6a3d00; color: #ffd9a0; }
  #bar span { white-space: nowrap; }
  #clock { margin-left: auto; font-variant-numeric: tabular-nums; color: #9aa; }
  #screen { flex: 1; display: flex; min-height: 0; }
  #waves { flex: 1; display: flex; flex-direction: column; min-width: 0; }
  .row { flex: 1; display: flex; border-bottom: 1px solid #1b1f24; min-height: 5.5rem; }
  .lbl { width: 6.5rem; flex: none; padding: 0.3rem 0.5rem; display: flex; flex-direction: column;
    gap: 0.25rem; font-size: 0.8rem; }
  .lbl b { font-size: 1.1rem; }
  .lbl .rate { opacity: 0.8; font-variant-numeric: tabular-nums; }
  .zero { align-self: flex-start; padding: 0 0.35rem; border-radius: 0.25rem; background: #ffb000; color: #000;
    font-weight: bold; font-size: 0.75rem; letter-spacing: 0.05em; }
  [hidden] { display: none !important; }
  .trace { position: relative; flex: 1; min-width: 0; min-height: 4.5rem;
    /* the scale's top and bottom and its middle, 8 px in from the edges as the drawing */
    background:
      linear-gradient(#1c2228, #1c2228) 0 7.5px / 100% 1px no-repeat,
      linear-gradient(#1c2228, #1c2228) 0 calc(100% - 7.5px) / 100% 1px no-repeat,
      linear-gradient(#15191e, #15191e) 0 calc(50% + 0.5px) / 100% 1px no-repeat; }
  .trace canvas { position: absolute; left: 0; top: 0; width: 100%; height: 100%; display: block; }
  .scale { position: absolute; left: 0.3rem; font-size: 0.7rem; line-height: 1; opacity: 0.85;
    font-variant-numeric: tabular-nums; pointer-events: none; }
  .scale.hi { top: 8px; transform: translateY(-50%); padding-top: 1px; }
  .scale.lo { bottom: 8px; transform: translateY(50%); }
  .age { display: none; position: absolute; right: 0.5rem; top: 50%; transform: translateY(-50%);
    padding: 0.15rem 0.6rem; border: 1px solid #777; border-radius: 0.3rem; background: rgba(0, 0, 0, 0.75);
    color: #eee; font-size: 0.9rem; font-weight: bold; }
  .row[data-stale="true"] .age { display: block; }
  .row[data-stale="true"] canvas { filter: grayscale(1); opacity: 0.45; }
  .row[data-stale="true"] .lbl { filter: grayscale(1); opacity: 0.6; }
  .row[data-stale="true"] .trace::after, body[data-stale="true"] .tile::after, .tile[data-stale="true"]::after {
    content: ""; position: absolute; inset: 0; pointer-events: none;
    background: repeating-linear-gradient(135deg, rgba(150, 150, 150, 0.16) 0 5px, transparent 5px 14px); }
  #numerics { width: clamp(19rem, 24vw, 40rem); flex: none; display: grid; grid-template-columns: 1fr 1fr;
    align-content: start; border-left: 1px solid #2a3038; }
  #numerics-age { grid-column: 1 / -1; padding: 0.35rem 0.7rem; background: #3a3a3a; color: #fff;
    font-weight: bold; text-align: center; }
  body:not([data-stale="true"]) #numerics-age { display: none; }
  .tile { position: relative; min-width: 0; padding: 0.4rem 0.7rem; border-bottom: 1px solid #1b1f24;
    border-right: 1px solid #1b1f24; display: flex; flex-direction: column; overflow-wrap: anywhere; }
  .tile.wide { grid-column: span 2; }
  .tile label { font-size: 0.85rem; font-weight: bold; }
  .tile .big { font-size: 2.8rem; font-weight: bold; line-height: 1.05; font-variant-numeric: tabular-nums; }
  .tile .mid { font-size: 1.8rem; font-weight: bold; line-height: 1.15; font-variant-numeric: tabular-nums; }
  .tile .mean { font-size: 0.7em; }
  .tile small { font-size: 0.75rem; opacity: 0.8; }
  .tile .why { font-style: italic; opacity: 0.7; }
  body[data-stale="true"] .tile, .tile[data-stale="true"] { filter: grayscale(1); opacity: 0.5; }
  .c-hr { color: #3cff5a; } .c-spo2 { color: #33e0ff; } .c-nibp { color: #f2f2f2; }
  .c-abp { color: #ff4b4b; } .c-pap { color: #ffe14d; } .c-cvp { color: #5aa9ff; }
  .c-rr { color: #fff59a; } .c-temp { color: #f0c0ff; } .c-co2 { color: #c9c9ff; } .c-pleth { color: #33e0ff; }
  /* Below 1000 px the numerics sit above the traces. */
  @media (max-width: 999px) {
    #screen { flex-direction: column; }
    #numerics { order: -1; width: auto; grid-template-columns: repeat(auto-fill, minmax(9rem, 1fr));
      grid-auto-flow: row dense; border-left: none; border-bottom: 1px solid #2a3038; }
    .row { flex: none; height: 7rem; }
  }
  /* Below 600 px each trace's label sits above it, so the trace has the width. */
  @media (max-width: 599px) {
    #bar { gap: 0.2rem 0.8rem; padding: 0.3rem 0.5rem; }
    .row { flex-direction: column; height: auto; }
    .lbl { width: auto; flex-direction: row; align-items: baseline; gap: 0.7rem; padding: 0.15rem 0.5rem; }
    .trace { flex: none; height: 6rem; }
    #numerics { grid-template-columns: 1fr 1fr; }
    .tile.wide[data-press] { grid-column: auto; }
  }
</style>
</head>
<body data-link="connecting" data-stale="true" data-events="0">
<div id="bar">
  <span class="title">SENTREL UNIT</span>
  <span id="link">connecting</span>
  <span id="last">no message yet</span>
  <span id="rate">-- msg/s</span>
  <span id="conns">connections --</span>
  <span id="clock"></span>
</div>
<div id="screen">
  <div id="waves">
    <div class="row c-abp" data-slot="abp" data-stale="true"><div class="lbl"><b>ART</b>
      <span class="zero" data-zero="abpZeroState" hidden>ZEROING</span><span class="rate" id="rate-abp">--/s</span></div>
      <div class="trace"><canvas id="w-abp" data-points="0" data-x="0" data-rate="0"></canvas>
      <span class="scale hi" id="hi-abp"></span><span class="scale lo" id="lo-abp"></span><span class="age" id="age-abp"></span></div></div>
    <div class="row c-pap" data-slot="pap" data-stale="true"><div class="lbl"><b>PA</b>
      <span class="zero" data-zero="papZeroState" hidden>ZEROING</span><span class="rate" id="rate-pap">--/s</span></div>
      <div class="trace"><canvas id="w-pap" data-points="0" data-x="0" data-rate="0"></canvas>
      <span class="scale hi" id="hi-pap"></span><span class="scale lo" id="lo-pap"></span><span class="age" id="age-pap"></span></div></div>
    <div class="row c-cvp" data-slot="cvp" data-stale="true"><div class="lbl"><b>CVP</b>
      <span class="zero" data-zero="cvpZeroState" hidden>ZEROING</span><span class="rate" id="rate-cvp">--/s</span></div>
      <div class="trace"><canvas id="w-cvp" data-points="0" data-x="0" data-rate="0"></canvas>
      <span class="scale hi" id="hi-cvp"></span><span class="scale lo" id="lo-cvp"></span><span class="age" id="age-cvp"></span></div></div>
    <div class="row c-pleth" data-slot="pleth" data-stale="true"><div class="lbl"><b>Pleth</b>
      <span class="rate" id="rate-pleth">--/s</span></div>
      <div class="trace"><canvas id="w-pleth" data-points="0" data-x="0" data-rate="0"></canvas>
      <span class="scale hi" id="hi-pleth"></span><span class="scale lo" id="lo-pleth"></span><span class="age" id="age-pleth"></span></div></div>
    <div class="row c-co2" data-slot="co2" data-stale="true"><div class="lbl"><b>CO2</b>
      <span class="rate" id="rate-co2">--/s</span></div>
      <div class="trace"><canvas id="w-co2" data-points="0" data-x="0" data-rate="0"></canvas>
      <span class="scale hi" id="hi-co2"></span><span class="scale lo" id="lo-co2"></span><span class="age" id="age-co2"></span></div></div>
  </div>
  <div id="numerics">
    <div id="numerics-age">no data yet</div>
    <div class="tile c-hr" data-needs="hr"><label>HR <small>/min</small></label><span class="big" data-member="hr">--</span>
      <small class="why">not received</small></div>
    <div class="tile c-spo2" data-needs="spO2"><label>SpO2 <small>%</small></label><span class="big" data-member="spO2">--</span>
      <small class="why">not received</small>
      <small class="opt" hidden>ratio <span data-member="spO2Ratio">--</span></small>
      <small class="opt" hidden><span data-member="spo2Override">--</span></small></div>
    <div class="tile wide c-nibp" data-needs="sbp dbp mbp"><label>NIBP <small>mmHg</small></label>
      <span class="big"><span data-member="sbp">--</span>/<span data-member="dbp">--</span>
      <span class="mean">(<span data-member="mbp">--</span>)</span></span><small class="why">not received</small></div>
    <div class="tile wide c-abp" data-press="abp" data-source="none"><label>ART <small>mmHg</small></label>
      <span class="mid press">--/-- (--)</span><small class="src"></small></div>
    <div class="tile wide c-pap" data-press="pap" data-members="sPAP dPAP mPAP" data-source="none"><label>PA <small>mmHg</small></label>
      <span class="mid press">--/-- (--)</span><small class="src"></small></div>
    <div class="tile wide c-cvp" data-press="cvp" data-members="- - CVP" data-source="none"><label>CVP <small>mmHg</small></label>
      <span class="mid press">--/-- (--)</span><small class="src"></small></div>
    <div class="tile c-rr" data-needs="rr"><label>RR <small>/min</small></label><span class="big" data-member="rr">--</span>
      <small class="why">not received</small></div>
    <div class="tile c-co2" data-needs="etCO2"><label>etCO2 <small>mmHg</small></label><span class="big" data-member="etCO2">--</span>
      <small class="why">not received</small>
      <small class="opt" hidden>flow factor <span data-member="co2FlowFactor">--</span></small></div>
    <div class="tile c-temp" data-needs="t1"><label>T1 <small>&deg;C</small></label><span class="mid" data-member="t1">--</span>
      <small class="why">not received</small></div>
    <div class="tile c-temp" data-needs="t2"><label>T2 <small>&deg;C</small></label><span class="mid" data-member="t2">--</span>
      <small class="why">not received</small></div>
  </div>
</div>
<script>
"use strict";
// The scales each trace may take: the smallest that holds the samples is used.
var TRACES = [
  { slot: "abp", color: "#ff4b4b", scales: [[0, 160], [0, 200], [0, 300]] },
  { slot: "pap", color: "#ffe14d", scales: [[0, 40], [0, 60], [0, 100], [-50, 300]] },
  { slot: "cvp", color: "#5aa9ff", scales: [[0, 20], [0, 40], [0, 100]] },
  { slot: "pleth", color: "#33e0ff", scales: [[0, 100]] },
  { slot: "co2", color: "#c9c9ff", scales: [[0, 50], [0, 80]] }
];
var STALE_MS = 2000;          // no data this long: every value is shown as old
var SILENT_STREAM_MS = 3000;  // a stream with no event this long is opened again
var BACKOFF_S = [1, 2, 4, 8, 10];  // waits before each new try after a failed one
var MAX_RECORD_CHARS = 1 << 20;    // a longer event record ends the stream
var PLAY_DELAY_MS = 250;      // samples are played this long after they arrive
var GAP_MS = 1000;            // samples after a longer pause start a new stretch of trace
var OVERRUN_MS = 1500;        // samples queued beyond the delay this long are let go
var RATE_WINDOW_MS = 8000;    // arrivals a signal's rate is measured over,
var RATE_MIN_SPAN_MS = 2000;  // once they span this long (before, the unit's count is used)
var SWEEP_SECONDS = 6;        // a sweep takes at least this long...
var SWEEP_MAX_PX_S = 250;     // ...and moves at most this fast
var MAX_STEP_PX = 8;          // the furthest a sweep moves in one frame
var ERASE_AHEAD_PX = 14;      // cleared in front of the sweep
var PAD_PX = 8;               // between the scale's ends and the canvas edges
var NUMERIC_WINDOW_MS = 4000; // computed pressures cover this much of the trace
var NUMERIC_MIN_MS = 1500;    // and need at least this much

function now() { return performance.now(); }
function setText(id, text) { var el = document.getElementById(id); if (el.textContent !== text) el.textContent = text; }
function has(obj, key) { return Object.prototype.hasOwnProperty.call(obj, key); }
function ageText(ms) {
  var s = ms / 1000;
  if (s < 10) return s.toFixed(1) + " s";
  if (s < 120) return Math.floor(s) + " s";
  return Math.floor(s / 60) + " min";
}
function wholeAge(ms) { return ms < 120000 ? Math.floor(ms / 1000) + " s" : Math.floor(ms / 60000) + " min"; }

// ---- Traces: a queue of samples played out at the signal's measured rate ----
function Trace(cfg) {
  this.cfg = cfg;
  this.canvas = document.getElementById("w-" + cfg.slot);
  this.row = this.canvas.closest(".row");
  this.ctx = this.canvas.getContext("2d");
  this.points = 0;       // samples drawn
  this.queue = [];       // queue[0] is the sample the pen left last, the rest wait
  this.frac = 0;         // how far the pen is from queue[0] to queue[1]
  this.playing = false;
  this.level = 0;        // samples waiting, smoothed
  this.rate = 0;         // samples per second, measured
  this.arrivals = [];    // [time, count] of recent arrivals with samples
  this.history = [];     // [time, value] of the last seconds, for computed pressures
  this.lastArrival = -Infinity;
  this.scale = 0;
  this.sweepMin = Infinity;
  this.sweepMax = -Infinity;
  this.resize();
}
Trace.prototype.resize = function () {
  var r = this.canvas.getBoundingClientRect();
  this.dpr = window.devicePixelRatio || 1;
  this.w = Math.max(1, r.width);
  this.h = Math.max(1, r.height);
  this.canvas.width = Math.max(1, Math.round(this.w * this.dpr));
  this.canvas.height = Math.max(1, Math.round(this.h * this.dpr));
  this.ctx.setTransform(this.dpr, 0, 0, this.dpr, 0, 0);
  this.ctx.clearRect(0, 0, this.w, this.h);
  this.penX = 0;
  this.penV = null;
  this.showScale();
};
Trace.prototype.showScale = function () {
  var s = this.cfg.scales[this.scale];
  setText("hi-" + this.cfg.slot, String(s[1]));
  setText("lo-" + this.cfg.slot, String(s[0]));
};
Trace.prototype.fitScale = function (lo, hi) {
  var i = 0, scales = this.cfg.scales;
  while (i < scales.length - 1 && (hi > scales[i][1] || lo < scales[i][0])) i++;
  return i;
};
Trace.prototype.setScale = function (i) {
  if (i === this.scale) return;
  this.scale = i;
  this.ctx.clearRect(0, 0, this.w, this.h);
  this.showScale();
};
Trace.prototype.y = function (v) {
  var s = this.cfg.scales[this.scale];
  var f = (Math.min(Math.max(v, s[0]), s[1]) - s[0]) / (s[1] - s[0]);
  return PAD_PX + (1 - f) * (this.h - 2 * PAD_PX);
};
// Pixels per sample: one sweep of the width at the measured rate.
Trace.prototype.dx = function () {
  var seconds = Math.max(SWEEP_SECONDS, this.w / SWEEP_MAX_PX_S);
  return this.w / (Math.max(this.rate, 1) * seconds);
};
Trace.prototype.push = function (samples, unitRate, t) {
  if (!samples.length) return;
  if (t - this.lastArrival > GAP_MS) {
    // A new stretch: not joined to what was drawn before the pause.
    this.queue = [];
    this.frac = 0;
    this.playing = false;
    this.penV = null;
    this.arrivals = [];
  }
  this.lastArrival = t;
  this.arrivals.push([t, samples.length]);
  while (this.arrivals.length > 2 && t - this.arrivals[0][0] > RATE_WINDOW_MS) this.arrivals.shift();
  var span = t - this.arrivals[0][0];
  if (span >= RATE_MIN_SPAN_MS) {
    var n = 0;
    for (var i = 1; i < this.arrivals.length; i++) n += this.arrivals[i][1];
    this.rate = n * 1000 / span;
  } else if (!this.rate && unitRate > 0) {
    this.rate = unitRate;  // the unit's count of the last second, until our own is long enough
  }
  for (var k = 0; k < samples.length; k++) {
    var v = Number(samples[k]);
    if (!isFinite(v)) continue;
    this.queue.push(v);
    this.history.push([t, v]);
  }
  while (this.history.length && t - this.history[0][0] > NUMERIC_WINDOW_MS) this.history.shift();
};
// Systolic, diastolic and mean of the last seconds of samples, or null.
Trace.prototype.pressures = function () {
  var h = this.history;
  if (h.length < 3 || h[h.length - 1][0] - h[0][0] < NUMERIC_MIN_MS) return null;
  var lo = Infinity, hi = -Infinity, sum = 0;
  for (var i = 0; i < h.length; i++) {
    lo = Math.min(lo, h[i][1]);
    hi = Math.max(hi, h[i][1]);
    sum += h[i][1];
  }
  return { sys: Math.round(hi), dia: Math.round(lo), mean: Math.round(sum / h.length) };
};
Trace.prototype.stroke = function (x, v) {
  var c = this.ctx;
  c.clearRect(this.penX, 0, x - this.penX + ERASE_AHEAD_PX, this.h);
  if (this.penV !== null) {
    c.strokeStyle = this.cfg.color;
    c.lineWidth = 2;
    c.lineJoin = "round";
    c.lineCap = "round";
    c.beginPath();
    c.moveTo(this.penX, this.y(this.penV));
    c.lineTo(x, this.y(v));
    c.stroke();
  }
  this.penX = x;
  this.penV = v;
};
// Moves the pen to sweep position x (which may pass the right edge) at value v.
Trace.prototype.lineTo = function (x, v) {
  if (x >= this.w) {
    var from = this.penV === null ? v : this.penV;
    var atEdge = from + (v - from) * (this.w - this.penX) / Math.max(x - this.penX, 1e-6);
    this.stroke(this.w, atEdge);
    // A new sweep: the scale may shrink again to what the last one needed.
    var fit = this.fitScale(this.sweepMin, this.sweepMax);
    this.sweepMin = Infinity;
    this.sweepMax = -Infinity;
    this.setScale(fit);
    this.penX = 0;
    this.penV = this.penV === null ? null : atEdge;
    x -= this.w;
  }
  var need = this.fitScale(v, v);
  if (need > this.scale) this.setScale(need);
  this.sweepMin = Math.min(this.sweepMin, v);
  this.sweepMax = Math.max(this.sweepMax, v);
  this.stroke(Math.min(x, this.w), v);
};
// One frame: plays what the time since the last frame allows.
Trace.prototype.frame = function (dt) {
  if (!this.rate) return;
  var ahead = this.queue.length - 1 - this.frac;  // samples waiting in front of the pen
  var target = this.rate * PLAY_DELAY_MS / 1000;
  if (!this.playing) {
    if (!this.queue.length || ahead < target) return;
    this.playing = true;
    this.level = ahead;
  }
  if (ahead > target + this.rate * OVERRUN_MS / 1000) {
    // Far behind (a hidden tab, a stalled machine): jump to the delay.
    var skip = Math.floor(ahead - target);
    this.queue.splice(0, skip);
    this.penV = null;
    ahead -= skip;
  }
  if (ahead <= 0) {
    this.playing = false;  // waits for the delay's worth again
    return;
  }
  this.level += (ahead - this.level) * Math.min(1, dt / 1000);
  var speed = this.rate * Math.min(2, Math.max(0.5, 1 + 0.5 * (this.level - target) / Math.max(target, 1)));
  var dx = this.dx();
  var n = Math.min(speed * dt / 1000, MAX_STEP_PX / dx, ahead);
  var x = this.penX - this.frac * dx;  // where queue[0] was drawn
  while (n > 1e-9) {
    var step = Math.min(n, 1 - this.frac);
    this.frac += step;
    n -= step;
    var a = this.queue[0], b = this.queue[1];
    var reached = this.frac >= 1 - 1e-9;
    this.lineTo(x + this.frac * dx, reached ? b : a + (b - a) * this.frac);
    if (reached) {
      this.queue.shift();
      this.frac = 0;
      this.points++;
      x = this.penX;
    }
  }
  this.canvas.dataset.points = this.points;
  this.canvas.dataset.x = this.penX.toFixed(1);
  this.canvas.dataset.rate = this.rate.toFixed(1);
};

var traces = TRACES.map(function (cfg) { return new Trace(cfg); });
var bySlot = {};
traces.forEach(function (t) { bySlot[t.cfg.slot] = t; });
window.addEventListener("resize", function () { traces.forEach(function (t) { t.resize(); }); });

var lastFrame = now();
function frame() {
  var t = now(), dt = Math.min(t - lastFrame, 1000);
  lastFrame = t;
  traces.forEach(function (tr) { tr.frame(dt); });
}
function animate() { frame(); requestAnimationFrame(animate); }
requestAnimationFrame(animate);
// Where frames are not painted (a hidden tab) the queues still move on.
setInterval(function () { if (now() - lastFrame > 200) frame(); }, 250);

// ---- Values ----
var vitals = {};
var PROBE_WORDS = { On: "probe on", Off: "probe off" };
function showVitals(v) {
  vitals = v;
  var shown = document.querySelectorAll("[data-member]");
  for (var i = 0; i < shown.length; i++) {
    var el = shown[i], member = el.dataset.member, set = has(v, member);
    var text = set ? String(v[member]) : "--";
    if (member === "spo2Override" && has(PROBE_WORDS, text)) text = PROBE_WORDS[text];
    if (el.textContent !== text) el.textContent = text;
    var opt = el.closest(".opt");
    if (opt) opt.hidden = !set;
  }
  var zeros = document.querySelectorAll("[data-zero]");
  for (var z = 0; z < zeros.length; z++) zeros[z].hidden = v[zeros[z].dataset.zero] !== "Zeroing";
  var tiles = document.querySelectorAll("[data-needs]");
  for (var k = 0; k < tiles.length; k++) {
    var any = tiles[k].dataset.needs.split(" ").some(function (m) { return has(v, m); });
    tiles[k].querySelector(".why").hidden = any;
  }
}
// ART, PA and CVP: the numerics the unit received, else computed from the trace.
function showPressures(staleRows) {
  var tiles = document.querySelectorAll("[data-press]");
  for (var i = 0; i < tiles.length; i++) {
    var tile = tiles[i], slot = tile.dataset.press;
    // Its members for systolic, diastolic and mean; "-" where the unit has none.
    var members = (tile.dataset.members || "- - -").split(" ");
    var got = members.map(function (m) { return has(vitals, m) ? String(vitals[m]) : null; });
    var tr = bySlot[slot], p = { sys: "--", dia: "--", mean: "--" }, source = "none";
    var note = tr.lastArrival < 0 ? "not received, no waveform" : "not received; computing from the waveform";
    if (got.some(function (g) { return g !== null; })) {
      p = { sys: got[0] || "--", dia: got[1] || "--", mean: got[2] || "--" };
      source = "received";
      note = "";
    } else {
      var c = tr.pressures();
      if (c) {
        p = { sys: String(c.sys), dia: String(c.dia), mean: String(c.mean) };
        source = "waveform";
        note = "computed from the waveform (last " + NUMERIC_WINDOW_MS / 1000 + " s)";
      }
    }
    var text = source === "received" && members[0] === "-" ? p.mean : p.sys + "/" + p.dia + " (" + p.mean + ")";
    var el = tile.querySelector(".press");
    if (el.textContent !== text) el.textContent = text;
    var src = tile.querySelector(".src");
    if (src.textContent !== note) src.textContent = note;
    tile.dataset.source = source;
    tile.dataset.sys = p.sys;
    tile.dataset.dia = p.dia;
    tile.dataset.mean = p.mean;
    tile.dataset.stale = String(source === "waveform" && staleRows[slot]);
  }
}

// ---- The event stream ----
var stream = {
  id: 0,               // the current try; answers to older ones are ignored
  controller: null,
  open: false,         // events are arriving
  failures: 0,         // tries in a row that ended without an event
  why: "",
  retryAt: 0,
  lastEventAt: -Infinity
};
var lastLink = null;   // the link part of the last event
var lastDataAt = null; // our clock's time of the unit's last message
var received = 0;

function onEvent(ev) {
  var t = now();
  received++;
  document.body.dataset.events = received;
  stream.open = true;
  stream.failures = 0;
  stream.lastEventAt = t;
  lastLink = ev.link || {};
  if (lastLink.lastMessageMs >= 0) {
    var at = t - lastLink.lastMessageMs;
    lastDataAt = lastDataAt === null ? at : Math.max(lastDataAt, at);
  }
  showVitals(ev.vitals || {});
  var waves = ev.waves || {};
  traces.forEach(function (tr) {
    var w = waves[tr.cfg.slot];
    if (w && Array.isArray(w.samples)) tr.push(w.samples, Number(w.perSecond) || 0, t);
  });
  refresh();
}

function onRecord(record) {
  var data = [];
  record.split("\n").forEach(function (line) {
    if (line.indexOf("data:") === 0) data.push(line.slice(line.charAt(5) === " " ? 6 : 5));
  });
  if (!data.length) return;
  var ev;
  try { ev = JSON.parse(data.join("\n")); } catch (e) { return; }
  if (ev && typeof ev === "object") onEvent(ev);
}

function retry(id, why) {
  if (id !== stream.id) return;
  stream.id++;
  if (stream.controller) stream.controller.abort();
  stream.controller = null;
  stream.open = false;
  var wait = BACKOFF_S[Math.min(stream.failures, BACKOFF_S.length - 1)];
  stream.failures++;
  stream.why = why;
  stream.retryAt = now() + wait * 1000;
  var next = stream.id;
  setTimeout(function () { if (next === stream.id) connect(); }, wait * 1000);
  refresh();
}

function connect() {
  var id = ++stream.id;
  var controller = new AbortController();
  stream.controller = controller;
  stream.retryAt = 0;
  stream.lastEventAt = now();
  refresh();
  fetch("events", { cache: "no-store", signal: controller.signal }).then(function (res) {
    if (id !== stream.id) return;
    if (res.status === 503) return retry(id, "too many viewers");
    if (!res.ok || !res.body) return retry(id, "monitor answered " + res.status);
    var reader = res.body.getReader(), decoder = new TextDecoder(), buffer = "";
    function pump() {
      return reader.read().then(function (r) {
        if (id !== stream.id) return;
        if (r.done) return retry(id, "monitor offline");
        buffer += decoder.decode(r.value, { stream: true });
        var end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
          var record = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          onRecord(record);
        }
        if (buffer.length > MAX_RECORD_CHARS) return retry(id, "monitor sent an event too long");
        return pump();
      });
    }
    return pump();
  }).catch(function () { retry(id, "monitor offline"); });
}

// ---- What the bar, the notes and the stale marks say, from one place ----
function refresh() {
  var t = now();
  if (stream.controller && t - stream.lastEventAt > SILENT_STREAM_MS) {
    retry(stream.id, "monitor offline");
    return;
  }
  var age = lastDataAt === null ? null : Math.max(0, t - lastDataAt);
  var stale = !stream.open || age === null || age > STALE_MS;
  var body = document.body;
  var chip, link;
  if (stream.open) {
    link = lastLink.connected ? "connected" : "disconnected";
    chip = lastLink.connected ? (stale ? "bridge connected: no data" : "bridge connected") : "no bridge";
  } else if (stream.retryAt) {
    link = stream.why === "too many viewers" ? "refused" : "offline";
    chip = stream.why + ": retrying in " + Math.max(1, Math.ceil((stream.retryAt - t) / 1000)) + " s";
  } else {
    link = received ? "offline" : "connecting";
    chip = received ? "reconnecting" : "connecting";
  }
  body.dataset.link = link;
  body.dataset.stale = String(stale);
  setText("link", chip);
  setText("last", age === null ? "no message yet" : "last message " + ageText(age) + " ago");
  setText("rate", stream.open ? (Number(lastLink.messagesPerSecond) || 0) + " msg/s" : "-- msg/s");
  setText("conns", "connections " + (stream.open ? Number(lastLink.connections) || 0 : "--"));
  var note = age === null ? "no data yet" : "no data for " + wholeAge(age);
  setText("numerics-age", note);
  var staleRows = {};
  traces.forEach(function (tr) {
    var slot = tr.cfg.slot, quiet = t - tr.lastArrival, rowNote = note;
    var rowStale = stale || quiet > STALE_MS;
    if (!stale && rowStale) rowNote = tr.lastArrival < 0 ? "no signal" : "no samples for " + wholeAge(quiet);
    staleRows[slot] = rowStale;
    tr.row.dataset.stale = String(rowStale);
    setText("age-" + slot, rowStale ? rowNote : "");
    setText("rate-" + slot, rowStale || !tr.rate ? "--/s" : Math.round(tr.rate) + "/s");
  });
  showPressures(staleRows);
}

function tick() {
  var d = new Date();
  function two(n) { return (n < 10 ? "0" : "") + n; }
  setText("clock", two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds()));
  refresh();
}
tick();
setInterval(tick, 250);
connect();
</script>
</body>
</html>
)PAGE";
    return page;
}
