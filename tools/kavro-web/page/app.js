// The page of one kavro link. Everything that came from the PBX or from kavro
// goes into the page as text (textContent), never as markup.
"use strict";

const RECORDS_KEPT = 200;
const SAMPLES_KEPT = 600;
const HOUR_MS = 3600 * 1000;
const RENDER_MS = 500;

const $ = (id) => document.getElementById(id);
const state = {
  csrf: "", events: null, paused: false, records: [], unseen: 0, fresh: 0, renderTimer: 0, renderedAt: -1e9,
  samples: [], timeline: [], charts: null, chartsDirty: false, last: null,
};

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

function clock(ms) {
  const d = new Date(ms);
  const p = (n, w = 2) => String(n).padStart(w, "0");
  return `${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}.${p(d.getMilliseconds(), 3)}`;
}

function duration(ms) {
  let s = Math.floor(ms / 1000);
  const d = Math.floor(s / 86400); s %= 86400;
  const h = Math.floor(s / 3600); s %= 3600;
  const m = Math.floor(s / 60); s %= 60;
  return (d ? d + " d " : "") + (d || h ? h + " h " : "") + (d || h || m ? m + " min " : "") + s + " s";
}

function printable(hex) {
  let text = "";
  for (let i = 0; i < hex.length; i += 2) {
    const c = parseInt(hex.substr(i, 2), 16);
    text += c >= 0x20 && c < 0x7f ? String.fromCharCode(c) : ".";
  }
  return text;
}

function spaced(hex) { return hex.replace(/(..)(?=.)/g, "$1 "); }

function cssClass(s) { return s.replace(/ /g, "-"); }

// --- Login -----------------------------------------------------------------

async function post(url, fields, headers = {}) {
  return fetch(url, {
    method: "POST", credentials: "same-origin",
    headers: Object.assign({"Content-Type": "application/x-www-form-urlencoded"}, headers),
    body: new URLSearchParams(fields).toString(),
  });
}

async function begin() {
  const r = await fetch("/api/session", {credentials: "same-origin"});
  if (r.status === 200) return start(await r.json());
  showLogin("");
}

function showLogin(message) {
  if (state.events) { state.events.close(); state.events = null; }
  $("main").hidden = true;
  $("logout").hidden = true;
  $("banner").hidden = true;
  $("login").hidden = false;
  $("login-error").textContent = message;
  $("login-user").focus();
}

$("login-form").addEventListener("submit", async (e) => {
  e.preventDefault();
  const r = await post("/api/login", {user: $("login-user").value, password: $("login-password").value});
  $("login-password").value = "";
  if (r.status !== 200) {
    let why = "login refused";
    try { why = (await r.json()).error; } catch (_) { /* keep the default */ }
    return showLogin(why);
  }
  start(await r.json());
});

$("logout").addEventListener("click", async () => {
  await post("/api/logout", {});
  showLogin("logged out");
});

// --- The stream ------------------------------------------------------------

function start(session) {
  state.csrf = session.csrf;
  $("login").hidden = true;
  $("main").hidden = false;
  $("logout").hidden = false;
  $("who").textContent = session.user;
  $("link-name").textContent = session.link;
  document.title = "kavro " + session.link;
  $("send-panel").hidden = !session.allow_send;
  makeCharts();
  connect();
}

function connect() {
  if (state.events) state.events.close();
  const events = new EventSource("/events");
  state.events = events;
  const take = (e) => apply(JSON.parse(e.data), e.type === "snapshot");
  events.addEventListener("snapshot", take);
  events.addEventListener("update", take);
  events.onerror = async () => {
    showBanner("The connection to kavro-web is lost; reconnecting…", false);
    if (events.readyState !== EventSource.CLOSED) return;  // the browser retries by itself
    // Refused (a login that ended, too many pages): find out which.
    try {
      const r = await fetch("/api/session", {credentials: "same-origin"});
      if (r.status === 401) return showLogin("your login has ended; log in again");
      if (r.status === 200) showBanner("kavro-web sends this page no updates (too many pages open?); trying again", false);
    } catch (_) { /* the server is away: try again below */ }
    setTimeout(() => { if (state.events === events) connect(); }, 2000);
  };
}

function showBanner(text, warn) {
  const b = $("banner");
  b.textContent = text;
  b.className = warn ? "banner warn" : "banner";
  b.hidden = false;
}

function apply(u, snapshot) {
  state.last = u;
  const s = u.status;
  if (!s) {
    showBanner("kavro is not running on link " + u.link + (u.kavro_error ? " (" + u.kavro_error + ")" : ""), false);
  } else if (u.state !== "established") {
    showBanner("The link is " + u.state + " (" + s.state + ")", false);
  } else if (!u.observing) {
    showBanner("No records from kavro's library socket: the record list is not current", true);
  } else {
    $("banner").hidden = true;
  }
  showLink(u);
  if (u.timeline) state.timeline = u.timeline;
  showTimeline(u.now);
  if (snapshot) state.samples = [];
  for (const p of u.samples) state.samples.push(p);
  if (state.samples.length > SAMPLES_KEPT) state.samples.splice(0, state.samples.length - SAMPLES_KEPT);
  if (u.samples.length > 0 || snapshot) updateCharts();
  takeRecords(u.records, snapshot);
  showCounters(u);
  showBridge(u.broker);
}

// --- Panels ----------------------------------------------------------------

function showLink(u) {
  const s = u.status || {};
  $("f-link").textContent = s.link || u.link;
  $("f-kind").textContent = s.kind || "—";
  $("f-device").textContent = s.device || "—";
  const st = $("f-state");
  st.textContent = u.state;
  st.className = "state " + cssClass(u.state);
  $("f-since").textContent = (u.state_since_seen ? "" : "at least ") + new Date(u.state_since).toLocaleString();
  $("f-uptime").textContent = s.uptime_ms !== undefined ? duration(s.uptime_ms) : "—";
}

function showTimeline(now) {
  const bar = $("timeline");
  const from = now - HOUR_MS;
  const parts = [];
  for (let i = 0; i < state.timeline.length; i++) {
    const [at, name] = state.timeline[i];
    const end = i + 1 < state.timeline.length ? state.timeline[i + 1][0] : now;
    const a = Math.max(at, from);
    if (end <= a) continue;
    const d = el("div", undefined, cssClass(name));
    d.style.width = ((end - a) / HOUR_MS * 100).toFixed(3) + "%";
    d.title = name + " from " + new Date(a).toLocaleTimeString();
    parts.push(d);
  }
  bar.replaceChildren(...parts);
}

function makeCharts() {
  if (state.charts || !window.Chart) return;
  const line = (label, color) => ({label, data: [], borderColor: color, backgroundColor: color,
    borderWidth: 1.5, pointRadius: 0, tension: 0});
  const options = (title) => ({
    animation: false, responsive: true, maintainAspectRatio: false, normalized: true,
    plugins: {title: {display: true, text: title}, legend: {position: "bottom"}},
    scales: {x: {ticks: {maxTicksLimit: 6, maxRotation: 0}}, y: {beginAtZero: true, suggestedMax: 1}},
  });
  state.charts = [
    new Chart($("chart-records"), {type: "line", data: {labels: [], datasets: [
      line("received /s", "#1565c0"), line("sent /s", "#6a1b9a")]}, options: options("Records per second")}),
    new Chart($("chart-errors"), {type: "line", data: {labels: [], datasets: [
      line("retransmissions", "#ef6c00"), line("REJ", "#c62828"), line("damaged frames", "#6d4c41"),
      line("link resets", "#000000")]}, options: options("Errors per second")}),
  ];
}

function updateCharts() {
  if (!state.charts) return;
  const labels = state.samples.map((p) => clock(p[0] * 1000).slice(0, 8));
  const [records, errors] = state.charts;
  records.data.labels = labels;
  errors.data.labels = labels;
  records.data.datasets[0].data = state.samples.map((p) => p[1]);
  records.data.datasets[1].data = state.samples.map((p) => p[2]);
  for (let i = 0; i < 4; i++) errors.data.datasets[i].data = state.samples.map((p) => p[3 + i]);
  records.update("none");
  errors.update("none");
}

function recordRow(r) {
  const [, time, address, hex] = r;
  const row = el("div", undefined, "row");
  row.setAttribute("role", "row");
  row.append(el("span", clock(time)), el("span", "0x" + address.toString(16).padStart(2, "0").toUpperCase()),
    el("span", hex.length / 2), el("span", spaced(hex)), el("span", printable(hex)));
  return row;
}

function matches(r, filter) {
  if (!filter) return true;
  const f = filter.toLowerCase();
  const address = "0x" + r[2].toString(16).padStart(2, "0");
  return address.includes(f) || String(r[2]) === f || r[3].toLowerCase().includes(f.replace(/\s+/g, "")) ||
    printable(r[3]).toLowerCase().includes(f);
}

function takeRecords(list, snapshot) {
  if (snapshot) state.records = [];
  // Newest first; only the last RECORDS_KEPT count.
  for (const r of list.slice(-RECORDS_KEPT)) state.records.unshift(r);
  if (state.records.length > RECORDS_KEPT) state.records.length = RECORDS_KEPT;
  if (state.paused) {
    state.unseen += list.length;
    $("records-note").textContent = "paused: " + state.unseen + " new records not shown";
    return;
  }
  state.fresh = snapshot ? RECORDS_KEPT : Math.min(state.fresh + list.length, RECORDS_KEPT);
  // At most two rebuilds a second: at a thousand records a second each
  // rebuild replaces the whole list, and nobody reads faster than that.
  if (state.renderTimer) return;
  const wait = Math.max(0, state.renderedAt + RENDER_MS - performance.now());
  state.renderTimer = setTimeout(() => {
    state.renderTimer = 0;
    state.renderedAt = performance.now();
    if (!state.paused) renderRecords(state.fresh);
    state.fresh = 0;
  }, wait);
}

// `fresh` records at the top are new; with no filter only they are added.
function renderRecords(fresh) {
  const body = $("records-body");
  const filter = $("filter").value.trim();
  if (filter || fresh >= body.children.length) {
    body.replaceChildren(...state.records.filter((r) => matches(r, filter)).map(recordRow));
  } else if (fresh > 0) {
    const rows = state.records.slice(0, fresh).map(recordRow);
    body.prepend(...rows);
    while (body.children.length > RECORDS_KEPT) body.lastChild.remove();
  }
  $("records-note").textContent = filter ? body.children.length + " of " + state.records.length + " shown" : "";
}

$("pause").addEventListener("click", () => {
  state.paused = !state.paused;
  $("pause").textContent = state.paused ? "Resume" : "Pause";
  if (!state.paused) { state.unseen = 0; renderRecords(RECORDS_KEPT); }
});
$("filter").addEventListener("input", () => { if (!state.paused) renderRecords(RECORDS_KEPT); });

function rows(body, pairs) {
  body.replaceChildren(...pairs.map(([k, v]) => {
    const tr = document.createElement("tr");
    tr.append(el("th", k), el("td", v === null || v === undefined ? "unknown" : v));
    return tr;
  }));
}

function showCounters(u) {
  const s = u.status;
  if (!s) return rows($("counters-body"), [["kavro", "not running"]]);
  rows($("counters-body"), [
    ["frames sent", s.frames_sent], ["frames received", s.frames_received],
    ["payloads sent", s.payloads_sent], ["payloads received", s.payloads_received],
    ["retransmissions", s.retransmissions], ["rejected frames (REJ)", s.rejected],
    ["damaged frames", s.damaged], ["link resets", s.link_resets], ["send queue", s.send_queue],
    ["last frame from PBX", s.since_last_frame_ms === null ? "never" : duration(s.since_last_frame_ms) + " ago"],
    ["clients", s.listeners], ["acknowledged clients", s.acknowledged_clients],
    ["records lost to slow clients", s.records_lost], ["records refused", s.records_not_taken],
    ["records unacknowledged", s.records_unacknowledged],
    ["records this page missed (not lost)", u.missed],
  ]);
}

function showBridge(broker) {
  const panel = $("bridge-panel");
  if (!broker) { panel.hidden = true; return; }
  panel.hidden = false;
  const pairs = [["kavro-web's broker connection", broker.connected ? "connected" : "not connected" +
    (broker.error ? " (" + broker.error + ")" : "")]];
  pairs.push(["bridge", broker.bridge_state || "unknown (no state on the broker)"]);
  let status = null;
  try { status = broker.status ? JSON.parse(broker.status) : null; } catch (_) { status = null; }
  if (!status || typeof status !== "object") {
    pairs.push(["bridge", "no status from kavro-mqtt on the broker"]);
  } else {
    if (status.time) pairs.push(["status of", status.time]);
    const b = status.bridge && typeof status.bridge === "object" ? status.bridge : {};
    for (const [k, v] of Object.entries(b)) pairs.push([k.replace(/_/g, " "), typeof v === "object" ? JSON.stringify(v) : v]);
  }
  rows($("bridge-body"), pairs);
}

// --- Sending ---------------------------------------------------------------

$("send-form").addEventListener("submit", async (e) => {
  e.preventDefault();
  const r = await post("/api/send", {
    address: $("send-address").value, payload: $("send-payload").value,
    format: $("send-hex").checked ? "hex" : "text"}, {"X-CSRF-Token": state.csrf});
  let answer;
  try { answer = await r.json(); } catch (_) { answer = {error: "no answer (" + r.status + ")"}; }
  $("send-answer").textContent = answer.error ? "kavro-web: " + answer.error
    : answer.accepted ? "sent (" + answer.message + ")" : answer.message;
});

begin().catch(() => showLogin("kavro-web cannot be reached"));
