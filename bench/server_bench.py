#!/usr/bin/python3
"""Throughput and footprint of varek-server and varek-read against varek-sim.

    /usr/bin/python3 bench/server_bench.py [--build build] [--seconds 20]

Measures, in one run:
  - start-up time: launch of varek-server to both listeners ready (zero-latency
    simulator), median of several starts;
  - idle RSS of the server after start-up and after the load;
  - authenticated GET /v1/status per second and its p99 latency (wrk);
  - the device-bound ceiling: bare sample() calls per second over a serial
    session to a second simulator (bench/sample_rate_tool), and the ratio;
    both without latency and with the simulator emulating 115200-baud wire time;
  - varek-read --benchmark 10 "actual_hz" with no latency and with 150 ms.
Prints a JSON summary.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def startup_seconds(Sim, VarekServer, runs):
    times = []
    with Sim() as sim:
        for _ in range(runs):
            started = time.monotonic()
            with VarekServer(sim.path) as server:
                server.wait_ready(timeout=60, interval=0.001)
                times.append(time.monotonic() - started)
    return statistics.median(times), min(times), max(times)


def sample_ceiling(Sim, build, seconds, *sim_args):
    tool = os.path.join(build, "bench", "sample_rate_tool")
    with Sim(*sim_args) as sim:
        out = subprocess.run([tool, sim.path, str(seconds)], capture_output=True, text=True,
                             timeout=seconds + 60, check=True).stdout
    return json.loads(out)["samples_per_second"]


def latency_ms(text):
    value, unit = re.fullmatch(r"([\d.]+)(us|ms|s)", text).groups()
    return round(float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit], 3)


def wrk_status(server, seconds, threads, connections):
    url = "http://127.0.0.1:%d/v1/status" % server.http_port
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds, "--latency",
                          "-H", "Authorization: Bearer " + server.token, url],
                         capture_output=True, text=True, timeout=seconds + 60, check=True).stdout
    result = {"requests_per_second": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
              "p50_ms": latency_ms(re.search(r"\s50%\s+(\S+)", out).group(1)),
              "p99_ms": latency_ms(re.search(r"\s99%\s+(\S+)", out).group(1))}
    errors = re.search(r"Socket errors: (.*)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    result["socket_errors"] = errors.group(1) if errors else "none"
    result["non_2xx"] = int(non2xx.group(1)) if non2xx else 0
    return result


def read_benchmark(Sim, run, *sim_args):
    with Sim(*sim_args) as sim:
        result = run("varek-read", sim.path, "--benchmark", "10", timeout=120)
    report = json.loads(result.stdout)
    return {k: report[k] for k in ("actual_hz", "mean_response_ms", "max_response_ms")}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--connections", type=int, default=8)
    parser.add_argument("--starts", type=int, default=7)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    os.environ["VAREK_BIN_DIR"] = os.path.join(build, "bin")
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    from varek_e2e import Sim, VarekServer, run

    summary = {"cores": os.cpu_count()}
    median, fastest, slowest = startup_seconds(Sim, VarekServer, options.starts)
    summary["startup_ms"] = {"median": round(median * 1000, 1), "min": round(fastest * 1000, 1),
                             "max": round(slowest * 1000, 1)}
    # Without wire-time emulation the simulator answers at once: the server's own
    # ceiling. With it, at 115200 baud, the serial line is the bottleneck, as with
    # a real supply.
    for name, sim_args in (("no_latency", ()), ("wire_115200", ("--baud", "115200"))):
        result = {"sample_ceiling_per_second": sample_ceiling(Sim, build, options.seconds, *sim_args)}
        with Sim(*sim_args) as sim, VarekServer(sim.path) as server:
            server.wait_ready()
            time.sleep(1)  # let the start-up allocations settle before the idle reading
            result["idle_rss_kib"] = rss_kib(server.process.pid)
            result["wrk"] = wrk_status(server, options.seconds, options.threads, options.connections)
            time.sleep(2)
            result["rss_kib_after_load"] = rss_kib(server.process.pid)
        result["status_to_ceiling_ratio"] = round(
            result["wrk"]["requests_per_second"] / result["sample_ceiling_per_second"], 3)
        summary[name] = result
    summary["read_benchmark_10hz"] = read_benchmark(Sim, run)
    summary["read_benchmark_10hz_latency_150ms"] = read_benchmark(Sim, run, "--latency", "150")
    print(json.dumps(summary, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
