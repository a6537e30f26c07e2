// Dashboard figures for docs/BENCHMARKS.md: navigation to the first live reading,
// the page's transfer size, and varek-server's CPU with five tabs open at 10 Hz.
// Usage: VAREK_BIN_DIR=build/bin node bench/dashboard/dashboard_bench.mjs
// (after npm ci --prefix tests/browser; runs the system chromium).
import { spawn } from "node:child_process";
import { once } from "node:events";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import zlib from "node:zlib";
import { createRequire } from "node:module";

const require = createRequire(new URL("../../tests/browser/package.json", import.meta.url));
const { chromium } = require("playwright-core");
const BIN = process.env.VAREK_BIN_DIR;
const RUNS = Number(process.env.RUNS || 10);
const CPU_SECONDS = Number(process.env.CPU_SECONDS || 20);

const freePort = () => new Promise((resolve) => {
  const s = net.createServer().listen(0, "127.0.0.1", () => { const { port } = s.address(); s.close(() => resolve(port)); });
});

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return (Number(fields[11]) + Number(fields[12])) / 100;  // utime + stime, clock ticks of 1/100 s
}

async function cpuShare(pid) {
  const before = cpuSeconds(pid);
  await new Promise((resolve) => setTimeout(resolve, CPU_SECONDS * 1000));
  return ((cpuSeconds(pid) - before) / CPU_SECONDS) * 100;
}

const median = (values) => values.slice().sort((a, b) => a - b)[Math.floor(values.length / 2)];

const sim = spawn(path.join(BIN, "varek-sim"), [], { stdio: ["pipe", "pipe", "inherit"] });
const [device] = await once(readline.createInterface({ input: sim.stdout }), "line");
const home = fs.mkdtempSync(path.join(os.tmpdir(), "varek-bench-"));
const port = await freePort();
const server = spawn(path.join(BIN, "varek-server"),
  [device, "--http-port", String(port), "--scpi-port", String(await freePort()), "--poll", "10"],
  { env: { ...process.env, XDG_DATA_HOME: home }, stdio: ["ignore", "ignore", "pipe"] });
const lines = readline.createInterface({ input: server.stderr });
await new Promise((resolve) => lines.on("line", (l) => l.startsWith("API已监听") && resolve()));
const token = fs.readFileSync(path.join(home, "VAREK Studio", "API", "access-token"), "utf8").trim();
const base = `http://127.0.0.1:${port}/ui/`;

const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", headless: true, args: ["--no-sandbox"] });
try {
  // Transfer size: every response of a page load, as sent and gzip-compressed.
  let raw = 0, gzipped = 0;
  for (const file of ["", "app.js", "sequence.js", "app.css"]) {
    const body = Buffer.from(await (await fetch(base + file)).arrayBuffer());
    raw += body.length;
    gzipped += zlib.gzipSync(body, { level: 9 }).length;
  }

  const context = await browser.newContext();
  await context.addInitScript((t) => localStorage.setItem("varek.apiToken", t), token);
  const times = [];
  for (let i = 0; i < RUNS; i++) {
    const page = await context.newPage();
    const started = Date.now();
    await page.goto(base);
    await page.waitForFunction(() => document.getElementById("voltageValue").textContent !== "—", null,
      { polling: "raf" });
    times.push(Date.now() - started);
    await page.close();
  }

  const idle = await cpuShare(server.pid);
  const tabs = [];
  for (let i = 0; i < 5; i++) { const p = await context.newPage(); await p.goto(base); tabs.push(p); }
  await tabs[4].waitForFunction(() => document.getElementById("voltageValue").textContent !== "—");
  const watched = await cpuShare(server.pid);

  console.log(`navigation to first live reading (ms, ${RUNS} runs): median ${median(times)}, ` +
              `min ${Math.min(...times)}, max ${Math.max(...times)}`);
  console.log(`page transfer: ${raw} bytes as sent, ${gzipped} bytes gzip -9`);
  console.log(`varek-server CPU over ${CPU_SECONDS} s: ${idle.toFixed(2)} % without tabs, ` +
              `${watched.toFixed(2)} % with five tabs at 10 Hz`);
} finally {
  await browser.close();
  server.kill("SIGTERM");
  await once(server, "exit");
  sim.kill("SIGTERM");
  fs.rmSync(home, { recursive: true, force: true });
}
