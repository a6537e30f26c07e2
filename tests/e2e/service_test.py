"""varek-server left running, spawned against spawned simulators: listen address, link
supervision, continuous recording and Prometheus metrics."""
import csv
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest
import urllib.parse
import urllib.request

from varek_e2e import Sim, VarekServer, free_port, run, wait_for

STATUS_READ = bytes.fromhex("0103000400 26".replace(" ", ""))[:6]
WRITE_FUNCTIONS = (0x06, 0x10)
HEADER = ["time", "voltage_V", "current_A", "power_W", "voltage_set_V", "current_limit_A", "output_enabled",
          "protection", "mode"]


def writes(frames):
    return [frame for frame in frames if len(frame) > 1 and frame[1] in WRITE_FUNCTIONS]


def status_reads(frames):
    return sum(1 for frame in frames if frame[:6] == STATUS_READ)


def options(server_ports, *extra):
    http_port, scpi_port = server_ports
    return ["--http-port", str(http_port), "--scpi-port", str(scpi_port), *map(str, extra)]


def started(device, *extra, data_home=None):
    ports = (free_port(), free_port())
    server = VarekServer(device, *ports, options=options(ports, *extra), data_home=data_home)
    return server.wait_ready()


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


class CommandLine(unittest.TestCase):
    def test_bad_values_and_names_exit_2_silently(self):
        bad = [["--poll", "3"], ["--poll", "0"], ["--poll", "ten"], ["--bind", "1.2.3"], ["--bind", "localhost"],
               ["--bind", "::1"], ["--metrics-port", "0"], ["--metrics-port", "70000"], ["--record-days", "0"],
               ["--record-days", "-1"], ["--record", ""], ["--poll", "1", "--recrod", "x"]]
        for args in bad:
            with self.subTest(args=args):
                result = run("varek-server", "/nonexistent/tty", *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (2, "", ""))

    def test_good_values_reach_the_connect_step(self):
        result = run("varek-server", "/nonexistent/tty", "--poll", "10", "--bind", "127.0.0.1", "--record", "/tmp/x",
                     "--record-days", "7", "--metrics-port", "9", "--poll", "2")
        self.assertEqual((result.returncode, result.stderr), (1, "无法打开串口：No such file or directory\n"))


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

    def test_hang_up_then_return_at_the_same_path_with_a_stranger_in_between(self):
        first = Sim("--link", self.link)
        with started(self.link) as server:
            first.command("hangup")
            wait_for(lambda: any(line.startswith("Link lost: ") for line in server.err))
            self.assertEqual(self.status(server), 503)
            stranger = Sim("--link", self.link, "--serial", "777")
            wait_for(lambda: any("found serial 777" in line for line in server.err))
            self.assertEqual(self.status(server), 503)
            stranger.close()
            with Sim("--link", self.link) as back:
                wait_for(lambda: self.status(server) == 200)
                self.assertTrue(any(line.startswith("Link back: serial 12345") for line in server.err))
                back_log = back.requests()
            for sim in (first, stranger):
                sim_log = sim.requests() if os.path.exists(sim.log_path) else []
                self.assertEqual(writes(sim_log), [])
            self.assertEqual(writes(back_log), [])
        first.close()

    def test_silent_supply_then_another_serial_on_the_same_port_is_refused(self):
        with Sim("--link", self.link) as sim, started(self.link, "--poll", "10") as server:
            silence = len(sim.requests())
            sim.command("silent on")
            outcome = {}

            def switch_on():
                outcome["reply"] = server.request("POST", "/v1/output/on", timeout=120)

            # Queued behind a read that is waiting out the silence.
            wait_for(lambda: len(sim.requests()) > silence)
            request = threading.Thread(target=switch_on)
            request.start()
            # Two unanswered reads of 2 s each: silent for 4 s.
            wait_for(lambda: len(sim.requests()) >= silence + 3, timeout=60)
            marker = len(sim.requests())
            sim.command("serial 777")
            sim.command("silent off")
            request.join(timeout=120)
            wait_for(lambda: any("found serial 777" in line for line in server.err))
            self.assertEqual(outcome["reply"][0], 502)
            self.assertEqual(self.status(server), 503)
            self.assertEqual(writes(sim.requests()[marker:]), [])
            self.assertEqual(sim.get(18), 0)
            sim.command("serial 12345")
            wait_for(lambda: self.status(server) == 200)


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

    def test_a_removed_directory_is_made_again_and_recording_follows_it(self):
        with Sim() as sim, started(sim.path, "--record", self.rec, "--poll", "10") as server:
            wait_for(lambda: os.path.isdir(self.rec) and self.rows() >= 3)
            # Renamed away first so that the name goes at once: a recorder quick to
            # reopen could otherwise fill the directory while rmtree empties it.
            gone = self.rec + ".gone"
            os.rename(self.rec, gone)
            shutil.rmtree(gone)
            resumed = wait_for(lambda: [line for line in server.err if line.startswith("Recording resumed: ")],
                               timeout=60)
            path = resumed[0][len("Recording resumed: "):]
            self.assertEqual(os.path.dirname(path), self.rec)
            self.assertRegex(os.path.basename(path), r"^varek-12345-\d{4}-\d\d-\d\d\.csv$")
            wait_for(lambda: os.path.exists(path) and len(parsed_rows(path)) >= 3)
            status, body = server.json("GET", "/v1/server")
            recording = body["recording"]
            self.assertEqual((status, recording["paused"], recording["reason"]), (200, False, None))
            self.assertTrue(os.path.isfile(recording["file"]), recording)
            self.assertEqual([line for line in server.err if line.startswith("Recording ")], resumed[:1])


class Metrics(unittest.TestCase):
    def test_promtool_accepts_the_exposition(self):
        port = free_port()
        with Sim() as sim, started(sim.path, "--metrics-port", port) as server:
            wait_for(lambda: metric(scrape(port)[1], "varek_up") == 1)
            server.request("GET", "/v1/status")
            content_type, text = scrape(port)
            self.assertEqual(content_type, "text/plain; version=0.0.4")
            check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            self.assertIn('varek_http_requests_total{code="200"}', text)

    def test_silent_supply_turns_up_to_0_and_scrapes_still_answer(self):
        port = free_port()
        with Sim() as sim, started(sim.path, "--metrics-port", port, "--poll", "10"):
            wait_for(lambda: metric(scrape(port)[1], "varek_up") == 1)
            sim.command("silent on")
            wait_for(lambda: metric(scrape(port)[1], "varek_up") == 0)
            text = scrape(port, timeout=5)[1]
            self.assertIsNone(metric(text, "varek_output_voltage_volts"))
            self.assertIn('varek_link_transactions_total{result="timeout"}', text)

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


class Audit(unittest.TestCase):
    """Every write made for a client is one line on standard error: time, channel,
    client address, what was asked and whether the supply confirmed it."""

    def test_each_client_write_is_one_audit_line(self):
        with Sim() as sim, started(sim.path, "--max-voltage", "12") as server:
            self.assertEqual(server.request("POST", "/v1/output/on")[0], 200)
            self.assertEqual(server.request("POST", "/v1/setpoints", body={"voltage_V": 5})[0], 200)
            with socket.create_connection(("127.0.0.1", server.scpi_port), timeout=30) as scpi:
                client = "127.0.0.1:%d" % scpi.getsockname()[1]
                scpi.sendall(b"VOLT 3\nVOLT 13\n*OPC?\n")
                self.assertEqual(scpi.recv(100), b"1\n")
                sim.command("stuck on")
                scpi.sendall(b"OUTP OFF\n*OPC?\n")
                self.assertEqual(scpi.recv(100), b"1\n")
            audits = wait_for(lambda: [line for line in server.err if line.startswith("Audit ")]
                              if len([line for line in server.err if line.startswith("Audit ")]) >= 4 else None)
            pattern = r"Audit \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z %s %s %s: %s"
            expected = [("HTTP", r"127\.0\.0\.1:\d+", "output on", "confirmed"),
                        ("HTTP", r"127\.0\.0\.1:\d+", "setpoints 5\\.00 V", "confirmed"),
                        ("SCPI", client.replace(".", r"\."), "VOLT 3", "confirmed"),
                        ("SCPI", client.replace(".", r"\."), "OUTP OFF", r"not confirmed \(.+\)")]
            self.assertEqual(len(audits), 4, audits)  # the refused VOLT 13 wrote nothing
            for line, parts in zip(audits, expected):
                self.assertRegex(line, "^" + pattern % parts + "$")


if __name__ == "__main__":
    unittest.main()
