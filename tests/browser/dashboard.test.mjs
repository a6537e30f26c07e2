// The dashboard in a real browser: Debian's chromium, headless, driven by
// playwright-core against varek-server and varek-sim spawned as real processes.
// Never downloads a browser: it runs the system's /usr/bin/chromium.
import { spawn } from "node:child_process";
import { once } from "node:events";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { chromium } from "playwright-core";

const BIN = process.env.VAREK_BIN_DIR;
const CHROMIUM = process.env.VAREK_CHROMIUM || "/usr/bin/chromium";
const SHOTS = process.env.VAREK_SCREENSHOT_DIR || path.join(BIN, "..", "screenshots");
const WAIT_MS = 30000;

function check(condition, message) {
  if (!condition) throw new Error("check failed: " + message);
}

async function waitFor(predicate, what, timeoutMs = WAIT_MS) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error("timed out waiting for " + what);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

/** One varek-sim process: its pty path, line commands and the request log. */
class Sim {
  static async start(link) {
    const sim = new Sim();
    sim.log = path.join(fs.mkdtempSync(path.join(os.tmpdir(), "varek-browser-sim-")), "requests.log");
    sim.process = spawn(path.join(BIN, "varek-sim"), ["--log", sim.log, "--link", link], {
      stdio: ["pipe", "pipe", "inherit"],
    });
    sim.lines = [];
    sim.waiters = [];
    readline.createInterface({ input: sim.process.stdout }).on("line", (line) => {
      const waiter = sim.waiters.shift();
      if (waiter) waiter(line);
      else sim.lines.push(line);
    });
    sim.path = await sim.nextLine();
    return sim;
  }
  nextLine() {
    if (this.lines.length) return Promise.resolve(this.lines.shift());
    return new Promise((resolve) => this.waiters.push(resolve));
  }
  async command(line) {
    this.process.stdin.write(line + "\n");
    const reply = await this.nextLine();
    if (reply.startsWith("error:")) throw new Error(line + " -> " + reply);
    return reply;
  }
  requests() {
    if (!fs.existsSync(this.log)) return [];
    return fs.readFileSync(this.log, "utf8").split("\n").filter(Boolean).map((line) => line.toLowerCase().replace(/\s/g, ""));
  }
  async stop() {
    if (this.process.exitCode === null) {
      this.process.kill("SIGTERM");
      await once(this.process, "exit");
    }
  }
}

/** One varek-server process with its own data directory. */
class Server {
  static async start(device) {
    const server = new Server();
    server.port = await freePort();
    server.home = fs.mkdtempSync(path.join(os.tmpdir(), "varek-browser-server-"));
    server.err = [];
    server.process = spawn(path.join(BIN, "varek-server"),
      [device, "--http-port", String(server.port), "--scpi-port", String(await freePort()), "--poll", "5"],
      { env: { ...process.env, XDG_DATA_HOME: server.home }, stdio: ["ignore", "ignore", "pipe"] });
    readline.createInterface({ input: server.process.stderr }).on("line", (line) => server.err.push(line));
    await waitFor(() => server.err.includes("API已监听 · 本机 / 局域网 · " + server.port) ||
      server.process.exitCode !== null, "varek-server to listen");
    check(server.process.exitCode === null, "varek-server exited: " + server.err.join("\n"));
    server.token = fs.readFileSync(path.join(server.home, "VAREK Studio", "API", "access-token"), "utf8").trim();
    return server;
  }
  async stop() {
    if (this.process.exitCode === null) {
      this.process.kill("SIGTERM");
      await once(this.process, "exit");
    }
    fs.rmSync(this.home, { recursive: true, force: true });
  }
}

const text = (page, id) => page.locator("#" + id).textContent();

async function run() {
  fs.mkdirSync(SHOTS, { recursive: true });
  const linkDir = fs.mkdtempSync(path.join(os.tmpdir(), "varek-browser-link-"));
  const link = path.join(linkDir, "tty");
  let sim = await Sim.start(link);
  const server = await Server.start(link);
  const browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: ["--no-sandbox"] });
  const requested = [];
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    page.on("request", (request) => requested.push(request.url()));
    const base = "http://127.0.0.1:" + server.port;

    // The layout and its names render before any token, values showing "—".
    await page.goto(base + "/ui/");
    for (const name of ["输出电压", "输出电流", "输出功率"]) {
      check(await page.getByText(name, { exact: true }).isVisible(), name + " tile shown");
    }
    check((await text(page, "voltageValue")) === "—", "no value before a token");
    check(await page.locator("#tokenPanel").isVisible(), "token asked for");

    // A wrong token: the error in words, and nothing else loads.
    await page.fill("#tokenInput", "wrong-token");
    await page.press("#tokenInput", "Enter");
    await waitFor(async () => (await text(page, "error")).includes("令牌错误"), "the wrong-token error");
    check((await text(page, "voltageValue")) === "—", "no reading with a wrong token");
    check(!requested.some((url) => /\/v1\/(latest|history)/.test(url)), "nothing else loaded with a wrong token");

    // The right token, typed once, by keyboard.
    await page.focus("#tokenInput");
    await page.keyboard.type(server.token);
    await page.keyboard.press("Enter");
    await waitFor(async () => (await text(page, "voltageValue")) !== "—", "a live reading");
    check(await page.locator("#error").isHidden(), "no error with the right token");
    check(await page.locator("#tokenPanel").isHidden(), "token panel gone");

    // Readings follow the simulator's registers.
    await sim.command("set 8 1234");
    await waitFor(async () => (await text(page, "voltageSetNow")) === "读回 12.34 V", "the panel's setpoint");

    // The output switch reaches the simulator and shows as confirmed.
    check((await text(page, "outputState")) === "关闭", "output starts off");
    await page.click("#outputButton");
    await waitFor(async () => (await text(page, "outputConfirm")).includes("已确认"), "output confirmation");
    check((await text(page, "outputState")) === "开启", "output shown on");
    check(sim.requests().some((f) => f.startsWith("010600120001")), "output write in the simulator's log");
    check((await sim.command("get 18")) === "1", "simulator's output register on");

    // A setpoint change, confirmed by read-back.
    await page.fill("#voltageInput", "5.5");
    await page.click("#applyButton");
    await waitFor(async () => (await text(page, "setpointConfirm")).includes("已确认"), "setpoint confirmation");
    check((await sim.command("get 8")) === "550", "simulator's voltage setpoint");
    // A poll that left before the write must not bring the old setpoint back.
    const shown = Number(await page.locator("#chart").getAttribute("data-points"));
    check((await text(page, "voltageSetNow")) === "读回 5.50 V", "confirmed setpoint shown");
    await waitFor(async () => Number(await page.locator("#chart").getAttribute("data-points")) >= shown + 3,
      "later samples");
    check((await text(page, "voltageSetNow")) === "读回 5.50 V", "confirmed setpoint kept");
    check(sim.requests().some((f) => f.startsWith("01060008") || f.startsWith("01100008")), "setpoint write logged");

    // The chart has points; the window picker works by keyboard.
    await waitFor(async () => Number(await page.locator("#chart").getAttribute("data-points")) >= 3, "chart points");
    await page.focus("#metricPicker button[data-metric='power']");
    await page.keyboard.press("Enter");
    check((await page.locator("#metricPicker button[data-metric='power']").getAttribute("aria-pressed")) === "true",
      "metric picked by keyboard");
    await page.click("#metricPicker button[data-metric='voltage']");
    await waitFor(async () => Number(await text(page, "voltageValue")) > 0, "output voltage rising");
    await page.screenshot({ path: path.join(SHOTS, "dashboard-desktop.png"), fullPage: true });

    // The sequence panel: a refused profile shows the server's message as it is.
    const profile = (body) => ({ name: "profile.json", mimeType: "application/json",
      buffer: Buffer.from(JSON.stringify(body)) });
    await page.setInputFiles("#profileInput", profile({ name: "坏", on_end: "off", steps: [{ hold_s: 1 }, { voltage_V: 61 }] }));
    await waitFor(async () => (await text(page, "profileName")) === "“坏” · 2 步", "the bad profile's name");
    await page.click("#profileStart");
    await waitFor(async () => (await text(page, "runMessage")) ===
      "step 2: voltage_V must be a number from 0 to 60 with at most two decimals", "the server's refusal");
    check((await text(page, "runState")) === "尚未运行", "nothing ran");

    // A valid one: its steps and plan, then the run. Step 2 switches the output off and
    // waits for the voltage to come back, which only the test's front-panel switch does.
    await page.setInputFiles("#profileInput", profile({ name: "浏览器序列", on_end: "keep", steps: [
      { voltage_V: 5, current_limit_A: 1, output: true, hold_s: 0.5 },
      { output: false, hold_s: 120, until: { voltage_above_V: 1 } },
      { voltage_V: 3, ramp_s: 0.5, hold_s: 0.5 }] }));
    await waitFor(async () => (await text(page, "profileName")) === "“浏览器序列” · 3 步", "the profile's name");
    check(await page.locator("#profileSteps tbody tr").count() === 3, "one row a step");
    check((await page.locator("#profileSteps tbody tr").nth(1).textContent()) === "2———关闭120电压高于 1 V",
      "the second step's cells");
    check((await text(page, "planTotal")) === "计划总时长 2:01（最长）", "the planned total");
    check((await text(page, "runMessage")) === "", "the refusal cleared");
    await page.click("#profileStart");
    await waitFor(async () => (await text(page, "runStep")) === "步骤 2/3", "the run at step 2");
    check((await page.locator("#runState").getAttribute("data-state")) === "running", "running");
    check(await page.locator("#profileSteps tbody tr").nth(1).evaluate((row) => row.classList.contains("current")),
      "the running step marked");
    check(await page.locator("#profileStop").isEnabled(), "stop offered");
    await page.locator("#sequencePanel").screenshot({ path: path.join(SHOTS, "dashboard-sequence.png") });
    await sim.command("set 18 1");
    await waitFor(async () => (await page.locator("#runState").getAttribute("data-state")) === "finished",
      "the run finished");
    check((await text(page, "runStep")) === "步骤 3/3", "the last step shown");
    check((await sim.command("get 8")) === "300", "the last step's setpoint reached the supply");

    // Phone width: one column.
    await page.setViewportSize({ width: 390, height: 844 });
    await waitFor(async () => {
      const tiles = await page.locator(".tile").evaluateAll((all) => all.map((t) => t.getBoundingClientRect().x));
      return tiles.every((x) => x === tiles[0]);
    }, "the narrow layout");
    await page.screenshot({ path: path.join(SHOTS, "dashboard-phone.png"), fullPage: true });
    await page.setViewportSize({ width: 1280, height: 900 });

    // A hang-up shows the lost state; the supply's return clears it.
    await sim.command("hangup");
    await waitFor(async () => (await text(page, "linkPill")) === "已断开", "the lost state");
    check((await text(page, "linkState")).includes("已断开"), "lost state in words");
    await sim.stop();
    sim = await Sim.start(link);
    await waitFor(async () => (await text(page, "linkPill")) === "已连接", "the link back");
    await waitFor(async () => (await page.locator("#error").isHidden()), "the error cleared");

    // Forgetting the token returns to the first state.
    await page.click("#forgetButton");
    check((await text(page, "voltageValue")) === "—", "values cleared after forget");
    check(await page.evaluate(() => localStorage.getItem("varek.apiToken")) === null, "token forgotten");

    check(!requested.some((url) => url.includes(server.token)), "no token in any request URL");
    check(!server.err.some((line) => line.includes(server.token)), "no token in any server line");
    console.log("browser dashboard: all checks passed; screenshots in " + SHOTS);
  } finally {
    await browser.close();
    await server.stop();
    await sim.stop();
    fs.rmSync(linkDir, { recursive: true, force: true });
  }
}

run().then(() => process.exit(0), (error) => {
  console.error(error);
  process.exit(1);
});
