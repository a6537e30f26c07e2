// The sequence panel of the dashboard: a profile file picked on this computer, its
// steps and plan, started on varek-server (which validates it and answers with its
// own message when it refuses), and the run of whoever started one, followed and stopped.
"use strict";

const seq = {
  text: null,       // the file's text, sent as it is
  profile: null,    // the same, when it is JSON shaped like a profile
  plan: null,
  progress: null,   // the latest GET /v1/sequence body; null before any run
  startedHere: false,
};

const UNTIL = {
  current_below_A: ["电流低于", "A"], current_above_A: ["电流高于", "A"],
  voltage_below_V: ["电压低于", "V"], voltage_above_V: ["电压高于", "V"],
};
const RUN_STATES = { running: "运行中", finished: "已完成", stopped: "已停止", aborted: "已中止" };

// Seconds as the server keeps them: whole milliseconds.
function secondsOf(value) { return typeof value === "number" ? Math.round(value * 1000) / 1000 : 0; }

// The desktop's preview rules (core/src/sequence_plan.cpp): a ramp is a slope from the
// setpoints in force, a step without one jumps, an `until` step runs to its time limit.
function planOf(profile, voltage, current) {
  let now = 0;
  const points = [{ t: 0, v: voltage, c: current }];
  const steps = [];
  const corner = (t) => {
    const last = points[points.length - 1];
    if (last.t !== t || last.v !== voltage || last.c !== current) points.push({ t, v: voltage, c: current });
  };
  for (const step of profile.steps) {
    const placed = { start: now, rampEnd: now, end: now, until: step.until !== undefined };
    if (typeof step.voltage_V === "number" || typeof step.current_limit_A === "number") {
      if (typeof step.voltage_V === "number") voltage = step.voltage_V;
      if (typeof step.current_limit_A === "number") current = step.current_limit_A;
      now += secondsOf(step.ramp_s);
      corner(now);
    }
    placed.rampEnd = now;
    now += secondsOf(step.hold_s);
    placed.end = now;
    corner(now);
    steps.push(placed);
  }
  return { points, steps, total: now };
}

function durationText(seconds) {
  if (seconds < 60) return (Number.isInteger(seconds) ? String(seconds) : seconds.toFixed(1)) + " s";
  const whole = Math.floor(seconds);
  const two = (n) => String(n).padStart(2, "0");
  const hours = Math.floor(whole / 3600);
  const minutes = Math.floor(whole / 60) % 60;
  return hours ? hours + ":" + two(minutes) + ":" + two(whole % 60) : minutes + ":" + two(whole % 60);
}

function cellText(value) { return value === undefined ? "—" : String(value); }

function stepCells(step, index) {
  const until = step.until && typeof step.until === "object" ? Object.entries(step.until)[0] : null;
  const named = until && UNTIL[until[0]];
  return [
    String(index + 1), cellText(step.voltage_V), cellText(step.current_limit_A), cellText(step.ramp_s),
    step.output === true ? "开启" : step.output === false ? "关闭" : "不变", cellText(step.hold_s),
    !until ? "—" : named ? named[0] + " " + until[1] + " " + named[1] : JSON.stringify(step.until),
  ];
}

function showProfile() {
  const body = $("profileSteps").tBodies[0];
  body.replaceChildren();
  const profile = seq.profile;
  $("profileName").textContent = !seq.text ? "未选择配置文件"
    : profile ? "“" + profile.name + "” · " + profile.steps.length + " 步"
    : "文件不是序列配置的 JSON，预览不可用；开始时由服务器检查。";
  if (profile) {
    profile.steps.forEach((step, i) => {
      const row = body.insertRow();
      for (const text of stepCells(step, i)) row.insertCell().textContent = text;
    });
  }
  const setpoints = state.setpoints || { voltage: 0, current: 0 };
  seq.plan = profile ? planOf(profile, setpoints.voltage, setpoints.current) : null;
  $("planTotal").textContent = seq.plan
    ? "计划总时长 " + durationText(seq.plan.total) + (seq.plan.steps.some((s) => s.until) ? "（最长）" : "") : "";
  showRun(seq.progress);
}

async function chooseProfile() {
  const file = $("profileInput").files[0];
  $("runMessage").textContent = "";
  if (!file) return;
  seq.text = await file.text();
  seq.profile = null;
  try {
    const parsed = JSON.parse(seq.text);
    if (parsed && typeof parsed.name === "string" && Array.isArray(parsed.steps) &&
        parsed.steps.every((s) => s && typeof s === "object" && !Array.isArray(s))) seq.profile = parsed;
  } catch (e) { /* the server words what is wrong */ }
  showProfile();
}

function runningHere() {
  const p = seq.progress;
  return Boolean(p && p.state === "running" && seq.profile && seq.startedHere && p.name === seq.profile.name);
}

function showRun(progress) {
  seq.progress = progress;
  const running = Boolean(progress && progress.state === "running");
  if (progress && !running) seq.startedHere = false;
  $("profileStart").disabled = !seq.text || !state.token || running;
  $("profileStop").disabled = !running;
  $("runState").dataset.state = progress ? progress.state : "";
  $("runState").textContent = !progress ? "尚未运行"
    : "“" + progress.name + "” " + RUN_STATES[progress.state] + (progress.reason ? "：" + progress.reason : "");
  $("runStep").textContent = progress ? "步骤 " + progress.step + "/" + progress.steps : "";
  let elapsed = progress ? "本步 " + progress.step_elapsed_s.toFixed(1) + " s" : "";
  const current = runningHere() ? progress.step - 1 : -1;
  if (current >= 0 && seq.plan.total > 0) {
    const step = seq.plan.steps[current];
    const done = step.start + Math.min(Math.max(progress.step_elapsed_s, 0), step.end - step.start);
    elapsed += " · 总进度 " + Math.round((done / seq.plan.total) * 100) + " %";
  }
  $("runElapsed").textContent = elapsed;
  Array.from($("profileSteps").tBodies[0].rows).forEach((row, i) => row.classList.toggle("current", i === current));
  drawPlan(current);
}

async function readSequence() {
  try {
    showRun(await api("GET", "/v1/sequence"));
  } catch (e) {
    if (e.status !== 404) throw e;
    showRun(null);
  }
}

function sequencePeriod() { return seq.progress && seq.progress.state === "running" ? 500 : 2000; }

async function startProfile() {
  $("runMessage").textContent = "";
  $("profileStart").disabled = true;
  try {
    seq.startedHere = true;
    showRun(await api("POST", "/v1/sequence", seq.text));
  } catch (e) {
    seq.startedHere = false;
    if (e.status === 401) return rejectToken();
    // A refused profile: the server's own words, with the step they name.
    $("runMessage").textContent = e.body && e.body.error === "invalid_request" ? e.body.message : e.message;
    showRun(seq.progress);
  }
}

async function stopProfile() {
  try {
    showRun(await api("POST", "/v1/sequence/stop"));
  } catch (e) {
    if (e.status === 401) return rejectToken();
    $("runMessage").textContent = e.message;
  }
}

function clearSequence() {
  seq.progress = null;
  $("runMessage").textContent = "";
  showProfile();
}

// A round upper bound a little above `peak` (the desktop chart's rule).
function roundTop(peak) {
  const wanted = Math.max(peak * 1.1, 1);
  const step = 10 ** Math.floor(Math.log10(wanted));
  return [1, 2, 2.5, 5, 10].map((f) => f * step).find((v) => v >= wanted);
}

// Grid, value labels on both sides and the time labels.
function drawPlanAxes(g, box, tops, total) {
  const { left, right, top, bottom, ratio } = box;
  g.strokeStyle = "rgba(255, 255, 255, 0.08)";
  g.lineWidth = 1;
  g.textBaseline = "middle";
  for (let i = 0; i <= 4; i++) {
    const y = bottom - ((bottom - top) * i) / 4;
    g.beginPath(); g.moveTo(left, y); g.lineTo(right, y); g.stroke();
    g.textAlign = "right";
    g.fillStyle = COLOURS.voltage;
    g.fillText(String(+(tops.v * i / 4).toFixed(2)), left - 6 * ratio, y);
    g.textAlign = "left";
    g.fillStyle = COLOURS.current;
    g.fillText(String(+(tops.c * i / 4).toFixed(2)), right + 6 * ratio, y);
  }
  g.textBaseline = "top";
  g.fillStyle = "rgb(138, 153, 173)";
  for (let i = 0; i <= 4; i++) {
    g.textAlign = i === 0 ? "left" : i === 4 ? "right" : "center";
    g.fillText(durationText(+(total * i / 4).toFixed(1)), box.x(total * i / 4), bottom + 6 * ratio);
  }
}

// The running step shaded; the hold of an `until` step hatched to its limit and marked.
function drawPlanSteps(g, box, steps, current) {
  const { top, bottom, ratio, x } = box;
  steps.forEach((step, i) => {
    if (i === current) {
      g.fillStyle = "rgba(237, 242, 247, 0.08)";
      g.fillRect(x(step.start), top, Math.max(1, x(step.end) - x(step.start)), bottom - top);
    }
    if (!step.until) return;
    const from = x(step.rampEnd), to = Math.max(x(step.end), from + 1);
    g.save();
    g.beginPath(); g.rect(from, top, to - from, bottom - top); g.clip();
    g.strokeStyle = "rgba(107, 168, 255, 0.3)";
    for (let d = from - (bottom - top); d < to; d += 8 * ratio) {
      g.beginPath(); g.moveTo(d, bottom); g.lineTo(d + (bottom - top), top); g.stroke();
    }
    g.restore();
    g.fillStyle = COLOURS.power;
    g.textAlign = "left";
    g.fillText("直到", from + 4 * ratio, top + 4 * ratio);
  });
}

// The plan: voltage on the left axis, current limit on the right.
function drawPlan(current) {
  const canvas = $("planChart");
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
  const g = canvas.getContext("2d");
  g.clearRect(0, 0, width, height);
  g.font = 11 * ratio + "px sans-serif";
  const plan = seq.plan;
  if (!plan) {
    g.fillStyle = "rgb(138, 153, 173)";
    g.textAlign = "center";
    g.fillText("选择配置文件后显示计划", width / 2, height / 2);
    return;
  }
  const total = Math.max(plan.total, 0.001);
  const box = { left: 48 * ratio, right: width - 48 * ratio, top: 12 * ratio, bottom: height - 24 * ratio, ratio };
  box.x = (t) => box.left + (t / total) * (box.right - box.left);
  const peak = (key) => roundTop(Math.max(...plan.points.map((p) => p[key])));
  const tops = { v: peak("v"), c: peak("c") };
  drawPlanAxes(g, box, tops, total);
  drawPlanSteps(g, box, plan.steps, current);
  g.lineWidth = 2 * ratio;
  for (const key of ["v", "c"]) {
    const y = (value) => box.bottom - (value / tops[key]) * (box.bottom - box.top);
    g.strokeStyle = key === "v" ? COLOURS.voltage : COLOURS.current;
    g.beginPath();
    plan.points.forEach((p, i) => (i ? g.lineTo(box.x(p.t), y(p[key])) : g.moveTo(box.x(p.t), y(p[key]))));
    g.stroke();
  }
}

document.addEventListener("DOMContentLoaded", () => {
  $("profileInput").addEventListener("change", chooseProfile);
  $("profileStart").addEventListener("click", startProfile);
  $("profileStop").addEventListener("click", stopProfile);
  window.addEventListener("resize", () => drawPlan(runningHere() ? seq.progress.step - 1 : -1));
  showProfile();
});
