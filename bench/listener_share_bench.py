"""varek-server while one client address holds every connection it can get: latency of
GET /health and GET /metrics served to a second address, against the same requests with
nobody holding anything. Each request is a fresh connection (one request per connection,
as the server serves them), timed from connect to the server's close.

Run: VAREK_BIN_DIR=build/bin /usr/bin/python3 bench/listener_share_bench.py [requests]
Phases: "quiet" (nobody else), "held" (127.0.0.1 opened every listener's total cap plus 4
and keeps what it got), "held + storm" (as held, and a second process keeps connecting
from 127.0.0.1 as fast as it can: every one of those is refused at once). The measured
requests come from 127.0.0.2."""
import multiprocessing
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from varek_e2e import Sim, VarekServer, closed, connect, free_port, reset, wait_for  # noqa: E402

HOLDER, CLIENT = "127.0.0.1", "127.0.0.2"
CAPS = {"http": 256, "scpi": 128, "metrics": 64}


def timed_get(port, path):
    """(seconds, served) of one GET on a fresh connection from CLIENT."""
    start = time.perf_counter()
    try:
        with connect(port, CLIENT) as sock:
            sock.sendall(b"GET %s HTTP/1.1\r\nHost: bench\r\n\r\n" % path.encode())
            reply = b""
            while chunk := sock.recv(65536):
                reply += chunk
    except OSError:  # refused: closed or reset before or during the request
        reply = b""
    return time.perf_counter() - start, reply.startswith(b"HTTP/1.1 200 ")


def measure(label, ports, requests):
    for path, port in (("/health", ports["http"]), ("/metrics", ports["metrics"])):
        results = [timed_get(port, path) for _ in range(requests)]
        times = sorted(seconds for seconds, served in results if served)
        served = len(times)
        if served < 20:
            print("%-14s %-8s served %4d of %d" % (label, path, served, requests))
            continue
        q = statistics.quantiles(times, n=100)
        print("%-14s %-8s served %4d of %d  p50 %.2f ms  p99 %.2f ms  max %.2f ms"
              % (label, path, served, requests, 1000 * q[49], 1000 * q[98], 1000 * times[-1]))


def hold(ports):
    """Opens each listener's cap plus 4 from HOLDER; returns what the server kept per listener."""
    held = {}
    for name, port in ports.items():
        socks = [connect(port, HOLDER) for _ in range(CAPS[name] + 4)]
        wait_for(lambda: closed(socks[-1]), 30)  # accepted in order: the server has seen them all
        held[name] = [sock for sock in socks if not closed(sock)]
    return held


def storm(ports, stop, count):
    """Connects from HOLDER round the three listeners until `stop` is set, counting them."""
    while not stop.is_set():
        for port in ports:
            try:
                reset(connect(port, HOLDER))
                count.value += 1
            except OSError:
                pass


def main():
    requests = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    ports = {"http": free_port(), "scpi": free_port(), "metrics": free_port()}
    options = ["--http-port", ports["http"], "--scpi-port", ports["scpi"], "--metrics-port", ports["metrics"]]
    with Sim() as sim, VarekServer(sim.path, ports["http"], ports["scpi"], options=list(map(str, options))) as server:
        server.wait_ready()
        wait_for(lambda: any("Metrics ready" in line for line in server.err))
        measure("quiet", ports, requests)
        for label in ("held", "held + storm"):
            held = hold(ports)
            print("%s: %s keeps %s" % (label, HOLDER, ", ".join("%s %d" % (n, len(s)) for n, s in held.items())))
            stop, count = multiprocessing.Event(), multiprocessing.Value("L", 0, lock=False)
            hammer = multiprocessing.Process(target=storm, args=(list(ports.values()), stop, count))
            if label.endswith("storm"):
                hammer.start()
                wait_for(lambda: count.value > 1000, 30)
            began, before = time.monotonic(), count.value
            measure(label, ports, requests)
            if hammer.is_alive():
                print("%s: %.0f refused connections/s meanwhile" % (label, (count.value - before)
                                                                    / (time.monotonic() - began)))
                stop.set()
                hammer.join()
            # HTTP and metrics connections end 15 s after accept: a phase must fit in that.
            print("%s: still held at the end: %s" % (label, ", ".join(
                "%s %d" % (name, sum(not closed(sock) for sock in socks)) for name, socks in held.items())))
            for sock in sum(held.values(), []):
                reset(sock)


if __name__ == "__main__":
    main()
