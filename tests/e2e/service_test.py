"""varek-server left running, spawned against spawned simulators: listen address, link
supervision, continuous recording and Prometheus metrics, as the program wires and words
them (their rules are tested in process: tests/integration/supply_engine_service_test)."""
import csv
import os
import shutil
import signal
import subprocess
import tempfile
import unittest
import urllib.parse
import urllib.request

from varek_e2e import Sim, free_port, started, status_reads, wait_for, writes

HEADER = ["time", "voltage_V", "current_A", "power_W", "voltage_set_V", "current_limit_A", "output_enabled",
          "protection", "mode"]


def scrape(port, timeout=30):
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=timeout) as reply:
        return reply.headers["Content-Type"], reply.read().decode()


def metric(text, name):
    for line in text.splitlines():
        if line.startswith(name + " "):
            return float(line.split()[1])
    return None


def parsed_rows(path):
    """Every row of a recording file; fails unless it is the header plus complete rows."""
    with open(path, newline="") as f:
        raw = f.read()
    assert raw.endswith("\n"), "torn last row in %s" % path
    rows = list(csv.reader(raw.splitlines()))
    assert rows[0] == HEADER, rows[0]
    for row in rows[1:]:
        assert len(row) == len(HEADER) and row[0].endswith("Z"), row
    return rows[1:]


class Bind(unittest.TestCase):
    def test_loopback_bind_keeps_all_three_listeners_off_the_network(self):
        metrics_port = free_port()
        with Sim() as sim, started(sim.path, "--bind", "127.0.0.1", "--metrics-port", metrics_port) as server:
            wait_for(lambda: any("Metrics ready" in line for line in server.err))
            self.assertIn("Listening on 127.0.0.1 only", server.err)
            # The start-up lines name the bound address, never the LAN they are kept off.
            self.assertEqual(server.out[:2], ["SCPI VISA resource: TCPIP0::127.0.0.1::%d::SOCKET" % server.scpi_port,
                                              "VAREK server: http://127.0.0.1:%d" % server.http_port])
            self.assertEqual(len(server.out), 3)
            self.assertIn("API已监听 · 127.0.0.1 · %d" % server.http_port, server.err)
            self.assertIn("SCPI ready on TCP %d, 127.0.0.1 only, no authentication" % server.scpi_port, server.err)
            self.assertFalse([line for line in server.out + server.err if "LAN" in line or "局域网" in line
                              or "<Mac-IP>" in line])
            listening = subprocess.run(["ss", "-Hltn"], capture_output=True, text=True, check=True).stdout
            for port in (server.http_port, server.scpi_port, metrics_port):
                with self.subTest(port=port):
                    local = [line.split()[3] for line in listening.splitlines() if line.split()[3].endswith(":%d" % port)]
                    self.assertEqual(local, ["127.0.0.1:%d" % port])


class Supervision(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="varek-link-")
        self.link = os.path.join(self.dir, "supply")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def status(self, server):
        try:
            return server.request("GET", "/v1/status")[0]
        except OSError:
            return None

    def test_hang_up_then_return_at_the_same_path(self):
        """Reopening and its lines; who is taken back is tested in process (SupplyLinkTest)."""
        first = Sim("--link", self.link)
        with started(self.link) as server:
            first.command("hangup")
            wait_for(lambda: any(line.startswith("Link lost: ") for line in server.err))
            self.assertEqual(self.status(server), 503)
            first.close()
            with Sim("--link", self.link) as back:
                wait_for(lambda: self.status(server) == 200)
                self.assertTrue(any(line.startswith("Link back: serial 12345") for line in server.err))
                self.assertEqual(writes(back.requests()), [])


class Recording(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="varek-rec-")
        self.rec = os.path.join(self.dir, "rec")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def files(self):
        return sorted(os.path.join(self.rec, name) for name in os.listdir(self.rec))

    def rows(self):
        return sum(len(parsed_rows(path)) for path in self.files())

    def test_one_row_per_polled_sample(self):
        with Sim() as sim:
            with started(sim.path, "--record", self.rec, "--poll", "10") as server:
                wait_for(lambda: os.path.isdir(self.rec) and self.rows() >= 20)
                self.assertEqual(server.process.send_signal(signal.SIGTERM), None)
                self.assertEqual(server.wait_exit(), 0)
            # The start-up read proves the supply before anything listens; every later one is a poll.
            self.assertEqual(self.rows(), status_reads(sim.requests()) - 1)
            self.assertEqual([os.path.basename(p)[:12] for p in self.files()], ["varek-12345-"])

    def test_sigkill_and_a_torn_row_leave_complete_rows(self):
        with Sim() as sim:
            with started(sim.path, "--record", self.rec, "--poll", "10") as server:
                wait_for(lambda: os.path.isdir(self.rec) and self.rows() >= 5)
                server.process.kill()
                server.wait_exit()
            for path in self.files():
                parsed_rows(path)
            path = self.files()[-1]
            before = self.rows()
            with open(path, "a") as f:
                f.write("2026-01-01T00:00:00.000Z,1.0,")
            with started(sim.path, "--record", self.rec, "--poll", "10"):
                wait_for(lambda: self.rows_tolerant() > before)
            for path in self.files():
                parsed_rows(path)

    def rows_tolerant(self):
        try:
            return self.rows()
        except AssertionError:
            return 0

    def test_recording_failure_pauses_while_serving_goes_on(self):
        with open(self.rec, "w") as blocker:
            blocker.write("a file where the directory should be")
        with Sim() as sim, started(sim.path, "--record", self.rec, "--poll", "10") as server:
            wait_for(lambda: any(line.startswith("Recording paused: ") for line in server.err))
            self.assertEqual(server.request("GET", "/health", token=False)[0], 200)
            self.assertEqual(server.request("GET", "/v1/status")[0], 200)
            os.unlink(self.rec)
            wait_for(lambda: any(line.startswith("Recording resumed: ") for line in server.err), timeout=60)
            wait_for(lambda: self.rows() >= 1)
            self.assertEqual(len([l for l in server.err if l.startswith("Recording paused: ")]), 1)


class Metrics(unittest.TestCase):
    def test_promtool_accepts_the_exposition(self):
        port = free_port()
        with Sim() as sim, started(sim.path, "--metrics-port", port) as server:
            # The metrics listener comes up after the two that readiness waits for.
            wait_for(lambda: any(line.startswith("Metrics ready on TCP %d" % port) for line in server.err))
            wait_for(lambda: metric(scrape(port)[1], "varek_up") == 1)
            server.request("GET", "/v1/status")
            content_type, text = scrape(port)
            self.assertEqual(content_type, "text/plain; version=0.0.4")
            check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            self.assertIn('varek_http_requests_total{code="200"}', text)

    def test_a_prometheus_server_scrapes_the_supply(self):
        port, web = free_port(), free_port()
        work = tempfile.mkdtemp(prefix="varek-prom-")
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: varek\n"
                    "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % port)
        with Sim() as sim, started(sim.path, "--metrics-port", port):
            sim.set(8, 1234)
            prometheus = subprocess.Popen(
                ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(work, "data"),
                 "--web.listen-address=127.0.0.1:%d" % web], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                query = "http://127.0.0.1:%d/api/v1/query?query=%s" % (
                    web, urllib.parse.quote("varek_voltage_setpoint_volts"))

                def value():
                    try:
                        with urllib.request.urlopen(query, timeout=10) as reply:
                            import json
                            result = json.load(reply)["data"]["result"]
                            return result and float(result[0]["value"][1]) == 12.34
                    except OSError:
                        return False
                wait_for(value, timeout=120, interval=0.2)
            finally:
                prometheus.terminate()
                prometheus.wait(timeout=60)
                shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
