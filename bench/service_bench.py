"""varek-server left running, against varek-sim: CPU and disk of polling at 10 Hz with
recording and metrics, time from the supply's return to the first 200, and /metrics
latency under wrk. Run: VAREK_BIN_DIR=build/bin /usr/bin/python3 bench/service_bench.py"""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from varek_e2e import Sim, VarekServer, free_port, wait_for  # noqa: E402


def started(device, *extra):
    ports = (free_port(), free_port())
    options = ["--http-port", str(ports[0]), "--scpi-port", str(ports[1]), *map(str, extra)]
    return VarekServer(device, *ports, options=options).wait_ready()


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def directory_bytes(path):
    return sum(os.path.getsize(os.path.join(path, name)) for name in os.listdir(path))


def steady_load(seconds=60):
    record = tempfile.mkdtemp(prefix="varek-bench-rec-")
    with Sim() as sim, started(sim.path, "--poll", 10, "--record", record, "--metrics-port", free_port()) as server:
        wait_for(lambda: os.listdir(record))
        cpu0, disk0, t0 = cpu_seconds(server.process.pid), directory_bytes(record), time.monotonic()
        time.sleep(seconds)
        cpu1, disk1, t1 = cpu_seconds(server.process.pid), directory_bytes(record), time.monotonic()
    elapsed = t1 - t0
    print("poll 10 Hz + record + metrics, %.0f s: CPU %.2f %% of one core, disk %.0f bytes/hour"
          % (elapsed, 100 * (cpu1 - cpu0) / elapsed, (disk1 - disk0) * 3600 / elapsed))


def reconnects(cycles=20):
    link = os.path.join(tempfile.mkdtemp(prefix="varek-bench-link-"), "supply")
    sim = Sim("--link", link)
    times = []
    with started(link) as server:
        for _ in range(cycles):
            sim.command("hangup")
            wait_for(lambda: server.request("GET", "/v1/status")[0] == 503)
            sim.close()
            sim = Sim("--link", link)  # returns once the simulator printed its path: the link exists
            back = time.monotonic()
            wait_for(lambda: server.request("GET", "/v1/status")[0] == 200, interval=0.005)
            times.append(time.monotonic() - back)
    sim.close()
    print("supply back -> first 200 over %d cycles: median %.0f ms, worst %.0f ms"
          % (cycles, 1000 * statistics.median(times), 1000 * max(times)))


def wrk_latency(label, port):
    out = subprocess.run(["wrk", "-t1", "-c4", "-d10s", "--latency", "http://127.0.0.1:%d/metrics" % port],
                         capture_output=True, text=True, check=True).stdout
    p50 = re.search(r"50%\s+(\S+)", out).group(1)
    p99 = re.search(r"99%\s+(\S+)", out).group(1)
    rate = re.search(r"Requests/sec:\s+(\S+)", out).group(1)
    print("/metrics, %s: p50 %s, p99 %s, %s requests/s" % (label, p50, p99, rate))


def metrics_latency():
    port = free_port()
    with Sim() as sim, started(sim.path, "--poll", 10, "--metrics-port", port):
        wrk_latency("supply answering", port)
        sim.command("silent on")
        wrk_latency("supply silent", port)


if __name__ == "__main__":
    steady_load()
    reconnects()
    metrics_latency()
