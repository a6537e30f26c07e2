#!/usr/bin/python3
"""POST /v1/setpoints round trips against the wire time of their transactions.

    /usr/bin/python3 bench/setpoints_bench.py [--build build] [--requests 300]
    /usr/bin/python3 bench/setpoints_bench.py --paced OTHER_BIN [--build build]

--paced compares this build with the programs in OTHER_BIN (an older build) in one
run: both setpoints written every 100 ms (300 writes) and every 5 s (12 writes),
alternating builds, each against its own simulator; it reports the round trip and
the identity reads (registers 0-3) the simulator saw per write.

varek-sim emulates 115200-baud wire time; varek-server runs against it. Each
request is a fresh HTTP connection from this process (as curl would make), one at
a time. GET /health over the same client is the HTTP baseline (no device work).
Two bodies: both setpoints (setValues: write 8-9, read them back, status
read) and the voltage alone (setVoltage: one setpoint read first). The physical
limit is the bytes on the wire at 10 bits each; the ratio is limit / mean. Prints JSON.
"""
import argparse
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BITS_PER_BYTE = 10
BAUD = 115200
# request + reply bytes of each transaction
WRITE_PAIR = 13 + 8
READ_PAIR = 8 + 9
STATUS = 8 + 81
WIRE_BYTES = {"both": WRITE_PAIR + READ_PAIR + STATUS, "voltage": READ_PAIR + WRITE_PAIR + READ_PAIR + STATUS}


def measure(server, body_for, count, method="POST", path="/v1/setpoints"):
    times = []
    for i in range(count):
        started = time.perf_counter()
        status, _ = server.request(method, path, body=body_for(i))
        times.append(time.perf_counter() - started)
        if status != 200:
            raise RuntimeError("setpoints answered %d" % status)
    return times


IDENTITY_READ = bytes.fromhex("010300000004")


def paced(bin_dir, interval, count):
    """Writes both setpoints every `interval` s; (mean ms, identity reads per write)."""
    import varek_e2e
    varek_e2e.BIN = bin_dir
    with varek_e2e.Sim("--baud", str(BAUD)) as sim, varek_e2e.VarekServer(sim.path) as server:
        server.wait_ready()
        mark = len(sim.requests())
        times = []
        next_at = time.perf_counter()
        for i in range(count):
            next_at += interval
            time.sleep(max(0.0, next_at - time.perf_counter()))
            started = time.perf_counter()
            status, _ = server.request("POST", "/v1/setpoints", body={"voltage_V": 1 + i % 50, "current_limit_A": 1})
            times.append(time.perf_counter() - started)
            if status != 200:
                raise RuntimeError("setpoints answered %d" % status)
        identity = sum(frame[:6] == IDENTITY_READ for frame in sim.requests()[mark:])
    return statistics.fmean(times) * 1000, identity / count


def compare(args):
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    os.environ["VAREK_BIN_DIR"] = os.path.join(args.build, "bin")
    result = {"load_average": os.getloadavg()[0]}
    for interval, count in ((0.1, 300), (5.0, 12)):
        runs = {"new": [], "old": []}
        for _ in range(2):  # alternating, so both see the same machine
            for name, bin_dir in (("new", os.path.join(args.build, "bin")), ("old", args.paced)):
                runs[name].append(paced(bin_dir, interval, count))
        summary = {name: {"mean_ms": round(statistics.fmean(r[0] for r in values), 3),
                          "identity_reads_per_write": round(statistics.fmean(r[1] for r in values), 3)}
                   for name, values in runs.items()}
        summary["ratio_new_to_old"] = round(summary["new"]["mean_ms"] / summary["old"]["mean_ms"], 3)
        result["every_%gs" % interval] = summary
    print(json.dumps(result, indent=2))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--requests", type=int, default=300)
    parser.add_argument("--paced", help="the bin directory of an older build to compare with")
    args = parser.parse_args()
    if args.paced:
        return compare(args)
    os.environ["VAREK_BIN_DIR"] = os.path.join(args.build, "bin")
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    from varek_e2e import Sim, VarekServer

    bodies = {"both": lambda i: {"voltage_V": 1 + i % 50, "current_limit_A": 1 + i % 20},
              "voltage": lambda i: {"voltage_V": 1 + i % 50}}
    result = {"load_average": os.getloadavg()[0]}
    with Sim("--baud", str(BAUD)) as sim, VarekServer(sim.path) as server:
        server.wait_ready()
        measure(server, lambda i: None, 20, "GET", "/health")
        health = statistics.fmean(measure(server, lambda i: None, args.requests, "GET", "/health"))
        result["health_mean_ms"] = round(health * 1000, 3)
        for name, body_for in bodies.items():
            measure(server, body_for, 20)  # warm-up
            times = sorted(measure(server, body_for, args.requests))
            limit = WIRE_BYTES[name] * BITS_PER_BYTE / BAUD
            mean = statistics.fmean(times)
            result[name] = {"wire_ms": round(limit * 1000, 2), "mean_ms": round(mean * 1000, 2),
                            "median_ms": round(statistics.median(times) * 1000, 2),
                            "p99_ms": round(times[int(len(times) * 0.99) - 1] * 1000, 2),
                            "ratio_mean": round(limit / mean, 3),
                            "ratio_median": round(limit / statistics.median(times), 3),
                            "ratio_mean_without_http": round(limit / (mean - health), 3)}
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
