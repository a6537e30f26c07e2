#!/usr/bin/python3
"""The same figures for two builds, measured alternately in one sitting.

    /usr/bin/python3 bench/compare_builds.py BEFORE_BUILD AFTER_BUILD [--rounds 2]

Each BUILD is a build directory (bin/ and bench/ inside). Per round and build:
session overhead (bench/session_throughput_tool), GET /health at 1, 32 and 50
connections against varek-server (wrk, a new connection per request), SCPI round
trips (bench/scpi_roundtrip_tool), the POST /v1/setpoints round trip against
varek-server on a 115200-baud simulator, VarekPowerStudio from exec to its first
reading (--connect with --evidence, offscreen), and the desktop's GUI thread share
at 10 Hz (bench/studio-view-bench's live phase). Prints every round, so the
spread between rounds of one build (the noise) stands beside the difference
between builds.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
os.environ.setdefault("VAREK_BIN_DIR", "")  # each measure names the build it runs
import varek_e2e  # noqa: E402


def number(pattern, text):
    found = re.search(pattern, text)
    return float(found.group(1)) if found else None


def session(build):
    out = subprocess.run([os.path.join(build, "bench", "session_throughput_tool"), "2000", "100"],
                         capture_output=True, text=True, timeout=600).stdout
    return {"session_overhead_us": number(r"session overhead \(transaction - turnaround\) ([\d.]+) us", out)}


def scpi(build):
    out = subprocess.run([os.path.join(build, "bench", "scpi_roundtrip_tool"), "2000"],
                         capture_output=True, text=True, timeout=600).stdout
    return {"scpi_idn_us": number(r"\*IDN\? round trip \(no device\):\s+([\d.]+)", out),
            "scpi_meas_volt_us": number(r"MEAS:VOLT\? round trip:\s+([\d.]+)", out)}


def server_figures(build):
    varek_e2e.BIN = os.path.join(build, "bin")
    figures = {}
    with varek_e2e.Sim() as sim, varek_e2e.VarekServer(sim.path) as server:
        server.wait_ready()
        # 32 is one address's share of the API's connections: at 50 from one address the
        # 18 beyond it are closed at once (wrk counts them as read errors).
        for connections in (1, 32, 50):
            out = subprocess.run(["wrk", "-t1", "-c%d" % connections, "-d5s", "-H", "Connection: close",
                                  "http://127.0.0.1:%d/health" % server.http_port],
                                 capture_output=True, text=True, timeout=120).stdout
            figures["health_c%d_rps" % connections] = number(r"Requests/sec:\s+([\d.]+)", out)
            figures["health_c%d_read_errors" % connections] = number(r"read (\d+)", out) or 0
    with varek_e2e.Sim("--baud", "115200") as sim, varek_e2e.VarekServer(sim.path) as server:
        server.wait_ready()
        times = []
        for i in range(100):
            started = time.perf_counter()
            server.request("POST", "/v1/setpoints", body={"voltage_V": 1 + i % 50, "current_limit_A": 1})
            times.append(time.perf_counter() - started)
        figures["setpoints_ms"] = round(statistics.median(times) * 1000, 3)
    return figures


def first_reading(build, runs=5):
    varek_e2e.BIN = os.path.join(build, "bin")
    times = []
    with varek_e2e.Sim() as sim:
        for _ in range(runs):
            with tempfile.TemporaryDirectory() as home:
                evidence = os.path.join(home, "evidence.json")
                env = dict(os.environ, XDG_DATA_HOME=home, XDG_CONFIG_HOME=home, QT_QPA_PLATFORM="offscreen")
                started = time.perf_counter()
                app = subprocess.Popen([os.path.join(build, "bin", "VarekPowerStudio"), "--connect", sim.path,
                                        "--evidence", evidence], env=env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
                varek_e2e.wait_for(lambda: os.path.exists(evidence), timeout=60, interval=0.001)
                times.append(time.perf_counter() - started)
                varek_e2e.stop(app)
    return {"exec_to_first_reading_ms": round(statistics.median(times) * 1000, 1)}


def gui_share(build, seconds=30):
    varek_e2e.BIN = os.path.join(build, "bin")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out = subprocess.run([os.path.join(build, "bench", "studio-view-bench"), "--skip-synthetic", "--skip-interaction",
                          "--seconds", str(seconds), "--report", str(seconds)],
                         capture_output=True, text=True, env=env, timeout=300).stdout
    row = [line.split() for line in out.splitlines() if line.strip().startswith(str(seconds))]
    return {"gui_share_percent_10hz": float(row[-1][5]) if row else None}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    rounds = []
    for round_number in range(args.rounds):
        for name, build in (("before", args.before), ("after", args.after)):
            figures = {"round": round_number + 1, "build": name, "load": round(os.getloadavg()[0], 2)}
            for measure in (session, scpi, server_figures, first_reading, gui_share):
                figures.update(measure(os.path.abspath(build)))
            rounds.append(figures)
            print(json.dumps(figures), flush=True)


if __name__ == "__main__":
    main()
