// The dashboard of varek-server. Every call goes to the authenticated API of the
// same origin; the token lives in this browser's local storage and only ever
// travels in the Authorization header.
"use strict";

const TOKEN_KEY = "varek.apiToken";
const COLOURS = { voltage: "rgb(255, 194, 77)", current: "rgb(69, 222, 189)", power: "rgb(107, 168, 255)" };
const UNITS = { voltage: "V", current: "A", power: "W" };
// At 10 Hz this keeps the longest window with room to spare; /v1/history fills it at start.
const KEPT_SECONDS = 3600;

const $ = (id) => document.getElementById(id);

const state = {
  token: null,
  generation: 0,  // bumped on forget or a new token: late replies of old loops are dropped
  periodMs: 1000,
  points: [],  // {t (s), voltage, current, power}
  metric: "voltage",
  windowSeconds: 60,
  output: null,
  busy: false,
  actions: 0,  // confirmed writes so far
  confirmedAt: -Infinity,  // performance.now() of the latest confirmed write
  setpoints: null,  // {voltage, current} of the latest sample: where a plan's first ramp starts
};

class ApiError extends Error {
  constructor(status, body) {
    super(describe(status, body));
    this.status = status;
    this.body = body;
  }
}

function describe(status, body) {
  const error = body && body.error;
  if (status === 0) return "无法连接到 varek-server，请检查网络。";
  if (status === 401) return "令牌错误：服务器拒绝了这个令牌，请重新输入。";
  if (error === "power_supply_unavailable") return "电源不可用：电源未连接或未响应。";
  if (error === "device_confirmation_failed") return "电源确认失败：" + (body.message || "读回值与请求不一致。");
  if (error === "invalid_request") return "请求无效：" + (body.message || "");
  if (error === "sequence_running") return "序列“" + body.name + "”正在运行。";
  if (error === "no_sequence") return "没有正在运行的序列。";
  return "服务器错误（HTTP " + status + "）。";
}

async function api(method, path, body) {
  const generation = state.generation;
  const headers = { Authorization: "Bearer " + state.token };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  let response;
  try {
    response = await fetch(path, {
      method, headers, cache: "no-store", credentials: "omit",
      // A string (a profile file) goes as it is, so that the server judges what was picked.
      body: body === undefined ? undefined : typeof body === "string" ? body : JSON.stringify(body),
    });
  } catch (e) {
    throw new ApiError(0, null);
  }
  let parsed = null;
  try { parsed = await response.json(); } catch (e) { parsed = null; }
  if (generation !== state.generation) throw new ApiError(-1, null);
  if (!response.ok) throw new ApiError(response.status, parsed);
  return parsed;
}

function showError(text) {
  const box = $("error");
  box.textContent = text || "";
  box.hidden = !text;
}

function fixed2(value) { return Number(value).toFixed(2); }

function clearReadings() {
  for (const name of ["voltage", "current", "power"]) {
    $(name + "Value").textContent = "—";
    $(name + "Status").textContent = "等待连接";
  }
  for (const id of ["modePill", "protectionPill", "outputState", "linkState", "reconnects", "pollRate",
                    "recording", "ceilings", "sequence"]) $(id).textContent = "—";
  $("linkPill").textContent = "未连接";
  $("linkPill").className = "pill";
  $("voltageSetNow").textContent = "读回 —";
  $("currentSetNow").textContent = "读回 —";
  $("outputConfirm").textContent = "";
  $("setpointConfirm").textContent = "";
  $("outputButton").disabled = true;
  $("applyButton").disabled = true;
  $("sequenceStop").hidden = true;
  state.points = [];
  state.setpoints = null;
  drawChart();
  clearSequence();
}

// `stale`: a write was confirmed while this sample was on its way, so its output
// state and setpoints are older than the confirmation already shown.
function showSample(sample, stale) {
  $("voltageValue").textContent = fixed2(sample.voltage_V);
  $("currentValue").textContent = fixed2(sample.current_A);
  $("powerValue").textContent = fixed2(sample.power_W);
  for (const name of ["voltage", "current", "power"]) $(name + "Status").textContent = "实时输出";
  $("modePill").textContent = sample.mode_name;
  $("protectionPill").textContent = sample.protection_name;
  $("protectionPill").className = sample.protection === 0 ? "pill" : "pill bad";
  if (!stale) {
    showOutput(sample.output_enabled);
    $("voltageSetNow").textContent = "读回 " + fixed2(sample.voltage_set_V) + " V";
    $("currentSetNow").textContent = "读回 " + fixed2(sample.current_limit_A) + " A";
  }
  $("applyButton").disabled = state.busy;
  state.setpoints = { voltage: sample.voltage_set_V, current: sample.current_limit_A };
  const t = Date.parse(sample.time) / 1000;
  const last = state.points[state.points.length - 1];
  if (!last || t > last.t) {
    state.points.push({ t, voltage: sample.voltage_V, current: sample.current_A, power: sample.power_W });
    trimPoints();
    drawChart();
  }
}

function showOutput(enabled) {
  state.output = enabled;
  $("outputState").textContent = enabled ? "开启" : "关闭";
  const button = $("outputButton");
  button.textContent = enabled ? "关闭输出" : "开启输出";
  button.classList.toggle("on", enabled);
  button.disabled = state.busy;
}

function trimPoints() {
  const last = state.points[state.points.length - 1];
  if (!last) return;
  const from = last.t - KEPT_SECONDS;
  let drop = 0;
  while (drop < state.points.length && state.points[drop].t < from) drop++;
  if (drop) state.points.splice(0, drop);
}

function linkText(link) {
  if (link.state === "connected") return "已连接";
  const since = new Date(link.since).toLocaleTimeString("zh-CN", { hour12: false });
  if (link.state === "refused") {
    return "已拒绝：找到序列号 " + (link.found_serial === null ? "未知" : link.found_serial) + " 的电源（自 " + since + "）";
  }
  return "已断开，自 " + since + " 起重连中";
}

function showServer(server) {
  const connected = server.link.state === "connected";
  $("linkPill").textContent = connected ? "已连接" : server.link.state === "refused" ? "已拒绝" : "已断开";
  $("linkPill").className = connected ? "pill ok" : "pill bad";
  $("linkState").textContent = linkText(server.link);
  $("linkState").className = connected ? "" : "bad";
  $("reconnects").textContent = String(server.reconnects);
  $("pollRate").textContent = server.poll_hz ? server.poll_hz + " Hz" + (server.on_demand ? "（有人查看时）" : "") : "未采样";
  if (server.poll_hz) state.periodMs = 1000 / server.poll_hz;
  const recording = server.recording;
  $("recording").textContent = !recording ? "未开启"
    : recording.paused ? "已暂停：" + recording.reason
    : "记录中 " + (recording.file || recording.directory);
  $("recording").className = recording && recording.paused ? "bad" : "";
  $("ceilings").textContent = fixed2(server.ceilings.voltage_V) + " V · " + fixed2(server.ceilings.current_limit_A) + " A";
  // The server's ceilings, never above the supply's own range, bound what can be typed.
  $("voltageInput").max = server.ceilings.voltage_V;
  $("currentInput").max = server.ceilings.current_limit_A;
  const sequence = server.sequence;
  const running = sequence && sequence.state === "running";
  $("sequence").textContent = !sequence ? "无"
    : running ? "“" + sequence.name + "” 第 " + sequence.step + " / " + sequence.steps + " 步"
    : "“" + sequence.name + "” " + sequence.state + (sequence.reason ? "：" + sequence.reason : "");
  $("sequenceStop").hidden = !running;
}

// Live loops: one request at a time each, paced start to start.
function loop(work, periodOf) {
  const generation = state.generation;
  const tick = async () => {
    if (generation !== state.generation) return;
    const started = performance.now();
    let delay;
    try {
      await work();
      delay = periodOf(true);
    } catch (e) {
      if (generation !== state.generation || e.status === -1) return;
      if (e.status === 401) return rejectToken();
      showError(e.message);
      delay = periodOf(false);
    }
    if (generation !== state.generation) return;
    setTimeout(tick, Math.max(0, delay - (performance.now() - started)));
  };
  tick();
}

async function readLatest() {
  const actions = state.actions;
  const sample = await api("GET", "/v1/latest");
  // The poller's sample may have been taken before a write that is already
  // confirmed: it then says nothing new about the output or the setpoints.
  const takenAt = performance.now() - sample.age_s * 1000;
  showSample(sample, state.busy || actions !== state.actions || takenAt <= state.confirmedAt);
  showError("");
}

async function readServer() { showServer(await api("GET", "/v1/server")); }

async function readHistory() {
  const history = await api("GET", "/v1/history");
  const points = [];
  for (let i = 0; i < history.time_s.length; i++) {
    points.push({ t: history.time_s[i], voltage: history.voltage_V[i], current: history.current_A[i],
                  power: history.power_W[i] });
  }
  const newer = state.points.filter((p) => !points.length || p.t > points[points.length - 1].t);
  state.points = points.concat(newer);
  trimPoints();
  drawChart();
}

function rejectToken() {
  state.generation++;
  localStorage.removeItem(TOKEN_KEY);
  clearReadings();
  showError(describe(401));
  $("tokenPanel").hidden = false;
  $("tokenInput").focus();
}

async function begin() {
  const generation = ++state.generation;
  $("tokenPanel").hidden = true;
  showError("");
  try {
    showServer(await api("GET", "/v1/server"));
  } catch (e) {
    if (generation !== state.generation) return;
    if (e.status === 401) return rejectToken();
    showError(e.message);
    $("tokenPanel").hidden = false;
    return;
  }
  loop(readLatest, (ok) => (ok ? state.periodMs : Math.min(state.periodMs, 250)));
  loop(readServer, () => 1000);
  loop(readSequence, sequencePeriod);
  readHistory().catch(() => {});
}

async function act(confirmId, work) {
  const confirm = $(confirmId);
  state.busy = true;
  $("outputButton").disabled = true;
  $("applyButton").disabled = true;
  confirm.className = "confirm";
  confirm.textContent = "等待电源确认…";
  try {
    const reply = await work();
    state.actions++;
    state.confirmedAt = performance.now();
    showOutput(reply.output_enabled);
    return reply;
  } catch (e) {
    if (e.status === 401) return rejectToken();
    confirm.className = "confirm bad";
    confirm.textContent = e.message;
    return null;
  } finally {
    state.busy = false;
    $("outputButton").disabled = state.output === null;
    $("applyButton").disabled = state.output === null;
  }
}

function switchOutput() {
  const wanted = !state.output;
  act("outputConfirm", () => api("POST", wanted ? "/v1/output/on" : "/v1/output/off")).then((reply) => {
    if (!reply) return;
    $("outputConfirm").textContent = "已确认（verified）：输出" + (reply.output_enabled ? "开启" : "关闭");
  });
}

function applySetpoints(event) {
  event.preventDefault();
  const body = {};
  const voltage = $("voltageInput").value.trim();
  const current = $("currentInput").value.trim();
  if (voltage !== "") body.voltage_V = Number(voltage);
  if (current !== "") body.current_limit_A = Number(current);
  if (!Object.keys(body).length) {
    $("setpointConfirm").className = "confirm bad";
    $("setpointConfirm").textContent = "请输入设定电压或电流上限。";
    return;
  }
  act("setpointConfirm", () => api("POST", "/v1/setpoints", body)).then((reply) => {
    if (!reply) return;
    $("setpointConfirm").textContent = "已确认（verified）：" + fixed2(reply.voltage_set_V) + " V · " +
      fixed2(reply.current_limit_A) + " A";
    $("voltageSetNow").textContent = "读回 " + fixed2(reply.voltage_set_V) + " V";
    $("currentSetNow").textContent = "读回 " + fixed2(reply.current_limit_A) + " A";
  });
}

async function stopSequence() {
  try {
    showServer({ ...(await api("GET", "/v1/server")), sequence: await api("POST", "/v1/sequence/stop") });
  } catch (e) {
    if (e.status === 401) return rejectToken();
    showError(e.message);
  }
}

// The chart: the chosen metric over the chosen window, drawn in device pixels.
function drawChart() {
  const canvas = $("chart");
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  const g = canvas.getContext("2d");
  g.clearRect(0, 0, width, height);
  const last = state.points[state.points.length - 1];
  const end = last ? last.t : Date.now() / 1000;
  const start = end - state.windowSeconds;
  const visible = state.points.filter((p) => p.t >= start);
  canvas.dataset.points = String(visible.length);
  $("sampleCount").textContent = visible.length ? visible.length + " 个采样" : "暂无采样";
  const left = 52 * ratio, right = width - 10 * ratio, top = 10 * ratio, bottom = height - 24 * ratio;
  let low = Infinity, high = -Infinity;
  for (const p of visible) { low = Math.min(low, p[state.metric]); high = Math.max(high, p[state.metric]); }
  if (!visible.length) { low = 0; high = 1; }
  if (high - low < 0.1) { const mid = (high + low) / 2; low = mid - 0.05; high = mid + 0.05; }
  const pad = (high - low) * 0.1;
  low = Math.max(0, low - pad); high += pad;
  const x = (t) => left + ((t - start) / state.windowSeconds) * (right - left);
  const y = (v) => bottom - ((v - low) / (high - low)) * (bottom - top);
  g.font = 11 * ratio + "px sans-serif";
  g.fillStyle = "rgb(138, 153, 173)";
  g.strokeStyle = "rgba(255, 255, 255, 0.08)";
  g.lineWidth = 1;
  g.textBaseline = "middle";
  g.textAlign = "right";
  for (let i = 0; i <= 4; i++) {
    const v = low + ((high - low) * i) / 4;
    g.beginPath(); g.moveTo(left, y(v)); g.lineTo(right, y(v)); g.stroke();
    g.fillText(v.toFixed(2), left - 6 * ratio, y(v));
  }
  g.textBaseline = "top";
  for (let i = 0; i <= 4; i++) {
    const t = start + (state.windowSeconds * i) / 4;
    // The last label ends at the edge instead of running off it.
    g.textAlign = i === 4 ? "right" : "center";
    g.fillText(new Date(t * 1000).toLocaleTimeString("zh-CN", { hour12: false }), x(t), bottom + 6 * ratio);
  }
  g.textAlign = "left";
  g.fillText(UNITS[state.metric], 4 * ratio, top);
  if (!visible.length) return;
  g.strokeStyle = COLOURS[state.metric];
  g.lineWidth = 2 * ratio;
  g.beginPath();
  visible.forEach((p, i) => (i ? g.lineTo(x(p.t), y(p[state.metric])) : g.moveTo(x(p.t), y(p[state.metric]))));
  g.stroke();
  if (visible.length === 1) {
    g.fillStyle = COLOURS[state.metric];
    g.beginPath(); g.arc(x(visible[0].t), y(visible[0][state.metric]), 3 * ratio, 0, 2 * Math.PI); g.fill();
  }
}

function picker(id, attribute, choose) {
  const buttons = $(id).querySelectorAll("button");
  for (const button of buttons) {
    button.addEventListener("click", () => {
      for (const other of buttons) other.setAttribute("aria-pressed", String(other === button));
      choose(button.dataset[attribute]);
      drawChart();
    });
  }
}

function forget() {
  localStorage.removeItem(TOKEN_KEY);
  state.token = null;
  state.generation++;
  clearReadings();
  showError("");
  $("tokenInput").value = "";
  $("tokenPanel").hidden = false;
  $("tokenInput").focus();
}

document.addEventListener("DOMContentLoaded", () => {
  $("tokenForm").addEventListener("submit", (event) => {
    event.preventDefault();
    const token = $("tokenInput").value.trim();
    if (!token) return;
    state.token = token;
    localStorage.setItem(TOKEN_KEY, token);
    $("tokenInput").value = "";
    begin();
  });
  $("outputButton").addEventListener("click", switchOutput);
  $("setpointForm").addEventListener("submit", applySetpoints);
  $("sequenceStop").addEventListener("click", stopSequence);
  $("forgetButton").addEventListener("click", forget);
  picker("metricPicker", "metric", (metric) => { state.metric = metric; });
  picker("windowPicker", "window", (seconds) => { state.windowSeconds = Number(seconds); });
  window.addEventListener("resize", drawChart);
  drawChart();
  state.token = localStorage.getItem(TOKEN_KEY);
  if (state.token) begin();
  else $("tokenInput").focus();
});
